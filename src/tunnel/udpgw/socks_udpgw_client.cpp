#include "tunnel/udpgw/socks_udpgw_client.h"

#include <new>

#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_SocksUdpGwClient;

void freeSocks(SocksUdpGwClient* o) {
  if (o->haveUdpgwServer) {
    UdpGwClient_DisconnectServer(&o->udpgw);
    o->haveUdpgwServer = false;
  }
  if (o->socks) {
    BSocksClient_Free(o->socks);
    delete o->socks;
    o->socks = nullptr;
  }
}

void failAndRetry(SocksUdpGwClient* o) {
  freeSocks(o);
  BReactor_SetTimer(o->reactor, &o->reconnectTimer);
}

void socksHandler(void* user, int event) {
  auto* o = static_cast<SocksUdpGwClient*>(user);
  if (event == BSOCKSCLIENT_EVENT_UP) {
    BLog_Log(kChannel, BLOG_INFO, "SOCKS up");
    if (!UdpGwClient_ConnectServer(&o->udpgw, BSocksClient_GetSender(o->socks), BSocksClient_GetReceiver(o->socks))) {
      BLog_Log(kChannel, BLOG_ERROR, "UdpGwClient_ConnectServer failed");
      failAndRetry(o);
      return;
    }
    o->haveUdpgwServer = true;
    ++o->connectsUp;
    return;
  }
  BLog_Log(kChannel, BLOG_INFO, "SOCKS error");
  failAndRetry(o);
}

void tryConnect(SocksUdpGwClient* o) {
  auto* socks = new (std::nothrow) BSocksClient;
  if (!socks ||
      !BSocksClient_Init(socks, o->socksServerAddr, o->auth, o->remoteUdpgwServer, socksHandler, o, o->reactor)) {
    delete socks;
    BLog_Log(kChannel, BLOG_ERROR, "BSocksClient_Init failed");
    BReactor_SetTimer(o->reactor, &o->reconnectTimer);
    return;
  }
  o->socks = socks;
}

void reconnectTimerHandler(void* user) { tryConnect(static_cast<SocksUdpGwClient*>(user)); }

void serverErrorHandler(void* user) {
  auto* o = static_cast<SocksUdpGwClient*>(user);
  BLog_Log(kChannel, BLOG_ERROR, "client reports server error");
  failAndRetry(o);
}

void receivedHandler(void* user, BAddr local, BAddr remote, const uint8_t* data, int len) {
  auto* o = static_cast<SocksUdpGwClient*>(user);
  o->handlerReceived(o->user, local, remote, data, len);
}

}  // namespace

bool SocksUdpGwClient_Init(SocksUdpGwClient* o, int udpMtu, int maxConnections, int sendBufferPackets,
                           btime_t keepaliveTime, BAddr socksServerAddr, const std::vector<BSocksClientAuthInfo>& auth,
                           BAddr remoteUdpgwServer, btime_t reconnectTime, BReactor* reactor, void* user,
                           void (*handlerReceived)(void*, BAddr, BAddr, const uint8_t*, int)) {
  o->socksServerAddr = socksServerAddr;
  o->auth = auth;
  o->remoteUdpgwServer = remoteUdpgwServer;
  o->reactor = reactor;
  o->user = user;
  o->handlerReceived = handlerReceived;
  o->socks = nullptr;
  o->haveUdpgwServer = false;
  o->connectsUp = 0;
  if (!UdpGwClient_Init(&o->udpgw, udpMtu, maxConnections, sendBufferPackets, keepaliveTime, reactor, o,
                        serverErrorHandler, receivedHandler))
    return false;
  ReactorTimer_Init(&o->reconnectTimer, reconnectTime, reconnectTimerHandler, o);
  tryConnect(o);
  return true;
}

void SocksUdpGwClient_Free(SocksUdpGwClient* o) {
  freeSocks(o);
  BReactor_RemoveTimer(o->reactor, &o->reconnectTimer);
  UdpGwClient_Free(&o->udpgw);
}

void SocksUdpGwClient_SubmitPacket(SocksUdpGwClient* o, BAddr localAddr, BAddr remoteAddr, int flags,
                                   const uint8_t* data, int len) {
  UdpGwClient_SubmitPacket(&o->udpgw, localAddr, remoteAddr, flags, data, len);
}

}  // namespace vantor::tunnel
