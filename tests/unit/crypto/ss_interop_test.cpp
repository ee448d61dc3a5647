// Interoperability with a real Shadowsocks server: Debian's ss-server runs as
// a black box on loopback, and the tests speak the Shadowsocks wire format to
// it directly with our cryptors, through it to in-test echo servers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cryptor_test_util.h"

namespace vantor::test {
namespace {

constexpr const char* kSsServer = "/usr/bin/ss-server";
constexpr const char* kPassword = "interop-secret";

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A port that is free for both TCP and UDP on 127.0.0.1 at this moment.
uint16_t FreeTcpUdpPort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int t = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    if (bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(t);
      continue;
    }
    uint16_t port = BoundPort(t);
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in b = Loopback(port);
    bool ok = bind(u, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
    close(u);
    close(t);
    if (ok) return port;
  }
  return 0;
}

// ss-server as a child process; ready once it reports its listening sockets.
class SsServer {
 public:
  SsServer(const std::string& method, uint16_t port) {
    int out[2];
    if (pipe(out) != 0) return;
    const std::string portText = std::to_string(port);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      close(out[1]);
      execl(kSsServer, "ss-server", "-s", "127.0.0.1", "-p", portText.c_str(), "-k", kPassword, "-m", method.c_str(),
            "-u", "-v", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
      close(out[0]);
      return;
    }
    reader_ = std::thread([this, fd = out[0]] {
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> g(lock_);
        log_.append(buf, static_cast<std::size_t>(n));
        changed_.notify_all();
      }
      close(fd);
      std::lock_guard<std::mutex> g(lock_);
      ended_ = true;
      changed_.notify_all();
    });
  }

  ~SsServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
    }
    if (reader_.joinable()) reader_.join();
  }

  bool WaitReady(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, limit, [this] {
      return ended_ || log_.find("udp server listening at") != std::string::npos;
    }) && !ended_;
  }

  std::string Log() {
    std::lock_guard<std::mutex> g(lock_);
    return log_;
  }

 private:
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::string log_;
  bool ended_ = false;
};

// Echoes every TCP connection back to its sender.
class TcpEcho {
 public:
  TcpEcho() {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 16);
    port_ = BoundPort(listen_);
    acceptor_ = std::thread([this] {
      for (;;) {
        int c = accept(listen_, nullptr, nullptr);
        if (c < 0) return;  // listening socket shut down
        std::lock_guard<std::mutex> g(lock_);
        workers_.emplace_back([c] {
          char buf[65536];
          ssize_t n;
          while ((n = recv(c, buf, sizeof buf, 0)) > 0) {
            for (ssize_t off = 0; off < n;) {
              ssize_t w = send(c, buf + off, static_cast<std::size_t>(n - off), MSG_NOSIGNAL);
              if (w <= 0) {
                close(c);
                return;
              }
              off += w;
            }
          }
          close(c);
        });
      }
    });
  }
  ~TcpEcho() {
    shutdown(listen_, SHUT_RDWR);
    acceptor_.join();
    close(listen_);
    for (auto& w : workers_) w.join();  // ends when ss-server closes its side
  }
  uint16_t port() const { return port_; }

 private:
  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<std::thread> workers_;
};

// Echoes every UDP datagram back to its sender.
class UdpEcho {
 public:
  UdpEcho() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Loopback(0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    port_ = BoundPort(fd_);
    worker_ = std::thread([this] {
      char buf[65536];
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n >= 0) {
          sendto(fd_, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
      }
    });
  }
  ~UdpEcho() {
    stop_ = true;
    worker_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

// The Shadowsocks address header of 127.0.0.1:port.
Bytes AddressHeader(uint16_t port) {
  return {0x01, 127, 0, 0, 1, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port & 0xFF)};
}

class SsInteropTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (access(kSsServer, X_OK) != 0) GTEST_SKIP() << kSsServer << " is not installed";
    port_ = FreeTcpUdpPort();
    ASSERT_NE(port_, 0);
    server_ = std::make_unique<SsServer>(GetParam(), port_);
    ASSERT_TRUE(server_->WaitReady(std::chrono::seconds(10))) << server_->Log();
  }
  void TearDown() override { server_.reset(); }

  uint16_t port_ = 0;
  std::unique_ptr<SsServer> server_;
};

