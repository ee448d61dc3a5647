// The device layer with segmentation offload: super-packets cut into
// segments, segments glued into super-packets, checksums left open and
// completed, and BTap moving mixed packets over a stand-in device (a
// SOCK_SEQPACKET pair speaks the same readv/writev with an offload header as
// a TUN descriptor). Checksums are checked against a plain RFC 1071 sum.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "tunnel/device/btap.h"
#include "tunnel/device/tun_offload.h"
#include "tunnel/udpgw/udp_packets.h"

namespace vantor::tunnel {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::TunPacketInfo;

uint16_t be16(const Bytes& b, std::size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
uint32_t be32(const Bytes& b, std::size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 | b[at + 2] << 8 | b[at + 3];
}
void put16(Bytes& b, std::size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
void put32(Bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// RFC 1071 the slow way, not folded.
uint32_t sum16(const uint8_t* p, std::size_t n, uint32_t sum = 0) {
  for (std::size_t i = 0; i < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | (i + 1 < n ? p[i + 1] : 0));
  return sum;
}
uint16_t fold(uint32_t s) {
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(s);
}
uint32_t pseudo(const Bytes& ip, uint8_t proto, std::size_t length) {
  return sum16(&ip[12], 8) + proto + static_cast<uint32_t>(length);
}
bool ipHeaderValid(const Bytes& p) { return fold(sum16(p.data(), 20)) == 0xFFFF; }
// The transport checksum of the whole packet holds (header length 20).
bool transportValid(const Bytes& p) {
  return fold(sum16(p.data() + 20, p.size() - 20, pseudo(p, p[9], p.size() - 20))) == 0xFFFF;
}
// What a receiver does with a packet whose checksum was left open: the field
// holds the pseudo-header sum; the sum over the transport bytes completes it.
Bytes completed(Bytes p, std::size_t checksumAt) {
  uint16_t c = static_cast<uint16_t>(~fold(sum16(p.data() + 20, p.size() - 20)));
  put16(p, checksumAt, c);
  return p;
}

constexpr uint32_t kApp = 0x3C4BC60A;   // 10.198.75.60 in network order
constexpr uint32_t kPeer = 0x010014DC;  // 220.20.0.1

struct Tcp {
  uint32_t src = kApp, dst = kPeer;
  uint16_t sport = 40000, dport = 80;
  uint32_t seq = 1000, ack = 5000;
  uint8_t flags = TCP_FLAG_ACK;
  uint16_t window = 5840, id = 77;
  Bytes payload;
};

// An IPv4 TCP packet with a correct header checksum and, with `full`, a
// correct TCP checksum (else the pseudo-header sum only).
Bytes tcpPacket(const Tcp& t, bool full = true) {
  Bytes p(40 + t.payload.size());
  p[0] = 0x45;
  put16(p, 2, static_cast<uint16_t>(p.size()));
  put16(p, 4, t.id);
  p[8] = 64;
  p[9] = 6;
  std::memcpy(&p[12], &t.src, 4);
  std::memcpy(&p[16], &t.dst, 4);
  put16(p, 10, static_cast<uint16_t>(~fold(sum16(p.data(), 20))));
  put16(p, 20, t.sport);
  put16(p, 22, t.dport);
  put32(p, 24, t.seq);
  put32(p, 28, t.ack);
  p[32] = 5 << 4;
  p[33] = t.flags;
  put16(p, 34, t.window);
  std::copy(t.payload.begin(), t.payload.end(), p.begin() + 40);
  put16(p, 36, fold(pseudo(p, 6, p.size() - 20)));
  return full ? completed(p, 36) : p;
}

Bytes pattern(std::size_t n, int seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + static_cast<std::size_t>(seed));
  return b;
}

Bytes udpPacket(std::size_t n) {
  Bytes p(28 + n);
  int len = UdpPacket_BuildIPv4(p.data(), static_cast<int>(p.size()), BAddr_MakeIPv4(kPeer, htons(53)),
                                BAddr_MakeIPv4(kApp, htons(41000)), pattern(n, 3).data(), static_cast<int>(n));
  EXPECT_EQ(len, static_cast<int>(p.size()));
  return p;
}

Bytes icmpEcho() {
  Bytes p(28 + 8);
  p[0] = 0x45;
  put16(p, 2, static_cast<uint16_t>(p.size()));
  p[8] = 64;
  p[9] = 1;
  std::memcpy(&p[12], &kApp, 4);
  std::memcpy(&p[16], &kPeer, 4);
  put16(p, 10, static_cast<uint16_t>(~fold(sum16(p.data(), 20))));
  p[20] = 8;
  put16(p, 22, static_cast<uint16_t>(~fold(sum16(p.data() + 20, 16))));
  return p;
}

TunPacketInfo superInfo(uint16_t segmentSize) {
  TunPacketInfo info;
  info.flags = TunPacketInfo::kNeedsChecksum;
  info.gso = TunPacketInfo::kGsoTcpV4;
  info.headerLength = 40;
  info.segmentSize = segmentSize;
  info.checksumStart = 20;
  info.checksumOffset = 16;
  return info;
}

std::vector<Bytes> split(const Bytes& super, const TunPacketInfo& info, int maxSegment = 1500) {
  TunSegmenter s;
  std::vector<Bytes> out;
  if (!TunSegmenter_Init(&s, super.data(), static_cast<int>(super.size()), info, maxSegment)) return out;
  while (int n = TunSegmenter_NextLength(&s)) {
    Bytes seg(static_cast<std::size_t>(n));
    EXPECT_EQ(TunSegmenter_Next(&s, seg.data()), n);
    out.push_back(seg);
  }
  return out;
}

TEST(TunOffload, SuperPacketIsCutIntoSegmentsWithTheirOwnNumbersChecksumsAndFlags) {
  Tcp t;
  t.seq = 0xFFFFF000;  // the sequence numbers wrap inside the super-packet
  t.flags = TCP_FLAG_ACK | TCP_FLAG_PSH | TCP_FLAG_FIN | TCP_FLAG_CWR;
  t.payload = pattern(4 * 1448 + 333, 1);
  Bytes super = tcpPacket(t, false);
  std::vector<Bytes> segs = split(super, superInfo(1448));
  ASSERT_EQ(segs.size(), 5u);
  std::size_t offset = 0;
  for (std::size_t i = 0; i < segs.size(); ++i) {
    const Bytes& s = segs[i];
    std::size_t payload = i < 4 ? 1448 : 333;
    ASSERT_EQ(s.size(), 40 + payload) << i;
    EXPECT_EQ(be16(s, 2), s.size());
    EXPECT_EQ(be16(s, 4), 77 + i) << "identification goes up per segment";
    EXPECT_TRUE(ipHeaderValid(s)) << i;
    EXPECT_EQ(be32(s, 24), static_cast<uint32_t>(t.seq + offset)) << i;
    EXPECT_EQ(be32(s, 28), t.ack);
    EXPECT_EQ(s[33], (i == 0 ? TCP_FLAG_CWR : 0) | (i == 4 ? TCP_FLAG_FIN | TCP_FLAG_PSH : 0) | TCP_FLAG_ACK) << i;
    EXPECT_TRUE(std::equal(s.begin() + 40, s.end(), t.payload.begin() + static_cast<long>(offset)));
    // Left open as the super-packet was: completing it gives a valid segment.
    EXPECT_FALSE(transportValid(s));
    EXPECT_TRUE(transportValid(completed(s, 36))) << i;
    offset += payload;
  }

  // Without offload flags the super-packet's own checksum is checked first.
  TunPacketInfo plain = superInfo(1448);
  plain.flags = 0;
  Bytes checked = tcpPacket(t);
  EXPECT_EQ(split(checked, plain).size(), 5u);
  checked[700] ^= 0x40;
  EXPECT_TRUE(split(checked, plain).empty()) << "corrupt data was cut and passed on";
  plain.flags = TunPacketInfo::kChecksumValid;
  EXPECT_EQ(split(checked, plain).size(), 5u) << "the device vouched for it";

  // Segments that do not fit the frame, and damaged super-packets, are refused.
  EXPECT_TRUE(split(super, superInfo(1461)).empty());
  EXPECT_TRUE(split(super, superInfo(0)).empty());
  Bytes cut(super.begin(), super.end() - 1);
  EXPECT_TRUE(split(cut, superInfo(1448)).empty()) << "IP total length beyond the bytes read";
  TunPacketInfo wrongStart = superInfo(1448);
  wrongStart.checksumStart = 24;
  EXPECT_TRUE(split(super, wrongStart).empty());
}

TEST(TunOffload, SingleReadPacketsGetTheirChecksumsCheckedOrCompleted) {
  // A UDP datagram whose checksum the host left open is completed, so the UDP
  // path's strict check accepts it.
  Bytes udp = udpPacket(45);
  Bytes open = udp;
  put16(open, 26, fold(pseudo(open, 17, open.size() - 20)));
  TunPacketInfo needs;
  needs.flags = TunPacketInfo::kNeedsChecksum;
  needs.checksumStart = 20;
  needs.checksumOffset = 6;
  UdpDatagramView d;
  EXPECT_FALSE(UdpPacket_ParseIPv4(open.data(), static_cast<int>(open.size()), &d));
  ASSERT_TRUE(TunOffload_PrepareInput(open.data(), static_cast<int>(open.size()), needs));
  EXPECT_EQ(open, udp);
  EXPECT_TRUE(UdpPacket_ParseIPv4(open.data(), static_cast<int>(open.size()), &d));

  // TCP: left open is trusted (the stack does not look), unflagged is checked here.
  Tcp t;
  t.payload = pattern(101, 2);
  Bytes tcpOpen = tcpPacket(t, false);
  needs.checksumOffset = 16;
  EXPECT_TRUE(TunOffload_PrepareInput(tcpOpen.data(), static_cast<int>(tcpOpen.size()), needs));
  Bytes good = tcpPacket(t);
  EXPECT_TRUE(TunOffload_PrepareInput(good.data(), static_cast<int>(good.size()), TunPacketInfo{}));
  Bytes bad = good;
  bad[60] ^= 1;
  EXPECT_FALSE(TunOffload_PrepareInput(bad.data(), static_cast<int>(bad.size()), TunPacketInfo{}));
  TunPacketInfo valid;
  valid.flags = TunPacketInfo::kChecksumValid;
  EXPECT_TRUE(TunOffload_PrepareInput(bad.data(), static_cast<int>(bad.size()), valid));
  // A checksum position outside the packet is refused.
  needs.checksumStart = static_cast<uint16_t>(good.size() - 1);
  EXPECT_FALSE(TunOffload_PrepareInput(good.data(), static_cast<int>(good.size()), needs));
}

// Feeds packets to a merger the way BTap does; returns what would be written.
struct Written {
  Bytes packet;
  TunPacketInfo info;
};
std::vector<Written> mergeAll(const std::vector<Bytes>& packets, int capacity = 0xFFFF, int maxSegment = 0) {
  TunMerger m;
  TunMerger_Init(&m, capacity, maxSegment);
  std::vector<Written> out;
  auto flush = [&] {
    if (m.length == 0) return;
    Written w;
    int len;
    const uint8_t* p = TunMerger_Finish(&m, &w.info, &len);
    w.packet.assign(p, p + len);
    out.push_back(w);
    TunMerger_Clear(&m);
  };
  for (const Bytes& p : packets) {
    if (TunMerger_TryAdd(&m, p.data(), static_cast<int>(p.size()))) continue;
    flush();
    EXPECT_TRUE(TunMerger_Start(&m, p.data(), static_cast<int>(p.size())));
  }
  flush();
  return out;
}

// An IPv6 TCP segment as the stack sends it with offload on: checksum field 0.
Bytes tcp6Packet(std::size_t payload) {
  Bytes p(60 + payload, 0);
  p[0] = 0x60;
  put16(p, 4, static_cast<uint16_t>(20 + payload));
  p[6] = 6;
  p[7] = 64;
  for (int i = 0; i < 16; ++i) {
    p[8 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(0x20 + i);
    p[24 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(0xfd - i);
  }
  put16(p, 40, 443);
  put16(p, 42, 50000);
  put32(p, 44, 1000);
  put32(p, 48, 2000);
  p[52] = 0x50;
  p[53] = 0x18;
  put16(p, 54, 5840);
  Bytes data = pattern(payload, 7);
  std::copy(data.begin(), data.end(), p.begin() + 60);
  return p;
}
uint32_t pseudo6(const Bytes& p) { return sum16(&p[8], 32) + 6 + static_cast<uint32_t>(p.size() - 40); }

TEST(TunOffload, Ipv6TcpLeavesItsChecksumToTheKernelAndIsCheckedComingIn) {
  Bytes out = tcp6Packet(333);
  std::vector<Written> w = mergeAll({out});
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].info.flags, TunPacketInfo::kNeedsChecksum);
  EXPECT_EQ(w[0].info.checksumStart, 40);
  EXPECT_EQ(w[0].info.checksumOffset, 16);
  EXPECT_EQ(w[0].info.gso, TunPacketInfo::kGsoNone);
  // The field holds the pseudo-header sum: completing it gives a checksum
  // that holds over the whole segment.
  Bytes sent = w[0].packet;
  EXPECT_EQ(be16(sent, 56), fold(pseudo6(sent)));
  uint16_t c = static_cast<uint16_t>(~fold(sum16(sent.data() + 40, sent.size() - 40)));
  put16(sent, 56, c);
  EXPECT_EQ(fold(sum16(sent.data() + 40, sent.size() - 40, pseudo6(sent))), 0xFFFF);

  // Coming in unflagged, the stack does not look at TCP checksums: here a
  // good one passes and a damaged segment is refused.
  EXPECT_TRUE(TunOffload_PrepareInput(sent.data(), static_cast<int>(sent.size()), TunPacketInfo{}));
  Bytes bad = sent;
  bad[100] ^= 4;
  EXPECT_FALSE(TunOffload_PrepareInput(bad.data(), static_cast<int>(bad.size()), TunPacketInfo{}));
}

TEST(TunOffload, MergedSegmentsCutBackIntoTheSameSegments) {
  std::vector<Bytes> segs;
  Tcp t;
  t.id = 5;
  for (int i = 0; i < 44; ++i) {  // 44 x 1460 = 64240 bytes: one super-packet
    t.payload = pattern(1460, i);
    t.flags = TCP_FLAG_ACK | (i == 43 ? TCP_FLAG_PSH : 0);
    segs.push_back(tcpPacket(t, false));
    t.seq += 1460;
    ++t.id;
  }
  t.payload = pattern(1460, 99);  // the 45th would pass 65535 bytes
  segs.push_back(tcpPacket(t, false));
  std::vector<Written> w = mergeAll(segs);
  ASSERT_EQ(w.size(), 2u);
  const Bytes& super = w[0].packet;
  EXPECT_EQ(super.size(), 40u + 44 * 1460);
  EXPECT_EQ(be16(super, 2), super.size());
  EXPECT_TRUE(ipHeaderValid(super));
  EXPECT_EQ(w[0].info.gso, TunPacketInfo::kGsoTcpV4);
  EXPECT_EQ(w[0].info.segmentSize, 1460);
  EXPECT_EQ(w[0].info.headerLength, 40);
  EXPECT_EQ(w[0].info.flags, TunPacketInfo::kNeedsChecksum);
  EXPECT_EQ(w[0].info.checksumStart, 20);
  EXPECT_EQ(w[0].info.checksumOffset, 16);
  EXPECT_TRUE(transportValid(completed(super, 36))) << "the open checksum is the pseudo-header sum";
  std::vector<Bytes> back = split(super, w[0].info);
  ASSERT_EQ(back.size(), 44u);
  for (std::size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(be32(back[i], 24), be32(segs[i], 24));
    EXPECT_TRUE(std::equal(back[i].begin() + 40, back[i].end(), segs[i].begin() + 40)) << i;
  }
  EXPECT_EQ(back.back()[33] & TCP_FLAG_PSH, TCP_FLAG_PSH);
  // A single packet is written as it is, its checksum left open too.
  EXPECT_EQ(w[1].info.gso, TunPacketInfo::kGsoNone);
  EXPECT_EQ(w[1].info.flags, TunPacketInfo::kNeedsChecksum);
  EXPECT_TRUE(transportValid(completed(w[1].packet, 36)));
}

// The stack's long segments (its sending MSS raised to a whole number of
// wire segments): each leaves as a super-packet that the host cuts into
// wire segments; whole ones join up to 64 KiB; a packet of a connection with
// smaller segments merges as before.
TEST(TunOffload, LongSegmentsLeaveAsSuperPacketsCutAtTheWireSegmentSize) {
  Tcp t;
  t.seq = 0xFFFF0000;
  std::vector<Bytes> sent;
  Bytes stream;
  for (std::size_t size : {14600u, 29200u, 14600u, 5000u, 2920u}) {
    t.payload = pattern(size, static_cast<int>(size));
    stream.insert(stream.end(), t.payload.begin(), t.payload.end());
    sent.push_back(tcpPacket(t, false));
    t.seq += static_cast<uint32_t>(size);
  }
  std::vector<Written> w = mergeAll(sent, 0xFFFF, 1460);
  // 14600 + 29200 + 14600 are whole wire segments; 5000 is not (it ends a
  // super-packet); 2920 starts the next.
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].packet.size(), 40u + 14600 + 29200 + 14600 + 5000);
  EXPECT_EQ(w[1].packet.size(), 40u + 2920);
  Bytes again;
  uint32_t seq = 0xFFFF0000;
  for (const Written& x : w) {
    EXPECT_EQ(x.info.gso, TunPacketInfo::kGsoTcpV4);
    EXPECT_EQ(x.info.segmentSize, 1460);
    EXPECT_TRUE(ipHeaderValid(x.packet));
    EXPECT_TRUE(transportValid(completed(x.packet, 36)));
    for (const Bytes& seg : split(x.packet, x.info)) {
      EXPECT_LE(seg.size(), 1500u);
      EXPECT_EQ(be32(seg, 24), seq);
      seq += static_cast<uint32_t>(seg.size() - 40);
      again.insert(again.end(), seg.begin() + 40, seg.end());
    }
  }
  EXPECT_EQ(again, stream);

  // One long segment alone is a super-packet too; one that fits a frame is not.
  t.payload = pattern(3000, 5);
  w = mergeAll({tcpPacket(t, false)}, 0xFFFF, 1460);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].info.gso, TunPacketInfo::kGsoTcpV4);
  EXPECT_EQ(split(w[0].packet, w[0].info).size(), 3u);
  t.payload = pattern(1460, 5);
  EXPECT_EQ(mergeAll({tcpPacket(t, false)}, 0xFFFF, 1460)[0].info.gso, TunPacketInfo::kGsoNone);

  // Segments of 1000 bytes (a smaller MSS): a longer packet after them would
  // be cut into 1000-byte pieces by nobody's choice; it waits for the next write.
  Tcp small;
  small.payload = pattern(1000, 1);
  Tcp small2 = small;
  small2.seq += 1000;
  Tcp longer = small2;
  longer.seq += 1000;
  longer.payload = pattern(4000, 2);
  w = mergeAll({tcpPacket(small, false), tcpPacket(small2, false), tcpPacket(longer, false)}, 0xFFFF, 1460);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].info.segmentSize, 1000);
  EXPECT_EQ(w[0].packet.size(), 40u + 2000);
}

