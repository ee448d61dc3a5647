// The UDP relay behind the tunnel's udpgw stream: one flow per connection id,
// each with its own upstream UDP socket, datagrams sent in the node's own UDP
// form and answers framed back into udpgw messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "catalogue/node_info.h"
#include "platform/net.h"
#include "service/ssr_client.h"
#include "service/thread_pool.h"

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
  std::string text() const;
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

// A socket closed when its last holder lets go: a flow worker keeps the
// sockets of its opening alive until it has left its last select, so a reset
// never closes a socket number under a running worker.
struct OwnedSocket {
  explicit OwnedSocket(platform::SocketHandle handle) : s(handle) {}
  ~OwnedSocket() { platform::closeSocket(s); }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  platform::SocketHandle s;
};
using SocketRef = std::shared_ptr<OwnedSocket>;

struct UdpFlow {
  CNodeInfo* node = nullptr;
  platform::SocketHandle udpSocket = platform::kInvalidSocket;
  SocketRef udpSocketRef;
  uint8_t isDns = 0;
  uint16_t conid = 0;
  std::atomic<uint8_t> closed{1};
  uint8_t flags = 0;
  std::atomic<int64_t> lastSent{0};
  std::atomic<int64_t> lastReceived{0};
  uint64_t lastActivityTick = 0;
  std::string destinationText;
  UdpgwAddress destination;
  std::mutex recordLock;
  std::mutex upstreamLock;
  std::mutex tunnelLock;
  std::list<std::vector<uint8_t>> upstreamQueue;
  std::list<std::vector<uint8_t>> tunnelQueue;
  ShadowsocksPipeline pipeline;  // kind-6 nodes
  platform::SocketHandle controlSocket = platform::kInvalidSocket;  // SOCKS nodes
  SocketRef controlSocketRef;
  platform::Ipv4Endpoint relayAddress{};
  // Bumped at every open: a worker serves one opening and ends when it is over.
  std::atomic<uint32_t> generation{0};
};

class CTUNTAPProtoBase {
 public:
  static constexpr std::size_t kReaderBuffer = 65507;
  static constexpr int kDnsIdleSeconds = 20;
  static constexpr int kIdleSeconds = 60;
  static constexpr std::size_t kBusyStreamFlows = 300;
  static constexpr std::size_t kBusyDestinationFlows = 100;

  explicit CTUNTAPProtoBase(CSocksClient* session);
  virtual ~CTUNTAPProtoBase();
  CTUNTAPProtoBase(const CTUNTAPProtoBase&) = delete;
  CTUNTAPProtoBase& operator=(const CTUNTAPProtoBase&) = delete;

  virtual bool run();
  // kind 0 tunnel reader, 1 tunnel writer, 2 flow worker.
  virtual void job(UdpFlow* flow, int kind);
  virtual bool hook() { return true; }

  std::size_t openFlowCount();

 protected:
  // The flow worker of the node kind; runs on a pool thread for one opening.
  virtual void flowWorker(UdpFlow* flow, uint32_t generation) = 0;
  // Kind-specific set-up of a new flow record (cipher and plugins); false drops the message.
  virtual bool prepareFlow(UdpFlow*) { return true; }
  virtual void resetFlowExtra(UdpFlow*) {}

  void tunnelReader();
  void tunnelWriter();
  // Parses every complete message at the start of `data`; returns the bytes consumed.
  std::size_t parseMessages(const uint8_t* data, std::size_t length);
  UdpFlow* lookupFlow(uint8_t flags, uint16_t conid, const UdpgwAddress& address);
  bool openFlow(UdpFlow* flow, uint8_t flags, uint16_t conid, const UdpgwAddress& address);
  void resetFlow(UdpFlow* flow);
  // Ends one opening of a flow: resets it unless it has been reopened meanwhile.
  void endFlowWorker(UdpFlow* flow, uint32_t generation);
  bool flowCurrent(UdpFlow* flow, uint32_t generation) const;
  bool running() const;
  void busyDestinationCheck(const UdpgwAddress& address);
  void idleCheck(UdpFlow* flow, int64_t now);
  // Frames a reply: `payload` holds address type, address, port, data; the
  // head goes into the 4 bytes before it. Queues it for the tunnel.
  void queueForTunnel(UdpFlow* flow, uint16_t conid, uint8_t* frameStart, std::size_t payloadLength);
  // The sockets and conid of the current opening, taken under the record lock.
  struct Opening {
    SocketRef udp;
    SocketRef control;
    uint16_t conid = 0;
    platform::Ipv4Endpoint relay{};
  };
  Opening snapshot(UdpFlow* flow);
  static void idleWait(platform::SocketHandle udp, platform::SocketHandle control);
  // Takes the next queued upstream message of an open flow.
  bool takeUpstream(UdpFlow* flow, std::vector<uint8_t>& message);

  CSocksClient* session;
  CNodeInfo* node;
  std::atomic<bool> stopRequested{false};
  std::mutex flowListLock;
  std::list<std::unique_ptr<UdpFlow>> flows;
  CEvent frameReady;
  std::unique_ptr<CThreadPool> pool;
  std::atomic<int> threadsRunning{0};
};

// Kind-6 nodes: Shadowsocks UDP with a fresh IV per datagram.
class CSSRTCPUDPMainLoop : public CTUNTAPProtoBase {
 public:
  using CTUNTAPProtoBase::CTUNTAPProtoBase;

 protected:
  void flowWorker(UdpFlow* flow, uint32_t generation) override;
  bool prepareFlow(UdpFlow* flow) override;
};

// SOCKS nodes: every flow opens its own SOCKS 5 UDP association.
class CS45TCPUDPMainLoop : public CTUNTAPProtoBase {
 public:
  using CTUNTAPProtoBase::CTUNTAPProtoBase;

 protected:
  void flowWorker(UdpFlow* flow, uint32_t generation) override;
  void resetFlowExtra(UdpFlow* flow) override;
  bool openAssociation(UdpFlow* flow, uint32_t generation);
};

}  // namespace vantor
