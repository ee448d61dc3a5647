// The UDP relay behind the tunnel's udpgw stream: one flow per connection id,
// each with its own upstream UDP socket, datagrams sent in the node's own UDP
// form and answers framed back into udpgw messages.
//
// Threads of one stream: the session's own thread reads the stream, one
// writer thread writes it, and pool workers serve the flows, each worker one
// shard of up to 32 flows whose sockets it waits on together. A shard's
// worker is started with its first open flow and ends with its last, so
// threads follow the active flows and an idle stream holds two. All of them
// read the node through the session's snapshot, which no one changes.
//
// A datagram from the tunnel is sent to the node by the reader itself while
// the shard's worker waits (it takes the shard's ioLock for that), so a
// query costs no hand-off between threads; only when the worker is busy, or
// the flow still has datagrams queued or an association under way, does it
// go through the flow's queue and the worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalogue/node_info.h"
#include "platform/net.h"
#include "platform/poller.h"
#include "platform/wake_event.h"
#include "service/ssr_client.h"
#include "service/thread_pool.h"
#include "service/udp_association.h"

namespace vantor {

class CSocksClient;

namespace udpgw {
inline constexpr uint8_t kFlagKeepalive = 0x01;
inline constexpr uint8_t kFlagRebind = 0x02;
inline constexpr uint8_t kFlagDns = 0x04;
inline constexpr uint8_t kFlagIpv6 = 0x08;
inline constexpr std::size_t kHeadLength = 5;  // length (2, little-endian), flags, conid (2, little-endian)
inline constexpr std::size_t kMaxFramed = 65535 + 2;
}  // namespace udpgw

// A udpgw peer address; address and port in network order.
struct UdpgwAddress {
  uint8_t type = 0;  // 0 none, 1 IPv4, 2 IPv6
  uint8_t address[16] = {};
  uint16_t portNetworkOrder = 0;
  bool operator==(const UdpgwAddress& other) const;
  uint16_t port() const { return static_cast<uint16_t>((portNetworkOrder & 0xff) << 8 | portNetworkOrder >> 8); }
  // Parses the address of a framed message (length prefix included); false when too short.
  static bool fromMessage(const uint8_t* message, std::size_t length, UdpgwAddress& out);
};

namespace udpgw {
// One message of the tunnel's stream that carries a datagram for a flow.
struct Message {
  const uint8_t* framed = nullptr;  // from the length prefix on
  std::size_t framedLength = 0;
  uint8_t flags = 0;
  uint16_t conid = 0;
  UdpgwAddress address;
};
// Reads the message at the start of `data`. Returns 0 while it is not
// complete, else the bytes it takes (prefix included); `carriesData` tells
// whether `out` now describes a datagram for a flow, rather than a keepalive
// or a message too short for its address, which are skipped.
std::size_t nextMessage(const uint8_t* data, std::size_t length, Message& out, bool& carriesData);
}  // namespace udpgw

// The two route-manager operations the relay needs to send a very busy
// destination around the tunnel.
class IDirectRoutes {
 public:
  virtual ~IDirectRoutes() = default;
  virtual bool isRouteTracked(const std::string& ipText, const std::string& mask) = 0;
  virtual bool addDirectRoute(const std::string& ipText, const std::string& mask, int metric) = 0;
};

void setRouteManager(IDirectRoutes* manager);
void clearRoutedDestinations();

struct FlowShard;

// Datagrams waiting in one direction of a flow, bounded: when a new one does
// not fit, the oldest go and are counted.
struct DatagramQueue {
  static constexpr std::size_t kMaxBytes = 256 * 1024;
  std::deque<std::vector<uint8_t>> items;
  std::size_t bytes = 0;
  // Returns how many older datagrams made room for this one.
  std::size_t push(std::vector<uint8_t> datagram);
  void clear();
};

// One flow record, reused for later flows and freed with the stream. The
// loop's flowListLock guards the fields down to the upstream queue, its
// tunnelLock the tunnel queue; the pipeline belongs to whoever holds the
// shard's ioLock.
struct UdpFlow {
  FlowShard* shard = nullptr;
  unsigned slot = 0;  // in the shard
  bool closed = true;
  // Bumped at every open and reset: the shard's worker serves one opening
  // and tears it down when the number moves on.
  uint32_t generation = 0;
  uint16_t conid = 0;
  uint8_t isDns = 0;
  UdpgwAddress destination;      // of the flow's latest datagram
  DatagramQueue upstreamQueue;   // whole udpgw messages, length prefix included
  DatagramQueue tunnelQueue;     // framed answers
  bool tunnelListed = false;     // in the loop's list of flows with answers to write
  ShadowsocksPipeline pipeline;  // kind-6 nodes
};

// What a shard's worker keeps for one opening of a flow.
struct FlowIo {
  enum class State { Closed, Ready, Associating, Waiting, Failed };
  State state = State::Closed;
  uint32_t generation = 0;  // the opening served, 0 for none
  uint16_t conid = 0;
  bool isDns = false;
  platform::SocketHandle udp = platform::kInvalidSocket;  // connected to the node (or its relay)
  std::unique_ptr<CSocksUdpAssociation> association;      // SOCKS nodes
  int64_t lastSentMs = 0;
  int64_t lastReceivedMs = 0;
  int64_t deadlineMs = 0;  // of the association under way, or of the next try
  int backoffMs = 0;
  DatagramQueue unsent;  // encoded, waiting for room in the socket
  bool moreToRead = false;
  bool watchingWritable = false;  // writable reports of `udp` are on
  // The reader sends on `udp` without ioLock held: the socket stays open
  // until it has cleared this.
  std::atomic<bool> borrowed{false};
  ~FlowIo();
  void close();
};

struct FlowShard {
  static constexpr unsigned kFlows = 32;
  // Guarded by the loop's flowListLock:
  UdpFlow* flows[kFlows] = {};
  unsigned records = 0;
  unsigned openFlows = 0;
  bool running = false;  // a worker serves it, or has been asked to
  // The reader's mark while it collects the shards of one batch to wake.
  bool marked = false;
  std::atomic<bool> wakePending{false};
  platform::WakeEvent wake;
  // Held by the worker through each pass (not while it waits), and by the
  // reader while it sends a datagram of the shard's flows itself. It guards
  // what follows and the flows' pipelines.
  std::mutex ioLock;
  // When the waiting worker looks at its flows again on its own: INT64_MAX
  // for no deadline, 0 while it is not waiting.
  int64_t plannedWakeMs = 0;
  std::condition_variable returned;  // a borrowed socket came back
  platform::Poller poller;
  FlowIo io[kFlows];
};

class CTUNTAPProtoBase {
 public:
  static constexpr int kDnsIdleSeconds = 20;
  static constexpr int kIdleSeconds = 60;
  static constexpr std::size_t kBusyStreamFlows = 300;
  static constexpr std::size_t kBusyDestinationFlows = 100;
  static constexpr unsigned kMaxShards = 32;  // 1024 flows at once; the tunnel opens up to 1000
  static constexpr int kIdleWorkerExitMs = 2000;

