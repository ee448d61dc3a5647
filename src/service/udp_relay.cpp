#include "service/udp_relay.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/heap.h"
#include "service/host_cache.h"
#include "service/s45_client.h"
#include "service/ss_manager.h"

namespace vantor {

using platform::kInvalidSocket;
using platform::SocketHandle;

namespace {

std::mutex gRoutedLock;
std::set<std::string> gRoutedDestinations;
std::atomic<IDirectRoutes*> gRouteManager{nullptr};

int64_t nowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }
uint64_t tickMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

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

std::string UdpgwAddress::text() const {
  char buf[64];
  if (type == 1) {
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3], port());
  } else if (type == 2) {
    std::snprintf(buf, sizeof buf, "%x:%x:%x:%x:%x:%x:%x:%x:%u", address[0] << 8 | address[1],
                  address[2] << 8 | address[3], address[4] << 8 | address[5], address[6] << 8 | address[7],
                  address[8] << 8 | address[9], address[10] << 8 | address[11], address[12] << 8 | address[13],
                  address[14] << 8 | address[15], port());
  } else {
    return "(none)";
  }
  return buf;
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

CTUNTAPProtoBase::CTUNTAPProtoBase(CSocksClient* owner) : session(owner), node(owner->sessionNode()) {}

CTUNTAPProtoBase::~CTUNTAPProtoBase() {
  std::lock_guard lock(flowListLock);
  for (auto& flow : flows) resetFlow(flow.get());
}

bool CTUNTAPProtoBase::running() const { return relayEnabled() && !stopRequested.load(); }

bool CTUNTAPProtoBase::run() {
  if (!node) return false;
  pool = std::make_unique<CThreadPool>();
  for (int kind = 0; kind < 2; ++kind) {
    platform::Thread thread;
    ++threadsRunning;
    if (!thread.createSuspended([this, kind] { job(nullptr, kind); }, kSessionStackSize)) {
      --threadsRunning;
      stopRequested = true;
      break;
    }
    thread.resume();
    thread.detach();
  }
  while (running()) platform::sleepMs(100);
  stopRequested = true;
  while (threadsRunning.load() > 0) platform::sleepMs(20);
  pool->stop(true);
  return true;
}

