#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "crypto/ssr/obfs_http.h"
#include "crypto/ssr/obfs_tls.h"
#include "crypto/ssr/plugins.h"
#include "plugin_test_util.h"

namespace vantor {
namespace {

using namespace test;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::unique_ptr<CObfs> described(const char* name, const std::string& param, uint16_t port = 8388,
                                 const std::string& host = "node.example", int headLen = 7) {
  static const Node node;
  auto p = CreatePlugin(name, param);
  EXPECT_TRUE(p) << name;
  if (p) node.describe(*p, 0, host, port, param, headLen);
  return p;
}

// ------------------------------------------------------------------ http_simple / http_post

TEST(HttpObfs, RequestWithHostsAndCustomHeader) {
  auto p = described("http_simple", R"(a.example.com , b.example.com#X-One: 1\nX-Two: 2\r)");
  const Bytes first = pattern(16 + 7 + 50);
  const std::string out = text(run(*p, Op::Encode, first).out);
  std::string path = "GET /";
  for (int i = 0; i < 23; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02x", first[static_cast<std::size_t>(i)]);
    path += hex;
  }
  ASSERT_EQ(out.rfind(path + " HTTP/1.1\r\nHost: ", 0), 0u) << out.substr(0, 120);
  const std::string rest = out.substr(path.size() + 17);
  EXPECT_TRUE(rest.rfind("a.example.com:8388\r\n", 0) == 0 || rest.rfind("b.example.com:8388\r\n", 0) == 0) << rest;
  EXPECT_EQ(out.find("User-Agent"), std::string::npos);
  const std::size_t end = out.find("X-One: 1\r\nX-Two: 2\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(bytes(out.substr(end + 22)), Bytes(first.begin() + 23, first.end())) << "the rest follows unchanged";

  // Later data passes untouched.
  EXPECT_EQ(run(*p, Op::Encode, pattern(9)).out, pattern(9));
}

TEST(HttpObfs, BrowserHeadersPortAndPostVariant) {
  auto simple = described("http_simple", "", 80, "node.example");
  const std::string get = text(run(*simple, Op::Encode, pattern(5)).out);
  const auto* s = static_cast<CObfsHttpSimple*>(simple.get());
  EXPECT_EQ(get, std::string("GET /%01%08%0f%16%1d HTTP/1.1\r\nHost: node.example\r\nUser-Agent: ") +
                     CObfsHttpSimple::kUserAgents[s->userAgentIndex()] +
                     "\r\nAccept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
                     "Accept-Language: en-US,en;q=0.8\r\nAccept-Encoding: gzip, deflate\r\nDNT: 1\r\n"
                     "Connection: keep-alive\r\n\r\n")
      << "a buffer shorter than IV + head goes whole into the path, with port 80 left out";

  auto post = described("http_post", "");
  const std::string request = text(run(*post, Op::Encode, pattern(5)).out);
  EXPECT_EQ(request.rfind("POST /", 0), 0u);
  const std::size_t ct = request.find("\r\nContent-Type: multipart/form-data; boundary=");
  ASSERT_NE(ct, std::string::npos);
  EXPECT_EQ(request.substr(ct + 46 + 32, 26), "\r\nConnection: keep-alive\r\n");
  EXPECT_EQ(request.find("Host: node.example:8388\r\n"), request.find("\r\n") + 2);

  auto custom = described("http_post", "h#X-A: b");
  const std::string withHeader = text(run(*custom, Op::Encode, pattern(5)).out);
  const std::size_t at = withHeader.find("Content-Type: multipart/form-data; boundary=");
  EXPECT_EQ(withHeader.substr(at + 44 + 32), "\r\nX-A: b\r\n\r\n");

  auto fallback = described("http_simple", "", 8388, "");
  EXPECT_NE(text(run(*fallback, Op::Encode, pattern(1)).out)
                .find(std::string("Host: ") + CObfsHttpSimple::kDefaultHost + ":8388"),
            std::string::npos);
}

TEST(HttpObfs, ResponseHeaderIsStrippedHoweverItArrives) {
  const Bytes reply = bytes("HTTP/1.1 200 OK\r\nServer: x\r\n\r\nabc");
  auto whole = described("http_simple", "");
  Result r = run(*whole, Op::Decode, reply);
  EXPECT_TRUE(r.ok && !r.sendBack);
  EXPECT_EQ(r.out, bytes("abc"));
  EXPECT_EQ(run(*whole, Op::Decode, bytes("later")).out, bytes("later"));

  auto bytewise = described("http_simple", "");
  EXPECT_EQ(runBytewise(*bytewise, Op::Decode, reply), bytes("abc"));

  // Only the header end seen, nothing after it yet.
  auto bare = described("http_post", "");
  r = run(*bare, Op::Decode, bytes("HTTP/1.1 200 OK\r\n\r\n"));
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.out.empty());

  // Something that never ends its header is not an HTTP answer.
  auto endless = described("http_simple", "");
  Bytes junk(CObfsHttpSimple::kMaxResponseHeader + 10, 'x');
  EXPECT_FALSE(run(*endless, Op::Decode, junk).ok);
}

// ------------------------------------------------------------------ random_head

TEST(RandomHead, ChecksummedBlockThenHeldDataAfterTheAnswer) {
  auto p = described("random_head", "");
  const Bytes block = run(*p, Op::Encode, bytes("first")).out;
  ASSERT_GE(block.size(), 8u);
  ASSERT_LE(block.size(), 103u);
  const std::size_t n = block.size();
  EXPECT_EQ(platform::readLe32(block.data() + n - 4), ~Crc32(block.data(), n - 4));

  Result held = run(*p, Op::Encode, bytes("second"));
  EXPECT_TRUE(held.ok && held.out.empty());
  Result answer = run(*p, Op::Decode, pattern(40));
  EXPECT_TRUE(answer.ok && answer.sendBack && answer.out.empty()) << "the server's block is dropped";
  EXPECT_EQ(run(*p, Op::Encode, {}).out, bytes("firstsecond")) << "released in one piece";
  EXPECT_EQ(run(*p, Op::Encode, bytes("x")).out, bytes("x"));
  Result later = run(*p, Op::Decode, bytes("data"));
  EXPECT_TRUE(later.ok && !later.sendBack);
  EXPECT_EQ(later.out, bytes("data"));
}

// ------------------------------------------------------------------ tls1.2_ticket_auth

struct TlsServer {
  Node node;
  uint8_t clientId[32];

