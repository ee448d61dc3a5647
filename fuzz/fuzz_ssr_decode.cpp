// What a ShadowsocksR node sends back passes the plugins' decoders before
// anything else looks at it: the obfs plugins' ClientDecode and the protocol
// plugins' ClientPostDecrypt (stream) and ClientUdpPostDecrypt (datagrams).
//
// Input: byte 0 picks the plugin (protocols, then obfs, in table order);
// byte 1 holds switches; byte 2 the number (1-4) of read-size bytes that
// follow; the rest is the payload. The reads cycle through the read sizes.
//   bit 0  the client sends its first data before anything arrives
//   bit 1  sealed: the payload is a list of frames [size][padding][bytes],
//          which the harness frames as a server would (MACs included); the
//          decoder must then accept every read and return exactly the
//          frames' bytes, in order
//   bit 2  datagrams instead of the stream: each read, or sealed each
//          frame, is one datagram
//   bit 3  the protocol parameter names a user ("7:pw") instead of none
//   bit 4  the obfs adds 5 bytes of overhead (as tls1.2_ticket_auth does)
//   bit 5  with bit 1: one byte of the sealed bytes is changed (position
//          and value from the payload's last three bytes); the protocols
//          that check every byte must then hand out at most a prefix of
//          the frames' bytes, and a changed auth_aes128 datagram is refused
// Unsealed, the payload goes in as it is and the decoders must merely stay
// inside their buffers and give a result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/ssr/auth_data.h"
#include "crypto/ssr/obfs_tls.h"
#include "crypto/ssr/plugin_bytes.h"
#include "crypto/ssr/plugins.h"
#include "crypto/ssr/protocol_auth.h"
#include "crypto/ssr/protocol_auth_chain.h"
#include "crypto/ssr/ssr_helpers.h"
#include "platform/heap.h"

using namespace vantor;
using Bytes = std::vector<uint8_t>;

namespace {

const char* const kNames[] = {
    "origin", "auth_sha1_v4", "auth_aes128_md5", "auth_aes128_sha1", "auth_chain_a",       "auth_chain_b",
    "plain",  "http_simple",  "http_post",       "random_head",      "tls1.2_ticket_auth", "tls1.2_ticket_fastauth"};
constexpr int kPlugins = 12;
constexpr int kFirstObfs = 6;

struct Node {
  uint8_t iv[16];
  uint8_t key[32];
  Node() {
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(0xA0 + i);
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0x10 + 3 * i);
  }
};
const Node kNode;

std::unique_ptr<CObfs> make(int index, const std::string& param, uint16_t overhead) {
  auto p = CreatePlugin(kNames[index], param);
  if (!p) __builtin_trap();
  p->SetServerInfo("node.example", 8388, "", InitAuthData(), kNode.iv, 16, kNode.key, 32, nullptr, 0, 1452, 30,
                   overhead, 65507);
  return p;
}

struct Outcome {
  bool ok = true;
  Bytes out;
  int sendBacks = 0;
};

// One call as the session makes it: the bytes in a service-heap block of
// exactly their size, the result copied out of whatever block comes back.
bool call(CObfs& p, int index, bool datagram, const uint8_t* data, std::size_t n, Outcome& o) {
  auto* buf = static_cast<uint8_t*>(platform::heapAlloc(n ? n : 1));
  if (n) std::memcpy(buf, data, n);
  int length = static_cast<int>(n), outLength = -1;
  bool sendBack = false, ok;
  if (datagram)
    ok = p.ClientUdpPostDecrypt(buf, length, outLength);
  else if (index >= kFirstObfs)
    ok = p.ClientDecode(buf, length, 65536, outLength, sendBack);
  else
    ok = p.ClientPostDecrypt(buf, length, outLength);
  if (ok) {
    if (outLength < 0 || (outLength > 0 && !buf)) __builtin_trap();
    o.out.insert(o.out.end(), buf, buf + outLength);  // a short block shows up here
    o.sendBacks += sendBack ? 1 : 0;
  }
  platform::heapFree(buf);
  return ok;
}

struct Frame {
  Bytes data;
  uint8_t padding;
};

std::vector<Frame> framesOf(const uint8_t* p, std::size_t n) {
  std::vector<Frame> frames;
  std::size_t at = 0;
  while (at + 2 <= n) {
    std::size_t len = p[at] * 9u % 2001;
    uint8_t padding = p[at + 1];
    at += 2;
    if (len > n - at) len = n - at;
    frames.push_back({Bytes(p + at, p + at + len), padding});
    at += len;
  }
  return frames;
}

