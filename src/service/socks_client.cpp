#include "service/socks_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/heap.h"
#include "service/host_cache.h"
#include "service/service_log.h"
#include "service/ss_manager.h"

namespace vantor {

using namespace socks;
using Clock = std::chrono::steady_clock;

CSocksClient::CSocksClient(NodeRef currentNode, SocketHandle client, const std::string& user,
                           const std::string& password)
    : node(std::move(currentNode)),
      clientSocket(client),
      handshakeDeadline_(Clock::now() + std::chrono::seconds(kHandshakeSeconds)) {
  std::strncpy(localUser, user.c_str(), 255);
  std::strncpy(localPassword, password.c_str(), 255);
}

CSocksClient::~CSocksClient() {
  platform::closeSocket(clientSocket);
  platform::closeSocket(upstreamSocket);
  platform::closeSocket(udpSocket);
}

void CSocksClient::setTestTargets(const std::wstring& host, const std::wstring& dnsServer) {
  testHost = host;
  testDnsServer = dnsServer;
}

bool CSocksClient::run() {
  platform::peerEndpoint(clientSocket, clientPeerAddress);
  platform::setNoDelay(clientSocket);
  uint8_t first = 0;
  if (!readClientByte(first)) return handleOtherProtocol(0);
  bool ok;
  if (first == kVersion5) {
    ok = negotiateMethod() && authenticate() && handleSocks5Request();
  } else if (first == kVersion4) {
    version = kVersion4;
    ok = handleSocks4Request();
  } else {
    return handleOtherProtocol(first);
  }
  return ok && relay();
}

bool CSocksClient::handleOtherProtocol(uint8_t) { return false; }

bool CSocksClient::negotiateMethod() {
  uint8_t count = 0;
  if (!readClientByte(count)) return false;
  bool offersNone = false, offersUserPass = false;
  for (int i = 0; i < count; ++i) {
    uint8_t method = 0;
    if (!readClientByte(method)) return false;
    offersNone |= method == kMethodNone;
    offersUserPass |= method == kMethodUserPass;
  }
  const uint8_t refused[2] = {kVersion5, kMethodRefused};
  if (count == 0 || (!offersNone && !offersUserPass)) {
    sendClient(refused, 2);
    return false;
  }
  uint8_t chosen = credentialsConfigured() ? kMethodUserPass : kMethodNone;
  if ((chosen == kMethodUserPass && !offersUserPass) || (chosen == kMethodNone && !offersNone)) {
    sendClient(refused, 2);
    return false;
  }
  const uint8_t reply[2] = {kVersion5, chosen};
  return sendClient(reply, 2) == 2;
}

bool CSocksClient::authenticate() {
  if (!credentialsConfigured()) return true;
  uint8_t ver = 0, ulen = 0, plen = 0;
  char user[256] = {}, password[256] = {};
  if (!readClientByte(ver) || ver != 1) return false;
  if (!readClientByte(ulen) || ulen == 0 || !recvClientExact(user, ulen)) return false;
  if (!readClientByte(plen) || plen == 0 || !recvClientExact(password, plen)) return false;
  bool ok = checkCredentials(std::string(user, ulen), std::string(password, plen));
  const uint8_t reply[2] = {1, static_cast<uint8_t>(ok ? 0 : 1)};
  sendClient(reply, 2);
  return ok;
}

bool CSocksClient::checkCredentials(const std::string& user, const std::string& password) {
  if (localUser[0] == 0 || localPassword[0] == 0) return false;
  return user == localUser && password == localPassword;
}

bool CSocksClient::handleSocks5Request() {
  uint8_t ver = 0;
  if (!readClientByte(ver) || (ver != kVersion5 && ver != kVersion4)) return false;
  version = ver;
  const Ipv4Endpoint none{};
  // Each missing header byte has its own refusal code.
  uint8_t cmd = 0, rsv = 0, atyp = 0;
  uint8_t refusal = 0;
  if (!readClientByte(cmd))
    refusal = kRepCommandNotSupported;
  else if (!readClientByte(rsv))
    refusal = kRepFailure;
  else if (!readClientByte(atyp))
    refusal = kRepAddressNotSupported;
  if (refusal) {
    sendSocks5Reply(refusal, none);
    return false;
  }
  if (cmd != kCmdConnect && cmd != kCmdBind && cmd != kCmdUdpAssociate) return false;

  uint8_t port[2];
  char host[256] = {};
  uint32_t address = 0;
  if (atyp == kAtypIpv4) {
    uint8_t raw[4];
    if (!recvClientExact(raw, 4) || !recvClientExact(port, 2)) return false;
    std::memcpy(&address, raw, 4);
    if (cmd == kCmdConnect && (address == 0 || platform::readBe16(port) == 0)) return false;
    std::strncpy(host, platform::formatIpv4(address).c_str(), sizeof host - 1);
  } else if (atyp == kAtypIpv6) {
    // The tunnel hands every IPv6 connection over in this form; the upstream
    // sessions carry it to the node as an IPv6 address again.
    uint8_t raw[16];
    if (!recvClientExact(raw, 16) || !recvClientExact(port, 2)) return false;
    static const uint8_t kNoAddress[16] = {};
    if (cmd == kCmdConnect && (std::memcmp(raw, kNoAddress, 16) == 0 || platform::readBe16(port) == 0)) return false;
    std::strncpy(host, platform::formatIpv6(raw).c_str(), sizeof host - 1);
  } else if (atyp == kAtypDomain) {
    uint8_t length = 0;
    if (!readClientByte(length) || length == 0) return false;
    if (!recvClientExact(host, length) || !recvClientExact(port, 2)) return false;
    host[length] = 0;
  } else {
    sendSocks5Reply(kRepAddressNotSupported, none);
    return false;
  }

  command = cmd;
  reserved = rsv;
  addressType = atyp;
  if (cmd == kCmdUdpAssociate) {
    udpDeclaredAddress.port = platform::readBe16(port);
    if (atyp == kAtypIpv4) udpDeclaredAddress.address = address;
    return handleUdpAssociate();
  }
  targetPort = platform::readBe16(port);
  std::memcpy(targetHost, host, sizeof targetHost);
  return cmd == kCmdConnect ? handleConnect() : handleSocks5Bind();
}

bool CSocksClient::readSocks4Field(char* out, std::size_t capacity) {
  // At most 254 bytes before the terminating NUL.
  for (std::size_t i = 0; i < 255 && i < capacity; ++i) {
    uint8_t c = 0;
    if (!readClientByte(c)) return false;
    out[i] = static_cast<char>(c);
    if (c == 0) return true;
  }
  return false;
}

bool CSocksClient::handleSocks4Request() {
  const Ipv4Endpoint none{};
  uint8_t cd = 0;
  auto reject = [&] {
    sendSocks4Reply(kSocks4Rejected, none);
    return false;
  };
  if (!readClientByte(cd)) return reject();
  if (cd != kCmdConnect && cd != kCmdBind) return false;
  uint8_t port[2], ip[4];
  if (!recvClientExact(port, 2) || !recvClientExact(ip, 4)) return false;
  uint32_t address;
  std::memcpy(&address, ip, 4);
  if (address == 0 || platform::readBe16(port) == 0) return false;

  char userId[256];
  if (!readSocks4Field(userId, sizeof userId)) return reject();

  // SOCKS 4a: 0.0.0.x with x non-zero announces a name after the user id.
  bool is4a = ip[0] == 0 && ip[1] == 0 && ip[2] == 0 && ip[3] != 0;
  char host[256] = {};
  if (is4a) {
    if (!readSocks4Field(host, sizeof host) || host[0] == 0) return reject();
  }
  // SOCKS 4 has no login: a service that demands one refuses it, once the
  // request is read so that the refusal is not lost in a reset.
  if (credentialsConfigured()) return reject();
  if (!is4a) {
    std::strncpy(host, platform::formatIpv4(address).c_str(), sizeof host - 1);
  }
  command = cd;
  addressType = is4a ? kAtypDomain : kAtypIpv4;
  targetPort = platform::readBe16(port);
  std::memcpy(targetHost, host, sizeof targetHost);
  return cd == kCmdConnect ? handleConnect() : handleSocks4Bind();
}

bool CSocksClient::handleConnect() {
  uint32_t address = 0;
  if (platform::parseIpv4(targetHost, address) && address == platform::kLoopbackAddress && targetPort == kUdpgwPort) {
    isUdpgw = 1;
    return acceptUdpgw();
  }
  return connectUpstream();
}

bool CSocksClient::openBindListener(SocketHandle& listener, Ipv4Endpoint& bound) {
  // The peer is served here, not through the node, so the listener takes the
  // address the client reached us on: that is an address the client can pass
  // on, and nothing beyond it reaches the listener.
  Ipv4Endpoint local{};
  listener = platform::createSocket(platform::SocketType::Tcp);
  if (listener == kInvalidSocket) return false;
  if (!platform::localEndpoint(clientSocket, local) || !platform::bindSocket(listener, {local.address, 0}) ||
      !platform::listenSocket(listener, 1) || !platform::localEndpoint(listener, bound)) {
    platform::closeSocket(listener);
    listener = kInvalidSocket;
    return false;
  }
  return true;
}

SocketHandle CSocksClient::acceptBindPeer(SocketHandle listener, Ipv4Endpoint& peer) {
  // The client hanging up while we wait ends the wait as well.
  platform::WaitItem items[2] = {{listener, platform::kWantRead}, {clientSocket, platform::kWantRead}};
  int n = platform::waitSockets(items, kBindWaitSeconds * 1000);
  if (n <= 0 || !items[0].readable || items[1].readable || items[1].failed) return kInvalidSocket;
  return platform::acceptSocket(listener, &peer);
}

bool CSocksClient::handleSocks5Bind() {
  SocketHandle listener;
  Ipv4Endpoint bound{};
  if (!openBindListener(listener, bound)) {
    sendSocks5Reply(kRepFailure, {});
    return false;
  }
  Ipv4Endpoint peer{};
  bool ok = sendSocks5Reply(kRepSuccess, bound);
  if (ok) upstreamSocket = acceptBindPeer(listener, peer);
  platform::closeSocket(listener);
  if (!ok || upstreamSocket == kInvalidSocket) return false;
  platform::setNoDelay(upstreamSocket);
  plainRelay = true;
  return sendSocks5Reply(kRepSuccess, peer);
}

bool CSocksClient::handleSocks4Bind() {
  SocketHandle listener;
  Ipv4Endpoint bound{};
  if (!openBindListener(listener, bound)) {
    sendSocks4Reply(kSocks4Rejected, {});
    return false;
  }
  Ipv4Endpoint peer{};
  bool ok = sendSocks4Reply(kSocks4Granted, bound);
  if (ok) upstreamSocket = acceptBindPeer(listener, peer);
  platform::closeSocket(listener);
  if (!ok || upstreamSocket == kInvalidSocket) return false;
  platform::setNoDelay(upstreamSocket);
  plainRelay = true;
  return sendSocks4Reply(kSocks4Granted, peer);
}

bool CSocksClient::relay() {
  if (command == kCmdUdpAssociate) return relayUdpAssociation();
  if (isUdpgw) return relayUdpgw();
  return relayTcp();
}

bool CSocksClient::keepWaiting() { return relayEnabled(); }

bool CSocksClient::encodeForNode(const uint8_t* data, std::size_t length, RelayChunk& out) {
  out = {data, length, nullptr};
  return true;
}

bool CSocksClient::decodeFromNode(const uint8_t* data, std::size_t length, RelayChunk& out, bool& needSendBack) {
  needSendBack = false;
  out = {data, length, nullptr};
  return true;
}

// One direction of the TCP relay.
struct CSocksClient::RelayPipe {
  SocketHandle from = kInvalidSocket;
  SocketHandle to = kInvalidSocket;
  bool toNode = false;
  uint8_t* buffer = nullptr;  // what is read from `from`
  RelayChunk pending;         // what `to` has not taken yet, from `sent` on
  std::size_t sent = 0;
  int64_t written = 0;         // bytes handed to `to` so far
  int64_t delivered = 0;       // ... of which its peer had acknowledged at the last look
  Clock::time_point progress;  // that look, when the peer took bytes or had none waiting
  bool ended = false;          // `from` reached the end of its stream
  bool finished = false;       // ... and `to` has been told so
  std::string failure;         // why the node's side of this direction broke off, for the log

