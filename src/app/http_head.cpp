#include "app/http_head.h"

#include <http_parser.h>

#include <cstring>

namespace vantor::app {
namespace {

bool equalsCaseBlind(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

const std::string* HttpRequestHead::header(std::string_view name) const {
  for (const auto& [field, value] : headers)
    if (equalsCaseBlind(field, name)) return &value;
  return nullptr;
}

bool parseProxyTarget(const HttpRequestHead& head, HttpTarget& target) {
  http_parser_url url;
  http_parser_url_init(&url);
  if (http_parser_parse_url(head.target.data(), head.target.size(), head.isConnect ? 1 : 0, &url) != 0) return false;
  auto field = [&](int which) {
    return (url.field_set & (1u << which))
               ? std::string(head.target.data() + url.field_data[which].off, url.field_data[which].len)
               : std::string();
  };
  target.host = field(UF_HOST);
  if (target.host.empty()) return false;
  if (head.isConnect) {
    if (url.port == 0) return false;
    target.port = url.port;
    target.path.clear();
    return true;
  }
  if (!equalsCaseBlind(field(UF_SCHEMA), "http")) return false;
  target.port = (url.field_set & (1u << UF_PORT)) ? url.port : 80;
  if (target.port == 0) return false;
  target.path = field(UF_PATH);
  if (target.path.empty()) target.path = "/";
  if (url.field_set & (1u << UF_QUERY)) target.path += "?" + field(UF_QUERY);
  return true;
}

struct HttpHeadReader::Parser {
  http_parser parser;
  http_parser_settings settings;
  HttpRequestHead* head = nullptr;
  bool inValue = false;
  bool complete = false;
  bool tooMany = false;

  static Parser* self(http_parser* p) { return static_cast<Parser*>(p->data); }

  Parser() {
    http_parser_init(&parser, HTTP_REQUEST);
    parser.data = this;
    http_parser_settings_init(&settings);
    settings.on_url = [](http_parser* p, const char* at, size_t length) {
      self(p)->head->target.append(at, length);
      return 0;
    };
    settings.on_header_field = [](http_parser* p, const char* at, size_t length) {
      Parser* s = self(p);
      if (s->inValue || s->head->headers.empty()) {
        if (s->head->headers.size() >= kMaxHeaderFields) {
          s->tooMany = true;
          return 1;
        }
        s->head->headers.emplace_back();
        s->inValue = false;
      }
      s->head->headers.back().first.append(at, length);
      return 0;
    };
    settings.on_header_value = [](http_parser* p, const char* at, size_t length) {
      Parser* s = self(p);
      s->inValue = true;
      s->head->headers.back().second.append(at, length);
      return 0;
    };
    settings.on_headers_complete = [](http_parser* p) {
      Parser* s = self(p);
      s->complete = true;
      s->head->method = http_method_str(static_cast<http_method>(p->method));
      s->head->versionMajor = p->http_major;
      s->head->versionMinor = p->http_minor;
      s->head->isConnect = p->method == HTTP_CONNECT;
      // Stop here: what follows the head is relayed, not parsed.
      http_parser_pause(p, 1);
      return 0;
    };
  }
};

HttpHeadReader::HttpHeadReader() : parser_(std::make_unique<Parser>()) { parser_->head = &head_; }
HttpHeadReader::~HttpHeadReader() = default;

std::string_view HttpHeadReader::rest() const {
  if (status_ != Status::Complete) return {};
  return std::string_view(buffer_).substr(headEnd_);
}

HttpHeadReader::Status HttpHeadReader::feed(const char* data, std::size_t length) {
  if (status_ != Status::NeedMore) return status_;
  std::size_t start = buffer_.size();
  buffer_.append(data, length);
  std::size_t parsed = http_parser_execute(&parser_->parser, &parser_->settings, buffer_.data() + start, length);
  http_errno err = HTTP_PARSER_ERRNO(&parser_->parser);
  if (parser_->complete) {
    // The parser stopped on the line feed that ends the head (or just
    // after it, depending on where the pause took effect).
    std::size_t end = start + parsed;
    if (end < buffer_.size() && buffer_[end] == '\n') ++end;
    headEnd_ = end;
    if (headEnd_ > kMaxHeadBytes) return status_ = Status::TooLarge;
    return status_ = Status::Complete;
  }
  if (parser_->tooMany) return status_ = Status::TooLarge;
  if (err == HPE_HEADER_OVERFLOW) return status_ = Status::TooLarge;
  if (err != HPE_OK) return status_ = Status::Invalid;
  if (buffer_.size() > kMaxHeadBytes) return status_ = Status::TooLarge;
  return status_;
}

}  // namespace vantor::app