  explicit TlsServer(const Bytes& hello) { std::memcpy(clientId, hello.data() + 44, 32); }
  void mac(const uint8_t* d, std::size_t n, uint8_t* out) const {
    uint8_t digest[20];
    HmacSha1(d, n, node.key, 32, clientId, 32, digest);
    std::memcpy(out, digest, 10);
  }
  // ServerHello, ChangeCipherSpec and Finished.
  Bytes flight() const {
    Bytes out = {0x16, 0x03, 0x03, 0x00, 0x4A, 0x02, 0x00, 0x00, 0x46, 0x03, 0x03};
    out.resize(out.size() + 32, 0x33);
    mac(out.data() + 11, 22, out.data() + 33);
    out.push_back(0x20);
    out.insert(out.end(), clientId, clientId + 32);
    out.insert(out.end(), {0xC0, 0x2F, 0x00});
    EXPECT_EQ(out.size(), 5u + 0x4A);
    out.insert(out.end(), {0x14, 0x03, 0x03, 0x00, 0x01, 0x01, 0x16, 0x03, 0x03, 0x00, 0x20});
    out.resize(out.size() + 22, 0x44);
    out.resize(out.size() + 10);
    mac(out.data(), out.size() - 10, out.data() + out.size() - 10);
    return out;
  }
  static Bytes record(const Bytes& payload) {
    Bytes r = {0x17, 0x03, 0x03, uint8_t(payload.size() >> 8), uint8_t(payload.size())};
    return cat(r, payload);
  }
};

std::unique_ptr<CObfs> tls(const char* name, const std::string& param, const std::string& host = "node.example") {
  return described(name, param, 443, host);
}

TEST(TlsObfs, ClientHelloLayoutAndSizes) {
  auto p = tls("tls1.2_ticket_auth", "abcdefghijk");  // 11 characters
  const Bytes hello = run(*p, Op::Encode, pattern(30)).out;
  const std::size_t b = platform::readBe16(hello.data() + 3) - 6;
  ASSERT_EQ(hello.size(), b + 11);
  EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 3), (Bytes{0x16, 0x03, 0x01}));
  EXPECT_EQ(hello[5], 0x01);
  EXPECT_EQ(hello[6], 0x00);
  EXPECT_EQ(platform::readBe16(hello.data() + 7), b + 2);
  EXPECT_EQ(hello[43], 0x20);
  auto* t = static_cast<CObfsTls12TickAuth*>(p.get());
  EXPECT_EQ(Bytes(hello.begin() + 44, hello.begin() + 76), Bytes(t->clientId(), t->clientId() + 32));
  uint8_t check[10];
  t->mac(hello.data() + 11, 22, check);
  EXPECT_EQ(Bytes(hello.begin() + 33, hello.begin() + 43), Bytes(check, check + 10));
  const std::size_t e = platform::readBe16(hello.data() + 108);
  EXPECT_EQ(e + 99, b);
  // Extensions in order; the ticket's length T fixes the rest:
  // E = 5 + (n + 9) + 4 + (4 + T) + 165.
  const uint8_t* x = hello.data() + 110;
  EXPECT_EQ(Bytes(x, x + 5), (Bytes{0xFF, 0x01, 0x00, 0x01, 0x00}));
  EXPECT_EQ(Bytes(x + 5, x + 14), (Bytes{0, 0, 0, 16, 0, 14, 0, 0, 11}));
  EXPECT_EQ(std::string(x + 14, x + 25), "abcdefghijk");
  EXPECT_EQ(Bytes(x + 25, x + 29), (Bytes{0x00, 0x17, 0x00, 0x00}));
  EXPECT_EQ(platform::readBe16(x + 29), 0x23u);
  const std::size_t ticket = platform::readBe16(x + 31);
  EXPECT_TRUE(ticket >= 64 && ticket <= 259);
  EXPECT_EQ(e, 11 + 187 + ticket);
  const uint8_t* fixed = x + 33 + ticket;
  EXPECT_EQ(Bytes(fixed, fixed + 6), (Bytes{0x00, 0x0D, 0x00, 0x16, 0x00, 0x14}));
  EXPECT_EQ(Bytes(fixed + 59, fixed + 63), (Bytes{0x00, 0x15, 0x00, 0x66}));
  EXPECT_EQ(Bytes(fixed + 63, fixed + 165), Bytes(102, 0));
  EXPECT_EQ(static_cast<std::size_t>(fixed + 165 - hello.data()), hello.size());