// A super-packet taken whole: checked like one that is cut, its IP header
// checksum made right, trailing bytes beyond its IP length left out.
TEST(TunOffload, SuperPacketTakenWholeIsCheckedAndItsIpHeaderMadeRight) {
  Tcp t;
  t.payload = pattern(20000, 6);
  Bytes super = tcpPacket(t, false);
  super[10] ^= 0x55;  // a header checksum the host did not fill in
  super.resize(super.size() + 7);
  EXPECT_EQ(TunOffload_PrepareSuperPacket(super.data(), static_cast<int>(super.size()), superInfo(1460)), 20040);
  EXPECT_TRUE(ipHeaderValid(super));

  TunPacketInfo plain = superInfo(1460);
  plain.flags = 0;
  Bytes checked = tcpPacket(t);
  EXPECT_EQ(TunOffload_PrepareSuperPacket(checked.data(), static_cast<int>(checked.size()), plain), 20040);
  checked[9000] ^= 2;
  EXPECT_EQ(TunOffload_PrepareSuperPacket(checked.data(), static_cast<int>(checked.size()), plain), -1);
  EXPECT_EQ(TunOffload_PrepareSuperPacket(super.data(), static_cast<int>(super.size()), superInfo(0)), -1);
  EXPECT_EQ(TunOffload_PrepareSuperPacket(super.data(), 1000, superInfo(1460)), -1) << "cut short";
  TunPacketInfo none = superInfo(1460);
  none.gso = TunPacketInfo::kGsoNone;
  EXPECT_EQ(TunOffload_PrepareSuperPacket(super.data(), static_cast<int>(super.size()), none), -1);
}

