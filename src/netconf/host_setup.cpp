#include "netconf/host_setup.h"

#include <algorithm>
#include <functional>
#include <mutex>

#include "platform/dns_config.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/routes.h"
#include "platform/tun.h"

namespace vantor {
namespace {

constexpr const char* kTunAddress = "10.198.75.60";
constexpr const char* kTunGateway = "10.198.75.61";
constexpr int kTunPrefix = 24;

Json::Value addressList(const std::vector<uint32_t>& servers) {
  Json::Value list(Json::arrayValue);
  for (uint32_t s : servers) list.append(platform::formatIpv4(s));
  return list;
}

std::vector<uint32_t> addressesOf(const Json::Value& list) {
  std::vector<uint32_t> out;
  for (const Json::Value& v : list) {
    uint32_t a = 0;
    if (v.isString() && platform::parseIpv4(v.asString(), a)) out.push_back(a);
  }
  return out;
}

// The resolver file's bytes in the record, whatever they are.
std::string toHex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string fromHex(const std::string& text) {
  auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<char>(value(text[i]) << 4 | value(text[i + 1])));
  return out;
}

bool startsWithKoval(const std::string& name) {
  if (name.size() < 5) return false;
  std::string head = name.substr(0, 5);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
  return head == "KOVAL";
}

// --- undo steps -----------------------------------------------------------------

bool undoRoutes(const Json::Value&, std::vector<std::string>& report) {
  std::vector<std::string> removed;
  int n = platform::deleteRoutesOfProtocol(platform::kVantorRouteProtocol, &removed);
  if (n < 0) {
    report.push_back("could not read the routing table");
    return false;
  }
  if (!removed.empty()) report.push_back("removed " + std::to_string(removed.size()) + " route(s) of ours");
  return true;
}

bool undoIpv6Block(const Json::Value& change, std::vector<std::string>& report) {
  for (const Json::Value& p : change["prefixes"]) {
    std::string error;
    if (platform::hasIpv6Unreachable(p.asString()) && platform::deleteIpv6Unreachable(p.asString(), error))
      report.push_back("removed the IPv6 block " + p.asString());
  }
  return true;
}

bool undoTunInterface(const Json::Value& change, std::vector<std::string>& report) {
  const std::string name = change["name"].asString();
  if (!change["created"].asBool() || !platform::interfaceExists(name)) return true;
  std::string error;
  if (!platform::tunDeletePersistent(name, error)) {
    report.push_back("could not remove the interface " + name + ": " + error);
    return false;
  }
  report.push_back("removed the interface " + name);
  return true;
}

bool undoTunAddress(const Json::Value& change, std::vector<std::string>& report) {
  const std::string name = change["name"].asString();
  uint32_t address = 0;
  platform::parseIpv4(change["address"].asString(), address);
  if (!platform::interfaceExists(name) || !platform::interfaceHasAddress(name, address)) return true;
  std::string error;
  if (!platform::removeInterfaceAddress(name, address, change["prefix"].asInt(), error)) {
    report.push_back("could not remove the address of " + name + ": " + error);
    return false;
  }
  report.push_back("removed " + change["address"].asString() + " from " + name);
  return true;
}

bool undoTunAddress6(const Json::Value& change, std::vector<std::string>& report) {
  const std::string name = change["name"].asString();
  uint8_t address[16];
  if (!platform::parseIpv6(change["address"].asString(), address)) return true;
  if (!platform::interfaceExists(name) || !platform::interfaceHasAddress6(name, address)) return true;
  std::string error;
  if (!platform::removeInterfaceAddress6(name, address, change["prefix"].asInt(), error)) {
    report.push_back("could not remove the IPv6 address of " + name + ": " + error);
    return false;
  }
  report.push_back("removed " + change["address"].asString() + " from " + name);
  return true;
}

bool undoTunUp(const Json::Value& change, std::vector<std::string>& report) {
  const std::string name = change["name"].asString();
  if (!platform::interfaceExists(name) || !platform::interfaceIsUp(name)) return true;
  std::string error;
  if (!platform::setInterfaceUp(name, false, error)) {
    report.push_back("could not bring " + name + " down: " + error);
    return false;
  }
  report.push_back("brought " + name + " down");
  return true;
}

bool undoResolvConf(const Json::Value& change, std::vector<std::string>& report) {
  const std::string path = change["path"].asString();
  const std::string original = fromHex(change["original"].asString());
  const std::string written = fromHex(change["written"].asString());
  const bool absent = change["absent"].asBool();
  std::string current, error;
  if (!platform::readFile(path, current, error, 1u << 20)) {
    if (absent && !platform::fileExists(path)) return true;
    report.push_back("could not read " + path + ": " + error);
    return false;
  }
  if (current == original && !absent) return true;
  if (current != written) {
    // Someone else wrote it since: theirs wins.
    report.push_back(path + " was changed by someone else; left as it is");
    return true;
  }
  if (absent) {
    platform::removeFile(path);
    report.push_back("removed " + path + " (there was none)");
    return true;
  }
  if (!platform::writeResolverFile(path, original, error)) {
    report.push_back("could not restore " + path + ": " + error);
    return false;
  }
  report.push_back("restored " + path);
  return true;
}

bool undoResolvedLink(const Json::Value& change, std::vector<std::string>& report) {
  int index = change["ifindex"].asInt();
  if (platform::interfaceName(index).empty()) return true;  // gone with its settings
  std::string error;
  bool ok;
  if (change.isMember("servers")) {
    ok = platform::resolvedSetLinkDns(index, addressesOf(change["servers"]), error);
  } else {
    ok = platform::resolvedRevertLink(index, error);
  }
  if (!ok) {
    report.push_back("could not restore the DNS of link " + std::to_string(index) + ": " + error);
    return false;
  }
  report.push_back("restored the DNS settings of " + platform::interfaceName(index));
  return true;
}

}  // namespace

