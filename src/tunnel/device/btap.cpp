#include "tunnel/device/btap.h"

#include <cstring>

#include "platform/tun.h"
#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_BTap;
constexpr int kMinWriteLength = 14;
// A write that the device does not take within this time is given up.
constexpr int kWriteWaitMs = 1000;

void readReady(void* user, uint32_t events);

// Tries the pending read; completes the read slot unless it would block.
void attemptRead(BTap* tap) {
  long n = platform::tunRead(tap->handle, tap->readBuffer, static_cast<std::size_t>(tap->frameMtu));
  if (n == platform::kTunWouldBlock) {
    tap->readWaiting = true;
    return;
  }
  tap->readWaiting = false;
  if (n < 0) {
    CompletionSlot_Complete(&tap->readSlot, false, 0);
  } else {
    CompletionSlot_Complete(&tap->readSlot, true, n);
  }
}

void readReady(void* user, uint32_t events) {
  auto* tap = static_cast<BTap*>(user);
  if (tap->readWaiting && (events & (platform::kPollReadable | platform::kPollError | platform::kPollHangup)))
    attemptRead(tap);
}

void outputRecv(void* user, uint8_t* buffer) {
  auto* tap = static_cast<BTap*>(user);
  tap->readBuffer = buffer;
  long n = platform::tunRead(tap->handle, buffer, static_cast<std::size_t>(tap->frameMtu));
  if (n == platform::kTunWouldBlock) {
    tap->readWaiting = true;
    return;
  }
  if (n < 0) {
    BLog_Log(kChannel, BLOG_ERROR, "read failed (%s)", platform::lastErrorText().c_str());
    tap->errorHandler(tap->errorUser);
    return;
  }
  CompletionSlot_Complete(&tap->readSlot, true, n);
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
      !BTap_ParseDottedQuad(fields[3], &result.remoteNetwork) ||
      !BTap_ParseDottedQuad(fields[4], &result.remoteMask))
    return false;
  *out = result;
  return true;
}

bool BTap_Init(BTap* tap, BReactor* reactor, const char* deviceText, void (*errorHandler)(void*),
               void* user) {
  tap->reactor = reactor;
  tap->errorHandler = errorHandler;
  tap->errorUser = user;
  tap->readBuffer = nullptr;
  tap->readWaiting = false;
  if (!deviceText) {
    BLog_Log(kChannel, BLOG_ERROR, "no device specification provided");
    return false;
  }
  if (!BTap_ParseDeviceText(deviceText, &tap->fields, stderr)) {
    BLog_Log(kChannel, BLOG_ERROR, "failed to parse TUN device specification");
    return false;
  }
  BLog_Log(kChannel, BLOG_INFO, "Looking for TUN interface with driver ID %s, name %s",
           tap->fields.driverId.c_str(), tap->fields.interfaceName.c_str());
  if (tap->fields.driverId != kTunDriverId || tap->fields.interfaceName.empty() ||
      !platform::interfaceExists(tap->fields.interfaceName)) {
    BLog_Log(kChannel, BLOG_ERROR, "Could not find device");
    return false;
  }
  BLog_Log(kChannel, BLOG_INFO, "Opening device %s", tap->fields.interfaceName.c_str());
  std::string error;
  tap->handle = platform::tunOpen(tap->fields.interfaceName, error);
  if (tap->handle == platform::kInvalidIoHandle) {
    BLog_Log(kChannel, BLOG_ERROR, "open failed (%s)", error.c_str());
    return false;
  }
  if (!platform::interfaceMtu(tap->fields.interfaceName, tap->frameMtu) || tap->frameMtu <= 0) {
    BLog_Log(kChannel, BLOG_ERROR, "SIOCGIFMTU failed");
    platform::tunClose(tap->handle);
    tap->handle = platform::kInvalidIoHandle;
    return false;
  }
  BLog_Log(kChannel, BLOG_INFO, "Device opened");
  if (!ReactorIo_Init(&tap->io, reactor, tap->handle, readReady, tap)) {
    BLog_Log(kChannel, BLOG_ERROR, "epoll_ctl failed");
    platform::tunClose(tap->handle);
    tap->handle = platform::kInvalidIoHandle;
    return false;
  }
  CompletionSlot_Init(&tap->writeSlot, reactor, writeCompleted, tap);
  CompletionSlot_Init(&tap->readSlot, reactor, readCompleted, tap);
  PacketSource_Init(&tap->output, reactor, tap->frameMtu, outputRecv, tap);
  return true;
}

void BTap_Free(BTap* tap) {
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

PacketSource* BTap_GetOutput(BTap* tap) { return &tap->output; }

void BTap_Send(BTap* tap, const uint8_t* data, int len) {
  if (len < kMinWriteLength) return;
  for (;;) {
    long n = platform::tunWrite(tap->handle, data, static_cast<std::size_t>(len));
    if (n == platform::kTunWouldBlock) {
      if (platform::waitWritable(tap->handle, kWriteWaitMs)) continue;
      BLog_Log(kChannel, BLOG_ERROR, "write operation failed");
      return;
    }
    if (n < 0) {
      BLog_Log(kChannel, BLOG_ERROR, "write failed (%s)", platform::lastErrorText().c_str());
      return;
    }
    if (n < len) BLog_Log(kChannel, BLOG_ERROR, "write operation didn't write everything");
    return;
  }
}

}  // namespace vantor::tunnel
