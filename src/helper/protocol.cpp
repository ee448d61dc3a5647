#include "helper/protocol.h"

#include <json/json.h>

#include <map>
#include <memory>
#include <cstring>
#include <set>

#include "platform/net.h"
#include "platform/routes.h"

namespace vantor::helper {
namespace {

struct OpInfo {
  Op op;
  std::set<std::string> fields;  // besides "op"
};

const std::map<std::string, OpInfo>& operations() {
  static const std::map<std::string, OpInfo> table = {
      {"driver", {Op::Driver, {"name"}}},
      {"tun_configure", {Op::TunConfigure, {"name"}}},
      {"tun_open", {Op::TunOpen, {"offload"}}},
      {"dns", {Op::Dns, {"servers", "replace_local"}}},
      {"block_ipv6", {Op::BlockIpv6, {}}},
      {"tun_ipv6", {Op::TunIpv6, {}}},
      {"routes6_add", {Op::Routes6Add, {"via", "routes"}}},
      {"routes_add", {Op::RoutesAdd, {"via", "metric", "routes"}}},
      {"routes_delete", {Op::RoutesDelete, {"routes"}}},
      {"routes_clear", {Op::RoutesClear, {}}},
      {"flush_dns", {Op::FlushDns, {}}},
      {"undo", {Op::Undo, {}}},
      {"cleanup", {Op::Cleanup, {}}},
      {"status", {Op::Status, {}}},
  };
  return table;
}

bool parseNetwork(const Json::Value& value, Network& out, std::string& error) {
  if (!value.isString()) {
    error = "a route must be a text A.B.C.D/LEN";
    return false;
  }
  const std::string text = value.asString();
  const std::size_t slash = text.find('/');
  uint32_t address = 0;
  int length = -1;
  if (slash != std::string::npos && slash + 1 < text.size() && text.size() - slash <= 3) {
    length = 0;
    for (std::size_t i = slash + 1; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') {
        length = -1;
        break;
      }
      length = length * 10 + (text[i] - '0');
    }
  }
  if (slash == std::string::npos || length < 0 || length > 32 ||
      !platform::parseIpv4(std::string_view(text).substr(0, slash), address)) {
    error = "not a network: " + text.substr(0, 64);
    return false;
  }
  out.mask = platform::prefixMask(length);
  out.address = address & out.mask;
  return true;
}

// An IPv6 network a connection may route: never loopback, link-local or
// multicast space (those stay with the host's own links).
bool parseNetwork6(const Json::Value& value, Network6& out, std::string& error) {
  if (!value.isString() || !platform::parseIpv6Network(value.asString(), out.address, out.prefixLength)) {
    error = "not an IPv6 network: " + (value.isString() ? value.asString().substr(0, 64) : std::string("?"));
    return false;
  }
  static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  bool linkLocal = out.prefixLength >= 10 && out.address[0] == 0xfe && (out.address[1] & 0xc0) == 0x80;
  bool multicast = out.prefixLength >= 8 && out.address[0] == 0xff;
  bool loopback = out.prefixLength == 128 && std::memcmp(out.address, kLoopback, 16) == 0;
  if (linkLocal || multicast || loopback) {
    error = "not a network to route: " + value.asString().substr(0, 64);
    return false;
  }
  return true;
}

bool parseBool(const Json::Value& root, const char* key, bool& out, std::string& error) {
  if (!root.isMember(key)) return true;
  if (!root[key].isBool()) {
    error = std::string("\"") + key + "\" must be true or false";
    return false;
  }
  out = root[key].asBool();
  return true;
}

}  // namespace

bool readObjectLine(std::string_view line, Json::Value& object) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["allowSpecialFloats"] = false;
  builder["rejectDupKeys"] = true;
  builder["stackLimit"] = 20;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string ignored;
  try {
    return reader->parse(line.data(), line.data() + line.size(), &object, &ignored) && object.isObject();
  } catch (const Json::Exception&) {
    return false;  // the reader throws past its nesting limit instead of failing
  }
}

