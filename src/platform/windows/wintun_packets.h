// Packets in and out of a Wintun session: the receive ring read until it is
// empty, packets gathered into batches, the send ring filled one packet at a
// time. The session's calls come in as plain function pointers over an
// opaque session, so a fake ring can stand in for the driver; tun_windows.cpp
// binds them to wintun.dll.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/tun.h"

namespace vantor::platform::windows {

// The largest packet Wintun moves (WINTUN_MAX_IP_PACKET_SIZE).
inline constexpr uint32_t kWintunMaxPacket = 0xFFFF;
// Windows error codes the session reports through GetLastError.
inline constexpr uint32_t kErrorHandleEof = 38;        // the adapter is going away
inline constexpr uint32_t kErrorInvalidParam = 87;     // a packet of no or too many bytes
inline constexpr uint32_t kErrorBufferOverflow = 111;  // the send ring is full
inline constexpr uint32_t kErrorNoMoreItems = 259;     // the receive ring is empty

struct WintunPacketCalls {
  void* session = nullptr;
  // WintunReceivePacket: the next packet and its size, or null (see lastError).
  const uint8_t* (*receive)(void* session, uint32_t* size) = nullptr;
  void (*release)(void* session, const uint8_t* packet) = nullptr;
  // WintunAllocateSendPacket and WintunSendPacket.
  uint8_t* (*allocate)(void* session, uint32_t size) = nullptr;
  void (*send)(void* session, const uint8_t* packet) = nullptr;
  uint32_t (*lastError)() = nullptr;
};

class WintunPackets {
 public:
  explicit WintunPackets(const WintunPacketCalls& calls) : calls_(calls) {}
  ~WintunPackets();
  WintunPackets(const WintunPackets&) = delete;
  WintunPackets& operator=(const WintunPackets&) = delete;

  // One whole packet: its length, kTunWouldBlock when the ring is empty, or
  // kTunError (see error()). A packet larger than `size` is never cut short:
  // it is dropped (and counted) and the next one read.
  long read(void* buffer, std::size_t size);
  // As many packets as fit into `buffer` back to back, at most `maxPackets`;
  // `lengths` receives their lengths. A packet that does not fit waits for
  // the next call. Returns the count (0: the ring is empty), or -1 on
  // failure when nothing was read.
  int readBatch(uint8_t* buffer, std::size_t size, uint32_t* lengths, int maxPackets);
  // Queues one packet: its length, kTunWouldBlock when the send ring is
  // full (the packet is not sent), or kTunError.
  long write(const void* packet, std::size_t length);

  // The Windows error code of the last failure.
  uint32_t error() const { return error_; }
  uint64_t oversizedDropped() const { return oversized_; }

 private:
  // The next received packet, kept until it is copied out.
  bool next(const uint8_t*& packet, uint32_t& size);
  void releasePending();

  WintunPacketCalls calls_;
  const uint8_t* pending_ = nullptr;
  uint32_t pendingSize_ = 0;
  uint32_t error_ = 0;
  uint64_t oversized_ = 0;
};

}  // namespace vantor::platform::windows
