#include "catalogue/file_builder.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/gzip.h>
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "catalogue/share_link.h"

namespace vantor {
namespace {

constexpr char kMagic[4] = {'M', 'C', '#', '#'};
constexpr char kMarker[] = "DATAFILEMARKER#";
constexpr std::size_t kMarkerLength = 15;
constexpr char kTrailer[4] = {'#', 'M', 'C', '\0'};
constexpr std::size_t kDigestOffset = 23;
constexpr std::size_t kLengthOffset = 39;
constexpr std::size_t kBlockOffset = 43;

// Key set 1: fixed texts. Key set 2: the first 16 hex digits of the MD5 of
// two fixed 82-character texts.
constexpr char kKey1[] = "VantorRuleData#1";
constexpr char kIv1[] = "7301594826305718";
constexpr char kKeySeed2[] = "Vantor encoded data files, key set two: routes, modes and networks for the tunnel!";
constexpr char kIvSeed2[] = "Vantor encoded data files, key set two: the initial vector of the CFB transform!!!";
static_assert(sizeof kKeySeed2 - 1 == 82 && sizeof kIvSeed2 - 1 == 82);

std::string md5Hex16(const char* text) {
  CryptoPP::Weak1::MD5 md5;
  std::string hex;
  CryptoPP::StringSource source(
      text, true, new CryptoPP::HashFilter(md5, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false)));
  return hex.substr(0, 16);
}

void keySet(uint8_t versionByte, uint8_t key[16], uint8_t iv[16]) {
  std::memset(key, 0, 16);
  std::memset(iv, 0, 16);
  if (versionByte == 1) {
    std::memcpy(key, kKey1, 16);
    std::memcpy(iv, kIv1, 16);
  } else if (versionByte == 2) {
    static const std::string key2 = md5Hex16(kKeySeed2);
    static const std::string iv2 = md5Hex16(kIvSeed2);
    std::memcpy(key, key2.data(), 16);
    std::memcpy(iv, iv2.data(), 16);
  }
}

std::string transform(const std::string& input, uint8_t versionByte, bool encrypt) {
  uint8_t key[16], iv[16];
  keySet(versionByte, key, iv);
  std::string out(input.size(), '\0');
  if (input.empty()) return out;
  auto* in = reinterpret_cast<const CryptoPP::byte*>(input.data());
  auto* o = reinterpret_cast<CryptoPP::byte*>(out.data());
  if (encrypt) {
    CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption e(key, 16, iv);
    e.ProcessData(o, in, input.size());
  } else {
    CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption d(key, 16, iv);
    d.ProcessData(o, in, input.size());
  }
  return out;
}

std::array<uint8_t, 16> md5Of(const void* data, std::size_t size) {
  std::array<uint8_t, 16> digest{};
  CryptoPP::Weak1::MD5 md5;
  md5.CalculateDigest(digest.data(), static_cast<const CryptoPP::byte*>(data), size);
  return digest;
}

bool sameIgnoringCase(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// A string sink that refuses to grow past a limit (a gzip bomb ends as a
// failed decompression, not as an exhausted heap).
class CappedSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
 public:
  CappedSink(std::string& out, std::size_t cap) : out_(out), cap_(cap) {}
  size_t Put2(const CryptoPP::byte* data, size_t length, int, bool) override {
    if (out_.size() + length > cap_) throw CryptoPP::Exception(CryptoPP::Exception::OTHER_ERROR, "too large");
    out_.append(reinterpret_cast<const char*>(data), length);
    return 0;
  }

 private:
  std::string& out_;
  std::size_t cap_;
};

}  // namespace

CFileBuilder::CFileBuilder(std::string path) : path_(std::move(path)) {
  if (path_.size() > 1023) path_.resize(1023);
}

CFileBuilder::~CFileBuilder() {
  if (file_) std::fclose(file_);
}

bool CFileBuilder::open(bool forReading, bool showError) {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  file_ = std::fopen(path_.c_str(), forReading ? "rbe" : "wbe");
  if (file_) return true;
  lastError_ = kNotReadable;
  if (showError)
    std::cerr << "Open file in CFileBuilder::Open: Open file " << path_ << " error, error msg: " << std::strerror(errno)
              << "\n";
  return false;
}

const char* CFileBuilder::fail(int error) {
  lastError_ = error;
  content_.clear();
  hasContent_ = false;
  contentLength_ = 0;
  return nullptr;
}

void CFileBuilder::keep(std::string payload) {
  content_.assign(payload.begin(), payload.end());
  content_.push_back('\0');
  hasContent_ = true;
  contentLength_ = payload.size();
  lastError_ = kOk;
}

bool CFileBuilder::readWholeFile(std::string& bytes) {
  content_.clear();
  hasContent_ = false;
  bytes.clear();
  if (!file_) return false;
  std::rewind(file_);
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
    if (bytes.size() + n > kMaxFileSize) return false;
    bytes.append(buffer, n);
  }
  if (std::ferror(file_)) return false;
  fileSize_ = bytes.size();
  return !bytes.empty();
}

