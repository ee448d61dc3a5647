// The user interface language: gettext text domain "zefa", bound to the
// program's lang/ folder with UTF-8 texts, and the language list of
// config/language.ini. Every text shown to the user passes through tr().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::app {

inline constexpr const char* kTextDomain = "zefa";

struct LanguageEntry {
  std::string name;
  uint32_t localeId = 0;  // Windows locale id (LCID); 0 = the user's own
};

struct LanguageList {
  bool fileFound = false;
  std::vector<LanguageEntry> entries;
  int selected = 0;  // index into entries (the file holds it 1-based)
};

// Section "basic": "selected" (1-based, default 1) and "lang1", "lang2", ...
// each "Name,LCID"; reading stops at the first missing key, an entry that
// does not split into two non-empty fields is skipped, and a file without
// usable entries gives the single automatic entry.
LanguageList parseLanguageList(const std::string& iniText);
LanguageList readLanguageList(const std::string& path);

// The locale name ("zh_CN") of a locale id, empty when unknown or 0.
std::string localeNameOf(uint32_t localeId);

// Binds the text domain to `langFolder` and applies the selected entry of
// `languageIni` (a missing file leaves the language as the environment says).
void initLanguage(const std::string& langFolder, const std::string& languageIni);

// Whether the user interface language is Simplified Chinese (locale id
// 2052): lists then show the local names of modes and DNS providers.
bool chineseLocale();

// The translation of a catalogue key (the English text).
const char* tr(const char* text);
std::string tr(const std::string& text);

}  // namespace vantor::app
