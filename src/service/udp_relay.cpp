#include "service/udp_relay.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/heap.h"
#include "service/host_cache.h"
#include "service/ss_manager.h"

namespace vantor {

using platform::kInvalidSocket;
using platform::SocketHandle;

namespace {

constexpr std::size_t kMaxDatagram = 65507;  // the largest UDP payload over IPv4
constexpr int kReadBurst = 64;               // datagrams per socket before the others get a turn
constexpr uintptr_t kWakeKey = 1;

std::mutex gRoutedLock;
std::set<std::string> gRoutedDestinations;
std::atomic<IDirectRoutes*> gRouteManager{nullptr};

void routeDirect(const std::string& ipText, bool isDns) {
  IDirectRoutes* manager = gRouteManager.load();
  if (!manager) return;
  {
    std::lock_guard lock(gRoutedLock);
    if (gRoutedDestinations.count(ipText)) return;
  }
  const char* mask = "255.255.255.255";
  bool done = (isDns && manager->isRouteTracked(ipText, mask)) || manager->addDirectRoute(ipText, mask, 1);
  if (done) {
    std::lock_guard lock(gRoutedLock);
    gRoutedDestinations.insert(ipText);
  }
}

void relayLog(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "vantor: udpgw: %s\n", line);
}

// Frees a heap block when it goes out of scope; the plugins may replace it.
struct HeapBlock {
  uint8_t* ptr = nullptr;
  ~HeapBlock() { platform::heapFree(ptr); }
};

}  // namespace

void setRouteManager(IDirectRoutes* manager) { gRouteManager = manager; }

void clearRoutedDestinations() {
  std::lock_guard lock(gRoutedLock);
  gRoutedDestinations.clear();
}

bool UdpgwAddress::operator==(const UdpgwAddress& o) const {
  return type == o.type && portNetworkOrder == o.portNetworkOrder &&
         std::memcmp(address, o.address, type == 2 ? 16 : 4) == 0;
}

bool UdpgwAddress::fromMessage(const uint8_t* m, std::size_t length, UdpgwAddress& out) {
  out = {};
  bool v6 = (m[2] & udpgw::kFlagIpv6) != 0;
  std::size_t need = v6 ? 23 : 11;
  if (length < need) return false;
  out.type = v6 ? 2 : 1;
  std::memcpy(out.address, m + 5, v6 ? 16 : 4);
  std::memcpy(&out.portNetworkOrder, m + (v6 ? 21 : 9), 2);
  return true;
}

std::size_t udpgw::nextMessage(const uint8_t* data, std::size_t length, Message& out, bool& carriesData) {
  carriesData = false;
  if (length < 2) return 0;
  std::size_t l = static_cast<std::size_t>(data[0] | data[1] << 8);
  if (length - 2 < l) return 0;
  if (l <= 2) return l + 2;
  uint8_t flags = data[2];
  bool v6 = (flags & kFlagIpv6) != 0;
  if ((flags & kFlagKeepalive) || (!v6 && l < 9) || (v6 && l < 21)) return l + 2;
  if (!UdpgwAddress::fromMessage(data, l + 2, out.address)) return l + 2;
  out.framed = data;
  out.framedLength = l + 2;
  out.flags = flags;
  out.conid = static_cast<uint16_t>(data[3] | data[4] << 8);
  carriesData = true;
  return l + 2;
}

std::size_t DatagramQueue::push(std::vector<uint8_t> datagram) {
  std::size_t evicted = 0;
  while (!items.empty() && bytes + datagram.size() > kMaxBytes) {
    bytes -= items.front().size();
    items.pop_front();
    ++evicted;
  }
  bytes += datagram.size();
  items.push_back(std::move(datagram));
  return evicted;
}

void DatagramQueue::clear() {
  items.clear();
  bytes = 0;
}

FlowIo::~FlowIo() { close(); }

void FlowIo::close() {
  association.reset();
  platform::closeSocket(udp);
  udp = kInvalidSocket;
  unsent.clear();
  watchingWritable = false;
  state = State::Closed;
  generation = 0;
  moreToRead = false;
}

// ---- The stream ----

CTUNTAPProtoBase::CTUNTAPProtoBase(CSocksClient* owner) : session(owner), node(owner->sessionNode()) {}

CTUNTAPProtoBase::~CTUNTAPProtoBase() {
  pool.reset();  // no worker runs past this point
  std::lock_guard lock(flowListLock);
  for (auto& flow : flows) resetFlow(flow.get());
}

bool CTUNTAPProtoBase::running() const { return relayEnabled() && !stopRequested.load(); }

int64_t CTUNTAPProtoBase::nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A flow is closed once either direction has been quiet for its limit.
int64_t CTUNTAPProtoBase::idleDue(const FlowIo& io) {
  int64_t limit = (io.isDns ? kDnsIdleSeconds : kIdleSeconds) * int64_t{1000};
  return (io.lastSentMs < io.lastReceivedMs ? io.lastSentMs : io.lastReceivedMs) + limit;
}