TEST(TunOffload, OnlyTheSameStreamMergesAndMixedPacketsKeepTheirOrder) {
  Tcp a;
  a.payload = pattern(1000, 1);
  Tcp a2 = a;
  a2.seq += 1000;
  Tcp gap = a2;
  gap.seq += 1000;  // a segment missing in between
  Tcp other = a2;
  other.sport = 40001;
  Tcp shortSeg = a2;
  shortSeg.payload = pattern(10, 2);
  Tcp afterShort = shortSeg;
  afterShort.seq += 10;
  Tcp newAck = a2;
  newAck.ack += 1;
  Tcp fin = a2;
  fin.flags = TCP_FLAG_ACK | TCP_FLAG_FIN;
  Tcp afterFin = fin;
  afterFin.seq += 1000;
  afterFin.flags = TCP_FLAG_ACK;
  Bytes udp = udpPacket(20), icmp = icmpEcho();
  auto count = [](const std::vector<Written>& w) { return w.size(); };
  EXPECT_EQ(count(mergeAll({tcpPacket(a), tcpPacket(a2)})), 1u);
  EXPECT_EQ(count(mergeAll({tcpPacket(a), tcpPacket(gap)})), 2u);
  EXPECT_EQ(count(mergeAll({tcpPacket(a), tcpPacket(other)})), 2u);
  EXPECT_EQ(count(mergeAll({tcpPacket(a), tcpPacket(newAck)})), 2u) << "another acknowledgement";
  EXPECT_EQ(count(mergeAll({tcpPacket(a), tcpPacket(shortSeg), tcpPacket(afterShort)})), 2u);
  EXPECT_EQ(count(mergeAll({tcpPacket(a), tcpPacket(fin), tcpPacket(afterFin)})), 2u);

  // TCP, UDP, TCP of the same stream, ICMP: nothing merges across the
  // datagram, and everything leaves in the order it came.
  std::vector<Written> w = mergeAll({tcpPacket(a), udp, tcpPacket(a2), icmp});
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[0].packet[9], 6);
  EXPECT_EQ(w[1].packet, udp);
  EXPECT_EQ(w[1].info.flags, 0) << "a datagram keeps its own checksum";
  EXPECT_EQ(be32(w[2].packet, 24), a2.seq);
  EXPECT_EQ(w[3].packet, icmp);

  // A bare acknowledgement gives way to one that acknowledges more or opens
  // the window, never to an equal one (a duplicate tells of a loss).
  Tcp ack;
  Tcp more = ack;
  more.ack += 1460;
  Tcp wider = ack;
  wider.window = 11680;
  w = mergeAll({tcpPacket(ack), tcpPacket(more)});
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(be32(w[0].packet, 28), more.ack);
  EXPECT_EQ(mergeAll({tcpPacket(ack), tcpPacket(wider)}).size(), 1u);
  EXPECT_EQ(mergeAll({tcpPacket(ack), tcpPacket(ack)}).size(), 2u);
  Tcp older = ack;
  older.ack -= 1;
  EXPECT_EQ(mergeAll({tcpPacket(ack), tcpPacket(older)}).size(), 2u);

  // A packet larger than the write buffer cannot start one.
  TunMerger m;
  TunMerger_Init(&m, 1000);
  Bytes big = tcpPacket(a);
  EXPECT_FALSE(TunMerger_Start(&m, big.data(), static_cast<int>(big.size())));
  EXPECT_EQ(m.length, 0);
}

