#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "diag/dns_client.h"
#include "test_net.h"

namespace vantor {
namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// A reply to `client`'s query for a.b: the header, the question, then `records`
// (raw bytes, counted as `answers` answer and `authority` authority records).
Bytes reply(const CDnsClient& client, const Bytes& records, uint16_t answers, uint16_t authority = 0,
            uint16_t flags = 0x8180, int idDelta = 0) {
  Bytes b;
  put16(b, static_cast<uint16_t>(client.identifier() + idDelta));
  put16(b, flags);
  put16(b, 1);
  put16(b, answers);
  put16(b, authority);
  put16(b, 0);
  const uint8_t question[] = {1, 'a', 1, 'b', 0, 0, 1, 0, 1};
  b.insert(b.end(), question, question + sizeof question);
  b.insert(b.end(), records.begin(), records.end());
  return b;
}

// An A record whose owner is the pointer C0 0C (the question's name at offset 12).
Bytes aRecord(uint8_t last) { return {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 0, 0, last}; }

// Parses `message` from a heap block of exactly its size, so that the address
// sanitizer catches a single byte read beyond it.
bool parseExact(CDnsClient& client, const Bytes& message, bool all = true) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[message.size() ? message.size() : 1]);
  std::copy(message.begin(), message.end(), exact.get());
  return client.parseReply(exact.get(), message.size(), all);
}

TEST(DnsClient, QueryForABEncodesTheQuestionAfterAPlainHeader) {
  CDnsClient client;
  ASSERT_TRUE(client.buildQuery("a.b", "A"));
  const auto& m = client.queryMessage();
  Bytes bytes(m.data(), m.data() + m.length());
  const Bytes header = {static_cast<uint8_t>(client.identifier() >> 8),
                        static_cast<uint8_t>(client.identifier()),
                        0,
                        0,
                        0,
                        1,
                        0,
                        0,
                        0,
                        0,
                        0,
                        0};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12), header);
  EXPECT_EQ(Bytes(bytes.begin() + 12, bytes.end()), (Bytes{1, 'a', 1, 'b', 0, 0, 1, 0, 1}));
  // Unknown type names ask for 0xFFFF; names that cannot be encoded are refused.
  ASSERT_TRUE(client.buildQuery("a.b.", "bogus"));
  EXPECT_EQ(client.queryMessage().data()[client.queryMessage().length() - 4], 0xFF);
  EXPECT_FALSE(client.buildQuery("a..b", "A"));
  EXPECT_FALSE(client.buildQuery(std::string(64, 'x') + ".b", "A"));
  EXPECT_FALSE(client.buildQuery(std::string(200, 'x') + "." + std::string(60, 'y'), "A"));
}

TEST(DnsClient, CompressedOwnerIsReadFromOffsetTwelve) {
  CDnsClient client;
  client.buildQuery("a.b", "A");
  ASSERT_TRUE(parseExact(client, reply(client, aRecord(7), 1)));
  ASSERT_EQ(client.answerRecords().size(), 1u);
  EXPECT_EQ(client.answerRecords()[0]->name, "a.b");
  EXPECT_EQ(client.answerRecords()[0]->data, "10.0.0.7");
}

TEST(DnsClient, OnlyAnAnswerToThisQueryIsAccepted) {
  CDnsClient client;
  client.buildQuery("a.b", "A");
  EXPECT_FALSE(parseExact(client, reply(client, aRecord(1), 1, 0, 0x8180, 1))) << "foreign identifier";
  EXPECT_FALSE(parseExact(client, reply(client, aRecord(1), 1, 0, 0x0100))) << "QR bit clear";
  EXPECT_FALSE(parseExact(client, reply(client, aRecord(1), 1, 0, 0x8190))) << "Z bits set";
  EXPECT_TRUE(parseExact(client, reply(client, aRecord(1), 1)));
}

