#include "tunnel/device/btap.h"

#include <cstring>

#include "platform/tun.h"
#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_BTap;
constexpr int kMinWriteLength = 14;
// The largest packet a device with offload hands over or takes.
constexpr int kSuperPacketSize = 0xFFFF;

void readReady(void* user, uint32_t events);

// Hands the next segment of the super-packet read last to the pending read.
void deliverSegment(BTap* tap) {
  int n = TunSegmenter_Next(&tap->segmenter, tap->readBuffer);
  tap->segmenting = TunSegmenter_NextLength(&tap->segmenter) > 0;
  CompletionSlot_Complete(&tap->readSlot, true, n);
}

// One read with offload: a super-packet is cut into segments, one per
// request; a single packet is checked and copied out. Malformed or corrupt
// packets are dropped and the next one is read. Returns 0 once a packet was
// delivered, else the device's kTunWouldBlock or kTunError.
long readOffload(BTap* tap) {
  // Taken whole, a packet is read straight into the pending read's buffer.
  uint8_t* packet = tap->wholeSuperPackets ? tap->readBuffer : tap->superPacket.data();
  for (;;) {
    platform::TunPacketInfo info;
    long n = platform::tunReadOffload(tap->handle, info, packet, kSuperPacketSize);
    if (n < 0) return n;
    ++tap->packetsRead;
    int len = static_cast<int>(n);
    if (info.gso != platform::TunPacketInfo::kGsoNone && tap->wholeSuperPackets) {
      int total = TunOffload_PrepareSuperPacket(packet, len, info);
      if (total < 0) {
        BLog_Log(kChannel, BLOG_WARNING, "dropping a malformed super-packet (%d bytes)", len);
        ++tap->readsDropped;
        continue;
      }
      CompletionSlot_Complete(&tap->readSlot, true, total);
      return 0;
    }
    if (info.gso != platform::TunPacketInfo::kGsoNone) {
      if (!TunSegmenter_Init(&tap->segmenter, packet, len, info, tap->frameMtu)) {
        BLog_Log(kChannel, BLOG_WARNING, "dropping a super-packet that cannot be cut (%d bytes)", len);
        ++tap->readsDropped;
        continue;
      }
      deliverSegment(tap);
      return 0;
    }
    if (len > tap->frameMtu) {
      BLog_Log(kChannel, BLOG_WARNING, "dropping a packet larger than the frame (%d bytes)", len);
      ++tap->readsDropped;
      continue;
    }
    if (!TunOffload_PrepareInput(packet, len, info)) {
      ++tap->readsDropped;
      continue;
    }
    if (packet != tap->readBuffer) std::memcpy(tap->readBuffer, packet, static_cast<std::size_t>(len));
    CompletionSlot_Complete(&tap->readSlot, true, len);
    return 0;
  }
}

// Tries the pending read; completes the read slot unless it would block.
void attemptRead(BTap* tap) {
  long n;
  if (tap->offload) {
    n = readOffload(tap);
    if (n >= 0) {
      tap->readWaiting = false;
      return;
    }
  } else {
    n = platform::tunRead(tap->handle, tap->readBuffer, static_cast<std::size_t>(tap->frameMtu));
    if (n >= 0) ++tap->packetsRead;
  }
  if (n == platform::kTunWouldBlock) {
    tap->readWaiting = true;
    return;
  }
  tap->readWaiting = false;
  if (n < 0) BLog_Log(kChannel, BLOG_ERROR, "read failed (%s)", platform::lastErrorText().c_str());
  CompletionSlot_Complete(&tap->readSlot, n >= 0, n >= 0 ? n : 0);
}

void readReady(void* user, uint32_t events) {
  auto* tap = static_cast<BTap*>(user);
  if (tap->readWaiting && (events & (platform::kPollReadable | platform::kPollError | platform::kPollHangup)))
    attemptRead(tap);
}

void outputRecv(void* user, uint8_t* buffer) {
  auto* tap = static_cast<BTap*>(user);
  tap->readBuffer = buffer;
  if (tap->segmenting) {
    deliverSegment(tap);
    return;
  }
  attemptRead(tap);
}

void readCompleted(void* user, int event, long bytes) {
  auto* tap = static_cast<BTap*>(user);
  if (event == COMPLETION_DESTROYED) {
    CompletionSlot_Free(&tap->readSlot);
    return;
  }
  tap->readBuffer = nullptr;
  if (event == COMPLETION_FAILED) {
    BLog_Log(kChannel, BLOG_ERROR, "read operation failed");
    tap->errorHandler(tap->errorUser);
    return;
  }
  PacketSource_Done(&tap->output, static_cast<int>(bytes));
}