  bool waiting() const { return sent < pending.length; }
  bool reading() const { return !waiting() && !ended; }
  void drop() {
    platform::heapFree(pending.block);
    pending = {};
    sent = 0;
  }
};

bool CSocksClient::queueChunk(RelayPipe& pipe, RelayChunk chunk) {
  if (chunk.length == 0) {
    platform::heapFree(chunk.block);
    return true;
  }
  if (!pipe.waiting()) {
    pipe.drop();
    pipe.pending = chunk;
    return true;
  }
  // Behind bytes still waiting (an obfs message to send back while the
  // client's data waits for the node): both go out in one block, in order.
  std::size_t rest = pipe.pending.length - pipe.sent;
  auto* block = static_cast<uint8_t*>(platform::heapAlloc(rest + chunk.length));
  if (block) {
    std::memcpy(block, pipe.pending.data + pipe.sent, rest);
    std::memcpy(block + rest, chunk.data, chunk.length);
  }
  platform::heapFree(chunk.block);
  if (!block) return false;
  pipe.drop();
  pipe.pending = {block, rest + chunk.length, block};
  return true;
}

bool CSocksClient::drainPipe(RelayPipe& pipe) {
  while (pipe.waiting()) {
    long n = platform::sendBytes(pipe.to, pipe.pending.data + pipe.sent, pipe.pending.length - pipe.sent, true);
    if (n == platform::kIoWouldBlock) return true;
    if (n <= 0) {
      if (pipe.toNode) pipe.failure = "sending to the node failed: " + platform::lastSocketErrorText();
      return false;
    }
    pipe.sent += static_cast<std::size_t>(n);
    pipe.written += n;
    if (pipe.toNode) {
      node->counters->addBytes(static_cast<uint32_t>(n));
      node->counters->addUploaded(static_cast<uint32_t>(n));
    }
  }
  pipe.drop();
  if (pipe.ended && !pipe.finished) {
    platform::shutdownSend(pipe.to);
    pipe.finished = true;
  }
  return true;
}

bool CSocksClient::fillPipe(RelayPipe& pipe, RelayPipe& back, std::size_t readSize) {
  long n = platform::recvBytes(pipe.from, pipe.buffer, readSize, true);
  if (n == platform::kIoWouldBlock) return true;
  if (n < 0) {
    if (!pipe.toNode) pipe.failure = "reading from the node failed: " + platform::lastSocketErrorText();
    return false;
  }
  if (n == 0) {
    pipe.ended = true;
    return drainPipe(pipe);
  }
  const auto length = static_cast<std::size_t>(n);
  RelayChunk chunk{pipe.buffer, length, nullptr};
  if (plainRelay) {
    // BIND: bytes pass unchanged.
  } else if (pipe.toNode) {
    if (!encodeForNode(pipe.buffer, length, chunk)) {
      pipe.failure = "the client's bytes could not be encoded for the node";
      return false;
    }
  } else {
    bool sendBack = false;
    if (!decodeFromNode(pipe.buffer, length, chunk, sendBack)) {
      pipe.failure = "the node's stream could not be decoded";
      return false;
    }
    if (sendBack) {
      // The obfs plugin's pending handshake message goes to the node before
      // anything more of the client's.
      RelayChunk message;
      if (!encodeForNode(nullptr, 0, message) || !queueChunk(back, message) || !drainPipe(back)) {
        if (pipe.failure.empty() && back.failure.empty()) pipe.failure = "the plugin's answer to the node failed";
        platform::heapFree(chunk.block);
        return false;
      }
    }
  }
  if (!pipe.toNode) {
    node->counters->addBytes(static_cast<uint32_t>(chunk.length));
    node->counters->addDownloaded(static_cast<uint32_t>(chunk.length));
  }
  if (!queueChunk(pipe, chunk)) {
    pipe.failure = "out of memory";
    return false;
  }
  return drainPipe(pipe);
}

bool CSocksClient::receiverStalled(RelayPipe& pipe, Clock::time_point now) {
  long queued = platform::unacknowledgedBytes(pipe.to);
  if (queued < 0) queued = 0;
  const int64_t delivered = pipe.written - queued;
  if (delivered != pipe.delivered || (queued == 0 && !pipe.waiting())) {
    pipe.delivered = delivered;
    pipe.progress = now;
    return false;
  }
  if (now - pipe.progress < std::chrono::seconds(kIdleLimitSeconds)) return false;
  pipe.failure = std::string(pipe.toNode ? "the node" : "the client") + " took nothing for " +
                 std::to_string(kIdleLimitSeconds) + " s";
  return true;
}

bool CSocksClient::relayTcpLoop(std::size_t readSize) {
  RelayPipe up, down;
  up.from = down.to = clientSocket;
  up.to = down.from = upstreamSocket;
  up.toNode = true;
  up.buffer = static_cast<uint8_t*>(platform::heapAlloc(readSize));
  down.buffer = static_cast<uint8_t*>(platform::heapAlloc(readSize));
  up.progress = down.progress = Clock::now();
  auto nextLook = up.progress;
  bool ok = up.buffer && down.buffer;
  while (ok && relayEnabled() && !(up.finished && down.finished)) {
    // A socket with nothing to wait for stays out of the wait: a hang-up on
    // it would end every wait at once.
    const uint8_t clientWants =
        static_cast<uint8_t>((up.reading() ? platform::kWantRead : 0) | (down.waiting() ? platform::kWantWrite : 0));
    const uint8_t nodeWants =
        static_cast<uint8_t>((down.reading() ? platform::kWantRead : 0) | (up.waiting() ? platform::kWantWrite : 0));
    platform::WaitItem items[2] = {{clientWants ? clientSocket : kInvalidSocket, clientWants},
                                   {nodeWants ? upstreamSocket : kInvalidSocket, nodeWants}};
    int n = platform::waitSockets(items, kSelectWaitMs);
    if (n < 0) {
      up.failure = "waiting on the sockets failed: " + platform::lastSocketErrorText();
      break;
    }
    // Once a second: has either receiver taken anything?
    const auto now = Clock::now();
    if (now >= nextLook) {
      nextLook = now + std::chrono::seconds(1);
      if (receiverStalled(up, now) || receiverStalled(down, now)) break;
    }
    if (n == 0) continue;
    if (items[0].failed || items[1].failed) {
      if (items[1].failed)
        down.failure =
            "the connection to the node failed (error " + std::to_string(platform::pendingError(upstreamSocket)) + ")";
      break;
    }
    const platform::WaitItem& client = items[0];
    const platform::WaitItem& upstream = items[1];
    // Sends first: a direction whose receiver took everything may read again.
    if (client.writable) ok = drainPipe(down);
    if (ok && upstream.writable) ok = drainPipe(up);
    if (ok && client.readable && up.reading()) ok = fillPipe(up, down, readSize);
    if (ok && upstream.readable && down.reading() && relayEnabled()) ok = fillPipe(down, up, readSize);
  }
  // A relay that broke off on the node's side ends with a reset its client
  // cannot explain; the line says why. The client's own resets are its
  // application's doing and are not logged.
  if (!up.buffer || !down.buffer) {
    serviceLog("a relay could not start: out of memory");
  } else if (relayEnabled()) {
    for (const RelayPipe* pipe : {&up, &down})
      if (!pipe->failure.empty()) serviceLog("a relay ended: %s", pipe->failure.c_str());
  }
  up.drop();
  down.drop();
  platform::heapFree(up.buffer);
  platform::heapFree(down.buffer);
  return true;
}

bool CSocksClient::relayUdpLoop(SocketHandle control) {
  auto* buffer = static_cast<uint8_t*>(platform::heapAlloc(kUdpRelayBufferSize));
  if (!buffer) return false;
  platform::WaitItem items[4] = {{clientSocket, platform::kWantRead},
                                 {upstreamSocket, platform::kWantRead},
                                 {udpSocket, platform::kWantRead},
                                 {control, platform::kWantRead}};
  const std::size_t count = control == kInvalidSocket ? 3 : 4;
  bool running = true;
  while (running && relayEnabled()) {
    int n = platform::waitSockets({items, count}, kSelectWaitMs);
    if (n < 0) break;
    if (n == 0) continue;
    for (std::size_t i = 0; i < count; ++i) {
      if (items[i].failed) running = false;
    }
    for (std::size_t i = 0; i < count && running; ++i) {
      if (!items[i].readable) continue;
      if (!relayEnabled()) {
        running = false;
        break;
      }
      SocketHandle s = items[i].socket;
      if (s == clientSocket || s == control) {
        // Either TCP connection closing ends the association; its data is ignored.
        uint8_t scratch[100];
        if (recvWait(s, scratch, sizeof scratch, 0) < 0) running = false;
      } else if (s == udpSocket) {
        long got = recvDatagram(udpSocket, buffer, static_cast<long>(kUdpRelayBufferSize), 0);
        if (got < 0) {
          running = false;
          break;
        }
        if (got == 0) continue;
        long sent = sendDatagram(upstreamSocket, buffer, got, 0, true);
        if (sent < 0) {
          running = false;
          break;
        }
        node->counters->addBytes(static_cast<uint32_t>(sent));
        node->counters->addUploaded(static_cast<uint32_t>(sent));
      } else {
        long got = recvDatagram(upstreamSocket, buffer, static_cast<long>(kUdpRelayBufferSize), 0);
        if (got < 0) {
          running = false;
          break;
        }
        // Nothing decodable: no empty datagram goes to the client.
        if (got == 0) continue;
        node->counters->addBytes(static_cast<uint32_t>(got));
        node->counters->addDownloaded(static_cast<uint32_t>(got));
        // Until the client has sent its first datagram there is nowhere to deliver.
        if (udpClientAddress.port == 0) continue;
        if (sendDatagram(udpSocket, buffer, got, 0, false) < 0) running = false;
      }
    }
  }
  platform::heapFree(buffer);
  return true;
}

void CSocksClient::expectAssociationOwner() {
  udpClientAddress = udpDeclaredAddress;
  // A port without an address: the client's own address.
  if (udpClientAddress.port != 0 && udpClientAddress.address == 0) udpClientAddress.address = clientPeerAddress.address;
}

bool CSocksClient::fromAssociationOwner(const Ipv4Endpoint& source) {
  if (udpClientAddress.port != 0) return source == udpClientAddress;
  if (udpClientAddress.address != 0 && source.address != udpClientAddress.address) return false;
  udpClientAddress = source;
  return true;
}

bool CSocksClient::connectWithin(SocketHandle s, const Ipv4Endpoint& target, int seconds, int* error) {
  return connectWithin(s, IpEndpoint::fromIpv4(target), seconds, error);
}

bool CSocksClient::connectWithin(SocketHandle s, const IpEndpoint& target, int seconds, int* error) {
  int failure = 0;
  auto status = platform::connectEndpoint(s, target);
  if (status == platform::ConnectStatus::Connected) return true;
  if (status == platform::ConnectStatus::Failed) {
    failure = errno;
  } else {
    platform::WaitItem item{s, platform::kWantWrite};
    int n = platform::waitSockets({&item, 1}, seconds * 1000);
    failure = n > 0 ? platform::pendingError(s) : n == 0 ? ETIMEDOUT : errno;
    if (failure == 0) return true;
  }
  if (error) *error = failure;
  return false;
}

void CSocksClient::noteConnectFailure(bool resolved, int error, const IpEndpoint& server) {
  if (!resolved) {
    noteFailure(FailureKind::kUnresolved, node ? node->connectAddress() : std::string());
    return;
  }
  FailureKind kind = connectFailureKind(error);
  std::string where = platform::formatIpEndpoint(server);
  if (kind == FailureKind::kNone)
    noteFailure(FailureKind::kConnectRefused, where + ": " + std::strerror(error));
  else
    noteFailure(kind, where);
}

bool CSocksClient::openUpstream(bool udp, bool nonBlocking, IpEndpoint* serverAddress) {
  for (int attempt = 1;; ++attempt) {
    IpEndpoint server{};
    // TCP goes through the node's plugin program when it has one.
    bool resolved = udp ? fillNodeAddress(server, node->connectAddress(), node->server_port)
                        : fillNodeAddress(server, node->tcpConnectAddress(), node->tcpConnectPort());
    // The socket is of the node's family, IPv4 when the name did not resolve.
    SocketHandle s = platform::createSocketFor(server, udp ? platform::SocketType::Udp : platform::SocketType::Tcp);
    if (s == kInvalidSocket) return false;
    if (nonBlocking) platform::setNonBlocking(s, true);
    // No bind first: the connect picks the local port, so short sessions in
    // quick succession never run out of ports that a bind would still hold.
    ++node->counters->ConnectedTimes;
    bool connected = false;
    auto started = std::chrono::steady_clock::now();
    int error = 0;
    if (resolved) {
      if (serverAddress) *serverAddress = server;
      connected = connectWithin(s, server, 10, &error);
    }
    if (connected) {
      auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
      node->counters->Latency = elapsed == 0 ? 1 : static_cast<int32_t>(elapsed);
      if (nonBlocking) platform::setNonBlocking(s, false);
      if (!udp) platform::setNoDelay(s);
      platform::closeSocket(upstreamSocket);
      upstreamSocket = s;
      return true;
    }
    platform::closeSocket(s);
    ++node->counters->FailureTimes;
    noteConnectFailure(resolved, error, server);
    if (attempt > kMaxUpstreamRetries) return false;
  }
}

bool CSocksClient::sendSocks5Reply(uint8_t rep, const Ipv4Endpoint& bound) {
  uint8_t reply[10] = {kVersion5, rep, 0, kAtypIpv4};
  std::memcpy(reply + 4, &bound.address, 4);
  platform::writeBe16(reply + 8, bound.port);
  return sendClient(reply, sizeof reply) == static_cast<long>(sizeof reply);
}

bool CSocksClient::sendSocks4Reply(uint8_t code, const Ipv4Endpoint& bound) {
  uint8_t reply[8] = {0, code};
  platform::writeBe16(reply + 2, bound.port);
  std::memcpy(reply + 4, &bound.address, 4);
  return sendClient(reply, sizeof reply) == static_cast<long>(sizeof reply);
}

bool CSocksClient::replyResult(bool success, const Ipv4Endpoint& bound) {
  const Ipv4Endpoint address = success ? bound : Ipv4Endpoint{};
  if (version == kVersion4) return sendSocks4Reply(success ? kSocks4Granted : kSocks4Failed, address);
  return sendSocks5Reply(success ? kRepSuccess : kRepFailure, address);
}

bool CSocksClient::recvClientExact(void* buffer, std::size_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  for (std::size_t got = 0; got < size;) {
    long n = recvWithin(clientSocket, p + got, size - got, clientWaitMs());
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

int CSocksClient::clientWaitMs() const {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(handshakeDeadline_ - Clock::now()).count();
  if (left < 0) left = 0;
  return static_cast<int>(left < kClientTimeout * 1000 ? left : kClientTimeout * 1000);
}

bool CSocksClient::readClientByte(uint8_t& value) { return recvWithin(clientSocket, &value, 1, clientWaitMs()) == 1; }
bool CSocksClient::readUpstreamByte(uint8_t& value) { return readByte(upstreamSocket, value, kUpstreamByteTimeout); }
long CSocksClient::recvClient(void* buffer, std::size_t size) {
  return recvWithin(clientSocket, buffer, size, clientWaitMs());
}
long CSocksClient::recvUpstreamRaw(void* buffer, std::size_t size) {
  return recvWait(upstreamSocket, buffer, size, kClientTimeout);
}
long CSocksClient::sendClient(const void* data, std::size_t length) {
  return sendAll(clientSocket, data, length, kClientTimeout);
}
long CSocksClient::sendUpstreamRaw(const void* data, std::size_t length) {
  return sendAll(upstreamSocket, data, length, kClientTimeout);
}

}  // namespace vantor
