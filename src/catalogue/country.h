// The countries the node list has flags for; a node's nCountryIndex points
// into this table.
#pragma once

#include <cstdint>
#include <string_view>

namespace vantor {

struct Country {
  const char* code;
  const char* name;
};

inline constexpr int kCountryCount = 41;
extern const Country kCountries[kCountryCount];

// The index of the country whose code is the first two characters of
// `code` (letter case counts), or -1.
int32_t countryIndexForCode(std::string_view code);
// The code or name of an index; "" and "Unkown Country" outside the table.
const char* countryCode(int32_t index);
const char* countryName(int32_t index);

}  // namespace vantor