std::string objectLine(const Json::Value& object) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, object) + "\n";
}

bool changesHost(Op op) {
  // "driver" only makes sure the TUN device exists (a module load at most):
  // a program that checks it while another connection holds the host is
  // told the truth, not refused.
  return op != Op::Cleanup && op != Op::Status && op != Op::Driver;
}

bool parseRequest(std::string_view line, Request& request, std::string& error) {
  request = Request{};
  if (line.size() > kMaxRequestBytes) {
    error = "request too long";
    return false;
  }
  Json::Value root;
  if (!readObjectLine(line, root)) {
    error = "not a JSON object";
    return false;
  }
  if (!root["op"].isString()) {
    error = "no \"op\"";
    return false;
  }
  auto found = operations().find(root["op"].asString());
  if (found == operations().end()) {
    error = "unknown operation \"" + root["op"].asString().substr(0, 32) + "\"";
    return false;
  }
  const OpInfo& info = found->second;
  for (const std::string& key : root.getMemberNames())
    if (key != "op" && info.fields.count(key) == 0) {
      error = "\"" + key.substr(0, 32) + "\" is not a field of \"" + found->first + "\"";
      return false;
    }
  request.op = info.op;
  if (!parseBool(root, "offload", request.offload, error) ||
      !parseBool(root, "replace_local", request.replaceLocal, error))
    return false;
  if (root.isMember("name")) {
    const Json::Value& name = root["name"];
    bool good = name.isString() && !name.asString().empty() && name.asString().size() < 16;
    for (char c : good ? name.asString() : std::string())
      good = good && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                      c == '-' || c == '.');
    if (!good || name.asString() == "." || name.asString() == "..") {
      error = "not an interface name";
      return false;
    }
    request.name = name.asString();
  }
  if (root.isMember("servers")) {
    const Json::Value& list = root["servers"];
    if (!list.isArray() || list.size() > kMaxDnsServers) {
      error = "\"servers\" must list at most " + std::to_string(kMaxDnsServers) + " addresses";
      return false;
    }
    for (const Json::Value& v : list) {
      uint32_t address = 0;
      if (!v.isString() || !platform::parseIpv4(v.asString(), address) || address == 0 || address == 0xffffffffu) {
        error = "not a DNS server address";
        return false;
      }
      request.servers.push_back(address);
    }
  }
  if (info.op == Op::RoutesAdd || info.op == Op::Routes6Add) {
    const Json::Value& via = root["via"];
    if (!via.isString() || (via.asString() != "tunnel" && via.asString() != "direct")) {
      error = "routes go \"via\" \"tunnel\" or \"direct\" only";
      return false;
    }
    request.viaTunnel = via.asString() == "tunnel";
    if (root.isMember("metric")) {
      if (!root["metric"].isUInt() || root["metric"].asUInt() > kMaxRouteMetric) {
        error = "bad route metric";
        return false;
      }
      request.metric = root["metric"].asUInt();
    }
  }
  if (info.op == Op::Routes6Add) {
    const Json::Value& list = root["routes"];
    if (!list.isArray() || list.size() > kMaxSessionRoutes) {
      error = "\"routes\" must be a list of at most " + std::to_string(kMaxSessionRoutes) + " networks";
      return false;
    }
    for (const Json::Value& v : list) {
      Network6 n;
      if (!parseNetwork6(v, n, error)) return false;
      request.routes6.push_back(n);
    }
  }
  if (info.op == Op::RoutesAdd || info.op == Op::RoutesDelete) {
    const Json::Value& list = root["routes"];
    if (!list.isArray()) {
      error = "\"routes\" must be a list";
      return false;
    }
    if (list.size() > kMaxSessionRoutes) {
      error = "more than " + std::to_string(kMaxSessionRoutes) + " routes";
      return false;
    }
    request.routes.reserve(list.size());
    for (const Json::Value& v : list) {
      Network n;
      if (!parseNetwork(v, n, error)) return false;
      request.routes.push_back(n);
    }
  }
  return true;
}

}  // namespace vantor::helper
