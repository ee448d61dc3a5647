// Portable socket layer. Everything above src/platform talks to sockets only
// through these calls, so a Windows implementation can sit beside the Linux one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/byte_order.h"

namespace vantor::platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// An IPv4 endpoint: address in network byte order, port in host order.
struct Ipv4Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
  bool operator==(const Ipv4Endpoint&) const = default;
};

// An IPv6 endpoint: address bytes in network order, port in host order.
struct Ipv6Endpoint {
  uint8_t address[16] = {};
  uint16_t port = 0;
};

// An endpoint of either family, for addresses that may be IPv6 (a node's).
// `address` holds the four bytes of an IPv4 address or the sixteen of an
// IPv6 one, in network order; the port is in host order.
struct IpEndpoint {
  bool ipv6 = false;
  uint8_t address[16] = {};
  uint16_t port = 0;

  static IpEndpoint fromIpv4(const Ipv4Endpoint& e);
  // The IPv4 form; only meaningful when !ipv6.
  Ipv4Endpoint ipv4() const;
  Ipv6Endpoint toIpv6() const;
  // 0.0.0.0 or ::
  bool unspecified() const;
  bool operator==(const IpEndpoint&) const = default;
};

enum class SocketType { Tcp, Udp };

SocketHandle createSocket(SocketType type);
SocketHandle createSocketIpv6(SocketType type);
void closeSocket(SocketHandle s);
// Shuts both directions down; wakes a thread blocked in accept or recv.
void shutdownSocket(SocketHandle s);
// Ends the sending direction only (the peer reads an orderly close).
void shutdownSend(SocketHandle s);
bool setReuseAddress(SocketHandle s);
bool setNoDelay(SocketHandle s);
bool setNonBlocking(SocketHandle s, bool on);
// SO_RCVTIMEO (receive = true) or SO_SNDTIMEO in milliseconds.
bool setTimeoutOption(SocketHandle s, int milliseconds, bool receive);
bool bindSocket(SocketHandle s, const Ipv4Endpoint& endpoint);
// A negative backlog asks for the largest backlog the system allows.
bool listenSocket(SocketHandle s, int backlog);
SocketHandle acceptSocket(SocketHandle s, Ipv4Endpoint* peer);
// What the last failed socket call of this thread reported, as text for a log line.
std::string lastSocketErrorText();

enum class ConnectStatus { Connected, InProgress, Failed };
ConnectStatus connectSocket(SocketHandle s, const Ipv4Endpoint& endpoint);
ConnectStatus connectSocketIpv6(SocketHandle s, const Ipv6Endpoint& endpoint);
// A socket of the endpoint's family, and a connect to it.
SocketHandle createSocketFor(const IpEndpoint& endpoint, SocketType type);
ConnectStatus connectEndpoint(SocketHandle s, const IpEndpoint& endpoint);
// The pending error of a socket (0 when none), as after a non-blocking connect.
int pendingError(SocketHandle s);
bool localEndpoint(SocketHandle s, Ipv4Endpoint& out);
bool peerEndpoint(SocketHandle s, Ipv4Endpoint& out);
// Either family.
bool peerEndpoint(SocketHandle s, IpEndpoint& out);

// I/O results: a byte count (0 from recv means an orderly close), or one of these.
inline constexpr long kIoError = -1;
inline constexpr long kIoWouldBlock = -2;
long sendBytes(SocketHandle s, const void* data, std::size_t length, bool dontWait);
// Bytes written to a stream socket that its peer has not acknowledged yet
// (still queued in the system); -1 when the system cannot tell.
long unacknowledgedBytes(SocketHandle s);
long recvBytes(SocketHandle s, void* buffer, std::size_t size, bool dontWait);
// `to` may be null for a connected socket; `from` may be null.
long sendDatagram(SocketHandle s, const void* data, std::size_t length, const Ipv4Endpoint* to, bool dontWait);
long recvDatagram(SocketHandle s, void* buffer, std::size_t size, Ipv4Endpoint* from, bool dontWait);
// The same with an endpoint of either family (`from` may be null).
long sendDatagramTo(SocketHandle s, const void* data, std::size_t length, const IpEndpoint& to, bool dontWait);
long recvDatagramFrom(SocketHandle s, void* buffer, std::size_t size, IpEndpoint* from, bool dontWait);

// Readiness wait over a small set of sockets.
enum WaitInterest : uint8_t { kWantRead = 1, kWantWrite = 2 };
struct WaitItem {
  SocketHandle socket = kInvalidSocket;
  uint8_t interest = kWantRead;
  bool readable = false;  // data, an orderly close or a hang-up is waiting
  bool writable = false;
  bool failed = false;  // the socket is in an error state (the "exception set")
};
// Returns the number of sockets with an event, 0 on time-out, -1 on error.
// A negative time-out waits without limit.
int waitSockets(std::span<WaitItem> items, int timeoutMs);

// Dotted-quad parsing and formatting; addresses in network byte order.
bool parseIpv4(std::string_view text, uint32_t& address);
std::string formatIpv4(uint32_t address);
// The same for IPv6 texts ("2001:db8::1", no brackets); 16 bytes in network order.
bool parseIpv6(std::string_view text, uint8_t address[16]);
std::string formatIpv6(const uint8_t address[16]);
// The system resolver: the first IPv4 address of `name`.
bool resolveIpv4(const std::string& name, uint32_t& address);
// The system resolver: the first IPv6 address of `name`.
bool resolveIpv6(const std::string& name, uint8_t address[16]);
// Either family: a literal as it is ("192.0.2.1", "2001:db8::1", "[2001:db8::1]"),
// else the name's first IPv4 address, else its first IPv6 address. The port
// is left as it was.
bool parseIpAddress(std::string_view text, IpEndpoint& out);
bool resolveAddress(const std::string& name, IpEndpoint& out);
// "192.0.2.1" or "2001:db8::1"; with the port "192.0.2.1:80" or "[2001:db8::1]:80".
std::string formatIpAddress(const IpEndpoint& endpoint);
std::string formatIpEndpoint(const IpEndpoint& endpoint);

inline constexpr uint32_t kLoopbackAddress = 0x0100007f;  // 127.0.0.1 in network order

}  // namespace vantor::platform
