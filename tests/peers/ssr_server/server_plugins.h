// Server halves of the ShadowsocksR protocols and obfs plugins. Each checks
// what a client sends and frames what goes back the way the client expects.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ssrserver {

using Bytes = std::vector<uint8_t>;

// What the plugins of one connection (or of the UDP socket) know.
struct Context {
  Bytes key;                              // the node key derived from the password
  Bytes clientIv;                         // the IV (or AEAD salt) the client's stream opened with
  std::map<uint32_t, std::string> users;  // user id -> password, from -g "id:password,..."
  std::string obfsParam;                  // -G: when set, the hosts the client must name
  uint16_t tcpMss = 1452;                 // what auth_chain announces
  std::string error;                      // why the last call failed
};

class ServerProtocol {
 public:
  virtual ~ServerProtocol() = default;
  // Plaintext from the client's cipher stream -> application bytes.
  virtual bool decode(const uint8_t* data, std::size_t length, Bytes& out) = 0;
  // Application bytes -> plaintext for our cipher.
  virtual bool encode(const uint8_t* data, std::size_t length, Bytes& out) = 0;
  // One datagram from the client, in place; `userKey` is what the reply needs.
  virtual bool udpDecode(Bytes& datagram, std::string& userKey) = 0;
  virtual bool udpEncode(Bytes& datagram, const std::string& userKey) = 0;
};

class ServerObfs {
 public:
  virtual ~ServerObfs() = default;
  // Wire bytes -> ciphertext; `reply` receives bytes to send back at once.
  virtual bool decode(const uint8_t* data, std::size_t length, Bytes& out, Bytes& reply) = 0;
  // Ciphertext -> wire bytes.
  virtual bool encode(const uint8_t* data, std::size_t length, Bytes& out) = 0;
};

std::unique_ptr<ServerProtocol> makeProtocol(const std::string& name, Context& context);
std::unique_ptr<ServerObfs> makeObfs(const std::string& name, Context& context);

// Byte helpers of the server side.
inline void put(Bytes& out, const void* data, std::size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + length);
}
inline uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }
void randomFill(uint8_t* p, std::size_t length);
uint32_t randomBelow(uint32_t n);

}  // namespace ssrserver