int64_t CTUNTAPProtoBase::wakeDue(const FlowIo& io) {
  int64_t due = idleDue(io);
  if ((io.state == FlowIo::State::Associating || io.state == FlowIo::State::Waiting) && io.deadlineMs < due)
    due = io.deadlineMs;
  return due;
}

void* CTUNTAPProtoBase::ioKey(unsigned slot, bool control) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>((slot + 1) * 4 + (control ? 1 : 0)));
}

bool CTUNTAPProtoBase::run() {
  if (!node || !prepareRun()) return false;
  CThreadPool::Options options;
  options.initialThreads = 0;  // a worker per shard with open flows, made when needed
  options.growStep = 1;
  options.maxThreads = kMaxShards;
  options.idleExitMs = kIdleWorkerExitMs;
  pool = std::make_unique<CThreadPool>(options);
  platform::Thread writer;
  if (pool->state() != 0 || !writer.createSuspended([this] { tunnelWriter(); }, kSessionStackSize)) {
    relayLog("no thread for the stream's writer; the stream ends");
    return false;
  }
  writer.resume();
  tunnelReader();

  // The reader is done, for whatever reason: everything else ends with it.
  stopRequested = true;
  // A writer waiting in a send to the tunnel gives up at once.
  platform::shutdownSocket(session->udpgwStream());
  { std::lock_guard lock(tunnelLock); }
  tunnelReady.notify_all();
  writer.join();
  std::vector<FlowShard*> serving;
  {
    std::lock_guard lock(flowListLock);
    for (auto& shard : shards)
      if (shard->running) serving.push_back(shard.get());
  }
  for (FlowShard* shard : serving) wakeShard(*shard);
  pool->stop(true);
  if (uint64_t lost = dropped.load())
    relayLog("%llu datagrams dropped on full queues or failed flows", static_cast<unsigned long long>(lost));
  return true;
}

void CTUNTAPProtoBase::tunnelReader() {
  // Room for two largest messages, so a complete one always fits behind a partial one.
  std::vector<uint8_t> buffer(2 * udpgw::kMaxFramed);
  std::size_t filled = 0;
  SocketHandle stream = session->udpgwStream();
  while (running()) {
    platform::WaitItem item{stream, platform::kWantRead};
    int n = platform::waitSockets({&item, 1}, 200);
    if (n < 0 || item.failed) return;
    if (n == 0) continue;
    bool sendBack = false, more = false;
    long got = session->recvUpstream(stream, buffer.data() + filled, static_cast<long>(buffer.size() - filled), 0,
                                     &sendBack, &more);
    if (got < 0) return;
    filled += static_cast<std::size_t>(got);
    std::size_t used = parseMessages(buffer.data(), filled);
    if (used > 0) {
      std::memmove(buffer.data(), buffer.data() + used, filled - used);
      filled -= used;
    }
  }
}

std::size_t CTUNTAPProtoBase::parseMessages(const uint8_t* data, std::size_t length) {
  std::size_t used = 0;
  std::vector<FlowShard*> toWake, toStart;
  std::vector<std::pair<std::string, bool>> toRoute;
  direct.clear();
  {
    std::lock_guard lock(flowListLock);
    while (running()) {
      udpgw::Message m;
      bool carriesData = false;
      std::size_t n = udpgw::nextMessage(data + used, length - used, m, carriesData);
      if (n == 0) break;
      used += n;
      if (!carriesData) continue;
      if (UdpFlow* flow = lookupFlow(m, toStart)) {
        if (flow->upstreamQueue.items.empty()) {
          // Nothing of the flow waits for its worker: tried below, without
          // the list locked. Later datagrams of the flow in this batch come
          // here too and keep their order.
          direct.push_back({flow, flow->generation, m.framed, m.framedLength});
        } else {
          countDropped(flow->upstreamQueue.push(std::vector<uint8_t>(m.framed, m.framed + m.framedLength)));
          if (!flow->shard->marked) {
            flow->shard->marked = true;
            toWake.push_back(flow->shard);
          }
        }
      }
      if (busyDestination(m.address)) {
        uint32_t ip;
        std::memcpy(&ip, m.address.address, 4);
        toRoute.emplace_back(platform::formatIpv4(ip), m.address.port() == 53);
      }
    }
    for (FlowShard* shard : toWake) shard->marked = false;
  }
  for (const DirectSend& d : direct) {
    if (sendNow(d)) continue;
    std::lock_guard lock(flowListLock);
    if (d.flow->generation != d.generation) continue;  // reset meanwhile: gone with its queue
    countDropped(d.flow->upstreamQueue.push(std::vector<uint8_t>(d.framed, d.framed + d.length)));
    if (std::find(toWake.begin(), toWake.end(), d.flow->shard) == toWake.end()) toWake.push_back(d.flow->shard);
  }
  for (FlowShard* shard : toStart) {
    if (!stopRequested.load() && pool->submit([this, shard] { serveShard(*shard); })) continue;
    if (!stopRequested.exchange(true))
      relayLog("no thread for a worker of %zu flows; the stream ends", openFlowCount());
    std::lock_guard lock(flowListLock);
    shard->running = false;
  }
  for (FlowShard* shard : toWake) wakeShard(*shard);
  for (auto& [ip, isDns] : toRoute) routeDirect(ip, isDns);
  return used;
}

