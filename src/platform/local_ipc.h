// The pieces of a single-instance program: an exclusive instance lock that
// the system releases when the process ends however it ends, and a local
// stream endpoint that only the owner's processes can reach (a Unix socket
// here; a named mutex and a named pipe on Windows). Handles are used with the
// socket calls of platform/net.h.
#pragma once

#include <string>

#include "platform/net.h"

namespace vantor::platform {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  enum class Result { Acquired, HeldByOther, Failed };
  // Takes the lock file at `path` without waiting and writes `note` into it
  // (by default this process's id), for whoever looks at the holder.
  Result acquire(const std::string& path, std::string& error, const std::string& note = {});
  void release();
  bool held() const { return handle_ >= 0; }

 private:
  long handle_ = -1;
};

// Listens on `path` (a stale endpoint left by a dead process is replaced),
// reachable by the owner only. kInvalidSocket with `error` on failure.
SocketHandle listenLocal(const std::string& path, std::string& error);
// Accepts one connection and reports the user id of the process behind it.
SocketHandle acceptLocal(SocketHandle server, unsigned& peerUserId);
SocketHandle connectLocal(const std::string& path);
// Removes the endpoint's name from the file system.
void removeLocalEndpoint(const std::string& path);

}  // namespace vantor::platform
