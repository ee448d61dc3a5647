#include "catalogue/country.h"

namespace vantor {

const Country kCountries[kCountryCount] = {
    {"CN", "China"},          {"US", "United States of America"},
    {"GB", "United Kingdom"}, {"FR", "France"},
    {"GR", "Greece"},         {"NL", "Netherlands"},
    {"NO", "Norway"},         {"DE", "Germany"},
    {"UA", "Ukraine"},        {"RU", "Russia"},
    {"TH", "Thailand"},       {"IN", "India"},
    {"KR", "South Korea"},    {"SG", "Singapore"},
    {"JP", "Japan"},          {"PH", "Philippines"},
    {"MY", "Malaysia"},       {"IT", "Italy"},
    {"ES", "Spain"},          {"BR", "Brazil"},
    {"TW", "Taiwan"},         {"HK", "Hong Kong"},
    {"MO", "Macao"},          {"LA", "Laos"},
    {"VN", "Vietnam"},        {"ID", "Indonesia"},
    {"TR", "Turkey"},         {"PT", "Portugal"},
    {"SE", "Sweden"},         {"LU", "Luxembourg"},
    {"AU", "Australia"},      {"NZ", "New Zealand"},
    {"CA", "Canada"},         {"MX", "Mexico"},
    {"AR", "Argentina"},      {"PE", "Peru"},
    {"PA", "Panama"},         {"EG", "Egypt"},
    {"ZA", "Africa"},         {"AT", "Austria"},
    {"RO", "Romania"},
};

int32_t countryIndexForCode(std::string_view code) {
  if (code.size() < 2) return -1;
  for (int32_t i = 0; i < kCountryCount; ++i)
    if (code[0] == kCountries[i].code[0] && code[1] == kCountries[i].code[1]) return i;
  return -1;
}

const char* countryCode(int32_t index) { return index >= 0 && index < kCountryCount ? kCountries[index].code : ""; }

const char* countryName(int32_t index) {
  return index >= 0 && index < kCountryCount ? kCountries[index].name : "Unkown Country";
}

}  // namespace vantor
