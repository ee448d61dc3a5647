// The client identity that the authenticating ShadowsocksR protocols put into
// their first packet: one instance per process, shared by every connection.
#pragma once

#include <atomic>
#include <cstdint>

namespace vantor {

class CAuthData;
CAuthData* InitAuthData();
CAuthData* GetProcessAuthData();

class CAuthData {
 public:
  // Connection numbers above this start a fresh identity before they wrap.
  static constexpr uint32_t kConnectionIdLimit = 0xFF000000u;
  static constexpr uint32_t kConnectionIdMask = 0x00FFFFFDu;

  // Starts with a fresh identity.
  CAuthData();
  CAuthData(const CAuthData&) = delete;
  CAuthData& operator=(const CAuthData&) = delete;

  // New random client id r; the connection counter restarts at
  // r AND 0x00FFFFFD, far below the limit. Renewal, checks and creation of
  // the process-wide instance all run under one process-wide lock.
  void Renew();
  // Renews when the counter has passed kConnectionIdLimit. Protocols call it
  // before taking a connection number.
  void CheckConnectionId();
  // Takes a connection number: increments the counter atomically and returns
  // the incremented value.
  uint32_t NextConnectionId() { return connectionId.fetch_add(1, std::memory_order_relaxed) + 1; }

  // Read freely; written by Renew under the lock, and connectionId also by
  // NextConnectionId's atomic increment.
  std::atomic<uint32_t> clientId{0};
  std::atomic<uint32_t> connectionId{0};

 private:
  friend CAuthData* InitAuthData();
  friend CAuthData* GetProcessAuthData();
  struct NoRenew {};
  // For the process-wide instance, which is created under the lock.
  explicit CAuthData(NoRenew) {}
  void renewLocked();
};

// Creates the process-wide instance when it does not exist yet and renews it
// in either case. Called at start-up and after every disconnect, so each
// connect period begins with a fresh identity. The instance lives until exit.
CAuthData* InitAuthData();
// The process-wide instance; created (with a fresh identity) on first use if
// InitAuthData has not run yet, so a plugin never sees a null identity.
CAuthData* GetProcessAuthData();

}  // namespace vantor
