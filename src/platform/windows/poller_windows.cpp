// The poller over WSAPoll. WSAPoll reports levels; the callers expect edges
// (a report when a handle becomes ready, and again only after an operation
// on it said "would block"). So each handle remembers what it was last
// reported as, and a would-block from the socket calls clears that memory.
#include "platform/poller.h"

#include <winsock2.h>

#include <climits>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/windows/win_support.h"

namespace vantor::platform {
namespace {

struct Watched {
  void* key = nullptr;
  uint32_t reported = 0;  // readiness bits reported and not consumed since
};

// Every open poller's handles, so a would-block on any socket re-arms it.
struct Registry {
  std::mutex mutex;
  std::unordered_map<int, std::unordered_map<IoHandle, Watched>> owners;
};
Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

namespace win {
void noteWouldBlock(std::intptr_t socket) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (auto& [id, handles] : r.owners) {
    auto it = handles.find(socket);
    if (it != handles.end()) it->second.reported = 0;
  }
}
}  // namespace win

Poller::~Poller() { close(); }

bool Poller::open() {
  if (fd_ >= 0) return true;
  win::ensureWinsock();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  static int next = 0;
  fd_ = next++;
  r.owners[fd_];
  return true;
}

void Poller::close() {
  if (fd_ < 0) return;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.owners.erase(fd_);
  fd_ = -1;
}

// Writable readiness is reported once per edge of this emulation, not once
// per send as an epoll edge can be, so it stays watched either way.
bool Poller::add(IoHandle handle, void* key, bool) {
  if (fd_ < 0 || handle == kInvalidIoHandle) return false;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto& handles = r.owners[fd_];
  if (handles.count(handle)) return false;
  handles[handle] = Watched{key, 0};
  return true;
}

bool Poller::watchWritable(IoHandle handle, void* key, bool writable) {
  if (fd_ < 0) return false;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto& handles = r.owners[fd_];
  auto it = handles.find(handle);
  if (it == handles.end()) return false;
  it->second.key = key;
  // Turned on: a handle writable now is reported again.
  if (writable) it->second.reported &= ~static_cast<uint32_t>(kPollWritable);
  return true;
}

void Poller::remove(IoHandle handle) {
  if (fd_ < 0) return;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.owners[fd_].erase(handle);
}

int Poller::wait(PollEvent* events, int maxEvents, int64_t timeoutMs) {
  if (fd_ < 0 || maxEvents <= 0) return -1;
  const ULONGLONG deadline = timeoutMs < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  for (;;) {
    std::vector<WSAPOLLFD> fds;
    {
      Registry& r = registry();
      std::lock_guard lock(r.mutex);
      for (auto& [handle, watched] : r.owners[fd_])
        fds.push_back(WSAPOLLFD{static_cast<SOCKET>(handle), POLLRDNORM | POLLWRNORM, 0});
    }
    // Short slices: handles added or re-armed by other threads are seen soon.
    int slice = 50;
    if (timeoutMs >= 0) {
      ULONGLONG now = GetTickCount64();
      ULONGLONG left = now >= deadline ? 0 : deadline - now;
      if (left < static_cast<ULONGLONG>(slice)) slice = static_cast<int>(left);
    }
    int n = fds.empty() ? (Sleep(static_cast<DWORD>(slice)), 0)
                        : WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), slice);
    if (n < 0) return -1;
    int count = 0;
    if (n > 0) {
      Registry& r = registry();
      std::lock_guard lock(r.mutex);
      auto& handles = r.owners[fd_];
      for (const WSAPOLLFD& p : fds) {
        if (count >= maxEvents) break;
        auto it = handles.find(static_cast<IoHandle>(p.fd));
        if (it == handles.end() || p.revents == 0) continue;
        uint32_t now = 0;
        if (p.revents & POLLRDNORM) now |= kPollReadable;
        if (p.revents & POLLWRNORM) now |= kPollWritable;
        if (p.revents & (POLLERR | POLLNVAL)) now |= kPollError;
        if (p.revents & POLLHUP) now |= kPollHangup | kPollReadable;
        uint32_t fresh = now & ~it->second.reported;
        // Readiness that went away is forgotten, so its return is an edge.
        it->second.reported &= now;
        if (fresh == 0) continue;
        it->second.reported |= fresh;
        events[count].key = it->second.key;
        events[count].events = now;
        ++count;
      }
    }
    if (count > 0) return count;
    if (timeoutMs >= 0 && GetTickCount64() >= deadline) return 0;
  }
}

bool waitWritable(IoHandle handle, int timeoutMs) {
  WSAPOLLFD p{static_cast<SOCKET>(handle), POLLWRNORM, 0};
  return WSAPoll(&p, 1, timeoutMs) > 0;
}

}  // namespace vantor::platform