TEST(DnsClient, HostileNamesAreRejectedWithoutReadingOutsideTheMessage) {
  CDnsClient client;
  client.buildQuery("a.b", "A");
  // A pointer to itself, and two pointers pointing at each other.
  Bytes self = reply(client, {0xC0, 0x15, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, 1);
  EXPECT_FALSE(parseExact(client, self));
  Bytes pair = reply(client, {0xC0, 0x17, 0xC0, 0x15, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, 1);
  EXPECT_FALSE(parseExact(client, pair));
  // Labels that loop back onto themselves grow the name past 255 bytes.
  Bytes growing = reply(client, {5, 'l', 'o', 'o', 'p', 's', 0xC0, 0x15, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, 1);
  EXPECT_FALSE(parseExact(client, growing));
  // Five 63-byte labels: 321 bytes in wire form.
  Bytes longName;
  for (int i = 0; i < 5; ++i) {
    longName.push_back(63);
    longName.insert(longName.end(), 63, 'x');
  }
  longName.push_back(0);
  Bytes rest = {0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4};
  longName.insert(longName.end(), rest.begin(), rest.end());
  EXPECT_FALSE(parseExact(client, reply(client, longName, 1)));
  // A pointer beyond the end, a reserved label type, an A record whose data
  // is not 4 bytes, a name in the data that runs past RDLENGTH.
  EXPECT_FALSE(parseExact(client, reply(client, {0xC3, 0xFF, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, 1)));
  EXPECT_FALSE(parseExact(client, reply(client, {0x40, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, 1)));
  EXPECT_FALSE(parseExact(client, reply(client, {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 1, 0, 3, 1, 2, 3}, 1)));
  EXPECT_FALSE(parseExact(client, reply(client, {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 0, 1, 0, 2, 3, 'a', 'b', 'c', 0}, 1)));

  // Every cut of a good reply fails (the answer count promises more), and
  // none is read beyond its end.
  Bytes good = reply(client, aRecord(1), 1);
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(parseExact(client, Bytes(good.begin(), good.begin() + static_cast<long>(n)))) << n;
  // Counts far beyond the records present, in every section.
  EXPECT_FALSE(parseExact(client, reply(client, aRecord(1), 0xFFFF)));
  EXPECT_FALSE(parseExact(client, reply(client, aRecord(1), 1, 0xFFFF)));
}

// A client whose servers answer from a table instead of the network.
class TableClient : public CDnsClient {
 public:
  std::map<std::string, Bytes> answers;  // server -> reply bytes
  std::vector<std::string> asked;
  bool query(const std::string& server, const std::string& name, const std::string& type) override {
    asked.push_back(server);
    buildQuery(name, type);
    auto it = answers.find(server);
    return it != answers.end() && parseReply(it->second.data(), it->second.size(), true);
  }
};

Bytes nsRecord(const std::string& target) {
  Bytes b = {0xC0,
             0x0C,
             0,
             2,
             0,
             1,
             0,
             0,
             0,
             60,
             0,
             static_cast<uint8_t>(target.size() + 2),
             static_cast<uint8_t>(target.size())};
  for (char c : target) b.push_back(static_cast<uint8_t>(c));
  b.push_back(0);
  return b;
}

TEST(DnsClient, LookupNeedsAnswersAndFollowsReferralsOnlyWhileDepthLasts) {
  TableClient client;
  std::string text;
  std::vector<std::string> addresses{"stale"};
  // No answers, no authority: nothing found, the list emptied.
  client.answers["s"] = reply(client, {}, 0);
  EXPECT_FALSE(client.lookupA(text, "s", "a.b", addresses, 2));
  EXPECT_TRUE(addresses.empty());
  // Authoritative but empty: the lookup ran, yet found nothing.
  client.answers["s"] = reply(client, {}, 0, 0, 0x8580);
  EXPECT_FALSE(client.lookupA(text, "s", "a.b", addresses, 2));
  // A referral from s to t, where the answer is.
  client.answers["s"] = reply(client, nsRecord("t"), 0, 1);
  client.answers["t"] = reply(client, aRecord(9), 1);
  client.asked.clear();
  EXPECT_TRUE(client.lookupA(text, "s", "a.b", addresses, 2));
  EXPECT_EQ(addresses, std::vector<std::string>{"10.0.0.9"});
  EXPECT_EQ(client.asked, (std::vector<std::string>{"s", "t"}));
  // A server that refers to itself: the depth ends it.
  client.answers["s"] = reply(client, nsRecord("s"), 0, 1);
  client.asked.clear();
  EXPECT_FALSE(client.lookupA(text, "s", "a.b", addresses, 2));
  EXPECT_EQ(client.asked.size(), 2u);
}

// A TCP DNS server of our own on port 53 of a loopback address (needs root,
// like the integration tests' dnsmasq). It answers one query by `answer`.
class TcpDnsServer {
 public:
  using Answer = std::function<void(test::Conn& conn, const Bytes& query)>;
  explicit TcpDnsServer(Answer answer) {
    for (int i = 0; i < 20 && listener_ == platform::kInvalidSocket; ++i) {
      address_ = "127.61." + std::to_string(10 + i) + ".53";
      uint32_t a = 0;
      platform::parseIpv4(address_, a);
      listener_ = platform::createSocket(platform::SocketType::Tcp);
      if (!platform::bindSocket(listener_, {a, CDnsClient::kServerPort}) || !platform::listenSocket(listener_, 4)) {
        platform::closeSocket(listener_);
        listener_ = platform::kInvalidSocket;
      }
    }
    if (listener_ == platform::kInvalidSocket) return;
    thread_ = std::thread([this, answer] {
      platform::WaitItem item{listener_, platform::kWantRead};
      if (platform::waitSockets({&item, 1}, 5000) <= 0) return;
      test::Conn conn(platform::acceptSocket(listener_, nullptr));
      Bytes length = conn.recv(2);
      if (length.size() != 2) return;
      answer(conn, conn.recv(static_cast<std::size_t>(length[0] << 8 | length[1])));
    });
  }
  ~TcpDnsServer() {
    if (thread_.joinable()) thread_.join();
    platform::closeSocket(listener_);
  }
  bool listening() const { return listener_ != platform::kInvalidSocket; }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::thread thread_;
};

TEST(DnsClient, TcpAnswerInPiecesIsReadWholeAndASilentServerEndsInTime) {
  // The answer to the query it got: length prefix, then the message in two
  // pieces a moment apart.
  TcpDnsServer split([](test::Conn& conn, const Bytes& query) {
    Bytes message(query.begin(), query.begin() + 2);
    const uint8_t flags[] = {0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
    message.insert(message.end(), flags, flags + sizeof flags);
    message.insert(message.end(), query.begin() + 12, query.end());
    Bytes record = aRecord(5);
    message.insert(message.end(), record.begin(), record.end());
    Bytes first = {static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
    first.insert(first.end(), message.begin(), message.begin() + 20);
    conn.send(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    conn.send(Bytes(message.begin() + 20, message.end()));
  });
  if (!split.listening()) GTEST_SKIP() << "port 53 needs root";
  CDnsClient client;
  std::string text;
  std::vector<std::string> addresses;
  EXPECT_TRUE(client.lookupA(text, split.address(), "a.b", addresses, 2));
  EXPECT_EQ(addresses, std::vector<std::string>{"10.0.0.5"});

  TcpDnsServer silent([](test::Conn& conn, const Bytes&) { conn.recv(1, 4000); });
  ASSERT_TRUE(silent.listening());
  auto started = std::chrono::steady_clock::now();
  CDnsClient patient;
  EXPECT_FALSE(patient.lookupA(text, silent.address(), "a.b", addresses, 2));
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(CDnsClient::kTimeoutMs - 100));
  EXPECT_LT(waited, std::chrono::milliseconds(CDnsClient::kTimeoutMs + 1000));
}

}  // namespace
}  // namespace vantor
