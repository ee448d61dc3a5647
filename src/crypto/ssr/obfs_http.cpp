#include "crypto/ssr/obfs_http.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <thread>
#include <vector>

namespace vantor {

using ssr::Bytes;
using ssr::equalsIgnoreCase;

const char* const CObfsHttpSimple::kUserAgents[kUserAgentCount] = {
    "Mozilla/5.0 (Windows NT 6.3; WOW64; rv:40.0) Gecko/20100101 Firefox/40.0",
    "Mozilla/5.0 (Windows NT 6.3; WOW64; rv:40.0) Gecko/20100101 Firefox/44.0",
    "Mozilla/5.0 (Windows NT 6.1) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/41.0.2228.0 Safari/537.36",
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/535.11 (KHTML, like Gecko) Ubuntu/11.10 "
    "Chromium/27.0.1453.93 Chrome/27.0.1453.93 Safari/537.36",
    "Mozilla/5.0 (X11; Ubuntu; Linux x86_64; rv:35.0) Gecko/20100101 Firefox/35.0",
    "Mozilla/5.0 (compatible; WOW64; MSIE 10.0; Windows NT 6.2)",
    "Mozilla/5.0 (Windows; U; Windows NT 6.1; en-US) AppleWebKit/533.20.25 (KHTML, like Gecko) "
    "Version/5.0.4 Safari/533.20.27",
    "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 6.3; Trident/7.0; .NET4.0E; .NET4.0C)",
    "Mozilla/5.0 (Windows NT 6.3; Trident/7.0; rv:11.0) like Gecko",
    "Mozilla/5.0 (Linux; Android 4.4; Nexus 5 Build/BuildID) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Version/4.0 Chrome/30.0.0.0 Mobile Safari/537.36",
    "Mozilla/5.0 (iPad; CPU OS 5_0 like Mac OS X) AppleWebKit/534.46 (KHTML, like Gecko) Version/5.1 "
    "Mobile/9A334 Safari/7534.48.3",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 5_0 like Mac OS X) AppleWebKit/534.46 (KHTML, like Gecko) "
    "Version/5.1 Mobile/9A334 Safari/7534.48.3",
};

namespace {

std::vector<std::string> splitOn(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return pieces;
    start = end + 1;
  }
}

// The custom header as the user writes it on one line: "\r" sequences are
// dropped and "\n" sequences become line breaks.
std::string customHeader(const std::string& raw) {
  std::string text = ssr::trimBlanks(raw);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'r') {
      ++i;
    } else if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += "\r\n";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A multipart boundary: 32 characters of a small generator seeded from the
// clock and the thread. Each call has its own generator, so sessions on
// different threads never share one.
std::string boundary() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const auto ticks =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  const auto seed =
      static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)) +
                            std::hash<std::thread::id>{}(std::this_thread::get_id()) + static_cast<uint64_t>(ticks));
  std::minstd_rand gen(seed);
  std::string out(32, 'A');
  for (char& c : out) c = kChars[gen() % 62];
  return out;
}

}  // namespace

CObfsHttpSimple::CObfsHttpSimple(std::string parameter, std::string_view tableName)
    : CObfsBase(tableName, std::move(parameter)) {
  post_ = equalsIgnoreCase(tableName, "http_post");
  userAgent_ = static_cast<int>(RandomInt(kUserAgentCount));
}

CObfsHttpSimple::~CObfsHttpSimple() = default;

void CObfsHttpSimple::UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) {
  CObfsBase::UpdateIvKey(iv, ivLen, key, keyLen);
  requestSent_ = responseReceived_ = 0;
  userAgent_ = static_cast<int>(RandomInt(kUserAgentCount));
  header_.clear();
}

std::string CObfsHttpSimple::buildRequest(const uint8_t* path, int pathLength) {
  std::string encodedPath;
  encodedPath.reserve(static_cast<std::size_t>(pathLength) * 3);
  for (int i = 0; i < pathLength; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02x", path[i]);
    encodedPath += hex;
  }

  std::string source = serverInfo.param;
  if (source.empty()) source = serverInfo.host;
  if (source.empty()) source = kDefaultHost;
  std::string hosts = source, custom;
  bool hasCustom = false;
  if (std::size_t hash = source.find('#'); hash != std::string::npos) {
    hosts = source.substr(0, hash);
    custom = customHeader(source.substr(hash + 1));
    hasCustom = true;
  }
  std::vector<std::string> list = splitOn(hosts, ',');
  std::string host = list.size() > 1 ? list[RandomInt(static_cast<uint32_t>(list.size()))] : list[0];
  host = ssr::trimBlanks(host);
  std::string hostValue = serverInfo.port == 80 ? host : host + ":" + std::to_string(serverInfo.port);

  std::string contentType;
  if (post_) contentType = "Content-Type: multipart/form-data; boundary=" + boundary() + "\r\n";
  const std::string method = post_ ? "POST" : "GET";

  std::string request = method + " /" + encodedPath + " HTTP/1.1\r\nHost: " + hostValue + "\r\n";
  if (hasCustom) {
    request += contentType + custom + "\r\n\r\n";
  } else {
    request += std::string("User-Agent: ") + kUserAgents[userAgent_] +
               "\r\nAccept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
               "Accept-Language: en-US,en;q=0.8\r\nAccept-Encoding: gzip, deflate\r\nDNT: 1\r\n" +
               contentType + "Connection: keep-alive\r\n\r\n";
  }
  return request;
}

