// auth_chain_a and auth_chain_b: every packet's MAC keys the next packet's
// length mask and padding generator, and the payload is RC4-encrypted with a
// per-connection key. auth_chain_b draws its padding from two size tables
// derived from the node key.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "crypto/ssr/obfs.h"
#include "crypto/ssr/plugin_bytes.h"

namespace vantor {

namespace ssr {
// The per-connection generators: state from a 16-byte value (no warm-up), or
// with its first two bytes replaced by a length and four steps discarded.
void seedGenerator(XorShift128Plus& g, const uint8_t* value16);
void seedGenerator(XorShift128Plus& g, const uint8_t* value16, int length);
// The first 16 bytes of EVP_BytesToKey(MD5) of Base64(userKey) + Base64(hash).
void chainRc4Key(const uint8_t* userKey, std::size_t userKeyLength, const uint8_t* hash, std::size_t hashLength,
                 uint8_t out16[16]);
}  // namespace ssr

class CProtocolAuthChainA : public CProtocolAuth {
 public:
  static constexpr int kOverhead = 4;
  static constexpr int kFirstChunk = 1200;
  static constexpr int kMaxFrame = 4095;  // data plus padding of one received packet
  static constexpr uint64_t kOffsetModulus = 0x200000011ULL;

  CProtocolAuthChainA(std::string param, std::string_view tableName);
  ~CProtocolAuthChainA() override;

  void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) override;
  bool ClientPreEncrypt(uint8_t*& buffer, int length, int& outLength) override;
  bool ClientPostDecrypt(uint8_t*& buffer, int length, int& outLength) override;
  bool ClientUdpPreEncrypt(uint8_t*& buffer, int length, int& outLength) override;
  bool ClientUdpPostDecrypt(uint8_t*& buffer, int length, int& outLength) override;
  int RandomDataLength(int length, XorShift128Plus& random, const uint8_t* lastHash) override;

  // Bytes of data per packet after the first: the MSS less the overhead.
  int dataUnit() const;
  const std::string& userKey() const { return userKey_; }
  const uint8_t* userId() const { return userId_; }
  const uint8_t* lastClientHash() const { return lastClientHash_; }
  const uint8_t* lastServerHash() const { return lastServerHash_; }
  // For the tests: derives the user key and id now, as the first packet would.
  void prepareUser();

 protected:
  // The padding lengths used once the size tables (if any) had their say.
  static int fallbackPadding(int length, uint64_t r);

 private:
  void clearState();
  void appendAuthHeader(ssr::Bytes& out);
  void appendDataPacket(ssr::Bytes& out, const uint8_t* data, int length);

  uint8_t lastClientHash_[16] = {};
  uint8_t lastServerHash_[16] = {};
  // The whole text after ":" can be the key (up to 127 bytes), so it is kept
  // in a string rather than a fixed area.
  std::string userKey_;
  bool userReady_ = false;
  uint8_t userId_[4] = {};
  uint32_t sendNumber_ = 1;
  uint32_t recvNumber_ = 1;
  XorShift128Plus clientRandom_;
  XorShift128Plus serverRandom_;
  ssr::Rc4 sendRc4_;
  ssr::Rc4 recvRc4_;
  uint8_t rc4Key_[32] = {};
};

class CProtocolAuthChainB : public CProtocolAuthChainA {
 public:
  CProtocolAuthChainB(std::string param, std::string_view tableName);

  void SetServerInfo(const std::string& host, uint16_t port, const std::string& param, CAuthData* authData,
                     const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen, const uint8_t* recvIv, int recvIvLen,
                     uint16_t tcpMss, int headLen, uint16_t overhead, int bufferSize) override;
  int RandomDataLength(int length, XorShift128Plus& random, const uint8_t* lastHash) override;

  const std::vector<uint32_t>& sizeTable1() const { return table1_; }
  const std::vector<uint32_t>& sizeTable2() const { return table2_; }
  // The two tables a node key yields (first 16 bytes of the key).
  static void buildSizeTables(const uint8_t* key16, std::vector<uint32_t>& table1, std::vector<uint32_t>& table2);

 private:
  std::vector<uint32_t> table1_;
  std::vector<uint32_t> table2_;
};

}  // namespace vantor
