// The configuration files are edited by hand and copied between machines;
// their loaders must take any bytes, and what they load must save and load
// back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/events.h"
#include "catalogue/ini_file.h"
#include "catalogue/node_file.h"
#include "catalogue/settings.h"
#include "catalogue/subscriptions.h"

namespace {

template <typename Parse, typename Text>
void roundTrips(const std::string& text, Parse parse, Text write) {
  std::string saved = write(parse(text));
  if (write(parse(saved)) != saved) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace vantor;
  std::string text(reinterpret_cast<const char*>(data), size);
  // What the file reader makes of the bytes (UTF-16, byte order marks, NULs).
  std::vector<std::string> problems;
  foreignIniLines(decodeConfigText(text, problems));
  IniDocument doc;
  if (doc.parse(text))
    for (const auto& section : doc.sections()) doc.entries(section.c_str());
  roundTrips(
      text, [](const std::string& t) { return parseSettings(t, "/cfg"); }, settingsText);
  roundTrips(
      text, [](const std::string& t) { return parseNodeFile(t); }, nodeFileText);
  roundTrips(
      text, [](const std::string& t) { return parseSubscriptionFile(t); }, subscriptionFileText);
  roundTrips(
      text, [](const std::string& t) { return parseEventFile(t); }, eventFileText);
  return 0;
}
