#include "netconf/additional_routes.h"

// UTF-8 is kept as bytes: no conversion library.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <algorithm>

#include "catalogue/app_paths.h"
#include "platform/files.h"
#include "platform/net.h"

namespace vantor {
namespace {

constexpr const char* kSection = "basic";

bool looksLikeAddress(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

}  // namespace

CAdditionalRouteMgr& CAdditionalRouteMgr::instance() {
  static CAdditionalRouteMgr mgr;
  return mgr;
}

CAdditionalRouteMgr::CAdditionalRouteMgr(std::string path)
    : path_(path.empty() ? paths::configFile("additionalroute.ini") : std::move(path)) {}

bool CAdditionalRouteMgr::isDottedIpv4(const std::string& text) {
  int parts = 0;
  std::size_t pos = 0;
  for (;;) {
    std::size_t dot = text.find('.', pos);
    std::string part = text.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    if (part.empty() || part.size() > 3 ||
        !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    int value = std::stoi(part);
    if (value > 255 || (parts == 0 && value == 0)) return false;
    ++parts;
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  return parts == 4;
}

bool CAdditionalRouteMgr::load() {
  routes_.clear();
  CSimpleIniA ini;
  if (ini.LoadFile(path_.c_str()) < 0) return false;
  for (int n = 1;; ++n) {
    std::string ipKey = "ip" + std::to_string(n), actionKey = "action" + std::to_string(n);
    const char* ip = ini.GetValue(kSection, ipKey.c_str(), nullptr);
    const char* action = ini.GetValue(kSection, actionKey.c_str(), nullptr);
    if (!ip || !action) break;
    int value = 0;
    std::string digits(action);
    if (!digits.empty() && digits.size() < 10 && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      value = std::stoi(digits);
    add(ip, value);
  }
  return true;
}

bool CAdditionalRouteMgr::save() {
  CSimpleIniA ini;
  int n = 1;
  for (const auto& [ip, action] : routes_) {
    ini.SetValue(kSection, ("ip" + std::to_string(n)).c_str(), ip.c_str());
    ini.SetValue(kSection, ("action" + std::to_string(n)).c_str(), std::to_string(action).c_str());
    ++n;
  }
  if (routes_.empty()) ini.SetValue(kSection, nullptr, nullptr);
  std::string text, error;
  if (ini.Save(text) < 0) return false;
  return platform::writeFileAtomic(path_, text, 0600, error);
}

bool CAdditionalRouteMgr::add(const std::string& ip, int action) {
  if (!isDottedIpv4(ip) || ip.rfind("127.", 0) == 0 || contains(ip)) return false;
  routes_.emplace(ip, action);
  return true;
}

std::string CAdditionalRouteMgr::check(const std::string& input, int action, std::string& address) const {
  address.clear();
  if (input.empty()) return "IP Address can not be empty";
  std::string candidate = input;
  if (looksLikeAddress(input)) {
    if (!isDottedIpv4(input)) return "Invalid IP address";
    if (input.rfind("127.", 0) == 0) return "You can not add a loopback IP address.";
  }
  if (action < 0) return "Please select action";
  if (!looksLikeAddress(input)) {
    uint32_t resolved = 0;
    if (!platform::resolveIpv4(input, resolved)) return "Can not resolve your domain name.";
    candidate = platform::formatIpv4(resolved);
    if (candidate.rfind("127.", 0) == 0) return "You can not add a loopback IP address.";
  }
  if (contains(candidate)) return "This route already exists";
  address = candidate;
  return {};
}

}  // namespace vantor