void put(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

// ---- a server's framing of the stream -------------------------------------------

// auth_chain: length masked with the last server hash, the data RC4-encrypted
// at a drawn offset inside the padding, two bytes of the packet's HMAC.
void sealChain(CProtocolAuthChainA& client, const Bytes& clientFirst, const std::vector<Frame>& frames, Bytes& wire,
               Bytes& expect) {
  client.prepareUser();
  const std::string& userKey = client.userKey();
  uint8_t ivKey[48], clientHash[16], serverHash[16], rc4Key[16];
  std::memcpy(ivKey, kNode.iv, 16);
  std::memcpy(ivKey + 16, kNode.key, 32);
  HmacMd5(clientFirst.data(), 4, ivKey, sizeof ivKey, clientHash);
  std::memcpy(serverHash, client.lastServerHash(), 16);
  ssr::chainRc4Key(reinterpret_cast<const uint8_t*>(userKey.data()), userKey.size(), clientHash, 16, rc4Key);
  ssr::Rc4 rc4;
  rc4.setKey(rc4Key, 16);
  uint32_t number = 1;
  for (const Frame& f : frames) {
    Bytes d = f.data;
    // The server's MSS opens its first packet; one too small to leave room
    // for data is ignored, which changes nothing in the data.
    if (number == 1) d.insert(d.begin(), {f.padding, static_cast<uint8_t>(f.padding & 1 ? 0x05 : 0)});
    put(expect, f.data);
    const int dataLength = static_cast<int>(d.size());
    XorShift128Plus g;
    const int padding = client.RandomDataLength(dataLength, g, serverHash);
    const int offset = dataLength == 0 || padding == 0
                           ? 0
                           : static_cast<int>(g.Next() % CProtocolAuthChainA::kOffsetModulus % padding);
    Bytes packet(static_cast<std::size_t>(dataLength + padding + 2), 0x5A);
    platform::writeLe16(packet.data(),
                        (static_cast<uint32_t>(dataLength) ^ (serverHash[14] | serverHash[15] << 8)) & 0xFFFF);
    rc4.process(d.data(), d.size());
    if (dataLength) std::memcpy(packet.data() + 2 + offset, d.data(), d.size());
    std::string key = userKey;
    key.resize(key.size() + 4);
    platform::writeLe32(reinterpret_cast<uint8_t*>(key.data()) + userKey.size(), number++);
    HmacMd5(packet.data(), packet.size(), key.data(), key.size(), serverHash);
    packet.insert(packet.end(), serverHash, serverHash + 2);
    put(wire, packet);
  }
}

// ServerHello (with the client's id and a MAC of its random), ChangeCipherSpec
// and Finished (a MAC of the whole flight), then one application-data record
// per frame.
void sealTls(CObfsTls12TickAuth& client, const std::vector<Frame>& frames, uint8_t fill, Bytes& wire, Bytes& expect) {
  Bytes flight = {0x16, 0x03, 0x03, 0x00, 0x4A, 0x02, 0x00, 0x00, 0x46, 0x03, 0x03};
  flight.resize(flight.size() + 32, fill);
  client.mac(flight.data() + 11, 22, flight.data() + 33);
  flight.push_back(0x20);
  flight.insert(flight.end(), client.clientId(), client.clientId() + 32);
  flight.insert(flight.end(), {0xC0, 0x2F, 0x00});
  flight.insert(flight.end(), {0x14, 0x03, 0x03, 0x00, 0x01, 0x01, 0x16, 0x03, 0x03, 0x00, 0x20});
  flight.resize(flight.size() + 22, static_cast<uint8_t>(fill ^ 0x44));
  flight.resize(flight.size() + 10);
  client.mac(flight.data(), flight.size() - 10, flight.data() + flight.size() - 10);
  put(wire, flight);
  for (const Frame& f : frames) {
    wire.insert(wire.end(),
                {0x17, 0x03, 0x03, static_cast<uint8_t>(f.data.size() >> 8), static_cast<uint8_t>(f.data.size())});
    put(wire, f.data);
    put(expect, f.data);
  }
}

// Returns false when this plugin has no sealed stream form for these frames.
bool sealStream(int index, CObfs& p, const Bytes& clientFirst, const std::vector<Frame>& frames,
                std::vector<Bytes>& wire, Bytes& expect, const std::string& param, uint16_t overhead) {
  const std::string name = kNames[index];
  Bytes w;
  if (name == "origin" || name == "plain") {
    for (const Frame& f : frames) put(w, f.data), put(expect, f.data);
  } else if (name == "auth_sha1_v4") {
    for (const Frame& f : frames) {
      CProtocol_auth_sha1_v4::appendDataPacket(w, f.data.data(), static_cast<int>(f.data.size()), f.padding);
      put(expect, f.data);
    }
  } else if (name == "auth_aes128_md5" || name == "auth_aes128_sha1") {
    // The server frames its data as the client frames data packets, with
    // the same keys and its own packet numbers.
    auto server = make(index, param, overhead);
    auto* s = dynamic_cast<CProtocol_auth_aes128_md5*>(server.get());
    auto* c = dynamic_cast<CProtocol_auth_aes128_md5*>(&p);
    if (!s || !c) __builtin_trap();
    c->prepareUser();
    s->prepareUser();
    if (std::memcmp(s->userKey(), c->userKey(), static_cast<std::size_t>(c->userKeyLength())) != 0) __builtin_trap();
    for (const Frame& f : frames) {
      s->appendDataPacket(w, f.data.data(), static_cast<int>(f.data.size()), f.padding);
      put(expect, f.data);
    }
  } else if (name == "auth_chain_a" || name == "auth_chain_b") {
    if (frames.empty()) return false;
    sealChain(*dynamic_cast<CProtocolAuthChainA*>(&p), clientFirst, frames, w, expect);
  } else if (name == "http_simple" || name == "http_post") {
    const uint8_t pad = frames.empty() ? 0 : frames[0].padding;
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(pad) + "\r\nX-Pad: ";
    head.append(pad % 64, 'h');
    head += "\r\n\r\n";
    w.assign(head.begin(), head.end());
    for (const Frame& f : frames) put(w, f.data), put(expect, f.data);
  } else if (name == "random_head") {
    // The server's disguise comes alone; data follows it.
    const uint8_t pad = frames.empty() ? 0 : frames[0].padding;
    wire.push_back(Bytes(pad % 96 + 8u, pad));
    for (const Frame& f : frames) put(w, f.data), put(expect, f.data);
  } else {
    sealTls(*dynamic_cast<CObfsTls12TickAuth*>(&p), frames, frames.empty() ? 0 : frames[0].padding, w, expect);
  }
  wire.push_back(std::move(w));
  return true;
}

// ---- a server's datagrams -------------------------------------------------------

// Returns false when the datagram form cannot carry this data.
bool sealDatagram(int index, CObfs& p, const Frame& f, Bytes& wire) {
  const std::string name = kNames[index];
  wire = f.data;
  if (name == "auth_aes128_md5" || name == "auth_aes128_sha1") {
    // The data and four bytes of its HMAC under the node key.
    if (f.data.empty()) return false;
    uint8_t check[4];
    dynamic_cast<CProtocol_auth_aes128_md5&>(p).mac(wire.data(), wire.size(), kNode.key, 32, check, 4);
    wire.insert(wire.end(), check, check + 4);
  } else if (name == "auth_chain_a" || name == "auth_chain_b") {
    // RC4-encrypted data, padding drawn from the tail's hash, the 7-byte tail
    // and one byte of an HMAC under the user key.
    auto& chain = dynamic_cast<CProtocolAuthChainA&>(p);
    chain.prepareUser();
    const std::string& userKey = chain.userKey();
    uint8_t tail[7] = {f.padding, 1, 2, 3, 4, 5, static_cast<uint8_t>(f.data.size())};
    uint8_t hash[16], rc4Key[16], check[16];
    HmacMd5(tail, 7, kNode.key, 32, hash);
    XorShift128Plus g;
    ssr::seedGenerator(g, hash);
    const std::size_t padding = g.Next() % 127;
    if (f.data.empty() && padding == 0) return false;
    ssr::chainRc4Key(reinterpret_cast<const uint8_t*>(userKey.data()), userKey.size(), hash, 16, rc4Key);
    ssr::Rc4 rc4;
    rc4.setKey(rc4Key, 16);
    rc4.process(wire.data(), wire.size());
    wire.resize(wire.size() + padding, 0x33);
    wire.insert(wire.end(), tail, tail + 7);
    HmacMd5(wire.data(), wire.size(), userKey.data(), userKey.size(), check);
    wire.push_back(check[0]);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const int index = data[0] % kPlugins;
  const uint8_t flags = data[1];
  const bool prime = flags & 1, sealed = flags & 2, datagram = flags & 4, tamper = sealed && (flags & 32);
  const std::size_t splits = data[2] % 4 + 1;
  if (size < 3 + splits + (tamper ? 3 : 0)) return 0;
  std::size_t readSizes[4];
  for (std::size_t i = 0; i < splits; ++i) {
    const uint8_t s = data[3 + i];
    readSizes[i] = s < 128 ? s + 1u : (s - 127u) * 97;
  }
  const uint8_t* payload = data + 3 + splits;
  std::size_t payloadSize = size - 3 - splits;
  // Tampering: the last three bytes name a position in the sealed bytes and
  // a nonzero value to XOR into it.
  std::size_t tamperAt = 0;
  uint8_t tamperWith = 0;
  if (tamper) {
    payloadSize -= 3;
    tamperAt = payload[payloadSize] | payload[payloadSize + 1] << 8;
    tamperWith = payload[payloadSize + 2] ? payload[payloadSize + 2] : 0x80;
  }
  const std::string name = kNames[index];
  // Protocols whose every data byte is covered by a check the harness cannot
  // meet by chance: a changed byte ends decoding, or leaves it waiting, but
  // never changes what comes out.
  const bool checked = name == "auth_sha1_v4" || name == "auth_aes128_md5" || name == "auth_aes128_sha1";

  const bool protocol = index < kFirstObfs;
  const std::string param = protocol && (flags & 8) ? "7:pw" : "";
  const int protocolOverhead = !protocol || name == "origin"      ? 0
                               : name.rfind("auth_chain", 0) == 0 ? CProtocolAuthChainA::kOverhead
                                                                  : CProtocolAuth::kOverhead;
  const auto overhead = static_cast<uint16_t>(protocolOverhead + (flags & 16 ? 5 : 0));
  auto p = make(index, param, overhead);
  if (protocol && p->GetOverhead() != protocolOverhead) __builtin_trap();

  // The client's first data: a SOCKS address and a few bytes.
  Bytes clientFirst;
  if (prime || sealed) {
    Bytes first = {1, 127, 0, 0, 1, 0, 80, 'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1'};
    auto* buf = static_cast<uint8_t*>(platform::heapAlloc(first.size()));
    std::memcpy(buf, first.data(), first.size());
    int outLength = 0;
    bool ok = protocol
                  ? p->ClientPreEncrypt(buf, static_cast<int>(first.size()), outLength)
                  : p->ClientEncode(buf, static_cast<int>(first.size()), static_cast<int>(first.size()), outLength);
    if (!ok || outLength < 0) __builtin_trap();
    clientFirst.assign(buf, buf + outLength);
    platform::heapFree(buf);
  }

  if (datagram) {
    std::vector<Frame> datagrams;
    if (sealed) {
      datagrams = framesOf(payload, payloadSize);
    } else {
      for (std::size_t at = 0, i = 0; at < payloadSize; ++i) {
        std::size_t n = readSizes[i % splits] < payloadSize - at ? readSizes[i % splits] : payloadSize - at;
        datagrams.push_back({Bytes(payload + at, payload + at + n), 0});
        at += n;
      }
    }
    for (std::size_t k = 0; k < datagrams.size(); ++k) {
      const Frame& f = datagrams[k];
      Bytes wire;
      if (sealed && !sealDatagram(index, *p, f, wire)) continue;
      // Only the first datagram is tampered with; the later ones must still pass.
      const bool changed = tamper && k == 0 && !wire.empty();
      if (changed) wire[tamperAt % wire.size()] ^= tamperWith;
      const Bytes& in = sealed ? wire : f.data;
      Outcome one;
      bool ok = call(*p, index, true, in.data(), in.size(), one);
      if (changed) {
        if (ok && name.rfind("auth_aes128", 0) == 0) __builtin_trap();  // four bytes of HMAC
        continue;
      }
      if (sealed && (!ok || one.out != f.data)) __builtin_trap();
    }
    return 0;
  }

  std::vector<Bytes> segments;
  Bytes expect;
  if (sealed) {
    if (!sealStream(index, *p, clientFirst, framesOf(payload, payloadSize), segments, expect, param, overhead))
      return 0;
    if (tamper) {
      if (segments.back().empty()) return 0;
      segments.back()[tamperAt % segments.back().size()] ^= tamperWith;
    }
  } else {
    segments.emplace_back(payload, payload + payloadSize);
  }
  // Every segment before the last arrives in one read of its own.
  Outcome o;
  bool failed = false;
  std::size_t i = 0;
  for (std::size_t k = 0; k < segments.size() && !failed; ++k) {
    const Bytes& segment = segments[k];
    const bool whole = k + 1 < segments.size();
    for (std::size_t at = 0; at < segment.size(); ++i) {
      std::size_t n = readSizes[i % splits] < segment.size() - at ? readSizes[i % splits] : segment.size() - at;
      if (whole) n = segment.size();
      if (!call(*p, index, false, segment.data() + at, n, o)) {
        failed = true;
        break;
      }
      at += n;
    }
  }
  if (!sealed) return 0;
  if (tamper) {
    if (checked && (o.out.size() > expect.size() || !std::equal(o.out.begin(), o.out.end(), expect.begin())))
      __builtin_trap();
    return 0;
  }
  if (failed || o.out != expect) __builtin_trap();
  // The obfs plugins that answer the server's handshake ask for it once.
  const int handshakes = name == "random_head" || name.rfind("tls1.2", 0) == 0 ? 1 : 0;
  if (o.sendBacks != handshakes) __builtin_trap();
  return 0;
}
