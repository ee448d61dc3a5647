// Latency through IcmpSendEcho2: Windows lets every user send echoes through
// the ICMP helper, so no raw socket and no privilege is needed.
#include "platform/windows/host_text.h"
// clang-format off
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/icmp.h"

namespace vantor::platform {
namespace {

void startWinsock() {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

bool parseAddress(const std::string& address, in_addr& out) {
  startWinsock();
  return InetPtonA(AF_INET, address.c_str(), &out) == 1;
}

bool parseAddress6(const std::string& address, sockaddr_in6& out) {
  startWinsock();
  out = sockaddr_in6{};
  out.sin6_family = AF_INET6;
  return InetPtonA(AF_INET6, address.c_str(), &out.sin6_addr) == 1;
}

// The head of an ICMPv6 echo reply as Icmp6SendEcho2 writes it (the SDK's
// ICMPV6_ECHO_REPLY, whose address part is byte-packed); the echoed payload
// follows it.
#pragma pack(push, 1)
struct Ipv6AddressEx {
  USHORT port;
  ULONG flowInfo;
  USHORT address[8];
  ULONG scopeId;
};
#pragma pack(pop)
static_assert(sizeof(Ipv6AddressEx) == 26);
struct Icmpv6EchoReply {
  Ipv6AddressEx address;
  ULONG status;
  unsigned int roundTripTime;
};

bool icmpEcho6(const sockaddr_in6& target, std::string_view payload, int ttl, int timeoutMs, EchoResult& result) {
  HANDLE icmp = Icmp6CreateFile();
  if (icmp == INVALID_HANDLE_VALUE) return false;
  IP_OPTION_INFORMATION options{};
  options.Ttl = static_cast<UCHAR>(ttl > 0 && ttl < 256 ? ttl : 64);
  std::vector<char> reply(sizeof(Icmpv6EchoReply) + payload.size() + 8 + 64);
  std::string request(payload);
  sockaddr_in6 source{};
  source.sin6_family = AF_INET6;
  sockaddr_in6 destination = target;
  DWORD count = Icmp6SendEcho2(icmp, nullptr, nullptr, nullptr, &source, &destination, request.data(),
                               static_cast<WORD>(request.size()), &options, reply.data(),
                               static_cast<DWORD>(reply.size()), static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 1));
  IcmpCloseHandle(icmp);
  if (count == 0) return false;
  Icmpv6EchoReply echo;
  std::memcpy(&echo, reply.data(), sizeof echo);
  if (echo.status != IP_SUCCESS ||
      (payload.size() && std::memcmp(reply.data() + sizeof echo, payload.data(), payload.size()) != 0))
    return false;
  result.roundTripMs = static_cast<int>(echo.roundTripTime);
  result.method = LatencyMethod::IcmpEcho;
  in6_addr from{};
  std::memcpy(&from, echo.address.address, sizeof from);
  char text[INET6_ADDRSTRLEN] = {};
  InetNtopA(AF_INET6, &from, text, sizeof text);
  result.from = text;
  return true;
}

}  // namespace

bool icmpDatagramAllowed() {
  HANDLE icmp = IcmpCreateFile();
  if (icmp == INVALID_HANDLE_VALUE) return false;
  IcmpCloseHandle(icmp);
  return true;
}

bool icmpEcho(const std::string& address, std::string_view payload, int ttl, int timeoutMs, EchoResult& result) {
  if (payload.size() > 0xFFFF - 48) return false;
  sockaddr_in6 target6;
  if (parseAddress6(address, target6)) return icmpEcho6(target6, payload, ttl, timeoutMs, result);
  in_addr target{};
  if (!parseAddress(address, target)) return false;
  HANDLE icmp = IcmpCreateFile();
  if (icmp == INVALID_HANDLE_VALUE) return false;
  IP_OPTION_INFORMATION options{};
  options.Ttl = static_cast<UCHAR>(ttl > 0 && ttl < 256 ? ttl : 64);
  // The reply, its payload and room for an ICMP error that quotes the request.
  std::vector<char> reply(sizeof(ICMP_ECHO_REPLY) + payload.size() + 8 + 64);
  std::string request(payload);
  DWORD count = IcmpSendEcho2(icmp, nullptr, nullptr, nullptr, target.S_un.S_addr, request.data(),
                              static_cast<WORD>(request.size()), &options, reply.data(),
                              static_cast<DWORD>(reply.size()), static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 1));
  IcmpCloseHandle(icmp);
  if (count == 0) return false;
  const auto* echo = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
  if (echo->Status != IP_SUCCESS || echo->DataSize != payload.size() ||
      (payload.size() && std::memcmp(echo->Data, payload.data(), payload.size()) != 0))
    return false;
  result.roundTripMs = static_cast<int>(echo->RoundTripTime);
  result.method = LatencyMethod::IcmpEcho;
  in_addr from{};
  from.S_un.S_addr = echo->Address;
  char text[INET_ADDRSTRLEN] = {};
  InetNtopA(AF_INET, &from, text, sizeof text);
  result.from = text;
  return true;
}

bool tcpConnectTime(const std::string& address, uint16_t port, int timeoutMs, EchoResult& result) {
  sockaddr_storage target{};
  int targetLength = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(target);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
  if (port == 0) return false;
  if (parseAddress(address, v4.sin_addr)) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    targetLength = sizeof v4;
  } else if (parseAddress6(address, v6)) {
    v6.sin6_port = htons(port);
    targetLength = sizeof v6;
  } else {
    return false;
  }
  SOCKET s = socket(target.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  const auto start = std::chrono::steady_clock::now();
  bool answered = false;
  if (connect(s, reinterpret_cast<sockaddr*>(&target), targetLength) == 0) {
    answered = true;
  } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &wait) > 0) {
      int error = 0;
      int length = sizeof error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      // A refusal answers as surely as an accept: both came from the host.
      answered = FD_ISSET(s, &writable) || error == WSAECONNREFUSED;
    }
  } else {
    answered = WSAGetLastError() == WSAECONNREFUSED;
  }
  closesocket(s);
  if (!answered) return false;
  result.roundTripMs = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  result.method = LatencyMethod::TcpConnect;
  result.from = address;
  return true;
}

bool measureLatency(const std::string& address, uint16_t port, std::string_view payload, int ttl, int timeoutMs,
                    EchoResult& result) {
  if (icmpDatagramAllowed()) return icmpEcho(address, payload, ttl, timeoutMs, result);
  return tcpConnectTime(address, port, timeoutMs, result);
}

}  // namespace vantor::platform