bool CTUNTAPProtoBase::sendNow(const DirectSend& d) {
  UdpFlow& flow = *d.flow;
  FlowShard& shard = *flow.shard;
  // A busy worker is not waited for: it takes the datagram on its next pass.
  std::unique_lock hold(shard.ioLock, std::try_to_lock);
  if (!hold.owns_lock()) return false;
  uint16_t conid;
  bool isDns;
  {
    // With ioLock held only this thread changes the flow: what is read here stays.
    std::lock_guard lock(flowListLock);
    if (flow.generation != d.generation) return true;  // reset meanwhile: dropped with its flow
    if (!flow.upstreamQueue.items.empty()) return false;
    conid = flow.conid;
    isDns = flow.isDns != 0;
  }
  FlowIo& io = shard.io[flow.slot];
  if (io.generation != d.generation) {
    beginOpening(shard, flow, io, d.generation, conid, isDns, nowMs());
    if (io.generation != d.generation) return true;  // could not open: counted, the flow is ended
    // A waiting worker learns of the new opening's deadlines only when they
    // come before its own.
    if (wakeDue(io) < shard.plannedWakeMs) wakeShard(shard);
  }
  switch (io.state) {
    case FlowIo::State::Ready:
      break;
    case FlowIo::State::Failed:
      countDropped(1);
      return true;
    default:
      return false;  // waits in the queue for the association
  }
  directMessage.assign(d.framed, d.framed + d.length);
  if (!io.unsent.items.empty()) {
    // Behind datagrams waiting for room: the worker sends it after them.
    sendUpstream(flow, io, directMessage, directScratch);
    return true;
  }
  if (!encode(flow, directMessage, directScratch)) {
    countDropped(1);
    return true;
  }
  if (directScratch.size() > kMaxDatagram) {
    countDropped(1);
    return true;
  }
  SocketHandle udp = io.udp;
  io.lastSentMs = nowMs();
  io.borrowed.store(true);
  hold.unlock();
  long sent = platform::sendDatagram(udp, directScratch.data(), directScratch.size(), nullptr, true);
  if (sent >= 0) {
    node->counters->addBytes(static_cast<uint32_t>(sent));
    node->counters->addUploaded(static_cast<uint32_t>(sent));
  } else if (sent == platform::kIoWouldBlock) {
    // No room: it waits for the worker's next writable report, first in
    // line. A report may have come while the lock was free: try once more
    // now, so that a full socket is what the next report follows.
    hold.lock();
    countDropped(io.unsent.push(directScratch));
    flushUnsent(flow, io);
  } else {
    countDropped(1);  // refused by the network: this datagram is lost, the flow goes on
  }
  io.borrowed.store(false);
  shard.returned.notify_all();
  return true;
}

void CTUNTAPProtoBase::wakeShard(FlowShard& shard) {
  if (!shard.wakePending.exchange(true)) shard.wake.signal();
}

UdpFlow* CTUNTAPProtoBase::lookupFlow(const udpgw::Message& m, std::vector<FlowShard*>& toStart) {
  auto open = openByConid.find(m.conid);
  if (open != openByConid.end()) {
    UdpFlow* flow = open->second;
    if (m.flags & udpgw::kFlagRebind) {
      // A new flow on this connection id: answers of the old one are not wanted.
      resetFlow(flow);
      openFlow(flow, m, toStart);
    } else {
      // The same application socket, perhaps to another peer: one flow (and
      // one mapping at the node) whatever the destination, so that any peer
      // can answer through it.
      flow->destination = m.address;
    }
    return flow;
  }
  UdpFlow* flow = freeRecord();
  if (!flow) {
    countDropped(1);
    return nullptr;
  }
  openFlow(flow, m, toStart);
  return flow;
}