// A write the device refused or failed loses the packet; the tunnel goes on.
void reportWrite(BTap* tap, long n, int len) {
  if (n == platform::kTunWouldBlock) {
    if (tap->writesDropped++ == 0) BLog_Log(kChannel, BLOG_WARNING, "device busy: dropping packets");
    return;
  }
  if (n < 0) {
    BLog_Log(kChannel, BLOG_ERROR, "write failed (%s)", platform::lastErrorText().c_str());
    ++tap->writesDropped;
    return;
  }
  ++tap->packetsWritten;
  if (n < len) BLog_Log(kChannel, BLOG_ERROR, "write operation didn't write everything");
}

void flushPending(BTap* tap) {
  if (tap->merger.length == 0) return;
  platform::TunPacketInfo info;
  int len;
  const uint8_t* packet = TunMerger_Finish(&tap->merger, &info, &len);
  reportWrite(tap, platform::tunWriteOffload(tap->handle, info, packet, static_cast<std::size_t>(len)), len);
  TunMerger_Clear(&tap->merger);
}

void flushJobHandler(void* user) { flushPending(static_cast<BTap*>(user)); }

void writeCompleted(void* user, int event, long) {
  auto* tap = static_cast<BTap*>(user);
  if (event == COMPLETION_DESTROYED) CompletionSlot_Free(&tap->writeSlot);
}

void printSplitError(std::FILE* err, int separator) {
  if (!err) return;
  std::fprintf(err, "%s: ", "split_spec");
  std::fprintf(err, "missing separator number %d", separator);
  std::fprintf(err, "\n");
}

}  // namespace

bool BTap_ParseDottedQuad(const std::string& text, uint32_t* out) {
  uint8_t bytes[4];
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = text.find('.', pos);
    if (i < 3 && end == std::string::npos) return false;
    if (i == 3) {
      if (end != std::string::npos) return false;
      end = text.size();
    }
    std::size_t len = end - pos;
    if (len < 1 || len > 3) return false;
    unsigned value = 0;
    for (std::size_t k = pos; k < end; ++k) {
      char c = text[k];
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return false;
    bytes[i] = static_cast<uint8_t>(value);
    pos = end + 1;
  }
  std::memcpy(out, bytes, 4);
  return true;
}

bool BTap_ParseDeviceText(const char* text, BTapDeviceFields* out, std::FILE* errStream) {
  std::string s(text);
  std::string fields[5];
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t colon = s.find(':', pos);
    if (colon == std::string::npos) {
      printSplitError(errStream, i + 1);
      return false;
    }
    fields[i] = s.substr(pos, colon - pos);
    pos = colon + 1;
  }
  fields[4] = s.substr(pos);
  BTapDeviceFields result;
  result.driverId = fields[0];
  result.interfaceName = fields[1];
  if (!BTap_ParseDottedQuad(fields[2], &result.localAddress) ||
      !BTap_ParseDottedQuad(fields[3], &result.remoteNetwork) || !BTap_ParseDottedQuad(fields[4], &result.remoteMask))
    return false;
  *out = result;
  return true;
}

bool BTap_Init(BTap* tap, BReactor* reactor, const char* deviceText, void (*errorHandler)(void*), void* user,
               bool offload, bool wholeSuperPackets) {
  if (!deviceText) {
    BLog_Log(kChannel, BLOG_ERROR, "no device specification provided");
    return false;
  }
  if (!BTap_ParseDeviceText(deviceText, &tap->fields, stderr)) {
    BLog_Log(kChannel, BLOG_ERROR, "failed to parse TUN device specification");
    return false;
  }
  BLog_Log(kChannel, BLOG_INFO, "Looking for TUN interface with driver ID %s, name %s", tap->fields.driverId.c_str(),
           tap->fields.interfaceName.c_str());
  if (tap->fields.driverId != kTunDriverId || tap->fields.interfaceName.empty() ||
      !platform::interfaceExists(tap->fields.interfaceName)) {
    BLog_Log(kChannel, BLOG_ERROR, "Could not find device");
    return false;
  }
  BLog_Log(kChannel, BLOG_INFO, "Opening device %s", tap->fields.interfaceName.c_str());
  std::string error;
  bool offloadOn = false;
  platform::IoHandle handle = platform::tunOpen(tap->fields.interfaceName, offload, offloadOn, error);
  if (handle == platform::kInvalidIoHandle) {
    BLog_Log(kChannel, BLOG_ERROR, "open failed (%s)", error.c_str());
    return false;
  }
  int mtu = 0;
  if (!platform::interfaceMtu(tap->fields.interfaceName, mtu) || mtu <= 0) {
    BLog_Log(kChannel, BLOG_ERROR, "SIOCGIFMTU failed");
    platform::tunClose(handle);
    return false;
  }
  BLog_Log(kChannel, BLOG_INFO, "Device opened (segmentation offload %s)", offloadOn ? "on" : "off");
  return BTap_InitHandle(tap, reactor, handle, mtu, offloadOn, errorHandler, user, wholeSuperPackets);
}

