#include "netconf/additional_routes.h"

#include <algorithm>

#include "catalogue/app_paths.h"
#include "catalogue/ini_file.h"
#include "platform/files.h"
#include "platform/net.h"

namespace vantor {
namespace {

bool looksLikeAddress(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
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
  IniDocument ini;
  std::string error;
  if (!ini.load(path_, error)) return false;
  for (int n = 1;; ++n) {
    std::string ipKey = "ip" + std::to_string(n), actionKey = "action" + std::to_string(n);
    if (!ini.has(kBasicSection, ipKey.c_str()) || !ini.has(kBasicSection, actionKey.c_str())) break;
    add(ini.readString(kBasicSection, ipKey.c_str()), ini.readInt(kBasicSection, actionKey.c_str(), 0));
  }
  return true;
}

bool CAdditionalRouteMgr::save() {
  IniDocument ini;
  int n = 1;
  for (const auto& [ip, action] : routes_) {
    ini.setString(kBasicSection, ("ip" + std::to_string(n)).c_str(), ip);
    ini.setInt(kBasicSection, ("action" + std::to_string(n)).c_str(), action);
    ++n;
  }
  std::string error;
  return ini.save(path_, 0600, error);
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
