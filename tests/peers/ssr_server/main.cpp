// ssr-test-server: a ShadowsocksR server for the tests.
//
//   ssr-test-server -s 127.0.0.1 -p PORT -k PASSWORD -m METHOD [-O PROTOCOL]
//                   [-o OBFS] [-g PROTOPARAM] [-G OBFSPARAM] [-u] [--mss N]
//
// -p 0 picks a free port. Once listening it prints "ready PORT" (the UDP
// socket, with -u, is on the same port). Every refused connection prints
// "refused: REASON" on standard error; with -v every finished one prints
// "closed: BYTES_IN BYTES_OUT".
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "crypto/aead_cryptor.h"
#include "crypto/cryptor.h"
#include "platform/heap.h"
#include "server_plugins.h"

using namespace ssrserver;

namespace {

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string password, method = "aes-256-cfb", protocol = "origin", obfs = "plain";
  std::string protocolParam, obfsParam;
  bool udp = false, verbose = false;
  int mss = 1452;
};

std::mutex g_logLock;
void logLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_logLock);
  std::fprintf(stderr, "%s\n", line.c_str());
}

Context baseContext(const Options& o, vantor::CCryptor& cryptor) {
  Context c;
  c.key.assign(cryptor.GetKey(), cryptor.GetKey() + cryptor.GetKeyLength());
  c.obfsParam = o.obfsParam;
  c.tcpMss = static_cast<uint16_t>(o.mss);
  // -g id:password[,id:password...]
  std::size_t start = 0;
  while (start < o.protocolParam.size()) {
    std::size_t end = o.protocolParam.find(',', start);
    std::string entry = o.protocolParam.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t colon = entry.find(':');
    if (colon != std::string::npos)
      c.users[static_cast<uint32_t>(std::strtoul(entry.c_str(), nullptr, 10))] = entry.substr(colon + 1);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return c;
}

// The IV (stream methods) or salt (AEAD methods) the client's stream began with.
void takeClientIv(vantor::CCryptor& cryptor, Context& c) {
  if (auto* aead = dynamic_cast<vantor::AEADCryptor*>(&cryptor))
    c.clientIv.assign(aead->GetRecvSalt(), aead->GetRecvSalt() + aead->GetSaltLength());
  else
    c.clientIv.assign(cryptor.GetRecvIV(), cryptor.GetRecvIV() + cryptor.GetIVLength());
}

bool sendAll(int fd, const uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool resolve(const std::string& host, uint16_t port, sockaddr_in& out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1) return true;
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_INET;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
  out.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

// Parses the Shadowsocks address header; its length, 0 when incomplete, -1
// when malformed.
int parseTarget(const Bytes& b, std::string& host, uint16_t& port) {
  if (b.empty()) return 0;
  std::size_t need;
  switch (b[0]) {
    case 1:
      need = 7;
      break;
    case 3:
      if (b.size() < 2) return 0;
      need = 4 + std::size_t(b[1]);
      break;
    default:
      return -1;
  }
  if (b.size() < need) return 0;
  if (b[0] == 1) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, b.data() + 1, text, sizeof text);
    host = text;
  } else {
    host.assign(reinterpret_cast<const char*>(b.data() + 2), b[1]);
  }
  port = static_cast<uint16_t>(b[need - 2] << 8 | b[need - 1]);
  return static_cast<int>(need);
}

class Connection {
 public:
  Connection(const Options& o, int client) : opt_(o), client_(client) {}
  ~Connection() {
    ::close(client_);
    if (target_ >= 0) ::close(target_);
  }

