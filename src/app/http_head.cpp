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
  bool messageDone = false;
  Body body = Body::None;
  uint64_t bodyLength = 0;

  static Parser* self(http_parser* p) { return static_cast<Parser*>(p->data); }

  explicit Parser(bool response) {
    http_parser_init(&parser, response ? HTTP_RESPONSE : HTTP_REQUEST);
    parser.data = this;
    http_parser_settings_init(&settings);
    settings.on_url = [](http_parser* p, const char* at, size_t length) {
      self(p)->head->target.append(at, length);
      return 0;
    };
    settings.on_status = [](http_parser* p, const char* at, size_t length) {
      self(p)->head->reason.append(at, length);
      return 0;
    };
    settings.on_header_field = [](http_parser* p, const char* at, size_t length) {
      Parser* s = self(p);
      if (s->complete) return 0;  // a chunked body's trailer: not passed on
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
      if (s->complete) return 0;
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
      s->head->isConnect = p->type == HTTP_REQUEST && p->method == HTTP_CONNECT;
      s->head->status = p->type == HTTP_RESPONSE ? p->status_code : 0;
      if (p->flags & F_CHUNKED) {
        s->body = Body::Chunked;
      } else if (p->uses_transfer_encoding) {
        // Another coding last: only the sender's close ends it (requests
        // like that are refused by the parser itself).
        s->body = Body::UntilClose;
      } else if (p->flags & F_CONTENTLENGTH) {
        s->bodyLength = p->content_length;
        s->body = s->bodyLength > 0 ? Body::Length : Body::None;
      } else {
        s->body = p->type == HTTP_RESPONSE ? Body::UntilClose : Body::None;
      }
      // Stop here: the caller decides what to do with the body.
      http_parser_pause(p, 1);
      return 0;
    };
    settings.on_message_complete = [](http_parser* p) {
      self(p)->messageDone = true;
      http_parser_pause(p, 1);
      return 0;
    };
  }
};

HttpHeadReader::HttpHeadReader(bool response) : parser_(std::make_unique<Parser>(response)) { parser_->head = &head_; }

long HttpHeadReader::feedChunked(const char* data, std::size_t length, bool& done) {
  done = false;
  if (status_ != Status::Complete || body_ != Body::Chunked) return -1;
  if (parser_->messageDone) {
    done = true;
    return 0;
  }
  if (length == 0) return 0;
  http_parser_pause(&parser_->parser, 0);
  if (lineFeedUnparsed_) {
    lineFeedUnparsed_ = false;
    http_parser_execute(&parser_->parser, &parser_->settings, "\n", 1);
    if (HTTP_PARSER_ERRNO(&parser_->parser) != HPE_OK) return -1;
  }
  std::size_t parsed = http_parser_execute(&parser_->parser, &parser_->settings, data, length);
  http_errno err = HTTP_PARSER_ERRNO(&parser_->parser);
  if (parser_->messageDone) {
    done = true;
    return static_cast<long>(parsed);
  }
  if (err != HPE_OK && err != HPE_PAUSED) return -1;
  return static_cast<long>(parsed);
}
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
    if (end < buffer_.size() && buffer_[end] == '\n') {
      ++end;
      lineFeedUnparsed_ = true;  // handed to the parser before a chunked body
    }
    headEnd_ = end;
    if (headEnd_ > kMaxHeadBytes) return status_ = Status::TooLarge;
    body_ = parser_->body;
    bodyLength_ = parser_->bodyLength;
    return status_ = Status::Complete;
  }
  if (parser_->tooMany) return status_ = Status::TooLarge;
  if (err == HPE_HEADER_OVERFLOW) return status_ = Status::TooLarge;
  if (err != HPE_OK) return status_ = Status::Invalid;
  if (buffer_.size() > kMaxHeadBytes) return status_ = Status::TooLarge;
  return status_;
}

}  // namespace vantor::app
