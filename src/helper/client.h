// The user's side of the privileged network helper: requests and answers,
// the TUN descriptor it hands over, and a route manager whose routes the
// helper installs.
//
// The helper is found at VANTOR_HELPER_SOCKET, else at its default socket.
// Run as root with no helper there, the same helper code serves this process
// from a thread of its own; anyone else gets a message on how to get one.
#pragma once

#include <json/json.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netconf/route_mgr.h"
#include "platform/net.h"

namespace vantor::helper {

class HelperClient {
 public:
  // `denied` (when given) tells a refusal for lack of rights apart from a
  // helper that is not there.
  static std::unique_ptr<HelperClient> open(std::string& error, bool* denied = nullptr);
  ~HelperClient();

  // One request and its answer; false (with the helper's reason or the
  // transport's) unless the answer says ok. `handle` takes a descriptor
  // that came with the answer; `denied` is set when the helper refused the
  // user (not in its group).
  bool call(const Json::Value& request, Json::Value& answer, std::string& error, long* handle = nullptr,
            bool* denied = nullptr);
  bool inProcess() const { return server_.joinable(); }
  const std::string& socketPath() const { return path_; }

 private:
  HelperClient() = default;
  std::mutex lock_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  std::string buffer_;
  std::string path_;
  std::thread server_;  // the in-process helper
};

// The "dns" request for the IPv4 addresses among `servers` (other texts,
// such as "localdns" or an empty one, name no server).
Json::Value dnsRequest(const std::vector<std::string>& servers, bool replaceLocal);

// The helper's socket path for this process (VANTOR_HELPER_SOCKET or the
// default).
std::string helperSocketPath();

// Routes through the helper: this process plans them, the helper checks and
// installs them on paths of its own choosing.
class CHelperRouteMgr : public CRouterMgr {
 public:
  explicit CHelperRouteMgr(HelperClient& client) : client_(client) {}
  ~CHelperRouteMgr() override;
  // The last error the helper gave for a route request (empty: none).
  std::string lastError();

 protected:
  void applyAdd(std::span<const platform::RouteRow> rows) override;
  void applyDelete(std::span<const platform::RouteRow> rows) override;

 private:
  void send(const Json::Value& request);
  HelperClient& client_;
  std::mutex errorLock_;
  std::string lastError_;
};

}  // namespace vantor::helper