void registerHostUndos() {
  static std::once_flag once;
  std::call_once(once, [] {
    HostChangeRecord::registerUndo("routes", undoRoutes);
    HostChangeRecord::registerUndo("ipv6_block", undoIpv6Block);
    HostChangeRecord::registerUndo("tun_interface", undoTunInterface);
    HostChangeRecord::registerUndo("tun_address", undoTunAddress);
    HostChangeRecord::registerUndo("tun_address6", undoTunAddress6);
    HostChangeRecord::registerUndo("tun_up", undoTunUp);
    HostChangeRecord::registerUndo("resolv_conf", undoResolvConf);
    HostChangeRecord::registerUndo("resolved_link", undoResolvedLink);
  });
}

std::string tunConnectionName() {
  uint32_t tunAddress = 0;
  platform::parseIpv4(kTunAddress, tunAddress);
  int largest = 0;
  for (const auto& [index, name] : platform::listInterfaces()) {
    if (startsWithKoval(name) || platform::interfaceHasAddress(name, tunAddress)) {
      if (startsWithKoval(name) && name.size() > 5 &&
          std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        largest = std::max(largest, std::stoi(name.substr(5, 4)));
      else
        return name;
    }
  }
  return "KOVAL" + std::to_string(largest > 0 ? largest : 1);
}

bool detectConnections(NetworkState& state, const std::string& tunName) {
  state = NetworkState{};
  state.defaultRoute = detectDefaultRoute();
  state.tunName = tunName.empty() ? tunConnectionName() : tunName;
  state.tunIndex = platform::interfaceIndex(state.tunName);
  state.tunCount = state.tunIndex > 0 ? 1 : 0;
  if (state.defaultRoute.ifIndex < 0) return false;
  state.localIndex = state.defaultRoute.ifIndex;
  state.localName = platform::interfaceName(state.localIndex);
  state.localGateway = state.defaultRoute.direct ? std::string() : state.defaultRoute.nextHop;
  std::vector<platform::InterfaceAddress> addresses;
  if (platform::interfaceAddresses(state.localIndex, addresses) && !addresses.empty()) {
    state.localIp = platform::formatIpv4(addresses[0].address);
    state.localMask = platform::formatIpv4(platform::prefixMask(addresses[0].prefixLength));
  }
  std::vector<uint32_t> dns;
  std::string error;
  if (platform::resolvedRunning()) {
    platform::resolvedLinkDns(state.localIndex, dns, error);
  } else {
    std::string text;
    if (platform::readFile(platform::systemResolvConfPath(), text, error, 1u << 20))
      dns = platform::resolvConfNameservers(text);
  }
  if (!dns.empty()) state.primaryDns = platform::formatIpv4(dns[0]);
  if (dns.size() > 1) state.secondDns = platform::formatIpv4(dns[1]);
  state.noLocalDns = state.primaryDns.empty() && state.secondDns.empty();
  return true;
}

bool interfaceDown(int ifIndex) {
  platform::OperState state;
  if (!platform::interfaceOperState(ifIndex, state)) return false;
  return state == platform::OperState::Down || state == platform::OperState::NotPresent ||
         state == platform::OperState::LowerLayerDown;
}

HostSetup::HostSetup(HostChangeRecord& record) : record_(record) { registerHostUndos(); }

bool HostSetup::recordAndMake(const std::string& kind, const Json::Value& change, const std::function<bool()>& make,
                              std::string& error) {
  int id = record_.note(kind, change, error);
  if (id == 0) return false;
  if (make()) return true;
  record_.drop(id);  // nothing was changed
  return false;
}

bool HostSetup::prepareTunInterface(const std::string& name, std::string& error) {
  if (!platform::ensureTunDevice(error)) return false;
  Json::Value change;
  change["name"] = name;
  if (!platform::interfaceExists(name)) {
    Json::Value created = change;
    created["created"] = true;
    if (!recordAndMake(
            "tun_interface", created, [&] { return platform::tunCreatePersistent(name, error); }, error))
      return false;
  }
  uint32_t address = 0;
  platform::parseIpv4(kTunAddress, address);
  if (!platform::interfaceHasAddress(name, address)) {
    Json::Value added = change;
    added["address"] = kTunAddress;
    added["prefix"] = kTunPrefix;
    if (!recordAndMake(
            "tun_address", added, [&] { return platform::addInterfaceAddress(name, address, kTunPrefix, error); },
            error))
      return false;
  }
  if (!platform::interfaceIsUp(name) &&
      !recordAndMake(
          "tun_up", change, [&] { return platform::setInterfaceUp(name, true, error); }, error))
    return false;
  return true;
}

bool HostSetup::noteRoutes(std::string& error) {
  Json::Value change;
  change["protocol"] = platform::kVantorRouteProtocol;
  return record_.note("routes", change, error) != 0;
}

bool HostSetup::addTunGateway(const std::string& name, uint32_t gatewayMetric, std::string& error) {
  if (!noteRoutes(error)) return false;
  platform::RouteRow row;
  platform::parseIpv4(kTunGateway, row.nextHop);
  row.ifIndex = platform::interfaceIndex(name);
  row.metric = gatewayMetric;
  std::vector<int> errors;
  if (platform::addRoutes(std::span<const platform::RouteRow>(&row, 1), &errors) != 0) {
    error = "cannot add the tunnel gateway: " + platform::describeRoute(row) + ": error " +
            std::to_string(errors.empty() ? 0 : errors[0]);
    return false;
  }
  return true;
}

bool HostSetup::blockIpv6(std::string& error) {
  Json::Value change;
  change["prefixes"] = Json::Value(Json::arrayValue);
  for (const char* p : kIpv6BlockPrefixes) change["prefixes"].append(p);
  if (record_.note("ipv6_block", change, error) == 0) return false;
  for (const char* p : kIpv6BlockPrefixes) {
    if (platform::hasIpv6Unreachable(p)) continue;
    if (!platform::addIpv6Unreachable(p, error)) {
      // A host without IPv6 has nothing to block.
      if (error.find("ddress family") != std::string::npos) return true;
      return false;
    }
  }
  return true;
}

bool HostSetup::addTunIpv6Address(const std::string& name, std::string& error) {
  uint8_t address[16];
  platform::parseIpv6(kTunIpv6Address, address);
  if (platform::interfaceHasAddress6(name, address)) return true;
  Json::Value change;
  change["name"] = name;
  change["address"] = kTunIpv6Address;
  change["prefix"] = kTunIpv6Prefix;
  return recordAndMake(
      "tun_address6", change, [&] { return platform::addInterfaceAddress6(name, address, kTunIpv6Prefix, error); },
      error);
}

int HostSetup::addIpv6Routes(const std::vector<platform::Ipv6RouteRow>& rows, std::string& error) {
  std::vector<int> errors;
  int failed = platform::addIpv6Routes(rows, &errors);
  if (failed < 0) {
    error = "cannot reach the routing table";
    return static_cast<int>(rows.size());
  }
  for (std::size_t i = 0; i < rows.size() && i < errors.size(); ++i)
    if (errors[i] != 0 && error.empty())
      error = "cannot add " + platform::describeIpv6Route(rows[i]) + ": error " + std::to_string(errors[i]);
  return failed;
}

bool HostSetup::configureResolvConf(const std::vector<uint32_t>& servers, std::string& error) {
  const std::string path = platform::systemResolvConfPath();
  std::string original;
  // A host without the file gets one for the connection, removed after.
  const bool absent = !platform::fileExists(path);
  if (!absent && !platform::readFile(path, original, error, 1u << 20)) return false;
  std::string written = platform::resolvConfWithNameservers(original, servers);
  if (written == original) return true;
  Json::Value change;
  change["path"] = path;
  change["absent"] = absent;
  change["original"] = toHex(original);
  change["written"] = toHex(written);
  return recordAndMake(
      "resolv_conf", change, [&] { return platform::writeResolverFile(path, written, error); }, error);
}

bool HostSetup::configureDns(int tunIfIndex, int localIfIndex, const std::vector<uint32_t>& servers, bool replaceLocal,
                             std::string& error) {
  if (servers.empty()) return true;
  if (!platform::resolvedRunning()) return configureResolvConf(servers, error);
  Json::Value tun;
  tun["ifindex"] = tunIfIndex;
  if (record_.note("resolved_link", tun, error) == 0) return false;
  if (!platform::resolvedSetLinkDns(tunIfIndex, servers, error) ||
      !platform::resolvedRouteAllQueries(tunIfIndex, error))
    return false;
  if (!replaceLocal || localIfIndex <= 0) return true;
  std::vector<uint32_t> old;
  if (!platform::resolvedLinkDns(localIfIndex, old, error)) return false;
  Json::Value local;
  local["ifindex"] = localIfIndex;
  local["servers"] = addressList(old);
  if (record_.note("resolved_link", local, error) == 0) return false;
  return platform::resolvedSetLinkDns(localIfIndex, servers, error);
}

bool HostSetup::undo(std::vector<std::string>& report) {
  bool ok = record_.undoAll(report);
  flushResolver();
  return ok;
}

void flushResolver() {
  std::string error;
  if (platform::resolvedRunning()) platform::resolvedFlushCaches(error);
}

}  // namespace vantor
