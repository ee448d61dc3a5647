// The route manager: two paths (direct through the host's default gateway,
// and the tunnel through 10.198.75.61), routes added on either path and
// remembered, and all of them removed again when the connection ends.
//
// Every route it adds carries platform::kVantorRouteProtocol, so the start-up
// clean-up can remove whatever a killed run left behind.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/routes.h"

namespace vantor {

struct RoutePath {
  std::string nextHop;
  int ifIndex = 0;
  bool direct = false;
  uint32_t interfaceMetric = 0;
};

// The host's default route: the one with the smallest metric (the first on
// ties) among routes to 0.0.0.0; none gives an empty next hop and index -1.
struct DefaultRoute {
  std::string nextHop;
  int ifIndex = -1;
  bool direct = false;
};
DefaultRoute detectDefaultRoute();

// Interface metrics as the interface configuration sets them; the route
// manager adds them to the metric of each route on that interface.
void setInterfaceMetric(int ifIndex, uint32_t metric);
uint32_t interfaceMetric(int ifIndex);

// Threads: the controller's worker sets the paths and adds and removes the
// routes of a connection; the UDP relay's threads add host routes through the
// published instance. Every member may be called from any thread; the lock
// guards the paths and the tracked routes and is never held while the host
// is changed.
class CRouterMgr {
 public:
  // One route of a bulk add; addresses in network byte order.
  struct Request {
    uint32_t destination = 0;
    uint32_t mask = 0;
    bool viaTunnel = false;
  };

  CRouterMgr() = default;
  virtual ~CRouterMgr();
  CRouterMgr(const CRouterMgr&) = delete;
  CRouterMgr& operator=(const CRouterMgr&) = delete;

  virtual bool setPaths(const std::string& directNextHop, int directIfIndex, bool directFlag,
                        const std::string& tunnelNextHop, int tunnelIfIndex, bool tunnelFlag);
  bool initialised() const;

  // Adds a route on the tunnel or the direct path and tracks it. False for an
  // empty text, a loopback destination, or before setPaths; the kernel's
  // answer is not examined (a failed add is still tracked and deleted later).
  bool addRoute(const std::string& destination, const std::string& mask, bool viaTunnel, uint32_t metric = 1);
  bool addTunnelRoute(const std::string& destination, const std::string& mask) {
    return addRoute(destination, mask, true);
  }
  bool addDirectRoute(const std::string& destination, const std::string& mask) {
    return addRoute(destination, mask, false);
  }
  // Many routes in one pass (the networks of a proxy mode); the same rules
  // as addRoute for each. Returns how many were accepted.
  std::size_t addRoutes(std::span<const Request> requests, uint32_t metric = 1);
  bool deleteRoute(const std::string& destination, const std::string& mask);
  bool isTracked(const std::string& destination, const std::string& mask);
  void removeAllRoutes();
  std::size_t trackedCount();

  RoutePath directPath() const;
  RoutePath tunnelPath() const;

  // The instance the controller owns, for callers outside it (the UDP relay).
  static void setInstance(CRouterMgr* mgr);
  static CRouterMgr* instance();
  // Adds a direct host route through the published instance.
  static bool addDirectHostRoute(const std::string& address);

 protected:
  // Where the rows go: the kernel's table here; the helper's client sends
  // them to the privileged helper instead.
  virtual void applyAdd(std::span<const platform::RouteRow> rows) { platform::addRoutes(rows); }
  virtual void applyDelete(std::span<const platform::RouteRow> rows) { platform::deleteRoutes(rows); }
  // Whether a row built here takes the tunnel path.
  bool isTunnelRow(const platform::RouteRow& row) const;

 private:
  bool buildRow(uint32_t destination, uint32_t mask, bool viaTunnel, uint32_t metric, platform::RouteRow& row) const;
  void track(const platform::RouteRow& row);

  mutable std::mutex lock_;  // never held while the host is changed
  bool initialised_ = false;
  RoutePath direct_;
  RoutePath tunnel_;
  uint32_t directNextHop_ = 0;
  uint32_t tunnelNextHop_ = 0;
  std::map<std::string, platform::RouteRow> tracked_;
};

class CKovalRouteMgr : public CRouterMgr {
 public:
  using CRouterMgr::CRouterMgr;
  ~CKovalRouteMgr() override = default;
};

std::string routeKey(const std::string& destination, const std::string& mask);

}  // namespace vantor