// ---- BTap over a stand-in device ----------------------------------------------

// The offload header as the device reads and writes it (struct virtio_net_hdr).
struct WireHeader {
  uint8_t flags, gso;
  uint16_t headerLength, segmentSize, checksumStart, checksumOffset;
};
static_assert(sizeof(WireHeader) == 10);

struct DeviceTest : ::testing::TestWithParam<bool> {
  void SetUp() override {
    ASSERT_TRUE(BReactor_Init(&reactor));
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
    ASSERT_TRUE(BTap_InitHandle(&tap, &reactor, fds[0], 1500, offload(), onError, this));
    PacketSource_SetDone(BTap_GetOutput(&tap), onPacket, this);
    PacketSource_Recv(BTap_GetOutput(&tap), readBuf);
    ReactorTimer_Init(&stop, 300, onStop, this);
  }
  void TearDown() override {
    BTap_Free(&tap);
    BReactor_Free(&reactor);
    ::close(fds[1]);
  }
  bool offload() const { return GetParam(); }

  // What the host side of the device would write: one packet with its header.
  void hostWrite(const Bytes& p, const TunPacketInfo& info = {}) {
    WireHeader h{info.flags, info.gso, info.headerLength, info.segmentSize, info.checksumStart, info.checksumOffset};
    iovec iov[2] = {{&h, sizeof h}, {const_cast<uint8_t*>(p.data()), p.size()}};
    ASSERT_EQ(::writev(fds[1], offload() ? iov : iov + 1, offload() ? 2 : 1),
              static_cast<ssize_t>(p.size() + (offload() ? sizeof h : 0)));
  }
  // What the host side reads: every packet written so far.
  std::vector<Written> hostRead() {
    std::vector<Written> out;
    for (;;) {
      WireHeader h{};
      Bytes buf(70000);
      iovec iov[2] = {{&h, sizeof h}, {buf.data(), buf.size()}};
      ssize_t n = ::readv(fds[1], offload() ? iov : iov + 1, offload() ? 2 : 1);
      if (n <= 0) break;
      n -= offload() ? static_cast<ssize_t>(sizeof h) : 0;
      buf.resize(static_cast<std::size_t>(n));
      Written w{buf, TunPacketInfo{}};
      w.info.flags = h.flags;
      w.info.gso = h.gso;
      w.info.segmentSize = h.segmentSize;
      out.push_back(w);
    }
    return out;
  }
  // Runs the loop until `stop` fires; packets read by BTap land in `received`.
  void run() {
    reactor.exiting.store(false);
    BReactor_SetTimer(&reactor, &stop);
    BReactor_Exec(&reactor);
  }
  static void onPacket(void* user, int len) {
    auto* t = static_cast<DeviceTest*>(user);
    t->received.emplace_back(t->readBuf, t->readBuf + len);
    PacketSource_Recv(BTap_GetOutput(&t->tap), t->readBuf);
  }
  static void onError(void* user) { static_cast<DeviceTest*>(user)->errors++; }
  static void onStop(void* user) { BReactor_Quit(&static_cast<DeviceTest*>(user)->reactor, 0); }

