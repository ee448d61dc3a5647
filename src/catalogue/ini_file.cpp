#include "catalogue/ini_file.h"

// UTF-8 text is kept as bytes: no conversion to wide characters is needed.
// Debian's header holds the template definitions behind SI_IMPLEMENTATION;
// this is the one file that instantiates them.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>

#include "catalogue/node_info.h"
#include "catalogue/share_link.h"
#include "catalogue/text_encoding.h"
#include "platform/files.h"

namespace vantor {
namespace {

// The largest configuration file: the node file of a very large catalogue.
constexpr std::size_t kMaxConfigFile = 256u << 20;

}  // namespace

int32_t iniInt(std::string_view text, int32_t fallback) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == text.size()) return fallback;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX) {
      value = UINT32_MAX;  // out of range reads as the largest value
      break;
    }
  }
  uint32_t bits = static_cast<uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

bool iniBool(std::string_view text, bool fallback) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return fallback;
  if (equalsIgnoringCase(text, "true") || equalsIgnoringCase(text, "yes")) return true;
  return iniInt(text, 0) != 0;
}

namespace {

struct DamageLog {
  std::mutex lock;
  std::set<std::string> damaged;  // files to keep before they are next written
  std::vector<std::string> warnings;
};

DamageLog& damageLog() {
  static DamageLog* log = new DamageLog();
  return *log;
}

std::string fileName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void note(const std::string& path, const std::string& message) {
  DamageLog& log = damageLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.damaged.insert(path);
  log.warnings.push_back(path + ": " + message);
}

// Before the first write over a damaged file: the old file (or link) gets a
// second name, so the write replaces only the name the program uses.
bool keepDamaged(const std::string& path, std::string& error) {
  DamageLog& log = damageLog();
  std::lock_guard<std::mutex> guard(log.lock);
  if (!log.damaged.count(path)) return true;
  if (!platform::nameTaken(path)) {
    log.damaged.erase(path);  // gone meanwhile: nothing left to keep
    return true;
  }
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string base = path + ".damaged-" + stamp;
  std::string why;
  for (int n = 1; n < 100; ++n) {
    std::string alias = n == 1 ? base : base + "-" + std::to_string(n);
    if (platform::nameTaken(alias)) continue;
    if (!platform::keepCopy(path, alias, why)) break;
    log.damaged.erase(path);
    log.warnings.push_back(path + ": the damaged file is kept as " + fileName(alias));
    return true;
  }
  // Writing now would lose what could not be read.
  error = "the damaged " + path + " could not be kept aside, so it is not overwritten" +
          (why.empty() ? std::string() : " (" + why + ")");
  return false;
}

}  // namespace

std::string decodeConfigText(std::string_view bytes, std::vector<std::string>& problems) {
  return decodeTextFile(bytes, problems);
}

std::vector<std::string> foreignIniLines(std::string_view text) {
  std::vector<std::string> lines;
  int number = 0;
  for (const std::string& raw : splitText(text, "\n", true)) {
    ++number;
    std::size_t first = raw.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    char c = raw[first];
    if (c == ';' || c == '#' || c == '[' || raw.find('=') != std::string::npos) continue;
    lines.push_back("line " + std::to_string(number) + ": not a setting");
  }
  return lines;
}

void noteConfigFileDamage(const std::string& path, const std::string& message) { note(path, message); }

std::vector<std::string> takeConfigFileWarnings() {
  DamageLog& log = damageLog();
  std::lock_guard<std::mutex> guard(log.lock);
  std::vector<std::string> out;
  out.swap(log.warnings);
  return out;
}

int removeStaleConfigTempFiles(const std::string& folder) {
  return static_cast<int>(platform::removeStaleTempFiles(folder).size());
}

bool writeConfigFile(const std::string& path, const std::string& text, unsigned mode, std::string& error) {
  if (!keepDamaged(path, error)) return false;
  if (text.empty()) {
    if (platform::removeFile(path)) return true;
    error = "cannot remove " + path;
    return false;
  }
  auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !platform::makeDirectories(path.substr(0, slash), 0700, error))
    return false;
  return platform::writeFileAtomic(path, encodeTextFile(text, iniFileFormat()), mode, error);
}

