// The authenticating protocols auth_sha1_v4, auth_aes128_md5 and
// auth_aes128_sha1: a first packet carrying the client identity, then data
// packets with random padding and a checksum or a truncated HMAC.
#pragma once

#include <string>
#include <string_view>

#include "crypto/ssr/obfs.h"
#include "crypto/ssr/plugin_bytes.h"

namespace vantor {

class CProtocol_auth_sha1_v4 : public CProtocolAuth {
 public:
  static constexpr int kDataChunk = 2000;  // data bytes per packet after the first
  static constexpr int kMinPacket = 7;
  static constexpr int kMaxPacket = 8191;

  explicit CProtocol_auth_sha1_v4(std::string param);
  ~CProtocol_auth_sha1_v4() override;

  bool ClientPreEncrypt(uint8_t*& buffer, int length, int& outLength) override;
  bool ClientPostDecrypt(uint8_t*& buffer, int length, int& outLength) override;
  // No padding generator of its own; not used by this protocol.
  int RandomDataLength(int, XorShift128Plus&, const uint8_t*) override { return 0; }

  // Packet builders, public for the tests: `padding` is the R of the layout.
  void appendAuthPacket(ssr::Bytes& out, const uint8_t* data, int length, int padding);
  static void appendDataPacket(ssr::Bytes& out, const uint8_t* data, int length, int padding);
  static int dataPadding(int length);
};

class CProtocol_auth_aes128_md5 : public CProtocolAuth {
 public:
  static constexpr int kFirstChunk = 1200;  // data bytes in the authentication packet
  static constexpr int kDataChunk = 2000;
  static constexpr int kMinPacket = 8;
  static constexpr int kMaxPacket = 8191;

  // `tableName` is "auth_aes128_md5" or "auth_aes128_sha1" and picks the hashes.
  CProtocol_auth_aes128_md5(std::string param, std::string_view tableName);
  ~CProtocol_auth_aes128_md5() override;

  void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) override;
  bool ClientPreEncrypt(uint8_t*& buffer, int length, int& outLength) override;
  bool ClientPostDecrypt(uint8_t*& buffer, int length, int& outLength) override;
  bool ClientUdpPreEncrypt(uint8_t*& buffer, int length, int& outLength) override;
  bool ClientUdpPostDecrypt(uint8_t*& buffer, int length, int& outLength) override;
  int RandomDataLength(int, XorShift128Plus&, const uint8_t*) override { return 0; }

  // Truncated HMAC of the variant (MD5 or SHA-1): the first `n` bytes.
  void mac(const uint8_t* data, std::size_t length, const uint8_t* key, std::size_t keyLength, uint8_t* out,
           std::size_t n) const;
  // For the tests: derives the user key and id now, as the first packet would.
  void prepareUser();
  const uint8_t* userKey() const { return userKey_; }
  int userKeyLength() const { return userKeyLength_; }
  const uint8_t* userId() const { return userId_; }
  uint32_t sendPacketNumber() const { return sendNumber_; }
  uint32_t recvPacketNumber() const { return recvNumber_; }
  bool isSha1() const { return sha1_; }

  void appendAuthPacket(ssr::Bytes& out, const uint8_t* data, int length, int padding);
  void appendDataPacket(ssr::Bytes& out, const uint8_t* data, int length, int padding);
  // The data padding rule: chunk length and the length of the whole buffer.
  int dataPadding(int length, int fullLength) const;

 private:
  void clearUser();

  bool sha1_ = false;
  uint8_t userKey_[32] = {};  // MD5 or SHA-1 digest of the password, or the node key
  int userKeyLength_ = 0;     // 0: not derived yet
  uint8_t userId_[4] = {};
  uint32_t recvNumber_ = 1;
  uint32_t sendNumber_ = 1;
};

}  // namespace vantor
