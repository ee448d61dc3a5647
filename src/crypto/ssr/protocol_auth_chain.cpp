#include "crypto/ssr/protocol_auth_chain.h"

#include <algorithm>
#include <ctime>

namespace vantor {

using ssr::Bytes;

namespace ssr {

void seedGenerator(XorShift128Plus& g, const uint8_t* value16) {
  g.state0 = platform::readLe64(value16);
  g.state1 = platform::readLe64(value16 + 8);
}

void seedGenerator(XorShift128Plus& g, const uint8_t* value16, int length) {
  uint8_t v[16];
  std::memcpy(v, value16, 16);
  platform::writeLe16(v, static_cast<uint32_t>(length));
  seedGenerator(g, v);
  for (int i = 0; i < 4; ++i) g.Next();
}

void chainRc4Key(const uint8_t* userKey, std::size_t userKeyLength, const uint8_t* hash, std::size_t hashLength,
                 uint8_t out16[16]) {
  // EVP_BytesToKey with MD5 yields MD5(text) as its first 16 bytes, which is
  // all of the key RC4 takes here. The input differs for every connection, so
  // the derived-key cache of the ciphers would only grow.
  std::string text = Base64Encode(userKey, userKeyLength) + Base64Encode(hash, hashLength);
  Md5(text.data(), text.size(), out16);
}

}  // namespace ssr

namespace {

uint32_t nowSeconds() { return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr))); }

CAuthData* authOf(const ServerInfo& info) { return info.authData ? info.authData : GetProcessAuthData(); }

// The 2-byte length mask: bytes 14 and 15 of the previous packet's hash.
uint32_t lengthMask(const uint8_t* hash) { return uint32_t(hash[14]) | uint32_t(hash[15]) << 8; }

}  // namespace

CProtocolAuthChainA::CProtocolAuthChainA(std::string parameter, std::string_view tableName)
    : CProtocolAuth(tableName, std::move(parameter)) {
  overhead = kOverhead;
}

CProtocolAuthChainA::~CProtocolAuthChainA() { clearState(); }

void CProtocolAuthChainA::clearState() {
  std::memset(lastClientHash_, 0, sizeof lastClientHash_);
  std::memset(lastServerHash_, 0, sizeof lastServerHash_);
  userKey_.clear();
  userReady_ = false;
  std::memset(userId_, 0, sizeof userId_);
  sendNumber_ = recvNumber_ = 1;
  clientRandom_ = XorShift128Plus{};
  serverRandom_ = XorShift128Plus{};
  sendRc4_ = ssr::Rc4{};
  recvRc4_ = ssr::Rc4{};
  std::memset(rc4Key_, 0, sizeof rc4Key_);
}

void CProtocolAuthChainA::UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) {
  CProtocolAuth::UpdateIvKey(iv, ivLen, key, keyLen);
  clearState();
  overhead = kOverhead;
}

void CProtocolAuthChainA::prepareUser() {
  if (userReady_) return;
  uint32_t id = 0;
  std::string password;
  if (ssr::splitUserParam(param, id, password)) {
    platform::writeLe32(userId_, id);
    userKey_ = password;
  } else {
    RandomBytes(userId_, sizeof userId_);
    userKey_.assign(reinterpret_cast<const char*>(serverInfo.key), static_cast<std::size_t>(serverInfo.keyLen));
  }
  userReady_ = true;
}

int CProtocolAuthChainA::dataUnit() const {
  const int unit = int(serverInfo.tcpMss) - int(serverInfo.overhead);
  // An MSS not above the overhead is refused when announced; this only
  // guards a record filled in by hand.
  return unit > 0 ? unit : 1452 - kOverhead;
}

int CProtocolAuthChainA::fallbackPadding(int length, uint64_t r) {
  if (length > 1300) return static_cast<int>(r % 31);
  if (length > 900) return static_cast<int>(r % 127);
  if (length > 400) return static_cast<int>(r % 521);
  return static_cast<int>(r % 1021);
}

