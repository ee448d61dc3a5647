// Reading the head of one HTTP request or response as a proxy receives it:
// start line and header fields, with limits on size and field count so that
// a peer cannot make the proxy hold unbounded data, and then where the body
// ends, so that the next message on the same connection is told apart.
// Parsing is done by http-parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor::app {

struct HttpRequestHead {
  std::string method;  // "GET", "CONNECT", ...
  std::string target;  // as written: "http://host/path", "host:443" or "/path"
  unsigned versionMajor = 1;
  unsigned versionMinor = 1;
  std::vector<std::pair<std::string, std::string>> headers;
  bool isConnect = false;
  unsigned status = 0;  // responses only
  std::string reason;   // responses only

  // The first value of a header field (name compared case-blind), or null.
  const std::string* header(std::string_view name) const;
};

// Where a request goes: host, port and the path to send (origin form).
struct HttpTarget {
  std::string host;
  uint16_t port = 0;
  std::string path;  // "/..." with the query; empty for CONNECT
};

// CONNECT's authority ("host:port", "[v6]:port") or an absolute http:// URL.
// False for anything else, for other schemes and for a missing or zero port
// on CONNECT.
bool parseProxyTarget(const HttpRequestHead& head, HttpTarget& target);

class HttpHeadReader {
 public:
  static constexpr std::size_t kMaxHeadBytes = 32 * 1024;
  static constexpr std::size_t kMaxHeaderFields = 100;

  enum class Status { NeedMore, Complete, Invalid, TooLarge };
  // How the body after a complete head ends: not at all, after a number of
  // bytes, with the last chunk, or (responses only) when the sender closes.
  enum class Body { None, Length, Chunked, UntilClose };

  explicit HttpHeadReader(bool response = false);
  ~HttpHeadReader();
  HttpHeadReader(const HttpHeadReader&) = delete;
  HttpHeadReader& operator=(const HttpHeadReader&) = delete;

  // Takes the next bytes from the client. Once Complete, head() holds the
  // request and rest() the bytes that followed the head (body or tunnel data).
  Status feed(const char* data, std::size_t length);
  Status status() const { return status_; }
  const HttpRequestHead& head() const { return head_; }
  std::string_view rest() const;

  // The body's framing once the head is complete (a response's as its
  // header fields say; the caller knows when a response has none, as after
  // HEAD). bodyLength() is the byte count for Body::Length.
  Body body() const { return body_; }
  uint64_t bodyLength() const { return bodyLength_; }
  // Follows a chunked body: takes bytes that come after the head (rest()
  // first), returns how many of them belong to the body, and sets `done`
  // once the last chunk and trailer have passed; the bytes after that start
  // the next message. -1 for a malformed body.
  long feedChunked(const char* data, std::size_t length, bool& done);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  HttpRequestHead head_;
  std::string buffer_;       // everything received so far
  std::size_t headEnd_ = 0;  // bytes of buffer_ that belong to the head
  Status status_ = Status::NeedMore;
  Body body_ = Body::None;
  uint64_t bodyLength_ = 0;
  bool lineFeedUnparsed_ = false;
};

}  // namespace vantor::app
