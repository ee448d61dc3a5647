#include "platform/linux/netlink_linux.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace vantor::platform::linux_nl {
namespace {

// Requests per system call: the kernel queues one acknowledgement per
// request before we read any of them, so the batch must fit the receive
// buffer (asked for below) with room to spare.
constexpr std::size_t kBatchBytes = 32 * 1024;
constexpr int kReceiveBuffer = 4 * 1024 * 1024;

}  // namespace

Message::Message(uint16_t type, uint16_t flags, const void* body, std::size_t bodyLength)
    : bytes_(NLMSG_SPACE(bodyLength), 0) {
  auto* h = header();
  h->nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(bodyLength));
  h->nlmsg_type = type;
  h->nlmsg_flags = static_cast<uint16_t>(flags | NLM_F_REQUEST);
  std::memcpy(NLMSG_DATA(h), body, bodyLength);
}

void Message::attribute(uint16_t type, const void* data, std::size_t length) {
  std::size_t offset = NLMSG_ALIGN(header()->nlmsg_len);
  bytes_.resize(offset + RTA_SPACE(length), 0);
  auto* rta = reinterpret_cast<rtattr*>(bytes_.data() + offset);
  rta->rta_type = type;
  rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
  std::memcpy(RTA_DATA(rta), data, length);
  header()->nlmsg_len = static_cast<uint32_t>(offset + RTA_LENGTH(length));
}

Message Message::copyOf(const nlmsghdr* received) {
  Message m;
  m.bytes_.assign(reinterpret_cast<const char*>(received),
                  reinterpret_cast<const char*>(received) + NLMSG_ALIGN(received->nlmsg_len));
  return m;
}

Socket::Socket() {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd_ < 0) return;
  int size = kReceiveBuffer;
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  // The kernel answers at once; a missing answer must not hang the caller.
  timeval timeout{5, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  int on = 1;
  // Errors come back without a copy of the request.
  ::setsockopt(fd_, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof on);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Socket::~Socket() {
  if (fd_ >= 0) ::close(fd_);
}

bool Socket::receiveInto(std::vector<char>& buffer, ssize_t& length) {
  for (;;) {
    length = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (length >= 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Socket::transact(std::vector<Message>& messages, std::vector<int>& errors) {
  errors.assign(messages.size(), 0);
  if (fd_ < 0) return false;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  std::vector<char> batch;
  std::vector<char> reply(256 * 1024);
  std::size_t next = 0;
  while (next < messages.size()) {
    batch.clear();
    std::map<uint32_t, std::size_t> pending;  // sequence -> message index
    while (next < messages.size() && (batch.empty() || batch.size() + messages[next].bytes().size() <= kBatchBytes)) {
      nlmsghdr* h = messages[next].header();
      h->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
      h->nlmsg_seq = sequence_++;
      pending[h->nlmsg_seq] = next;
      const auto& bytes = messages[next].bytes();
      batch.insert(batch.end(), bytes.begin(), bytes.end());
      ++next;
    }
    ssize_t sent;
    do {
      sent = ::sendto(fd_, batch.data(), batch.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return false;
    while (!pending.empty()) {
      ssize_t n;
      if (!receiveInto(reply, n) || n == 0) return false;
      for (auto* h = reinterpret_cast<nlmsghdr*>(reply.data()); NLMSG_OK(h, static_cast<unsigned>(n));
           h = NLMSG_NEXT(h, n)) {
        auto it = pending.find(h->nlmsg_seq);
        if (it == pending.end()) continue;
        if (h->nlmsg_type == NLMSG_ERROR) {
          const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
          errors[it->second] = -e->error;
          pending.erase(it);
        }
      }
    }
  }
  return true;
}

bool Socket::exchange(Message& request, bool isDump, const std::function<void(const nlmsghdr*)>& each, int& error) {
  error = 0;
  if (fd_ < 0) return false;
  nlmsghdr* rh = request.header();
  rh->nlmsg_flags |= NLM_F_REQUEST | (isDump ? NLM_F_DUMP : 0);
  rh->nlmsg_seq = sequence_++;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd_, request.bytes().data(), rh->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return false;
  std::vector<char> reply(256 * 1024);
  for (;;) {
    ssize_t n;
    if (!receiveInto(reply, n) || n == 0) return false;
    for (auto* h = reinterpret_cast<nlmsghdr*>(reply.data()); NLMSG_OK(h, static_cast<unsigned>(n));
         h = NLMSG_NEXT(h, n)) {
      if (h->nlmsg_seq != rh->nlmsg_seq) continue;
      if (h->nlmsg_type == NLMSG_DONE) return true;
      if (h->nlmsg_type == NLMSG_ERROR) {
        error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        return error == 0;
      }
      each(h);
      // A plain request is answered by one message; a dump ends with DONE.
      if (!isDump) return true;
    }
  }
}

bool Socket::dump(Message& request, const std::function<void(const nlmsghdr*)>& each) {
  int error = 0;
  return exchange(request, true, each, error);
}

bool Socket::query(Message& request, const std::function<void(const nlmsghdr*)>& each, int& error) {
  return exchange(request, false, each, error);
}

void forEachAttribute(const nlmsghdr* h, std::size_t bodyLength, const std::function<void(const rtattr*)>& each) {
  if (h->nlmsg_len < NLMSG_LENGTH(bodyLength)) return;
  int length = static_cast<int>(h->nlmsg_len - NLMSG_SPACE(bodyLength));
  const auto* rta =
      reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(NLMSG_DATA(h)) + NLMSG_ALIGN(bodyLength));
  for (; RTA_OK(rta, length); rta = RTA_NEXT(rta, length)) each(rta);
}

}  // namespace vantor::platform::linux_nl
