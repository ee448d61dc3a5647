// What the front ends need of the host and of the local service, behind
// app/: termination signals, the interface list, files, the terminal, the
// helper's clean-up, and the local SOCKS service of `vantor serve`.
//
// Threading: the signal functions belong to the thread that blocked the
// signals (the front end's main thread); CLocalService may be called from
// any thread (the service locks itself).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/types.h"

namespace vantor::app {

// Before any thread exists: SIGINT and SIGTERM are left to the caller.
void blockTerminationSignals();
// Waits for SIGINT/SIGTERM up to `ms`; 0 when none came, else the signal.
int waitTerminationSignalFor(int ms);
int waitTerminationSignal();

// The name of the TUN interface this program makes.
std::string tunInterfaceName();
// The host's network interfaces: index and name.
std::vector<std::pair<int, std::string>> listInterfaces();
bool readFile(const std::string& path, std::string& content, std::string& error, std::size_t limit = 64u << 20);
bool stdoutIsTerminal();

// The helper undoes what a dead connection of this user left (root: of
// anyone); `report` gets its lines. False with `error` when the helper
// cannot be reached or refused.
bool cleanupHostLeftovers(std::vector<std::string>& report, std::string& error);

// What a Shadowsocks(R) node may name: the ciphers, and the protocol and
// obfs plugins, each with whether it takes a parameter.
std::vector<std::string> cipherNames();
std::vector<std::pair<std::string, bool>> protocolNames();
std::vector<std::pair<std::string, bool>> obfsNames();

// The local SOCKS service (one per process).
class CLocalService {
 public:
  // The node sessions use; it must live until the sessions ended.
  bool setNode(CNodeInfo* node);
  // Makes the node of a link (a share link or a socks URI) the service's
  // node. The record is kept here until the next call or the end of this
  // object (sessions hold their own snapshot of it and share its counters).
  // Null with `error` for a bad, unsupported or incomplete one.
  CNodeInfo* useNodeFrom(const std::string& link, std::string& error);
  // Port 0: 16666 or the next free one.
  bool start(const char* user, const char* password, uint16_t port);
  void stop();
  bool running() const;
  uint16_t port() const;
  uint32_t lastError() const;
  int liveConnections() const;
  // Waits up to `timeoutMs` for the running sessions to end; true when none is left.
  bool waitForSessions(int timeoutMs);
  void enableRelay();
  void disableRelay();

 private:
  std::unique_ptr<CNodeInfo> linkNode_;  // the node of useNodeFrom
};

// Subscription fetches through a Shadowsocks or ShadowsocksR node use the
// local service started in this process for the one fetch; installs that.
void installServiceFetchRelay();

}  // namespace vantor::app
