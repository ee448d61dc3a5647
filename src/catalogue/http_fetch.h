// HTTP(S) GET through libcurl, for the geolocation services and subscriptions.
#pragma once

#include <cstddef>
#include <string>

namespace vantor {

struct HttpRequest {
  std::string url;
  // A proxy URL such as "socks5h://127.0.0.1:1080"; empty = connect directly
  // (proxy settings of the environment are not used either).
  std::string proxy;
  std::string proxyUser;
  std::string proxyPassword;
  long timeoutSeconds = 10;
  bool verifyCertificates = true;
  // Answers with a larger body are abandoned.
  std::size_t maxBytes = 1u << 20;
};

struct HttpResponse {
  long status = 0;  // 0 when no answer arrived
  std::string body;
  std::string error;  // why the transfer failed, empty when it completed
  bool tooLarge = false;
};

// True when the transfer completed (whatever the status code).
bool httpGet(const HttpRequest& request, HttpResponse& response);

// Whether `url` parses as an http:// or https:// address.
bool isHttpUrl(const std::string& url);
// The host part of a URL; empty when it does not parse.
std::string urlHost(const std::string& url);

}  // namespace vantor