// A closed record, or a new one, in the first shard with room: open flows
// gather in few shards, so few workers serve them.
UdpFlow* CTUNTAPProtoBase::freeRecord() {
  for (auto& shard : shards) {
    if (shard->openFlows == shard->records && shard->records == FlowShard::kFlows) continue;
    for (unsigned i = 0; i < shard->records; ++i)
      if (shard->flows[i]->closed) return shard->flows[i];
    break;
  }
  FlowShard* shard = nullptr;
  if (!shards.empty() && shards.back()->records < FlowShard::kFlows) {
    shard = shards.back().get();
  } else {
    if (shards.size() >= kMaxShards) return nullptr;
    auto fresh = std::make_unique<FlowShard>();
    if (!fresh->wake.open() || !fresh->poller.open() ||
        !fresh->poller.add(fresh->wake.handle(), reinterpret_cast<void*>(kWakeKey), false)) {
      relayLog("cannot watch the sockets of more flows");
      return nullptr;
    }
    shard = fresh.get();
    shards.push_back(std::move(fresh));
  }
  auto record = std::make_unique<UdpFlow>();
  record->shard = shard;
  record->slot = shard->records;
  if (!prepareFlow(record.get())) return nullptr;
  shard->flows[shard->records++] = record.get();
  flows.push_back(std::move(record));
  return flows.back().get();
}

void CTUNTAPProtoBase::openFlow(UdpFlow* flow, const udpgw::Message& m, std::vector<FlowShard*>& toStart) {
  flow->closed = false;
  ++flow->generation;
  flow->conid = m.conid;
  flow->destination = m.address;
  flow->isDns = m.address.port() == 53;
  openByConid[m.conid] = flow;
  ++openCount;
  FlowShard* shard = flow->shard;
  ++shard->openFlows;
  if (!shard->running) {
    shard->running = true;
    toStart.push_back(shard);
  }
  CSSManager::instance().addLiveConnection();
}

void CTUNTAPProtoBase::resetFlow(UdpFlow* flow) {
  if (flow->closed) return;
  flow->closed = true;
  ++flow->generation;
  openByConid.erase(flow->conid);
  --openCount;
  --flow->shard->openFlows;
  flow->upstreamQueue.clear();
  {
    std::lock_guard lock(tunnelLock);
    flow->tunnelQueue.clear();
  }
  flow->isDns = 0;
  flow->conid = 0;
  flow->destination = {};
  CSSManager::instance().removeLiveConnection();
}

void CTUNTAPProtoBase::endOpening(UdpFlow& flow, uint32_t generation) {
  std::lock_guard lock(flowListLock);
  if (flow.generation == generation) resetFlow(&flow);
}

std::size_t CTUNTAPProtoBase::openFlowCount() {
  std::lock_guard list(flowListLock);
  return openCount;
}

bool CTUNTAPProtoBase::busyDestination(const UdpgwAddress& address) {
  if (!gRouteManager.load() || address.type != 1 || openCount < kBusyStreamFlows) return false;
  uint32_t ip;
  std::memcpy(&ip, address.address, 4);
  {
    std::lock_guard lock(gRoutedLock);
    if (gRoutedDestinations.count(platform::formatIpv4(ip))) return false;
  }
  std::size_t same = 0;
  for (auto& [conid, flow] : openByConid) same += flow->destination == address ? 1 : 0;
  return same >= kBusyDestinationFlows;
}

// ---- Answers to the tunnel ----

void CTUNTAPProtoBase::queueForTunnel(UdpFlow& flow, uint16_t conid, uint8_t* frame, std::size_t payloadLength) {
  // frame[4] is the answer's address type; the head overwrites it with the
  // conid's high byte.
  bool v6 = frame[4] == socks::kAtypIpv6;
  std::size_t total = 4 + payloadLength;
  frame[0] = static_cast<uint8_t>((total - 2) & 0xff);
  frame[1] = static_cast<uint8_t>((total - 2) >> 8);
  frame[2] = v6 ? udpgw::kFlagIpv6 : 0;
  frame[3] = static_cast<uint8_t>(conid & 0xff);
  frame[4] = static_cast<uint8_t>(conid >> 8);
  {
    std::lock_guard lock(tunnelLock);
    countDropped(flow.tunnelQueue.push(std::vector<uint8_t>(frame, frame + total)));
    if (!flow.tunnelListed) {
      flow.tunnelListed = true;
      tunnelListed.push_back(&flow);
    }
  }
  node->counters->addBytes(static_cast<uint32_t>(total));
  node->counters->addDownloaded(static_cast<uint32_t>(total));
}

// Called with tunnelLock held: every answer queued so far, in one batch.
void CTUNTAPProtoBase::takeAnswers(std::vector<uint8_t>& batch) {
  for (UdpFlow* flow : tunnelListed) {
    for (auto& m : flow->tunnelQueue.items) batch.insert(batch.end(), m.begin(), m.end());
    flow->tunnelQueue.clear();
    flow->tunnelListed = false;
  }
  tunnelListed.clear();
}

