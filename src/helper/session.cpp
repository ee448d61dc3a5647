#include "helper/session.h"

#include <cstdlib>

#include "platform/files.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/routes.h"
#include "platform/tun.h"

namespace vantor::helper {
namespace {

constexpr const char* kTunGateway = "10.198.75.61";
constexpr uint32_t kTunGatewayMetric = 5000;

Json::Value failure(const std::string& error) {
  Json::Value answer;
  answer["ok"] = false;
  answer["error"] = error;
  return answer;
}

Json::Value success() {
  Json::Value answer;
  answer["ok"] = true;
  return answer;
}

std::string holdPath() {
  std::string path = HostChangeRecord::pathForThisNamespace();
  return path.substr(0, path.size() - 5) + ".lock";  // beside the record, ".json" -> ".lock"
}

Json::Value reportList(const std::vector<std::string>& report) {
  Json::Value list(Json::arrayValue);
  for (const std::string& line : report) list.append(line);
  return list;
}

}  // namespace

bool HostHold::take(unsigned uid, std::string& error) {
  if (lock_.held()) return true;
  if (!platform::makeDirectories(HostChangeRecord::stateDir(), 0700, error)) return false;
  const std::string path = holdPath();
  const std::string owner = std::to_string(uid) + " " + std::to_string(platform::currentProcessId()) + "\n";
  std::string lockError;
  switch (lock_.acquire(path, lockError, owner)) {
    case platform::InstanceLock::Result::Acquired:
      return true;
    case platform::InstanceLock::Result::HeldByOther: {
      std::string text, ignored;
      unsigned holder = 0;
      if (platform::readFile(path, text, ignored, 64))
        holder = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
      error = "the host network is in use by another Vantor connection (uid " + std::to_string(holder) + ")";
      return false;
    }
    case platform::InstanceLock::Result::Failed:
      break;
  }
  error = lockError;
  return false;
}

void HostHold::release() { lock_.release(); }

bool undoStaleSession(unsigned uid, std::vector<std::string>& report, std::string& error) {
  registerHostUndos();
  HostHold hold;
  if (!hold.take(uid, error)) {
    error += "; nothing undone";
    return false;
  }
  HostChangeRecord record;
  if (!record.load(error)) return false;
  if (record.empty() && !platform::fileExists(record.path())) {
    // No record: routes of ours can still outlive one (a kill between the
    // route and the record's first write is not possible, but an older
    // program may have left some).
    std::vector<std::string> removed;
    if (platform::deleteRoutesOfProtocol(platform::kVantorRouteProtocol, &removed) > 0)
      report.push_back("removed " + std::to_string(removed.size()) + " route(s) of ours");
    return true;
  }
  if (uid != 0 && record.ownerUid() != uid) {
    error = "the changes in " + record.path() + " were made for uid " + std::to_string(record.ownerUid()) +
            "; only that user or root may undo them";
    return false;
  }
  report.push_back("undoing the changes recorded in " + record.path());
  bool ok = record.undoAll(report);
  std::vector<std::string> removed;
  if (platform::deleteRoutesOfProtocol(platform::kVantorRouteProtocol, &removed) > 0)
    report.push_back("removed " + std::to_string(removed.size()) + " route(s) of ours");
  flushResolver();
  if (!ok) error = "some changes could not be undone";
  return ok;
}

HelperSession::HelperSession(unsigned uid, int pid) : uid_(uid), pid_(pid) { registerHostUndos(); }

HelperSession::~HelperSession() { end(); }

bool HelperSession::takeHold(std::string& error) {
  if (hold_.held()) return true;
  if (!hold_.take(uid_, error)) return false;
  // A session that died without its helper (the helper was killed) left
  // its record behind: the host goes back to how it was first.
  std::vector<std::string> report;
  HostChangeRecord stale;
  if (stale.load(error) && !stale.empty()) {
    stale.undoAll(report);
    platform::deleteRoutesOfProtocol(platform::kVantorRouteProtocol, nullptr);
  }
  record_ = std::make_unique<HostChangeRecord>();
  record_->setOwnerUid(uid_);
  host_ = std::make_unique<HostSetup>(*record_);
  routes_ = std::make_unique<CRouterMgr>();
  return true;
}

bool HelperSession::ensureInterface(const std::string& wanted, std::string& error) {
  if (!wanted.empty() && uid_ != 0) {
    error = "only root may name the interface";
    return false;
  }
  if (!wanted.empty() && !tunName_.empty() && wanted != tunName_) {
    error = "this session uses " + tunName_;
    return false;
  }
  if (!tunName_.empty() && platform::interfaceExists(tunName_)) return true;
  if (!platform::ensureTunDevice(error)) return false;
  if (!wanted.empty() && platform::interfaceExists(wanted)) {
    // Root's own choice of an existing interface: used, and left in place.
    tunName_ = wanted;
    tunIndex_ = platform::interfaceIndex(wanted);
    tunConfigured_ = false;
    return true;
  }
  // Always an interface of our own making: one that somebody else created
  // (and may own) is never configured or handed out.
  std::string name = wanted;
  for (int n = 1; n < 1000 && name.empty(); ++n) {
    std::string candidate = "KOVAL" + std::to_string(n);
    if (!platform::interfaceExists(candidate)) name = candidate;
  }
  if (name.empty()) {
    error = "no free interface name";
    return false;
  }
  Json::Value change;
  change["name"] = name;
  change["created"] = true;
  if (record_->note("tun_interface", change, error) == 0) return false;
  if (!platform::tunCreatePersistent(name, error)) return false;
  tunName_ = name;
  tunIndex_ = platform::interfaceIndex(name);
  tunConfigured_ = false;
  return true;
}

bool HelperSession::ensurePaths(std::string& error) {
  if (!tunConfigured_) {
    error = "the TUN interface is not configured yet";
    return false;
  }
  if (routes_->initialised()) return true;
  // The direct path is the default route as this helper sees it, never a
  // gateway a client names.
  DefaultRoute direct = detectDefaultRoute();
  if (direct.ifIndex < 0 ||
      !routes_->setPaths(direct.nextHop, direct.ifIndex, direct.direct, kTunGateway, tunIndex_, false)) {
    error = "no default route to send the direct routes through";
    return false;
  }
  return true;
}

Json::Value HelperSession::addRoutes(const Request& request) {
  std::string error;
  if (!ensurePaths(error)) return failure(error);
  if (routes_->trackedCount() + request.routes.size() > kMaxSessionRoutes)
    return failure("a connection may hold at most " + std::to_string(kMaxSessionRoutes) + " routes");
  if (!routesNoted_) {
    if (!host_->noteRoutes(error)) return failure(error);
    routesNoted_ = true;
  }
  std::vector<CRouterMgr::Request> rows;
  rows.reserve(request.routes.size());
  for (const Network& n : request.routes) rows.push_back({n.address, n.mask, request.viaTunnel});
  Json::Value answer = success();
  answer["added"] = Json::UInt64(routes_->addRoutes(rows, request.metric));
  return answer;
}

Json::Value HelperSession::deleteRoutes(const Request& request) {
  for (const Network& n : request.routes) {
    const std::string destination = platform::formatIpv4(n.address);
    const std::string mask = platform::formatIpv4(n.mask);
    // Only what this session added: the others are not ours to take.
    if (routes_->isTracked(destination, mask)) routes_->deleteRoute(destination, mask);
  }
  return success();
}

Json::Value HelperSession::addIpv6Routes(const Request& request) {
  if (request.viaTunnel && !tunIpv6_) return failure("the TUN interface has no IPv6 address yet");
  if (!tunConfigured_) return failure("the TUN interface is not configured yet");
  if (routes_->trackedCount() + routes6_.size() + request.routes6.size() > kMaxSessionRoutes)
    return failure("a connection may hold at most " + std::to_string(kMaxSessionRoutes) + " routes");
  platform::Ipv6RouteRow path;
  if (request.viaTunnel) {
    path.ifIndex = tunIndex_;
  } else if (!platform::ipv6DefaultRoute(path) || path.ifIndex == tunIndex_) {
    // The direct path is the IPv6 default route as this helper sees it.
    return failure("no IPv6 default route to send the direct routes through");
  }
  std::vector<platform::Ipv6RouteRow> rows;
  for (const Network6& n : request.routes6) {
    platform::Ipv6RouteRow row;
    std::memcpy(row.destination, n.address, 16);
    row.prefixLength = n.prefixLength;
    row.hasGateway = !request.viaTunnel && path.hasGateway;
    if (row.hasGateway) std::memcpy(row.gateway, path.gateway, 16);
    row.ifIndex = path.ifIndex;
    row.metric = 1;
    rows.push_back(row);
  }
  std::string error;
  if (!routesNoted_) {
    if (!host_->noteRoutes(error)) return failure(error);
    routesNoted_ = true;
  }
  int failed = host_->addIpv6Routes(rows, error);
  routes6_.insert(routes6_.end(), rows.begin(), rows.end());
  if (failed != 0) return failure(error);
  Json::Value answer = success();
  answer["added"] = Json::UInt64(rows.size());
  return answer;
}

void HelperSession::clearIpv6Routes() {
  if (!routes6_.empty()) platform::deleteIpv6Routes(routes6_);
  routes6_.clear();
}

Json::Value HelperSession::handle(const Request& request, long& handle) {
  handle = -1;
  std::string error;
  if (changesHost(request.op) && !takeHold(error)) return failure(error);
  switch (request.op) {
    case Op::Driver: {
      // Only the device: the interface is made per connect (tun_configure)
      // and goes with the connection's undo, so that every connect starts
      // from the same state.
      if (!platform::ensureTunDevice(error)) return failure(error);  // the client says what failed
      Json::Value answer = success();
      answer["device"] = true;
      return answer;
    }
    case Op::TunConfigure: {
      if (!ensureInterface(request.name, error) || !host_->prepareTunInterface(tunName_, error) ||
          (!tunConfigured_ && !host_->addTunGateway(tunName_, kTunGatewayMetric, error)))
        return failure("cannot configure " + (tunName_.empty() ? std::string("the TUN interface") : tunName_) + ": " +
                       error);
      routesNoted_ = true;  // addTunGateway noted our routes
      tunConfigured_ = true;
      Json::Value answer = success();
      answer["name"] = tunName_;
      answer["index"] = tunIndex_;
      return answer;
    }
    case Op::TunOpen: {
      if (tunName_.empty() || !platform::interfaceExists(tunName_)) return failure("no TUN interface in this session");
      bool offloadOn = false;
      platform::IoHandle fd = platform::tunOpen(tunName_, request.offload, offloadOn, error);
      if (fd == platform::kInvalidIoHandle) return failure("cannot open " + tunName_ + ": " + error);
      handle = static_cast<long>(fd);
      Json::Value answer = success();
      answer["name"] = tunName_;
      answer["offload"] = offloadOn;
      return answer;
    }
    case Op::Dns: {
      if (!tunConfigured_) return failure("the TUN interface is not configured yet");
      DefaultRoute local = detectDefaultRoute();
      if (!host_->configureDns(tunIndex_, local.ifIndex, request.servers, request.replaceLocal, error))
        return failure(error);
      flushResolver();
      return success();
    }
    case Op::BlockIpv6:
      if (!host_->blockIpv6(error)) return failure(error);
      return success();
    case Op::TunIpv6:
      if (!tunConfigured_) return failure("the TUN interface is not configured yet");
      if (!host_->addTunIpv6Address(tunName_, error)) return failure("cannot give " + tunName_ + " IPv6: " + error);
      tunIpv6_ = true;
      return success();
    case Op::Routes6Add:
      return addIpv6Routes(request);
    case Op::RoutesAdd:
      return addRoutes(request);
    case Op::RoutesDelete:
      return deleteRoutes(request);
    case Op::RoutesClear:
      routes_->removeAllRoutes();
      clearIpv6Routes();
      return success();
    case Op::FlushDns:
      flushResolver();
      return success();
    case Op::Undo: {
      Json::Value answer = success();
      answer["report"] = reportList(end());
      return answer;
    }
    case Op::Cleanup: {
      if (hold_.held()) return failure("this connection is running; nothing undone");
      std::vector<std::string> report;
      bool ok = undoStaleSession(uid_, report, error);
      Json::Value answer = ok ? success() : failure(error);
      answer["report"] = reportList(report);
      return answer;
    }
    case Op::Status: {
      Json::Value answer = success();
      answer["uid"] = uid_;
      answer["pid"] = pid_;
      answer["holding"] = hold_.held();
      answer["interface"] = tunName_;
      return answer;
    }
  }
  return failure("unknown operation");
}

std::vector<std::string> HelperSession::end() {
  std::vector<std::string> report;
  if (!hold_.held()) return report;
  routes_.reset();  // takes its routes away
  clearIpv6Routes();
  host_->undo(report);
  host_.reset();
  record_.reset();
  tunName_.clear();
  tunIndex_ = 0;
  tunConfigured_ = false;
  tunIpv6_ = false;
  routesNoted_ = false;
  hold_.release();
  return report;
}

}  // namespace vantor::helper
