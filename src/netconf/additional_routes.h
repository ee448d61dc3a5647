// The user's additional host routes (config/additionalroute.ini): an address
// and an action, 0 = "Direct" (outside the tunnel), 1 = "Proxify".
#pragma once

#include <map>
#include <string>

namespace vantor {

class CAdditionalRouteMgr {
 public:
  enum Action { kDirect = 0, kProxify = 1 };

  static CAdditionalRouteMgr& instance();
  // The file defaults to config/additionalroute.ini in the configuration folder.
  explicit CAdditionalRouteMgr(std::string path = {});

  // Reads the numbered "ip"/"action" keys from 1 up to the first gap.
  bool load();
  // Rewrites the file with every entry, numbered from 1.
  bool save();
  bool contains(const std::string& ip) const { return routes_.count(ip) != 0; }
  // Refused (false) for a loopback, a listed or a malformed address.
  bool add(const std::string& ip, int action);
  bool remove(const std::string& ip) { return routes_.erase(ip) != 0; }
  const std::map<std::string, int>& routes() const { return routes_; }
  const std::string& path() const { return path_; }

  // The editor's checks of a typed entry, in order; returns the message to
  // show, or an empty text with the address to add in `address` (a host
  // name is resolved). `action` < 0 means none chosen.
  std::string check(const std::string& input, int action, std::string& address) const;

  // Exactly four "."-separated decimal parts 0..255, the first not 0.
  static bool isDottedIpv4(const std::string& text);

 private:
  std::string path_;
  std::map<std::string, int> routes_;
};

}  // namespace vantor
