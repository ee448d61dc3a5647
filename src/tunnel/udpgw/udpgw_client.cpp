#include "tunnel/udpgw/udpgw_client.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_UdpGwClient;
// The largest batch handed to the stream in one send.
constexpr int kBatchSize = 32768;

int compareAddr(const BAddr& a, const BAddr& b) {
  if (a.type != b.type) return a.type < b.type ? -1 : 1;
  int c = 0;
  if (a.type == BADDR_TYPE_IPV4) {
    c = std::memcmp(&a.ipv4, &b.ipv4, 4);
  } else if (a.type == BADDR_TYPE_IPV6) {
    c = std::memcmp(a.ipv6, b.ipv6, 16);
  }
  if (c != 0) return c;
  if (a.type == BADDR_TYPE_NONE) return 0;
  return std::memcmp(&a.port, &b.port, 2);
}

// ---- ring of framed messages ----------------------------------------------

// Where a message of `need` bytes can go, or -1 when there is no room.
int ringReserve(UdpGwRing* r, int need) {
  int cap = static_cast<int>(r->buf.size());
  if (r->count == 0) {
    r->head = r->tail = 0;
    r->wrapAt = -1;
    return need <= cap ? 0 : -1;
  }
  if (r->wrapAt < 0) {
    if (need <= cap - r->tail) return r->tail;
    if (need <= r->head) return 0;
    return -1;
  }
  return need <= r->head - r->tail ? r->tail : -1;
}

void ringCommit(UdpGwRing* r, int offset, int len) {
  if (r->count > 0 && r->wrapAt < 0 && offset == 0 && r->tail != 0) r->wrapAt = r->tail;
  r->tail = offset + len;
  ++r->count;
}

uint8_t* ringFront(UdpGwRing* r, int* len) {
  uint8_t* m = r->buf.data() + r->head;
  *len = PACKETPROTO_HEADER_SIZE + platform::readLe16(m);
  return m;
}

void ringPop(UdpGwRing* r) {
  int len;
  ringFront(r, &len);
  r->head += len;
  --r->count;
  if (r->count == 0) {
    r->head = r->tail = 0;
    r->wrapAt = -1;
  } else if (r->wrapAt >= 0 && r->head == r->wrapAt) {
    r->head = 0;
    r->wrapAt = -1;
  }
}

// ---- fair send queue ------------------------------------------------------

bool flowBefore(const UdpGwQueueFlow* a, const UdpGwQueueFlow* b) {
  return a->time != b->time ? a->time < b->time : a->order < b->order;
}

void heapSwap(std::vector<UdpGwQueueFlow*>& h, int i, int j) {
  std::swap(h[static_cast<std::size_t>(i)], h[static_cast<std::size_t>(j)]);
  h[static_cast<std::size_t>(i)]->heapIndex = i;
  h[static_cast<std::size_t>(j)]->heapIndex = j;
}

void heapUp(std::vector<UdpGwQueueFlow*>& h, int i) {
  while (i > 0) {
    int parent = (i - 1) / 2;
    if (!flowBefore(h[static_cast<std::size_t>(i)], h[static_cast<std::size_t>(parent)])) break;
    heapSwap(h, i, parent);
    i = parent;
  }
}

void heapDown(std::vector<UdpGwQueueFlow*>& h, int i) {
  int n = static_cast<int>(h.size());
  for (;;) {
    int best = i;
    int l = 2 * i + 1, r = 2 * i + 2;
    if (l < n && flowBefore(h[static_cast<std::size_t>(l)], h[static_cast<std::size_t>(best)])) best = l;
    if (r < n && flowBefore(h[static_cast<std::size_t>(r)], h[static_cast<std::size_t>(best)])) best = r;
    if (best == i) return;
    heapSwap(h, i, best);
    i = best;
  }
}

UdpGwQueueFlow* heapPop(std::vector<UdpGwQueueFlow*>& h) {
  UdpGwQueueFlow* top = h.front();
  heapSwap(h, 0, static_cast<int>(h.size()) - 1);
  h.pop_back();
  top->heapIndex = -1;
  if (!h.empty()) heapDown(h, 0);
  return top;
}

uint64_t currentTime(const UdpGwClient* o) {
  bool have = false;
  uint64_t t = 0;
  if (!o->waiting.empty()) {
    t = o->waiting.front()->time;
    have = true;
  }
  if (o->previous && (!have || o->previous->time < t)) t = o->previous->time;
  return t;
}