  explicit CTUNTAPProtoBase(CSocksClient* session);
  virtual ~CTUNTAPProtoBase();
  CTUNTAPProtoBase(const CTUNTAPProtoBase&) = delete;
  CTUNTAPProtoBase& operator=(const CTUNTAPProtoBase&) = delete;

  // Serves the stream until it ends, the relay is disabled or a thread cannot
  // be made; false when it could not start.
  virtual bool run();

  std::size_t openFlowCount();

 protected:
  // Kind-specific parts, all but prepareRun and prepareFlow on the worker of
  // the flow's shard. prepareRun runs once before the stream is served.
  virtual bool prepareRun() { return true; }
  // Set-up of a new flow record (cipher and plugins); false drops the message.
  virtual bool prepareFlow(UdpFlow*) { return true; }
  // Opens the upstream side of a new opening; io holds conid and times.
  virtual void openIo(FlowShard& shard, UdpFlow& flow, FlowIo& io, int64_t now) = 0;
  // A udpgw message (length prefix included) as the datagram for the node;
  // false drops it.
  virtual bool encode(UdpFlow& flow, std::vector<uint8_t>& message, std::vector<uint8_t>& datagram) = 0;
  // Receives one datagram of io.udp and leaves its answer at frame + 4 as
  // address type, address, port, data. Returns the answer's length, 0 for a
  // datagram that is dropped, or a platform I/O result (would block, error).
  virtual long receive(UdpFlow& flow, FlowIo& io, uint8_t* frame, std::size_t capacity) = 0;
  // An event on the control connection of io (SOCKS nodes).
  virtual void controlEvent(FlowShard&, UdpFlow&, FlowIo&, int64_t) {}
  // A deadline of io has passed.
  virtual void deadline(FlowShard&, UdpFlow&, FlowIo&, int64_t) {}

  // A datagram the reader tries to send itself; `framed` points into its buffer.
  struct DirectSend {
    UdpFlow* flow;
    uint32_t generation;
    const uint8_t* framed;
    std::size_t length;
  };

  void tunnelReader();
  void tunnelWriter();
  // Parses every complete message at the start of `data`; returns the bytes consumed.
  std::size_t parseMessages(const uint8_t* data, std::size_t length);
  // Called with flowListLock held: the flow a message goes to, opened or
  // reopened as the message needs; null when the message is dropped.
  UdpFlow* lookupFlow(const udpgw::Message& m, std::vector<FlowShard*>& toStart);
  UdpFlow* freeRecord();
  void openFlow(UdpFlow* flow, const udpgw::Message& m, std::vector<FlowShard*>& toStart);
  void resetFlow(UdpFlow* flow);  // flowListLock held
  // Ends the opening `generation` of a flow, from its shard's worker.
  void endOpening(UdpFlow& flow, uint32_t generation);
  bool running() const;
  bool busyDestination(const UdpgwAddress& address);  // flowListLock held