  BReactor reactor;
  BTap tap;
  int fds[2] = {-1, -1};
  ReactorTimer stop;
  uint8_t readBuf[1500];
  std::vector<Bytes> received;
  int errors = 0;
};

TEST_P(DeviceTest, MixedPacketsComeOutWholeAndInOrder) {
  Tcp t;
  t.payload = pattern(3 * 1400 + 5, 4);
  Bytes udp = udpPacket(60), icmp = icmpEcho();
  if (offload()) {
    Bytes super = tcpPacket(t, false);
    hostWrite(super, superInfo(1400));
    Bytes corrupt = tcpPacket(t);
    corrupt[100] ^= 1;
    corrupt.resize(1500);
    put16(corrupt, 2, 1500);  // header checksum now wrong too: both layers would refuse it
    hostWrite(corrupt);
  } else {
    t.payload.resize(1400);
    hostWrite(tcpPacket(t));
  }
  hostWrite(udp);
  hostWrite(icmp);
  run();
  EXPECT_EQ(errors, 0);
  std::size_t tcpCount = offload() ? 4 : 1;
  ASSERT_EQ(received.size(), tcpCount + 2);
  for (std::size_t i = 0; i < tcpCount; ++i) {
    EXPECT_EQ(received[i][9], 6);
    EXPECT_EQ(be32(received[i], 24), t.seq + 1400 * i);
    EXPECT_TRUE(transportValid(offload() ? completed(received[i], 36) : received[i]));
  }
  EXPECT_EQ(received[tcpCount], udp);
  EXPECT_EQ(received[tcpCount + 1], icmp);
  EXPECT_EQ(tap.readsDropped, offload() ? 1u : 0u);
}

