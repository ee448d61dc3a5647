// One client of the privileged helper: the changes it asked for, recorded in
// the helper's state folder before each is made and undone exactly when the
// client asks, when its connection ends, or at the next start after a crash.
//
// One session at a time holds a network namespace: the hold is a lock file
// beside the record, which the kernel releases when the holder dies, so a
// crashed helper never locks the host network for ever.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "helper/protocol.h"
#include "netconf/host_changes.h"
#include "netconf/host_setup.h"
#include "netconf/route_mgr.h"
#include "platform/local_ipc.h"

namespace vantor::helper {

// The namespace's hold: taken by a session before its first change.
class HostHold {
 public:
  ~HostHold() { release(); }
  // False with a reason naming the holder when another session has it.
  bool take(unsigned uid, std::string& error);
  void release();
  bool held() const { return lock_.held(); }

 private:
  platform::InstanceLock lock_;
};

// Undoes what a dead session of this namespace left (when no live one holds
// it). Only the record of `uid` unless `uid` is 0; appends what was done.
bool undoStaleSession(unsigned uid, std::vector<std::string>& report, std::string& error);

class HelperSession {
 public:
  HelperSession(unsigned uid, int pid);
  ~HelperSession();

  // Carries out one request; `handle` receives a descriptor to send with the
  // answer (-1: none).
  Json::Value handle(const Request& request, long& handle);
  // Undoes everything and gives the hold back (the client asked, or left).
  std::vector<std::string> end();

 private:
  bool takeHold(std::string& error);
  bool ensureInterface(const std::string& wanted, std::string& error);
  bool ensurePaths(std::string& error);
  Json::Value addRoutes(const Request& request);
  Json::Value deleteRoutes(const Request& request);
  Json::Value addIpv6Routes(const Request& request);
  void clearIpv6Routes();

  unsigned uid_;
  int pid_;
  HostHold hold_;
  std::unique_ptr<HostChangeRecord> record_;
  std::unique_ptr<HostSetup> host_;
  std::unique_ptr<CRouterMgr> routes_;
  bool routesNoted_ = false;
  std::string tunName_;
  int tunIndex_ = 0;
  bool tunConfigured_ = false;
  bool tunIpv6_ = false;  // the interface has its IPv6 address
  std::vector<platform::Ipv6RouteRow> routes6_;
};

}  // namespace vantor::helper