bool readConfigFile(const std::string& path, std::string& text, std::string& error) {
  text.clear();
  if (!platform::nameTaken(path)) return true;  // missing: an empty file
  if (!platform::fileExists(path)) {
    note(path, "a link to a missing file; read as empty");
    return true;
  }
  std::string bytes;
  if (!platform::readFile(path, bytes, error, kMaxConfigFile)) {
    note(path, "cannot be read: " + error);
    return false;
  }
  if (bytes.empty()) {
    // The program removes a file rather than leaving it empty.
    note(path, "the file is empty");
    return true;
  }
  std::vector<std::string> problems;
  text = decodeConfigText(bytes, problems);
  for (std::string& line : foreignIniLines(text)) problems.push_back(std::move(line));
  constexpr std::size_t kShown = 5;
  for (std::size_t i = 0; i < problems.size() && i < kShown; ++i) note(path, problems[i]);
  if (problems.size() > kShown) note(path, std::to_string(problems.size() - kShown) + " more damaged lines");
  return true;
}

struct IniDocument::Impl {
  CSimpleIniA ini{/*utf8=*/true, /*multiKey=*/false, /*multiLine=*/false};
  Impl() { ini.SetSpaces(false); }
};

IniDocument::IniDocument() : impl_(std::make_unique<Impl>()) {}
IniDocument::~IniDocument() = default;
IniDocument::IniDocument(IniDocument&&) noexcept = default;
IniDocument& IniDocument::operator=(IniDocument&&) noexcept = default;

bool IniDocument::parse(std::string_view text) {
  impl_->ini.Reset();
  if (text.empty()) return true;
  if (impl_->ini.LoadData(text.data(), text.size()) < 0) {
    impl_->ini.Reset();
    return false;
  }
  return true;
}

bool IniDocument::load(const std::string& path, std::string& error) {
  impl_->ini.Reset();
  std::string text;
  if (!readConfigFile(path, text, error)) return false;
  if (!parse(text)) {
    error = "cannot parse " + path;
    return false;
  }
  return true;
}

std::string IniDocument::text() const {
  std::string out;
  impl_->ini.Save(out);
  return out;
}

bool IniDocument::save(const std::string& path, unsigned mode, std::string& error) const {
  return writeConfigFile(path, text(), mode, error);
}

bool IniDocument::hasSection(const char* section) const { return impl_->ini.GetSectionSize(section) >= 0; }

const char* IniDocument::value(const char* section, const char* key) const {
  return impl_->ini.GetValue(section, key, nullptr);
}

std::string IniDocument::readString(const char* section, const char* key, const std::string& fallback) const {
  const char* v = value(section, key);
  return v ? std::string(v) : fallback;
}

int32_t IniDocument::readInt(const char* section, const char* key, int32_t fallback) const {
  const char* v = value(section, key);
  return v ? iniInt(v, fallback) : fallback;
}

bool IniDocument::readBool(const char* section, const char* key, bool fallback) const {
  const char* v = value(section, key);
  return v ? iniBool(v, fallback) : fallback;
}

void IniDocument::setString(const char* section, const char* key, std::string_view value) {
  std::string line(value);
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  impl_->ini.SetValue(section, key, line.c_str());
}

void IniDocument::setInt(const char* section, const char* key, int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  impl_->ini.SetValue(section, key, text);
}

void IniDocument::setBool(const char* section, const char* key, bool value) {
  impl_->ini.SetValue(section, key, value ? "1" : "0");
}

void IniDocument::remove(const char* section, const char* key) { impl_->ini.Delete(section, key); }

std::vector<std::string> IniDocument::sections() const {
  CSimpleIniA::TNamesDepend names;
  impl_->ini.GetAllSections(names);
  names.sort(CSimpleIniA::Entry::LoadOrder());
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const auto& entry : names) out.emplace_back(entry.pItem);
  return out;
}

std::vector<std::pair<std::string, std::string>> IniDocument::entries(const char* section) const {
  std::vector<std::pair<std::string, std::string>> out;
  const CSimpleIniA::TKeyVal* keys = impl_->ini.GetSection(section);
  if (!keys) return out;
  std::vector<std::pair<int, std::pair<std::string, std::string>>> ordered;
  ordered.reserve(keys->size());
  for (const auto& [key, v] : *keys) ordered.push_back({key.nOrder, {key.pItem, v ? v : ""}});
  std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  out.reserve(ordered.size());
  for (auto& item : ordered) out.push_back(std::move(item.second));
  return out;
}

}  // namespace vantor
