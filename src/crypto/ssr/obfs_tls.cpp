#include "crypto/ssr/obfs_tls.h"

#include <algorithm>
#include <ctime>
#include <vector>

namespace vantor {

using ssr::Bytes;
using ssr::equalsIgnoreCase;

namespace {

constexpr uint8_t kCipherSuites[] = {0xC0, 0x2B, 0xC0, 0x2F, 0xCC, 0xA9, 0xCC, 0xA8, 0xCC, 0x14,
                                     0xCC, 0x13, 0xC0, 0x0A, 0xC0, 0x14, 0xC0, 0x09, 0xC0, 0x13,
                                     0x00, 0x9C, 0x00, 0x35, 0x00, 0x2F, 0x00, 0x0A};

// signature_algorithms, status_request, signed_certificate_timestamp,
// channel_id, ec_point_formats, supported_groups, and a padding extension.
Bytes fixedExtensions() {
  static const uint8_t head[] = {
      0x00, 0x0D, 0x00, 0x16, 0x00, 0x14, 0x06, 0x01, 0x06, 0x03, 0x05, 0x01, 0x05,
      0x03, 0x04, 0x01, 0x04, 0x03, 0x03, 0x01, 0x03, 0x03, 0x02, 0x01, 0x02, 0x03,  // 26
      0x00, 0x05, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00,                          // 9
      0x00, 0x12, 0x00, 0x00,                                                        // 4
      0x75, 0x50, 0x00, 0x00,                                                        // 4
      0x00, 0x0B, 0x00, 0x02, 0x01, 0x00,                                            // 6
      0x00, 0x0A, 0x00, 0x06, 0x00, 0x04, 0x00, 0x17, 0x00, 0x18,                    // 10
      0x00, 0x15, 0x00, 0x66,                                                        // 4
  };
  Bytes out(head, head + sizeof head);
  out.resize(out.size() + 0x66);  // the padding extension's zero bytes
  return out;
}

void appendRecord(Bytes& out, uint8_t type, const uint8_t* data, std::size_t length) {
  const uint8_t head[5] = {type, 0x03, 0x03, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  ssr::append(out, head, 5);
  ssr::append(out, data, length);
}

}  // namespace

CObfsTls12TickAuth::CObfsTls12TickAuth(std::string parameter, std::string_view tableName)
    : CObfsBase(tableName, std::move(parameter)) {
  fast_ = equalsIgnoreCase(tableName, "tls1.2_ticket_fastauth") ? 1 : 0;
  clear();
}

CObfsTls12TickAuth::~CObfsTls12TickAuth() = default;

void CObfsTls12TickAuth::clear() {
  state_ = 0;
  sendQueue_.clear();
  recv_.clear();
  recordCount_ = 0;
  overhead = kOverhead;
  RandomBytes(clientId_, sizeof clientId_);
}

void CObfsTls12TickAuth::UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) {
  CObfsBase::UpdateIvKey(iv, ivLen, key, keyLen);
  clear();
}

void CObfsTls12TickAuth::mac(const uint8_t* data, std::size_t length, uint8_t* out) const {
  uint8_t digest[kSha1Size];
  HmacSha1(data, length, serverInfo.key, static_cast<std::size_t>(serverInfo.keyLen), clientId_, sizeof clientId_,
           digest);
  std::memcpy(out, digest, kMacLength);
}

std::string CObfsTls12TickAuth::sniHost() const {
  const std::string& source = serverInfo.param.empty() ? serverInfo.host : serverInfo.param;
  std::vector<std::string> names;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = source.find(',', start);
    names.push_back(source.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::string host = names.size() > 1 ? names[RandomInt(static_cast<uint32_t>(names.size()))] : names[0];
  host = ssr::trimBlanks(host);
  // An address is no server name; so is text longer than any DNS name.
  if (!host.empty() && ((host.back() >= '0' && host.back() <= '9') || host.size() > 255)) host.clear();
  return host;
}

Bytes CObfsTls12TickAuth::buildClientHello() {
  const std::string host = sniHost();
  const auto n = static_cast<uint32_t>(host.size());
  const auto ticketLength = static_cast<uint32_t>(64 + RandomInt(196));

  Bytes ext = {0xFF, 0x01, 0x00, 0x01, 0x00};
  uint8_t sni[9] = {0x00, 0x00};
  platform::writeBe16(sni + 2, n + 5);
  platform::writeBe16(sni + 4, n + 3);
  sni[6] = 0x00;
  platform::writeBe16(sni + 7, n);
  ssr::append(ext, sni, 9);
  ssr::append(ext, host);
  ssr::append(ext, "\x00\x17\x00\x00", 4);
  uint8_t ticketHead[4] = {0x00, 0x23};
  platform::writeBe16(ticketHead + 2, ticketLength);
  ssr::append(ext, ticketHead, 4);
  const std::size_t ticketAt = ext.size();
  ext.resize(ticketAt + ticketLength);
  RandomBytes(ext.data() + ticketAt, ticketLength);
  const Bytes fixed = fixedExtensions();
  ssr::append(ext, fixed.data(), fixed.size());

  Bytes body(32);
  platform::writeBe32(body.data(), static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr))));
  RandomBytes(body.data() + 4, 18);
  mac(body.data(), 22, body.data() + 22);
  body.push_back(0x20);
  ssr::append(body, clientId_, sizeof clientId_);
  ssr::append(body, "\x00\x1C", 2);
  ssr::append(body, kCipherSuites, sizeof kCipherSuites);
  ssr::append(body, "\x01\x00", 2);
  uint8_t extLength[2];
  platform::writeBe16(extLength, static_cast<uint32_t>(ext.size()));
  ssr::append(body, extLength, 2);
  ssr::append(body, ext.data(), ext.size());

  const auto b = static_cast<uint32_t>(body.size());
  Bytes hello = {0x16, 0x03, 0x01, 0, 0, 0x01, 0x00, 0, 0, 0x03, 0x03};
  platform::writeBe16(hello.data() + 3, b + 6);
  platform::writeBe16(hello.data() + 7, b + 2);
  ssr::append(hello, body.data(), body.size());
  return hello;
}

