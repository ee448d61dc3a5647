// Server halves of origin, auth_sha1_v4, auth_aes128_md5/sha1 and
// auth_chain_a/b.
#include <cryptopp/aes.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "crypto/random.h"
#include "crypto/ssr/ssr_helpers.h"
#include "server_plugins.h"

namespace ssrserver {

using vantor::Base64Encode;
using vantor::Crc32;
using vantor::HmacMd5;
using vantor::HmacSha1;
using vantor::Md5;
using vantor::Sha1;
using vantor::XorShift128Plus;

void randomFill(uint8_t* p, std::size_t length) { vantor::RandomBytes(p, length); }
uint32_t randomBelow(uint32_t n) { return vantor::RandomInt(n); }

namespace {

void putLe16(Bytes& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void putLe32(Bytes& out, uint32_t v) {
  putLe16(out, v & 0xFFFF);
  putLe16(out, v >> 16);
}
void putBe16(Bytes& out, uint32_t v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
void putRandom(Bytes& out, std::size_t n) {
  const std::size_t at = out.size();
  out.resize(at + n);
  randomFill(out.data() + at, n);
}

uint32_t adler32(const uint8_t* p, std::size_t n) {
  uint32_t a = 1, b = 0;
  for (std::size_t i = 0; i < n; ++i) {
    a = (a + p[i]) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

Bytes join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  put(out, b.data(), b.size());
  return out;
}

// A client clock more than this far from ours is a replayed or forged packet.
bool timeIsClose(uint32_t t) {
  const auto now = static_cast<uint32_t>(std::time(nullptr));
  const uint32_t skew = now > t ? now - t : t - now;
  return skew < 600;
}

void aesDecryptBlock(const uint8_t* key16, const uint8_t* in, uint8_t* out) {
  CryptoPP::AES::Decryption aes(key16, 16);
  aes.ProcessBlock(in, out);
}

class Origin : public ServerProtocol {
 public:
  bool decode(const uint8_t* d, std::size_t n, Bytes& out) override {
    put(out, d, n);
    return true;
  }
  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    put(out, d, n);
    return true;
  }
  bool udpDecode(Bytes&, std::string&) override { return true; }
  bool udpEncode(Bytes&, const std::string&) override { return true; }
};

// Base of the framing protocols: a receive buffer and a failure note.
class Framed : public ServerProtocol {
 protected:
  explicit Framed(Context& c) : ctx(c) {}
  bool fail(const std::string& why) {
    ctx.error = why;
    buf.clear();
    return false;
  }
  void drop(std::size_t n) { buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)); }
  Bytes ivKey() const { return join(ctx.clientIv, ctx.key); }

  Context& ctx;
  Bytes buf;
  bool authed = false;
};

// ------------------------------------------------------------- auth_sha1_v4

class Sha1V4 : public Framed {
 public:
  explicit Sha1V4(Context& c) : Framed(c) {}

