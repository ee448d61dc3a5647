// SocksUdpGwClient: a UdpGwClient whose stream is a SOCKS 5 CONNECT to the
// udpgw server address through the local service. When the stream fails it
// is opened again after the reconnect time; the flow table survives.
#pragma once

#include <vector>

#include "tunnel/socks/bsocks_client.h"
#include "tunnel/udpgw/udpgw_client.h"

namespace vantor::tunnel {

struct SocksUdpGwClient {
  UdpGwClient udpgw;
  BAddr socksServerAddr;
  std::vector<BSocksClientAuthInfo> auth;
  BAddr remoteUdpgwServer;
  BReactor* reactor = nullptr;
  void* user = nullptr;
  void (*handlerReceived)(void* user, BAddr local, BAddr remote, const uint8_t* data, int len) = nullptr;
  ReactorTimer reconnectTimer;
  BSocksClient* socks = nullptr;  // have-SOCKS when set
  bool haveUdpgwServer = false;
  unsigned connectsUp = 0;  // streams that came up (diagnostics)
};

bool SocksUdpGwClient_Init(SocksUdpGwClient* o, int udpMtu, int maxConnections, int sendBufferPackets,
                           btime_t keepaliveTime, BAddr socksServerAddr, const std::vector<BSocksClientAuthInfo>& auth,
                           BAddr remoteUdpgwServer, btime_t reconnectTime, BReactor* reactor, void* user,
                           void (*handlerReceived)(void* user, BAddr local, BAddr remote, const uint8_t* data,
                                                   int len));
void SocksUdpGwClient_Free(SocksUdpGwClient* o);
void SocksUdpGwClient_SubmitPacket(SocksUdpGwClient* o, BAddr localAddr, BAddr remoteAddr, int flags,
                                   const uint8_t* data, int len);

}  // namespace vantor::tunnel