Bytes CObfsTls12TickAuth::buildFinish() {
  Bytes out = {0x14, 0x03, 0x03, 0x00, 0x01, 0x01, 0x16, 0x03, 0x03, 0x00, 0x20};
  out.resize(11 + 22 + kMacLength);
  RandomBytes(out.data() + 11, 22);
  mac(out.data(), 33, out.data() + 33);
  return out;
}

void CObfsTls12TickAuth::appendRecords(Bytes& out, const uint8_t* data, int length) {
  int pos = 0;
  auto emit = [&](int n) {
    appendRecord(out, 0x17, data + pos, static_cast<std::size_t>(n));
    pos += n;
    ++recordCount_;
  };
  while (recordCount_ <= 4 && length - pos > 256) emit(std::min(length - pos, 64 + static_cast<int>(RandomInt(512))));
  while (length - pos > 2048) emit(std::min(length - pos, 100 + static_cast<int>(RandomInt(4096))));
  if (length - pos > 0) emit(length - pos);
}

bool CObfsTls12TickAuth::ClientEncode(uint8_t*& buffer, int length, int, int& outLength) {
  length = std::max(length, 0);
  outLength = 0;
  if (state_ & kSendingData) {
    Bytes out;
    out.reserve(static_cast<std::size_t>(length) + static_cast<std::size_t>(length / 64 + 1) * 5);
    appendRecords(out, buffer, length);
    if (out.empty()) return true;
    return ssr::handOver(buffer, out, outLength);
  }
  // Before the handshake allows it, each call's data waits as one record; a
  // length field has 16 bits, so a larger call takes several.
  for (int pos = 0; pos < length; pos += kMaxRecordPayload)
    appendRecord(sendQueue_, 0x17, buffer + pos, static_cast<std::size_t>(std::min(length - pos, kMaxRecordPayload)));
  if (!(state_ & kHelloSent)) {
    state_ |= kHelloSent;
    return ssr::handOver(buffer, buildClientHello(), outLength);
  }
  if (!(state_ & kFinishQueued)) {
    Bytes finish = buildFinish();
    sendQueue_.insert(sendQueue_.begin(), finish.begin(), finish.end());
    state_ |= kFinishQueued;
  }
  Bytes out;
  if (length == 0 || fast_) out.swap(sendQueue_);
  if (length == 0) state_ |= kSendingData;
  if (out.empty()) return true;
  return ssr::handOver(buffer, out, outLength);
}