void CTUNTAPProtoBase::writeAnswers(std::vector<uint8_t>& batch) {
  // A worker that has just queued answers writes them itself when the stream
  // is free and takes them at once: no hand-off to the writer. Whatever does
  // not fit is left to the writer, ahead of anything queued later.
  {
    std::lock_guard lock(tunnelLock);
    if (writing || !unwritten.empty() || tunnelListed.empty()) return;  // the writer is on it
    writing = true;
    takeAnswers(batch);
  }
  std::size_t sent = 0;
  while (sent < batch.size()) {
    long n = platform::sendBytes(session->udpgwStream(), batch.data() + sent, batch.size() - sent, true);
    if (n <= 0) break;  // full, or failed: the writer's own send will tell
    sent += static_cast<std::size_t>(n);
  }
  bool more;
  {
    std::lock_guard lock(tunnelLock);
    writing = false;
    if (sent < batch.size()) unwritten.assign(batch.begin() + static_cast<std::ptrdiff_t>(sent), batch.end());
    more = !unwritten.empty() || !tunnelListed.empty();
  }
  if (more) tunnelReady.notify_one();
  batch.clear();
}

void CTUNTAPProtoBase::tunnelWriter() {
  SocketHandle stream = session->udpgwStream();
  std::vector<uint8_t> batch;
  for (;;) {
    {
      std::unique_lock lock(tunnelLock);
      tunnelReady.wait(
          lock, [&] { return stopRequested.load() || (!writing && (!unwritten.empty() || !tunnelListed.empty())); });
      if (stopRequested.load()) return;
      // One write carries every answer queued since the last.
      writing = true;
      batch.swap(unwritten);
      takeAnswers(batch);
    }
    bool ok = session->sendUpstream(stream, batch.data(), static_cast<long>(batch.size()), 5) >= 0;
    batch.clear();
    {
      std::lock_guard lock(tunnelLock);
      writing = false;
    }
    if (!ok) {
      // Without a writer nothing more reaches the tunnel: the whole stream ends.
      stopRequested = true;
      return;
    }
  }
}

// ---- A shard's worker ----

void CTUNTAPProtoBase::serveShard(FlowShard& shard) {
  // An answer's frame: 4 bytes of head room before the largest datagram.
  std::vector<uint8_t> frame(4 + kMaxDatagram + 1);
  std::vector<uint8_t> scratch;
  std::vector<std::pair<unsigned, std::deque<std::vector<uint8_t>>>> toSend;
  platform::PollEvent events[64];
  struct Change {
    unsigned slot;
    uint32_t generation;
    uint16_t conid;
    bool isDns;
  };
  std::vector<Change> changes;
  std::vector<std::pair<unsigned, uint32_t>> idle;  // openings past their idle limit
  std::vector<uint8_t> answers;
  bool again = true;
  std::unique_lock hold(shard.ioLock);
  for (;;) {
    if (shard.wakePending.exchange(false)) shard.wake.clear();
    const int64_t now = nowMs();

    // What the reader changed: openings begun or ended, datagrams queued.
    changes.clear();
    bool ending;
    unsigned records;  // the reader adds records under the lock; the ones seen here stay
    {
      std::lock_guard lock(flowListLock);
      ending = stopRequested.load() || shard.openFlows == 0;
      records = shard.records;
      for (unsigned i = 0; i < records; ++i) {
        UdpFlow& flow = *shard.flows[i];
        FlowIo& io = shard.io[i];
        uint32_t wanted = flow.closed || ending ? 0 : flow.generation;
        if (io.generation != wanted) {
          changes.push_back({i, wanted, flow.conid, flow.isDns != 0});
          continue;
        }
        bool takes = io.state == FlowIo::State::Ready || io.state == FlowIo::State::Failed;
        if (wanted == 0 || !takes || flow.upstreamQueue.items.empty()) continue;
        toSend.emplace_back(i, std::move(flow.upstreamQueue.items));
        flow.upstreamQueue.clear();
      }
    }
    for (const Change& c : changes) {
      // The reader may be sending on the socket about to close.
      while (shard.io[c.slot].borrowed.load()) shard.returned.wait_for(hold, std::chrono::milliseconds(1));
      beginOpening(shard, *shard.flows[c.slot], shard.io[c.slot], c.generation, c.conid, c.isDns, now);
      if (c.generation != 0) again = true;  // its queued datagrams are taken on the next pass
    }
    if (ending) {
      std::lock_guard lock(flowListLock);
      if (stopRequested.load() || shard.openFlows == 0) {
        shard.running = false;
        shard.plannedWakeMs = 0;
        return;
      }
      continue;
    }

    for (auto& [slot, messages] : toSend) {
      FlowIo& io = shard.io[slot];
      if (io.state == FlowIo::State::Failed) {
        countDropped(messages.size());
        continue;
      }
      for (auto& m : messages) sendUpstream(*shard.flows[slot], io, m, scratch);
    }
    toSend.clear();

    // Wait for the sockets, the reader, or the next deadline. The reader may
    // open flows in slots of records not seen above: every slot is looked at.
    int64_t next = -1;
    for (unsigned i = 0; i < FlowShard::kFlows; ++i) {
      const FlowIo& io = shard.io[i];
      if (io.generation == 0) continue;
      int64_t due = wakeDue(io);
      if (next < 0 || due < next) next = due;
    }
    int64_t timeout = again ? 0 : (next < 0 ? -1 : (next > now ? next - now : 0));
    again = false;
    shard.plannedWakeMs = timeout < 0 ? INT64_MAX : now + timeout;
    hold.unlock();
    int n = shard.poller.wait(events, 64, timeout);
    hold.lock();
    shard.plannedWakeMs = 0;
    for (int e = 0; e < n; ++e) {
      auto key = reinterpret_cast<uintptr_t>(events[e].key);
      if (key == kWakeKey) continue;  // the reader: looked at on the next pass
      unsigned slot = static_cast<unsigned>(key / 4 - 1);
      bool control = (key & 1) != 0;
      FlowIo& io = shard.io[slot];
      UdpFlow& flow = *shard.flows[slot];
      if (io.generation == 0) continue;
      if (control) {
        controlEvent(shard, flow, io, nowMs());
        again = true;
        continue;
      }
      if (events[e].events & platform::kPollWritable) flushUnsent(flow, io);
      if (events[e].events & (platform::kPollReadable | platform::kPollError | platform::kPollHangup))
        io.moreToRead = true;
    }
    bool answered = false;
    for (unsigned i = 0; i < FlowShard::kFlows; ++i) {
      FlowIo& io = shard.io[i];
      if (io.moreToRead && io.udp != kInvalidSocket) {
        answered = true;
        io.moreToRead = receiveBurst(*shard.flows[i], io, frame);
        again = again || io.moreToRead;
      }
    }
    if (answered) writeAnswers(answers);

    // Deadlines: associations that took too long, tries that are due, idle flows.
    const int64_t later = nowMs();
    idle.clear();
    for (unsigned i = 0; i < FlowShard::kFlows; ++i) {
      FlowIo& io = shard.io[i];
      if (io.generation == 0) continue;
      if ((io.state == FlowIo::State::Associating || io.state == FlowIo::State::Waiting) && later >= io.deadlineMs) {
        deadline(shard, *shard.flows[i], io, later);
        again = true;
      }
      if (later >= idleDue(io)) idle.emplace_back(i, io.generation);
    }
    for (auto& [slot, generation] : idle) {
      endOpening(*shard.flows[slot], generation);
      again = true;
    }
  }
}

