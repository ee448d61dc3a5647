#include "service/ssr_client.h"

#include <cstring>

#include "crypto/ssr/plugins.h"
#include "platform/heap.h"
#include "service/host_cache.h"
#include "service/ss_manager.h"
#include "service/udp_relay.h"

namespace vantor {

using namespace socks;

namespace {
// Frees a heap block when it goes out of scope; `ptr` may be replaced by the
// plugins, which free the old block themselves.
struct HeapBlock {
  uint8_t* ptr = nullptr;
  ~HeapBlock() { platform::heapFree(ptr); }
  uint8_t* release() {
    uint8_t* p = ptr;
    ptr = nullptr;
    return p;
  }
};

uint8_t* heapCopy(const uint8_t* data, long length, long capacity) {
  auto* block = static_cast<uint8_t*>(platform::heapAlloc(static_cast<std::size_t>(capacity < 1 ? 1 : capacity)));
  if (block && length > 0) std::memcpy(block, data, static_cast<std::size_t>(length));
  return block;
}
}  // namespace

CSSCLient::~CSSCLient() {
  // Plugins go first, then the cipher; the base closes the sockets.
  protocolPlugin.reset();
  obfsPlugin.reset();
  cryptor.reset();
}

bool CSSCLient::handleUdpAssociate() {
  // The local end is bound to the loopback address the client reached us
  // on, so nothing beyond this host can feed the association.
  Ipv4Endpoint local{};
  platform::localEndpoint(clientSocket, local);
  SocketHandle u = platform::createSocket(platform::SocketType::Udp);
  if (u == kInvalidSocket || !platform::bindSocket(u, {local.address, 0})) {
    platform::closeSocket(u);
    sendSocks5Reply(kRepFailure, {});
    return false;
  }
  IpEndpoint server{};
  if (!openUpstream(true, false, &server)) {
    platform::closeSocket(u);
    sendSocks5Reply(kRepFailure, {});
    return false;
  }
  upstreamUdpAddress = server;
  Ipv4Endpoint bound{};
  platform::localEndpoint(u, bound);
  udpSocket = u;
  expectAssociationOwner();
  if (!sendSocks5Reply(kRepSuccess, bound)) return false;
  return afterUdpAssociate();
}

bool CSSCLient::acceptUdpgw() {
  bool resolved = fillNodeAddress(upstreamUdpAddress, node->connectAddress(), node->server_port);
  Ipv4Endpoint local{};
  if (resolved) platform::localEndpoint(clientSocket, local);
  replyResult(resolved, local);
  return resolved;
}

CSSRCLient::~CSSRCLient() = default;

bool ShadowsocksPipeline::create(const NodeSnapshot& node) {
  using C = CSSRCLient;
  cryptor.reset(CreateCryptor(node.method, node.password));
  if (!cryptor) return false;
  protocolPlugin = CreatePlugin(node.protocol, node.protocolparam);
  obfsPlugin = CreatePlugin(node.obfs, node.obfsparam);
  if (!protocolPlugin || !obfsPlugin) return false;
  CAuthData* auth = GetProcessAuthData();
  // The plugins are keyed with what the server sees first: the IV, or the AEAD salt.
  obfsPlugin->SetServerInfo(node.server, node.server_port, node.obfsparam, auth, cryptor->GetWireIV(),
                            cryptor->GetWireIVLength(), cryptor->GetKey(), cryptor->GetKeyLength(), nullptr, 0,
                            C::kTcpMss, C::kDefaultHeadLen, 0, C::kPluginBufferSize);
  auto overhead = static_cast<uint16_t>(obfsPlugin->GetOverhead() + protocolPlugin->GetOverhead());
  protocolPlugin->SetServerInfo(node.server, node.server_port, node.obfsparam, auth, cryptor->GetWireIV(),
                                cryptor->GetWireIVLength(), cryptor->GetKey(), cryptor->GetKeyLength(), nullptr, 0,
                                C::kTcpMss, C::kDefaultHeadLen, overhead, C::kPluginBufferSize);
  return true;
}

void ShadowsocksPipeline::renew() {
  cryptor->Reset();
  protocolPlugin->UpdateIvKey(cryptor->GetWireIV(), cryptor->GetWireIVLength(), cryptor->GetKey(),
                              cryptor->GetKeyLength());
  obfsPlugin->UpdateIvKey(cryptor->GetWireIV(), cryptor->GetWireIVLength(), cryptor->GetKey(), cryptor->GetKeyLength());
}

bool CSSRCLient::createPipeline() {
  ShadowsocksPipeline pipeline;
  if (!pipeline.create(*node)) return false;
  cryptor = std::move(pipeline.cryptor);
  protocolPlugin = std::move(pipeline.protocolPlugin);
  obfsPlugin = std::move(pipeline.obfsPlugin);
  passThroughPlugins = protocolPlugin->GetName() == "origin" && obfsPlugin->GetName() == "plain";
  return true;
}

bool CSSRCLient::run() {
  if (!node || !createPipeline()) return false;
  return CSocksClient::run();
}

bool CSSRCLient::encodeForNode(const uint8_t* data, std::size_t size, RelayChunk& out) {
  out = {};
  const auto length = static_cast<int>(size);
  uint8_t* encoded = nullptr;
  int encodedLength = 0;
  if (passThroughPlugins) {
    // origin and plain change nothing: encrypt straight from the caller's bytes.
    if (length < 1) return true;
    if (!cryptor->Encrypt(data, length, encoded, encodedLength, false)) return false;
    out = {encoded, static_cast<std::size_t>(encodedLength), encoded};
    return true;
  }
  HeapBlock plain{heapCopy(data, length, length)};
  if (!plain.ptr) return false;
  int plainLength = length;
  protocolPlugin->ClientPreEncrypt(plain.ptr, plainLength, plainLength);
  HeapBlock cipher;
  int cipherLength = 0;
  if (plainLength >= 1 && !cryptor->Encrypt(plain.ptr, plainLength, cipher.ptr, cipherLength, false)) return false;
  int outLength = 0;
  obfsPlugin->ClientEncode(cipher.ptr, cipherLength, plainLength, outLength);
  if (outLength <= 0) return true;
  encoded = cipher.release();
  out = {encoded, static_cast<std::size_t>(outLength), encoded};
  return true;
}

bool CSSRCLient::decodeFromNode(const uint8_t* data, std::size_t size, RelayChunk& out, bool& needSendBack) {
  out = {};
  needSendBack = false;
  // Any decoding failure means the stream can no longer be followed: what
  // comes after an unauthenticated or undecodable chunk is garbage, so the
  // connection ends rather than passing on corrupt data.
  // The plugins work on a copy (they may replace the block); origin and plain
  // change nothing, so the cipher reads the received bytes in place.
  HeapBlock wire;
  const uint8_t* received = data;
  auto length = static_cast<int>(size);
  if (!passThroughPlugins) {
    wire.ptr = heapCopy(data, length, length);
    if (!wire.ptr) return false;
    if (!obfsPlugin->ClientDecode(wire.ptr, length, static_cast<int>(kTcpBufferSize), length, needSendBack))
      return false;
    if (length <= 0) return true;
    received = wire.ptr;
  }
  HeapBlock plain;
  int plainLength = 0;
  bool more = false;
  if (!cryptor->Decrypt(received, length, plain.ptr, plainLength, more, false)) return false;
  if (plainLength <= 0) return true;
  int outLength = plainLength;
  if (!passThroughPlugins && !protocolPlugin->ClientPostDecrypt(plain.ptr, plainLength, outLength)) return false;
  if (outLength <= 0) return true;
  uint8_t* block = plain.release();
  out = {block, static_cast<std::size_t>(outLength), block};
  return true;
}

long CSSRCLient::sendUpstream(SocketHandle s, const uint8_t* data, long length, int timeout) {
  if (s != upstreamSocket || !pipelineEnabled) {
    if (length <= 0) return 0;
    long sent = sendAll(s, data, static_cast<std::size_t>(length), timeout);
    return sent == length ? sent : -1;
  }
  RelayChunk encoded;
  // Data that cannot be encoded would leave a gap in the node's stream.
  if (!encodeForNode(data, static_cast<std::size_t>(length < 0 ? 0 : length), encoded)) return -1;
  if (encoded.length == 0) return 0;
  long sent = sendAll(s, encoded.data, encoded.length, timeout);
  platform::heapFree(encoded.block);
  // Encoded bytes that did not all go out leave the server's stream broken.
  return sent == static_cast<long>(encoded.length) ? sent : -1;
}

long CSSRCLient::recvUpstream(SocketHandle s, uint8_t* buffer, long size, int timeout, bool* needSendBack,
                              bool* needMore) {
  if (needSendBack) *needSendBack = false;
  if (needMore) *needMore = false;
  long readSize = size < kReadSize ? size : kReadSize;
  long got = recvWait(s, buffer, static_cast<std::size_t>(readSize), timeout);
  if (got <= 0) return got == 0 && timeout != 0 ? 0 : -1;
  if (s != upstreamSocket || !pipelineEnabled) return got;
  RelayChunk plain;
  bool sendBack = false;
  if (!decodeFromNode(buffer, static_cast<std::size_t>(got), plain, sendBack)) return -1;
  if (needSendBack) *needSendBack = sendBack;
  long n = static_cast<long>(plain.length);
  if (n > size) n = -1;  // never write past the caller's buffer
  if (n > 0) std::memcpy(buffer, plain.data, plain.length);
  platform::heapFree(plain.block);
  return n;
}

int CSSRCLient::addressHeader(uint8_t type, const char* host, uint16_t port, uint8_t* out) {
  int n = 0;
  if (type == kAtypIpv4) {
    uint32_t address = 0;
    if (!platform::parseIpv4(host, address)) return 0;
    out[n++] = kAtypIpv4;
    std::memcpy(out + n, &address, 4);
    n += 4;
  } else if (type == kAtypIpv6) {
    uint8_t address[16];
    if (!platform::parseIpv6(host, address)) return 0;
    out[n++] = kAtypIpv6;
    std::memcpy(out + n, address, 16);
    n += 16;
  } else if (type == kAtypDomain) {
    std::size_t length = std::strlen(host);
    if (length == 0 || length > 255) return 0;
    out[n++] = kAtypDomain;
    out[n++] = static_cast<uint8_t>(length);
    std::memcpy(out + n, host, length);
    n += static_cast<int>(length);
  } else {
    return 0;
  }
  platform::writeBe16(out + n, port);
  return n + 2;
}

int CSSRCLient::headLength(uint8_t type, const char* host) {
  if (type == kAtypIpv4) return 7;
  if (type == kAtypIpv6) return 19;
  return static_cast<uint8_t>(std::strlen(host)) + 4;
}

bool CSSRCLient::connectUpstream() {
  int headLen = headLength(addressType, targetHost);
  protocolPlugin->SetHeadLen(headLen);
  obfsPlugin->SetHeadLen(headLen);
  if (!openUpstream(false, true, nullptr)) {
    replyResult(false, {});
    return false;
  }
  Ipv4Endpoint local{};
  platform::localEndpoint(upstreamSocket, local);
  if (!replyResult(true, local)) return false;
  uint8_t header[262];
  int length = addressHeader(addressType, targetHost, targetPort, header);
  if (length == 0) return false;
  return sendUpstream(upstreamSocket, header, length, kHeaderTimeout) > 0;
}

bool CSSRCLient::relayTcp() { return relayTcpLoop(static_cast<std::size_t>(kReadSize)); }

bool CSSRCLient::relayUdpAssociation() { return relayUdpLoop(kInvalidSocket); }

bool CSSRCLient::relayUdpgw() {
  CSSRTCPUDPMainLoop loop(this);
  return loop.run();
}

long CSSRCLient::sendDatagram(SocketHandle s, const uint8_t* data, long length, int timeout, bool) {
  return sendUdpAssociationDatagram(s, data, length, timeout);
}

long CSSRCLient::recvDatagram(SocketHandle s, uint8_t* buffer, long size, int timeout) {
  return recvUdpAssociationDatagram(s, buffer, size, timeout);
}

long CSSRCLient::sendUdpAssociationDatagram(SocketHandle s, const uint8_t* data, long length, int timeout) {
  if (s == udpSocket) return sendToWait(s, data, static_cast<std::size_t>(length), udpClientAddress, timeout);
  if (s != upstreamSocket) return -1;
  // RSV RSV FRAG, then the address header and the payload. Fragments are not
  // reassembled here, so a datagram with a non-zero FRAG is dropped rather
  // than delivered as if it were whole.
  if (length < 4 || data[2] != 0) return 0;
  HeapBlock plain{heapCopy(data + 3, length - 3, length - 3)};
  if (!plain.ptr) return -1;
  int plainLength = static_cast<int>(length - 3);
  if (!protocolPlugin->ClientUdpPreEncrypt(plain.ptr, plainLength, plainLength) || plainLength <= 0) return 0;
  cryptor->Reset();
  HeapBlock cipher;
  int cipherLength = 0;
  if (!cryptor->Encrypt(plain.ptr, plainLength, cipher.ptr, cipherLength, true)) return 0;
  // IV or salt and tag can push a large datagram past what UDP carries: that
  // one datagram is dropped, the association goes on.
  if (cipherLength > kMaxDatagram) return 0;
  return sendToWait(s, cipher.ptr, static_cast<std::size_t>(cipherLength), upstreamUdpAddress, timeout);
}

long CSSRCLient::recvUdpAssociationDatagram(SocketHandle s, uint8_t* buffer, long size, int timeout) {
  Ipv4Endpoint source{};
  // Only the local end's senders are checked; the node's socket is connected.
  long got = recvFromWait(s, buffer, static_cast<std::size_t>(size), s == udpSocket ? &source : nullptr, timeout);
  if (got < 0) return -1;
  if (s == udpSocket) return fromAssociationOwner(source) ? got : 0;
  if (s != upstreamSocket) return -1;
  // A datagram that does not decode is dropped; the association goes on.
  cryptor->Reset();
  HeapBlock plain;
  int plainLength = 0;
  bool more = false;
  if (!cryptor->Decrypt(buffer, static_cast<int>(got), plain.ptr, plainLength, more, true)) return 0;
  int outLength = plainLength;
  if (plainLength <= 0 || !protocolPlugin->ClientUdpPostDecrypt(plain.ptr, plainLength, outLength)) return 0;
  if (outLength + 3 > size) return 0;
  std::memset(buffer, 0, 3);
  std::memcpy(buffer + 3, plain.ptr, static_cast<std::size_t>(outLength));
  return outLength + 3;
}

}  // namespace vantor