int CProtocolAuthChainA::RandomDataLength(int length, XorShift128Plus& random, const uint8_t* lastHash) {
  if (length > 1440) return 0;
  ssr::seedGenerator(random, lastHash, length);
  return fallbackPadding(length, random.Next());
}

void CProtocolAuthChainA::appendAuthHeader(Bytes& out) {
  prepareUser();
  const std::size_t at = out.size();
  out.resize(at + 36);
  uint8_t* p = out.data() + at;

  uint8_t ivKey[2 * ServerInfo::kMaxIvKeyLength];
  std::memcpy(ivKey, serverInfo.iv, static_cast<std::size_t>(serverInfo.ivLen));
  std::memcpy(ivKey + serverInfo.ivLen, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen));

  RandomBytes(p, 4);
  HmacMd5(p, 4, ivKey, static_cast<std::size_t>(serverInfo.ivLen + serverInfo.keyLen), lastClientHash_);
  std::memcpy(p + 4, lastClientHash_, 8);
  for (int i = 0; i < 4; ++i) p[12 + i] = userId_[i] ^ lastClientHash_[8 + i];

  uint8_t identity[16] = {};
  CAuthData* auth = authOf(serverInfo);
  platform::writeLe32(identity, nowSeconds());
  platform::writeLe32(identity + 4, auth->clientId.load(std::memory_order_relaxed));
  auth->CheckConnectionId();
  platform::writeLe32(identity + 8, auth->NextConnectionId());
  platform::writeLe16(identity + 12, serverInfo.overhead);
  const std::string aesKeyText = Base64Encode(userKey_.data(), userKey_.size()) + name;
  uint8_t aesKey[kMd5Size];
  Md5(aesKeyText.data(), aesKeyText.size(), aesKey);
  Aes128EcbBlock(aesKey, identity, p + 16);

  HmacMd5(p + 12, 20, userKey_.data(), userKey_.size(), lastServerHash_);
  std::memcpy(p + 32, lastServerHash_, 4);

  ssr::chainRc4Key(reinterpret_cast<const uint8_t*>(userKey_.data()), userKey_.size(), lastClientHash_, 16, rc4Key_);
  sendRc4_.setKey(rc4Key_, 16);
  recvRc4_.setKey(rc4Key_, 16);
}

void CProtocolAuthChainA::appendDataPacket(Bytes& out, const uint8_t* data, int length) {
  const int padding = RandomDataLength(length, clientRandom_, lastClientHash_);
  const int offset =
      length == 0 || padding == 0 ? 0 : static_cast<int>(clientRandom_.Next() % kOffsetModulus % padding);
  const int body = length + padding;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(body + 4));
  uint8_t* p = out.data() + at;
  platform::writeLe16(p, (static_cast<uint32_t>(length) ^ lengthMask(lastClientHash_)) & 0xFFFF);
  // Random bytes around the data, the data itself RC4-encrypted in place.
  RandomBytes(p + 2, static_cast<std::size_t>(offset));
  RandomBytes(p + 2 + offset + length, static_cast<std::size_t>(padding - offset));
  if (length > 0) {
    std::memcpy(p + 2 + offset, data, static_cast<std::size_t>(length));
    sendRc4_.process(p + 2 + offset, static_cast<std::size_t>(length));
  }
  std::string key = userKey_;
  key.resize(key.size() + 4);
  platform::writeLe32(reinterpret_cast<uint8_t*>(key.data()) + userKey_.size(), sendNumber_++);
  HmacMd5(p, static_cast<std::size_t>(body + 2), key.data(), key.size(), lastClientHash_);
  std::memcpy(p + body + 2, lastClientHash_, 2);
}

bool CProtocolAuthChainA::ClientPreEncrypt(uint8_t*& buffer, int length, int& outLength) {
  Bytes out;
  out.reserve(static_cast<std::size_t>(2 * length + 4096));
  int pos = 0;
  if (length > 0 && !headerSent) {
    appendAuthHeader(out);
    pos = std::min(length, kFirstChunk);
    appendDataPacket(out, buffer, pos);
    headerSent = 1;
  }
  const int unit = dataUnit();
  while (length - pos > unit) {
    appendDataPacket(out, buffer + pos, unit);
    pos += unit;
  }
  if (length - pos > 0) appendDataPacket(out, buffer + pos, length - pos);
  return ssr::handOver(buffer, out, outLength);
}

