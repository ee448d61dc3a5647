#include "service/s45_client.h"

#include <cstring>

#include "platform/heap.h"
#include "service/host_cache.h"
#include "service/ss_manager.h"
#include "service/udp_relay.h"

namespace vantor {

using namespace socks;

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
  long n = recvFromWait(s, buffer, static_cast<std::size_t>(size), &source, timeout);
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
  if (!sendExact(s, greeting, 3) || !recvExact(s, reply, 2, kHandshakeTimeout) || reply[0] != kVersion5) return false;
  // A refused method shows up as a refusal of the request that follows.
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
  return sendExact(s, login, n) && recvExact(s, reply, 2, kHandshakeTimeout) && reply[0] == 1 && reply[1] == 0;
}

bool CS45CLient::socks5Request(SocketHandle s, uint8_t cmd, Ipv4Endpoint& bound) {
  uint8_t request[262] = {kVersion5, cmd, 0};
  std::size_t n = 3;
  uint32_t address = 0;
  if (cmd == kCmdUdpAssociate) {
    request[n++] = kAtypIpv4;
    n += 4;  // 0.0.0.0
    platform::writeBe16(request + n, 0);
  } else if (addressType == kAtypIpv4 && platform::parseIpv4(targetHost, address)) {
    request[n++] = kAtypIpv4;
    std::memcpy(request + n, &address, 4);
    n += 4;
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
  if (!recvExact(s, head, 4, kHandshakeTimeout) || head[0] != kVersion5 || head[1] != kRepSuccess) return false;
  bound = {};
  uint8_t rest[257];
  switch (head[3]) {
    case kAtypIpv4:
      if (!recvExact(s, rest, 6, kHandshakeTimeout)) return false;
      std::memcpy(&bound.address, rest, 4);
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
      bound.port = platform::readBe16(rest + 16);
      // A CONNECT goes on whatever address the node bound for it; a UDP
      // relay on an IPv6 address cannot be reached from our IPv4 sockets.
      return cmd != kCmdUdpAssociate;
    default:
      return false;
  }
}

bool CS45CLient::socks4Connect() {
  // Names are resolved here: the node speaks plain SOCKS 4.
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
  return sendExact(upstreamSocket, request, n) && recvExact(upstreamSocket, reply, 8, kHandshakeTimeout) &&
         reply[1] == kSocks4Granted;
}

bool CS45CLient::connectUpstream() {
  bool ok = openUpstream(false, true, nullptr);
  Ipv4Endpoint local{};
  platform::localEndpoint(clientSocket, local);
  if (ok) {
    if (node->isSocks4()) {
      ok = socks4Connect();
    } else if (node->isSocks5()) {
      Ipv4Endpoint bound{};
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
  SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
  if (s == kInvalidSocket) return false;
  platform::setNonBlocking(s, true);
  ++node->ConnectedTimes;
  Ipv4Endpoint server{};
  if (!fillAddress(server, node->connectAddress(), node->server_port) || !connectWithin(s, server, kConnectTimeout)) {
    ++node->FailureTimes;
    platform::closeSocket(s);
    return false;
  }
  platform::setNonBlocking(s, false);
  platform::setNoDelay(s);
  Ipv4Endpoint bound{};
  if (!socks5Login(s) || !socks5Request(s, kCmdUdpAssociate, bound)) {
    platform::closeSocket(s);
    return false;
  }
  // A relay that reports no address of its own means "the server's address".
  if (bound.address == 0) bound.address = server.address;
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
  upstreamSocket = platform::createSocket(platform::SocketType::Udp);
  ++node->ConnectedTimes;
  if (upstreamSocket == kInvalidSocket || !connectWithin(upstreamSocket, upstreamUdpAddress, kConnectTimeout)) {
    ++node->FailureTimes;
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
