#include "catalogue/geo_lookup.h"

#include <GeoIP.h>
#include <json/json.h>

#include <exception>
#include <memory>
#include <mutex>

#include "catalogue/app_paths.h"
#include "catalogue/http_fetch.h"
#include "catalogue/node_info.h"
#include "catalogue/share_link.h"

namespace vantor {
namespace {

#ifdef _WIN32
// Shipped beside the program (Windows has no system copy of the database).
std::string geoIpDatabase() { return paths::dataDir() + "/GeoIP.dat"; }
#else
std::string geoIpDatabase() { return "/usr/share/GeoIP/GeoIP.dat"; }
#endif

const char* const kDefaultBases[4] = {
    "https://freegeoip.app",
    "http://ip-api.com",
    "https://ipinfo.io",
    "https://ip.taobao.com",
};

bool parseJson(std::string_view body, Json::Value& root) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["stackLimit"] = 64;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  // jsoncpp throws when nesting goes past the stack limit; an answer that
  // deep is no geolocation answer.
  try {
    return reader->parse(body.data(), body.data() + body.size(), &root, &errors) && root.isObject();
  } catch (const std::exception&) {
    return false;
  }
}

std::string text(const Json::Value& object, const char* key) {
  const Json::Value& v = object[key];
  return v.isString() ? v.asString() : std::string();
}

bool isLetters(const std::string& code) {
  if (code.empty()) return false;
  for (char c : code)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  return true;
}

std::string withoutTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

bool offlineCountry(const std::string& ipv4, GeoAnswer& answer) {
  static std::mutex lock;
  static GeoIP* database = nullptr;
  static bool opened = false;
  std::lock_guard<std::mutex> guard(lock);
  if (!opened) {
    opened = true;
    database = GeoIP_open(geoIpDatabase().c_str(), GEOIP_MEMORY_CACHE | GEOIP_SILENCE);
  }
  if (!database) return false;
  const char* code = GeoIP_country_code_by_addr(database, ipv4.c_str());
  if (!code || !*code) return false;
  const char* name = GeoIP_country_name_by_addr(database, ipv4.c_str());
  answer.code = code;
  answer.location = name ? name : "";
  answer.region.clear();
  return true;
}

std::vector<std::string> geoServiceBases(const std::string& setting) {
  std::vector<std::string> bases(kDefaultBases, kDefaultBases + 4);
  if (trimBlanks(setting).empty()) return bases;
  std::vector<std::string> pieces = splitText(setting, ",", true);
  for (std::size_t i = 0; i < bases.size(); ++i)
    bases[i] = i < pieces.size() ? withoutTrailingSlash(trimBlanks(pieces[i])) : std::string();
  return bases;
}

std::string geoRequestPath(GeoFormat format, const std::string& ipv4) {
  switch (format) {
    case GeoFormat::FreeGeoIp:
    case GeoFormat::IpApi:
      return "/json/" + ipv4;
    case GeoFormat::IpInfo:
      return "/" + ipv4 + "/country";
    case GeoFormat::Taobao:
      return "/service/getIpInfo.php?ip=" + ipv4;
  }
  return {};
}

bool parseGeoAnswer(GeoFormat format, std::string_view body, GeoAnswer& answer) {
  answer = GeoAnswer();
  Json::Value root;
  switch (format) {
    case GeoFormat::FreeGeoIp:
      if (!parseJson(body, root)) return false;
      answer.code = text(root, "country_code");
      answer.location = text(root, "country_name");
      answer.region = text(root, "region_name");
      break;
    case GeoFormat::IpApi:
      if (!parseJson(body, root) || text(root, "status") != "success") return false;
      answer.code = text(root, "countryCode");
      answer.location = text(root, "country");
      answer.region = text(root, "regionName");
      break;
    case GeoFormat::IpInfo: {
      // A plain-text service: only a short run of letters is a code, not an
      // error page that happened to come with status 200.
      std::string code = trimBlanks(std::string(body));
      if (code.size() > 3 || !isLetters(code)) return false;
      answer.code = code;
      break;
    }
    case GeoFormat::Taobao: {
      if (!parseJson(body, root)) return false;
      const Json::Value& status = root["code"];
      bool ok = (status.isInt64() && status.asInt64() == 0) || (status.isString() && status.asString() == "0");
      const Json::Value& data = root["data"];
      if (!ok || !data.isObject()) return false;
      answer.code = text(data, "country_id");
      answer.location = text(data, "country");
      answer.region = text(data, "region");
      break;
    }
  }
  return !answer.code.empty();
}

bool onlineCountry(const std::vector<std::string>& bases, const std::string& ipv4, GeoAnswer& answer) {
  for (std::size_t i = 0; i < bases.size() && i < 4; ++i) {
    if (bases[i].empty()) continue;
    auto format = static_cast<GeoFormat>(i);
    HttpRequest request;
    request.url = bases[i] + geoRequestPath(format, ipv4);
    request.timeoutSeconds = 10;
    request.verifyCertificates = false;
    request.maxBytes = 64 * 1024;
    HttpResponse response;
    if (!httpGet(request, response) || response.status != 200) continue;
    if (parseGeoAnswer(format, response.body, answer)) return true;
  }
  return false;
}

}  // namespace vantor
