#include "tunnel/socks/bsocks_client.h"

#include <cstring>

#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_BSocksClient;

void reportError(BSocksClient* o) {
  // The user frees the client from its handler; touch nothing afterwards.
  o->handler(o->user, BSOCKSCLIENT_EVENT_ERROR);
}

void freeControlIo(BSocksClient* o) { o->controlActive = false; }

void freeConnection(BSocksClient* o) {
  if (o->haveConnection) {
    BConnection_Free(&o->con);
    o->haveConnection = false;
  }
}

// Fails after releasing what the negotiation set up.
void failNegotiation(BSocksClient* o) {
  freeControlIo(o);
  freeConnection(o);
  reportError(o);
}

bool reserve(BSocksClient* o, std::size_t size) {
  if (size > static_cast<std::size_t>(INT32_MAX)) {
    BLog_Log(kChannel, BLOG_ERROR, "size overflow");
    return false;
  }
  if (o->buffer.size() < size) o->buffer.resize(size);
  return true;
}

void startSend(BSocksClient* o, int len) {
  o->controlSendLen = len;
  o->controlSent = 0;
  StreamSender_Send(BConnection_Sender(&o->con), o->buffer.data(), len);
}

void startReceive(BSocksClient* o, int wanted) {
  if (!reserve(o, static_cast<std::size_t>(wanted))) {
    failNegotiation(o);
    return;
  }
  o->controlWanted = wanted;
  o->controlReceived = 0;
  StreamReceiver_Recv(BConnection_Receiver(&o->con), o->buffer.data(), wanted);
}

void sendConnectRequest(BSocksClient* o) {
  int len = o->dest.type == BADDR_TYPE_IPV4 ? 10 : 22;
  if (!reserve(o, static_cast<std::size_t>(len))) {
    failNegotiation(o);
    return;
  }
  uint8_t* b = o->buffer.data();
  b[0] = socks::kVersion5;
  b[1] = socks::kCmdConnect;
  b[2] = 0;
  if (o->dest.type == BADDR_TYPE_IPV4) {
    b[3] = socks::kAtypIpv4;
    std::memcpy(b + 4, &o->dest.ipv4, 4);
    std::memcpy(b + 8, &o->dest.port, 2);
  } else {
    b[3] = socks::kAtypIpv6;
    std::memcpy(b + 4, o->dest.ipv6, 16);
    std::memcpy(b + 20, &o->dest.port, 2);
  }
  o->state = BSOCKSCLIENT_STATE_SENDING_REQUEST;
  startSend(o, len);
}

void goUp(BSocksClient* o) {
  freeControlIo(o);
  std::vector<uint8_t>().swap(o->buffer);
  o->state = BSOCKSCLIENT_STATE_UP;
  o->handler(o->user, BSOCKSCLIENT_EVENT_UP);
}

