// Readiness notification over many handles for the tunnel's event loop.
// Every handle is watched for reading and writing at once and reported on
// each change of state (edge-triggered): a caller always tries its operation
// first and waits for the next report only after the system said "would
// block", so no report is ever needed twice.
#pragma once

#include <cstdint>

namespace vantor::platform {

using IoHandle = std::intptr_t;
inline constexpr IoHandle kInvalidIoHandle = -1;

enum PollEventBits : uint32_t {
  kPollReadable = 1,
  kPollWritable = 2,
  kPollError = 4,   // the handle has a pending error
  kPollHangup = 8,  // the peer closed or the device went away
};

struct PollEvent {
  void* key = nullptr;
  uint32_t events = 0;
};

class Poller {
 public:
  Poller() = default;
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool open();
  void close();
  bool isOpen() const { return fd_ >= 0; }
  // Watches `handle`; its reports carry `key`. Without `writable`, only
  // readability, errors and hang-ups are reported until watchWritable.
  bool add(IoHandle handle, void* key, bool writable = true);
  // Turns writable reports of a watched handle on or off. Turned on while
  // the handle is writable, it is reported at once.
  bool watchWritable(IoHandle handle, void* key, bool writable);
  void remove(IoHandle handle);
  // Waits up to `timeoutMs` (negative: without limit) for reports. Returns
  // their count, 0 on time-out or interruption, -1 on failure.
  int wait(PollEvent* events, int maxEvents, int64_t timeoutMs);

 private:
  int fd_ = -1;
};

// Blocks until `handle` is writable (or failed) or `timeoutMs` passed; used
// where a write must complete before the caller goes on.
bool waitWritable(IoHandle handle, int timeoutMs);

}  // namespace vantor::platform
