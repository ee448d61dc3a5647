#include "tunnel/device/tun_offload.h"

#include <cstring>

#include "tunnel/base/inet_checksum.h"

namespace vantor::tunnel {
namespace {

constexpr uint8_t kProtoTcp = 6;
constexpr int kTcpChecksumOffset = 16;
constexpr int kMaxIpPacket = 0xFFFF;

uint32_t addressAt(const uint8_t* p, int at) {
  uint32_t a;
  std::memcpy(&a, p + at, 4);
  return a;
}

// The pseudo-header sum of a TCP segment of `tcpLength` bytes, folded: what
// the checksum field holds when the receiver completes the checksum.
uint16_t partialTcpChecksum(const uint8_t* ip, int tcpLength) {
  return InetChecksum_Fold(InetChecksum_PseudoIPv4(addressAt(ip, 12), addressAt(ip, 16), kProtoTcp, tcpLength));
}

void setIpHeaderChecksum(uint8_t* ip, int headerLength) {
  store_be16(ip + 10, 0);
  store_be16(ip + 10, InetChecksum_Finish(InetChecksum_Add(0, ip, headerLength)));
}

// True when the TCP checksum of the whole packet is right.
bool tcpChecksumHolds(const uint8_t* ip, const TcpV4View& v) {
  int tcpLength = v.tcpHeaderLength + v.payloadLength;
  uint32_t sum = InetChecksum_PseudoIPv4(addressAt(ip, 12), addressAt(ip, 16), kProtoTcp, tcpLength);
  sum = InetChecksum_Add(sum, ip + v.ipHeaderLength, tcpLength);
  return InetChecksum_Fold(sum) == 0xFFFF;
}

// An IPv6 packet carrying TCP right after its fixed header, whole: the
// length of its TCP part, else -1. (The stack sends no extension headers.)
int ipv6TcpLength(const uint8_t* ip, int len) {
  if (len < 60 || (ip[0] >> 4) != 6 || ip[6] != kProtoTcp) return -1;
  int payload = load_be16(ip + 4);
  return payload + 40 == len ? payload : -1;
}

uint32_t ipv6PseudoSum(const uint8_t* ip, uint8_t protocol, int length) {
  uint8_t tail[8] = {};
  store_be32(tail, static_cast<uint32_t>(length));
  tail[7] = protocol;
  return InetChecksum_Add(InetChecksum_Add(0, ip + 8, 32), tail, 8);
}

bool sameConnection(const uint8_t* a, const uint8_t* b, int ipHeaderLength) {
  // addresses, then both ports
  return std::memcmp(a + 12, b + 12, 8) == 0 && std::memcmp(a + ipHeaderLength, b + ipHeaderLength, 4) == 0;
}

bool seqAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

}  // namespace

bool TcpV4_Parse(const uint8_t* p, int len, TcpV4View* out) {
  if (len < 40 || (p[0] >> 4) != 4 || p[9] != kProtoTcp) return false;
  int ihl = (p[0] & 0x0F) * 4;
  int total = load_be16(p + 2);
  if (ihl < 20 || total > len || total < ihl + 20) return false;
  // A fragment is not a segment.
  if ((load_be16(p + 6) & 0x3FFF) != 0) return false;
  const uint8_t* t = p + ihl;
  int thl = (t[12] >> 4) * 4;
  if (thl < 20 || ihl + thl > total) return false;
  out->ipHeaderLength = ihl;
  out->tcpHeaderLength = thl;
  out->payloadLength = total - ihl - thl;
  out->seq = load_be32(t + 4);
  out->ack = load_be32(t + 8);
  out->flags = t[13];
  out->window = load_be16(t + 14);
  return true;
}

// ---- splitting ----------------------------------------------------------------

namespace {

// The checks every TCP super-packet passes before its data is used.
bool superPacketSound(const uint8_t* packet, int len, const TunPacketInfo& info, TcpV4View* v) {
  if (info.gso != TunPacketInfo::kGsoTcpV4 || !TcpV4_Parse(packet, len, v) || info.segmentSize == 0) return false;
  if ((info.flags & TunPacketInfo::kNeedsChecksum) &&
      (info.checksumStart != v->ipHeaderLength || info.checksumOffset != kTcpChecksumOffset))
    return false;
  return (info.flags & (TunPacketInfo::kNeedsChecksum | TunPacketInfo::kChecksumValid)) || tcpChecksumHolds(packet, *v);
}

}  // namespace

bool TunSegmenter_Init(TunSegmenter* s, const uint8_t* packet, int len, const TunPacketInfo& info, int maxSegment) {
  TcpV4View v;
  if (!superPacketSound(packet, len, info, &v)) return false;
  int header = v.ipHeaderLength + v.tcpHeaderLength;
  if (header + info.segmentSize > maxSegment) return false;
  s->packet = packet;
  s->headerLength = header;
  s->ipHeaderLength = v.ipHeaderLength;
  s->payloadLength = v.payloadLength;
  s->segmentSize = info.segmentSize;
  s->offset = 0;
  s->index = 0;
  return true;
}

int TunSegmenter_NextLength(const TunSegmenter* s) {
  int rest = s->payloadLength - s->offset;
  // A super-packet without payload still stands for one (bare) segment.
  if (rest <= 0) return s->index == 0 ? s->headerLength : 0;
  return s->headerLength + (rest < s->segmentSize ? rest : s->segmentSize);
}

int TunSegmenter_Next(TunSegmenter* s, uint8_t* out) {
  int total = TunSegmenter_NextLength(s);
  if (total == 0) return 0;
  int payload = total - s->headerLength;
  bool first = s->index == 0;
  bool last = s->offset + payload >= s->payloadLength;
  std::memcpy(out, s->packet, static_cast<std::size_t>(s->headerLength));
  std::memcpy(out + s->headerLength, s->packet + s->headerLength + s->offset, static_cast<std::size_t>(payload));

  uint8_t* ip = out;
  store_be16(ip + 2, static_cast<uint16_t>(total));
  store_be16(ip + 4, static_cast<uint16_t>(load_be16(s->packet + 4) + s->index));
  setIpHeaderChecksum(ip, s->ipHeaderLength);
  uint8_t* tcp = ip + s->ipHeaderLength;
  store_be32(tcp + 4, load_be32(s->packet + s->ipHeaderLength + 4) + static_cast<uint32_t>(s->offset));
  if (!first) tcp[13] = static_cast<uint8_t>(tcp[13] & ~TCP_FLAG_CWR);
  if (!last) tcp[13] = static_cast<uint8_t>(tcp[13] & ~(TCP_FLAG_FIN | TCP_FLAG_PSH));
  store_be16(tcp + kTcpChecksumOffset, partialTcpChecksum(ip, total - s->ipHeaderLength));

  s->offset += payload;
  ++s->index;
  return total;
}

int TunOffload_PrepareSuperPacket(uint8_t* packet, int len, const TunPacketInfo& info) {
  TcpV4View v;
  if (!superPacketSound(packet, len, info, &v)) return -1;
  setIpHeaderChecksum(packet, v.ipHeaderLength);
  return v.ipHeaderLength + v.tcpHeaderLength + v.payloadLength;
}

// ---- single packets -------------------------------------------------------------

bool TunOffload_PrepareInput(uint8_t* packet, int len, const TunPacketInfo& info) {
  if (info.flags & TunPacketInfo::kChecksumValid) return true;
  TcpV4View v;
  bool tcp = TcpV4_Parse(packet, len, &v);
  if (info.flags & TunPacketInfo::kNeedsChecksum) {
    int start = info.checksumStart;
    int at = start + info.checksumOffset;
    if (start >= len || at + 2 > len) return false;
    // The host built it in memory: its TCP data is as good as checked.
    if (tcp && start == v.ipHeaderLength && info.checksumOffset == kTcpChecksumOffset) return true;
    uint16_t sum = InetChecksum_Finish(InetChecksum_Add(0, packet + start, len - start));
    // UDP sends a computed 0 as all ones (0 means "no checksum").
    bool udp =
        ((packet[0] >> 4) == 4 && len > 9 && packet[9] == 17) || ((packet[0] >> 4) == 6 && len > 6 && packet[6] == 17);
    if (sum == 0 && udp) sum = 0xFFFF;
    store_be16(packet + at, sum);
    return true;
  }
  if (tcp) return tcpChecksumHolds(packet, v);
  // IPv6 TCP comes only as single packets; the stack does not check TCP
  // checksums while offload is on, so it is checked here.
  int tcp6 = ipv6TcpLength(packet, len);
  if (tcp6 >= 0)
    return InetChecksum_Fold(InetChecksum_Add(ipv6PseudoSum(packet, kProtoTcp, tcp6), packet + 40, tcp6)) == 0xFFFF;
  return true;
}

// ---- merging ----------------------------------------------------------------------

void TunMerger_Init(TunMerger* m, int capacity, int maxSegment) {
  m->buf.assign(static_cast<std::size_t>(capacity), 0);
  m->length = 0;
  m->maxSegment = maxSegment;
}

bool TunMerger_Start(TunMerger* m, const uint8_t* packet, int len) {
  if (len <= 0 || len > static_cast<int>(m->buf.size())) return false;
  std::memcpy(m->buf.data(), packet, static_cast<std::size_t>(len));
  m->length = len;
  m->tcp = TcpV4_Parse(packet, len, &m->first) &&
           m->first.payloadLength + m->first.ipHeaderLength + m->first.tcpHeaderLength == len;
  m->segments = 1;
  if (m->tcp) {
    m->payload = m->first.payloadLength;
    m->segmentSize = m->maxSegment > 0 && m->payload > m->maxSegment ? m->maxSegment : m->payload;
    m->ended = (m->first.flags & TCP_FLAG_FIN) != 0;
    m->nextSeq = m->first.seq + static_cast<uint32_t>(m->first.payloadLength);
  }
  return true;
}

bool TunMerger_TryAdd(TunMerger* m, const uint8_t* packet, int len) {
  if (m->length == 0 || !m->tcp) return false;
  TcpV4View v;
  if (!TcpV4_Parse(packet, len, &v) || v.ipHeaderLength + v.tcpHeaderLength + v.payloadLength != len) return false;
  const uint8_t* pending = m->buf.data();
  const TcpV4View& p = m->first;
  if (v.ipHeaderLength != p.ipHeaderLength || !sameConnection(pending, packet, p.ipHeaderLength)) return false;
  if (v.flags & (TCP_FLAG_SYN | TCP_FLAG_RST | TCP_FLAG_URG)) return false;

  // A bare acknowledgement that a later packet makes redundant. Equal
  // acknowledgements with an unchanged window stay apart: they may be
  // duplicates that tell the sender about a loss.
  bool bareAck = m->segments == 1 && p.payloadLength == 0 && p.flags == TCP_FLAG_ACK;
  if (bareAck && (v.flags & TCP_FLAG_ACK) && v.seq == p.seq &&
      (seqAfter(v.ack, p.ack) || (v.ack == p.ack && v.window != p.window && v.payloadLength == 0))) {
    TunMerger_Clear(m);
    return TunMerger_Start(m, packet, len);
  }

  // The next bytes of the pending one's stream, which so far fills whole
  // wire segments (a short one ends the stream here). A packet larger than
  // a wire segment is cut like the rest.
  const int header = p.ipHeaderLength + p.tcpHeaderLength;
  if (m->segmentSize == 0 || v.payloadLength == 0 || m->payload % m->segmentSize != 0 || m->ended) return false;
  if (v.payloadLength > m->segmentSize && m->segmentSize != m->maxSegment) return false;
  if (p.flags & (TCP_FLAG_FIN | TCP_FLAG_SYN | TCP_FLAG_RST | TCP_FLAG_URG)) return false;
  if (v.seq != m->nextSeq || v.ack != p.ack || v.window != p.window) return false;
  if (v.tcpHeaderLength != p.tcpHeaderLength ||
      std::memcmp(pending + p.ipHeaderLength + 20, packet + v.ipHeaderLength + 20,
                  static_cast<std::size_t>(v.tcpHeaderLength - 20)) != 0)
    return false;
  if (m->length + v.payloadLength > kMaxIpPacket || m->length + v.payloadLength > static_cast<int>(m->buf.size()))
    return false;
  std::memcpy(m->buf.data() + m->length, packet + header, static_cast<std::size_t>(v.payloadLength));
  m->length += v.payloadLength;
  // The end of the stream and the push belong to the last segment.
  m->buf[static_cast<std::size_t>(p.ipHeaderLength + 13)] |=
      static_cast<uint8_t>(v.flags & (TCP_FLAG_FIN | TCP_FLAG_PSH));
  ++m->segments;
  m->payload += v.payloadLength;
  m->nextSeq += static_cast<uint32_t>(v.payloadLength);
  if (v.flags & TCP_FLAG_FIN) m->ended = true;  // nothing joins after the end
  return true;
}

const uint8_t* TunMerger_Finish(TunMerger* m, TunPacketInfo* info, int* len) {
  *info = TunPacketInfo{};
  *len = m->length;
  if (m->length == 0) return m->buf.data();
  if (!m->tcp) {
    // An IPv6 segment of the stack leaves its checksum to the kernel like
    // every other TCP segment while offload is on.
    uint8_t* ip = m->buf.data();
    int tcp6 = ipv6TcpLength(ip, m->length);
    if (tcp6 >= 20) {
      store_be16(ip + 40 + kTcpChecksumOffset, InetChecksum_Fold(ipv6PseudoSum(ip, kProtoTcp, tcp6)));
      info->flags = TunPacketInfo::kNeedsChecksum;
      info->checksumStart = 40;
      info->checksumOffset = kTcpChecksumOffset;
      info->headerLength = static_cast<uint16_t>(40 + (ip[40 + 12] >> 4) * 4);
    }
    return ip;
  }
  uint8_t* ip = m->buf.data();
  const TcpV4View& p = m->first;
  store_be16(ip + 2, static_cast<uint16_t>(m->length));
  setIpHeaderChecksum(ip, p.ipHeaderLength);
  store_be16(ip + p.ipHeaderLength + kTcpChecksumOffset, partialTcpChecksum(ip, m->length - p.ipHeaderLength));
  info->flags = TunPacketInfo::kNeedsChecksum;
  info->checksumStart = static_cast<uint16_t>(p.ipHeaderLength);
  info->checksumOffset = kTcpChecksumOffset;
  info->headerLength = static_cast<uint16_t>(p.ipHeaderLength + p.tcpHeaderLength);
  if (m->payload > m->segmentSize) {
    info->gso = TunPacketInfo::kGsoTcpV4;
    info->segmentSize = static_cast<uint16_t>(m->segmentSize);
  }
  return ip;
}

void TunMerger_Clear(TunMerger* m) { m->length = 0; }

}  // namespace vantor::tunnel
