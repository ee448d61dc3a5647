// Server halves of plain, http_simple/http_post, random_head and
// tls1.2_ticket_auth/fastauth.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <sstream>

#include "crypto/ssr/ssr_helpers.h"
#include "server_plugins.h"

namespace ssrserver {

using vantor::Crc32;
using vantor::HmacSha1;

namespace {

class Plain : public ServerObfs {
 public:
  bool decode(const uint8_t* d, std::size_t n, Bytes& out, Bytes&) override {
    put(out, d, n);
    return true;
  }
  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    put(out, d, n);
    return true;
  }
};

class Checked : public ServerObfs {
 protected:
  explicit Checked(Context& c) : ctx(c) {}
  bool fail(const std::string& why) {
    ctx.error = why;
    return false;
  }
  Context& ctx;
};

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // the client writes lowercase only
}

// ------------------------------------------------------------- http_simple / http_post

class Http : public Checked {
 public:
  Http(Context& c, bool post) : Checked(c), post_(post) {}

  bool decode(const uint8_t* d, std::size_t n, Bytes& out, Bytes&) override {
    if (done_) {
      put(out, d, n);
      return true;
    }
    put(head_, d, n);
    static const char kEnd[] = "\r\n\r\n";
    auto it = std::search(head_.begin(), head_.end(), kEnd, kEnd + 4);
    if (it == head_.end()) return head_.size() < 65536 || fail("http: no end of request header");
    const std::string header(head_.begin(), it);
    if (!checkRequest(header, out)) return false;
    const auto bodyAt = static_cast<std::size_t>(it - head_.begin()) + 4;
    put(out, head_.data() + bodyAt, head_.size() - bodyAt);
    head_.clear();
    done_ = true;
    return true;
  }

  bool checkRequest(const std::string& header, Bytes& out) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
      std::size_t at = header.find("\r\n", start);
      lines.push_back(header.substr(start, at == std::string::npos ? std::string::npos : at - start));
      if (at == std::string::npos) break;
      start = at + 2;
    }
    const std::string method = post_ ? "POST /" : "GET /";
    if (lines[0].rfind(method, 0) != 0 || lines[0].size() < method.size() + 9 ||
        lines[0].compare(lines[0].size() - 9, 9, " HTTP/1.1") != 0)
      return fail("http: request line " + lines[0]);
    const std::string path = lines[0].substr(method.size(), lines[0].size() - 9 - method.size());
    if (path.size() % 3 != 0) return fail("http: path");
    for (std::size_t i = 0; i < path.size(); i += 3) {
      int hi = hexDigit(path[i + 1]), lo = hexDigit(path[i + 2]);
      if (path[i] != '%' || hi < 0 || lo < 0) return fail("http: path encoding");
      out.push_back(uint8_t(hi << 4 | lo));
    }
    if (lines.size() < 2 || lines[1].rfind("Host: ", 0) != 0) return fail("http: no Host line");
    bool contentType = false;
    for (const auto& l : lines)
      if (l.rfind("Content-Type: multipart/form-data; boundary=", 0) == 0 && l.size() == 44 + 32) contentType = true;
    if (contentType != post_) return fail("http: content type line");
    if (!ctx.obfsParam.empty()) {
      // The Host line names one of the configured hosts (with our port), and
      // a custom header replaces the browser lines.
      const std::size_t hash = ctx.obfsParam.find('#');
      bool named = false;
      const std::string host = lines[1].substr(6);
      for (const auto& h : split(ctx.obfsParam.substr(0, hash), ','))
        if (host.rfind(trim(h) + ":", 0) == 0 || host == trim(h)) named = true;
      if (!named) return fail("http: Host " + host);
      if (hash != std::string::npos) {
        std::string custom = ctx.obfsParam.substr(hash + 1);
        for (std::size_t at; (at = custom.find("\\n")) != std::string::npos;) custom.replace(at, 2, "\r\n");
        if (header.find(trim(custom)) == std::string::npos) return fail("http: custom header missing");
        if (header.find("User-Agent:") != std::string::npos) return fail("http: user agent with custom header");
      }
    }
    if (ctx.obfsParam.find('#') == std::string::npos && header.find("\r\nUser-Agent: Mozilla/") == std::string::npos)
      return fail("http: no user agent");
    return true;
  }

  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    if (!replied_) {
      static const char kHead[] =
          "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Encoding: gzip\r\nContent-Type: text/html\r\n"
          "Server: nginx\r\nVary: Accept-Encoding\r\n\r\n";
      put(out, kHead, sizeof kHead - 1);
      replied_ = true;
    }
    put(out, d, n);
    return true;
  }

 private:
  bool post_;
  bool done_ = false, replied_ = false;
  Bytes head_;
};

