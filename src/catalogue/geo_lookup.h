// The country of an IPv4 address: first from the local GeoIP database, so
// that an address the local data knows is never sent to a third party, then
// from public geolocation services in four answer formats.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantor {

struct GeoAnswer {
  std::string code;      // country code as the source gave it
  std::string location;  // country name
  std::string region;
};

// The four answer formats, in the order they are asked.
enum class GeoFormat {
  FreeGeoIp = 0,  // GET BASE/json/IP: {"country_code", "country_name", "region_name"}
  IpApi = 1,      // GET BASE/json/IP: {"status": "success", "countryCode", "country", "regionName"}
  IpInfo = 2,     // GET BASE/IP/country: the code as text
  Taobao = 3,     // GET BASE/service/getIpInfo.php?ip=IP: {"code": 0, "data": {"country_id", "country", "region"}}
};

// The local database (Debian's geoip-database). False when it does not know
// the address or is not installed.
bool offlineCountry(const std::string& ipv4, GeoAnswer& answer);

// The base address of each format from the setting "GeoServices" (URLs
// separated by ",", by position): empty gives the built-in services, an
// empty position leaves that format out.
std::vector<std::string> geoServiceBases(const std::string& setting);
// The request path of a format for an address.
std::string geoRequestPath(GeoFormat format, const std::string& ipv4);
// Reads one answer body; false when it names no country.
bool parseGeoAnswer(GeoFormat format, std::string_view body, GeoAnswer& answer);
// Asks the services in turn and stops at the first that names a country.
bool onlineCountry(const std::vector<std::string>& bases, const std::string& ipv4, GeoAnswer& answer);

}  // namespace vantor
