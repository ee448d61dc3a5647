// One session of the local service: the server side of the SOCKS 5 / 4 / 4a
// dialogue with the local client, then a relay loop towards the node. What
// differs per node kind (opening the upstream, transforming bytes) is left to
// the subclasses.
//
// Threads: a session runs entirely on its session thread (the node tester's
// sessions on the test thread); nothing in it is shared but the node's
// snapshot, which no one changes, and its counters, which are atomic.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "catalogue/node_info.h"
#include "service/failure_reason.h"
#include "service/socket_base.h"
#include "service/socks_protocol.h"

namespace vantor {

// Bytes on their way through a relay: `length` bytes at `data`, kept alive
// by `block` (a service-heap block freed once they are sent) or, when that is
// null, by whoever produced them.
struct RelayChunk {
  const uint8_t* data = nullptr;
  std::size_t length = 0;
  uint8_t* block = nullptr;
};

class CSocksClient : public CSocketBase {
 public:
  // Local dialogue reads wait 5 s per byte, and the whole dialogue (greeting,
  // login, request) must be over within 10 s; upstream single-byte reads 10 s.
  static constexpr int kClientTimeout = 5;
  static constexpr int kHandshakeSeconds = 10;
  static constexpr int kUpstreamByteTimeout = 10;
  static constexpr int kBindWaitSeconds = 120;
  static constexpr int kSelectWaitMs = 200;
  // The session's idle limit: when one side has taken none of the bytes
  // waiting for it (in the relay or in the system's send queue) for this long,
  // it stopped reading and the session ends. A receiver that takes bytes,
  // however slowly, is waited for as long as it needs.
  static constexpr int kIdleLimitSeconds = 60;

  // The session keeps `node` for its whole life; a later change of the
  // service's current node does not reach it.
  CSocksClient(NodeRef node, SocketHandle client, const std::string& localUser, const std::string& localPassword);
  ~CSocksClient() override;
  CSocksClient(const CSocksClient&) = delete;
  CSocksClient& operator=(const CSocksClient&) = delete;

  // Node-tester hooks; a plain session reports success.
  virtual bool test() { return true; }
  virtual bool tcpTest() { return true; }
  virtual bool udpTest() { return true; }
  virtual bool exitAddress() { return true; }
  virtual void setTestTargets(const std::wstring& host, const std::wstring& dnsServer);
  virtual bool udpTestBody() { return true; }
  virtual bool tcpTestBody() { return true; }

  virtual bool run();

  // Transfers with the node kind's encoding. sendUpstream returns the bytes
  // handed to the socket, or -1 when the data could not be encoded or sent in
  // full.
  virtual long sendUpstream(SocketHandle s, const uint8_t* data, long length, int timeout) = 0;
  virtual long sendDatagram(SocketHandle s, const uint8_t* data, long length, int timeout, bool toUpstreamAddress) = 0;
  virtual long recvUpstream(SocketHandle s, uint8_t* buffer, long size, int timeout, bool* needSendBack,
                            bool* needMore) = 0;
  virtual long recvDatagram(SocketHandle s, uint8_t* buffer, long size, int timeout) = 0;

  virtual bool negotiateMethod();
  virtual bool handleSocks4Request();
  virtual bool authenticate();
  virtual bool handleSocks5Request();
  virtual bool handleConnect();
  virtual bool handleUdpAssociate() = 0;
  virtual bool handleSocks5Bind();
  virtual bool handleSocks4Bind();
  virtual bool checkCredentials(const std::string& user, const std::string& password);
  virtual bool connectUpstream() = 0;
  virtual bool acceptUdpgw() = 0;
  virtual bool afterUdpAssociate() { return true; }
  virtual bool handleOtherProtocol(uint8_t firstByte);
  virtual bool relay();
  virtual bool relayUdpAssociation() = 0;
  virtual bool relayTcp() = 0;
  virtual bool relayUdpgw() = 0;
  virtual bool readClientByte(uint8_t& value);
  virtual bool readUpstreamByte(uint8_t& value);
  virtual long recvClient(void* buffer, std::size_t size);
  virtual long recvUpstreamRaw(void* buffer, std::size_t size);
  virtual long sendClient(const void* data, std::size_t length);
  virtual long sendUpstreamRaw(const void* data, std::size_t length);

  // Opens `upstreamSocket` to the node: up to four attempts, each counted in
  // the node's ConnectedTimes and, when it fails, FailureTimes.
  virtual bool openUpstream(bool udp, bool nonBlocking, IpEndpoint* serverAddress);

  // What the udpgw relay works with: the stream from the tunnel, the node, and
  // (for Shadowsocks nodes) the server's resolved UDP address.
  SocketHandle udpgwStream() const { return clientSocket; }
  const NodeRef& sessionNode() const { return node; }
  const IpEndpoint& upstreamUdp() const { return upstreamUdpAddress; }

  // Read-only views for tests and the tester.
  uint8_t requestVersion() const { return version; }
  const char* requestHost() const { return targetHost; }
  uint16_t requestPort() const { return targetPort; }
  uint8_t requestAddressType() const { return addressType; }

  // Why the last step towards the node failed, as far as the session could
  // tell; cleared by clearFailure().
  const FailureReason& failure() const { return failure_; }
  void clearFailure() { failure_ = {}; }