// Makes room for adding `amount` to `flow`'s time by moving every time down
// by a common amount.
void rebaseTimes(UdpGwClient* o, UdpGwQueueFlow* flow) {
  uint64_t sub = o->waiting.empty() ? flow->time : o->waiting.front()->time;
  auto lower = [sub](UdpGwQueueFlow* f) { f->time = f->time > sub ? f->time - sub : 0; };
  for (UdpGwConnection* c = o->lruHead; c; c = c->lruNext) lower(&c->flow);
  lower(&o->keepaliveFlow);
}

void schedule(UdpGwClient* o);

void submitFlow(UdpGwClient* o, UdpGwQueueFlow* flow, const uint8_t* msg, int len) {
  flow->msg = msg;
  flow->msgLen = len;
  if (flow != o->previous) {
    uint64_t now = currentTime(o);
    if (flow->time < now) flow->time = now;
  }
  o->waiting.push_back(flow);
  flow->heapIndex = static_cast<int>(o->waiting.size()) - 1;
  heapUp(o->waiting, flow->heapIndex);
  schedule(o);
}

// Hands waiting messages, fairest first, into the batch while they fit. A
// message in the batch counts as handed to the stream: its flow's time grows
// and the flow may offer its next message at once.
void fillBatch(UdpGwClient* o) {
  while (!o->waiting.empty()) {
    UdpGwQueueFlow* flow = o->waiting.front();
    if (o->batchLen + flow->msgLen > static_cast<int>(o->batch.size())) break;
    heapPop(o->waiting);
    std::memcpy(o->batch.data() + o->batchLen, flow->msg, static_cast<std::size_t>(flow->msgLen));
    o->batchStarts.push_back(o->batchLen);
    o->batchLen += flow->msgLen;
    uint64_t amount = static_cast<uint64_t>(flow->msgLen) + 1;
    if (flow->time > std::numeric_limits<uint64_t>::max() - amount) rebaseTimes(o, flow);
    flow->time += amount;
    o->previous = flow;
    flow->done(flow->user);  // may submit this flow's next message
  }
}

void sendBatch(UdpGwClient* o) {
  BReactor_RemoveTimer(o->reactor, &o->keepaliveTimer);
  StreamSender_Send(o->sender, o->batch.data() + o->sendOffset, o->batchLen - o->sendOffset);
}

// Builds and sends a batch when the stream is free.
void startBatch(UdpGwClient* o) {
  if (!o->haveServer || o->batchLen > 0) return;
  fillBatch(o);
  if (o->batchLen == 0) return;
  ++o->batchesSent;
  sendBatch(o);
}

void batchJobHandler(void* user) { startBatch(static_cast<UdpGwClient*>(user)); }

void schedule(UdpGwClient* o) {
  if (o->haveServer && o->batchLen == 0) ReactorJob_SetIdle(&o->batchJob);
}

void senderDone(void* user, int n) {
  auto* o = static_cast<UdpGwClient*>(user);
  if (!o->haveServer || o->batchLen == 0) return;
  o->sendOffset += n;
  if (o->sendOffset < o->batchLen) {
    sendBatch(o);
    return;
  }
  o->batchLen = 0;
  o->sendOffset = 0;
  o->batchStarts.clear();
  BReactor_SetTimer(o->reactor, &o->keepaliveTimer);
  // What was offered meanwhile goes at once.
  startBatch(o);
}

// ---- connections ----------------------------------------------------------

void lruUnlink(UdpGwClient* o, UdpGwConnection* c) {
  if (c->lruPrev)
    c->lruPrev->lruNext = c->lruNext;
  else
    o->lruHead = c->lruNext;
  if (c->lruNext)
    c->lruNext->lruPrev = c->lruPrev;
  else
    o->lruTail = c->lruPrev;
  c->lruPrev = c->lruNext = nullptr;
}

void lruAppend(UdpGwClient* o, UdpGwConnection* c) {
  c->lruPrev = o->lruTail;
  c->lruNext = nullptr;
  if (o->lruTail)
    o->lruTail->lruNext = c;
  else
    o->lruHead = c;
  o->lruTail = c;
}

void lruTouch(UdpGwClient* o, UdpGwConnection* c) {
  if (o->lruTail == c) return;
  lruUnlink(o, c);
  lruAppend(o, c);
}

void connectionFlowDone(void* user) {
  auto* c = static_cast<UdpGwConnection*>(user);
  ringPop(&c->ring);
  if (c->ring.count > 0) {
    int len;
    uint8_t* m = ringFront(&c->ring, &len);
    submitFlow(c->client, &c->flow, m, len);
  }
}