  void serveShard(FlowShard& shard);
  // Opens (or, with generation 0, closes) io for the given opening of its
  // flow; shard.ioLock held, flowListLock not.
  void beginOpening(FlowShard& shard, UdpFlow& flow, FlowIo& io, uint32_t generation, uint16_t conid, bool isDns,
                    int64_t now);
  // From the reader: sends d's datagram to the node at once, opening the
  // flow's socket first when it is new. False when it must go through the
  // flow's queue instead (the worker is busy, datagrams of the flow wait, or
  // its association is under way). The send itself happens with ioLock
  // released: the node's answer can come back before the call returns, and
  // the worker must not wait for the reader then.
  bool sendNow(const DirectSend& d);
  void sendUpstream(UdpFlow& flow, FlowIo& io, std::vector<uint8_t>& message, std::vector<uint8_t>& scratch);
  // Sends what waits in io.unsent while the socket takes it; writable
  // reports are watched for only while something waits.
  void flushUnsent(UdpFlow& flow, FlowIo& io);
  // Reads what io.udp holds, up to a burst; true when there may be more.
  bool receiveBurst(UdpFlow& flow, FlowIo& io, std::vector<uint8_t>& frame);
  // Frames an answer: `frame + 4` holds address type, address, port, data;
  // the head goes into the 5 bytes from `frame` on. Queues it for the tunnel.
  void queueForTunnel(UdpFlow& flow, uint16_t conid, uint8_t* frame, std::size_t payloadLength);
  void takeAnswers(std::vector<uint8_t>& batch);
  // From a worker, after it queued answers: writes them now if the stream is free.
  void writeAnswers(std::vector<uint8_t>& batch);
  void wakeShard(FlowShard& shard);
  void countDropped(std::size_t n) { dropped += n; }
  static int64_t nowMs();
  static int64_t idleDue(const FlowIo& io);
  // When the worker must look at io again without an event: idle limit or deadline.
  static int64_t wakeDue(const FlowIo& io);
  static void* ioKey(unsigned slot, bool control);

  CSocksClient* session;
  NodeRef node;  // the session's snapshot
  std::atomic<bool> stopRequested{false};
  std::mutex flowListLock;
  std::vector<std::unique_ptr<UdpFlow>> flows;
  std::vector<std::unique_ptr<FlowShard>> shards;
  std::unordered_map<uint16_t, UdpFlow*> openByConid;
  std::size_t openCount = 0;
  std::mutex tunnelLock;  // the tunnel queues and the three below
  std::condition_variable tunnelReady;
  std::vector<UdpFlow*> tunnelListed;  // flows with answers queued, in order of their first
  bool writing = false;                // one thread writes to the stream at a time
  std::vector<uint8_t> unwritten;      // the rest of a batch a worker could not write at once
  std::unique_ptr<CThreadPool> pool;
  std::atomic<uint64_t> dropped{0};  // datagrams lost to full queues or failed flows
  // The reader's own:
  std::vector<DirectSend> direct;
  std::vector<uint8_t> directMessage;
  std::vector<uint8_t> directScratch;
};

// Kind-6 nodes: Shadowsocks UDP with a fresh IV per datagram.
class CSSRTCPUDPMainLoop : public CTUNTAPProtoBase {
 public:
  using CTUNTAPProtoBase::CTUNTAPProtoBase;

 protected:
  bool prepareFlow(UdpFlow* flow) override;
  void openIo(FlowShard& shard, UdpFlow& flow, FlowIo& io, int64_t now) override;
  bool encode(UdpFlow& flow, std::vector<uint8_t>& message, std::vector<uint8_t>& datagram) override;
  long receive(UdpFlow& flow, FlowIo& io, uint8_t* frame, std::size_t capacity) override;
};

// SOCKS nodes: every flow opens its own SOCKS 5 UDP association.
class CS45TCPUDPMainLoop : public CTUNTAPProtoBase {
 public:
  using CTUNTAPProtoBase::CTUNTAPProtoBase;
  static constexpr int kAssociationTimeoutMs = 8000;  // connect (3 s) and handshake
  static constexpr int kFirstRetryMs = 200;
  static constexpr int kMaxRetryMs = 5000;
  // After a refusal, new flows fail at once for this long.
  static constexpr int kRefusalHoldMs = 60000;

 protected:
  bool prepareRun() override;
  void openIo(FlowShard& shard, UdpFlow& flow, FlowIo& io, int64_t now) override;
  bool encode(UdpFlow& flow, std::vector<uint8_t>& message, std::vector<uint8_t>& datagram) override;
  long receive(UdpFlow& flow, FlowIo& io, uint8_t* frame, std::size_t capacity) override;
  void controlEvent(FlowShard& shard, UdpFlow& flow, FlowIo& io, int64_t now) override;
  void deadline(FlowShard& shard, UdpFlow& flow, FlowIo& io, int64_t now) override;

 private:
  void startAssociation(FlowShard& shard, FlowIo& io, int64_t now);
  void retryLater(FlowIo& io, int64_t now);
  void fail(FlowIo& io, int64_t now, const char* refusal);

  platform::IpEndpoint server_{};
  std::atomic<int64_t> refusedUntilMs_{0};
};

}  // namespace vantor
