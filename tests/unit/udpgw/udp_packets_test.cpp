// IPv4/UDP packets of the device against a plain reference computation of
// the Internet checksum, and the checks a device packet must pass.
#include <algorithm>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "tunnel/udpgw/udp_packets.h"

namespace vantor::tunnel {
namespace {

// RFC 1071 the slow way: 16-bit big-endian words, odd byte padded with zero,
// carries folded at the end.
uint16_t referenceChecksum(const std::vector<uint8_t>& bytes) {
  uint64_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    uint16_t word = static_cast<uint16_t>(bytes[i] << 8);
    if (i + 1 < bytes.size()) word = static_cast<uint16_t>(word | bytes[i + 1]);
    sum += word;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

BAddr v4(const char* ip, uint16_t port) { return BAddr_MakeIPv4(inet_addr(ip), htons(port)); }

std::vector<uint8_t> build(const BAddr& local, const BAddr& remote, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(1500);
  int n = UdpPacket_BuildIPv4(out.data(), static_cast<int>(out.size()), local, remote, data.data(),
                              static_cast<int>(data.size()));
  EXPECT_GT(n, 0);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

// The UDP checksum over pseudo-header + UDP header (checksum zeroed) + data.
uint16_t referenceUdpChecksum(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> v(packet.begin() + 12, packet.begin() + 20);  // source, destination
  uint16_t udpLen = be16(&packet[24]);
  v.insert(v.end(), {0, 17, static_cast<uint8_t>(udpLen >> 8), static_cast<uint8_t>(udpLen)});
  v.insert(v.end(), packet.begin() + 20, packet.end());
  v[12 + 6] = v[12 + 7] = 0;
  uint16_t c = referenceChecksum(v);
  return c == 0 ? 0xFFFF : c;
}

TEST(UdpPacketsTest, BuiltPacketHasTheRightHeadersAndChecksums) {
  BAddr app = v4("10.198.75.60", 40000);
  BAddr peer = v4("10.220.0.1", 53);
  for (std::size_t size : {0, 1, 2, 37, 1472}) {  // odd sizes exercise the padding byte
    std::vector<uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + 0xF0);
    std::vector<uint8_t> p = build(app, peer, data);
    ASSERT_EQ(p.size(), 28 + size);
    EXPECT_EQ(p[0], 0x45);
    EXPECT_EQ(be16(&p[2]), 28 + size);
    EXPECT_EQ(p[8], 64);
    EXPECT_EQ(p[9], 17);
    // Source is the peer, destination the application.
    EXPECT_EQ(std::memcmp(&p[12], &peer.ipv4, 4), 0);
    EXPECT_EQ(std::memcmp(&p[16], &app.ipv4, 4), 0);
    EXPECT_EQ(be16(&p[20]), 53);
    EXPECT_EQ(be16(&p[22]), 40000);
    EXPECT_EQ(be16(&p[24]), 8 + size);
    // A header with its checksum sums to zero.
    EXPECT_EQ(referenceChecksum(std::vector<uint8_t>(p.begin(), p.begin() + 20)), 0);
    EXPECT_EQ(be16(&p[26]), referenceUdpChecksum(p)) << size;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), p.begin() + 28));
  }
}

TEST(UdpPacketsTest, ChecksumThatComesOutZeroIsWrittenAsAllOnes) {
  // Search for a payload whose checksum field would be 0: it must go out as 0xFFFF.
  BAddr app = v4("10.198.75.60", 1000);
  BAddr peer = v4("10.220.0.1", 2000);
  bool found = false;
  for (int w = 0; w < 0x10000 && !found; ++w) {
    std::vector<uint8_t> data = {static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w)};
    std::vector<uint8_t> p = build(app, peer, data);
    std::vector<uint8_t> pseudo(p.begin() + 12, p.begin() + 20);
    pseudo.insert(pseudo.end(), {0, 17, 0, 10});
    pseudo.insert(pseudo.end(), p.begin() + 20, p.begin() + 26);
    pseudo.insert(pseudo.end(), {0, 0});
    pseudo.insert(pseudo.end(), data.begin(), data.end());
    if (referenceChecksum(pseudo) == 0) {
      found = true;
      EXPECT_EQ(be16(&p[26]), 0xFFFF);
      UdpDatagramView d;
      EXPECT_TRUE(UdpPacket_ParseIPv4(p.data(), static_cast<int>(p.size()), &d));
    }
  }
  EXPECT_TRUE(found);
}

