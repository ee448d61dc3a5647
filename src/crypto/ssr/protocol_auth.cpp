#include "crypto/ssr/protocol_auth.h"

#include <algorithm>
#include <ctime>

namespace vantor {

using ssr::Bytes;

namespace {

constexpr char kSha1V4Name[] = "auth_sha1_v4";

uint32_t nowSeconds() { return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr))); }

// Both protocols take one connection number per authentication packet.
uint32_t takeConnectionId(CAuthData* auth) {
  auth->CheckConnectionId();
  return auth->NextConnectionId();
}

CAuthData* authOf(const ServerInfo& info) { return info.authData ? info.authData : GetProcessAuthData(); }

// The padding-length head shared by the data packets: one byte when it fits
// below 128, else 0xFF and two bytes in the protocol's order.
void writePadHead(uint8_t* p, int padBlock, bool bigEndian) {
  if (padBlock < 128) {
    p[0] = static_cast<uint8_t>(padBlock);
  } else {
    p[0] = 0xFF;
    if (bigEndian)
      platform::writeBe16(p + 1, static_cast<uint32_t>(padBlock));
    else
      platform::writeLe16(p + 1, static_cast<uint32_t>(padBlock));
  }
}

// Position of the data inside a received packet of `total` bytes, read from
// its padding head; 0 when the head points outside the packet.
int dataStart(const uint8_t* packet, int total, bool bigEndian) {
  int pad = packet[4];
  if (pad == 0xFF) pad = static_cast<int>(bigEndian ? platform::readBe16(packet + 5) : platform::readLe16(packet + 5));
  if (pad < 1 || pad + 4 > total - 4) return 0;
  return pad + 4;
}

}  // namespace

// ---------------------------------------------------------------- auth_sha1_v4

CProtocol_auth_sha1_v4::CProtocol_auth_sha1_v4(std::string parameter)
    : CProtocolAuth(kSha1V4Name, std::move(parameter)) {}

CProtocol_auth_sha1_v4::~CProtocol_auth_sha1_v4() = default;

int CProtocol_auth_sha1_v4::dataPadding(int length) {
  if (length > 1300) return 0;
  return static_cast<int>(RandomInt(length <= 400 ? 512 : 256));
}

void CProtocol_auth_sha1_v4::appendAuthPacket(Bytes& out, const uint8_t* data, int length, int padding) {
  const int total = padding + length + 29;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(total));
  uint8_t* p = out.data() + at;
  platform::writeBe16(p, static_cast<uint32_t>(total));
  // CRC over the length, the protocol name and the node key binds the packet
  // to this node without revealing the key.
  Bytes crcInput(p, p + 2);
  ssr::append(crcInput, kSha1V4Name, sizeof kSha1V4Name - 1);
  ssr::append(crcInput, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen));
  Crc32Bytes(crcInput.data(), crcInput.size(), p + 2);
  RandomBytes(p + 6, static_cast<std::size_t>(padding + 1));
  writePadHead(p + 6, padding + 1, true);
  uint8_t* q = p + padding + 7;
  CAuthData* auth = authOf(serverInfo);
  platform::writeLe32(q, nowSeconds());
  platform::writeLe32(q + 4, auth->clientId.load(std::memory_order_relaxed));
  platform::writeLe32(q + 8, takeConnectionId(auth));
  if (length > 0) std::memcpy(q + 12, data, static_cast<std::size_t>(length));
  uint8_t ivKey[2 * ServerInfo::kMaxIvKeyLength];
  std::memcpy(ivKey, serverInfo.iv, static_cast<std::size_t>(serverInfo.ivLen));
  std::memcpy(ivKey + serverInfo.ivLen, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen));
  uint8_t digest[kSha1Size];
  HmacSha1(p, static_cast<std::size_t>(total - 10), ivKey,
           static_cast<std::size_t>(serverInfo.ivLen + serverInfo.keyLen), digest);
  std::memcpy(p + total - 10, digest, 10);
}