void CTUNTAPProtoBase::beginOpening(FlowShard& shard, UdpFlow& flow, FlowIo& io, uint32_t generation, uint16_t conid,
                                    bool isDns, int64_t now) {
  io.close();
  if (generation == 0) return;
  io.generation = generation;
  io.conid = conid;
  io.isDns = isDns;
  io.lastSentMs = io.lastReceivedMs = now;
  io.backoffMs = 0;
  openIo(shard, flow, io, now);
}

void CTUNTAPProtoBase::sendUpstream(UdpFlow& flow, FlowIo& io, std::vector<uint8_t>& message,
                                    std::vector<uint8_t>& scratch) {
  if (!encode(flow, message, scratch)) {
    countDropped(1);
    return;
  }
  if (scratch.size() > kMaxDatagram) {  // IV, tag and plugin bytes can push a large one past what UDP carries
    countDropped(1);
    return;
  }
  if (io.unsent.items.empty()) {
    long sent = platform::sendDatagram(io.udp, scratch.data(), scratch.size(), nullptr, true);
    if (sent >= 0) {
      node->counters->addBytes(static_cast<uint32_t>(sent));
      node->counters->addUploaded(static_cast<uint32_t>(sent));
      io.lastSentMs = nowMs();
      return;
    }
    if (sent != platform::kIoWouldBlock) {
      // Refused by the network (an ICMP error of an earlier datagram, for
      // one): this datagram is lost, the flow goes on.
      countDropped(1);
      return;
    }
  }
  countDropped(io.unsent.push(scratch));
  if (!io.watchingWritable) flushUnsent(flow, io);  // else the next writable report does
}

void CTUNTAPProtoBase::flushUnsent(UdpFlow& flow, FlowIo& io) {
  while (!io.unsent.items.empty()) {
    auto& d = io.unsent.items.front();
    long sent = platform::sendDatagram(io.udp, d.data(), d.size(), nullptr, true);
    if (sent == platform::kIoWouldBlock) {
      if (!io.watchingWritable)
        io.watchingWritable = flow.shard->poller.watchWritable(io.udp, ioKey(flow.slot, false), true);
      return;
    }
    if (sent >= 0) {
      node->counters->addBytes(static_cast<uint32_t>(sent));
      node->counters->addUploaded(static_cast<uint32_t>(sent));
      io.lastSentMs = nowMs();
    } else {
      countDropped(1);
    }
    io.unsent.bytes -= d.size();
    io.unsent.items.pop_front();
  }
  // Writable reports would wake the worker after every datagram that leaves.
  if (io.watchingWritable) {
    flow.shard->poller.watchWritable(io.udp, ioKey(flow.slot, false), false);
    io.watchingWritable = false;
  }
}