  bool decode(const uint8_t* d, std::size_t n, Bytes& out) override {
    put(buf, d, n);
    for (;;) {
      if (!authed) {
        if (buf.size() < 6) return true;
        const uint32_t total = be16(buf.data());
        Bytes crcInput(buf.begin(), buf.begin() + 2);
        put(crcInput, "auth_sha1_v4", 12);
        put(crcInput, ctx.key.data(), ctx.key.size());
        if (Crc32(crcInput.data(), crcInput.size()) != le32(buf.data() + 2)) return fail("auth_sha1_v4: first CRC");
        if (total < 30 || total > 8191) return fail("auth_sha1_v4: first length");
        if (buf.size() < total) return true;
        const Bytes k = ivKey();
        uint8_t mac[20];
        HmacSha1(buf.data(), total - 10, k.data(), k.size(), mac);
        if (std::memcmp(mac, buf.data() + total - 10, 10) != 0) return fail("auth_sha1_v4: first HMAC");
        const uint32_t pad = buf[6] == 0xFF ? be16(buf.data() + 7) : buf[6];
        if (pad < 1 || 6 + pad + 12 > total - 10) return fail("auth_sha1_v4: first padding");
        const uint8_t* id = buf.data() + 6 + pad;
        if (!timeIsClose(le32(id))) return fail("auth_sha1_v4: clock");
        put(out, id + 12, total - 10 - (6 + pad + 12));
        drop(total);
        authed = true;
        continue;
      }
      if (buf.size() < 4) return true;
      const uint32_t total = be16(buf.data());
      if ((Crc32(buf.data(), 2) & 0xFFFF) != le16(buf.data() + 2)) return fail("auth_sha1_v4: CRC");
      if (total < 7 || total > 8191) return fail("auth_sha1_v4: length");
      if (buf.size() < total) return true;
      if (adler32(buf.data(), total - 4) != le32(buf.data() + total - 4)) return fail("auth_sha1_v4: Adler-32");
      const uint32_t pad = buf[4] == 0xFF ? be16(buf.data() + 5) : buf[4];
      if (pad < 1 || pad + 4 > total - 4) return fail("auth_sha1_v4: padding");
      put(out, buf.data() + 4 + pad, total - 8 - pad);
      drop(total);
    }
  }

  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    while (n > 0) {
      const std::size_t len = std::min<std::size_t>(n, 100 + randomBelow(2000));
      const uint32_t pad = len > 1300 ? 0 : randomBelow(300);
      const std::size_t at = out.size();
      putBe16(out, static_cast<uint32_t>(pad + len + 9));
      putLe16(out, Crc32(out.data() + at, 2) & 0xFFFF);
      const std::size_t padAt = out.size();
      putRandom(out, pad + 1);
      if (pad + 1 < 128) {
        out[padAt] = uint8_t(pad + 1);
      } else {
        out[padAt] = 0xFF;
        out[padAt + 1] = uint8_t((pad + 1) >> 8);
        out[padAt + 2] = uint8_t(pad + 1);
      }
      put(out, d, len);
      putLe32(out, adler32(out.data() + at, out.size() - at));
      d += len;
      n -= len;
    }
    return true;
  }
  bool udpDecode(Bytes&, std::string&) override { return true; }
  bool udpEncode(Bytes&, const std::string&) override { return true; }
};

// ------------------------------------------------------------- auth_aes128

class Aes128 : public Framed {
 public:
  Aes128(Context& c, const std::string& name) : Framed(c), name_(name), sha1_(name == "auth_aes128_sha1") {}

  void hmac(const uint8_t* d, std::size_t n, const Bytes& key, uint8_t* out, std::size_t take) const {
    uint8_t digest[20];
    if (sha1_)
      HmacSha1(d, n, key.data(), key.size(), digest);
    else
      HmacMd5(d, n, key.data(), key.size(), digest);
    std::memcpy(out, digest, take);
  }

  // A known user's key is the digest of the password; anyone else keys with
  // the node key.
  Bytes userKeyFor(uint32_t id) const {
    auto it = ctx.users.find(id);
    if (it == ctx.users.end()) return ctx.key;
    Bytes key(sha1_ ? 20 : 16);
    if (sha1_)
      Sha1(it->second.data(), it->second.size(), key.data());
    else
      Md5(it->second.data(), it->second.size(), key.data());
    return key;
  }

  Bytes numbered(uint32_t number) const {
    Bytes key = userKey_;
    putLe32(key, number);
    return key;
  }