void connectionSend(UdpGwConnection* c, int flags, const uint8_t* data, int len) {
  UdpGwClient* o = c->client;
  const BAddr& remote = c->addr.remote;
  bool ipv6 = remote.type == BADDR_TYPE_IPV6;
  int msgLen = UDPGW_HEADER_SIZE + (ipv6 ? UDPGW_IPV6_ADDR_SIZE : UDPGW_IPV4_ADDR_SIZE) + len;
  int need = PACKETPROTO_HEADER_SIZE + msgLen;
  int offset = ringReserve(&c->ring, need);
  if (offset < 0) {
    BLog_Log(kChannel, BLOG_ERROR, "out of buffer");
    ++o->droppedOutOfBuffer;
    return;
  }
  uint8_t* m = c->ring.buf.data() + offset;
  PacketProto_WriteHeader(m, msgLen);
  uint8_t* p = m + PACKETPROTO_HEADER_SIZE;
  p[0] = static_cast<uint8_t>(flags | (ipv6 ? UDPGW_CLIENT_FLAG_IPV6 : 0));
  platform::writeLe16(p + 1, c->conid);
  p += UDPGW_HEADER_SIZE;
  if (ipv6) {
    std::memcpy(p, remote.ipv6, 16);
    p += 16;
  } else {
    std::memcpy(p, &remote.ipv4, 4);
    p += 4;
  }
  std::memcpy(p, &remote.port, 2);
  p += 2;
  if (len > 0) std::memcpy(p, data, static_cast<std::size_t>(len));
  ringCommit(&c->ring, offset, need);
  // The connection's flow carries one message at a time: the oldest.
  if (c->ring.count == 1) submitFlow(o, &c->flow, m, need);
}

int chooseConid(UdpGwClient* o) {
  for (;;) {
    int conid = o->nextConid;
    o->nextConid = conid + 1 >= o->maxConnections ? 0 : conid + 1;
    if (!o->byConid[static_cast<std::size_t>(conid)]) return conid;
  }
}

UdpGwConnection* newConnection(UdpGwClient* o, const UdpGwConnAddr& addr) {
  auto* c = new (std::nothrow) UdpGwConnection;
  if (!c) {
    BLog_Log(kChannel, BLOG_ERROR, "malloc failed");
    return nullptr;
  }
  try {
    c->ring.buf.assign(static_cast<std::size_t>(o->sendBufferPackets) * static_cast<std::size_t>(o->framedMax), 0);
    o->byAddr.emplace(addr, c);
  } catch (const std::bad_alloc&) {
    BLog_Log(kChannel, BLOG_ERROR, "PacketProtoFlow_Init failed");
    o->byAddr.erase(addr);
    delete c;
    return nullptr;
  }
  c->client = o;
  c->addr = addr;
  c->conid = static_cast<uint16_t>(chooseConid(o));
  c->flow.order = o->nextOrder++;
  c->flow.done = connectionFlowDone;
  c->flow.user = c;
  o->byConid[c->conid] = c;
  lruAppend(o, c);
  ++o->numConnections;
  return c;
}

// ---- keepalive ------------------------------------------------------------

void keepaliveDone(void* user) {
  auto* o = static_cast<UdpGwClient*>(user);
  o->keepaliveSending = false;
}

void keepaliveTimerHandler(void* user) {
  auto* o = static_cast<UdpGwClient*>(user);
  BReactor_SetTimer(o->reactor, &o->keepaliveTimer);
  if (o->keepaliveSending) return;
  BLog_Log(kChannel, BLOG_INFO, "keepalive");
  o->keepaliveSending = true;
  submitFlow(o, &o->keepaliveFlow, o->keepaliveMessage, sizeof o->keepaliveMessage);
}

// ---- receiving ------------------------------------------------------------

void decoderError(void* user) {
  auto* o = static_cast<UdpGwClient*>(user);
  BLog_Log(kChannel, BLOG_ERROR, "decoder error");
  o->handlerServerError(o->user);  // the owner disconnects (and frees the decoder)
}

void dropReceived(UdpGwClient* o, const char* why) {
  BLog_Log(kChannel, BLOG_ERROR, "%s", why);
  ++o->droppedReceived;
}

