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
// The pending error of a socket (0 when none), as after a non-blocking connect.
int pendingError(SocketHandle s);
bool localEndpoint(SocketHandle s, Ipv4Endpoint& out);
bool peerEndpoint(SocketHandle s, Ipv4Endpoint& out);

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

inline constexpr uint32_t kLoopbackAddress = 0x0100007f;  // 127.0.0.1 in network order

}  // namespace vantor::platform