void CProtocol_auth_sha1_v4::appendDataPacket(Bytes& out, const uint8_t* data, int length, int padding) {
  const int total = padding + length + 9;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(total));  // padding bytes stay zero
  uint8_t* p = out.data() + at;
  platform::writeBe16(p, static_cast<uint32_t>(total));
  platform::writeLe16(p + 2, Crc32(p, 2) & 0xFFFF);
  writePadHead(p + 4, padding + 1, true);
  if (length > 0) std::memcpy(p + padding + 5, data, static_cast<std::size_t>(length));
  platform::writeLe32(p + total - 4, ssr::Adler32(p, static_cast<std::size_t>(total - 4)));
}

bool CProtocol_auth_sha1_v4::ClientPreEncrypt(uint8_t*& buffer, int length, int& outLength) {
  Bytes out;
  out.reserve(static_cast<std::size_t>(2 * length + 4096));
  int pos = 0;
  if (length > 0 && !headerSent) {
    int head = std::min(HeadLength(buffer, length), length);
    appendAuthPacket(out, buffer, head, static_cast<int>(RandomInt(head <= 400 ? 1024 : 128)));
    headerSent = 1;
    pos = head;
  }
  while (length - pos > kDataChunk) {
    appendDataPacket(out, buffer + pos, kDataChunk, dataPadding(kDataChunk));
    pos += kDataChunk;
  }
  if (length - pos > 0) appendDataPacket(out, buffer + pos, length - pos, dataPadding(length - pos));
  return ssr::handOver(buffer, out, outLength);
}

bool CProtocol_auth_sha1_v4::ClientPostDecrypt(uint8_t*& buffer, int length, int& outLength) {
  outLength = 0;
  if (!ssr::heapAppend(recvBuffer, recvBufferLength, buffer, length)) return false;
  Bytes out;
  while (recvBufferLength > 4) {
    const uint8_t* p = recvBuffer;
    const int total = static_cast<int>(platform::readBe16(p));
    if ((Crc32(p, 2) & 0xFFFF) != platform::readLe16(p + 2) || total < kMinPacket || total > kMaxPacket) {
      ssr::heapRelease(recvBuffer, recvBufferLength);
      return false;
    }
    if (recvBufferLength < total) break;
    const int start = dataStart(p, total, true);
    if (ssr::Adler32(p, static_cast<std::size_t>(total - 4)) != platform::readLe32(p + total - 4) || start == 0) {
      ssr::heapRelease(recvBuffer, recvBufferLength);
      return false;
    }
    ssr::append(out, p + start, static_cast<std::size_t>(total - 4 - start));
    ssr::heapDrop(recvBuffer, recvBufferLength, total);
  }
  if (out.empty()) return true;
  return ssr::handOver(buffer, out, outLength);
}

// ---------------------------------------------------------------- auth_aes128

CProtocol_auth_aes128_md5::CProtocol_auth_aes128_md5(std::string parameter, std::string_view tableName)
    : CProtocolAuth(tableName, std::move(parameter)) {
  sha1_ = tableName == "auth_aes128_sha1";
}

CProtocol_auth_aes128_md5::~CProtocol_auth_aes128_md5() { clearUser(); }

void CProtocol_auth_aes128_md5::clearUser() {
  std::memset(userKey_, 0, sizeof userKey_);
  userKeyLength_ = 0;
  std::memset(userId_, 0, sizeof userId_);
  recvNumber_ = 1;
  sendNumber_ = 1;
}

void CProtocol_auth_aes128_md5::UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) {
  CProtocolAuth::UpdateIvKey(iv, ivLen, key, keyLen);
  clearUser();
}

void CProtocol_auth_aes128_md5::mac(const uint8_t* data, std::size_t length, const uint8_t* key, std::size_t keyLength,
                                    uint8_t* out, std::size_t n) const {
  uint8_t digest[kSha1Size];
  if (sha1_)
    HmacSha1(data, length, key, keyLength, digest);
  else
    HmacMd5(data, length, key, keyLength, digest);
  std::memcpy(out, digest, n);
}

