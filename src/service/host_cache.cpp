#include "service/host_cache.h"

#include <ctime>

namespace vantor {

CHostCache::CHostCache()
    : clock_([] { return static_cast<int64_t>(std::time(nullptr)); }),
      resolver_([](const std::string& name, platform::IpEndpoint& address) {
        return platform::resolveAddress(name, address);
      }) {}

bool CHostCache::cacheLookup(const std::string& name, std::string& ipText) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end() || clock_() - it->second.storedAt >= kLifetimeSeconds) return false;
  ipText = it->second.ipText;
  return true;
}

bool CHostCache::cacheContains(const std::string& name) {
  std::lock_guard lock(mutex_);
  return entries_.count(name) != 0;
}

void CHostCache::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.clear();
}

void CHostCache::cacheStore(const std::string& name, const std::string& ipText) {
  std::lock_guard lock(mutex_);
  entries_[name] = Entry{ipText, clock_()};
}

bool CHostCache::resolveHost(const std::string& name, std::string& ipText) {
  if (cacheLookup(name, ipText)) return true;
  platform::IpEndpoint address;
  if (!resolver_(name, address)) return false;
  ipText = platform::formatIpAddress(address);
  // An expired entry stays as it was: only names never seen are stored.
  if (!cacheContains(name)) cacheStore(name, ipText);
  return true;
}

bool CHostCache::fillAddress(platform::Ipv4Endpoint& endpoint, const std::string& name, uint16_t port) {
  endpoint.port = port;
  if (platform::parseIpv4(name, endpoint.address)) return true;
  std::string ipText;
  return resolveHost(name, ipText) && platform::parseIpv4(ipText, endpoint.address);
}

bool CHostCache::fillNodeAddress(platform::IpEndpoint& endpoint, const std::string& name, uint16_t port) {
  endpoint.port = port;
  if (platform::parseIpAddress(name, endpoint)) return true;
  std::string ipText;
  return resolveHost(name, ipText) && platform::parseIpAddress(ipText, endpoint);
}

CHostCache& hostCache() {
  static CHostCache* cache = new CHostCache();  // lives until the process ends
  return *cache;
}

}  // namespace vantor
