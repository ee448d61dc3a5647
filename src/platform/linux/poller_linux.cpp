#include "platform/poller.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace vantor::platform {

Poller::~Poller() { close(); }

bool Poller::open() {
  if (fd_ >= 0) return true;
  fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  return fd_ >= 0;
}

void Poller::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Poller::add(IoHandle handle, void* key, bool writable) {
  epoll_event ev{};
  ev.events = EPOLLIN | (writable ? static_cast<uint32_t>(EPOLLOUT) : 0u) | EPOLLRDHUP | EPOLLET;
  ev.data.ptr = key;
  return ::epoll_ctl(fd_, EPOLL_CTL_ADD, static_cast<int>(handle), &ev) == 0;
}

bool Poller::watchWritable(IoHandle handle, void* key, bool writable) {
  // A modification re-arms the edge: a handle writable now is reported.
  epoll_event ev{};
  ev.events = EPOLLIN | (writable ? static_cast<uint32_t>(EPOLLOUT) : 0u) | EPOLLRDHUP | EPOLLET;
  ev.data.ptr = key;
  return ::epoll_ctl(fd_, EPOLL_CTL_MOD, static_cast<int>(handle), &ev) == 0;
}

void Poller::remove(IoHandle handle) {
  epoll_event ev{};
  ::epoll_ctl(fd_, EPOLL_CTL_DEL, static_cast<int>(handle), &ev);
}

int Poller::wait(PollEvent* events, int maxEvents, int64_t timeoutMs) {
  constexpr int kMaxBatch = 64;
  epoll_event raw[kMaxBatch];
  if (maxEvents > kMaxBatch) maxEvents = kMaxBatch;
  int timeout = timeoutMs < 0 ? -1 : (timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs));
  int n = ::epoll_wait(fd_, raw, maxEvents, timeout);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    uint32_t e = raw[i].events;
    uint32_t out = 0;
    if (e & EPOLLIN) out |= kPollReadable;
    if (e & EPOLLOUT) out |= kPollWritable;
    if (e & EPOLLERR) out |= kPollError;
    if (e & (EPOLLHUP | EPOLLRDHUP)) out |= kPollHangup;
    events[i].key = raw[i].data.ptr;
    events[i].events = out;
  }
  return n;
}

bool waitWritable(IoHandle handle, int timeoutMs) {
  pollfd p{static_cast<int>(handle), POLLOUT, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

}  // namespace vantor::platform
