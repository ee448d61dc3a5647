#include "service/s45_client.h"

#include <cstring>
#include <string>

#include "platform/heap.h"
#include "service/host_cache.h"
#include "service/ss_manager.h"
#include "service/udp_relay.h"

namespace vantor {

using namespace socks;

namespace {

std::string socks5ReplyText(uint8_t rep) {
  static const char* const texts[] = {"succeeded",           "general failure",       "not allowed by its rules",
                                      "network unreachable", "host unreachable",      "connection refused",
                                      "TTL expired",         "command not supported", "address type not supported"};
  std::string text = "SOCKS 5 reply " + std::to_string(rep);
  if (rep < sizeof texts / sizeof texts[0]) text += std::string(": ") + texts[rep];
  return text;
}

}  // namespace

CS45CLient::~CS45CLient() { platform::closeSocket(udpControlSocket); }

bool CS45CLient::run() {
  if (!node) return false;
  return CSocksClient::run();
}

long CS45CLient::sendUpstream(SocketHandle s, const uint8_t* data, long length, int timeout) {
  if (length <= 0) return 0;
  long sent = sendAll(s, data, static_cast<std::size_t>(length), timeout);
  return sent == length ? sent : -1;
}

long CS45CLient::recvUpstream(SocketHandle s, uint8_t* buffer, long size, int timeout, bool* needSendBack,
                              bool* needMore) {
  if (needSendBack) *needSendBack = false;
  if (needMore) *needMore = false;
  return recvWait(s, buffer, static_cast<std::size_t>(size), timeout);
}

long CS45CLient::sendDatagram(SocketHandle s, const uint8_t* data, long length, int timeout, bool toUpstreamAddress) {
  if (s == udpSocket && !toUpstreamAddress)
    return sendToWait(s, data, static_cast<std::size_t>(length), udpClientAddress, timeout);
  if (s == upstreamSocket || toUpstreamAddress)
    return sendToWait(s, data, static_cast<std::size_t>(length), upstreamUdpAddress, timeout);
  return -1;
}

long CS45CLient::recvDatagram(SocketHandle s, uint8_t* buffer, long size, int timeout) {
  Ipv4Endpoint source{};
  // Only the local end's senders are checked; the node's socket is connected.
  long n = recvFromWait(s, buffer, static_cast<std::size_t>(size), s == udpSocket ? &source : nullptr, timeout);
  if (n > 0 && s == udpSocket && !fromAssociationOwner(source)) return 0;
  return n;
}

bool CS45CLient::sendExact(SocketHandle s, const uint8_t* data, std::size_t length) {
  return sendUpstream(s, data, static_cast<long>(length), kHandshakeTimeout) == static_cast<long>(length);
}

bool CS45CLient::socks5Login(SocketHandle s) {
  const std::string& user = node->username;
  const std::string& password = node->password;
  const uint8_t greeting[3] = {kVersion5, 1, user.empty() ? kMethodNone : kMethodUserPass};
  uint8_t reply[2];
  if (!sendExact(s, greeting, 3) || !recvExact(s, reply, 2, kHandshakeTimeout)) {
    noteFailure(FailureKind::kNoAnswer, "no reply to the SOCKS 5 greeting");
    return false;
  }
  if (reply[0] != kVersion5) {
    noteFailure(FailureKind::kBadAnswer, "not a SOCKS 5 server");
    return false;
  }
  // The node accepts none of the methods offered: it wants a login we do
  // not have, or does not take the one we offered.
  if (reply[1] == kMethodRefused) {
    noteFailure(FailureKind::kAuthRefused, user.empty() ? "SOCKS 5 reply: a user name and password are required"
                                                        : "SOCKS 5 reply: no acceptable method");
    return false;
  }
  // Another refused method shows up as a refusal of the request that follows.
  if (user.empty() || reply[1] != kMethodUserPass) return true;
  if (user.size() > 255 || password.size() > 255) return false;
  uint8_t login[515];
  std::size_t n = 0;
  login[n++] = 1;
  login[n++] = static_cast<uint8_t>(user.size());
  std::memcpy(login + n, user.data(), user.size());
  n += user.size();
  login[n++] = static_cast<uint8_t>(password.size());
  std::memcpy(login + n, password.data(), password.size());
  n += password.size();
  if (!sendExact(s, login, n) || !recvExact(s, reply, 2, kHandshakeTimeout)) {
    noteFailure(FailureKind::kNoAnswer, "no reply to the SOCKS 5 login");
    return false;
  }
  if (reply[0] != 1 || reply[1] != 0) {
    noteFailure(FailureKind::kAuthRefused, "SOCKS 5 reply: login status " + std::to_string(reply[1]));
    return false;
  }
  return true;
}

bool CS45CLient::socks5Request(SocketHandle s, uint8_t cmd, IpEndpoint& bound) {
  uint8_t request[262] = {kVersion5, cmd, 0};
  std::size_t n = 3;
  uint32_t address = 0;
  uint8_t address6[16];
  if (cmd == kCmdUdpAssociate) {
    // 0.0.0.0:0, or [::]:0 when the node is reached over IPv6: datagrams will
    // come from wherever the node sees them.
    IpEndpoint control;
    bool ipv6 = platform::peerEndpoint(s, control) && control.ipv6;
    request[n++] = ipv6 ? kAtypIpv6 : kAtypIpv4;
    std::memset(request + n, 0, ipv6 ? 16 : 4);
    n += ipv6 ? 16 : 4;
    platform::writeBe16(request + n, 0);
  } else if (addressType == kAtypIpv4 && platform::parseIpv4(targetHost, address)) {
    request[n++] = kAtypIpv4;
    std::memcpy(request + n, &address, 4);
    n += 4;
    platform::writeBe16(request + n, targetPort);
  } else if (addressType == kAtypIpv6 && platform::parseIpv6(targetHost, address6)) {
    request[n++] = kAtypIpv6;
    std::memcpy(request + n, address6, 16);
    n += 16;
    platform::writeBe16(request + n, targetPort);
  } else {
    std::size_t length = std::strlen(targetHost);
    request[n++] = kAtypDomain;
    request[n++] = static_cast<uint8_t>(length);
    std::memcpy(request + n, targetHost, length);
    n += length;
    platform::writeBe16(request + n, targetPort);
  }
  n += 2;
  if (!sendExact(s, request, n)) return false;

  // The reply: VER REP RSV ATYP, then the bound address in its type's form
  // and the port. Anything else is not a reply this client can follow.
  uint8_t head[4];
  bool associate = cmd == kCmdUdpAssociate;
  if (!recvExact(s, head, 4, kHandshakeTimeout)) {
    // A node that hangs up on UDP ASSOCIATE after a good login has no relay.
    if (associate)
      noteFailure(FailureKind::kNoUdpRelay, "no reply to UDP ASSOCIATE");
    else
      noteFailure(FailureKind::kNoAnswer, "no reply to the SOCKS 5 request");
    return false;
  }
  if (head[0] != kVersion5) {
    noteFailure(FailureKind::kBadAnswer, "not a SOCKS 5 reply");
    return false;
  }
  if (head[1] != kRepSuccess) {
    noteFailure(associate ? FailureKind::kNoUdpRelay : FailureKind::kRequestRefused, socks5ReplyText(head[1]));
    return false;
  }
  bound = {};
  uint8_t rest[257];
  switch (head[3]) {
    case kAtypIpv4:
      if (!recvExact(s, rest, 6, kHandshakeTimeout)) return false;
      std::memcpy(bound.address, rest, 4);
      bound.port = platform::readBe16(rest + 4);
      return true;
    case kAtypDomain: {
      uint8_t length = 0;
      if (!recvExact(s, &length, 1, kHandshakeTimeout) ||
          !recvExact(s, rest, static_cast<std::size_t>(length) + 2, kHandshakeTimeout))
        return false;
      bound.port = platform::readBe16(rest + length);
      return true;
    }
    case kAtypIpv6:
      if (!recvExact(s, rest, 18, kHandshakeTimeout)) return false;
      bound.ipv6 = true;
      std::memcpy(bound.address, rest, 16);
      bound.port = platform::readBe16(rest + 16);
      return true;
    default:
      return false;
  }
}

bool CS45CLient::socks4Connect() {
  // Names are resolved here: the node speaks plain SOCKS 4.
  if (addressType == kAtypIpv6) {
    noteFailure(FailureKind::kRequestRefused, "SOCKS 4 cannot carry an IPv6 destination");
    return false;
  }
  Ipv4Endpoint target{};
  if (!fillAddress(target, targetHost, targetPort)) return false;
  const std::string& user = node->username;
  uint8_t request[8 + 256];
  request[0] = kVersion4;
  request[1] = kCmdConnect;
  platform::writeBe16(request + 2, targetPort);
  std::memcpy(request + 4, &target.address, 4);
  std::size_t n = 8;
  std::size_t userLength = user.size() < 255 ? user.size() : 255;
  std::memcpy(request + n, user.data(), userLength);
  n += userLength;
  request[n++] = 0;
  uint8_t reply[8];
  if (!sendExact(upstreamSocket, request, n) || !recvExact(upstreamSocket, reply, 8, kHandshakeTimeout)) {
    noteFailure(FailureKind::kNoAnswer, "no reply to the SOCKS 4 request");
    return false;
  }
  if (reply[1] != kSocks4Granted) {
    noteFailure(FailureKind::kRequestRefused, "SOCKS 4 reply " + std::to_string(reply[1]));
    return false;
  }
  return true;
}

bool CS45CLient::connectUpstream() {
  bool ok = openUpstream(false, true, nullptr);
  Ipv4Endpoint local{};
  platform::localEndpoint(clientSocket, local);
  if (ok) {
    if (node->isSocks4()) {
      ok = socks4Connect();
    } else if (node->isSocks5()) {
      IpEndpoint bound{};
      ok = socks5Login(upstreamSocket) && socks5Request(upstreamSocket, kCmdConnect, bound);
    } else {
      ok = false;
    }
  }
  return replyResult(ok, local) && ok;
}

bool CS45CLient::acceptUdpgw() {
  Ipv4Endpoint local{};
  platform::localEndpoint(clientSocket, local);
  return replyResult(true, local);
}

void CS45CLient::failUdpAssociate() { sendSocks5Reply(kRepFailure, {}); }

bool CS45CLient::openUdpControl() {
  platform::closeSocket(udpControlSocket);
  udpControlSocket = kInvalidSocket;
  IpEndpoint server{};
  bool resolved = fillNodeAddress(server, node->connectAddress(), node->server_port);
  SocketHandle s = platform::createSocketFor(server, platform::SocketType::Tcp);
  if (s == kInvalidSocket) return false;
  platform::setNonBlocking(s, true);
  ++node->counters->ConnectedTimes;
  int error = 0;
  if (!resolved || !connectWithin(s, server, kConnectTimeout, &error)) {
    ++node->counters->FailureTimes;
    platform::closeSocket(s);
    noteConnectFailure(resolved, error, server);
    return false;
  }
  platform::setNonBlocking(s, false);
  platform::setNoDelay(s);
  IpEndpoint bound{};
  if (!socks5Login(s) || !socks5Request(s, kCmdUdpAssociate, bound)) {
    platform::closeSocket(s);
    return false;
  }
  // Datagrams to port 0 would go nowhere.
  if (bound.port == 0) {
    platform::closeSocket(s);
    noteFailure(FailureKind::kNoUdpRelay, "the relay has no port");
    return false;
  }
  // A relay that reports no address of its own means "the server's address".
  if (bound.unspecified()) {
    uint16_t port = bound.port;
    bound = server;
    bound.port = port;
  }
  upstreamUdpAddress = bound;
  udpControlSocket = s;
  return true;
}

bool CS45CLient::handleUdpAssociate() {
  if (!node->isSocks5() || !openUdpControl()) {
    failUdpAssociate();
    return false;
  }
  // The local end of the association is bound to the loopback address the
  // client reached us on, so nothing beyond this host can feed it datagrams.
  Ipv4Endpoint local{};
  platform::localEndpoint(clientSocket, local);
  SocketHandle u = platform::createSocket(platform::SocketType::Udp);
  if (u == kInvalidSocket || !platform::bindSocket(u, {local.address, 0})) {
    platform::closeSocket(u);
    failUdpAssociate();
    return false;
  }
  platform::closeSocket(upstreamSocket);
  upstreamSocket = platform::createSocketFor(upstreamUdpAddress, platform::SocketType::Udp);
  ++node->counters->ConnectedTimes;
  if (upstreamSocket == kInvalidSocket || !connectWithin(upstreamSocket, upstreamUdpAddress, kConnectTimeout)) {
    ++node->counters->FailureTimes;
    platform::closeSocket(u);
    failUdpAssociate();
    return false;
  }
  Ipv4Endpoint bound{};
  platform::localEndpoint(u, bound);
  udpSocket = u;
  expectAssociationOwner();
  if (!sendSocks5Reply(kRepSuccess, bound)) return false;
  return afterUdpAssociate();
}

bool CS45CLient::relayUdpAssociation() { return relayUdpLoop(udpControlSocket); }

bool CS45CLient::relayTcp() { return relayTcpLoop(kTcpBufferSize); }

bool CS45CLient::relayUdpgw() {
  CS45TCPUDPMainLoop loop(this);
  return loop.run();
}

}  // namespace vantor
