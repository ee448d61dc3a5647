#include "tunnel/socks/bconnection.h"

#include <cstring>

#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_BConnection;
constexpr uint32_t kReadEvents = platform::kPollReadable | platform::kPollError | platform::kPollHangup;
constexpr uint32_t kWriteEvents = platform::kPollWritable | platform::kPollError | platform::kPollHangup;

// ---- connector ----

void connectorReady(void* user, uint32_t events) {
  auto* c = static_cast<BConnector*>(user);
  if (!c->connecting || c->slot.completed || !(events & kWriteEvents)) return;
  int err = platform::pendingError(c->socket);
  CompletionSlot_Complete(&c->slot, err == 0, 0);
}

void connectorCompleted(void* user, int event, long) {
  auto* c = static_cast<BConnector*>(user);
  if (event == COMPLETION_DESTROYED) {
    CompletionSlot_Free(&c->slot);
    return;
  }
  c->connecting = false;
  if (event == COMPLETION_FAILED) {
    BLog_Log(kChannel, BLOG_ERROR, "connection failed");
    c->handler(c->user, true);
    return;
  }
  c->connected = true;
  c->handler(c->user, false);
}

// ---- connection ----

void attemptSend(BConnection* c) {
  long n = platform::sendBytes(c->socket, c->sendData, static_cast<std::size_t>(c->sendLen), true);
  if (n == platform::kIoWouldBlock) {
    c->sendWaiting = true;
    return;
  }
  c->sendWaiting = false;
  CompletionSlot_Complete(&c->sendSlot, n > 0, n > 0 ? n : 0);
}

void attemptRecv(BConnection* c) {
  long n = platform::recvBytes(c->socket, c->recvBuffer, static_cast<std::size_t>(c->recvAvail), true);
  if (n == platform::kIoWouldBlock) {
    c->recvWaiting = true;
    return;
  }
  c->recvWaiting = false;
  // A stream socket returns less than asked only when nothing more was
  // queued; whatever arrives later brings a readiness report of its own.
  c->recvDrained = !c->recvEndSeen && n > 0 && n < c->recvAvail;
  CompletionSlot_Complete(&c->recvSlot, n >= 0, n >= 0 ? n : 0);
}

void connectionReady(void* user, uint32_t events) {
  auto* c = static_cast<BConnection*>(user);
  if (c->sendWaiting && (events & kWriteEvents)) attemptSend(c);
  // The reports are edges: one that comes while no read is asked for must
  // not be lost, so it ends the wait of the next read.
  if (events & (platform::kPollHangup | platform::kPollError)) c->recvEndSeen = true;
  if (events & kReadEvents) c->recvDrained = false;
  if (c->recvWaiting && (events & kReadEvents)) attemptRecv(c);
}

void senderSend(void* provider, const uint8_t* data, int len) {
  auto* c = static_cast<BConnection*>(provider);
  c->sendBusy = true;
  c->sendData = data;
  c->sendLen = len;
  attemptSend(c);
}

void receiverRecv(void* provider, uint8_t* buffer, int avail) {
  auto* c = static_cast<BConnection*>(provider);
  c->recvBusy = true;
  c->recvBuffer = buffer;
  c->recvAvail = avail;
  if (c->recvDrained) {
    c->recvWaiting = true;
    return;
  }
  attemptRecv(c);
}

void sendCompleted(void* user, int event, long bytes) {
  auto* c = static_cast<BConnection*>(user);
  if (event == COMPLETION_DESTROYED) {
    CompletionSlot_Free(&c->sendSlot);
    return;
  }
  c->sendBusy = false;
  if (event == COMPLETION_FAILED) {
    BLog_Log(kChannel, BLOG_INFO, "sending failed");
    c->handler(c->user, BCONNECTION_EVENT_ERROR);
    return;
  }
  StreamSender_Done(&c->sender, static_cast<int>(bytes));
}

void recvCompleted(void* user, int event, long bytes) {
  auto* c = static_cast<BConnection*>(user);
  if (event == COMPLETION_DESTROYED) {
    CompletionSlot_Free(&c->recvSlot);
    return;
  }
  c->recvBusy = false;
  if (event == COMPLETION_FAILED) {
    BLog_Log(kChannel, BLOG_INFO, "receiving failed");
    c->handler(c->user, BCONNECTION_EVENT_ERROR);
    return;
  }
  if (bytes == 0) {
    c->recvClosed = true;
    c->handler(c->user, BCONNECTION_EVENT_RECVCLOSED);
    return;
  }
  StreamReceiver_Done(&c->receiver, static_cast<int>(bytes));
}

}  // namespace