void CProtocol_auth_aes128_md5::prepareUser() {
  if (userKeyLength_ > 0) return;
  uint32_t id = 0;
  std::string password;
  if (ssr::splitUserParam(param, id, password)) {
    platform::writeLe32(userId_, id);
    if (sha1_)
      Sha1(password.data(), password.size(), userKey_);
    else
      Md5(password.data(), password.size(), userKey_);
    userKeyLength_ = sha1_ ? static_cast<int>(kSha1Size) : static_cast<int>(kMd5Size);
  } else {
    RandomBytes(userId_, sizeof userId_);
    std::memcpy(userKey_, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen));
    userKeyLength_ = serverInfo.keyLen;
  }
}

int CProtocol_auth_aes128_md5::dataPadding(int length, int fullLength) const {
  if (length > 1300 || fullLength >= serverInfo.bufferSize) return 0;
  const auto r = static_cast<uint32_t>(NextRandom64());
  if (length > 1100) return static_cast<int>(r & 0x7F);
  if (length > 900) return static_cast<int>(r & 0xFF);
  if (length > 400) return static_cast<int>(r & 0x1FF);
  return static_cast<int>(r & 0x3FF);
}

void CProtocol_auth_aes128_md5::appendAuthPacket(Bytes& out, const uint8_t* data, int length, int padding) {
  prepareUser();
  const int total = padding + length + 35;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(total));
  uint8_t* p = out.data() + at;

  uint8_t ivKey[2 * ServerInfo::kMaxIvKeyLength];
  const auto ivKeyLength = static_cast<std::size_t>(serverInfo.ivLen + serverInfo.keyLen);
  std::memcpy(ivKey, serverInfo.iv, static_cast<std::size_t>(serverInfo.ivLen));
  std::memcpy(ivKey + serverInfo.ivLen, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen));

  RandomBytes(p, 1);
  mac(p, 1, ivKey, ivKeyLength, p + 1, 6);
  std::memcpy(p + 7, userId_, 4);

  uint8_t identity[16];
  CAuthData* auth = authOf(serverInfo);
  platform::writeLe32(identity, nowSeconds());
  platform::writeLe32(identity + 4, auth->clientId.load(std::memory_order_relaxed));
  platform::writeLe32(identity + 8, takeConnectionId(auth));
  platform::writeLe16(identity + 12, static_cast<uint32_t>(total));
  platform::writeLe16(identity + 14, static_cast<uint32_t>(padding));
  std::string aesKeyText = Base64Encode(userKey_, static_cast<std::size_t>(userKeyLength_)) + name;
  uint8_t aesKey[kMd5Size];
  Md5(aesKeyText.data(), aesKeyText.size(), aesKey);
  Aes128EcbBlock(aesKey, identity, p + 11);
  mac(p + 7, 20, ivKey, ivKeyLength, p + 27, 4);

  RandomBytes(p + 31, static_cast<std::size_t>(padding));
  if (length > 0) std::memcpy(p + 31 + padding, data, static_cast<std::size_t>(length));
  mac(p, static_cast<std::size_t>(total - 4), userKey_, static_cast<std::size_t>(userKeyLength_), p + total - 4, 4);
}

void CProtocol_auth_aes128_md5::appendDataPacket(Bytes& out, const uint8_t* data, int length, int padding) {
  prepareUser();
  const int total = padding + length + 9;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(total));
  uint8_t* p = out.data() + at;
  uint8_t key[36];
  std::memcpy(key, userKey_, static_cast<std::size_t>(userKeyLength_));
  platform::writeLe32(key + userKeyLength_, sendNumber_);
  const auto keyLength = static_cast<std::size_t>(userKeyLength_ + 4);
  ++sendNumber_;

  platform::writeLe16(p, static_cast<uint32_t>(total));
  mac(p, 2, key, keyLength, p + 2, 2);
  RandomBytes(p + 4, static_cast<std::size_t>(padding + 1));
  writePadHead(p + 4, padding + 1, false);
  if (length > 0) std::memcpy(p + padding + 5, data, static_cast<std::size_t>(length));
  mac(p, static_cast<std::size_t>(total - 4), key, keyLength, p + total - 4, 4);
}

