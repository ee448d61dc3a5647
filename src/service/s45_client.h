// The session used while the current node is a SOCKS 4 or SOCKS 5 server:
// speaks the client side of SOCKS to the node and relays bytes unchanged.
#pragma once

#include "service/socks_client.h"

namespace vantor {

class CS45CLient : public CSocksClient {
 public:
  static constexpr int kHandshakeTimeout = 5;
  static constexpr int kConnectTimeout = 10;
  static constexpr std::size_t kTcpBufferSize = 65507;

  using CSocksClient::CSocksClient;
  ~CS45CLient() override;

  bool run() override;
  long sendUpstream(SocketHandle s, const uint8_t* data, long length, int timeout) override;
  long sendDatagram(SocketHandle s, const uint8_t* data, long length, int timeout, bool toUpstreamAddress) override;
  long recvUpstream(SocketHandle s, uint8_t* buffer, long size, int timeout, bool* needSendBack,
                    bool* needMore) override;
  long recvDatagram(SocketHandle s, uint8_t* buffer, long size, int timeout) override;
  bool handleUdpAssociate() override;
  bool connectUpstream() override;
  bool acceptUdpgw() override;
  bool relayUdpAssociation() override;
  bool relayTcp() override;
  bool relayUdpgw() override;

  // Also used by the udpgw relay, from its flow workers.
  // SOCKS 5 greeting and, when the node has a user name, RFC 1929 login on `s`.
  bool socks5Login(SocketHandle s);
  // Sends a SOCKS 5 request on `s` and reads the reply; `bound` gets the
  // address the server reported, of either family (unspecified for a name).
  bool socks5Request(SocketHandle s, uint8_t cmd, IpEndpoint& bound);

 protected:
  bool socks4Connect();
  bool sendExact(SocketHandle s, const uint8_t* data, std::size_t length);
  bool openUdpControl();
  void failUdpAssociate();

  SocketHandle udpControlSocket = kInvalidSocket;
};

}  // namespace vantor