// ------------------------------------------------------------- random_head

Bytes randomBlock() {
  const std::size_t r = randomBelow(96);
  Bytes b(r + 8);
  randomFill(b.data(), r + 4);
  const uint32_t crc = ~Crc32(b.data(), r + 4);
  for (int i = 0; i < 4; ++i) b[r + 4 + i] = uint8_t(crc >> (8 * i));
  return b;
}

class RandomHead : public Checked {
 public:
  explicit RandomHead(Context& c) : Checked(c) {}

  bool decode(const uint8_t* d, std::size_t n, Bytes& out, Bytes& reply) override {
    if (done_) {
      put(out, d, n);
      return true;
    }
    put(head_, d, n);
    // The block is 8 to 103 bytes and ends with the complemented CRC-32 of
    // what precedes it; the client sends nothing else until we answer, so the
    // block is the longest prefix that checks out. (Shorter prefixes can
    // check out too: when the block's last random byte equals the low byte of
    // the CRC register, the block minus one byte is also self-consistent.)
    for (std::size_t len = std::min<std::size_t>(head_.size(), 103); len >= 8; --len) {
      const uint32_t crc = ~Crc32(head_.data(), len - 4);
      if (le32(head_.data() + len - 4) == crc) {
        done_ = true;
        reply = randomBlock();
        put(out, head_.data() + len, head_.size() - len);
        head_.clear();
        return true;
      }
    }
    return head_.size() < 103 || fail("random_head: no valid first block");
  }

  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    put(out, d, n);
    return true;
  }

 private:
  bool done_ = false;
  Bytes head_;
};

// ------------------------------------------------------------- tls1.2_ticket_auth

class Tls : public Checked {
 public:
  Tls(Context& c, bool fast) : Checked(c), fast_(fast) {}

  void mac(const uint8_t* d, std::size_t n, uint8_t* out) const {
    uint8_t digest[20];
    HmacSha1(d, n, ctx.key.data(), ctx.key.size(), clientId_, 32, digest);
    std::memcpy(out, digest, 10);
  }