bool CProtocol_auth_aes128_md5::ClientPreEncrypt(uint8_t*& buffer, int length, int& outLength) {
  Bytes out;
  out.reserve(static_cast<std::size_t>(2 * length + 4096));
  int pos = 0;
  if (length > 0 && !headerSent) {
    const int head = std::min(length, kFirstChunk);
    const auto r = static_cast<uint32_t>(NextRandom64());
    appendAuthPacket(out, buffer, head, static_cast<int>(head > 400 ? r & 0x1FF : r & 0x3FF));
    headerSent = 1;
    pos = head;
  }
  while (length - pos > kDataChunk) {
    appendDataPacket(out, buffer + pos, kDataChunk, dataPadding(kDataChunk, length));
    pos += kDataChunk;
  }
  if (length - pos > 0) appendDataPacket(out, buffer + pos, length - pos, dataPadding(length - pos, length));
  return ssr::handOver(buffer, out, outLength);
}

bool CProtocol_auth_aes128_md5::ClientPostDecrypt(uint8_t*& buffer, int length, int& outLength) {
  outLength = 0;
  prepareUser();
  if (!ssr::heapAppend(recvBuffer, recvBufferLength, buffer, length)) return false;
  Bytes out;
  uint8_t key[36];
  std::memcpy(key, userKey_, static_cast<std::size_t>(userKeyLength_));
  const auto keyLength = static_cast<std::size_t>(userKeyLength_ + 4);
  while (recvBufferLength > 4) {
    const uint8_t* p = recvBuffer;
    platform::writeLe32(key + userKeyLength_, recvNumber_);
    uint8_t check[4];
    mac(p, 2, key, keyLength, check, 2);
    const int total = static_cast<int>(platform::readLe16(p));
    if (std::memcmp(check, p + 2, 2) != 0 || total < kMinPacket || total > kMaxPacket) {
      ssr::heapRelease(recvBuffer, recvBufferLength);
      return false;
    }
    if (recvBufferLength < total) break;
    mac(p, static_cast<std::size_t>(total - 4), key, keyLength, check, 4);
    const int start = dataStart(p, total, false);
    if (std::memcmp(check, p + total - 4, 4) != 0 || start == 0) {
      ssr::heapRelease(recvBuffer, recvBufferLength);
      return false;
    }
    ++recvNumber_;
    ssr::append(out, p + start, static_cast<std::size_t>(total - 4 - start));
    ssr::heapDrop(recvBuffer, recvBufferLength, total);
  }
  if (out.empty()) return true;
  return ssr::handOver(buffer, out, outLength);
}

bool CProtocol_auth_aes128_md5::ClientUdpPreEncrypt(uint8_t*& buffer, int length, int& outLength) {
  prepareUser();
  Bytes out(buffer, buffer + std::max(length, 0));
  ssr::append(out, userId_, 4);
  uint8_t check[4];
  mac(out.data(), out.size(), userKey_, static_cast<std::size_t>(userKeyLength_), check, 4);
  ssr::append(out, check, 4);
  return ssr::handOver(buffer, out, outLength);
}

bool CProtocol_auth_aes128_md5::ClientUdpPostDecrypt(uint8_t*& buffer, int length, int& outLength) {
  outLength = 0;
  if (length <= 4) return false;
  // The server's datagrams are keyed with the node key, not the user key.
  uint8_t check[4];
  mac(buffer, static_cast<std::size_t>(length - 4), serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen), check,
      4);
  if (std::memcmp(check, buffer + length - 4, 4) != 0) return false;
  outLength = length - 4;
  return true;
}

}  // namespace vantor