  // An address (last character a digit) is sent as an empty name.
  auto ip = tls("tls1.2_ticket_auth", "");  // host falls back to the node's server
  auto* ipTls = static_cast<CObfsTls12TickAuth*>(ip.get());
  EXPECT_EQ(ipTls->sniHost(), "node.example");
  auto addr = tls("tls1.2_ticket_auth", " 192.0.2.7 ");
  const Bytes h2 = run(*addr, Op::Encode, {}).out;
  EXPECT_EQ(Bytes(h2.begin() + 115, h2.begin() + 124), (Bytes{0, 0, 0, 5, 0, 3, 0, 0, 0}));
}

TEST(TlsObfs, AuthHoldsDataUntilTheServerFlight) {
  auto p = tls("tls1.2_ticket_auth", "");
  const Bytes hello = run(*p, Op::Encode, bytes("head")).out;
  EXPECT_TRUE(run(*p, Op::Encode, bytes("more")).out.empty()) << "held until the server has answered";
  TlsServer server(hello);
  const Bytes flight = server.flight();

  // Delivered in two reads, the second completing Finished.
  Result first = run(*p, Op::Decode, Bytes(flight.begin(), flight.end() - 20));
  EXPECT_TRUE(first.ok && !first.sendBack && first.out.empty());
  Result second = run(*p, Op::Decode, Bytes(flight.end() - 20, flight.end()));
  EXPECT_TRUE(second.ok && second.sendBack && second.out.empty());

  const Bytes out = run(*p, Op::Encode, {}).out;
  ASSERT_EQ(out.size(), 43u + 9 + 9);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 11),
            (Bytes{0x14, 0x03, 0x03, 0x00, 0x01, 0x01, 0x16, 0x03, 0x03, 0x00, 0x20}));
  uint8_t check[10];
  static_cast<CObfsTls12TickAuth*>(p.get())->mac(out.data(), 33, check);
  EXPECT_EQ(Bytes(out.begin() + 33, out.begin() + 43), Bytes(check, check + 10));
  EXPECT_EQ(Bytes(out.begin() + 43, out.end()),
            cat(TlsServer::record(bytes("head")), TlsServer::record(bytes("more"))));

  // Application data: the first records 64 .. 575 bytes, none above 4195.
  const Bytes big = run(*p, Op::Encode, pattern(3000)).out;
  std::size_t at = 0, records = 0;
  Bytes joined;
  while (at < big.size()) {
    ASSERT_EQ(big[at], 0x17);
    const std::size_t len = platform::readBe16(big.data() + at + 3);
    if (records == 0) {
      EXPECT_TRUE(len >= 64 && len <= 575) << len;
    }
    EXPECT_LE(len, 4195u);
    joined.insert(joined.end(), big.begin() + at + 5, big.begin() + at + 5 + len);
    at += 5 + len;
    ++records;
  }
  EXPECT_EQ(joined, pattern(3000));
}