bool CProtocolAuthChainA::ClientPostDecrypt(uint8_t*& buffer, int length, int& outLength) {
  outLength = 0;
  prepareUser();
  if (!ssr::heapAppend(recvBuffer, recvBufferLength, buffer, length)) return false;
  Bytes out;
  std::string key = userKey_;
  key.resize(key.size() + 4);
  auto* number = reinterpret_cast<uint8_t*>(key.data()) + userKey_.size();
  while (recvBufferLength > 4) {
    const uint8_t* p = recvBuffer;
    const int dataLength = static_cast<int>((platform::readLe16(p) ^ lengthMask(lastServerHash_)) & 0xFFFF);
    const int padding = RandomDataLength(dataLength, serverRandom_, lastServerHash_);
    const int body = dataLength + padding;
    if (body > kMaxFrame) {
      ssr::heapRelease(recvBuffer, recvBufferLength);
      return false;
    }
    if (recvBufferLength < body + 4) break;
    platform::writeLe32(number, recvNumber_);
    uint8_t hash[16];
    HmacMd5(p, static_cast<std::size_t>(body + 2), key.data(), key.size(), hash);
    // The first packet opens with the server's MSS, so it cannot be shorter.
    if (std::memcmp(hash, p + body + 2, 2) != 0 || (recvNumber_ == 1 && dataLength < 2)) {
      ssr::heapRelease(recvBuffer, recvBufferLength);
      return false;
    }
    const int offset =
        dataLength == 0 || padding == 0 ? 0 : static_cast<int>(serverRandom_.Next() % kOffsetModulus % padding);
    const std::size_t at = out.size();
    ssr::append(out, p + 2 + offset, static_cast<std::size_t>(dataLength));
    recvRc4_.process(out.data() + at, static_cast<std::size_t>(dataLength));
    if (recvNumber_ == 1) {
      const auto mss = static_cast<int>(platform::readLe16(out.data() + at));
      // A unit must stay positive: an MSS that leaves no room for data is
      // ignored and the current one kept.
      if (mss > serverInfo.overhead) serverInfo.tcpMss = static_cast<uint16_t>(mss);
      out.erase(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(at + 2));
    }
    ++recvNumber_;
    std::memcpy(lastServerHash_, hash, 16);
    ssr::heapDrop(recvBuffer, recvBufferLength, body + 4);
  }
  if (out.empty()) return true;
  return ssr::handOver(buffer, out, outLength);
}

bool CProtocolAuthChainA::ClientUdpPreEncrypt(uint8_t*& buffer, int length, int& outLength) {
  prepareUser();
  length = std::max(length, 0);
  uint8_t tail[8];
  RandomBytes(tail, 3);
  uint8_t hash[16];
  HmacMd5(tail, 3, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen), hash);
  XorShift128Plus g;
  ssr::seedGenerator(g, hash);
  const int padding = static_cast<int>(g.Next() % 127);
  for (int i = 0; i < 4; ++i) tail[3 + i] = userId_[i] ^ hash[i];

  Bytes out(static_cast<std::size_t>(length + padding));
  if (length > 0) std::memcpy(out.data(), buffer, static_cast<std::size_t>(length));
  uint8_t rc4Key[16];
  ssr::chainRc4Key(reinterpret_cast<const uint8_t*>(userKey_.data()), userKey_.size(), hash, 16, rc4Key);
  ssr::Rc4 rc4;
  rc4.setKey(rc4Key, 16);
  rc4.process(out.data(), static_cast<std::size_t>(length));
  RandomBytes(out.data() + length, static_cast<std::size_t>(padding));
  ssr::append(out, tail, 7);
  uint8_t check[16];
  HmacMd5(out.data(), out.size(), userKey_.data(), userKey_.size(), check);
  out.push_back(check[0]);
  return ssr::handOver(buffer, out, outLength);
}

