#include "platform/tun.h"

// glibc's net/if.h must come before the kernel headers that use linux/if.h.
#include <net/if.h>
// clang-format off
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
// clang-format on
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <mutex>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/netlink_linux.h"

namespace vantor::platform {
namespace {

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool fillName(ifreq& ifr, const std::string& name) {
  std::memset(&ifr, 0, sizeof ifr);
  if (name.empty() || name.size() >= IFNAMSIZ) return false;
  std::memcpy(ifr.ifr_name, name.data(), name.size());
  return true;
}

// A throwaway socket for the interface ioctls.
struct ControlSocket {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ~ControlSocket() {
    if (fd >= 0) ::close(fd);
  }
};

int openTunFd(const std::string& name, short extraFlags, std::string& error) {
  ifreq ifr;
  if (!fillName(ifr, name)) {
    error = "invalid interface name \"" + name + "\"";
    return -1;
  }
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    error = errnoText("open /dev/net/tun");
    return -1;
  }
  ifr.ifr_flags = static_cast<short>(IFF_TUN | IFF_NO_PI | extraFlags);
  if (::ioctl(fd, TUNSETIFF, &ifr) < 0) {
    error = errnoText("TUNSETIFF");
    ::close(fd);
    return -1;
  }
  return fd;
}

// One rtnetlink request that expects an acknowledgement.
bool netlinkRequest(nlmsghdr* msg, std::string& error) {
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    error = errnoText("netlink socket");
    return false;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  msg->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
  msg->nlmsg_seq = 1;
  bool ok = false;
  if (::sendto(fd, msg, msg->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    error = errnoText("netlink send");
  } else {
    char reply[4096];
    ssize_t n = ::recv(fd, reply, sizeof reply, 0);
    if (n < 0) {
      error = errnoText("netlink receive");
    } else {
      auto* h = reinterpret_cast<nlmsghdr*>(reply);
      if (NLMSG_OK(h, static_cast<unsigned>(n)) && h->nlmsg_type == NLMSG_ERROR) {
        auto* e = static_cast<nlmsgerr*>(NLMSG_DATA(h));
        if (e->error == 0) {
          ok = true;
        } else {
          errno = -e->error;
          error = errnoText("netlink");
        }
      } else {
        error = "netlink: unexpected reply";
      }
    }
  }
  ::close(fd);
  return ok;
}

void addAttribute(nlmsghdr* msg, std::size_t capacity, unsigned short type, const void* data, std::size_t length) {
  std::size_t needed = NLMSG_ALIGN(msg->nlmsg_len) + RTA_SPACE(length);
  if (needed > capacity) return;
  auto* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(msg) + NLMSG_ALIGN(msg->nlmsg_len));
  rta->rta_type = type;
  rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
  std::memcpy(RTA_DATA(rta), data, length);
  msg->nlmsg_len = static_cast<uint32_t>(needed);
}

bool changeAddress(const std::string& name, uint32_t address, int prefixLength, bool add, std::string& error) {
  unsigned index = ::if_nametoindex(name.c_str());
  if (index == 0) {
    error = errnoText(("interface " + name).c_str());
    return false;
  }
  if (prefixLength < 0 || prefixLength > 32) {
    error = "invalid prefix length";
    return false;
  }
  alignas(nlmsghdr) char buffer[256] = {};
  auto* msg = reinterpret_cast<nlmsghdr*>(buffer);
  msg->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
  msg->nlmsg_type = add ? RTM_NEWADDR : RTM_DELADDR;
  msg->nlmsg_flags = add ? (NLM_F_CREATE | NLM_F_EXCL) : 0;
  auto* ifa = static_cast<ifaddrmsg*>(NLMSG_DATA(msg));
  ifa->ifa_family = AF_INET;
  ifa->ifa_prefixlen = static_cast<unsigned char>(prefixLength);
  ifa->ifa_scope = RT_SCOPE_UNIVERSE;
  ifa->ifa_index = index;
  addAttribute(msg, sizeof buffer, IFA_LOCAL, &address, 4);
  addAttribute(msg, sizeof buffer, IFA_ADDRESS, &address, 4);
  return netlinkRequest(msg, error);
}

bool changeAddress6(const std::string& name, const uint8_t address[16], int prefixLength, bool add,
                    std::string& error) {
  unsigned index = ::if_nametoindex(name.c_str());
  if (index == 0) {
    error = errnoText(("interface " + name).c_str());
    return false;
  }
  if (prefixLength < 0 || prefixLength > 128) {
    error = "invalid prefix length";
    return false;
  }
  alignas(nlmsghdr) char buffer[256] = {};
  auto* msg = reinterpret_cast<nlmsghdr*>(buffer);
  msg->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
  msg->nlmsg_type = add ? RTM_NEWADDR : RTM_DELADDR;
  msg->nlmsg_flags = add ? (NLM_F_CREATE | NLM_F_EXCL) : 0;
  auto* ifa = static_cast<ifaddrmsg*>(NLMSG_DATA(msg));
  ifa->ifa_family = AF_INET6;
  ifa->ifa_prefixlen = static_cast<unsigned char>(prefixLength);
  ifa->ifa_scope = RT_SCOPE_UNIVERSE;
  ifa->ifa_flags = IFA_F_NODAD;
  ifa->ifa_index = index;
  addAttribute(msg, sizeof buffer, IFA_LOCAL, address, 16);
  addAttribute(msg, sizeof buffer, IFA_ADDRESS, address, 16);
  return netlinkRequest(msg, error);
}

// The packet information header of a device opened with IFF_VNET_HDR: the
// layout of struct virtio_net_hdr (linux/virtio_net.h, whose control
// structures C++ cannot compile), fields in the host's byte order.
struct virtio_net_hdr {
  uint8_t flags;
  uint8_t gso_type;
  uint16_t hdr_len;
  uint16_t gso_size;
  uint16_t csum_start;
  uint16_t csum_offset;
};
static_assert(sizeof(virtio_net_hdr) == 10);
constexpr uint8_t VIRTIO_NET_HDR_F_NEEDS_CSUM = 1;
constexpr uint8_t VIRTIO_NET_HDR_F_DATA_VALID = 2;
constexpr uint8_t VIRTIO_NET_HDR_GSO_NONE = 0;
constexpr uint8_t VIRTIO_NET_HDR_GSO_TCPV4 = 1;

bool setNonBlocking(int fd, std::string& error) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    error = errnoText("fcntl O_NONBLOCK");
    return false;
  }
  return true;
}

