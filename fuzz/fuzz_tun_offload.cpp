// With segmentation offload the TUN device hands over super-packets with an
// offload header, built by any program on the host. The input is that header
// (10 bytes: flags, kind, header length, segment size, checksum start and
// offset) followed by the packet. A packet the device layer takes is cut into
// segments that must each fit the frame and together carry exactly the
// super-packet's payload in order; glued back by the writer's merger they
// give the same payload again. Single packets are readied (checksums checked
// or completed) without reading or writing outside them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tunnel/device/tun_offload.h"

namespace {

using namespace vantor::tunnel;

constexpr int kFrame = 1500;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 10 || size > 10 + 0xFFFF) return 0;
  TunPacketInfo info;
  info.flags = data[0] & 3;
  info.gso = (data[1] & 1) ? TunPacketInfo::kGsoTcpV4 : TunPacketInfo::kGsoNone;
  info.headerLength = be16(data + 2);
  info.segmentSize = be16(data + 4);
  info.checksumStart = be16(data + 6);
  info.checksumOffset = be16(data + 8);
  // Copies of exactly the packet's size, so that any access past it is caught.
  std::vector<uint8_t> packet(data + 10, data + size);
  const int len = static_cast<int>(packet.size());

  if (info.gso == TunPacketInfo::kGsoNone) {
    TunOffload_PrepareInput(packet.data(), len, info);
    // The same bytes as a packet of the stack on its way to the device.
    TunMerger out;
    TunMerger_Init(&out, len);
    if (len > 0 && TunMerger_Start(&out, packet.data(), len)) {
      TunPacketInfo written;
      int n;
      TunMerger_Finish(&out, &written, &n);
      if (n != len ||
          (written.flags & TunPacketInfo::kNeedsChecksum && written.checksumStart + written.checksumOffset + 2 > n))
        __builtin_trap();
    }
    return 0;
  }

  TunSegmenter s;
  if (!TunSegmenter_Init(&s, packet.data(), len, info, kFrame)) return 0;
  TcpV4View super;
  if (!TcpV4_Parse(packet.data(), len, &super)) __builtin_trap();
  const int header = super.ipHeaderLength + super.tcpHeaderLength;
  std::vector<uint8_t> payload;
  TunMerger m;
  TunMerger_Init(&m, 0xFFFF);
  std::vector<uint8_t> merged;
  auto take = [&] {
    TunPacketInfo out;
    int n;
    const uint8_t* p = TunMerger_Finish(&m, &out, &n);
    TcpV4View v;
    if (TcpV4_Parse(p, n, &v)) merged.insert(merged.end(), p + v.ipHeaderLength + v.tcpHeaderLength, p + n);
    TunMerger_Clear(&m);
  };
  while (int n = TunSegmenter_NextLength(&s)) {
    if (n > kFrame || n < header) __builtin_trap();
    std::vector<uint8_t> seg(static_cast<std::size_t>(n));
    if (TunSegmenter_Next(&s, seg.data()) != n) __builtin_trap();
    TcpV4View v;
    if (!TcpV4_Parse(seg.data(), n, &v) || v.payloadLength != n - header ||
        v.seq != super.seq + static_cast<uint32_t>(payload.size()))
      __builtin_trap();
    payload.insert(payload.end(), seg.begin() + header, seg.end());
    if (TunMerger_TryAdd(&m, seg.data(), n)) continue;
    if (m.length > 0) take();
    if (!TunMerger_Start(&m, seg.data(), n)) __builtin_trap();
  }
  if (m.length > 0) take();
  if (static_cast<int>(payload.size()) != super.payloadLength ||
      std::memcmp(payload.data(), packet.data() + header, payload.size()) != 0 || merged != payload)
    __builtin_trap();
  return 0;
}
