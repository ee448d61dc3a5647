// http_simple, http_post and random_head: disguises for the start of a
// connection. The HTTP pair carries the first encrypted bytes in the path of a
// request and strips the response header from the first reply; random_head
// sends a checksummed random block and holds data back until the server has
// answered it.
#pragma once

#include <string>
#include <string_view>

#include "crypto/ssr/obfs.h"
#include "crypto/ssr/plugin_bytes.h"

namespace vantor {

class CObfsHttpSimple : public CObfsBase {
 public:
  static constexpr int kUserAgentCount = 12;
  static const char* const kUserAgents[kUserAgentCount];
  // The host named in the request when neither the parameter nor the node
  // gives one.
  static constexpr const char* kDefaultHost = "www.bing.com";
  // A response header longer than this is not an HTTP disguise.
  static constexpr int kMaxResponseHeader = 64 * 1024;

  // `tableName` is "http_simple" or "http_post".
  CObfsHttpSimple(std::string param, std::string_view tableName);
  ~CObfsHttpSimple() override;

  void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) override;
  bool ClientEncode(uint8_t*& buffer, int length, int capacity, int& outLength) override;
  bool ClientDecode(uint8_t*& buffer, int length, int capacity, int& outLength, bool& needSendBack) override;

  int userAgentIndex() const { return userAgent_; }
  // The request head for `path` bytes, as the first ClientEncode sends it.
  std::string buildRequest(const uint8_t* path, int pathLength);

 protected:
  int requestSent_ = 0;
  int responseReceived_ = 0;
  int userAgent_ = 0;

 private:
  bool post_ = false;
  ssr::Bytes header_;  // response bytes gathered until the end of the header
};

class CObfsRandomHead : public CObfsHttpSimple {
 public:
  explicit CObfsRandomHead(std::string param);
  ~CObfsRandomHead() override;

  void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) override;
  bool ClientEncode(uint8_t*& buffer, int length, int capacity, int& outLength) override;
  bool ClientDecode(uint8_t*& buffer, int length, int capacity, int& outLength, bool& needSendBack) override;

  // R random bytes (R below 96), four more, then the complemented CRC-32 of
  // all of them, least significant byte first.
  static ssr::Bytes firstBlock();

 private:
  ssr::Bytes held_;
  bool holding_ = false;
};

}  // namespace vantor