bool BTap_InitHandle(BTap* tap, BReactor* reactor, platform::IoHandle handle, int frameMtu, bool offload,
                     void (*errorHandler)(void*), void* user, bool wholeSuperPackets) {
  tap->reactor = reactor;
  tap->handle = handle;
  tap->frameMtu = frameMtu;
  tap->offload = offload;
  tap->wholeSuperPackets = offload && wholeSuperPackets;
  tap->errorHandler = errorHandler;
  tap->errorUser = user;
  tap->readBuffer = nullptr;
  tap->readWaiting = false;
  tap->segmenting = false;
  tap->packetsRead = tap->packetsWritten = tap->readsDropped = tap->writesDropped = 0;
  if (tap->offload) {
    if (!tap->wholeSuperPackets) tap->superPacket.assign(kSuperPacketSize, 0);
    // A wire segment of IPv4 TCP without options fills the frame.
    TunMerger_Init(&tap->merger, kSuperPacketSize, frameMtu - 40);
  }
  ReactorJob_Init(&tap->flushJob, reactor, flushJobHandler, tap);
  if (!ReactorIo_Init(&tap->io, reactor, tap->handle, readReady, tap)) {
    BLog_Log(kChannel, BLOG_ERROR, "epoll_ctl failed");
    platform::tunClose(tap->handle);
    tap->handle = platform::kInvalidIoHandle;
    return false;
  }
  CompletionSlot_Init(&tap->writeSlot, reactor, writeCompleted, tap);
  CompletionSlot_Init(&tap->readSlot, reactor, readCompleted, tap);
  PacketSource_Init(&tap->output, reactor, tap->wholeSuperPackets ? kSuperPacketSize : tap->frameMtu, outputRecv, tap);
  return true;
}

void BTap_Free(BTap* tap) {
  // The last packets (resets of the connections torn down) still go out.
  ReactorJob_Free(&tap->flushJob);
  if (tap->offload) flushPending(tap);
  tap->segmenting = false;
  PacketSource_Free(&tap->output);
  if (tap->readBuffer) BLog_Log(kChannel, BLOG_DEBUG, "waiting for receiving to finish");
  // Reads are attempts on a non-blocking handle: nothing is in flight.
  tap->readBuffer = nullptr;
  tap->readWaiting = false;
  CompletionSlot_Free(&tap->readSlot);
  CompletionSlot_Free(&tap->writeSlot);
  ReactorIo_Free(&tap->io);
  platform::tunClose(tap->handle);
  tap->handle = platform::kInvalidIoHandle;
}

int BTap_GetMTU(const BTap* tap) { return tap->frameMtu; }

int BTap_MaxSendLength(const BTap* tap) { return tap->offload ? kSuperPacketSize : tap->frameMtu; }

int BTap_TcpSegmentLimit(const BTap* tap) { return tap->offload ? tap->frameMtu - 40 : 0; }

PacketSource* BTap_GetOutput(BTap* tap) { return &tap->output; }

bool BTap_OffloadOn(const BTap* tap) { return tap->offload; }

void BTap_Send(BTap* tap, const uint8_t* data, int len) {
  if (len < kMinWriteLength) return;
  if (!tap->offload) {
    reportWrite(tap, platform::tunWrite(tap->handle, data, static_cast<std::size_t>(len)), len);
    return;
  }
  if (TunMerger_TryAdd(&tap->merger, data, len)) return;
  flushPending(tap);
  if (!TunMerger_Start(&tap->merger, data, len)) {
    BLog_Log(kChannel, BLOG_WARNING, "packet larger than the write buffer (%d bytes)", len);
    ++tap->writesDropped;
    return;
  }
  ReactorJob_SetIdle(&tap->flushJob);
}

}  // namespace vantor::tunnel
