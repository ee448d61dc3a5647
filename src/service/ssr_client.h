// The session used while the current node is a Shadowsocks or ShadowsocksR
// server: the target's address header goes first, then every byte passes the
// pipeline protocol plugin -> cipher -> obfs plugin, and back the other way.
#pragma once

#include <memory>

#include "crypto/cryptor.h"
#include "crypto/ssr/obfs.h"
#include "service/socks_client.h"

namespace vantor {

// A node's cipher and its two plugins, made and described to each other the
// way every TCP connection and UDP flow needs them.
struct ShadowsocksPipeline {
  std::unique_ptr<CCryptor> cryptor;
  std::unique_ptr<CObfs> protocolPlugin;
  std::unique_ptr<CObfs> obfsPlugin;
  // False when the node's method, protocol or obfs name is unknown.
  bool create(const NodeSnapshot& node);
  // A fresh IV for the cipher, handed to both plugins (UDP flows reuse their pipeline).
  void renew();
};

class CSSCLient : public CSocksClient {
 public:
  using CSocksClient::CSocksClient;
  ~CSSCLient() override;

  bool handleUdpAssociate() override;
  bool acceptUdpgw() override;

 protected:
  uint8_t pipelineEnabled = 1;
  std::unique_ptr<CObfs> protocolPlugin;
  std::unique_ptr<CObfs> obfsPlugin;
  std::unique_ptr<CCryptor> cryptor;
};

class CSSRCLient : public CSSCLient {
 public:
  static constexpr std::size_t kTcpBufferSize = 131014;
  static constexpr long kReadSize = 60507;
  static constexpr int kHeaderTimeout = 15;
  static constexpr int kSendBackTimeout = 5;
  static constexpr uint16_t kTcpMss = 1452;
  static constexpr int kDefaultHeadLen = 30;
  static constexpr int kPluginBufferSize = 65507;
  static constexpr int kMaxDatagram = 65507;  // largest UDP payload over IPv4

  using CSSCLient::CSSCLient;
  ~CSSRCLient() override;

  // Cipher and plugins for the node; false when a name is unknown.
  bool createPipeline();

  bool run() override;
  long sendUpstream(SocketHandle s, const uint8_t* data, long length, int timeout) override;
  long recvUpstream(SocketHandle s, uint8_t* buffer, long size, int timeout, bool* needSendBack,
                    bool* needMore) override;
  long sendDatagram(SocketHandle s, const uint8_t* data, long length, int timeout, bool toUpstreamAddress) override;
  long recvDatagram(SocketHandle s, uint8_t* buffer, long size, int timeout) override;
  bool connectUpstream() override;
  bool relayUdpAssociation() override;
  bool relayTcp() override;
  bool relayUdpgw() override;

  virtual long sendUdpAssociationDatagram(SocketHandle s, const uint8_t* data, long length, int timeout);
  // A datagram that does not decode, or that comes from anyone but the
  // association's owner, gives 0: it is dropped.
  virtual long recvUdpAssociationDatagram(SocketHandle s, uint8_t* buffer, long size, int timeout);

  // The Shadowsocks address header of the request's target (ATYP, address,
  // port) into `out` (at least 262 bytes); its length, or 0 for an address
  // type that has no header form.
  static int addressHeader(uint8_t addressType, const char* host, uint16_t port, uint8_t* out);
  // Length of that header as the plugins count it: 7 for IPv4, name length + 4.
  static int headLength(uint8_t addressType, const char* host);

 protected:
  // The pipeline: protocol plugin, cipher, obfs plugin towards the node, and
  // back. The output is a service-heap block; an empty result means nothing
  // to send (or deliver) now. False when the cipher or a plugin failed: the
  // stream cannot go on without a gap or garbage.
  bool encodeForNode(const uint8_t* data, std::size_t length, RelayChunk& out) override;
  bool decodeFromNode(const uint8_t* data, std::size_t length, RelayChunk& out, bool& needSendBack) override;

 private:
  // A plain Shadowsocks node: both plugins pass bytes through unchanged.
  bool passThroughPlugins = false;
};

}  // namespace vantor