bool CTUNTAPProtoBase::receiveBurst(UdpFlow& flow, FlowIo& io, std::vector<uint8_t>& frame) {
  for (int i = 0; i < kReadBurst; ++i) {
    long got = receive(flow, io, frame.data(), frame.size());
    if (got == platform::kIoWouldBlock) return false;
    if (got <= 0) continue;  // dropped, or an error that the read has taken
    uint8_t type = frame[4];
    // Only IPv4 and IPv6 answers can be framed for the tunnel.
    bool framable = (type == socks::kAtypIpv4 && got >= 7) || (type == socks::kAtypIpv6 && got >= 19);
    if (!framable) {
      countDropped(1);
      continue;
    }
    io.lastReceivedMs = nowMs();
    queueForTunnel(flow, io.conid, frame.data(), static_cast<std::size_t>(got));
  }
  return true;
}

// ---- Shadowsocks / ShadowsocksR flows ----

bool CSSRTCPUDPMainLoop::prepareFlow(UdpFlow* flow) { return flow->pipeline.create(*node); }

void CSSRTCPUDPMainLoop::openIo(FlowShard& shard, UdpFlow& flow, FlowIo& io, int64_t) {
  // Connected to the node, so that nothing from anywhere else reaches the flow.
  io.udp = platform::createSocketFor(session->upstreamUdp(), platform::SocketType::Udp);
  if (io.udp == kInvalidSocket ||
      platform::connectEndpoint(io.udp, session->upstreamUdp()) != platform::ConnectStatus::Connected ||
      !shard.poller.add(io.udp, ioKey(flow.slot, false), false)) {
    uint32_t generation = io.generation;
    io.close();
    endOpening(flow, generation);
    countDropped(1);
    return;
  }
  flow.pipeline.renew();
  io.state = FlowIo::State::Ready;
}

bool CSSRTCPUDPMainLoop::encode(UdpFlow& flow, std::vector<uint8_t>& m, std::vector<uint8_t>& datagram) {
  // Drop length, flags and the conid's low byte; the conid's high byte
  // becomes the Shadowsocks address type.
  m[4] = (m[2] & udpgw::kFlagIpv6) ? socks::kAtypIpv6 : socks::kAtypIpv4;
  auto& pipe = flow.pipeline;
  HeapBlock plain{static_cast<uint8_t*>(platform::heapAlloc(m.size() - 4))};
  if (!plain.ptr) return false;
  std::memcpy(plain.ptr, m.data() + 4, m.size() - 4);
  int plainLength = static_cast<int>(m.size() - 4);
  if (!pipe.protocolPlugin->ClientUdpPreEncrypt(plain.ptr, plainLength, plainLength) || plainLength <= 0) return false;
  // The datagram form draws an IV (or salt) of its own for every datagram:
  // no Reset, whose IV would be drawn for nothing.
  HeapBlock cipher;
  int cipherLength = 0;
  if (!pipe.cryptor->Encrypt(plain.ptr, plainLength, cipher.ptr, cipherLength, true)) return false;
  datagram.assign(cipher.ptr, cipher.ptr + cipherLength);
  return true;
}

long CSSRTCPUDPMainLoop::receive(UdpFlow& flow, FlowIo& io, uint8_t* frame, std::size_t capacity) {
  uint8_t* wire = frame + 4;
  long got = platform::recvDatagram(io.udp, wire, capacity - 4, nullptr, true);
  if (got < 0) return got;
  // What does not decode is dropped; the flow goes on.
  auto& pipe = flow.pipeline;
  // A datagram carries its own IV or salt; the cryptor keeps nothing of the last one.
  HeapBlock plain;
  int plainLength = 0;
  bool more = false;
  if (!pipe.cryptor->Decrypt(wire, static_cast<int>(got), plain.ptr, plainLength, more, true) || plainLength <= 0)
    return 0;
  int outLength = plainLength;
  if (!pipe.protocolPlugin->ClientUdpPostDecrypt(plain.ptr, plainLength, outLength) || outLength <= 0 ||
      static_cast<std::size_t>(outLength) > kMaxDatagram)
    return 0;
  std::memcpy(wire, plain.ptr, static_cast<std::size_t>(outLength));
  return outLength;
}

// ---- SOCKS 5 flows ----

bool CS45TCPUDPMainLoop::prepareRun() {
  if (!node->isSocks5()) return true;  // no UDP: every flow fails at once
  if (fillNodeAddress(server_, node->connectAddress(), node->server_port)) return true;
  relayLog("cannot resolve the node %s", node->connectAddress().c_str());
  return false;
}

void CS45TCPUDPMainLoop::openIo(FlowShard& shard, UdpFlow&, FlowIo& io, int64_t now) {
  if (now < refusedUntilMs_.load()) {
    io.state = FlowIo::State::Failed;
    return;
  }
  if (!node->isSocks5()) {
    fail(io, now, "UDP (SOCKS 4 has none)");
    return;
  }
  startAssociation(shard, io, now);
}