bool CObfsHttpSimple::ClientEncode(uint8_t*& buffer, int length, int, int& outLength) {
  if (requestSent_) {
    outLength = length;
    return true;
  }
  const int head = std::min(length, serverInfo.ivLen + serverInfo.headLen);
  Bytes out;
  out.reserve(static_cast<std::size_t>(length + 4096));
  ssr::append(out, buildRequest(buffer, head));
  if (length > head) ssr::append(out, buffer + head, static_cast<std::size_t>(length - head));
  requestSent_ = 1;
  return ssr::handOver(buffer, out, outLength);
}

bool CObfsHttpSimple::ClientDecode(uint8_t*& buffer, int length, int, int& outLength, bool& needSendBack) {
  needSendBack = false;
  if (responseReceived_) {
    outLength = length;
    return true;
  }
  outLength = 0;
  // The header may arrive over several reads; it is gathered until its end
  // shows up, and the search never looks past the bytes received.
  const std::size_t searchFrom = header_.size() >= 3 ? header_.size() - 3 : 0;
  ssr::append(header_, buffer, static_cast<std::size_t>(std::max(length, 0)));
  static const uint8_t kEnd[] = {'\r', '\n', '\r', '\n'};
  auto it = std::search(header_.begin() + static_cast<std::ptrdiff_t>(searchFrom), header_.end(), std::begin(kEnd),
                        std::end(kEnd));
  if (it == header_.end()) {
    if (header_.size() > static_cast<std::size_t>(kMaxResponseHeader)) {
      header_.clear();
      return false;
    }
    return true;
  }
  responseReceived_ = 1;
  Bytes rest(it + 4, header_.end());
  header_.clear();
  header_.shrink_to_fit();
  if (rest.empty()) return true;
  return ssr::handOver(buffer, rest, outLength);
}

// ---------------------------------------------------------------- random_head

CObfsRandomHead::CObfsRandomHead(std::string parameter) : CObfsHttpSimple(std::move(parameter), "random_head") {}

CObfsRandomHead::~CObfsRandomHead() = default;

void CObfsRandomHead::UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) {
  CObfsHttpSimple::UpdateIvKey(iv, ivLen, key, keyLen);
  held_.clear();
  holding_ = false;
}

Bytes CObfsRandomHead::firstBlock() {
  const int r = static_cast<int>(RandomInt(96));
  Bytes block(static_cast<std::size_t>(r + 8));
  RandomBytes(block.data(), static_cast<std::size_t>(r + 4));
  const uint32_t crc = ~Crc32(block.data(), static_cast<std::size_t>(r + 4));
  platform::writeLe32(block.data() + r + 4, crc);
  return block;
}

bool CObfsRandomHead::ClientEncode(uint8_t*& buffer, int length, int, int& outLength) {
  length = std::max(length, 0);
  if (!requestSent_) {
    requestSent_ = 1;
    held_.assign(buffer, buffer + length);
    holding_ = true;
    return ssr::handOver(buffer, firstBlock(), outLength);
  }
  if (!responseReceived_) {
    ssr::append(held_, buffer, static_cast<std::size_t>(length));
    outLength = 0;
    return true;
  }
  if (!holding_) {
    outLength = length;
    return true;
  }
  Bytes out = std::move(held_);
  held_ = Bytes();
  holding_ = false;
  ssr::append(out, buffer, static_cast<std::size_t>(length));
  if (out.empty()) {
    outLength = 0;
    return true;
  }
  return ssr::handOver(buffer, out, outLength);
}

bool CObfsRandomHead::ClientDecode(uint8_t*&, int length, int, int& outLength, bool& needSendBack) {
  if (responseReceived_) {
    needSendBack = false;
    outLength = length;
    return true;
  }
  // The server's answer is a disguise of its own and carries no data.
  responseReceived_ = 1;
  needSendBack = true;
  outLength = 0;
  return true;
}

}  // namespace vantor
