#include "diag/test_targets.h"

#include <curl/curl.h>

#include <cctype>
#include <cstring>
#include <memory>

#include "catalogue/node_info.h"
#include "catalogue/settings.h"
#include "crypto/ssr/plugin_bytes.h"
#include "platform/host.h"
#include "platform/net.h"

namespace vantor {

TestTargets TestTargets::defaults() {
  TestTargets t;
  t.sites = {"www.google.com", "www.bing.com", "www.wikipedia.org", "www.cloudflare.com"};
  t.udpPairs = {{"114.114.114.114", "www.baidu.com"},
                {"8.8.8.8", "www.google.com"},
                {"208.67.222.222", "www.opendns.com"},
                {"223.5.5.5", "www.taobao.com"}};
  t.exitServices = {"http://api.ipify.org/", "http://checkip.amazonaws.com/", "http://icanhazip.com/"};
  return t;
}

std::vector<std::string> splitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    std::string item = trimBlanks(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!item.empty()) items.push_back(std::move(item));
    if (end == std::string::npos) return items;
    start = end + 1;
  }
}

bool parseUdpTestPair(const std::string& text, UdpTestPair& pair) {
  std::size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  pair.server = trimBlanks(text.substr(0, comma));
  pair.name = trimBlanks(text.substr(comma + 1));
  return !pair.server.empty() && !pair.name.empty();
}

TestTargets TestTargets::fromSettings(const std::string& testSites, const std::string& udpTestPairs,
                                      const std::string& exitAddressServices) {
  TestTargets t = defaults();
  if (!trimBlanks(testSites).empty()) t.sites = splitList(testSites, ',');
  if (!trimBlanks(udpTestPairs).empty()) {
    t.udpPairs.clear();
    for (const auto& item : splitList(udpTestPairs, ';')) {
      UdpTestPair pair;
      if (parseUdpTestPair(item, pair)) t.udpPairs.push_back(pair);
    }
  }
  if (!trimBlanks(exitAddressServices).empty()) t.exitServices = splitList(exitAddressServices, ',');
  return t;
}

TestTargets TestTargets::fromSettings(const Settings& settings) {
  return fromSettings(settings.TestSites, settings.UdpTestPairs, settings.ExitAddressServices);
}

bool parseSite(const std::string& site, SiteUrl& url) {
  if (site.empty()) return false;
  std::string text = site.find("://") == std::string::npos ? "http://" + site : site;
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
  if (!u || curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return false;
  auto part = [&](CURLUPart which, unsigned flags, std::string& out) {
    char* value = nullptr;
    CURLUcode rc = curl_url_get(u.get(), which, &value, flags);
    if (rc == CURLUE_OK && value) out = value;
    curl_free(value);
    return rc == CURLUE_OK;
  };
  std::string scheme, host, port, path, query;
  if (!part(CURLUPART_SCHEME, 0, scheme) || !ssr::equalsIgnoreCase(scheme, "http")) return false;
  if (!part(CURLUPART_HOST, 0, host) || host.empty() || host.size() > 255 || host.front() == '[') return false;
  if (!part(CURLUPART_PORT, CURLU_DEFAULT_PORT, port)) return false;
  part(CURLUPART_PATH, 0, path);
  part(CURLUPART_QUERY, 0, query);
  unsigned long number = std::strtoul(port.c_str(), nullptr, 10);
  if (number == 0 || number > 65535) return false;
  url.host = host;
  url.port = static_cast<uint16_t>(number);
  url.path = path.empty() ? "/" : path;
  if (!query.empty()) url.path += "?" + query;
  return true;
}

bool parseEchoedAddress(const std::string& body, std::string& address) {
  unsigned parts[4];
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = body.find('.', start);
    if ((i < 3) != (end != std::string::npos)) return false;  // exactly four parts
    std::string part = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t digits = 0;
    while (digits < part.size() && std::isdigit(static_cast<unsigned char>(part[digits]))) ++digits;
    if (digits == 0 || digits > 3) return false;
    parts[i] = static_cast<unsigned>(std::stoul(part.substr(0, digits)));
    if (parts[i] > 255) return false;
    start = end + 1;
  }
  if (parts[0] == 0) return false;
  address = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
            std::to_string(parts[3]);
  return true;
}

bool isLocalAddress(const std::string& address) {
  static const std::string host = platform::hostName();
  static const std::vector<std::string> own = platform::hostIpv4Addresses();
  return !address.empty() && vantor::isLocalAddress(address, host, own);
}

}  // namespace vantor
