// The local service reads the tunnel's udpgw stream into a buffer and takes
// the complete messages at its start, whatever pieces the stream came in.
// The messages it takes must be exactly those of a plain reading of the
// stream, and a message taken as a datagram must be long enough for the
// flow workers, which cut it up without further checks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "service/udp_relay.h"

namespace {

using vantor::UdpgwAddress;
namespace udpgw = vantor::udpgw;

struct Seen {
  std::size_t offset;  // of the length prefix in the whole stream
  std::size_t framedLength;
  bool carriesData;
  uint8_t flags;
  uint16_t conid;
  UdpgwAddress address;
  bool operator==(const Seen& o) const {
    return offset == o.offset && framedLength == o.framedLength && carriesData == o.carriesData &&
           (!carriesData ||
            (flags == o.flags && conid == o.conid && address == o.address && address.type == o.address.type));
  }
};

// Every complete message of `s`, read plainly.
std::vector<Seen> reference(const std::vector<uint8_t>& s) {
  std::vector<Seen> out;
  std::size_t pos = 0;
  while (s.size() - pos >= 2) {
    const std::size_t l = s[pos] | s[pos + 1] << 8;
    if (s.size() - pos - 2 < l) break;
    Seen seen{pos, l + 2, false, 0, 0, {}};
    const uint8_t* m = s.data() + pos;
    if (l >= 3 && !(m[2] & udpgw::kFlagKeepalive)) {
      const bool v6 = (m[2] & udpgw::kFlagIpv6) != 0;
      // flags, conid, address, port
      if (l >= (v6 ? 3u + 16 + 2 : 3u + 4 + 2)) {
        seen.carriesData = true;
        seen.flags = m[2];
        seen.conid = static_cast<uint16_t>(m[3] | m[4] << 8);
        seen.address.type = v6 ? 2 : 1;
        std::memcpy(seen.address.address, m + 5, v6 ? 16 : 4);
        std::memcpy(&seen.address.portNetworkOrder, m + 5 + (v6 ? 16 : 4), 2);
      }
    }
    out.push_back(seen);
    pos += l + 2;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t step = data[0] * 37u % 4099 + 1;
  const std::vector<uint8_t> stream(data + 1, data + size);

  std::vector<Seen> got;
  std::vector<uint8_t> buffer;  // what has arrived and is not taken yet
  std::size_t taken = 0;        // bytes of the stream taken before buffer[0]
  for (std::size_t at = 0; at < stream.size(); at += step) {
    const std::size_t n = stream.size() - at < step ? stream.size() - at : step;
    buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(at + n));
    // An exact-size copy, so that a read past the buffered bytes is caught.
    std::vector<uint8_t> view(buffer);
    std::size_t used = 0;
    for (;;) {
      udpgw::Message m;
      bool carries = false;
      const std::size_t k = udpgw::nextMessage(view.data() + used, view.size() - used, m, carries);
      if (k == 0) break;
      if (k > view.size() - used) __builtin_trap();
      if (carries) {
        if (m.framed != view.data() + used || m.framedLength != k) __builtin_trap();
        // The workers overwrite byte 4 and copy from byte 5 on: the address
        // and port must be inside the message.
        const std::size_t least = m.address.type == 2 ? 23 : 11;
        if ((m.address.type != 1 && m.address.type != 2) || m.framedLength < least) __builtin_trap();
        if ((m.address.type == 2) != ((m.flags & udpgw::kFlagIpv6) != 0)) __builtin_trap();
        got.push_back({taken + used, k, true, m.flags, m.conid, m.address});
      } else {
        got.push_back({taken + used, k, false, 0, 0, {}});
      }
      used += k;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
    taken += used;
  }
  if (got != reference(stream)) __builtin_trap();
  if (stream.size() - taken != buffer.size()) __builtin_trap();
  return 0;
}