  void run() {
    cryptor_.reset(vantor::CreateCryptor(opt_.method, opt_.password));
    if (!cryptor_) return refuse("unknown method");
    ctx_ = baseContext(opt_, *cryptor_);
    protocol_ = makeProtocol(opt_.protocol, ctx_);
    obfs_ = makeObfs(opt_.obfs, ctx_);
    if (!protocol_ || !obfs_) return refuse("unknown protocol or obfs");
    uint8_t buf[65536];
    pollfd fds[2] = {{client_, POLLIN, 0}, {-1, POLLIN, 0}};
    bool clientOpen = true, targetOpen = true;
    while (clientOpen || (target_ >= 0 && targetOpen)) {
      fds[0].fd = clientOpen ? client_ : -1;
      fds[1].fd = target_ >= 0 && targetOpen ? target_ : -1;
      if (::poll(fds, 2, 60000) <= 0) return refuse("idle");
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::recv(client_, buf, sizeof buf, 0);
        if (n <= 0) {
          clientOpen = false;
          if (target_ < 0) break;
          ::shutdown(target_, SHUT_WR);
        } else if (!fromClient(buf, static_cast<std::size_t>(n))) {
          return;
        }
      }
      if (target_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = ::recv(target_, buf, sizeof buf, 0);
        if (n <= 0) {
          targetOpen = false;
          ::shutdown(client_, SHUT_WR);
          if (!clientOpen) break;
        } else if (!toClient(buf, static_cast<std::size_t>(n))) {
          return;
        }
      }
    }
    if (opt_.verbose) logLine("closed: " + std::to_string(in_) + " " + std::to_string(out_));
  }

 private:
  void refuse(const std::string& why) { logLine("refused: " + why); }

  bool fromClient(const uint8_t* data, std::size_t n) {
    Bytes cipher, reply;
    if (!obfs_->decode(data, n, cipher, reply)) return refuse(ctx_.error), false;
    if (!reply.empty() && !sendAll(client_, reply.data(), reply.size())) return false;
    if (cipher.empty()) return true;
    uint8_t* plain = nullptr;
    int plainLength = 0;
    bool more = false;
    if (!cryptor_->Decrypt(cipher.data(), static_cast<int>(cipher.size()), plain, plainLength, more, false))
      return refuse("cipher"), false;
    Bytes app;
    bool ok = true;
    if (plainLength > 0) {
      if (ctx_.clientIv.empty()) takeClientIv(*cryptor_, ctx_);
      ok = protocol_->decode(plain, static_cast<std::size_t>(plainLength), app);
    }
    vantor::platform::heapFree(plain);
    if (!ok) return refuse(ctx_.error), false;
    in_ += app.size();
    if (target_ < 0) {
      put(pending_, app.data(), app.size());
      std::string host;
      uint16_t port = 0;
      int head = parseTarget(pending_, host, port);
      if (head < 0) return refuse("address header"), false;
      if (head == 0) return true;
      sockaddr_in to{};
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      if (!resolve(host, port, to) || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return refuse("connect to " + host), false;
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      target_ = fd;
      app.assign(pending_.begin() + head, pending_.end());
      pending_.clear();
    }
    return app.empty() || sendAll(target_, app.data(), app.size());
  }

  bool toClient(const uint8_t* data, std::size_t n) {
    out_ += n;
    Bytes framed, wire;
    if (!protocol_->encode(data, n, framed)) return refuse(ctx_.error), false;
    uint8_t* cipher = nullptr;
    int cipherLength = 0;
    if (!cryptor_->Encrypt(framed.data(), static_cast<int>(framed.size()), cipher, cipherLength, false))
      return refuse("encrypt"), false;
    bool ok = obfs_->encode(cipher, static_cast<std::size_t>(cipherLength), wire);
    vantor::platform::heapFree(cipher);
    return ok && sendAll(client_, wire.data(), wire.size());
  }

  const Options& opt_;
  int client_;
  int target_ = -1;
  std::unique_ptr<vantor::CCryptor> cryptor_;
  Context ctx_;
  std::unique_ptr<ServerProtocol> protocol_;
  std::unique_ptr<ServerObfs> obfs_;
  Bytes pending_;
  std::size_t in_ = 0, out_ = 0;
};

