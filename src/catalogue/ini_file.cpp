#include "catalogue/ini_file.h"

// UTF-8 text is kept as bytes: no conversion to wide characters is needed.
// Debian's header holds the template definitions behind SI_IMPLEMENTATION;
// this is the one file that instantiates them.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <algorithm>
#include <cstdio>

#include "catalogue/node_info.h"
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

bool writeConfigFile(const std::string& path, const std::string& text, unsigned mode, std::string& error) {
  if (text.empty()) {
    if (platform::removeFile(path)) return true;
    error = "cannot remove " + path;
    return false;
  }
  auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !platform::makeDirectories(path.substr(0, slash), 0700, error))
    return false;
  return platform::writeFileAtomic(path, text, mode, error);
}

bool readConfigFile(const std::string& path, std::string& text, std::string& error) {
  text.clear();
  return !platform::fileExists(path) || platform::readFile(path, text, error, kMaxConfigFile);
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
  return platform::writeFileAtomic(path, text(), mode, error);
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
