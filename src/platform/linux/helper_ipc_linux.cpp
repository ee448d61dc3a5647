#include "platform/helper_ipc.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace vantor::platform {
namespace {

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// The socket's folder must not let anyone but root swap the name.
bool checkFolder(const std::string& dir, std::string& error) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      error = errnoText("cannot look at " + dir);
      return false;
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      error = errnoText("cannot create " + dir);
      return false;
    }
    if (::lstat(dir.c_str(), &st) != 0) {
      error = errnoText("cannot look at " + dir);
      return false;
    }
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0) {
    error = dir + " must be a folder owned by root that only root can write";
    return false;
  }
  return true;
}

}  // namespace

bool helperProcessUsed() { return true; }

std::string helperStateFolder() { return "/run/vantor-helper"; }

bool prepareHelperStateFolder(const std::string& dir, std::string& error) {
  if (dir.empty() || dir[0] != '/') {
    error = "the state folder must be an absolute path";
    return false;
  }
  if (!makeDirectories(dir, 0700, error)) return false;
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    error = dir + " must be a folder of the helper's own user";
    return false;
  }
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
    error = "cannot make " + dir + " private";
    return false;
  }
  return true;
}

bool groupIdByName(const std::string& name, unsigned& gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  gid = found->gr_gid;
  return true;
}

SocketHandle listenHelperSocket(const std::string& path, unsigned gid, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path || path[0] != '/') {
    error = "bad socket path: " + path;
    return kInvalidSocket;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size());
  const std::string dir = path.substr(0, path.rfind('/'));
  if (!dir.empty() && !checkFolder(dir, error)) return kInvalidSocket;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errnoText("cannot create a local socket");
    return kInvalidSocket;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
    error = path + " exists and is not a socket";
    ::close(fd);
    return kInvalidSocket;
  }
  ::unlink(path.c_str());
  // Nobody may connect before owner, group and mode are right.
  mode_t old = ::umask(0177);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::umask(old);
  if (rc != 0 || ::chown(path.c_str(), 0, gid) != 0 || ::chmod(path.c_str(), 0660) != 0 || ::listen(fd, 16) != 0) {
    error = errnoText("cannot listen on " + path);
    ::close(fd);
    return kInvalidSocket;
  }
  return fd;
}

SocketHandle connectHelperSocket(const std::string& path, int& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return kInvalidSocket;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (fd >= 0) ::close(fd);
    return kInvalidSocket;
  }
  error = 0;
  return fd;
}

SocketHandle acceptHelperClient(SocketHandle server, PeerCredentials& peer) {
  int fd = ::accept4(static_cast<int>(server), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;
  ucred cred{};
  socklen_t length = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
    ::close(fd);
    return kInvalidSocket;
  }
  peer = PeerCredentials{cred.uid, cred.gid, cred.pid, {}};
  std::vector<gid_t> groups(64);
  socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0 && errno == ERANGE) {
    groups.resize(size / sizeof(gid_t) + 1);
    size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0) size = 0;
  }
  for (std::size_t i = 0; i < size / sizeof(gid_t); ++i) peer.groups.push_back(groups[i]);
  return fd;
}

bool helperSocketPair(SocketHandle& first, SocketHandle& second, std::string& error) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    error = errnoText("cannot create a socket pair");
    return false;
  }
  first = fds[0];
  second = fds[1];
  return true;
}

bool sendMessage(SocketHandle socket, std::string_view message, long handle) {
  std::size_t sent = 0;
  bool attach = handle >= 0;
  while (sent < message.size()) {
    iovec part{const_cast<char*>(message.data() + sent), message.size() - sent};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (attach) {
      header.msg_control = control;
      header.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&header);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      int fd = static_cast<int>(handle);
      std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ssize_t n = ::sendmsg(static_cast<int>(socket), &header, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    attach = false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

long receiveMessage(SocketHandle socket, char* buffer, std::size_t size, long& handle) {
  iovec part{buffer, size};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(static_cast<int>(socket), &header, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      // One descriptor is expected; any other is not kept.
      if (handle < 0)
        handle = fd;
      else
        ::close(fd);
    }
  }
  return static_cast<long>(n);
}

void dropReceivedHandle(long handle) {
  if (handle >= 0) ::close(static_cast<int>(handle));
}

void releaseSentHandle(long handle) {
  if (handle >= 0) ::close(static_cast<int>(handle));
}

}  // namespace vantor::platform
