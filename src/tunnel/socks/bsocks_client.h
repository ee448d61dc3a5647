// BSocksClient: a SOCKS 5 CONNECT through a server (the local proxy
// service), offering the connected stream once the server has said yes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/socks_protocol.h"
#include "tunnel/base/baddr.h"
#include "tunnel/base/flow.h"
#include "tunnel/socks/bconnection.h"

namespace vantor::tunnel {

struct BSocksClientAuthInfo {
  uint8_t method = socks::kMethodNone;
  std::string username;  // method 2 only
  std::string password;
};

enum { BSOCKSCLIENT_EVENT_ERROR = 1, BSOCKSCLIENT_EVENT_UP = 2, BSOCKSCLIENT_EVENT_ERROR_CLOSED = 3 };

enum BSocksClientState {
  BSOCKSCLIENT_STATE_CONNECTING,
  BSOCKSCLIENT_STATE_SENDING_HELLO,
  BSOCKSCLIENT_STATE_SENT_HELLO,
  BSOCKSCLIENT_STATE_SENDING_PASSWORD,
  BSOCKSCLIENT_STATE_SENT_PASSWORD,
  BSOCKSCLIENT_STATE_SENDING_REQUEST,
  BSOCKSCLIENT_STATE_SENT_REQUEST,
  BSOCKSCLIENT_STATE_RECEIVED_REPLY_HEADER,
  BSOCKSCLIENT_STATE_UP,
};

struct BSocksClient {
  std::vector<BSocksClientAuthInfo> auth;
  BAddr dest;
  void (*handler)(void* user, int event) = nullptr;
  void* user = nullptr;
  BReactor* reactor = nullptr;
  BSocksClientState state = BSOCKSCLIENT_STATE_CONNECTING;
  std::vector<uint8_t> buffer;  // control messages, grown to the next message's size
  BConnector connector;
  BConnection con;
  bool haveConnection = false;
  bool controlActive = false;
  // control I/O
  int controlSendLen = 0;
  int controlSent = 0;
  int controlWanted = 0;
  int controlReceived = 0;
};

// Starts connecting to `server`; events arrive at `handler`. `auth` lists
// the methods offered, in order.
bool BSocksClient_Init(BSocksClient* o, BAddr server, const std::vector<BSocksClientAuthInfo>& auth, BAddr dest,
                       void (*handler)(void* user, int event), void* user, BReactor* reactor);
void BSocksClient_Free(BSocksClient* o);
// Valid after the up event.
StreamSender* BSocksClient_GetSender(BSocksClient* o);
// After the up event, with no send in progress: ends the sending direction.
void BSocksClient_ShutdownSend(BSocksClient* o);
StreamReceiver* BSocksClient_GetReceiver(BSocksClient* o);

}  // namespace vantor::tunnel