bool CFileBuilder::writeBytes(const std::string& bytes) {
  if (!file_) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
  return std::fflush(file_) == 0 && ok;
}

int CFileBuilder::openContainer(const std::string& bytes, bool strictKeySet, std::string& block,
                                std::array<uint8_t, 16>& digest) {
  // Shorter than the frame: nothing in it can be trusted or even read.
  if (bytes.size() < kFrameSize) return kNotReadable;
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) return kBadMagic;
  std::array<uint8_t, 4> version;
  std::memcpy(version.data(), bytes.data() + 4, 4);
  if (version[1] != 1 || version[2] != 1 || version[3] != 1) return kBadVersion;
  if (strictKeySet && version[0] != 1 && version[0] != 2) return kBadVersion;
  version_ = version;
  if (!sameIgnoringCase(bytes.data() + 8, kMarker, kMarkerLength)) return kBadMarker;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + kLengthOffset;
  int32_t length = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                        static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
  if (length <= 0) return kBadLength;
  if (std::memcmp(bytes.data() + bytes.size() - 4, kTrailer, 4) != 0) return kNoTrailer;
  // The block must lie inside the file, before the trailer.
  if (static_cast<std::size_t>(length) > bytes.size() - kFrameSize) return kBadLength;
  std::memcpy(digest.data(), bytes.data() + kDigestOffset, 16);
  block = transform(bytes.substr(kBlockOffset, static_cast<std::size_t>(length)), version[0], false);
  return kOk;
}

std::string CFileBuilder::buildContainer(const std::string& block, const std::array<uint8_t, 16>& digest) const {
  std::string out;
  out.reserve(block.size() + kFrameSize);
  out.append(kMagic, 4);
  out.append(reinterpret_cast<const char*>(version_.data()), 4);
  out.append(kMarker, kMarkerLength);
  out.append(reinterpret_cast<const char*>(digest.data()), 16);
  uint32_t length = static_cast<uint32_t>(block.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(length >> (8 * i)));
  out += transform(block, version_[0], true);
  out.append(kTrailer, 4);
  return out;
}

const char* CFileBuilder::read() {
  std::string bytes;
  if (!readWholeFile(bytes)) return fail(kNotReadable);
  return decode(std::move(bytes));
}

const char* CFileBuilder::decode(std::string bytes) {
  if (bytes.empty()) return fail(kNotReadable);
  if (plainMode_) {
    keep(std::move(bytes));
    return content_.data();
  }
  std::string block;
  std::array<uint8_t, 16> digest;
  int error = openContainer(bytes, false, block, digest);
  if (error != kOk) return fail(error);
  if (md5Of(block.data(), block.size()) != digest) return fail(kBadChecksum);
  keep(std::move(block));
  return content_.data();
}

int CFileBuilder::store(const std::string& bytes, std::size_t payloadSize) {
  if (!writeBytes(bytes)) return lastError_ = kNotReadable;
  fileSize_ = bytes.size();
  contentLength_ = payloadSize;
  return lastError_ = kOk;
}

int CFileBuilder::write(const void* data, std::size_t size) {
  if (!data || !file_) return lastError_ = kNothingToWrite;
  std::string payload(static_cast<const char*>(data), size);
  if (plainMode_) return store(payload, size);
  if (size == 0 || size > static_cast<std::size_t>(INT32_MAX) - kFrameSize) return lastError_ = kNothingToWrite;
  return store(buildContainer(payload, md5Of(data, size)), size);
}

const char* CFileBuilderCompressBase64::decode(std::string text) {
  if (text.empty()) return fail(kNotReadable);
  if (plainMode_) {
    keep(std::move(text));
    return content_.data();
  }
  std::string bytes = decodeBase64(text);
  if (bytes.empty()) return fail(kBadBase64);
  std::string block;
  std::array<uint8_t, 16> digest;
  int error = openContainer(bytes, true, block, digest);
  if (error != kOk) return fail(error);
  std::string payload;
  try {
    CryptoPP::StringSource source(block, true, new CryptoPP::Gunzip(new CappedSink(payload, kMaxPayload)));
  } catch (const CryptoPP::Exception&) {
    return fail(kBadCompression);
  }
  if (payload.empty()) return fail(kBadCompression);
  if (md5Of(payload.data(), payload.size()) != digest) return fail(kBadChecksum);
  keep(std::move(payload));
  return content_.data();
}

int CFileBuilderCompressBase64::write(const void* data, std::size_t size) {
  if (!data || !file_) return lastError_ = kNothingToWrite;
  std::string payload(static_cast<const char*>(data), size);
  if (plainMode_) return store(payload, size);
  std::string compressed;
  CryptoPP::StringSource source(payload, true, new CryptoPP::Gzip(new CryptoPP::StringSink(compressed)));
  std::string container = buildContainer(compressed, md5Of(data, size));
  std::string encoded = encodeBase64(container);
  if (encoded.empty()) return lastError_ = kBadBase64;
  return store(encoded, size);
}

}  // namespace vantor