  bool decode(const uint8_t* d, std::size_t n, Bytes& out, Bytes& reply) override {
    put(buf_, d, n);
    for (;;) {
      if (buf_.size() < 5) return true;
      const std::size_t size = 5 + be16(buf_.data() + 3);
      if (buf_.size() < size) return size <= 5 + 65535 || fail("tls: record size");
      if (stage_ == 0) {
        if (!takeHello(size, reply)) return false;
        stage_ = 1;
      } else if (stage_ == 1) {
        // ChangeCipherSpec, then Finished with our MAC over both.
        static const uint8_t kCcs[] = {0x14, 0x03, 0x03, 0x00, 0x01, 0x01};
        if (size != 6 || std::memcmp(buf_.data(), kCcs, 6) != 0) return fail("tls: no ChangeCipherSpec");
        if (buf_.size() < 6 + 5) return true;
        static const uint8_t kFin[] = {0x16, 0x03, 0x03, 0x00, 0x20};
        if (std::memcmp(buf_.data() + 6, kFin, 5) != 0) return fail("tls: no Finished");
        if (buf_.size() < 43) return true;
        uint8_t check[10];
        mac(buf_.data(), 33, check);
        if (std::memcmp(check, buf_.data() + 33, 10) != 0) return fail("tls: Finished MAC");
        buf_.erase(buf_.begin(), buf_.begin() + 43);
        stage_ = 2;
        continue;
      } else {
        if (buf_[0] != 0x17 || buf_[1] != 0x03 || buf_[2] != 0x03) return fail("tls: not application data");
        put(out, buf_.data() + 5, size - 5);
      }
      buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(size));
    }
  }

  bool takeHello(std::size_t size, Bytes& reply) {
    const uint8_t* p = buf_.data();
    if (p[0] != 0x16 || p[1] != 0x03 || p[2] != 0x01 || size < 110 + 5) return fail("tls: not a ClientHello record");
    const std::size_t b = size - 11;  // body from the client random on
    if (p[5] != 0x01 || p[6] != 0 || be16(p + 7) != b + 2 || p[9] != 0x03 || p[10] != 0x03)
      return fail("tls: ClientHello header");
    if (p[43] != 0x20) return fail("tls: session id length");
    std::memcpy(clientId_, p + 44, 32);
    uint8_t check[10];
    mac(p + 11, 22, check);
    if (std::memcmp(check, p + 33, 10) != 0) return fail("tls: client random MAC");
    static const uint8_t kSuites[] = {0x00, 0x1C, 0xC0, 0x2B, 0xC0, 0x2F, 0xCC, 0xA9, 0xCC, 0xA8, 0xCC,
                                      0x14, 0xCC, 0x13, 0xC0, 0x0A, 0xC0, 0x14, 0xC0, 0x09, 0xC0, 0x13,
                                      0x00, 0x9C, 0x00, 0x35, 0x00, 0x2F, 0x00, 0x0A, 0x01, 0x00};
    if (std::memcmp(p + 76, kSuites, sizeof kSuites) != 0) return fail("tls: cipher suites");
    const std::size_t extLength = be16(p + 108);
    if (110 + extLength != size) return fail("tls: extensions length");
    // Walk the extensions: each length must add up; remember the name.
    std::string sni;
    bool ticket = false;
    for (std::size_t at = 110; at < size;) {
      if (size - at < 4) return fail("tls: extension header");
      const std::size_t type = be16(p + at), len = be16(p + at + 2);
      if (size - at - 4 < len) return fail("tls: extension body");
      if (type == 0) {
        if (len < 5 || be16(p + at + 4) != len - 2 || p[at + 6] != 0 || be16(p + at + 7) != len - 5)
          return fail("tls: server_name");
        sni.assign(reinterpret_cast<const char*>(p + at + 9), len - 5);
      }
      if (type == 0x23) ticket = len >= 64 && len <= 259;
      at += 4 + len;
    }
    if (!ticket) return fail("tls: session ticket");
    if (!ctx.obfsParam.empty()) {
      bool named = false;
      for (const auto& h : split(ctx.obfsParam, ',')) {
        const std::string t = trim(h);
        const bool address = !t.empty() && t.back() >= '0' && t.back() <= '9';
        if ((address && sni.empty()) || (!address && t == sni)) named = true;
      }
      if (!named) return fail("tls: server name " + sni);
    }
    flight(reply);
    return true;
  }

  // ServerHello (random carrying our MAC, the client's session id), then
  // ChangeCipherSpec and Finished whose last 10 bytes authenticate all of it.
  void flight(Bytes& out) {
    Bytes hello = {0x02, 0x00, 0x00, 0x00, 0x03, 0x03};
    const std::size_t randomAt = hello.size();
    hello.resize(randomAt + 32);
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    for (int i = 0; i < 4; ++i) hello[randomAt + i] = uint8_t(now >> (24 - 8 * i));
    randomFill(hello.data() + randomAt + 4, 18);
    hello.push_back(0x20);
    put(hello, clientId_, 32);
    const uint8_t rest[] = {0xC0, 0x2F, 0x00, 0x00, 0x09, 0xFF, 0x01, 0x00, 0x01, 0x00, 0x00, 0x17, 0x00, 0x00};
    put(hello, rest, sizeof rest);
    hello[3] = uint8_t(hello.size() - 4);
    out = {0x16, 0x03, 0x03, uint8_t(hello.size() >> 8), uint8_t(hello.size())};
    put(out, hello.data(), hello.size());
    mac(out.data() + 11, 22, out.data() + 33);
    const uint8_t tail[] = {0x14, 0x03, 0x03, 0x00, 0x01, 0x01, 0x16, 0x03, 0x03, 0x00, 0x20};
    put(out, tail, sizeof tail);
    const std::size_t finAt = out.size();
    out.resize(finAt + 32);
    randomFill(out.data() + finAt, 22);
    mac(out.data(), finAt + 22, out.data() + finAt + 22);
  }

  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    while (n > 0) {
      const std::size_t len = std::min<std::size_t>(n, 200 + randomBelow(16000));
      const uint8_t head[] = {0x17, 0x03, 0x03, uint8_t(len >> 8), uint8_t(len)};
      put(out, head, 5);
      put(out, d, len);
      d += len;
      n -= len;
    }
    return true;
  }

 private:
  bool fast_;
  int stage_ = 0;  // 0 ClientHello, 1 ChangeCipherSpec and Finished, 2 records
  Bytes buf_;
  uint8_t clientId_[32] = {};
};

}  // namespace

std::unique_ptr<ServerObfs> makeObfs(const std::string& name, Context& context) {
  if (name == "plain") return std::make_unique<Plain>();
  if (name == "http_simple") return std::make_unique<Http>(context, false);
  if (name == "http_post") return std::make_unique<Http>(context, true);
  if (name == "random_head") return std::make_unique<RandomHead>(context);
  if (name == "tls1.2_ticket_auth") return std::make_unique<Tls>(context, false);
  if (name == "tls1.2_ticket_fastauth") return std::make_unique<Tls>(context, true);
  return nullptr;
}

}  // namespace ssrserver
