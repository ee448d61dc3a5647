#include "tunnel/udpgw/udp_packets.h"

#include <cstring>

#include "platform/byte_order.h"

namespace vantor::tunnel {
namespace {

constexpr int kIpv4HeaderSize = 20;
constexpr int kIpv6HeaderSize = 40;
constexpr int kUdpHeaderSize = 8;
constexpr uint8_t kProtoUdp = 17;

}  // namespace

uint16_t Udp_Ipv4Checksum(uint32_t src, uint32_t dst, const uint8_t* udp, int udpLen) {
  uint32_t sum = InetChecksum_PseudoIPv4(src, dst, kProtoUdp, udpLen);
  sum = InetChecksum_Add(sum, udp, 6);  // ports and length; the checksum field counts as zero
  sum = InetChecksum_Add(sum, udp + kUdpHeaderSize, udpLen - kUdpHeaderSize);
  uint16_t c = InetChecksum_Finish(sum);
  return c == 0 ? 0xFFFF : c;
}

bool UdpPacket_ParseIPv4(const uint8_t* p, int len, UdpDatagramView* out) {
  if (len < kIpv4HeaderSize || (p[0] >> 4) != 4 || p[9] != kProtoUdp) return false;
  int headerLen = (p[0] & 0x0F) * 4;
  if (headerLen < kIpv4HeaderSize || headerLen > len) return false;
  int totalLen = platform::readBe16(p + 2);
  if (totalLen < headerLen || totalLen > len) return false;
  if (InetChecksum_Finish(InetChecksum_Add(0, p, headerLen)) != 0) return false;
  // A fragment carries only part of a datagram (or no UDP header at all).
  if ((platform::readBe16(p + 6) & 0x3FFF) != 0) return false;

  const uint8_t* udp = p + headerLen;
  int ipPayload = totalLen - headerLen;
  if (ipPayload < kUdpHeaderSize) return false;
  int udpLen = platform::readBe16(udp + 4);
  if (udpLen < kUdpHeaderSize || udpLen > ipPayload) return false;
  uint32_t src, dst;
  std::memcpy(&src, p + 12, 4);
  std::memcpy(&dst, p + 16, 4);
  uint16_t stored = platform::readBe16(udp + 6);
  if (stored != 0 && Udp_Ipv4Checksum(src, dst, udp, udpLen) != stored) return false;

  uint16_t srcPort, dstPort;
  std::memcpy(&srcPort, udp, 2);
  std::memcpy(&dstPort, udp + 2, 2);
  out->local = BAddr_MakeIPv4(src, srcPort);
  out->remote = BAddr_MakeIPv4(dst, dstPort);
  out->data = udp + kUdpHeaderSize;
  out->len = udpLen - kUdpHeaderSize;
  return true;
}

int UdpPacket_BuildIPv4(uint8_t* out, int cap, const BAddr& local, const BAddr& remote, const uint8_t* data, int len) {
  if (local.type != BADDR_TYPE_IPV4 || remote.type != BADDR_TYPE_IPV4) return -1;
  int total = kIpv4HeaderSize + kUdpHeaderSize + len;
  if (len < 0 || total > 0xFFFF || total > cap) return -1;
  uint8_t* ip = out;
  ip[0] = 0x45;
  ip[1] = 0;
  platform::writeBe16(ip + 2, static_cast<uint16_t>(total));
  platform::writeBe16(ip + 4, 0);
  platform::writeBe16(ip + 6, 0);
  ip[8] = 64;
  ip[9] = kProtoUdp;
  platform::writeBe16(ip + 10, 0);
  std::memcpy(ip + 12, &remote.ipv4, 4);
  std::memcpy(ip + 16, &local.ipv4, 4);
  platform::writeBe16(ip + 10, InetChecksum_Finish(InetChecksum_Add(0, ip, kIpv4HeaderSize)));

  uint8_t* udp = ip + kIpv4HeaderSize;
  std::memcpy(udp, &remote.port, 2);
  std::memcpy(udp + 2, &local.port, 2);
  platform::writeBe16(udp + 4, static_cast<uint16_t>(kUdpHeaderSize + len));
  platform::writeBe16(udp + 6, 0);
  if (len > 0) std::memmove(udp + kUdpHeaderSize, data, static_cast<std::size_t>(len));
  platform::writeBe16(udp + 6, Udp_Ipv4Checksum(remote.ipv4, local.ipv4, udp, kUdpHeaderSize + len));
  return total;
}

uint16_t Udp_Ipv6Checksum(const uint8_t src[16], const uint8_t dst[16], const uint8_t* udp, int udpLen) {
  uint8_t pseudo[40] = {};
  std::memcpy(pseudo, src, 16);
  std::memcpy(pseudo + 16, dst, 16);
  store_be32(pseudo + 32, static_cast<uint32_t>(udpLen));
  pseudo[39] = kProtoUdp;
  uint32_t sum = InetChecksum_Add(0, pseudo, sizeof pseudo);
  sum = InetChecksum_Add(sum, udp, 6);  // ports and length; the checksum field counts as zero
  sum = InetChecksum_Add(sum, udp + kUdpHeaderSize, udpLen - kUdpHeaderSize);
  uint16_t c = InetChecksum_Finish(sum);
  return c == 0 ? 0xFFFF : c;
}

bool UdpPacket_ParseIPv6(const uint8_t* p, int len, UdpDatagramView* out) {
  if (len < kIpv6HeaderSize || (p[0] >> 4) != 6 || p[6] != kProtoUdp) return false;
  int payload = platform::readBe16(p + 4);
  if (payload > len - kIpv6HeaderSize || payload < kUdpHeaderSize) return false;
  const uint8_t* udp = p + kIpv6HeaderSize;
  int udpLen = platform::readBe16(udp + 4);
  if (udpLen < kUdpHeaderSize || udpLen > payload) return false;
  uint16_t stored = platform::readBe16(udp + 6);
  if (stored == 0 || Udp_Ipv6Checksum(p + 8, p + 24, udp, udpLen) != stored) return false;

  uint16_t srcPort, dstPort;
  std::memcpy(&srcPort, udp, 2);
  std::memcpy(&dstPort, udp + 2, 2);
  out->local = BAddr_MakeIPv6(p + 8, srcPort);
  out->remote = BAddr_MakeIPv6(p + 24, dstPort);
  out->data = udp + kUdpHeaderSize;
  out->len = udpLen - kUdpHeaderSize;
  return true;
}

int UdpPacket_BuildIPv6(uint8_t* out, int cap, const BAddr& local, const BAddr& remote, const uint8_t* data, int len) {
  if (local.type != BADDR_TYPE_IPV6 || remote.type != BADDR_TYPE_IPV6) return -1;
  int udpLen = kUdpHeaderSize + len;
  int total = kIpv6HeaderSize + udpLen;
  if (len < 0 || udpLen > 0xFFFF || total > cap) return -1;
  uint8_t* ip = out;
  std::memset(ip, 0, kIpv6HeaderSize);
  ip[0] = 0x60;
  platform::writeBe16(ip + 4, static_cast<uint16_t>(udpLen));
  ip[6] = kProtoUdp;
  ip[7] = 64;
  std::memcpy(ip + 8, remote.ipv6, 16);
  std::memcpy(ip + 24, local.ipv6, 16);

  uint8_t* udp = ip + kIpv6HeaderSize;
  std::memcpy(udp, &remote.port, 2);
  std::memcpy(udp + 2, &local.port, 2);
  platform::writeBe16(udp + 4, static_cast<uint16_t>(udpLen));
  platform::writeBe16(udp + 6, 0);
  if (len > 0) std::memmove(udp + kUdpHeaderSize, data, static_cast<std::size_t>(len));
  platform::writeBe16(udp + 6, Udp_Ipv6Checksum(remote.ipv6, local.ipv6, udp, udpLen));
  return total;
}

}  // namespace vantor::tunnel
