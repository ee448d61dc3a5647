// Reading proxy request heads: where the head ends, what the limits refuse,
// and how targets are taken apart.
#include "app/http_head.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace vantor::app {
namespace {

using Status = HttpHeadReader::Status;

TEST(HttpHead, HeadEndsExactlyWhereTheBodyOrTunnelDataBegins) {
  const std::string get =
      "GET http://example.com:8080/a/b?c=1 HTTP/1.1\r\nHost: example.com:8080\r\n"
      "Content-Length: 5\r\nX-Two: 1\r\nX-Two: 2\r\n\r\nhello";
  // Whole, and one byte at a time: the same result.
  for (bool byteWise : {false, true}) {
    HttpHeadReader reader;
    Status status = Status::NeedMore;
    if (byteWise) {
      for (std::size_t i = 0; i < get.size() && status == Status::NeedMore; ++i) status = reader.feed(&get[i], 1);
    } else {
      status = reader.feed(get.data(), get.size());
    }
    ASSERT_EQ(status, Status::Complete);
    const auto& head = reader.head();
    EXPECT_EQ(head.method, "GET");
    EXPECT_FALSE(head.isConnect);
    ASSERT_NE(head.header("content-length"), nullptr);
    EXPECT_EQ(*head.header("x-two"), "1");
    EXPECT_EQ(head.headers.size(), 4u);
    HttpTarget target;
    ASSERT_TRUE(parseProxyTarget(head, target));
    EXPECT_EQ(target.host, "example.com");
    EXPECT_EQ(target.port, 8080);
    EXPECT_EQ(target.path, "/a/b?c=1");
    if (!byteWise) {
      EXPECT_EQ(reader.rest(), "hello");
    }
  }

  HttpHeadReader tunnel;
  std::string connect = "CONNECT [2001:db8::1]:443 HTTP/1.1\nHost: x\n\n\x16\x03\x01";
  ASSERT_EQ(tunnel.feed(connect.data(), connect.size()), Status::Complete);
  EXPECT_TRUE(tunnel.head().isConnect);
  EXPECT_EQ(tunnel.rest(), "\x16\x03\x01");
  HttpTarget target;
  ASSERT_TRUE(parseProxyTarget(tunnel.head(), target));
  EXPECT_EQ(target.host, "2001:db8::1");
  EXPECT_EQ(target.port, 443);
}

TEST(HttpHead, BodiesEndWhereTheirFramingSaysAndTheNextMessageBegins) {
  // A chunked request, with extensions and a trailer, then the next request.
  const std::string chunked =
      "POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5;ext=1\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\nGET http://b/ HTTP/1.1\r\n\r\n";
  const std::string body = "5;ext=1\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n";
  for (std::size_t piece : {chunked.size(), std::size_t{1}, std::size_t{3}}) {
    HttpHeadReader reader;
    std::size_t at = 0;
    Status status = Status::NeedMore;
    while (status == Status::NeedMore) {
      std::size_t n = std::min(piece, chunked.size() - at);
      status = reader.feed(chunked.data() + at, n);
      at += n;
    }
    ASSERT_EQ(status, Status::Complete);
    ASSERT_EQ(reader.body(), HttpHeadReader::Body::Chunked);
    EXPECT_EQ(reader.head().headers.size(), 1u) << "the trailer is no header field";
    std::string after = std::string(reader.rest()) + chunked.substr(at);
    std::string taken;
    bool done = false;
    for (std::size_t i = 0; i < after.size() && !done; i += piece) {
      std::size_t n = std::min(piece, after.size() - i);
      long used = reader.feedChunked(after.data() + i, n, done);
      ASSERT_GE(used, 0);
      taken.append(after, i, static_cast<std::size_t>(used));
      if (done) after = after.substr(i + static_cast<std::size_t>(used));
    }
    ASSERT_TRUE(done) << piece;
    EXPECT_EQ(taken, body) << piece;
    EXPECT_EQ(after, "GET http://b/ HTTP/1.1\r\n\r\n") << piece;
    EXPECT_EQ(reader.head().headers.size(), 1u);
  }
  HttpHeadReader broken;
  std::string bad = "POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  ASSERT_EQ(broken.feed(bad.data(), bad.size()), Status::Complete);
  bool done = false;
  EXPECT_LT(broken.feedChunked("zz\r\n", 4, done), 0);

  // Requests: a length, or no body at all; both framings at once are refused.
  struct Case {
    const char* text;
    HttpHeadReader::Body body;
    uint64_t length;
  };
  for (const Case& c : {Case{"POST http://a/ HTTP/1.1\r\nContent-Length: 12\r\n\r\n", HttpHeadReader::Body::Length, 12},
                        Case{"GET http://a/ HTTP/1.1\r\n\r\n", HttpHeadReader::Body::None, 0}}) {
    HttpHeadReader reader;
    ASSERT_EQ(reader.feed(c.text, std::strlen(c.text)), Status::Complete) << c.text;
    EXPECT_EQ(reader.body(), c.body) << c.text;
    EXPECT_EQ(reader.bodyLength(), c.length) << c.text;
  }
  HttpHeadReader smuggled;
  std::string both = "POST http://a/ HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(smuggled.feed(both.data(), both.size()), Status::Invalid);

  // Answers: status and reason, and a body that only the close ends.
  HttpHeadReader response(true);
  std::string answer = "HTTP/1.0 404 Not Here\r\nServer: x\r\n\r\nbody";
  ASSERT_EQ(response.feed(answer.data(), answer.size()), Status::Complete);
  EXPECT_EQ(response.head().status, 404u);
  EXPECT_EQ(response.head().reason, "Not Here");
  EXPECT_EQ(response.body(), HttpHeadReader::Body::UntilClose);
  EXPECT_EQ(response.rest(), "body");
}

TEST(HttpHead, FloodsAndGarbageAreRefused) {
  std::string many = "GET http://a/ HTTP/1.1\r\n";
  for (std::size_t i = 0; i <= HttpHeadReader::kMaxHeaderFields; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
  many += "\r\n";
  HttpHeadReader fields;
  EXPECT_EQ(fields.feed(many.data(), many.size()), Status::TooLarge);

  // One endless header line, fed in pieces as a slow client would send it:
  // refused once the limit is passed, without waiting for its end.
  HttpHeadReader big;
  std::string start = "GET http://a/ HTTP/1.1\r\nX-Big: ";
  Status status = big.feed(start.data(), start.size());
  std::string chunk(1024, 'a');
  std::size_t fed = start.size();
  while (status == Status::NeedMore && fed < 10 * HttpHeadReader::kMaxHeadBytes) {
    status = big.feed(chunk.data(), chunk.size());
    fed += chunk.size();
  }
  EXPECT_EQ(status, Status::TooLarge);
  EXPECT_LE(fed, HttpHeadReader::kMaxHeadBytes + chunk.size());

  for (std::string bad : {std::string("\x16\x03\x01\x02\x00", 5), std::string("GET / HTTP/1.1\r\nNo colon\r\n\r\n"),
                          std::string("G\0T / HTTP/1.1\r\n\r\n", 18)}) {
    HttpHeadReader reader;
    EXPECT_EQ(reader.feed(bad.data(), bad.size()), Status::Invalid) << bad;
    EXPECT_EQ(reader.feed("more", 4), Status::Invalid) << "stays refused";
  }
}

TEST(HttpHead, OnlyHttpUrlsAndConnectWithAPortAreTargets) {
  auto target = [](const std::string& request) {
    HttpHeadReader reader;
    std::string text = request + "\r\n\r\n";
    EXPECT_EQ(reader.feed(text.data(), text.size()), Status::Complete) << request;
    HttpTarget t;
    return parseProxyTarget(reader.head(), t) ? t.host + ":" + std::to_string(t.port) + t.path : std::string("-");
  };
  EXPECT_EQ(target("GET http://example.com HTTP/1.1"), "example.com:80/");
  EXPECT_EQ(target("GET HTTP://EXAMPLE.com/x HTTP/1.0"), "EXAMPLE.com:80/x");
  EXPECT_EQ(target("GET https://example.com/ HTTP/1.1"), "-");
  EXPECT_EQ(target("GET ftp://example.com/ HTTP/1.1"), "-");
  EXPECT_EQ(target("GET /relative HTTP/1.1"), "-");
  EXPECT_EQ(target("CONNECT example.com:443 HTTP/1.1"), "example.com:443");
  EXPECT_EQ(target("CONNECT example.com:0 HTTP/1.1"), "-");
  EXPECT_EQ(target("GET http://example.com:0/ HTTP/1.1"), "-");
}

}  // namespace
}  // namespace vantor::app