// UDP: one upstream socket per client address; answers carry the sender's
// address header and go back through the protocol and a fresh IV.
void udpLoop(const Options& o, int sock) {
  std::unique_ptr<vantor::CCryptor> cryptor(vantor::CreateCryptor(o.method, o.password));
  Context ctx = baseContext(o, *cryptor);
  auto protocol = makeProtocol(o.protocol, ctx);
  struct Peer {
    sockaddr_in client;
    int fd;
    std::string userKey;
  };
  std::map<std::string, Peer> peers;
  uint8_t buf[65536];
  for (;;) {
    std::vector<pollfd> fds = {{sock, POLLIN, 0}};
    std::vector<Peer*> owners = {nullptr};
    for (auto& [k, p] : peers) {
      fds.push_back({p.fd, POLLIN, 0});
      owners.push_back(&p);
    }
    if (::poll(fds.data(), fds.size(), -1) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      ssize_t n = ::recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n <= 0) continue;
      if (i == 0) {
        cryptor->Reset();
        uint8_t* plain = nullptr;
        int plainLength = 0;
        bool more = false;
        if (!cryptor->Decrypt(buf, static_cast<int>(n), plain, plainLength, more, true)) {
          logLine("refused: udp cipher");
          continue;
        }
        Bytes d(plain, plain + plainLength);
        vantor::platform::heapFree(plain);
        std::string userKey;
        if (!protocol->udpDecode(d, userKey)) {
          logLine("refused: " + ctx.error);
          continue;
        }
        std::string host;
        uint16_t port = 0;
        int head = parseTarget(d, host, port);
        sockaddr_in to{};
        if (head <= 0 || !resolve(host, port, to)) {
          logLine("refused: udp address header");
          continue;
        }
        const std::string key = std::to_string(from.sin_addr.s_addr) + ":" + std::to_string(from.sin_port);
        auto it = peers.find(key);
        if (it == peers.end()) it = peers.emplace(key, Peer{from, ::socket(AF_INET, SOCK_DGRAM, 0), userKey}).first;
        it->second.userKey = userKey;
        ::sendto(it->second.fd, d.data() + head, d.size() - static_cast<std::size_t>(head), 0,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
      } else {
        Peer* p = owners[i];
        Bytes d = {1};
        put(d, &from.sin_addr, 4);
        put(d, &from.sin_port, 2);
        put(d, buf, static_cast<std::size_t>(n));
        if (!protocol->udpEncode(d, p->userKey)) continue;
        cryptor->Reset();
        uint8_t* cipher = nullptr;
        int cipherLength = 0;
        if (!cryptor->Encrypt(d.data(), static_cast<int>(d.size()), cipher, cipherLength, true)) continue;
        ::sendto(sock, cipher, static_cast<std::size_t>(cipherLength), 0, reinterpret_cast<sockaddr*>(&p->client),
                 sizeof p->client);
        vantor::platform::heapFree(cipher);
      }
    }
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: ssr-test-server -p PORT -k PASSWORD -m METHOD [-s HOST] [-O PROTOCOL] [-o OBFS]\n"
               "                       [-g PROTOPARAM] [-G OBFSPARAM] [-u] [-v] [--mss N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "-u")
      o.udp = true;
    else if (a == "-v")
      o.verbose = true;
    else if (!(v = value()))
      return usage();
    else if (a == "-s")
      o.host = v;
    else if (a == "-p")
      o.port = std::atoi(v);
    else if (a == "-k")
      o.password = v;
    else if (a == "-m")
      o.method = v;
    else if (a == "-O")
      o.protocol = v;
    else if (a == "-o")
      o.obfs = v;
    else if (a == "-g")
      o.protocolParam = v;
    else if (a == "-G")
      o.obfsParam = v;
    else if (a == "--mss")
      o.mss = std::atoi(v);
    else
      return usage();
  }
  {
    std::unique_ptr<vantor::CCryptor> probe(vantor::CreateCryptor(o.method, o.password));
    Context c;
    if (!probe || !makeProtocol(o.protocol, c) || !makeObfs(o.obfs, c)) {
      std::fprintf(stderr, "unknown method, protocol or obfs\n");
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 128) != 0) {
    std::perror("listen");
    return 1;
  }
  socklen_t addrLength = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &addrLength);
  if (o.udp) {
    int u = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (::bind(u, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      std::perror("udp bind");
      return 1;
    }
    std::thread(udpLoop, std::cref(o), u).detach();
  }
  std::printf("ready %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  for (;;) {
    int c = ::accept(listener, nullptr, nullptr);
    if (c < 0) continue;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread([&o, c] { Connection(o, c).run(); }).detach();
  }
}