// A control message was received completely.
void controlReceived(BSocksClient* o) {
  const uint8_t* b = o->buffer.data();
  switch (o->state) {
    case BSOCKSCLIENT_STATE_SENT_HELLO: {
      BLog_Log(kChannel, BLOG_DEBUG, "received hello");
      if (b[0] != socks::kVersion5) {
        BLog_Log(kChannel, BLOG_NOTICE, "wrong version");
        failNegotiation(o);
        return;
      }
      const BSocksClientAuthInfo* chosen = nullptr;
      for (const auto& a : o->auth) {
        if (a.method == b[1]) {
          chosen = &a;
          break;
        }
      }
      if (!chosen) {
        BLog_Log(kChannel, BLOG_NOTICE, "server didn't accept any authentication method");
        failNegotiation(o);
        return;
      }
      if (chosen->method == socks::kMethodNone) {
        BLog_Log(kChannel, BLOG_DEBUG, "no authentication");
        sendConnectRequest(o);
        return;
      }
      BLog_Log(kChannel, BLOG_DEBUG, "password authentication");
      std::size_t ul = chosen->username.size(), pl = chosen->password.size();
      if (ul < 1 || ul > 255 || pl < 1 || pl > 255) {
        BLog_Log(kChannel, BLOG_NOTICE, "invalid username/password length");
        failNegotiation(o);
        return;
      }
      int len = static_cast<int>(3 + ul + pl);
      if (!reserve(o, static_cast<std::size_t>(len))) {
        failNegotiation(o);
        return;
      }
      uint8_t* w = o->buffer.data();
      w[0] = socks::kLoginVersion;
      w[1] = static_cast<uint8_t>(ul);
      std::memcpy(w + 2, chosen->username.data(), ul);
      w[2 + ul] = static_cast<uint8_t>(pl);
      std::memcpy(w + 3 + ul, chosen->password.data(), pl);
      o->state = BSOCKSCLIENT_STATE_SENDING_PASSWORD;
      startSend(o, len);
      return;
    }
    case BSOCKSCLIENT_STATE_SENT_PASSWORD:
      BLog_Log(kChannel, BLOG_DEBUG, "received password reply");
      if (b[0] != socks::kLoginVersion) {
        BLog_Log(kChannel, BLOG_NOTICE, "password reply has unknown version");
        failNegotiation(o);
        return;
      }
      if (b[1] != socks::kLoginSuccess) {
        BLog_Log(kChannel, BLOG_NOTICE, "password reply is negative");
        failNegotiation(o);
        return;
      }
      sendConnectRequest(o);
      return;
    case BSOCKSCLIENT_STATE_SENT_REQUEST: {
      BLog_Log(kChannel, BLOG_DEBUG, "received reply header");
      if (b[0] != socks::kVersion5) {
        BLog_Log(kChannel, BLOG_NOTICE, "wrong version");
        failNegotiation(o);
        return;
      }
      if (b[1] != socks::kRepSuccess) {
        BLog_Log(kChannel, BLOG_NOTICE, "reply not successful");
        failNegotiation(o);
        return;
      }
      int rest;
      if (b[3] == socks::kAtypIpv4) {
        rest = 6;
      } else if (b[3] == socks::kAtypIpv6) {
        rest = 18;
      } else {
        BLog_Log(kChannel, BLOG_NOTICE, "reply has unknown address type");
        failNegotiation(o);
        return;
      }
      o->state = BSOCKSCLIENT_STATE_RECEIVED_REPLY_HEADER;
      startReceive(o, rest);
      return;
    }
    case BSOCKSCLIENT_STATE_RECEIVED_REPLY_HEADER:
      BLog_Log(kChannel, BLOG_DEBUG, "received reply rest");
      goUp(o);
      return;
    default:
      return;
  }
}

void controlSendDone(void* user, int n) {
  auto* o = static_cast<BSocksClient*>(user);
  o->controlSent += n;
  if (o->controlSent < o->controlSendLen) {
    StreamSender_Send(BConnection_Sender(&o->con), o->buffer.data() + o->controlSent,
                      o->controlSendLen - o->controlSent);
    return;
  }
  switch (o->state) {
    case BSOCKSCLIENT_STATE_SENDING_HELLO:
      BLog_Log(kChannel, BLOG_DEBUG, "sent hello");
      o->state = BSOCKSCLIENT_STATE_SENT_HELLO;
      startReceive(o, 2);
      return;
    case BSOCKSCLIENT_STATE_SENDING_PASSWORD:
      BLog_Log(kChannel, BLOG_DEBUG, "send password");
      o->state = BSOCKSCLIENT_STATE_SENT_PASSWORD;
      startReceive(o, 2);
      return;
    case BSOCKSCLIENT_STATE_SENDING_REQUEST:
      BLog_Log(kChannel, BLOG_DEBUG, "sent request");
      o->state = BSOCKSCLIENT_STATE_SENT_REQUEST;
      startReceive(o, 4);
      return;
    default:
      return;
  }
}