TEST(TlsObfs, FastAuthSendsRightAwayAndFlightWithDataLosesNothing) {
  auto p = tls("tls1.2_ticket_fastauth", "");
  const Bytes hello = run(*p, Op::Encode, bytes("head")).out;
  const Bytes next = run(*p, Op::Encode, bytes("more")).out;
  ASSERT_EQ(next.size(), 43u + 9 + 9) << "Finished, then both records at once";
  EXPECT_EQ(Bytes(next.begin() + 43, next.end()),
            cat(TlsServer::record(bytes("head")), TlsServer::record(bytes("more"))));
  EXPECT_EQ(run(*p, Op::Encode, bytes("x")).out, TlsServer::record(bytes("x")));

  // Server data in the same read as the end of the flight comes out at once.
  TlsServer server(hello);
  Result r = run(*p, Op::Decode, cat(server.flight(), cat(TlsServer::record(bytes("abc")), TlsServer::record({}))));
  EXPECT_TRUE(r.ok && r.sendBack);
  EXPECT_EQ(r.out, bytes("abc"));
  EXPECT_TRUE(run(*p, Op::Encode, {}).out.empty());
  EXPECT_EQ(static_cast<CObfsTls12TickAuth*>(p.get())->state() & CObfsTls12TickAuth::kSendingData,
            CObfsTls12TickAuth::kSendingData);
}

TEST(TlsObfs, DecodingIsSplitProofAndRefusesForgeries) {
  auto make = [](Bytes& flight, Bytes& stream) {
    auto p = tls("tls1.2_ticket_auth", "");
    TlsServer server(run(*p, Op::Encode, bytes("a")).out);
    flight = server.flight();
    stream = cat(flight, cat(TlsServer::record(pattern(300)), TlsServer::record(pattern(7, 3))));
    return p;
  };
  Bytes flight, stream;
  auto whole = make(flight, stream);
  const Bytes expected = cat(pattern(300), pattern(7, 3));
  EXPECT_EQ(run(*whole, Op::Decode, stream).out, expected);
  auto bytewise = make(flight, stream);
  EXPECT_EQ(runBytewise(*bytewise, Op::Decode, stream), expected);

  // A changed byte in the flight never verifies: it fails, or waits for a
  // flight end that is not coming.
  for (std::size_t i = 0; i < flight.size(); ++i) {
    auto p = make(flight, stream);
    Bytes bad = flight;
    bad[i] ^= 0x04;
    Result r = run(*p, Op::Decode, bad);
    EXPECT_FALSE(r.ok && r.sendBack) << "flipped byte " << i;
    if (i >= 11 && i < 43) {
      EXPECT_FALSE(r.ok) << "server random, byte " << i;
    }
  }
  // After the handshake only application data is accepted.
  auto p = make(flight, stream);
  EXPECT_TRUE(run(*p, Op::Decode, flight).ok);
  EXPECT_FALSE(run(*p, Op::Decode, {0x16, 0x03, 0x03, 0x00, 0x01, 0x00}).ok);
}

// ------------------------------------------------------------------ all plugins

// Whatever a server sends, decoding ends in a result, never a crash or a
// read outside the data (the address-sanitizer build checks the latter).
TEST(Plugins, MalformedServerDataNeverCrashes) {
  Node node;
  std::vector<std::string> names;
  for (int i = 0; ProtocolNames[i].name[0]; ++i) names.push_back(ProtocolNames[i].name);
  for (int i = 0; ObfsNames[i].name[0]; ++i) names.push_back(ObfsNames[i].name);
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (const auto& name : names) {
    for (int round = 0; round < 60; ++round) {
      auto p = CreatePlugin(name, round % 2 ? "12:k" : "");
      node.describe(*p, 9, "n.example", 443, "");
      run(*p, Op::PreEncrypt, pattern(100));
      run(*p, Op::Encode, pattern(100));
      for (int k = 0; k < 8; ++k) {
        Bytes junk(next() % 3000);
        for (auto& b : junk) b = static_cast<uint8_t>(next() >> 16);
        if (k == 0 && !junk.empty()) junk[0] = static_cast<uint8_t>(round % 3 == 0 ? 0x16 : 0x17);
        run(*p, Op::PostDecrypt, junk);
        run(*p, Op::Decode, junk);
        run(*p, Op::UdpPost, junk);
      }
    }
  }
}

}  // namespace
}  // namespace vantor