// The device takes checksum-less packets and IPv4 TCP super-packets from us
// and hands them to us. IPv6 is left to the kernel to segment: the tunnel's
// stack does not take IPv6.
constexpr unsigned kOffloadFeatures = TUN_F_CSUM | TUN_F_TSO4;

// Offload on: the packet information header in front of every packet.
int openOffloadFd(const std::string& name, std::string& error) {
  int fd = openTunFd(name, IFF_VNET_HDR, error);
  if (fd < 0) return -1;
  int headerSize = sizeof(virtio_net_hdr);
  if (::ioctl(fd, TUNSETVNETHDRSZ, &headerSize) < 0 || ::ioctl(fd, TUNSETOFFLOAD, kOffloadFeatures) < 0) {
    error = errnoText("TUNSETOFFLOAD");
    ::close(fd);
    return -1;
  }
  return fd;
}

long ioResult(ssize_t n) {
  if (n >= 0) return static_cast<long>(n);
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? kTunWouldBlock : kTunError;
}

}  // namespace

IoHandle tunOpen(const std::string& name, std::string& error) {
  bool offloadOn = false;
  return tunOpen(name, false, offloadOn, error);
}

namespace {

struct ProvidedHandle {
  std::string name;
  int fd = -1;
  bool offloadOn = false;
};

std::mutex& providedLock() {
  static std::mutex lock;
  return lock;
}

ProvidedHandle& provided() {
  static ProvidedHandle handle;
  return handle;
}

}  // namespace

void tunProvideHandle(const std::string& name, IoHandle handle, bool offloadOn) {
  std::lock_guard<std::mutex> guard(providedLock());
  if (provided().fd >= 0) ::close(provided().fd);
  provided() = ProvidedHandle{name, static_cast<int>(handle), offloadOn};
}

IoHandle tunOpen(const std::string& name, bool offload, bool& offloadOn, std::string& error) {
  offloadOn = false;
  {
    std::lock_guard<std::mutex> guard(providedLock());
    ProvidedHandle& given = provided();
    if (given.fd >= 0 && given.name == name) {
      int fd = given.fd;
      given.fd = -1;
      // A descriptor with offload headers cannot serve a caller that reads
      // plain packets; the other way round is fine.
      if (given.offloadOn && !offload) {
        ::close(fd);
        error = "the TUN descriptor handed over has segmentation offload on";
        return kInvalidIoHandle;
      }
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      offloadOn = given.offloadOn;
      return fd;
    }
  }
  int fd = -1;
  if (offload) {
    std::string ignored;
    fd = openOffloadFd(name, ignored);
    offloadOn = fd >= 0;
  }
  if (fd < 0) fd = openTunFd(name, 0, error);
  if (fd < 0) return kInvalidIoHandle;
  if (!setNonBlocking(fd, error)) {
    ::close(fd);
    offloadOn = false;
    return kInvalidIoHandle;
  }
  return fd;
}

