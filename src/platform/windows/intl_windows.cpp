// A reader of GNU .mo catalogues behind the gettext calls (see
// include/libintl.h). The language comes from LANGUAGE, LC_ALL, LC_MESSAGES
// or LANG as with gettext, else from the user's Windows locale; "de_DE"
// falls back to "de". Texts are UTF-8, as the catalogues are written.
#include <libintl.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace {

struct Catalogue {
  std::string data;
  std::vector<std::pair<std::string_view, std::string_view>> entries;  // sorted by original
};

uint32_t word(const std::string& data, std::size_t offset, bool swapped) {
  if (offset + 4 > data.size()) return 0;
  uint32_t v;
  std::memcpy(&v, data.data() + offset, 4);
  return swapped ? __builtin_bswap32(v) : v;
}

// Parses a .mo file; false when it is not one or its tables point outside it.
bool parse(Catalogue& c) {
  const std::string& d = c.data;
  if (d.size() < 28) return false;
  uint32_t magic = word(d, 0, false);
  bool swapped = magic == 0xde120495u;
  if (!swapped && magic != 0x950412deu) return false;
  uint32_t count = word(d, 8, swapped), originals = word(d, 12, swapped), translations = word(d, 16, swapped);
  if (count > d.size() / 16) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t ol = word(d, originals + 8ull * i, swapped), oo = word(d, originals + 8ull * i + 4, swapped);
    uint32_t tl = word(d, translations + 8ull * i, swapped), to = word(d, translations + 8ull * i + 4, swapped);
    if (uint64_t(oo) + ol >= d.size() || uint64_t(to) + tl >= d.size()) return false;
    // Plural forms keep their first (singular) text: everything up to the NUL.
    std::string_view original(d.data() + oo, std::strlen(d.data() + oo) < ol ? std::strlen(d.data() + oo) : ol);
    std::string_view translated(d.data() + to, std::strlen(d.data() + to) < tl ? std::strlen(d.data() + to) : tl);
    if (!original.empty() && !translated.empty()) c.entries.emplace_back(original, translated);
  }
  std::sort(c.entries.begin(), c.entries.end());
  return true;
}

std::mutex lock;
std::map<std::string, std::string>& boundFolders() {
  static std::map<std::string, std::string> m;
  return m;
}
// Loaded catalogues by "folder|language|domain"; an empty one when missing.
std::map<std::string, std::unique_ptr<Catalogue>>& loaded() {
  static std::map<std::string, std::unique_ptr<Catalogue>> m;
  return m;
}
std::string& currentDomain() {
  static std::string d = "messages";
  return d;
}

std::vector<std::string> languages() {
  std::string spec;
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    spec = vantor::platform::environmentValue(name);
    if (!spec.empty()) break;
  }
  if (spec.empty()) {
    wchar_t locale[LOCALE_NAME_MAX_LENGTH];
    if (GetUserDefaultLocaleName(locale, LOCALE_NAME_MAX_LENGTH) > 0) {
      for (wchar_t* p = locale; *p; ++p) {
        spec += *p == L'-' ? '_' : static_cast<char>(*p);
      }
    }
  }
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= spec.size()) {
    std::size_t end = spec.find(':', start);
    if (end == std::string::npos) end = spec.size();
    std::string one = spec.substr(start, end - start);
    one = one.substr(0, one.find_first_of(".@"));  // "de_DE.UTF-8@euro" -> "de_DE"
    if (!one.empty() && one != "C" && one != "POSIX") {
      out.push_back(one);
      auto underscore = one.find('_');
      if (underscore != std::string::npos) out.push_back(one.substr(0, underscore));
    }
    start = end + 1;
  }
  return out;
}

const Catalogue* catalogue(const std::string& folder, const std::string& language, const std::string& domain) {
  std::string key = folder + "|" + language + "|" + domain;
  auto& cache = loaded();
  auto it = cache.find(key);
  if (it == cache.end()) {
    auto c = std::make_unique<Catalogue>();
    std::string error;
    if (!vantor::platform::readFile(folder + "/" + language + "/LC_MESSAGES/" + domain + ".mo", c->data, error,
                                    16u << 20) ||
        !parse(*c))
      c->entries.clear();
    it = cache.emplace(key, std::move(c)).first;
  }
  return it->second.get();
}

}  // namespace

extern "C" const char* dgettext(const char* domain, const char* msgid) {
  if (!msgid || !*msgid) return msgid;
  std::lock_guard guard(lock);
  std::string name = domain ? domain : currentDomain();
  auto bound = boundFolders().find(name);
  std::string folder = bound != boundFolders().end() ? bound->second : vantor::platform::executableDir() + "/lang";
  for (const std::string& language : languages()) {
    const Catalogue* c = catalogue(folder, language, name);
    auto found = std::lower_bound(c->entries.begin(), c->entries.end(), std::string_view(msgid),
                                  [](const auto& entry, std::string_view key) { return entry.first < key; });
    // Catalogues are kept for the life of the process, so the text stays valid.
    if (found != c->entries.end() && found->first == msgid) return found->second.data();
  }
  return msgid;
}

extern "C" const char* gettext(const char* msgid) { return dgettext(nullptr, msgid); }

extern "C" const char* bindtextdomain(const char* domain, const char* dirname) {
  if (!domain || !*domain) return nullptr;
  std::lock_guard guard(lock);
  auto& folders = boundFolders();
  if (dirname) folders[domain] = dirname;
  auto it = folders.find(domain);
  return it == folders.end() ? nullptr : it->second.c_str();
}

extern "C" const char* bind_textdomain_codeset(const char*, const char* codeset) { return codeset; }

extern "C" const char* textdomain(const char* domain) {
  std::lock_guard guard(lock);
  if (domain && *domain) currentDomain() = domain;
  return currentDomain().c_str();
}
