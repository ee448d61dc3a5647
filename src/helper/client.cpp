#include "helper/client.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "helper/protocol.h"
#include "helper/server.h"
#include "netconf/host_changes.h"
#include "platform/files.h"
#include "platform/helper_ipc.h"
#include "platform/process.h"

namespace vantor::helper {
namespace {

std::string networkText(const platform::RouteRow& row) {
  return platform::formatIpv4(row.destination) + "/" + std::to_string(platform::maskPrefixLength(row.mask));
}

}  // namespace

Json::Value dnsRequest(const std::vector<std::string>& servers, bool replaceLocal) {
  Json::Value request;
  request["op"] = "dns";
  request["servers"] = Json::Value(Json::arrayValue);
  for (const std::string& text : servers) {
    uint32_t address = 0;
    if (platform::parseIpv4(text, address)) request["servers"].append(platform::formatIpv4(address));
  }
  request["replace_local"] = replaceLocal;
  return request;
}

std::string helperSocketPath() {
  std::string path = platform::environmentValue("VANTOR_HELPER_SOCKET");
  return path.empty() ? kDefaultSocket : path;
}

std::unique_ptr<HelperClient> HelperClient::open(std::string& error, bool* denied) {
  std::unique_ptr<HelperClient> client(new HelperClient());
  client->path_ = helperSocketPath();
  int failure = 0;
  client->socket_ = platform::connectHelperSocket(client->path_, failure);
  if (client->socket_ != platform::kInvalidSocket) return client;
  if (platform::helperProcessUsed() && platform::effectiveUserId() != 0) {
    if (denied) *denied = failure == EACCES || failure == EPERM;
    if (failure == EACCES || failure == EPERM)
      error = "no right to change the network: the Vantor network helper at " + client->path_ +
              " serves root and the members of its group; join it (sudo usermod -aG vantor $USER, then log in "
              "again) or run Vantor as root";
    else
      error = "cannot reach the Vantor network helper at " + client->path_ + " (" + std::strerror(failure) +
              "): start it (systemctl start vantor-helper, installed by scripts/install.sh), or run Vantor as root";
    return nullptr;
  }
  // Root without a helper, or Windows (the program runs elevated): the
  // helper's own code serves this process.
  if (!prepareStateDir(HostChangeRecord::stateDir(), error)) return nullptr;
  platform::SocketHandle ours, theirs;
  if (!platform::helperSocketPair(ours, theirs, error)) return nullptr;
  client->socket_ = ours;
  client->path_ = "(in-process)";
  platform::PeerCredentials self{0, 0, platform::currentProcessId(), {}};
  client->server_ = std::thread([theirs, self] {
    serveConnection(theirs, self, 0, kDefaultGroup);
    platform::closeSocket(theirs);
  });
  return client;
}

HelperClient::~HelperClient() {
  // Closing our end ends the session: the helper puts the host back.
  platform::shutdownSend(socket_);
  if (server_.joinable()) server_.join();
  if (socket_ != platform::kInvalidSocket) platform::closeSocket(socket_);
}

bool HelperClient::call(const Json::Value& request, Json::Value& answer, std::string& error, long* handle,
                        bool* denied) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!platform::sendMessage(socket_, objectLine(request))) {
    error = "the network helper went away";
    return false;
  }
  std::size_t end;
  long received = -1;
  while ((end = buffer_.find('\n')) == std::string::npos) {
    char chunk[4096];
    long n = platform::receiveMessage(socket_, chunk, sizeof chunk, received);
    if (n <= 0) {
      platform::dropReceivedHandle(received);
      error = "the network helper closed the connection";
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
  std::string text = buffer_.substr(0, end);
  buffer_.erase(0, end + 1);
  if (handle)
    *handle = received;
  else
    platform::dropReceivedHandle(received);
  if (!readObjectLine(text, answer)) {
    error = "the network helper's answer is unreadable";
    return false;
  }
  if (!answer["ok"].asBool()) {
    error = answer["error"].asString();
    if (denied) *denied = answer["denied"].asBool();
    return false;
  }
  return true;
}

CHelperRouteMgr::~CHelperRouteMgr() { removeAllRoutes(); }

std::string CHelperRouteMgr::lastError() {
  std::lock_guard<std::mutex> guard(errorLock_);
  return lastError_;
}

void CHelperRouteMgr::send(const Json::Value& request) {
  Json::Value answer;
  std::string error;
  if (client_.call(request, answer, error)) return;
  std::lock_guard<std::mutex> guard(errorLock_);
  lastError_ = error;
}

void CHelperRouteMgr::applyAdd(std::span<const platform::RouteRow> rows) {
  // One request per path and metric; the helper builds each route itself.
  std::map<std::pair<bool, uint32_t>, Json::Value> groups;
  for (const platform::RouteRow& row : rows) {
    if (platform::maskPrefixLength(row.mask) < 0) continue;  // the kernel would refuse it too
    Json::Value& request = groups[{isTunnelRow(row), row.metric}];
    if (request.isNull()) {
      request["op"] = "routes_add";
      request["via"] = isTunnelRow(row) ? "tunnel" : "direct";
      request["metric"] = row.metric;
      request["routes"] = Json::Value(Json::arrayValue);
    }
    request["routes"].append(networkText(row));
  }
  for (const auto& [key, request] : groups) send(request);
}

void CHelperRouteMgr::applyDelete(std::span<const platform::RouteRow> rows) {
  Json::Value request;
  request["op"] = "routes_delete";
  request["routes"] = Json::Value(Json::arrayValue);
  for (const platform::RouteRow& row : rows)
    if (platform::maskPrefixLength(row.mask) >= 0) request["routes"].append(networkText(row));
  if (!request["routes"].empty()) send(request);
}

}  // namespace vantor::helper