TEST_P(DeviceTest, WritesLeaveWhenIdleJoinedWhereTheyCanBeAndNeverWait) {
  Tcp t;
  std::vector<Bytes> sent;
  for (int i = 0; i < 3; ++i) {
    t.payload = pattern(1460, i);
    sent.push_back(tcpPacket(t, false));
    t.seq += 1460;
  }
  Bytes udp = udpPacket(30);
  for (const Bytes& p : sent) BTap_Send(&tap, p.data(), static_cast<int>(p.size()));
  BTap_Send(&tap, udp.data(), static_cast<int>(udp.size()));
  BTap_Send(&tap, sent[0].data(), 13);  // shorter than 14 bytes: never written
  std::vector<Written> early = hostRead();
  run();
  std::vector<Written> got = hostRead();
  if (offload()) {
    // Held until the loop was idle: the segments as one super-packet, then the datagram.
    ASSERT_EQ(early.size(), 1u) << "the segments went out before the datagram forced them";
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(early[0].info.gso, TunPacketInfo::kGsoTcpV4);
    EXPECT_EQ(early[0].info.segmentSize, 1460);
    EXPECT_EQ(early[0].packet.size(), 40u + 3 * 1460);
    EXPECT_EQ(got[0].packet, udp);
  } else {
    ASSERT_EQ(early.size(), 4u);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(early[3].packet, udp);
  }

  // A device that takes nothing more: sends return at once, losing packets.
  int small = 4096;
  ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  Bytes big = tcpPacket(Tcp{.payload = pattern(1400, 9)});
  while (::send(fds[0], big.data(), big.size(), MSG_DONTWAIT) > 0) {
  }
  Tcp other;
  auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    other.sport = static_cast<uint16_t>(50000 + i);  // twenty connections: nothing joins
    other.payload = pattern(1400, i);
    Bytes p = tcpPacket(other, false);
    BTap_Send(&tap, p.data(), static_cast<int>(p.size()));
  }
  run();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2)) << "a write waited for room";
  EXPECT_GE(tap.writesDropped, 19u);
}