void tunClose(IoHandle handle) {
  if (handle == kInvalidIoHandle) return;
  // A persistent interface outlives this handle: leave it without offload
  // features, as a later plain reader expects it.
  ::ioctl(static_cast<int>(handle), TUNSETOFFLOAD, 0u);
  ::close(static_cast<int>(handle));
}

long tunRead(IoHandle handle, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle), buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? kTunWouldBlock : kTunError;
  }
}

long tunWrite(IoHandle handle, const void* packet, std::size_t length) {
  for (;;) {
    ssize_t n = ::write(static_cast<int>(handle), packet, length);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? kTunWouldBlock : kTunError;
  }
}

long tunReadOffload(IoHandle handle, TunPacketInfo& info, void* buffer, std::size_t size) {
  virtio_net_hdr h{};
  iovec iov[2] = {{&h, sizeof h}, {buffer, size}};
  for (;;) {
    ssize_t n = ::readv(static_cast<int>(handle), iov, 2);
    if (n < 0 && errno == EINTR) continue;
    long r = ioResult(n);
    if (r < 0) return r;
    if (r < static_cast<long>(sizeof h)) {
      errno = EPROTO;
      return kTunError;
    }
    info.flags = 0;
    if (h.flags & VIRTIO_NET_HDR_F_NEEDS_CSUM) info.flags |= TunPacketInfo::kNeedsChecksum;
    if (h.flags & VIRTIO_NET_HDR_F_DATA_VALID) info.flags |= TunPacketInfo::kChecksumValid;
    switch (h.gso_type) {
      case VIRTIO_NET_HDR_GSO_NONE:
        info.gso = TunPacketInfo::kGsoNone;
        break;
      case VIRTIO_NET_HDR_GSO_TCPV4:
        info.gso = TunPacketInfo::kGsoTcpV4;
        break;
      default:
        info.gso = TunPacketInfo::kGsoOther;
        break;
    }
    info.headerLength = h.hdr_len;
    info.segmentSize = h.gso_size;
    info.checksumStart = h.csum_start;
    info.checksumOffset = h.csum_offset;
    return r - static_cast<long>(sizeof h);
  }
}

long tunWriteOffload(IoHandle handle, const TunPacketInfo& info, const void* packet, std::size_t length) {
  virtio_net_hdr h{};
  if (info.flags & TunPacketInfo::kNeedsChecksum) h.flags |= VIRTIO_NET_HDR_F_NEEDS_CSUM;
  if (info.flags & TunPacketInfo::kChecksumValid) h.flags |= VIRTIO_NET_HDR_F_DATA_VALID;
  h.gso_type = info.gso == TunPacketInfo::kGsoTcpV4 ? VIRTIO_NET_HDR_GSO_TCPV4 : VIRTIO_NET_HDR_GSO_NONE;
  h.hdr_len = info.headerLength;
  h.gso_size = info.segmentSize;
  h.csum_start = info.checksumStart;
  h.csum_offset = info.checksumOffset;
  iovec iov[2] = {{&h, sizeof h}, {const_cast<void*>(packet), length}};
  for (;;) {
    ssize_t n = ::writev(static_cast<int>(handle), iov, 2);
    if (n < 0 && errno == EINTR) continue;
    long r = ioResult(n);
    if (r < 0) return r;
    return r >= static_cast<long>(sizeof h) ? r - static_cast<long>(sizeof h) : 0;
  }
}

std::string lastErrorText() { return std::strerror(errno); }

bool interfaceExists(const std::string& name) { return ::if_nametoindex(name.c_str()) != 0; }

bool tunCreatePersistent(const std::string& name, std::string& error) {
  int fd = openTunFd(name, 0, error);
  if (fd < 0) return false;
  bool ok = ::ioctl(fd, TUNSETPERSIST, 1) == 0;
  if (!ok) error = errnoText("TUNSETPERSIST");
  ::close(fd);
  return ok;
}