TEST(UdpPacketsTest, ParseGivesTheAddressesAndDataOfAWellFormedPacket) {
  BAddr app = v4("10.198.75.60", 40000);
  BAddr peer = v4("10.220.0.1", 53);
  std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  // As the application sent it: from app to peer (the builder's reverse).
  std::vector<uint8_t> p = build(peer, app, data);
  p.push_back(0xEE);  // bytes after the IP total length are ignored
  UdpDatagramView d;
  ASSERT_TRUE(UdpPacket_ParseIPv4(p.data(), static_cast<int>(p.size()), &d));
  EXPECT_TRUE(BAddr_Equal(d.local, app));
  EXPECT_TRUE(BAddr_Equal(d.remote, peer));
  ASSERT_EQ(d.len, 5);
  EXPECT_EQ(std::memcmp(d.data, data.data(), 5), 0);
}

TEST(UdpPacketsTest, ParseRejectsDamagedOrForeignPackets) {
  BAddr app = v4("10.198.75.60", 40000);
  BAddr peer = v4("10.220.0.1", 53);
  const std::vector<uint8_t> good = build(peer, app, {9, 8, 7, 6, 5, 4, 3});
  UdpDatagramView d;
  auto rejects = [&](std::vector<uint8_t> p, const char* what) {
    EXPECT_FALSE(UdpPacket_ParseIPv4(p.data(), static_cast<int>(p.size()), &d)) << what;
  };
  auto fixIpChecksum = [](std::vector<uint8_t>& p) {
    p[10] = p[11] = 0;
    uint16_t c = referenceChecksum(std::vector<uint8_t>(p.begin(), p.begin() + 20));
    p[10] = static_cast<uint8_t>(c >> 8);
    p[11] = static_cast<uint8_t>(c);
  };
  {
    auto p = good;
    p[30] ^= 1;
    rejects(p, "payload bit flipped (UDP checksum)");
  }
  {
    auto p = good;
    p[8] = 1;
    rejects(p, "header changed without its checksum");
  }
  {
    auto p = good;
    p[9] = 6;
    fixIpChecksum(p);
    rejects(p, "TCP");
  }
  {
    auto p = good;
    p[0] = 0x44;
    fixIpChecksum(p);
    rejects(p, "header length 16");
  }
  {
    auto p = good;
    p[0] = 0x4F;
    fixIpChecksum(p);
    rejects(p, "header longer than the packet");
  }
  {
    auto p = good;
    p[3] = 0xFF;
    fixIpChecksum(p);
    rejects(p, "total length beyond the packet");
  }
  {
    auto p = good;
    p[24] = 0;
    p[25] = 7;
    rejects(p, "UDP length below 8");
  }
  {
    auto p = good;
    p[25] = static_cast<uint8_t>(p[25] + 1);
    rejects(p, "UDP length beyond the IP payload");
  }
  {
    auto p = good;
    p.resize(26);
    p[2] = 0;
    p[3] = 26;
    fixIpChecksum(p);
    rejects(p, "UDP header cut off");
  }
  {
    auto p = good;
    p[6] = 0x20;
    fixIpChecksum(p);
    rejects(p, "first fragment");
  }
  {
    auto p = good;
    p[7] = 0x10;
    fixIpChecksum(p);
    p[26] = p[27] = 0;
    rejects(p, "later fragment");
  }
  {
    auto p = good;
    p.resize(19);
    rejects(p, "shorter than an IPv4 header");
  }
  // A zero UDP checksum means the sender computed none: the datagram stands.
  auto p = good;
  p[26] = p[27] = 0;
  EXPECT_TRUE(UdpPacket_ParseIPv4(p.data(), static_cast<int>(p.size()), &d));
}

TEST(UdpPacketsTest, BuildRefusesWhatDoesNotFit) {
  std::vector<uint8_t> out(100);
  std::vector<uint8_t> data(73);
  BAddr a = v4("1.2.3.4", 1), b = v4("5.6.7.8", 2);
  EXPECT_EQ(UdpPacket_BuildIPv4(out.data(), 100, a, b, data.data(), 72), 100);
  EXPECT_EQ(UdpPacket_BuildIPv4(out.data(), 100, a, b, data.data(), 73), -1);
  uint8_t six[16] = {};
  EXPECT_EQ(UdpPacket_BuildIPv4(out.data(), 100, BAddr_MakeIPv6(six, 1), b, data.data(), 1), -1);
}