// Taking super-packets whole, the source's MTU is 64 KiB: a super-packet
// arrives as one packet; single packets and datagrams as they are.
TEST(DeviceWhole, SuperPacketsArriveWholeAndEverythingElseAsItIs) {
  BReactor reactor;
  ASSERT_TRUE(BReactor_Init(&reactor));
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
  int big = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  BTap tap;
  ASSERT_TRUE(BTap_InitHandle(
      &tap, &reactor, fds[0], 1500, true, [](void*) { FAIL(); }, nullptr, true));
  ASSERT_EQ(BTap_GetOutput(&tap)->mtu, 0xFFFF);
  EXPECT_EQ(BTap_MaxSendLength(&tap), 0xFFFF);
  EXPECT_EQ(BTap_TcpSegmentLimit(&tap), 1460);

  struct Got {
    BReactor* reactor;
    BTap* tap;
    Bytes buf = Bytes(0xFFFF);
    std::vector<Bytes> packets;
  } got{&reactor, &tap};
  PacketSource_SetDone(
      BTap_GetOutput(&tap),
      [](void* user, int len) {
        auto* g = static_cast<Got*>(user);
        g->packets.emplace_back(g->buf.begin(), g->buf.begin() + len);
        if (g->packets.size() == 3) BReactor_Quit(g->reactor, 0);
        PacketSource_Recv(BTap_GetOutput(g->tap), g->buf.data());
      },
      &got);
  PacketSource_Recv(BTap_GetOutput(&tap), got.buf.data());

  Tcp t;
  t.payload = pattern(50000, 8);
  Bytes super = tcpPacket(t, false);
  Bytes udp = udpPacket(100);
  Tcp single;
  single.payload = pattern(700, 9);
  Bytes one = tcpPacket(single);
  auto hostWrite = [&](const Bytes& p, const TunPacketInfo& info) {
    WireHeader h{info.flags, info.gso, info.headerLength, info.segmentSize, info.checksumStart, info.checksumOffset};
    iovec iov[2] = {{&h, sizeof h}, {const_cast<uint8_t*>(p.data()), p.size()}};
    ASSERT_EQ(::writev(fds[1], iov, 2), static_cast<ssize_t>(p.size() + sizeof h));
  };
  hostWrite(super, superInfo(1460));
  hostWrite(udp, {});
  hostWrite(one, {});
  ReactorTimer stop;
  ReactorTimer_Init(
      &stop, 2000, [](void* r) { BReactor_Quit(static_cast<BReactor*>(r), 1); }, &reactor);
  BReactor_SetTimer(&reactor, &stop);
  EXPECT_EQ(BReactor_Exec(&reactor), 0);
  BReactor_RemoveTimer(&reactor, &stop);
  ASSERT_EQ(got.packets.size(), 3u);
  EXPECT_EQ(got.packets[0], super);
  EXPECT_EQ(got.packets[1], udp);
  EXPECT_EQ(got.packets[2], one);
  BTap_Free(&tap);
  BReactor_Free(&reactor);
  ::close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(OffloadAndPlain, DeviceTest, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "Offload" : "Plain"; });

}  // namespace
}  // namespace vantor::tunnel