bool BConnector_Init(BConnector* c, BReactor* reactor, BAddr addr, void (*handler)(void*, bool), void* user) {
  c->reactor = reactor;
  c->handler = handler;
  c->user = user;
  c->connecting = false;
  c->connected = false;
  if (addr.type != BADDR_TYPE_IPV4 && addr.type != BADDR_TYPE_IPV6) {
    BLog_Log(kChannel, BLOG_ERROR, "address not supported");
    return false;
  }
  c->socket = addr.type == BADDR_TYPE_IPV4 ? platform::createSocket(platform::SocketType::Tcp)
                                           : platform::createSocketIpv6(platform::SocketType::Tcp);
  if (c->socket == platform::kInvalidSocket) {
    BLog_Log(kChannel, BLOG_ERROR, "socket failed");
    return false;
  }
  if (!platform::setNonBlocking(c->socket, true)) {
    BLog_Log(kChannel, BLOG_ERROR, "set non-blocking failed");
    platform::closeSocket(c->socket);
    return false;
  }
  // The relay forwards whatever it has at once; do not hold small writes back.
  platform::setNoDelay(c->socket);
  if (!ReactorIo_Init(&c->io, reactor, c->socket, connectorReady, c)) {
    BLog_Log(kChannel, BLOG_ERROR, "epoll_ctl failed");
    platform::closeSocket(c->socket);
    return false;
  }
  CompletionSlot_Init(&c->slot, reactor, connectorCompleted, c);
  c->connecting = true;
  uint16_t port = platform::readBe16(reinterpret_cast<const uint8_t*>(&addr.port));
  platform::ConnectStatus status;
  if (addr.type == BADDR_TYPE_IPV4) {
    status = platform::connectSocket(c->socket, platform::Ipv4Endpoint{addr.ipv4, port});
  } else {
    platform::Ipv6Endpoint endpoint;
    std::memcpy(endpoint.address, addr.ipv6, 16);
    endpoint.port = port;
    status = platform::connectSocketIpv6(c->socket, endpoint);
  }
  switch (status) {
    case platform::ConnectStatus::Connected:
      CompletionSlot_Complete(&c->slot, true, 0);
      break;
    case platform::ConnectStatus::InProgress:
      break;
    case platform::ConnectStatus::Failed:
      // A refused connection is reported like one that fails later.
      CompletionSlot_Complete(&c->slot, false, 0);
      break;
  }
  return true;
}

void BConnector_Free(BConnector* c) {
  CompletionSlot_Free(&c->slot);
  if (c->socket != platform::kInvalidSocket) {
    ReactorIo_Free(&c->io);
    platform::closeSocket(c->socket);
    c->socket = platform::kInvalidSocket;
  }
}

bool BConnection_Init(BConnection* c, BConnector* connector, BReactor* reactor, void (*handler)(void*, int),
                      void* user) {
  c->reactor = reactor;
  c->handler = handler;
  c->user = user;
  c->socket = connector->socket;
  // The connector's registration is handed over together with the socket.
  ReactorIo_Free(&connector->io);
  connector->socket = platform::kInvalidSocket;
  if (!ReactorIo_Init(&c->io, reactor, c->socket, connectionReady, c)) {
    BLog_Log(kChannel, BLOG_ERROR, "epoll_ctl failed");
    platform::closeSocket(c->socket);
    c->socket = platform::kInvalidSocket;
    return false;
  }
  c->sendBusy = c->sendWaiting = false;
  c->recvBusy = c->recvWaiting = c->recvClosed = c->recvDrained = c->recvEndSeen = false;
  CompletionSlot_Init(&c->sendSlot, reactor, sendCompleted, c);
  CompletionSlot_Init(&c->recvSlot, reactor, recvCompleted, c);
  StreamSender_Init(&c->sender, reactor, senderSend, c);
  StreamReceiver_Init(&c->receiver, reactor, receiverRecv, c);
  return true;
}

void BConnection_Free(BConnection* c) {
  StreamReceiver_Free(&c->receiver);
  StreamSender_Free(&c->sender);
  CompletionSlot_Free(&c->recvSlot);
  CompletionSlot_Free(&c->sendSlot);
  ReactorIo_Free(&c->io);
  platform::closeSocket(c->socket);
  c->socket = platform::kInvalidSocket;
}

void BConnection_ShutdownSend(BConnection* c) { platform::shutdownSend(c->socket); }

StreamSender* BConnection_Sender(BConnection* c) { return &c->sender; }
StreamReceiver* BConnection_Receiver(BConnection* c) { return &c->receiver; }

}  // namespace vantor::tunnel
