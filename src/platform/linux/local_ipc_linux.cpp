#include "platform/local_ipc.h"

#include "platform/helper_ipc.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantor::platform {
namespace {

bool fillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  return true;
}

}  // namespace

InstanceLock::~InstanceLock() { release(); }

InstanceLock::Result InstanceLock::acquire(const std::string& path, std::string& error, const std::string& note) {
  release();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return Result::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return Result::HeldByOther;
    error = "cannot lock " + path + ": " + std::strerror(err);
    return Result::Failed;
  }
  // The holder's process id, for people looking at the folder.
  std::string text = note.empty() ? std::to_string(::getpid()) + "\n" : note;
  if (::ftruncate(fd, 0) == 0) {
    ssize_t ignored = ::write(fd, text.data(), text.size());
    (void)ignored;
  }
  handle_ = fd;
  return Result::Acquired;
}

void InstanceLock::release() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

SocketHandle listenLocal(const std::string& path, std::string& error) {
  sockaddr_un address;
  if (!fillAddress(path, address)) {
    error = "endpoint path too long: " + path;
    return kInvalidSocket;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot create a local socket: ") + std::strerror(errno);
    return kInvalidSocket;
  }
  // Only the instance lock's holder gets here, so an existing name is stale.
  ::unlink(path.c_str());
  // Created owner-only from the start: no moment in which others could connect.
  mode_t old = ::umask(0077);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::umask(old);
  if (rc != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    ::close(fd);
    return kInvalidSocket;
  }
  return fd;
}

SocketHandle acceptLocal(SocketHandle server, unsigned& peerUserId) {
  PeerCredentials peer;
  SocketHandle fd = acceptHelperClient(server, peer);
  peerUserId = peer.uid;
  return fd;
}

SocketHandle connectLocal(const std::string& path) {
  sockaddr_un address;
  if (!fillAddress(path, address)) return kInvalidSocket;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kInvalidSocket;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return kInvalidSocket;
  }
  return fd;
}

void removeLocalEndpoint(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace vantor::platform