bool CProtocolAuthChainA::ClientUdpPostDecrypt(uint8_t*& buffer, int length, int& outLength) {
  outLength = 0;
  if (length <= 8) return false;
  prepareUser();
  uint8_t check[16];
  HmacMd5(buffer, static_cast<std::size_t>(length - 1), userKey_.data(), userKey_.size(), check);
  if (check[0] != buffer[length - 1]) return false;
  uint8_t hash[16];
  HmacMd5(buffer + length - 8, 7, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen), hash);
  XorShift128Plus g;
  ssr::seedGenerator(g, hash);
  const int padding = static_cast<int>(g.Next() % 127);
  const int dataLength = length - padding - 8;
  if (dataLength < 0) return false;
  uint8_t rc4Key[16];
  ssr::chainRc4Key(reinterpret_cast<const uint8_t*>(userKey_.data()), userKey_.size(), hash, 16, rc4Key);
  ssr::Rc4 rc4;
  rc4.setKey(rc4Key, 16);
  rc4.process(buffer, static_cast<std::size_t>(dataLength));
  outLength = dataLength;
  return true;
}

// ---------------------------------------------------------------- auth_chain_b

CProtocolAuthChainB::CProtocolAuthChainB(std::string parameter, std::string_view tableName)
    : CProtocolAuthChainA(std::move(parameter), tableName) {
  // Tables exist from the start (from the empty key) so that a padding
  // length can always be drawn; SetServerInfo rebuilds them for the node.
  buildSizeTables(serverInfo.key, table1_, table2_);
}

void CProtocolAuthChainB::buildSizeTables(const uint8_t* key16, std::vector<uint32_t>& table1,
                                          std::vector<uint32_t>& table2) {
  XorShift128Plus g;
  ssr::seedGenerator(g, key16);
  auto fill = [&g](std::vector<uint32_t>& table, uint64_t mask, int base) {
    const auto count = static_cast<std::size_t>((g.Next() & mask) + static_cast<uint64_t>(base));
    table.resize(count);
    for (auto& v : table) v = static_cast<uint32_t>(g.Next() % 2340 % 2040 % 1440);
    std::sort(table.begin(), table.end());
  };
  fill(table1, 7, 4);
  fill(table2, 15, 8);
}

void CProtocolAuthChainB::SetServerInfo(const std::string& host, uint16_t port, const std::string& nodeParam,
                                        CAuthData* authData, const uint8_t* iv, int ivLen, const uint8_t* key,
                                        int keyLen, const uint8_t* recvIv, int recvIvLen, uint16_t tcpMss, int headLen,
                                        uint16_t infoOverhead, int bufferSize) {
  CProtocolAuthChainA::SetServerInfo(host, port, nodeParam, authData, iv, ivLen, key, keyLen, recvIv, recvIvLen, tcpMss,
                                     headLen, infoOverhead, bufferSize);
  buildSizeTables(serverInfo.key, table1_, table2_);
}

int CProtocolAuthChainB::RandomDataLength(int length, XorShift128Plus& random, const uint8_t* lastHash) {
  if (length >= 1440) return 0;
  ssr::seedGenerator(random, lastHash, length);
  const auto need = static_cast<uint32_t>(length + serverInfo.overhead);
  const auto n1 = table1_.size(), n2 = table2_.size();
  std::size_t p = static_cast<std::size_t>(std::lower_bound(table1_.begin(), table1_.end(), need) - table1_.begin());
  std::size_t q = p + random.Next() % n1;
  if (q < n1) return static_cast<int>(table1_[q] - need);
  p = static_cast<std::size_t>(std::lower_bound(table2_.begin(), table2_.end(), need) - table2_.begin());
  q = p + random.Next() % n2;
  if (q < n2) return static_cast<int>(table2_[q] - need);
  if (q < p + n2 - 1) return 0;
  return fallbackPadding(length, random.Next());
}

}  // namespace vantor