void CS45TCPUDPMainLoop::startAssociation(FlowShard& shard, FlowIo& io, int64_t now) {
  io.association = std::make_unique<CSocksUdpAssociation>(node->username, node->password);
  ++node->counters->ConnectedTimes;
  unsigned slot = static_cast<unsigned>(&io - shard.io);
  if (!io.association->start(server_) || !shard.poller.add(io.association->socket(), ioKey(slot, true))) {
    ++node->counters->FailureTimes;
    retryLater(io, now);
    return;
  }
  io.state = FlowIo::State::Associating;
  io.deadlineMs = now + kAssociationTimeoutMs;
}

void CS45TCPUDPMainLoop::retryLater(FlowIo& io, int64_t now) {
  io.association.reset();
  io.backoffMs = io.backoffMs == 0 ? kFirstRetryMs : (io.backoffMs * 2 > kMaxRetryMs ? kMaxRetryMs : io.backoffMs * 2);
  io.state = FlowIo::State::Waiting;
  io.deadlineMs = now + io.backoffMs;
}

void CS45TCPUDPMainLoop::fail(FlowIo& io, int64_t now, const char* refusal) {
  if (io.association) ++node->counters->FailureTimes;  // a connect that came to nothing
  io.association.reset();
  io.state = FlowIo::State::Failed;
  // Counted and told once: the flows that open while the refusal holds fail
  // without asking the node again.
  int64_t before = refusedUntilMs_.exchange(now + kRefusalHoldMs);
  if (before < now) relayLog("the node refused %s; UDP flows fail for %d s", refusal, kRefusalHoldMs / 1000);
}

void CS45TCPUDPMainLoop::deadline(FlowShard& shard, UdpFlow&, FlowIo& io, int64_t now) {
  if (io.state == FlowIo::State::Associating) {
    ++node->counters->FailureTimes;
    retryLater(io, now);
  } else if (now < refusedUntilMs_.load()) {
    io.state = FlowIo::State::Failed;
  } else {
    startAssociation(shard, io, now);
  }
}

void CS45TCPUDPMainLoop::controlEvent(FlowShard& shard, UdpFlow& flow, FlowIo& io, int64_t now) {
  if (!io.association) return;
  if (io.state == FlowIo::State::Ready) {
    // The association lives as long as its control connection.
    if (!io.association->holdControl()) endOpening(flow, io.generation);
    return;
  }
  if (io.state != FlowIo::State::Associating) return;
  switch (io.association->advance()) {
    case CSocksUdpAssociation::Outcome::Pending:
      return;
    case CSocksUdpAssociation::Outcome::Refused:
      fail(io, now, io.association->refusal());
      return;
    case CSocksUdpAssociation::Outcome::Broken:
      ++node->counters->FailureTimes;
      retryLater(io, now);
      return;
    case CSocksUdpAssociation::Outcome::Ready:
      break;
  }
  // Connected to the relay, so that nothing from anywhere else reaches the flow.
  io.udp = platform::createSocketFor(io.association->relay(), platform::SocketType::Udp);
  if (io.udp == kInvalidSocket ||
      platform::connectEndpoint(io.udp, io.association->relay()) != platform::ConnectStatus::Connected ||
      !shard.poller.add(io.udp, ioKey(flow.slot, false), false)) {
    platform::closeSocket(io.udp);
    io.udp = kInvalidSocket;
    retryLater(io, now);
    return;
  }
  io.state = FlowIo::State::Ready;
  io.backoffMs = 0;
  // Answers of a node that has closed the control connection meanwhile
  // would never come: check it once now that it is registered for reads.
  if (!io.association->holdControl()) endOpening(flow, io.generation);
}

bool CS45TCPUDPMainLoop::encode(UdpFlow&, std::vector<uint8_t>& m, std::vector<uint8_t>& datagram) {
  // RSV RSV FRAG ATYP, then the message from its address on.
  datagram.resize(m.size() - 1);
  datagram[0] = datagram[1] = datagram[2] = 0;
  datagram[3] = (m[2] & udpgw::kFlagIpv6) ? socks::kAtypIpv6 : socks::kAtypIpv4;
  std::memcpy(datagram.data() + 4, m.data() + 5, m.size() - 5);
  return true;
}

long CS45TCPUDPMainLoop::receive(UdpFlow&, FlowIo& io, uint8_t* frame, std::size_t capacity) {
  // The datagram goes one byte up: RSV RSV FRAG land on frame[1..3] and its
  // address type on frame[4], where the answer starts.
  long got = platform::recvDatagram(io.udp, frame + 1, capacity - 1, nullptr, true);
  if (got < 0) return got;
  // Fragments are not reassembled: one is dropped rather than passed on as whole.
  if (got < 4 || frame[3] != 0) return 0;
  return got - 3;
}

}  // namespace vantor