void controlRecvDone(void* user, int n) {
  auto* o = static_cast<BSocksClient*>(user);
  o->controlReceived += n;
  if (o->controlReceived < o->controlWanted) {
    StreamReceiver_Recv(BConnection_Receiver(&o->con), o->buffer.data() + o->controlReceived,
                        o->controlWanted - o->controlReceived);
    return;
  }
  controlReceived(o);
}

void connectionHandler(void* user, int event) {
  auto* o = static_cast<BSocksClient*>(user);
  if (o->state == BSOCKSCLIENT_STATE_UP && event == BCONNECTION_EVENT_RECVCLOSED) {
    o->handler(o->user, BSOCKSCLIENT_EVENT_ERROR_CLOSED);
    return;
  }
  BLog_Log(kChannel, BLOG_INFO, "connection failed");
  if (o->state != BSOCKSCLIENT_STATE_UP) {
    failNegotiation(o);
    return;
  }
  reportError(o);
}

void connectorHandler(void* user, bool isError) {
  auto* o = static_cast<BSocksClient*>(user);
  if (isError) {
    BLog_Log(kChannel, BLOG_ERROR, "connection failed");
    reportError(o);
    return;
  }
  if (!BConnection_Init(&o->con, &o->connector, o->reactor, connectionHandler, o)) {
    BLog_Log(kChannel, BLOG_ERROR, "BConnection_Init failed");
    reportError(o);
    return;
  }
  o->haveConnection = true;
  BLog_Log(kChannel, BLOG_DEBUG, "connected");
  o->controlActive = true;
  StreamSender_SetDone(BConnection_Sender(&o->con), controlSendDone, o);
  StreamReceiver_SetDone(BConnection_Receiver(&o->con), controlRecvDone, o);
  if (o->auth.empty() || o->auth.size() > 255) {
    BLog_Log(kChannel, BLOG_ERROR, "invalid number of authentication methods");
    failNegotiation(o);
    return;
  }
  int len = static_cast<int>(2 + o->auth.size());
  if (!reserve(o, static_cast<std::size_t>(len))) {
    failNegotiation(o);
    return;
  }
  uint8_t* b = o->buffer.data();
  b[0] = socks::kVersion5;
  b[1] = static_cast<uint8_t>(o->auth.size());
  for (std::size_t i = 0; i < o->auth.size(); ++i) b[2 + i] = o->auth[i].method;
  o->state = BSOCKSCLIENT_STATE_SENDING_HELLO;
  startSend(o, len);
}

}  // namespace

bool BSocksClient_Init(BSocksClient* o, BAddr server, const std::vector<BSocksClientAuthInfo>& auth, BAddr dest,
                       void (*handler)(void*, int), void* user, BReactor* reactor) {
  o->auth = auth;
  o->dest = dest;
  o->handler = handler;
  o->user = user;
  o->reactor = reactor;
  o->state = BSOCKSCLIENT_STATE_CONNECTING;
  o->haveConnection = false;
  o->controlActive = false;
  if (dest.type != BADDR_TYPE_IPV4 && dest.type != BADDR_TYPE_IPV6) return false;
  if (!BConnector_Init(&o->connector, reactor, server, connectorHandler, o)) {
    BLog_Log(kChannel, BLOG_ERROR, "BConnector_Init failed");
    return false;
  }
  return true;
}

void BSocksClient_Free(BSocksClient* o) {
  freeControlIo(o);
  freeConnection(o);
  BConnector_Free(&o->connector);
  std::vector<uint8_t>().swap(o->buffer);
}

StreamSender* BSocksClient_GetSender(BSocksClient* o) { return BConnection_Sender(&o->con); }
void BSocksClient_ShutdownSend(BSocksClient* o) { BConnection_ShutdownSend(&o->con); }
StreamReceiver* BSocksClient_GetReceiver(BSocksClient* o) { return BConnection_Receiver(&o->con); }

}  // namespace vantor::tunnel