void messageReceived(void* user, const uint8_t* data, int len) {
  auto* o = static_cast<UdpGwClient*>(user);
  if (len < UDPGW_HEADER_SIZE) return dropReceived(o, "missing header");
  uint8_t flags = data[0];
  uint16_t conid = platform::readLe16(data + 1);
  data += UDPGW_HEADER_SIZE;
  len -= UDPGW_HEADER_SIZE;
  BAddr remote;
  if (flags & UDPGW_CLIENT_FLAG_IPV6) {
    if (len < UDPGW_IPV6_ADDR_SIZE) return dropReceived(o, "missing ipv6 address");
    uint16_t port;
    std::memcpy(&port, data + 16, 2);
    remote = BAddr_MakeIPv6(data, port);
    data += UDPGW_IPV6_ADDR_SIZE;
    len -= UDPGW_IPV6_ADDR_SIZE;
  } else {
    if (len < UDPGW_IPV4_ADDR_SIZE) return dropReceived(o, "missing ipv4 address");
    uint32_t ip;
    uint16_t port;
    std::memcpy(&ip, data, 4);
    std::memcpy(&port, data + 4, 2);
    remote = BAddr_MakeIPv4(ip, port);
    data += UDPGW_IPV4_ADDR_SIZE;
    len -= UDPGW_IPV4_ADDR_SIZE;
  }
  if (len > o->udpMtu) return dropReceived(o, "too much data");
  UdpGwConnection* c = conid < o->byConid.size() ? o->byConid[conid] : nullptr;
  if (!c) return dropReceived(o, "unknown conid");
  auto known =
      std::find_if(c->remotes.begin(), c->remotes.end(), [&](const BAddr& a) { return BAddr_Equal(a, remote); });
  if (known != c->remotes.end()) {
    c->rebound = false;
  } else if (c->rebound || static_cast<int>(c->remotes.size()) >= kUdpGwMaxRemotes) {
    // An answer for the flow this conid served before it was rebound, or one
    // remote address too many.
    ++o->droppedReceived;
    return;
  } else {
    c->remotes.push_back(remote);
  }
  lruTouch(o, c);
  o->handlerReceived(o->user, c->addr.local, remote, data, len);
}

}  // namespace

bool UdpGwConnAddrLess::operator()(const UdpGwConnAddr& a, const UdpGwConnAddr& b) const {
  return compareAddr(a.local, b.local) < 0;
}

bool UdpGwClient_Init(UdpGwClient* o, int udpMtu, int maxConnections, int sendBufferPackets, btime_t keepaliveTime,
                      BReactor* reactor, void* user, void (*handlerServerError)(void*),
                      void (*handlerReceived)(void*, BAddr, BAddr, const uint8_t*, int)) {
  if (udpMtu < 0 || udpgw_compute_mtu(udpMtu) > PACKETPROTO_MAXPAYLOAD || maxConnections < 1 ||
      maxConnections > 65536 || sendBufferPackets < 1)
    return false;
  o->udpMtu = udpMtu;
  o->maxConnections = maxConnections;
  o->sendBufferPackets = sendBufferPackets;
  o->keepaliveTime = keepaliveTime;
  o->reactor = reactor;
  o->user = user;
  o->handlerServerError = handlerServerError;
  o->handlerReceived = handlerReceived;
  o->udpgwMtu = udpgw_compute_mtu(udpMtu);
  o->framedMax = PACKETPROTO_HEADER_SIZE + o->udpgwMtu;
  o->byAddr.clear();
  o->byConid.assign(static_cast<std::size_t>(maxConnections), nullptr);
  o->lruHead = o->lruTail = nullptr;
  o->numConnections = 0;
  o->nextConid = 0;
  o->waiting.clear();
  o->waiting.reserve(static_cast<std::size_t>(maxConnections) + 1);
  o->previous = nullptr;
  o->nextOrder = 0;
  o->batch.assign(static_cast<std::size_t>(kBatchSize > o->framedMax ? kBatchSize : o->framedMax), 0);
  o->batchLen = o->sendOffset = 0;
  o->batchStarts.clear();
  ReactorJob_Init(&o->batchJob, reactor, batchJobHandler, o);
  o->keepaliveFlow = UdpGwQueueFlow{};
  o->keepaliveFlow.order = o->nextOrder++;
  o->keepaliveFlow.done = keepaliveDone;
  o->keepaliveFlow.user = o;
  o->keepaliveSending = false;
  PacketProto_WriteHeader(o->keepaliveMessage, UDPGW_HEADER_SIZE);
  o->keepaliveMessage[2] = UDPGW_CLIENT_FLAG_KEEPALIVE;
  platform::writeLe16(o->keepaliveMessage + 3, 0);
  ReactorTimer_Init(&o->keepaliveTimer, keepaliveTime, keepaliveTimerHandler, o);
  BReactor_SetTimer(reactor, &o->keepaliveTimer);
  o->haveServer = false;
  o->sender = nullptr;
  o->droppedOutOfBuffer = o->droppedReceived = o->batchesSent = 0;
  return true;
}