BAddr v6(const char* ip, uint16_t port) {
  uint8_t a[16];
  EXPECT_EQ(inet_pton(AF_INET6, ip, a), 1);
  return BAddr_MakeIPv6(a, htons(port));
}

// The IPv6 UDP checksum: pseudo-header (addresses, 32-bit length, next
// header) + UDP header (checksum zeroed) + data.
uint16_t referenceUdp6Checksum(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> v(packet.begin() + 8, packet.begin() + 40);
  uint16_t udpLen = be16(&packet[44]);
  v.insert(v.end(), {0, 0, static_cast<uint8_t>(udpLen >> 8), static_cast<uint8_t>(udpLen), 0, 0, 0, 17});
  std::size_t udp = v.size();
  v.insert(v.end(), packet.begin() + 40, packet.end());
  v[udp + 6] = v[udp + 7] = 0;
  uint16_t c = referenceChecksum(v);
  return c == 0 ? 0xFFFF : c;
}

TEST(UdpPacketsTest, Ipv6PacketsRoundTripWithTheirChecksumAndBadOnesAreRefused) {
  BAddr app = v6("fdc6:4b3c::1", 40000);
  BAddr peer = v6("2001:db8:220::1", 53);
  for (std::size_t size : {0, 1, 37, 1452}) {
    std::vector<uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
    std::vector<uint8_t> p(1500);
    int n = UdpPacket_BuildIPv6(p.data(), static_cast<int>(p.size()), app, peer, data.data(), static_cast<int>(size));
    ASSERT_EQ(n, static_cast<int>(48 + size));
    p.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(p[0], 0x60);
    EXPECT_EQ(be16(&p[4]), 8 + size);  // payload length
    EXPECT_EQ(p[6], 17);
    EXPECT_EQ(p[7], 64);
    EXPECT_EQ(0, std::memcmp(&p[8], peer.ipv6, 16));  // from the peer to the application
    EXPECT_EQ(0, std::memcmp(&p[24], app.ipv6, 16));
    EXPECT_EQ(be16(&p[40]), 53);
    EXPECT_EQ(be16(&p[42]), 40000);
    EXPECT_EQ(be16(&p[46]), referenceUdp6Checksum(p));

    // Read back as if the application had sent it: its own address is local.
    UdpDatagramView d;
    ASSERT_TRUE(UdpPacket_ParseIPv6(p.data(), n, &d));
    EXPECT_TRUE(BAddr_Equal(d.local, peer));
    EXPECT_TRUE(BAddr_Equal(d.remote, app));
    ASSERT_EQ(d.len, static_cast<int>(size));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), d.data));
  }

  std::vector<uint8_t> p(1500);
  std::vector<uint8_t> data(100, 0x33);
  int n = UdpPacket_BuildIPv6(p.data(), 1500, app, peer, data.data(), 100);
  p.resize(static_cast<std::size_t>(n));
  UdpDatagramView d;
  auto refused = [&](std::vector<uint8_t> q) { return !UdpPacket_ParseIPv6(q.data(), static_cast<int>(q.size()), &d); };
  std::vector<uint8_t> q = p;
  q[60] ^= 1;  // one bit of data
  EXPECT_TRUE(refused(q));
  q = p;
  q[46] = q[47] = 0;  // no checksum: not allowed over IPv6
  EXPECT_TRUE(refused(q));
  q = p;
  q[6] = 44;  // a fragment header comes first
  EXPECT_TRUE(refused(q));
  q = p;
  q.resize(q.size() - 1);  // shorter than its payload length says
  EXPECT_TRUE(refused(q));
  q = p;
  q[45] = 200;  // UDP length beyond the IP payload
  EXPECT_TRUE(refused(q));
  EXPECT_TRUE(refused(std::vector<uint8_t>(p.begin(), p.begin() + 40)));
  // Both addresses must be IPv6 and the packet must fit.
  EXPECT_EQ(UdpPacket_BuildIPv6(p.data(), 1500, v4("10.0.0.1", 1), peer, data.data(), 10), -1);
  EXPECT_EQ(UdpPacket_BuildIPv6(p.data(), 147, app, peer, data.data(), 100), -1);
}

}  // namespace
}  // namespace vantor::tunnel
