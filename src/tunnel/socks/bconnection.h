// BConnector opens an outgoing TCP connection without blocking; BConnection
// moves bytes over it with asynchronous sends and receives whose results
// arrive through the reactor.
#pragma once

#include "platform/net.h"
#include "tunnel/base/baddr.h"
#include "tunnel/base/flow.h"
#include "tunnel/base/reactor.h"

namespace vantor::tunnel {

struct BConnector {
  BReactor* reactor = nullptr;
  platform::SocketHandle socket = platform::kInvalidSocket;
  CompletionSlot slot;
  ReactorIo io;
  bool connecting = false;
  bool connected = false;
  void (*handler)(void* user, bool isError) = nullptr;
  void* user = nullptr;
};

// Starts connecting to `addr` (IPv4 or IPv6). The handler later receives is_error.
bool BConnector_Init(BConnector* c, BReactor* reactor, BAddr addr, void (*handler)(void* user, bool isError),
                     void* user);
void BConnector_Free(BConnector* c);

enum { BCONNECTION_EVENT_ERROR = 1, BCONNECTION_EVENT_RECVCLOSED = 2 };

struct BConnection {
  BReactor* reactor = nullptr;
  platform::SocketHandle socket = platform::kInvalidSocket;
  ReactorIo io;
  void (*handler)(void* user, int event) = nullptr;
  void* user = nullptr;
  // send side
  CompletionSlot sendSlot;
  bool sendBusy = false;
  bool sendWaiting = false;
  const uint8_t* sendData = nullptr;
  int sendLen = 0;
  StreamSender sender;
  // receive side
  CompletionSlot recvSlot;
  bool recvBusy = false;
  bool recvWaiting = false;
  uint8_t* recvBuffer = nullptr;
  int recvAvail = 0;
  bool recvClosed = false;
  // The last read returned less than it asked for, so it emptied the
  // socket: the next read waits for the socket's next readiness report
  // instead of first trying (and meeting "would block").
  bool recvDrained = false;
  // A hang-up or error was reported: the end of the stream (or the error)
  // stays to be read with no report of its own, so reads always try.
  bool recvEndSeen = false;
  StreamReceiver receiver;
};

// Takes over the connector's connected socket.
bool BConnection_Init(BConnection* c, BConnector* connector, BReactor* reactor, void (*handler)(void* user, int event),
                      void* user);
void BConnection_Free(BConnection* c);
// Ends the sending direction (the peer reads an orderly end of stream); no
// send may be in progress or follow.
void BConnection_ShutdownSend(BConnection* c);
StreamSender* BConnection_Sender(BConnection* c);
StreamReceiver* BConnection_Receiver(BConnection* c);

}  // namespace vantor::tunnel