bool tunDeletePersistent(const std::string& name, std::string& error) {
  int fd = openTunFd(name, 0, error);
  if (fd < 0) return false;
  bool ok = ::ioctl(fd, TUNSETPERSIST, 0) == 0;
  if (!ok) error = errnoText("TUNSETPERSIST");
  ::close(fd);  // the last handle of a non-persistent interface removes it
  return ok;
}

bool interfaceMtu(const std::string& name, int& mtu) {
  ifreq ifr;
  ControlSocket s;
  if (!fillName(ifr, name) || s.fd < 0) return false;
  if (::ioctl(s.fd, SIOCGIFMTU, &ifr) < 0) return false;
  mtu = ifr.ifr_mtu;
  return true;
}

bool setInterfaceUp(const std::string& name, bool up, std::string& error) {
  ifreq ifr;
  ControlSocket s;
  if (!fillName(ifr, name) || s.fd < 0) {
    error = "invalid interface name";
    return false;
  }
  if (::ioctl(s.fd, SIOCGIFFLAGS, &ifr) < 0) {
    error = errnoText("SIOCGIFFLAGS");
    return false;
  }
  if (up)
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  else
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
  if (::ioctl(s.fd, SIOCSIFFLAGS, &ifr) < 0) {
    error = errnoText("SIOCSIFFLAGS");
    return false;
  }
  return true;
}

bool interfaceIsUp(const std::string& name) {
  ifreq ifr;
  ControlSocket s;
  if (!fillName(ifr, name) || s.fd < 0) return false;
  if (::ioctl(s.fd, SIOCGIFFLAGS, &ifr) < 0) return false;
  return (ifr.ifr_flags & IFF_UP) != 0;
}

bool addInterfaceAddress(const std::string& name, uint32_t address, int prefixLength, std::string& error) {
  return changeAddress(name, address, prefixLength, true, error);
}

bool removeInterfaceAddress(const std::string& name, uint32_t address, int prefixLength, std::string& error) {
  return changeAddress(name, address, prefixLength, false, error);
}

bool interfaceHasAddress(const std::string& name, uint32_t address) {
  unsigned index = ::if_nametoindex(name.c_str());
  if (index == 0) return false;
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  struct {
    nlmsghdr h;
    ifaddrmsg m;
  } req{};
  req.h.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
  req.h.nlmsg_type = RTM_GETADDR;
  req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.h.nlmsg_seq = 1;
  req.m.ifa_family = AF_INET;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool found = false;
  if (::sendto(fd, &req, req.h.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) >= 0) {
    std::vector<char> buf(32768);
    bool done = false;
    while (!done) {
      ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, static_cast<unsigned>(n));
           h = NLMSG_NEXT(h, n)) {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        if (h->nlmsg_type != RTM_NEWADDR) continue;
        auto* ifa = static_cast<ifaddrmsg*>(NLMSG_DATA(h));
        if (ifa->ifa_index != index) continue;
        int len = static_cast<int>(IFA_PAYLOAD(h));
        for (auto* rta = IFA_RTA(ifa); RTA_OK(rta, len); rta = RTA_NEXT(rta, len)) {
          if (rta->rta_type == IFA_LOCAL && RTA_PAYLOAD(rta) == 4 && std::memcmp(RTA_DATA(rta), &address, 4) == 0)
            found = true;
        }
      }
    }
  }
  ::close(fd);
  return found;
}

bool addInterfaceAddress6(const std::string& name, const uint8_t address[16], int prefixLength, std::string& error) {
  return changeAddress6(name, address, prefixLength, true, error);
}

bool removeInterfaceAddress6(const std::string& name, const uint8_t address[16], int prefixLength, std::string& error) {
  return changeAddress6(name, address, prefixLength, false, error);
}

bool interfaceHasAddress6(const std::string& name, const uint8_t address[16]) {
  unsigned index = ::if_nametoindex(name.c_str());
  if (index == 0) return false;
  linux_nl::Socket socket;
  ifaddrmsg ifa{};
  ifa.ifa_family = AF_INET6;
  linux_nl::Message request(RTM_GETADDR, NLM_F_DUMP, &ifa, sizeof ifa);
  bool found = false;
  socket.dump(request, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWADDR) return;
    const auto* m = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    if (m->ifa_index != index) return;
    linux_nl::forEachAttribute(h, sizeof(ifaddrmsg), [&](const rtattr* a) {
      if (a->rta_type == IFA_ADDRESS && RTA_PAYLOAD(a) == 16 && std::memcmp(RTA_DATA(a), address, 16) == 0)
        found = true;
    });
  });
  return found;
}

}  // namespace vantor::platform
