#include "crypto/ssr/auth_data.h"

#include <mutex>

#include "crypto/random.h"

namespace vantor {
namespace {
std::mutex g_authLock;
CAuthData* g_authData = nullptr;  // never deleted: plugins may outlive any owner
}  // namespace

CAuthData::CAuthData() {
  std::lock_guard<std::mutex> guard(g_authLock);
  renewLocked();
}

void CAuthData::renewLocked() {
  uint8_t b[4];
  RandomBytes(b, sizeof b);
  const uint32_t r = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  clientId.store(r, std::memory_order_relaxed);
  connectionId.store(r & kConnectionIdMask, std::memory_order_relaxed);
}

void CAuthData::Renew() {
  std::lock_guard<std::mutex> guard(g_authLock);
  renewLocked();
}

void CAuthData::CheckConnectionId() {
  std::lock_guard<std::mutex> guard(g_authLock);
  if (connectionId.load(std::memory_order_relaxed) > kConnectionIdLimit) renewLocked();
}

CAuthData* InitAuthData() {
  std::lock_guard<std::mutex> guard(g_authLock);
  if (!g_authData) g_authData = new CAuthData(CAuthData::NoRenew{});
  g_authData->renewLocked();
  return g_authData;
}

CAuthData* GetProcessAuthData() {
  std::lock_guard<std::mutex> guard(g_authLock);
  if (!g_authData) {
    g_authData = new CAuthData(CAuthData::NoRenew{});
    g_authData->renewLocked();
  }
  return g_authData;
}

}  // namespace vantor
