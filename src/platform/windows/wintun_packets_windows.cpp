#include <cstring>

#include "platform/windows/wintun_packets.h"

namespace vantor::platform::windows {

WintunPackets::~WintunPackets() { releasePending(); }

void WintunPackets::releasePending() {
  if (pending_) calls_.release(calls_.session, pending_);
  pending_ = nullptr;
  pendingSize_ = 0;
}

bool WintunPackets::next(const uint8_t*& packet, uint32_t& size) {
  if (!pending_) {
    uint32_t n = 0;
    const uint8_t* p = calls_.receive(calls_.session, &n);
    if (!p) {
      error_ = calls_.lastError();
      return false;
    }
    pending_ = p;
    pendingSize_ = n;
  }
  packet = pending_;
  size = pendingSize_;
  return true;
}

long WintunPackets::read(void* buffer, std::size_t size) {
  for (;;) {
    const uint8_t* packet = nullptr;
    uint32_t length = 0;
    if (!next(packet, length)) return error_ == kErrorNoMoreItems ? kTunWouldBlock : kTunError;
    if (length > size) {
      ++oversized_;
      releasePending();
      continue;
    }
    std::memcpy(buffer, packet, length);
    releasePending();
    return static_cast<long>(length);
  }
}

int WintunPackets::readBatch(uint8_t* buffer, std::size_t size, uint32_t* lengths, int maxPackets) {
  int count = 0;
  std::size_t used = 0;
  while (count < maxPackets) {
    const uint8_t* packet = nullptr;
    uint32_t length = 0;
    if (!next(packet, length)) {
      if (error_ == kErrorNoMoreItems || count > 0) return count;
      return -1;
    }
    if (length > size) {  // would never fit: drop it
      ++oversized_;
      releasePending();
      continue;
    }
    if (length > size - used) break;  // kept for the next batch
    std::memcpy(buffer + used, packet, length);
    releasePending();
    lengths[count++] = length;
    used += length;
  }
  return count;
}

long WintunPackets::write(const void* packet, std::size_t length) {
  if (length == 0 || length > kWintunMaxPacket) {
    error_ = kErrorInvalidParam;
    return kTunError;
  }
  uint8_t* slot = calls_.allocate(calls_.session, static_cast<uint32_t>(length));
  if (!slot) {
    error_ = calls_.lastError();
    return error_ == kErrorBufferOverflow ? kTunWouldBlock : kTunError;
  }
  std::memcpy(slot, packet, length);
  calls_.send(calls_.session, slot);
  return static_cast<long>(length);
}

}  // namespace vantor::platform::windows