 protected:
  // Replies in the client's SOCKS version: 10 bytes for SOCKS 5, 8 for SOCKS 4.
  bool sendSocks5Reply(uint8_t rep, const Ipv4Endpoint& bound);
  bool sendSocks4Reply(uint8_t code, const Ipv4Endpoint& bound);
  bool replyResult(bool success, const Ipv4Endpoint& bound);
  bool credentialsConfigured() const { return localUser[0] != 0 || localPassword[0] != 0; }
  bool recvClientExact(void* buffer, std::size_t size);
  // Reads a NUL-terminated SOCKS 4 field of at most 254 bytes into `out`.
  bool readSocks4Field(char* out, std::size_t capacity);
  // Waits up to the bind time-out for one peer on `listener`; kInvalidSocket on failure.
  SocketHandle acceptBindPeer(SocketHandle listener, Ipv4Endpoint& peer);
  bool openBindListener(SocketHandle& listener, Ipv4Endpoint& bound);
  // The node kind's transformation of relayed bytes: what the client sent
  // into what goes to the node, and what the node sent into what goes to the
  // client (`needSendBack`: the node must be sent an encoded empty message
  // now). The result may be empty; false when the stream cannot go on.
  // Without a transformation the chunk is the input itself.
  virtual bool encodeForNode(const uint8_t* data, std::size_t length, RelayChunk& out);
  virtual bool decodeFromNode(const uint8_t* data, std::size_t length, RelayChunk& out, bool& needSendBack);

  // The TCP relay shared by every node kind, reading at most `readSize` bytes
  // at a time from either side. Each direction holds what its receiver has
  // not taken yet and reads more only once that is gone, so a slow receiver
  // slows its own sender and never the other direction. The end of one
  // side's stream is passed on as a shutdown of sending towards the other;
  // the session ends when both directions have ended, on any error, when a
  // receiver takes nothing for the idle limit, or when the relay is disabled.
  bool relayTcpLoop(std::size_t readSize);
  bool keepWaiting() override;
  // The UDP association relay: datagrams between udpSocket and upstreamSocket
  // through the kind's datagram operations, until the client's TCP connection
  // (or `control`, when valid) closes. A datagram operation's result of 0
  // drops that datagram.
  static constexpr std::size_t kUdpRelayBufferSize = 131014;
  bool relayUdpLoop(SocketHandle control);
  // Whether a datagram from `source` on udpSocket belongs to the association's
  // owner: the address and port the client declared in its request, or else
  // the source of the first datagram, which is then kept as the owner's.
  bool fromAssociationOwner(const Ipv4Endpoint& source);
  // Puts the declared address into udpClientAddress when UDP ASSOCIATE starts.
  void expectAssociationOwner();
  // Connects `s` to `target`, waiting up to 10 s when the connect is in progress.
  // `error`, when given, gets the system's error number of a failure (ETIMEDOUT
  // when the wait ran out).
  static bool connectWithin(SocketHandle s, const Ipv4Endpoint& target, int seconds, int* error = nullptr);
  static bool connectWithin(SocketHandle s, const IpEndpoint& target, int seconds, int* error = nullptr);
  // Records why a step towards the node failed; the latest one counts.
  void noteFailure(FailureKind kind, std::string detail = {}) { failure_ = {kind, std::move(detail)}; }
  // A connect to the node at `server` that failed with `error`; an
  // unresolved name when `resolved` is false.
  void noteConnectFailure(bool resolved, int error, const IpEndpoint& server);

  NodeRef node;
  SocketHandle clientSocket = kInvalidSocket;
  SocketHandle upstreamSocket = kInvalidSocket;
  SocketHandle udpSocket = kInvalidSocket;
  Ipv4Endpoint udpClientAddress{};
  uint8_t version = socks::kVersion5;
  uint8_t command = 0;
  uint8_t reserved = 0;
  uint8_t addressType = 0;
  char targetHost[256] = {};
  uint16_t targetPort = 0;
  Ipv4Endpoint clientPeerAddress{};
  Ipv4Endpoint udpDeclaredAddress{};
  // The node's UDP address (its relay's, for SOCKS 5), of either family.
  IpEndpoint upstreamUdpAddress{};
  char localUser[256] = {};
  char localPassword[256] = {};
  int32_t isUdpgw = 0;
  // BIND: the peer connected to this host, not to the node; its bytes pass
  // the relay unchanged whatever the node kind.
  bool plainRelay = false;
  std::wstring testHost = L"www.google.com";
  std::wstring testDnsServer = L"8.8.8.8";

 private:
  struct RelayPipe;
  bool fillPipe(RelayPipe& pipe, RelayPipe& back, std::size_t readSize);
  bool drainPipe(RelayPipe& pipe);
  bool queueChunk(RelayPipe& pipe, RelayChunk chunk);
  static bool receiverStalled(RelayPipe& pipe, std::chrono::steady_clock::time_point now);
  // Milliseconds the next read of the local dialogue may wait.
  int clientWaitMs() const;
  std::chrono::steady_clock::time_point handshakeDeadline_;
  FailureReason failure_;
};

}  // namespace vantor
