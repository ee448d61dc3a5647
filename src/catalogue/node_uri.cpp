#include "catalogue/node_uri.h"

#include <curl/curl.h>

#include <memory>

#include "catalogue/node_mgr.h"
#include "catalogue/share_link.h"

namespace vantor {
namespace {

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

// One part of the URL, percent-decoded; empty when the part is absent.
std::string part(CURLU* url, CURLUPart which) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, CURLU_URLDECODE) != CURLUE_OK || !value) return {};
  std::string text(value);
  curl_free(value);
  return text;
}

std::string lower(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

}  // namespace

std::optional<NodeParams> parseNodeUri(const std::string& uri, std::string& error) {
  auto schemeEnd = uri.find("://");
  if (schemeEnd == std::string::npos || schemeEnd == 0) {
    error = "node must look like socks5://[user:password@]host:port, socks4://host:port, ss://... or ssr://...";
    return std::nullopt;
  }
  std::string scheme = lower(uri.substr(0, schemeEnd));
  if (scheme == "ss" || scheme == "ssr") {
    auto link = parseLink(uri, error);
    if (!link) return std::nullopt;
    // A link leaves unknown names as they are; the session refuses them.
    if (link->protocol.empty()) link->protocol = "origin";
    if (link->obfs.empty()) link->obfs = "plain";
    return link;
  }
  NodeParams params;
  if (scheme == "socks5" || scheme == "socks5h") {
    params.type = kNodeSocks5;
  } else if (scheme == "socks4" || scheme == "socks4a") {
    params.type = kNodeSocks4;
  } else {
    error = "unsupported node scheme \"" + scheme + "\" (use socks5://, socks4://, ss:// or ssr://)";
    return std::nullopt;
  }

  Url url(curl_url());
  if (!url) {
    error = "out of memory";
    return std::nullopt;
  }
  CURLUcode rc = curl_url_set(url.get(), CURLUPART_URL, uri.c_str(), CURLU_NON_SUPPORT_SCHEME);
  if (rc != CURLUE_OK) {
    error = std::string("malformed node address: ") + curl_url_strerror(rc);
    return std::nullopt;
  }
  params.server = part(url.get(), CURLUPART_HOST);
  std::string port = part(url.get(), CURLUPART_PORT);
  if (params.server.empty()) {
    error = "node address has no host";
    return std::nullopt;
  }
  // An IPv6 address comes in brackets; the node keeps the address alone.
  if (params.server.front() == '[' && params.server.back() == ']')
    params.server = params.server.substr(1, params.server.size() - 2);
  if (params.server.find('%') != std::string::npos || !part(url.get(), CURLUPART_ZONEID).empty()) {
    error = "IPv6 node addresses with a zone are not supported";
    return std::nullopt;
  }
  if (port.empty()) {
    error = "node address has no port";
    return std::nullopt;
  }
  unsigned long value = std::stoul(port);  // curl has checked it is a number up to 65535
  if (value == 0 || value > 65535) {
    error = "node port must be 1-65535";
    return std::nullopt;
  }
  params.server_port = static_cast<uint16_t>(value);
  std::string path = part(url.get(), CURLUPART_PATH);
  if (!path.empty() && path != "/") {
    error = "node address must not have a path";
    return std::nullopt;
  }
  params.username = part(url.get(), CURLUPART_USER);
  params.password = part(url.get(), CURLUPART_PASSWORD);
  if (params.username.size() > 255 || params.password.size() > 255) {
    error = "node user name and password are limited to 255 bytes each";
    return std::nullopt;
  }
  if (params.type == kNodeSocks4 && !params.password.empty()) {
    error = "SOCKS 4 nodes take a user id but no password";
    return std::nullopt;
  }
  return params;
}

std::optional<NodeParams> parseNodeLink(const std::string& text, std::string& reason) {
  reason.clear();
  if (text.find("://") == std::string::npos) {
    reason = "not a link";
    return std::nullopt;
  }
  auto params = parseNodeUri(text, reason);
  if (!params) return std::nullopt;
  reason = unstorableNodeReason(*params);
  if (!reason.empty()) return std::nullopt;
  return params;
}

}  // namespace vantor
