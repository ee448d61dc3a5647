#include "helper/server.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "helper/protocol.h"
#include "helper/session.h"
#include "netconf/host_changes.h"
#include "platform/files.h"
#include "platform/thread.h"

namespace vantor::helper {
namespace {

// More clients than this at once are turned away (one holds the network;
// the rest ask for status or clean-up).
constexpr int kMaxClients = 32;

bool authorised(const platform::PeerCredentials& peer, unsigned gid) {
  if (peer.uid == 0 || peer.gid == gid) return true;
  return std::find(peer.groups.begin(), peer.groups.end(), gid) != peer.groups.end();
}

void log(const std::string& text) { std::fprintf(stderr, "vantor-helper: %s\n", text.c_str()); }

}  // namespace

bool prepareStateDir(const std::string& dir, std::string& error) {
  if (!platform::prepareHelperStateFolder(dir, error)) return false;
  // Set once per process in practice; sessions read it while they run.
  if (HostChangeRecord::stateDir() != dir) HostChangeRecord::stateDir() = dir;
  return true;
}

void serveConnection(platform::SocketHandle socket, const platform::PeerCredentials& peer, unsigned allowedGid,
                     const std::string& groupName) {
  HelperSession session(peer.uid, peer.pid);
  const bool allowed = authorised(peer, allowedGid);
  std::string buffer;
  char chunk[65536];
  bool open = true;
  while (open) {
    long handle = -1;
    long n = platform::receiveMessage(socket, chunk, sizeof chunk, handle);
    platform::dropReceivedHandle(handle);  // clients send none
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = buffer.find('\n')) != std::string::npos) {
      std::string request = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      Json::Value answer;
      long reply = -1;
      Request parsed;
      std::string error;
      if (!allowed) {
        answer["ok"] = false;
        answer["denied"] = true;
        answer["error"] = "uid " + std::to_string(peer.uid) + " may not change the network: join the group '" +
                          groupName + "' (sudo usermod -aG " + groupName +
                          " USER, then log in again) or run Vantor as root";
        open = false;
      } else if (!parseRequest(request, parsed, error)) {
        answer["ok"] = false;
        answer["error"] = "refused: " + error;
      } else {
        answer = session.handle(parsed, reply);
      }
      if (!platform::sendMessage(socket, objectLine(answer), reply)) open = false;
      platform::releaseSentHandle(reply);
      if (!open) break;
    }
    if (buffer.size() > kMaxRequestBytes) {
      platform::sendMessage(socket, "{\"ok\":false,\"error\":\"refused: request too long\"}\n");
      break;
    }
  }
  std::vector<std::string> report = session.end();
  for (const std::string& text : report) log("uid " + std::to_string(peer.uid) + ": " + text);
}

HelperServer::~HelperServer() { stop(); }

bool HelperServer::start(std::string& error) {
  // A group by name, or by number where there is no name for it.
  const bool numeric = !config_.group.empty() && config_.group.size() < 10 &&
                       config_.group.find_first_not_of("0123456789") == std::string::npos;
  if (numeric) {
    gid_ = static_cast<unsigned>(std::stoul(config_.group));
  } else if (!platform::groupIdByName(config_.group, gid_)) {
    error = "no group named '" + config_.group + "' (create it with: groupadd --system " + config_.group + ")";
    return false;
  }
  if (!prepareStateDir(config_.stateDir, error)) return false;
  // What a session left when this helper was killed goes back first (a
  // live session of another helper in this namespace keeps its changes).
  std::vector<std::string> report;
  std::string staleError;
  undoStaleSession(0, report, staleError);
  for (const std::string& text : report) log(text);
  listener_ = platform::listenHelperSocket(config_.socketPath, gid_, error);
  return listener_ != platform::kInvalidSocket;
}

void HelperServer::run() {
  log("listening on " + config_.socketPath + " for root and group " + config_.group);
  while (!stopping_.load()) {
    platform::PeerCredentials peer;
    platform::SocketHandle client = platform::acceptHelperClient(listener_, peer);
    if (client == platform::kInvalidSocket) {
      if (stopping_.load()) break;
      platform::sleepMs(10);  // a transient shortage: try again shortly
      continue;
    }
    if (active_.load() >= kMaxClients) {
      platform::sendMessage(client, "{\"ok\":false,\"error\":\"too many clients\"}\n");
      platform::closeSocket(client);
      continue;
    }
    active_.fetch_add(1);
    {
      std::lock_guard<std::mutex> guard(lock_);
      clients_.push_back(client);
    }
    std::thread([this, client, peer] {
      serveConnection(client, peer, gid_, config_.group);
      {
        std::lock_guard<std::mutex> guard(lock_);
        clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
      }
      platform::closeSocket(client);
      active_.fetch_sub(1);
    }).detach();
  }
}

void HelperServer::stop() {
  if (stopping_.exchange(true)) return;
  platform::shutdownSocket(listener_);
  {
    // Each session sees its connection end and puts the host back.
    std::lock_guard<std::mutex> guard(lock_);
    for (platform::SocketHandle client : clients_) platform::shutdownSocket(client);
  }
  for (int waited = 0; active_.load() > 0 && waited < 1000; ++waited) platform::sleepMs(10);
  if (listener_ != platform::kInvalidSocket) platform::closeSocket(listener_);
  listener_ = platform::kInvalidSocket;
}

}  // namespace vantor::helper
