#include "tunnel/base/flow.h"

#include <cassert>

namespace vantor::tunnel {

// ---- PacketSink ----

static void packetSinkDoneJob(void* user) {
  auto* s = static_cast<PacketSink*>(user);
  s->busy = false;
  s->doneHandler(s->user);
}

void PacketSink_Init(PacketSink* s, BReactor* r, int mtu, void (*sendOp)(void*, const uint8_t*, int),
                     void* provider) {
  s->mtu = mtu;
  s->sendOp = sendOp;
  s->provider = provider;
  s->doneHandler = nullptr;
  s->user = nullptr;
  s->busy = false;
  ReactorJob_Init(&s->doneJob, r, packetSinkDoneJob, s);
}

void PacketSink_Free(PacketSink* s) { ReactorJob_Free(&s->doneJob); }

void PacketSink_SetDone(PacketSink* s, void (*handler)(void*), void* user) {
  s->doneHandler = handler;
  s->user = user;
}

void PacketSink_Send(PacketSink* s, const uint8_t* data, int len) {
  assert(!s->busy && len >= 0 && len <= s->mtu);
  s->busy = true;
  s->sendOp(s->provider, data, len);
}

void PacketSink_Done(PacketSink* s) {
  assert(s->busy);
  ReactorJob_Set(&s->doneJob);
}

// ---- PacketSource ----

static void packetSourceDoneJob(void* user) {
  auto* s = static_cast<PacketSource*>(user);
  s->busy = false;
  s->doneHandler(s->user, s->doneLen);
}

void PacketSource_Init(PacketSource* s, BReactor* r, int mtu, void (*recvOp)(void*, uint8_t*),
                       void* provider) {
  s->mtu = mtu;
  s->recvOp = recvOp;
  s->provider = provider;
  s->doneHandler = nullptr;
  s->user = nullptr;
  s->busy = false;
  s->doneLen = 0;
  ReactorJob_Init(&s->doneJob, r, packetSourceDoneJob, s);
}

void PacketSource_Free(PacketSource* s) { ReactorJob_Free(&s->doneJob); }

void PacketSource_SetDone(PacketSource* s, void (*handler)(void*, int), void* user) {
  s->doneHandler = handler;
  s->user = user;
}

void PacketSource_Recv(PacketSource* s, uint8_t* buffer) {
  assert(!s->busy);
  s->busy = true;
  s->recvOp(s->provider, buffer);
}

void PacketSource_Done(PacketSource* s, int len) {
  assert(s->busy && len >= 0 && len <= s->mtu);
  s->doneLen = len;
  ReactorJob_Set(&s->doneJob);
}

// ---- StreamSender ----

static void streamSenderDoneJob(void* user) {
  auto* s = static_cast<StreamSender*>(user);
  s->busy = false;
  s->doneHandler(s->user, s->doneLen);
}

void StreamSender_Init(StreamSender* s, BReactor* r, void (*sendOp)(void*, const uint8_t*, int),
                       void* provider) {
  s->sendOp = sendOp;
  s->provider = provider;
  s->doneHandler = nullptr;
  s->user = nullptr;
  s->busy = false;
  s->doneLen = 0;
  ReactorJob_Init(&s->doneJob, r, streamSenderDoneJob, s);
}

void StreamSender_Free(StreamSender* s) { ReactorJob_Free(&s->doneJob); }

void StreamSender_SetDone(StreamSender* s, void (*handler)(void*, int), void* user) {
  s->doneHandler = handler;
  s->user = user;
}

void StreamSender_Send(StreamSender* s, const uint8_t* data, int len) {
  assert(!s->busy && len >= 1);
  s->busy = true;
  s->sendOp(s->provider, data, len);
}

void StreamSender_Done(StreamSender* s, int n) {
  assert(s->busy && n >= 1);
  s->doneLen = n;
  ReactorJob_Set(&s->doneJob);
}

// ---- StreamReceiver ----

static void streamReceiverDoneJob(void* user) {
  auto* s = static_cast<StreamReceiver*>(user);
  s->busy = false;
  s->doneHandler(s->user, s->doneLen);
}

void StreamReceiver_Init(StreamReceiver* s, BReactor* r, void (*recvOp)(void*, uint8_t*, int),
                         void* provider) {
  s->recvOp = recvOp;
  s->provider = provider;
  s->doneHandler = nullptr;
  s->user = nullptr;
  s->busy = false;
  s->doneLen = 0;
  ReactorJob_Init(&s->doneJob, r, streamReceiverDoneJob, s);
}

void StreamReceiver_Free(StreamReceiver* s) { ReactorJob_Free(&s->doneJob); }

void StreamReceiver_SetDone(StreamReceiver* s, void (*handler)(void*, int), void* user) {
  s->doneHandler = handler;
  s->user = user;
}

void StreamReceiver_Recv(StreamReceiver* s, uint8_t* buffer, int avail) {
  assert(!s->busy && avail >= 1);
  s->busy = true;
  s->recvOp(s->provider, buffer, avail);
}

void StreamReceiver_Done(StreamReceiver* s, int n) {
  assert(s->busy && n >= 1);
  s->doneLen = n;
  ReactorJob_Set(&s->doneJob);
}

}  // namespace vantor::tunnel