void UdpGwClient_Free(UdpGwClient* o) {
  if (o->haveServer) UdpGwClient_DisconnectServer(o);
  ReactorJob_Free(&o->batchJob);
  BReactor_RemoveTimer(o->reactor, &o->keepaliveTimer);
  while (UdpGwConnection* c = o->lruHead) {
    lruUnlink(o, c);
    delete c;
  }
  o->byAddr.clear();
  o->byConid.clear();
  o->waiting.clear();
  o->previous = nullptr;
  o->batchLen = o->sendOffset = 0;
  o->numConnections = 0;
}

void UdpGwClient_SubmitPacket(UdpGwClient* o, BAddr localAddr, BAddr remoteAddr, int flags, const uint8_t* data,
                              int len) {
  if (len < 0 || len > o->udpMtu) return;
  UdpGwConnAddr addr{localAddr, remoteAddr};
  UdpGwConnection* c;
  auto it = o->byAddr.find(addr);
  if (it != o->byAddr.end()) {
    c = it->second;
    c->addr.remote = remoteAddr;
  } else if (o->numConnections < o->maxConnections) {
    c = newConnection(o, addr);
    if (!c) return;
    flags |= UDPGW_CLIENT_FLAG_REBIND;
  } else {
    // Take over the least recently used flow's conid.
    c = o->lruHead;
    o->byAddr.erase(c->addr);
    c->addr = addr;
    c->remotes.clear();
    c->rebound = true;
    o->byAddr.emplace(addr, c);
    flags |= UDPGW_CLIENT_FLAG_REBIND;
  }
  // The remote goes last in the list; when it is full, the one longest
  // unused makes room.
  auto known =
      std::find_if(c->remotes.begin(), c->remotes.end(), [&](const BAddr& a) { return BAddr_Equal(a, remoteAddr); });
  if (known != c->remotes.end()) {
    c->remotes.erase(known);
  } else if (static_cast<int>(c->remotes.size()) >= kUdpGwMaxRemotes) {
    c->remotes.erase(c->remotes.begin());
  }
  c->remotes.push_back(remoteAddr);
  lruTouch(o, c);
  connectionSend(c, flags, data, len);
}

bool UdpGwClient_ConnectServer(UdpGwClient* o, StreamSender* sender, StreamReceiver* receiver) {
  if (o->haveServer) return false;
  // Any message length fits the decoder; messages longer than the largest
  // datagram are dropped one by one instead of ending the stream.
  if (!PacketProtoDecoder_Init(&o->decoder, receiver, PACKETPROTO_MAXPAYLOAD, messageReceived, decoderError, o))
    return false;
  o->sender = sender;
  StreamSender_SetDone(sender, senderDone, o);
  o->haveServer = true;
  if (o->batchLen > 0) {
    // The batch the previous stream did not finish: what it took whole is
    // gone; a message it cut off goes out again whole, with the rest.
    int restart = 0;
    for (int start : o->batchStarts)
      if (start <= o->sendOffset) restart = start;
    std::memmove(o->batch.data(), o->batch.data() + restart, static_cast<std::size_t>(o->batchLen - restart));
    o->batchLen -= restart;
    for (int& start : o->batchStarts) start -= restart;
    std::erase_if(o->batchStarts, [](int start) { return start < 0; });
    o->sendOffset = 0;
    sendBatch(o);
  } else {
    startBatch(o);
  }
  return true;
}

void UdpGwClient_DisconnectServer(UdpGwClient* o) {
  if (!o->haveServer) return;
  PacketProtoDecoder_Free(&o->decoder);
  ReactorJob_Unset(&o->batchJob);
  o->sender = nullptr;
  o->haveServer = false;
}

int UdpGwClient_FindConid(const UdpGwClient* o, BAddr localAddr, BAddr remoteAddr) {
  auto it = o->byAddr.find(UdpGwConnAddr{localAddr, remoteAddr});
  return it == o->byAddr.end() ? -1 : it->second->conid;
}

}  // namespace vantor::tunnel
