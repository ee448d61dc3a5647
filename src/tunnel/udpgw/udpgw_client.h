// UdpGwClient: the tunnel's UDP flow table on top of one udpgw stream.
//
// Every local address (the application's socket) becomes a connection with a
// connection id (conid) below the connection limit, whatever remote
// addresses it sends to: each message names its own remote address, and an
// answer reaches the socket from whichever remote address the node relayed
// it (full cone), up to kUdpGwMaxRemotes remote addresses per connection.
// Its datagrams are
// framed into the connection's own ring buffer and leave through one send
// queue that is fair over all connections and the keepalive flow. The queue
// hands its messages, in their fair order, into one batch that goes to the
// stream in a single send once the reactor is idle (or at once when the
// previous batch is done), so a burst of datagrams costs one system call.
// The stream itself (a StreamSender and a StreamReceiver) is attached with
// ConnectServer and detached with DisconnectServer; connections, conids and
// queued messages outlive the stream and continue on the next one.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "tunnel/base/baddr.h"
#include "tunnel/base/flow.h"
#include "tunnel/base/reactor.h"
#include "tunnel/udpgw/packet_proto.h"

namespace vantor::tunnel {

struct UdpGwClient;

// One sender into the fair send queue: at most one message waits or is
// being sent at a time.
struct UdpGwQueueFlow {
  uint64_t time = 0;
  uint64_t order = 0;  // stable tie-break between equal times
  int heapIndex = -1;  // position among the waiting flows, -1 when not waiting
  const uint8_t* msg = nullptr;
  int msgLen = 0;
  void (*done)(void* user) = nullptr;
  void* user = nullptr;
};

// Framed messages of one connection, oldest first, kept whole and
// contiguous in a fixed buffer.
struct UdpGwRing {
  std::vector<uint8_t> buf;
  int head = 0;
  int tail = 0;
  int wrapAt = -1;  // end of the data before the write position wrapped to 0
  int count = 0;
};

inline constexpr int kUdpGwMaxRemotes = 64;

struct UdpGwConnAddr {
  BAddr local;
  BAddr remote;  // the last remote address sent to
};
// Orders connections by their local address alone.
struct UdpGwConnAddrLess {
  bool operator()(const UdpGwConnAddr& a, const UdpGwConnAddr& b) const;
};

struct UdpGwConnection {
  UdpGwClient* client = nullptr;
  UdpGwConnAddr addr;
  uint16_t conid = 0;
  UdpGwRing ring;
  UdpGwQueueFlow flow;
  UdpGwConnection* lruPrev = nullptr;  // towards the least recently used
  UdpGwConnection* lruNext = nullptr;
  // The remote addresses the connection sent to or heard from, most recent
  // last, at most kUdpGwMaxRemotes; an answer from another one is dropped
  // when the list is full.
  std::vector<BAddr> remotes;
  // The conid was taken over from another application's socket: until an
  // answer from one of its own remotes shows the server has moved on, an
  // answer from an unknown remote may still be the old flow's.
  bool rebound = false;
};

struct UdpGwClient {
  int udpMtu = 0;
  int maxConnections = 0;
  int sendBufferPackets = 0;
  btime_t keepaliveTime = 0;
  BReactor* reactor = nullptr;
  void* user = nullptr;
  void (*handlerServerError)(void* user) = nullptr;
  void (*handlerReceived)(void* user, BAddr local, BAddr remote, const uint8_t* data, int len) = nullptr;

  int udpgwMtu = 0;   // largest message
  int framedMax = 0;  // largest message with its length header

  std::map<UdpGwConnAddr, UdpGwConnection*, UdpGwConnAddrLess> byAddr;
  std::vector<UdpGwConnection*> byConid;
  UdpGwConnection* lruHead = nullptr;
  UdpGwConnection* lruTail = nullptr;
  int numConnections = 0;
  int nextConid = 0;

  // fair send queue
  std::vector<UdpGwQueueFlow*> waiting;  // binary min-heap on (time, order)
  UdpGwQueueFlow* previous = nullptr;
  uint64_t nextOrder = 0;

  // the batch of framed messages being sent
  std::vector<uint8_t> batch;
  int batchLen = 0;              // 0: no batch
  int sendOffset = 0;            // bytes of the batch the stream took
  std::vector<int> batchStarts;  // where each message of the batch begins
  ReactorJob batchJob;           // builds and sends the next batch when idle

  // keepalive
  UdpGwQueueFlow keepaliveFlow;
  ReactorTimer keepaliveTimer;
  bool keepaliveSending = false;
  uint8_t keepaliveMessage[5] = {};

  // the stream
  bool haveServer = false;
  StreamSender* sender = nullptr;
  PacketProtoDecoder decoder;

  // counters (diagnostics and tests)
  uint64_t droppedOutOfBuffer = 0;
  uint64_t droppedReceived = 0;
  uint64_t batchesSent = 0;
};

bool UdpGwClient_Init(UdpGwClient* o, int udpMtu, int maxConnections, int sendBufferPackets, btime_t keepaliveTime,
                      BReactor* reactor, void* user, void (*handlerServerError)(void* user),
                      void (*handlerReceived)(void* user, BAddr local, BAddr remote, const uint8_t* data, int len));
void UdpGwClient_Free(UdpGwClient* o);
// Queues one datagram (len <= udpMtu) of the flow local -> remote.
void UdpGwClient_SubmitPacket(UdpGwClient* o, BAddr localAddr, BAddr remoteAddr, int flags, const uint8_t* data,
                              int len);
bool UdpGwClient_ConnectServer(UdpGwClient* o, StreamSender* sender, StreamReceiver* receiver);
void UdpGwClient_DisconnectServer(UdpGwClient* o);
// The conid of the flow of `localAddr` (whatever its remote addresses), or
// -1 when it has none.
int UdpGwClient_FindConid(const UdpGwClient* o, BAddr localAddr, BAddr remoteAddr);

}  // namespace vantor::tunnel
