#include "app/i18n.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>

#include "catalogue/ini_file.h"
#include "platform/files.h"

namespace vantor::app {
namespace {

// The locale of the message category; null where the C library has none
// (Windows: the message language comes from the environment alone).
const char* messagesLocale(const char* set = nullptr) {
#ifdef LC_MESSAGES
  return std::setlocale(LC_MESSAGES, set);
#else
  (void)set;
  return nullptr;
#endif
}

std::string trim(const std::string& text) {
  std::size_t a = text.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  std::size_t b = text.find_last_not_of(" \t\r");
  return text.substr(a, b - a + 1);
}

}  // namespace

LanguageList parseLanguageList(const std::string& iniText) {
  LanguageList list;
  list.fileFound = true;
  IniDocument ini;
  if (ini.parse(iniText)) {
    int32_t selected = ini.readInt(kBasicSection, "selected", 1);
    for (int n = 1;; ++n) {
      std::string key = "lang" + std::to_string(n);
      const char* value = ini.value(kBasicSection, key.c_str());
      if (!value) break;
      std::string text = value;
      auto comma = text.find(',');
      if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) continue;
      std::string name = trim(text.substr(0, comma)), id = trim(text.substr(comma + 1));
      if (name.empty() || id.empty() || id.find_first_not_of("0123456789") != std::string::npos || id.size() > 9)
        continue;
      list.entries.push_back({name, static_cast<uint32_t>(std::stoul(id))});
    }
    list.selected =
        selected >= 1 && static_cast<std::size_t>(selected) <= list.entries.size() ? static_cast<int>(selected - 1) : 0;
  }
  if (list.entries.empty()) {
    list.entries.push_back({"Automatically assign lanaguage", 0});
    list.selected = 0;
  }
  return list;
}

LanguageList readLanguageList(const std::string& path) {
  std::string text, error;
  if (!platform::readFile(path, text, error, 1u << 20)) return {};
  return parseLanguageList(text);
}

std::string localeNameOf(uint32_t localeId) {
  struct Known {
    uint32_t id;
    const char* name;
  };
  static const Known kKnown[] = {
      {1033, "en_US"}, {2057, "en_GB"}, {2052, "zh_CN"}, {1028, "zh_TW"}, {3076, "zh_HK"}, {1041, "ja_JP"},
      {1042, "ko_KR"}, {1049, "ru_RU"}, {1031, "de_DE"}, {1036, "fr_FR"}, {3082, "es_ES"}, {1040, "it_IT"},
      {1046, "pt_BR"}, {2070, "pt_PT"}, {1043, "nl_NL"}, {1055, "tr_TR"}, {1058, "uk_UA"}, {1066, "vi_VN"},
      {1054, "th_TH"}, {1057, "id_ID"}, {1045, "pl_PL"}, {1053, "sv_SE"}, {1025, "ar_SA"}, {1037, "he_IL"},
  };
  for (const auto& k : kKnown)
    if (k.id == localeId) return k.name;
  return "";
}

void initLanguage(const std::string& langFolder, const std::string& languageIni) {
  std::setlocale(LC_ALL, "");
  textdomain(kTextDomain);
  bindtextdomain(kTextDomain, langFolder.c_str());
  bind_textdomain_codeset(kTextDomain, "UTF-8");
  LanguageList list = readLanguageList(languageIni);
  if (!list.fileFound) return;
  std::string name = localeNameOf(list.entries[list.selected].localeId);
  if (name.empty()) return;  // the user's own language, from the environment
  // The message language; gettext ignores LANGUAGE under the plain "C"
  // locale, so that becomes its UTF-8 variant.
  platform::setEnvironmentValue("LANGUAGE", name);
  const char* messages = messagesLocale();
  if (!messages || std::string(messages) == "C" || std::string(messages) == "POSIX") messagesLocale("C.UTF-8");
}

bool chineseLocale() {
  // LANGUAGE comes first for gettext (initLanguage sets it for the chosen
  // entry); otherwise the message locale of the environment.
  std::string language = platform::environmentValue("LANGUAGE");
  if (language.empty())
    if (const char* messages = messagesLocale()) language = messages;
  language = language.substr(0, language.find(':'));
  return language.rfind("zh_CN", 0) == 0 || language == "zh";
}

const char* tr(const char* text) { return dgettext(kTextDomain, text); }
std::string tr(const std::string& text) { return dgettext(kTextDomain, text.c_str()); }

}  // namespace vantor::app