void CTUNTAPProtoBase::job(UdpFlow* flow, int kind) {
  switch (kind) {
    case 0:
      tunnelReader();
      stopRequested = true;
      --threadsRunning;
      break;
    case 1:
      tunnelWriter();
      // Without a writer nothing more reaches the tunnel; answers would pile
      // up in the queues, so the whole stream ends.
      stopRequested = true;
      --threadsRunning;
      break;
    case 2:
      flowWorker(flow, flow->generation.load());
      break;
    default:
      break;
  }
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

std::size_t CTUNTAPProtoBase::parseMessages(const uint8_t* data, std::size_t length) {
  std::size_t used = 0;
  while (running()) {
    udpgw::Message m;
    bool carriesData = false;
    std::size_t n = udpgw::nextMessage(data + used, length - used, m, carriesData);
    if (n == 0) break;
    used += n;
    if (!carriesData) continue;
    if (UdpFlow* flow = lookupFlow(m.flags, m.conid, m.address)) {
      std::lock_guard lock(flow->upstreamLock);
      flow->upstreamQueue.emplace_back(m.framed, m.framed + m.framedLength);
    }
    busyDestinationCheck(m.address);
  }
  return used;
}

UdpFlow* CTUNTAPProtoBase::lookupFlow(uint8_t flags, uint16_t conid, const UdpgwAddress& address) {
  std::lock_guard lock(flowListLock);
  UdpFlow* reusable = nullptr;
  for (auto& f : flows) {
    if (!f->closed && f->conid == conid) {
      if ((flags & udpgw::kFlagRebind) || !(f->destination == address)) {
        resetFlow(f.get());
        if (!openFlow(f.get(), flags, conid, address)) return nullptr;
      }
      f->lastActivityTick = tickMs();
      return f.get();
    }
    if (f->closed && !reusable) reusable = f.get();
  }
  if (reusable) {
    resetFlow(reusable);
    return openFlow(reusable, flags, conid, address) ? reusable : nullptr;
  }
  auto fresh = std::make_unique<UdpFlow>();
  fresh->node = node;
  if (!prepareFlow(fresh.get())) return nullptr;
  UdpFlow* flow = fresh.get();
  flows.push_back(std::move(fresh));
  return openFlow(flow, flags, conid, address) ? flow : nullptr;
}

bool CTUNTAPProtoBase::openFlow(UdpFlow* flow, uint8_t flags, uint16_t conid, const UdpgwAddress& address) {
  SocketHandle s = platform::createSocket(platform::SocketType::Udp);
  if (s == kInvalidSocket) return false;
  if (!platform::bindSocket(s, {0, 0})) {
    platform::closeSocket(s);
    return false;
  }
  {
    std::lock_guard lock(flow->recordLock);
    flow->lastSent = flow->lastReceived = nowSeconds();
    flow->lastActivityTick = tickMs();
    flow->udpSocket = s;
    flow->udpSocketRef = std::make_shared<OwnedSocket>(s);
    flow->closed = 0;
    flow->controlSocket = kInvalidSocket;
    flow->controlSocketRef.reset();
    flow->relayAddress = {};
    flow->flags = flags;
    flow->conid = conid;
    flow->destination = address;
    flow->destinationText = address.text();
    flow->isDns = address.port() == 53;
    if (flow->pipeline.cryptor) flow->pipeline.renew();
    ++flow->generation;
  }
  CSSManager::instance().addLiveConnection();
  if (pool && pool->state() == 0) pool->submit([this, flow] { job(flow, 2); });
  return true;
}

void CTUNTAPProtoBase::resetFlow(UdpFlow* flow) {
  {
    std::lock_guard lock(flow->recordLock);
    flow->controlSocketRef.reset();
    flow->controlSocket = kInvalidSocket;
    if (flow->udpSocket != kInvalidSocket) {
      flow->udpSocketRef.reset();
      flow->udpSocket = kInvalidSocket;
      CSSManager::instance().removeLiveConnection();
    }
    resetFlowExtra(flow);
    flow->isDns = 0;
    flow->conid = 0;
    flow->flags = 0;
    flow->lastSent = flow->lastReceived = 0;
    flow->destination = {};
    flow->destinationText.clear();
    flow->closed = 1;
    ++flow->generation;
  }
  {
    std::lock_guard lock(flow->upstreamLock);
    flow->upstreamQueue.clear();
  }
  std::lock_guard lock(flow->tunnelLock);
  flow->tunnelQueue.clear();
}

void CTUNTAPProtoBase::idleWait(SocketHandle udp, SocketHandle control) {
  // Nothing to send: rather than sleeping blind for 10 ms, wait that long for
  // an answer, so answers go back to the tunnel at once; a message queued
  // meanwhile still goes out within 10 ms.
  platform::WaitItem items[2] = {{udp, platform::kWantRead}, {control, platform::kWantRead}};
  platform::waitSockets({items, control == kInvalidSocket ? 1u : 2u}, 10);
}

CTUNTAPProtoBase::Opening CTUNTAPProtoBase::snapshot(UdpFlow* flow) {
  std::lock_guard lock(flow->recordLock);
  return Opening{flow->udpSocketRef, flow->controlSocketRef, flow->conid, flow->relayAddress};
}

bool CTUNTAPProtoBase::flowCurrent(UdpFlow* flow, uint32_t generation) const {
  return flow->generation.load() == generation;
}

void CTUNTAPProtoBase::endFlowWorker(UdpFlow* flow, uint32_t generation) {
  std::lock_guard list(flowListLock);
  if (flowCurrent(flow, generation) && !flow->closed) resetFlow(flow);
}

bool CTUNTAPProtoBase::takeUpstream(UdpFlow* flow, std::vector<uint8_t>& message) {
  std::lock_guard lock(flow->upstreamLock);
  if (flow->closed || flow->upstreamQueue.empty()) return false;
  message = std::move(flow->upstreamQueue.front());
  flow->upstreamQueue.pop_front();
  return true;
}

void CTUNTAPProtoBase::queueForTunnel(UdpFlow* flow, uint16_t conid, uint8_t* frame, std::size_t payloadLength) {
  // frame[4] is the payload's address type; the head overwrites it with the
  // conid's high byte.
  bool v6 = frame[4] == 4;
  std::size_t total = 4 + payloadLength;
  frame[0] = static_cast<uint8_t>((total - 2) & 0xff);
  frame[1] = static_cast<uint8_t>((total - 2) >> 8);
  frame[2] = v6 ? udpgw::kFlagIpv6 : 0;
  frame[3] = static_cast<uint8_t>(conid & 0xff);
  frame[4] = static_cast<uint8_t>(conid >> 8);
  {
    std::lock_guard lock(flow->tunnelLock);
    flow->tunnelQueue.emplace_back(frame, frame + total);
  }
  frameReady.set();
  flow->lastReceived = nowSeconds();
  node->addBytes(static_cast<uint32_t>(total));
  node->addDownloaded(static_cast<uint32_t>(total));
}

void CTUNTAPProtoBase::idleCheck(UdpFlow* flow, int64_t now) {
  int64_t limit = flow->isDns ? kDnsIdleSeconds : kIdleSeconds;
  if (now - flow->lastSent >= limit || now - flow->lastReceived >= limit) resetFlow(flow);
}

void CTUNTAPProtoBase::tunnelWriter() {
  SocketHandle stream = session->udpgwStream();
  auto lastIdleCheck = std::chrono::steady_clock::now();
  while (running()) {
    bool signalled;
    {
      std::unique_lock lock(frameReady.mutex());
      signalled = frameReady.cv().wait_for(lock, std::chrono::milliseconds(100),
                                           [&] { return frameReady.setLocked(); });
    }
    // Flows are checked for idleness when answers arrive, and at least once a
    // second, so flows that never get an answer are closed as well.
    bool checkIdle = signalled || std::chrono::steady_clock::now() - lastIdleCheck >= std::chrono::seconds(1);
    if (!signalled && !checkIdle) continue;
    if (signalled) frameReady.reset();
    std::vector<uint8_t> batch;
    {
      std::lock_guard list(flowListLock);
      int64_t now = nowSeconds();
      for (auto& f : flows) {
        if (f->closed) continue;
        {
          std::lock_guard lock(f->tunnelLock);
          for (auto& m : f->tunnelQueue) batch.insert(batch.end(), m.begin(), m.end());
          f->tunnelQueue.clear();
        }
        if (checkIdle) idleCheck(f.get(), now);
      }
    }
    if (checkIdle) lastIdleCheck = std::chrono::steady_clock::now();
    if (batch.empty()) continue;
    if (session->sendUpstream(stream, batch.data(), static_cast<long>(batch.size()), 5) < 0) return;
  }
}

std::size_t CTUNTAPProtoBase::openFlowCount() {
  std::lock_guard list(flowListLock);
  std::size_t open = 0;
  for (auto& f : flows) open += f->closed ? 0 : 1;
  return open;
}

void CTUNTAPProtoBase::busyDestinationCheck(const UdpgwAddress& address) {
  if (!gRouteManager.load() || address.type != 1) return;
  std::string ip = platform::formatIpv4(*reinterpret_cast<const uint32_t*>(address.address));
  {
    std::lock_guard lock(gRoutedLock);
    if (gRoutedDestinations.count(ip)) return;
  }
  std::size_t open = 0, same = 0;
  {
    std::lock_guard list(flowListLock);
    for (auto& f : flows) {
      if (f->closed) continue;
      ++open;
      if (f->destination == address) ++same;
    }
  }
  if (open >= kBusyStreamFlows && same >= kBusyDestinationFlows) routeDirect(ip, address.port() == 53);
}

// ---- Shadowsocks / ShadowsocksR flows ----

bool CSSRTCPUDPMainLoop::prepareFlow(UdpFlow* flow) { return flow->pipeline.create(*node); }

void CSSRTCPUDPMainLoop::flowWorker(UdpFlow* flow, uint32_t generation) {
  constexpr std::size_t kBuffer = 131014;
  std::vector<uint8_t> buffer(kBuffer);
  Opening opening = snapshot(flow);
  if (!opening.udp || !flowCurrent(flow, generation)) return;
  SocketHandle s = opening.udp->s;
  const platform::Ipv4Endpoint server = session->upstreamUdp();
  auto& pipe = flow->pipeline;
  while (running() && flowCurrent(flow, generation)) {
    platform::WaitItem item{s, platform::kWantRead | platform::kWantWrite};
    int n = platform::waitSockets({&item, 1}, 100);
    if (n < 0 || item.failed) break;
    if (n == 0) continue;
    bool fault = false;
    if (item.writable) {
      std::vector<uint8_t> m;
      bool sentAny = false;
      while (!fault && takeUpstream(flow, m)) {
        // Drop length, flags and the conid's low byte; the conid's high byte
        // becomes the Shadowsocks address type.
        m[4] = (m[2] & udpgw::kFlagIpv6) ? 4 : 1;
        uint8_t* plain = static_cast<uint8_t*>(platform::heapAlloc(m.size() - 4));
        if (!plain) break;
        std::memcpy(plain, m.data() + 4, m.size() - 4);
        int plainLength = static_cast<int>(m.size() - 4);
        uint8_t* cipher = nullptr;
        int cipherLength = 0;
        bool ok = pipe.protocolPlugin->ClientUdpPreEncrypt(plain, plainLength, plainLength) && plainLength > 0;
        if (ok) {
          pipe.cryptor->Reset();
          ok = pipe.cryptor->Encrypt(plain, plainLength, cipher, cipherLength, true);
        }
        platform::heapFree(plain);
        if (!ok) continue;
        long sent = platform::sendDatagram(s, cipher, static_cast<std::size_t>(cipherLength), &server, false);
        platform::heapFree(cipher);
        if (sent < 0) {
          fault = true;
          break;
        }
        sentAny = true;
        node->addBytes(static_cast<uint32_t>(sent));
        node->addUploaded(static_cast<uint32_t>(sent));
        flow->lastSent = std::time(nullptr);
      }
      if (!sentAny && !item.readable) idleWait(s, kInvalidSocket);
    }
    if (!fault && item.readable) {
      long got = platform::recvDatagram(s, buffer.data(), 65507, nullptr, false);
      if (got < 0) break;
      pipe.cryptor->Reset();
      uint8_t* plain = nullptr;
      int plainLength = 0;
      bool more = false;
      if (!pipe.cryptor->Decrypt(buffer.data(), static_cast<int>(got), plain, plainLength, more, true)) break;
      int outLength = plainLength;
      bool ok = plainLength > 0 && pipe.protocolPlugin->ClientUdpPostDecrypt(plain, plainLength, outLength) &&
                static_cast<std::size_t>(outLength) + 4 <= buffer.size();
      if (ok) std::memcpy(buffer.data() + 4, plain, static_cast<std::size_t>(outLength));
      platform::heapFree(plain);
      if (!ok) break;
      uint8_t type = buffer[4];
      bool shortReply = (type == 1 && outLength < 7) || (type == 4 && outLength < 19);
      // Only IPv4 and IPv6 answers can be framed for the tunnel.
      if (!shortReply && (type == 1 || type == 4)) queueForTunnel(flow, opening.conid, buffer.data(), static_cast<std::size_t>(outLength));
    }
    if (fault) break;
  }
  endFlowWorker(flow, generation);
}

// ---- SOCKS 5 flows ----

void CS45TCPUDPMainLoop::resetFlowExtra(UdpFlow* flow) { flow->relayAddress = {}; }

bool CS45TCPUDPMainLoop::openAssociation(UdpFlow* flow, uint32_t generation) {
  auto* socks = static_cast<CS45CLient*>(session);
  while (running() && flowCurrent(flow, generation)) {
    SocketHandle c = platform::createSocket(platform::SocketType::Tcp);
    if (c == kInvalidSocket) return false;
    platform::setNonBlocking(c, true);
    ++node->ConnectedTimes;
    platform::Ipv4Endpoint server{};
    if (!fillAddress(server, node->connectAddress(), node->server_port)) {
      platform::closeSocket(c);
      ++node->FailureTimes;
      return false;
    }
    bool connected = false;
    auto status = platform::connectSocket(c, server);
    if (status == platform::ConnectStatus::Connected) {
      connected = true;
    } else if (status == platform::ConnectStatus::InProgress) {
      platform::WaitItem item{c, platform::kWantWrite};
      connected = platform::waitSockets({&item, 1}, 3000) > 0 && platform::pendingError(c) == 0;
    }
    if (!connected) {
      platform::closeSocket(c);
      ++node->FailureTimes;
      return false;
    }
    platform::setNonBlocking(c, false);
    platform::setNoDelay(c);
    platform::Ipv4Endpoint bound{};
    if (socks->socks5Login(c) && socks->socks5Request(c, socks::kCmdUdpAssociate, bound)) {
      if (bound.address == 0) bound.address = server.address;  // "same host as the server"
      std::lock_guard lock(flow->recordLock);
      if (!flowCurrent(flow, generation)) {
        platform::closeSocket(c);
        return false;
      }
      flow->controlSocket = c;
      flow->controlSocketRef = std::make_shared<OwnedSocket>(c);
      flow->relayAddress = bound;
      return platform::connectSocket(flow->udpSocket, bound) == platform::ConnectStatus::Connected;
    }
    platform::closeSocket(c);
    platform::sleepMs(100);  // the server refused the association: try again, paced
  }
  return false;
}

void CS45TCPUDPMainLoop::flowWorker(UdpFlow* flow, uint32_t generation) {
  constexpr std::size_t kBuffer = 65507;
  if (!openAssociation(flow, generation)) {
    endFlowWorker(flow, generation);
    return;
  }
  std::vector<uint8_t> buffer(kBuffer + 8);
  Opening opening = snapshot(flow);
  if (!opening.udp || !opening.control || !flowCurrent(flow, generation)) {
    endFlowWorker(flow, generation);
    return;
  }
  SocketHandle u = opening.udp->s, control = opening.control->s;
  const platform::Ipv4Endpoint relay = opening.relay;
  while (running() && flowCurrent(flow, generation)) {
    platform::WaitItem items[2] = {{control, platform::kWantRead},
                                   {u, platform::kWantRead | platform::kWantWrite}};
    int n = platform::waitSockets(items, 100);
    if (n < 0 || items[0].failed || items[1].failed) break;
    if (n == 0) continue;
    if (items[1].writable) {
      std::vector<uint8_t> m;
      bool sentAny = false, fault = false;
      while (takeUpstream(flow, m)) {
        // RSV RSV FRAG ATYP, then the message from its address on.
        std::vector<uint8_t> datagram(m.size() - 1);
        datagram[3] = (m[2] & udpgw::kFlagIpv6) ? 4 : 1;
        std::memcpy(datagram.data() + 4, m.data() + 5, m.size() - 5);
        long sent = session->sendToWait(u, datagram.data(), datagram.size(), relay, 5);
        if (sent < 0) {
          fault = true;
          break;
        }
        sentAny = true;
        node->addBytes(static_cast<uint32_t>(sent));
        node->addUploaded(static_cast<uint32_t>(sent));
        flow->lastSent = std::time(nullptr);
      }
      if (fault) break;
      if (!sentAny && !items[1].readable && !items[0].readable) idleWait(u, control);
    }
    if (items[1].readable) {
      // The datagram goes one byte up: its RSV RSV FRAG and the byte before
      // them make room for the 5-byte udpgw head.
      long got = session->recvFromWait(u, buffer.data() + 1, kBuffer, nullptr, 5);
      if (got < 0 || static_cast<std::size_t>(got) >= kBuffer) break;
      if (got >= 4) {
        uint8_t type = buffer[4];
        std::size_t payload = static_cast<std::size_t>(got) - 3;
        bool shortReply = (type == 1 && payload < 7) || (type == 4 && payload < 19);
        if (!shortReply && (type == 1 || type == 4)) queueForTunnel(flow, opening.conid, buffer.data(), payload);
      }
    }
    if (items[0].readable) {
      uint8_t scratch[100];
      if (session->recvWait(control, scratch, sizeof scratch, 0) < 0) break;
    }
  }
  endFlowWorker(flow, generation);
}

}  // namespace vantor