  bool decode(const uint8_t* d, std::size_t n, Bytes& out) override {
    put(buf, d, n);
    uint8_t check[20];
    for (;;) {
      if (!authed) {
        const Bytes k = ivKey();
        if (buf.size() < 7) return true;
        hmac(buf.data(), 1, k, check, 6);
        if (std::memcmp(check, buf.data() + 1, 6) != 0) return fail(name_ + ": first MAC of byte 0");
        if (buf.size() < 31) return true;
        hmac(buf.data() + 7, 20, k, check, 4);
        if (std::memcmp(check, buf.data() + 27, 4) != 0) return fail(name_ + ": identity MAC");
        userKey_ = userKeyFor(le32(buf.data() + 7));
        const std::string aesText = Base64Encode(userKey_.data(), userKey_.size()) + name_;
        uint8_t aesKey[16], identity[16];
        Md5(aesText.data(), aesText.size(), aesKey);
        aesDecryptBlock(aesKey, buf.data() + 11, identity);
        if (!timeIsClose(le32(identity))) return fail(name_ + ": clock");
        const uint32_t total = le16(identity + 12), pad = le16(identity + 14);
        if (total < 35 + pad || total > 8191) return fail(name_ + ": first length");
        if (buf.size() < total) return true;
        hmac(buf.data(), total - 4, userKey_, check, 4);
        if (std::memcmp(check, buf.data() + total - 4, 4) != 0) return fail(name_ + ": first packet MAC");
        put(out, buf.data() + 31 + pad, total - 35 - pad);
        drop(total);
        authed = true;
        continue;
      }
      if (buf.size() < 4) return true;
      const Bytes key = numbered(recvNumber_);
      hmac(buf.data(), 2, key, check, 2);
      if (std::memcmp(check, buf.data() + 2, 2) != 0) return fail(name_ + ": length MAC");
      const uint32_t total = le16(buf.data());
      if (total < 8 || total > 8191) return fail(name_ + ": length");
      if (buf.size() < total) return true;
      hmac(buf.data(), total - 4, key, check, 4);
      if (std::memcmp(check, buf.data() + total - 4, 4) != 0) return fail(name_ + ": packet MAC");
      const uint32_t pad = buf[4] == 0xFF ? le16(buf.data() + 5) : buf[4];
      if (pad < 1 || pad + 4 > total - 4) return fail(name_ + ": padding");
      put(out, buf.data() + 4 + pad, total - 8 - pad);
      drop(total);
      ++recvNumber_;
    }
  }

  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    if (!authed) return fail(name_ + ": data before the client's first packet");
    while (n > 0) {
      const std::size_t len = std::min<std::size_t>(n, 100 + randomBelow(2000));
      const uint32_t pad = len > 1300 ? 0 : randomBelow(512);
      const Bytes key = numbered(sendNumber_++);
      const std::size_t at = out.size();
      putLe16(out, static_cast<uint32_t>(pad + len + 9));
      out.resize(at + 4);
      hmac(out.data() + at, 2, key, out.data() + at + 2, 2);
      const std::size_t padAt = out.size();
      putRandom(out, pad + 1);
      if (pad + 1 < 128) {
        out[padAt] = uint8_t(pad + 1);
      } else {
        out[padAt] = 0xFF;
        out[padAt + 1] = uint8_t(pad + 1);
        out[padAt + 2] = uint8_t((pad + 1) >> 8);
      }
      put(out, d, len);
      const std::size_t macAt = out.size();
      out.resize(macAt + 4);
      hmac(out.data() + at, macAt - at, key, out.data() + macAt, 4);
      d += len;
      n -= len;
    }
    return true;
  }

  bool udpDecode(Bytes& d, std::string& userKey) override {
    if (d.size() <= 8) return fail(name_ + ": short datagram");
    const std::size_t n = d.size();
    const Bytes key = userKeyFor(le32(d.data() + n - 8));
    uint8_t check[20];
    hmac(d.data(), n - 4, key, check, 4);
    if (std::memcmp(check, d.data() + n - 4, 4) != 0) return fail(name_ + ": datagram MAC");
    d.resize(n - 8);
    userKey.assign(key.begin(), key.end());
    return true;
  }

  bool udpEncode(Bytes& d, const std::string&) override {
    uint8_t check[20];
    hmac(d.data(), d.size(), ctx.key, check, 4);
    put(d, check, 4);
    return true;
  }

 private:
  std::string name_;
  bool sha1_;
  Bytes userKey_;
  uint32_t recvNumber_ = 1, sendNumber_ = 1;
};

// ------------------------------------------------------------- auth_chain

uint64_t rd64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t(p[i]) << (8 * i);
  return v;
}

XorShift128Plus seeded(const uint8_t* h16) {
  XorShift128Plus g;
  g.state0 = rd64(h16);
  g.state1 = rd64(h16 + 8);
  return g;
}

XorShift128Plus seededWithLength(const uint8_t* h16, std::size_t length) {
  uint8_t v[16];
  std::memcpy(v, h16, 16);
  v[0] = uint8_t(length);
  v[1] = uint8_t(length >> 8);
  XorShift128Plus g = seeded(v);
  for (int i = 0; i < 4; ++i) g.Next();
  return g;
}

class Rc4 {
 public:
  void init(const uint8_t* k, std::size_t n) {
    for (int i = 0; i < 256; ++i) s[i] = uint8_t(i);
    for (int i = 0, j = 0; i < 256; ++i) {
      j = (j + s[i] + k[i % n]) & 0xFF;
      std::swap(s[i], s[j]);
    }
    x = y = 0;
  }
  void run(uint8_t* d, std::size_t n) {
    int a = x, b = y;
    for (std::size_t k = 0; k < n; ++k) {
      a = (a + 1) & 0xFF;
      const int sa = s[a];
      b = (b + sa) & 0xFF;
      const int sb = s[b];
      s[a] = uint8_t(sb);
      s[b] = uint8_t(sa);
      d[k] ^= s[(sa + sb) & 0xFF];
    }
    x = a;
    y = b;
  }

 private:
  uint8_t s[256];
  int x = 0, y = 0;
};

void rc4For(Rc4& rc4, const Bytes& userKey, const uint8_t* hash16) {
  const std::string text = Base64Encode(userKey.data(), userKey.size()) + Base64Encode(hash16, 16);
  uint8_t key[16];
  Md5(text.data(), text.size(), key);
  rc4.init(key, 16);
}

