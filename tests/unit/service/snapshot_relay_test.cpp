// The data path keeps the node it started with. The connected node is edited
// and removed in the store (through CNodeMgr's update and remove, as the
// window and the command line do) while a bulk TCP relay and a udpgw UDP flow
// run through the local service to real Shadowsocks servers (Debian's
// ss-server on loopback): both finish intact, sessions started before the
// next connect still use the old parameters, and the next connect uses the
// edited ones. Built and run under ThreadSanitizer with the threaded tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/node_mgr.h"
#include "service/ss_manager.h"
#include "test_net.h"

extern char** environ;

namespace vantor {
namespace {

using Clock = std::chrono::steady_clock;
using test::Bytes;

constexpr const char* kSsServer = "/usr/bin/ss-server";
constexpr const char* kMethod = "aes-256-gcm";
constexpr std::size_t kBulkBytes = 3 * 1024 * 1024;
constexpr uint16_t kConid = 7;
constexpr std::size_t kDatagramData = 240;
constexpr uint8_t kIpv6Flag = 0x08;  // udpgw flags

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

uint16_t boundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A port free for both TCP and UDP on 127.0.0.1 at this moment.
uint16_t freeTcpUdpPort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int t = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    if (bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(t);
      continue;
    }
    uint16_t port = boundPort(t);
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in b = loopback(port);
    bool ok = bind(u, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
    close(u);
    close(t);
    if (ok) return port;
  }
  return 0;
}

// ss-server as a child process (TCP and UDP), quiet; ready once its TCP port answers.
class SsPeer {
 public:
  SsPeer(uint16_t port, const std::string& password) : port_(port) {
    const std::string portText = std::to_string(port);
    std::vector<std::string> args = {"ss-server", "-s",     "127.0.0.1", "-p",    portText,
                                     "-k",        password, "-m",        kMethod, "-u"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, kSsServer, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~SsPeer() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  bool waitReady() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && pid_ > 0) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a = loopback(port_);
      bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(s);
      if (up) {
        // Its UDP socket is opened right after the TCP one.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  uint16_t port_;
  pid_t pid_ = -1;
};

// Echoes every TCP connection and every datagram it gets, until destroyed.
class EchoPeer {
 public:
  EchoPeer() {
    udp_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    udpPort_ = boundPort(udp_);
    tcpThread_ = std::thread([this] { serveTcp(); });
    udpThread_ = std::thread([this] { serveUdp(); });
  }
  ~EchoPeer() {
    stop_ = true;
    tcpThread_.join();
    udpThread_.join();
    for (auto& t : connections_) t.join();
    close(udp_);
  }
  uint16_t tcpPort() const { return listener_.port(); }
  uint16_t udpPort() const { return udpPort_; }

 private:
  void serveTcp() {
    while (!stop_) {
      platform::SocketHandle s = listener_.accept(200);
      if (s == platform::kInvalidSocket) continue;
      connections_.emplace_back([this, s] {
        std::vector<char> buffer(65536);
        for (;;) {
          pollfd p{static_cast<int>(s), POLLIN, 0};
          if (poll(&p, 1, 200) == 0) {
            if (stop_) break;
            continue;
          }
          ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
          if (n <= 0) break;
          for (ssize_t sent = 0; sent < n;) {
            ssize_t m = send(s, buffer.data() + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
            if (m <= 0) break;
            sent += m;
          }
        }
        close(s);
      });
    }
  }
  void serveUdp() {
    char buffer[65536];
    while (!stop_) {
      pollfd p{udp_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0) sendto(udp_, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  test::Listener listener_;
  int udp_ = -1;
  uint16_t udpPort_ = 0;
  std::atomic<bool> stop_{false};
  std::thread tcpThread_, udpThread_;
  std::vector<std::thread> connections_;  // only serveTcp() adds, only the destructor joins
};

// A SOCKS 5 CONNECT through the local service; -1 when it is refused.
int socksConnect(uint16_t servicePort, uint16_t targetPort) {
  test::Conn c(servicePort);
  if (!c.connected()) return -1;
  c.send(Bytes{5, 1, 0});
  if (c.recv(2) != Bytes{5, 0}) return -1;
  c.send(test::socks5ConnectIpv4(htonl(INADDR_LOOPBACK), targetPort));
  Bytes reply = c.recv(10, 15000);
  if (reply.size() != 10 || reply[1] != 0) return -1;
  return static_cast<int>(c.release());
}

uint64_t fnv1a(uint64_t hash, const uint8_t* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

// Sends kBulkBytes of pseudo-random data through the service to the echo
// peer and reads them back; `received` shows the progress.
class BulkTransfer {
 public:
  BulkTransfer(uint16_t servicePort, uint16_t echoPort) : socket_(socksConnect(servicePort, echoPort)) {
    if (socket_ < 0) return;
    sender_ = std::thread([this] {
      uint64_t x = 88172645463325252ull;
      std::vector<uint8_t> chunk(32768);
      uint64_t hash = 1469598103934665603ull;
      for (std::size_t done = 0; done < kBulkBytes;) {
        for (auto& b : chunk) {
          x ^= x << 13;
          x ^= x >> 7;
          x ^= x << 17;
          b = static_cast<uint8_t>(x);
        }
        std::size_t n = std::min(chunk.size(), kBulkBytes - done);
        hash = fnv1a(hash, chunk.data(), n);
        for (std::size_t sent = 0; sent < n;) {
          ssize_t m = send(socket_, chunk.data() + sent, n - sent, MSG_NOSIGNAL);
          if (m <= 0) return;
          sent += static_cast<std::size_t>(m);
        }
        done += n;
      }
      sentHash_ = hash;
    });
    receiver_ = std::thread([this] {
      std::vector<uint8_t> buffer(65536);
      uint64_t hash = 1469598103934665603ull;
      auto deadline = Clock::now() + std::chrono::seconds(120);
      while (received_ < kBulkBytes && Clock::now() < deadline) {
        pollfd p{socket_, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) continue;
        ssize_t n = recv(socket_, buffer.data(), std::min(buffer.size(), kBulkBytes - received_.load()), 0);
        if (n <= 0) break;
        hash = fnv1a(hash, buffer.data(), static_cast<std::size_t>(n));
        received_ += static_cast<std::size_t>(n);
      }
      receivedHash_ = hash;
    });
  }
  ~BulkTransfer() {
    finish();
    if (socket_ >= 0) close(socket_);
  }
  bool started() const { return socket_ >= 0; }
  std::size_t received() const { return received_.load(); }
  // Waits for both directions; true when every byte came back unchanged.
  bool finish() {
    if (sender_.joinable()) sender_.join();
    if (receiver_.joinable()) receiver_.join();
    return received_ == kBulkBytes && sentHash_ != 0 && sentHash_ == receivedHash_;
  }

 private:
  int socket_;
  std::atomic<std::size_t> received_{0};
  uint64_t sentHash_ = 0;      // written by the sender, read after its join
  uint64_t receivedHash_ = 0;  // likewise for the receiver
  std::thread sender_, receiver_;
};

// One udpgw stream through the service with one flow to the UDP echo peer:
// numbered datagrams every few milliseconds; every answer must carry the
// echo peer's address and exactly the data of its number.
class UdpFlow {
 public:
  UdpFlow(uint16_t servicePort, uint16_t echoPort)
      : echoPort_(echoPort), socket_(socksConnect(servicePort, kUdpgwPort)) {
    if (socket_ < 0) return;
    sender_ = std::thread([this] {
      while (!stop_) {
        uint32_t seq = nextSeq_++;
        Bytes data = payload(seq);
        Bytes message(5 + 6);
        message[2] = 0;  // flags
        message[3] = kConid & 0xff;
        message[4] = kConid >> 8;
        uint32_t address = htonl(INADDR_LOOPBACK);
        std::memcpy(message.data() + 5, &address, 4);
        message[9] = static_cast<uint8_t>(echoPort_ >> 8);
        message[10] = static_cast<uint8_t>(echoPort_);
        message.insert(message.end(), data.begin(), data.end());
        uint16_t length = static_cast<uint16_t>(message.size() - 2);
        message[0] = static_cast<uint8_t>(length);
        message[1] = static_cast<uint8_t>(length >> 8);
        if (send(socket_, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
          broken_ = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
      }
    });
    reader_ = std::thread([this] {
      Bytes stream;
      uint8_t buffer[65536];
      while (!readerStop_) {
        pollfd p{socket_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
        if (n <= 0) {
          broken_ = true;
          return;
        }
        stream.insert(stream.end(), buffer, buffer + n);
        while (stream.size() >= 2) {
          std::size_t length = stream[0] | (stream[1] << 8);
          if (stream.size() < length + 2) break;
          check(Bytes(stream.begin() + 2, stream.begin() + 2 + static_cast<std::ptrdiff_t>(length)));
          stream.erase(stream.begin(), stream.begin() + 2 + static_cast<std::ptrdiff_t>(length));
        }
      }
    });
  }
  ~UdpFlow() {
    stopSending();
    readerStop_ = true;
    if (reader_.joinable()) reader_.join();
    if (socket_ >= 0) close(socket_);
  }
  bool started() const { return socket_ >= 0; }
  uint32_t sent() const { return nextSeq_.load(); }
  int answers() const { return answers_.load(); }
  int bad() const { return bad_.load(); }
  bool broken() const { return broken_.load(); }
  void markNow() { mark_ = nextSeq_.load(); }
  int answersSinceMark() const { return afterMark_.load(); }
  void stopSending() {
    stop_ = true;
    if (sender_.joinable()) sender_.join();
  }
  // Waits until answers stop coming (the last ones may still be on their way).
  void settle() {
    int before = -1;
    while (before != answers_.load()) {
      before = answers_.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }

 private:
  static Bytes payload(uint32_t seq) {
    Bytes d(kDatagramData);
    std::memcpy(d.data(), &seq, 4);
    for (std::size_t i = 4; i < d.size(); ++i) d[i] = static_cast<uint8_t>(seq * 31 + i);
    return d;
  }
  void check(const Bytes& message) {
    // flags, conid, IPv4 address, port, data
    if (message.size() != 3 + 6 + kDatagramData || (message[0] & kIpv6Flag) || message[1] != (kConid & 0xff) ||
        message[2] != (kConid >> 8)) {
      ++bad_;
      return;
    }
    uint32_t address;
    std::memcpy(&address, message.data() + 3, 4);
    uint16_t port = static_cast<uint16_t>((message[7] << 8) | message[8]);
    uint32_t seq;
    std::memcpy(&seq, message.data() + 9, 4);
    if (address != htonl(INADDR_LOOPBACK) || port != echoPort_ || seq >= nextSeq_.load() ||
        Bytes(message.begin() + 9, message.end()) != payload(seq)) {
      ++bad_;
      return;
    }
    ++answers_;
    if (seq >= mark_.load()) ++afterMark_;
  }

  uint16_t echoPort_;
  int socket_;
  std::atomic<bool> stop_{false}, readerStop_{false}, broken_{false};
  std::atomic<uint32_t> nextSeq_{0}, mark_{0};
  std::atomic<int> answers_{0}, bad_{0}, afterMark_{0};
  std::thread sender_, reader_;
};

bool waitFor(const std::function<bool()>& done, int seconds) {
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

NodeParams shadowsocksParams(uint16_t port, const std::string& password) {
  NodeParams p;
  p.type = kNodeShadowsocks;
  p.server = "127.0.0.1";
  p.server_port = port;
  p.method = kMethod;
  p.password = password;
  p.protocol = "origin";
  p.obfs = "plain";
  p.remarks = "connected";
  return p;
}

// A short exchange through the service with whatever node it has now.
bool echoesThroughService(uint16_t servicePort, uint16_t echoPort) {
  int s = socksConnect(servicePort, echoPort);
  if (s < 0) return false;
  test::Conn c(static_cast<platform::SocketHandle>(s));
  c.send(std::string("ping through the node"));
  Bytes back = c.recv(21, 10000);
  return std::string(back.begin(), back.end()) == "ping through the node";
}

TEST(ConnectedNodeSnapshot, EditAndRemoveDuringRelayChangeNothingUntilTheNextConnect) {
  if (access(kSsServer, X_OK) != 0) GTEST_SKIP() << kSsServer << " is not installed";
  const uint16_t portA = freeTcpUdpPort();
  const uint16_t portB = freeTcpUdpPort();
  ASSERT_NE(portA, 0);
  ASSERT_NE(portB, 0);
  ASSERT_NE(portA, portB);
  // Node A is up from the start; B only from the second connect on, so a
  // session that went to B's parameters too early would fail.
  auto peerA = std::make_unique<SsPeer>(portA, "alpha-secret");
  ASSERT_TRUE(peerA->waitReady());
  EchoPeer echo;

  CNodeMgr store;  // the window's and the command line's API
  CNodeInfo* record = store.add(shadowsocksParams(portA, "alpha-secret"));
  ASSERT_TRUE(record);
  const int32_t id = record->id;
  store.select(id);

  CSSManager& service = CSSManager::instance();
  // The first connect.
  NodeRef first = store.selectedSnapshot();
  ASSERT_TRUE(service.setCurrentNode(first));
  ASSERT_TRUE(service.startService(nullptr, nullptr, 0)) << service.lastError();
  const uint16_t servicePort = service.servicePort();

  {
    UdpFlow udp(servicePort, echo.udpPort());
    ASSERT_TRUE(udp.started());
    BulkTransfer bulk(servicePort, echo.tcpPort());
    ASSERT_TRUE(bulk.started());
    ASSERT_TRUE(waitFor([&] { return bulk.received() >= kBulkBytes / 4 && udp.answers() >= 10; }, 60))
        << "received " << bulk.received() << ", answers " << udp.answers();

    // The window edits the connected node: another server, port and password.
    ASSERT_TRUE(store.update(id, shadowsocksParams(portB, "beta-secret")));
    udp.markNow();
    EXPECT_EQ(service.currentNode(), first) << "an edit is not a connect";
    // A session that starts now still goes to the node as connected (B is
    // not even running yet).
    EXPECT_TRUE(echoesThroughService(servicePort, echo.tcpPort()));

    EXPECT_TRUE(bulk.finish()) << "only " << bulk.received() << " of " << kBulkBytes << " bytes came back intact";
    ASSERT_TRUE(waitFor([&] { return udp.answersSinceMark() >= 20; }, 30)) << udp.answersSinceMark();
    udp.stopSending();
    udp.settle();
    EXPECT_EQ(udp.bad(), 0);
    EXPECT_FALSE(udp.broken());
    EXPECT_GE(udp.answers(), static_cast<int>(udp.sent() * 9 / 10)) << "of " << udp.sent();
  }
  // The counters the window shows are the ones the sessions counted into;
  // the edit reset them, what came after is there.
  ASSERT_TRUE(store.find(id));
  EXPECT_GT(store.find(id)->Download_traffic.load(), 0.0);
  EXPECT_EQ(store.find(id)->resolvedIp, "") << "the data path never writes the store's record";

  // The next connect takes the edited values; A goes away to prove it.
  peerA->stop();
  SsPeer peerB(portB, "beta-secret");
  ASSERT_TRUE(peerB.waitReady());
  NodeRef second = store.selectedSnapshot();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->server_port, portB);
  EXPECT_EQ(second->password, "beta-secret");
  EXPECT_EQ(first->server_port, portA) << "the first connection's snapshot is as it was";
  ASSERT_TRUE(service.setCurrentNode(second));
  {
    UdpFlow udp(servicePort, echo.udpPort());
    ASSERT_TRUE(udp.started());
    BulkTransfer bulk(servicePort, echo.tcpPort());
    ASSERT_TRUE(bulk.started());
    ASSERT_TRUE(waitFor([&] { return bulk.received() >= kBulkBytes / 4 && udp.answers() >= 10; }, 60))
        << "received " << bulk.received() << ", answers " << udp.answers();

    // The command line removes the connected node: the record is freed.
    ASSERT_TRUE(store.remove(id));
    udp.markNow();
    EXPECT_EQ(store.find(id), nullptr);
    EXPECT_TRUE(echoesThroughService(servicePort, echo.tcpPort())) << "new sessions still have the connected node";

    EXPECT_TRUE(bulk.finish()) << "only " << bulk.received() << " of " << kBulkBytes << " bytes came back intact";
    ASSERT_TRUE(waitFor([&] { return udp.answersSinceMark() >= 20; }, 30)) << udp.answersSinceMark();
    udp.stopSending();
    udp.settle();
    EXPECT_EQ(udp.bad(), 0);
    EXPECT_FALSE(udp.broken());
    EXPECT_GE(udp.answers(), static_cast<int>(udp.sent() * 9 / 10)) << "of " << udp.sent();
  }
  // The removed node's counters live on with the connection's snapshot.
  EXPECT_GE(second->counters->Download_traffic.load(), static_cast<double>(kBulkBytes));
  EXPECT_GE(second->counters->Upload_traffic.load(), static_cast<double>(kBulkBytes));
  EXPECT_GE(second->counters->ConnectedTimes.load(), 2);

  service.stopService();
  EXPECT_TRUE(service.waitForSessions(15000));
}

}  // namespace
}  // namespace vantor
