// Host-name cache: host name -> address text (dotted IPv4, or IPv6 for a name
// without IPv4 addresses), kept for 48 hours. It is the only name resolution
// of the local service and the tools built on it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/net.h"

namespace vantor {

class CHostCache {
 public:
  static constexpr int64_t kLifetimeSeconds = 172800;

  using Clock = std::function<int64_t()>;                                           // seconds since the epoch
  using Resolver = std::function<bool(const std::string&, platform::IpEndpoint&)>;  // name -> address

  CHostCache();
  // Test seams: a fixed clock and a counting resolver.
  void setClock(Clock clock) { clock_ = std::move(clock); }
  void setResolver(Resolver resolver) { resolver_ = std::move(resolver); }

  bool cacheLookup(const std::string& name, std::string& ipText);
  bool cacheContains(const std::string& name);
  void cacheStore(const std::string& name, const std::string& ipText);
  bool resolveHost(const std::string& name, std::string& ipText);
  // Forgets every entry (a disconnect: the next connection resolves afresh).
  void clear();
  // IPv4 endpoint of `name` (a dotted address is used as it is) and `port`.
  bool fillAddress(platform::Ipv4Endpoint& endpoint, const std::string& name, uint16_t port);
  // The endpoint of a node: an address of either family as it is, else the
  // name's IPv4 address, else its IPv6 one.
  bool fillNodeAddress(platform::IpEndpoint& endpoint, const std::string& name, uint16_t port);

 private:
  struct Entry {
    std::string ipText;
    int64_t storedAt;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  Clock clock_;
  Resolver resolver_;
};

// The process-wide cache.
CHostCache& hostCache();
inline bool fillAddress(platform::Ipv4Endpoint& endpoint, const std::string& name, uint16_t port) {
  return hostCache().fillAddress(endpoint, name, port);
}
inline bool fillNodeAddress(platform::IpEndpoint& endpoint, const std::string& name, uint16_t port) {
  return hostCache().fillNodeAddress(endpoint, name, port);
}
inline bool resolveHost(const std::string& name, std::string& ipText) { return hostCache().resolveHost(name, ipText); }

}  // namespace vantor