bool CObfsTls12TickAuth::takeServerFlight(bool& done) {
  done = false;
  const std::size_t n = recv_.size();
  if (n > static_cast<std::size_t>(kMaxBuffered)) return false;
  if (n <= 75) return true;
  uint8_t check[kMacLength];
  mac(recv_.data() + 11, 22, check);
  if (std::memcmp(check, recv_.data() + 33, kMacLength) != 0) return false;

  std::size_t flight = 0;
  mac(recv_.data(), n - kMacLength, check);
  if (std::memcmp(check, recv_.data() + n - kMacLength, kMacLength) == 0) {
    flight = n;
  } else {
    // The flight is the run of handshake and ChangeCipherSpec records at the
    // start; what follows it is already application data.
    std::size_t pos = 0;
    bool sawChangeCipherSpec = false, recordAfterIt = false;
    while (pos < n && (recv_[pos] == 0x14 || recv_[pos] == 0x16)) {
      if (n - pos < 5) return true;
      const std::size_t size = 5 + platform::readBe16(recv_.data() + pos + 3);
      if (n - pos < size) return true;
      if (recv_[pos] == 0x14)
        sawChangeCipherSpec = true;
      else if (sawChangeCipherSpec)
        recordAfterIt = true;
      pos += size;
    }
    if (pos < kMacLength) return false;
    mac(recv_.data(), pos - kMacLength, check);
    if (std::memcmp(check, recv_.data() + pos - kMacLength, kMacLength) != 0) {
      // Records may end exactly where a read ended while the Finished record
      // is still on its way; only a flight that is over (ChangeCipherSpec and
      // a record after it, or other data behind it) is judged now.
      if (pos == n && !recordAfterIt) return true;
      return false;
    }
    flight = pos;
  }
  recv_.erase(recv_.begin(), recv_.begin() + static_cast<std::ptrdiff_t>(flight));
  state_ |= kServerVerified;
  done = true;
  return true;
}

bool CObfsTls12TickAuth::takeRecords(Bytes& out) {
  std::size_t pos = 0;
  const std::size_t n = recv_.size();
  while (n - pos >= 5) {
    if (recv_[pos] != 0x17) return false;
    const std::size_t payload = platform::readBe16(recv_.data() + pos + 3);
    if (n - pos < 5 + payload) break;
    ssr::append(out, recv_.data() + pos + 5, payload);
    pos += 5 + payload;
  }
  recv_.erase(recv_.begin(), recv_.begin() + static_cast<std::ptrdiff_t>(pos));
  return true;
}

bool CObfsTls12TickAuth::ClientDecode(uint8_t*& buffer, int length, int, int& outLength, bool& needSendBack) {
  needSendBack = false;
  outLength = 0;
  ssr::append(recv_, buffer, static_cast<std::size_t>(std::max(length, 0)));
  if (!(state_ & kServerVerified)) {
    bool done = false;
    if (!takeServerFlight(done)) {
      recv_.clear();
      return false;
    }
    if (!done) return true;
    needSendBack = true;
  }
  // Records that came with the end of the flight are decoded at once: the
  // server may send nothing more until it hears from us.
  Bytes out;
  if (!takeRecords(out)) {
    recv_.clear();
    return false;
  }
  if (out.empty()) return true;
  return ssr::handOver(buffer, out, outLength);
}

}  // namespace vantor
