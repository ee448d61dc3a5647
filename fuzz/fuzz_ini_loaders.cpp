// The configuration files are edited by hand and copied between machines;
// their loaders must take any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/ini_file.h"
#include "catalogue/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  vantor::Settings s = vantor::parseSettings(text, "/cfg");
  // What was loaded is written and read back the same.
  std::string saved = vantor::settingsText(s);
  if (vantor::settingsText(vantor::parseSettings(saved, "/cfg")) != saved) __builtin_trap();
  vantor::IniDocument doc;
  if (doc.parse(text))
    for (const auto& section : doc.sections()) doc.entries(section.c_str());
  return 0;
}