uint64_t byLength(std::size_t len, uint64_t r) {
  if (len > 1300) return r % 31;
  if (len > 900) return r % 127;
  if (len > 400) return r % 521;
  return r % 1021;
}

class Chain : public Framed {
 public:
  Chain(Context& c, const std::string& name) : Framed(c), name_(name), b_(name == "auth_chain_b") {
    if (b_) {
      uint8_t k[16] = {};
      if (!ctx.key.empty()) std::memcpy(k, ctx.key.data(), std::min<std::size_t>(16, ctx.key.size()));
      XorShift128Plus g = seeded(k);
      auto fill = [&g](std::vector<uint64_t>& t, uint64_t mask, uint64_t base) {
        t.resize((g.Next() & mask) + base);
        for (auto& v : t) v = g.Next() % 2340 % 2040 % 1440;
        std::sort(t.begin(), t.end());
      };
      fill(t1_, 7, 4);
      fill(t2_, 15, 8);
    }
  }

  // Padding length and the generator that draws the data offset after it.
  std::size_t padding(std::size_t len, const uint8_t* hash, XorShift128Plus& g) const {
    if (!b_) {
      if (len > 1440) return 0;
      g = seededWithLength(hash, len);
      return byLength(len, g.Next());
    }
    if (len >= 1440) return 0;
    g = seededWithLength(hash, len);
    const uint64_t need = len + overhead_;
    std::size_t p = std::lower_bound(t1_.begin(), t1_.end(), need) - t1_.begin();
    std::size_t q = p + g.Next() % t1_.size();
    if (q < t1_.size()) return t1_[q] - need;
    p = std::lower_bound(t2_.begin(), t2_.end(), need) - t2_.begin();
    q = p + g.Next() % t2_.size();
    if (q < t2_.size()) return t2_[q] - need;
    if (q < p + t2_.size() - 1) return 0;
    return byLength(len, g.Next());
  }

  Bytes userKeyFor(uint32_t id) const {
    auto it = ctx.users.find(id);
    if (it == ctx.users.end()) return ctx.key;
    return Bytes(it->second.begin(), it->second.end());
  }

  Bytes numbered(uint32_t number) const {
    Bytes key = userKey_;
    putLe32(key, number);
    return key;
  }

  bool decode(const uint8_t* d, std::size_t n, Bytes& out) override {
    put(buf, d, n);
    if (!authed) {
      if (buf.size() < 12) return true;
      const Bytes k = ivKey();
      HmacMd5(buf.data(), 4, k.data(), k.size(), clientHash_);
      if (std::memcmp(clientHash_, buf.data() + 4, 8) != 0) return fail(name_ + ": first MAC");
      if (buf.size() < 36) return true;
      uint8_t uid[4];
      for (int i = 0; i < 4; ++i) uid[i] = buf[12 + i] ^ clientHash_[8 + i];
      userKey_ = userKeyFor(le32(uid));
      HmacMd5(buf.data() + 12, 20, userKey_.data(), userKey_.size(), serverHash_);
      if (std::memcmp(serverHash_, buf.data() + 32, 4) != 0) return fail(name_ + ": identity MAC");
      const std::string aesText = Base64Encode(userKey_.data(), userKey_.size()) + name_;
      uint8_t aesKey[16], identity[16];
      Md5(aesText.data(), aesText.size(), aesKey);
      aesDecryptBlock(aesKey, buf.data() + 16, identity);
      if (!timeIsClose(le32(identity)) || identity[14] || identity[15]) return fail(name_ + ": identity block");
      overhead_ = le16(identity + 12);
      rc4For(in_, userKey_, clientHash_);
      rc4For(out_, userKey_, clientHash_);
      drop(36);
      authed = true;
    }
    while (buf.size() > 4) {
      const std::size_t len = le16(buf.data()) ^ (clientHash_[14] | clientHash_[15] << 8);
      XorShift128Plus g;
      const std::size_t pad = padding(len, clientHash_, g);
      if (len + pad > 4095) return fail(name_ + ": length");
      if (buf.size() < len + pad + 4) return true;
      const Bytes key = numbered(recvNumber_);
      uint8_t mac[16];
      HmacMd5(buf.data(), len + pad + 2, key.data(), key.size(), mac);
      if (std::memcmp(mac, buf.data() + len + pad + 2, 2) != 0) return fail(name_ + ": packet MAC");
      const std::size_t offset = len == 0 || pad == 0 ? 0 : g.Next() % 0x200000011ULL % pad;
      const std::size_t at = out.size();
      put(out, buf.data() + 2 + offset, len);
      in_.run(out.data() + at, len);
      std::memcpy(clientHash_, mac, 16);
      ++recvNumber_;
      drop(len + pad + 4);
    }
    return true;
  }

