#include "tunnel/base/flow.h"

#include <cassert>

namespace vantor::tunnel {
namespace {

// The four adapters share their user half: the done handler with its user
// pointer, the busy flag, and the reactor job that carries the provider's
// completion to the user. The helpers below are that half, written once; each
// adapter keeps its own operation and its own checks on lengths.

// A packet sink's completion carries nothing; the other adapters report a
// length, kept in doneLen until the job runs.
template <class Flow>
constexpr bool kReportsLength = requires(Flow* s) {
  s->doneLen;
};

template <class Flow>
void runDoneJob(void* user) {
  auto* s = static_cast<Flow*>(user);
  s->busy = false;
  if constexpr (kReportsLength<Flow>) {
    s->doneHandler(s->user, s->doneLen);
  } else {
    s->doneHandler(s->user);
  }
}

template <class Flow>
void initUserSide(Flow* s, BReactor* r, void* provider) {
  s->provider = provider;
  s->doneHandler = nullptr;
  s->user = nullptr;
  s->busy = false;
  if constexpr (kReportsLength<Flow>) s->doneLen = 0;
  ReactorJob_Init(&s->doneJob, r, runDoneJob<Flow>, s);
}

template <class Flow, class Handler>
void setDoneHandler(Flow* s, Handler handler, void* user) {
  s->doneHandler = handler;
  s->user = user;
}

// Called by the provider when the operation has finished; the user hears of
// it from the reactor job, never from inside this call.
template <class Flow>
void queueDone(Flow* s) {
  assert(s->busy);
  ReactorJob_Set(&s->doneJob);
}

template <class Flow>
void queueDone(Flow* s, int len) {
  assert(s->busy);
  s->doneLen = len;
  ReactorJob_Set(&s->doneJob);
}

}  // namespace

// ---- PacketSink ----

void PacketSink_Init(PacketSink* s, BReactor* r, int mtu, void (*sendOp)(void*, const uint8_t*, int), void* provider) {
  s->mtu = mtu;
  s->sendOp = sendOp;
  initUserSide(s, r, provider);
}

void PacketSink_Free(PacketSink* s) { ReactorJob_Free(&s->doneJob); }

void PacketSink_SetDone(PacketSink* s, void (*handler)(void*), void* user) { setDoneHandler(s, handler, user); }

void PacketSink_Send(PacketSink* s, const uint8_t* data, int len) {
  assert(!s->busy && len >= 0 && len <= s->mtu);
  s->busy = true;
  s->sendOp(s->provider, data, len);
}

void PacketSink_Done(PacketSink* s) { queueDone(s); }

// ---- PacketSource ----

void PacketSource_Init(PacketSource* s, BReactor* r, int mtu, void (*recvOp)(void*, uint8_t*), void* provider) {
  s->mtu = mtu;
  s->recvOp = recvOp;
  initUserSide(s, r, provider);
}

void PacketSource_Free(PacketSource* s) { ReactorJob_Free(&s->doneJob); }

void PacketSource_SetDone(PacketSource* s, void (*handler)(void*, int), void* user) {
  setDoneHandler(s, handler, user);
}

void PacketSource_Recv(PacketSource* s, uint8_t* buffer) {
  assert(!s->busy);
  s->busy = true;
  s->recvOp(s->provider, buffer);
}

void PacketSource_Done(PacketSource* s, int len) {
  assert(len >= 0 && len <= s->mtu);
  queueDone(s, len);
}

// ---- StreamSender ----

void StreamSender_Init(StreamSender* s, BReactor* r, void (*sendOp)(void*, const uint8_t*, int), void* provider) {
  s->sendOp = sendOp;
  initUserSide(s, r, provider);
}

void StreamSender_Free(StreamSender* s) { ReactorJob_Free(&s->doneJob); }

void StreamSender_SetDone(StreamSender* s, void (*handler)(void*, int), void* user) {
  setDoneHandler(s, handler, user);
}

void StreamSender_Send(StreamSender* s, const uint8_t* data, int len) {
  assert(!s->busy && len >= 1);
  s->busy = true;
  s->sendOp(s->provider, data, len);
}

void StreamSender_Done(StreamSender* s, int n) {
  assert(n >= 1);
  queueDone(s, n);
}

// ---- StreamReceiver ----

void StreamReceiver_Init(StreamReceiver* s, BReactor* r, void (*recvOp)(void*, uint8_t*, int), void* provider) {
  s->recvOp = recvOp;
  initUserSide(s, r, provider);
}

void StreamReceiver_Free(StreamReceiver* s) { ReactorJob_Free(&s->doneJob); }

void StreamReceiver_SetDone(StreamReceiver* s, void (*handler)(void*, int), void* user) {
  setDoneHandler(s, handler, user);
}

void StreamReceiver_Recv(StreamReceiver* s, uint8_t* buffer, int avail) {
  assert(!s->busy && avail >= 1);
  s->busy = true;
  s->recvOp(s->provider, buffer, avail);
}

void StreamReceiver_Done(StreamReceiver* s, int n) {
  assert(n >= 1);
  queueDone(s, n);
}

}  // namespace vantor::tunnel