TEST_P(SsInteropTest, TcpEchoThroughServer) {
  const std::string method = GetParam();
  TcpEcho echo;
  auto cryptor = Make(method, kPassword);
  ASSERT_NE(cryptor, nullptr);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in server = Loopback(port_);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);

  const Bytes payload = RandomPlaintext(400 * 1024, 21);
  ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);

  // One thread drives both directions, as a session does: encrypt the next
  // piece when the socket can take it, decrypt whatever arrives.
  std::mt19937 gen(22);
  Bytes pending = Enc(*cryptor, AddressHeader(echo.port()));  // first message of the stream
  std::size_t pendingOff = 0, sentPlain = 0;
  Bytes received;
  std::vector<uint8_t> buf(65536);
  bool sendOk = !pending.empty(), decodeOk = true;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (sendOk && decodeOk && received.size() < payload.size() && Clock::now() < deadline) {
    if (pendingOff == pending.size() && sentPlain < payload.size()) {
      std::size_t n = std::min<std::size_t>(1 + gen() % 30000, payload.size() - sentPlain);
      pending = Enc(*cryptor, payload.data() + sentPlain, n, false, &sendOk);
      pendingOff = 0;
      sentPlain += n;
    }
    pollfd p{fd, POLLIN, 0};
    if (pendingOff < pending.size()) p.events |= POLLOUT;
    if (poll(&p, 1, 1000) <= 0) continue;
    if (p.revents & POLLOUT) {
      ssize_t n = send(fd, pending.data() + pendingOff, pending.size() - pendingOff, MSG_NOSIGNAL);
      if (n > 0)
        pendingOff += static_cast<std::size_t>(n);
      else if (errno != EAGAIN)
        sendOk = false;
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      // Varying read sizes, down to single bytes, split the server's IV or
      // salt and its chunks at arbitrary places.
      std::size_t want = (gen() % 8 == 0) ? 1 + gen() % 7 : 1 + gen() % buf.size();
      ssize_t n = recv(fd, buf.data(), want, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN)) break;
      if (n < 0) continue;
      DecResult r = Dec(*cryptor, buf.data(), static_cast<std::size_t>(n));
      decodeOk = r.ok;
      received.insert(received.end(), r.out.begin(), r.out.end());
    }
  }
  close(fd);

  EXPECT_TRUE(sendOk) << method;
  EXPECT_TRUE(decodeOk) << method;
  ASSERT_EQ(received.size(), payload.size()) << method << "\n" << server_->Log();
  EXPECT_TRUE(received == payload) << method;
}

TEST_P(SsInteropTest, UdpDatagramsThroughServer) {
  const std::string method = GetParam();
  UdpEcho echo;
  auto cryptor = Make(method, kPassword);
  ASSERT_NE(cryptor, nullptr);

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in server = Loopback(port_);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);

  const Bytes header = AddressHeader(echo.port());
  for (int i = 0; i < 6; ++i) {
    Bytes payload = RandomPlaintext(1 + (static_cast<std::size_t>(i) * 397) % 1400, 30 + i);
    Bytes plain = header;
    plain.insert(plain.end(), payload.begin(), payload.end());
    // Half the datagrams go without a Reset first: each must still carry an
    // IV or salt of its own, or the server's replay filter drops it (and
    // drops a resent copy too, so every attempt is encrypted afresh).
    if (i % 2 == 0) cryptor->Reset();
    Bytes reply;
    for (int attempt = 0; attempt < 10 && reply.empty(); ++attempt) {
      Bytes datagram = Enc(*cryptor, plain, true);
      ASSERT_FALSE(datagram.empty());
      ASSERT_EQ(send(fd, datagram.data(), datagram.size(), 0), static_cast<ssize_t>(datagram.size()));
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      uint8_t buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        reply.assign(buf, buf + n);
      } else if (errno == ECONNREFUSED) {
        // ss-server briefly refuses datagrams right after it reports its UDP
        // socket; give it a moment before the next attempt.
        poll(nullptr, 0, 20);
      }
    }
    ASSERT_FALSE(reply.empty()) << method << " datagram " << i << "\n" << server_->Log();
    if (i % 2 == 0) cryptor->Reset();
    DecResult r = Dec(*cryptor, reply, true);
    ASSERT_TRUE(r.ok) << method << " datagram " << i;
    // The reply names the echo server as its source, then carries the payload.
    EXPECT_EQ(r.out, plain) << method << " datagram " << i;
  }
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(SsServer, SsInteropTest,
                         ::testing::Values("rc4-md5", "aes-128-cfb", "aes-192-cfb", "aes-256-cfb", "aes-128-ctr",
                                           "aes-192-ctr", "aes-256-ctr", "camellia-128-cfb", "camellia-192-cfb",
                                           "camellia-256-cfb", "salsa20", "chacha20", "chacha20-ietf", "aes-128-gcm",
                                           "aes-192-gcm", "aes-256-gcm", "chacha20-ietf-poly1305",
                                           "xchacha20-ietf-poly1305"),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           std::string s = param.param;
                           for (char& ch : s) {
                             if (ch == '-') ch = '_';
                           }
                           return s;
                         });

}  // namespace
}  // namespace vantor::test