  void packet(Bytes& out, const uint8_t* d, std::size_t len) {
    XorShift128Plus g;
    const std::size_t pad = padding(len, serverHash_, g);
    const std::size_t offset = len == 0 || pad == 0 ? 0 : g.Next() % 0x200000011ULL % pad;
    const std::size_t at = out.size();
    putLe16(out, static_cast<uint32_t>(len ^ (serverHash_[14] | serverHash_[15] << 8)));
    putRandom(out, offset);
    put(out, d, len);
    putRandom(out, pad - offset);
    out_.run(out.data() + at + 2 + offset, len);
    const Bytes key = numbered(sendNumber_++);
    HmacMd5(out.data() + at, len + pad + 2, key.data(), key.size(), serverHash_);
    put(out, serverHash_, 2);
  }

  bool encode(const uint8_t* d, std::size_t n, Bytes& out) override {
    if (!authed) return fail(name_ + ": data before the client's first packet");
    Bytes first;
    if (sendNumber_ == 1) {
      // The first packet opens with the MSS the client is to use.
      putLe16(first, ctx.tcpMss);
      const std::size_t take = std::min<std::size_t>(n, 1000);
      put(first, d, take);
      packet(out, first.data(), first.size());
      d += take;
      n -= take;
      // An empty packet now and then, as servers send them.
      packet(out, nullptr, 0);
    }
    while (n > 0) {
      const std::size_t len = std::min<std::size_t>(n, 1 + randomBelow(2000));
      packet(out, d, len);
      d += len;
      n -= len;
    }
    return true;
  }

  bool udpDecode(Bytes& d, std::string& userKey) override {
    const std::size_t n = d.size();
    if (n <= 8) return fail(name_ + ": short datagram");
    uint8_t h[16];
    HmacMd5(d.data() + n - 8, 3, ctx.key.data(), ctx.key.size(), h);
    uint8_t uid[4];
    for (int i = 0; i < 4; ++i) uid[i] = d[n - 5 + i] ^ h[i];
    const Bytes key = userKeyFor(le32(uid));
    uint8_t mac[16];
    HmacMd5(d.data(), n - 1, key.data(), key.size(), mac);
    if (mac[0] != d[n - 1]) return fail(name_ + ": datagram MAC");
    XorShift128Plus g = seeded(h);
    const std::size_t pad = g.Next() % 127;
    if (n < pad + 8) return fail(name_ + ": datagram padding");
    Rc4 rc4;
    rc4For(rc4, key, h);
    d.resize(n - pad - 8);
    rc4.run(d.data(), d.size());
    userKey.assign(key.begin(), key.end());
    return true;
  }

  bool udpEncode(Bytes& d, const std::string& userKeyText) override {
    const Bytes key(userKeyText.begin(), userKeyText.end());
    uint8_t v[7], h[16];
    randomFill(v, 7);
    HmacMd5(v, 7, ctx.key.data(), ctx.key.size(), h);
    XorShift128Plus g = seeded(h);
    const std::size_t pad = g.Next() % 127;
    Rc4 rc4;
    rc4For(rc4, key, h);
    rc4.run(d.data(), d.size());
    putRandom(d, pad);
    put(d, v, 7);
    uint8_t mac[16];
    HmacMd5(d.data(), d.size(), key.data(), key.size(), mac);
    d.push_back(mac[0]);
    return true;
  }

 private:
  std::string name_;
  bool b_;
  std::vector<uint64_t> t1_, t2_;
  uint32_t overhead_ = 0;
  uint8_t clientHash_[16] = {}, serverHash_[16] = {};
  Bytes userKey_;
  uint32_t recvNumber_ = 1, sendNumber_ = 1;
  Rc4 in_, out_;
};

}  // namespace

std::unique_ptr<ServerProtocol> makeProtocol(const std::string& name, Context& context) {
  if (name == "origin") return std::make_unique<Origin>();
  if (name == "auth_sha1_v4") return std::make_unique<Sha1V4>(context);
  if (name == "auth_aes128_md5" || name == "auth_aes128_sha1") return std::make_unique<Aes128>(context, name);
  if (name == "auth_chain_a" || name == "auth_chain_b") return std::make_unique<Chain>(context, name);
  return nullptr;
}

}  // namespace ssrserver
