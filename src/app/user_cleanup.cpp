#include "app/user_cleanup.h"

#include "app/instance.h"
#include "app/system_proxy.h"
#include "platform/files.h"
#include "platform/local_ipc.h"

namespace vantor::app {

bool cleanupUserLeftovers(const std::string& runtimeFolder, std::vector<std::string>& report) {
  if (!platform::fileExists(runtimeFolder)) return true;  // no program ever ran here
  // Holding the instance lock for the clean-up proves that no program runs
  // (and keeps one from starting meanwhile).
  CInstance instance(runtimeFolder);
  std::string error;
  switch (instance.acquire(error)) {
    case CInstance::Start::AlreadyRunning:
      report.push_back("vantor is running (" + runtimeFolder +
                       "): its desktop proxy settings and runtime files are left to it");
      return true;
    case CInstance::Start::Failed:
      report.push_back("cannot check for a running vantor: " + error);
      return false;
    case CInstance::Start::First:
      break;
  }
  // The saved settings are restored first: they are the user's own, while
  // the desktop now names a proxy that is gone. An unreadable state file is
  // reported and kept.
  CSystemProxy proxy(runtimeFolder + "/system-proxy.state");
  bool ok = proxy.restore(report);
  std::string endpoint = instance.endpointPath();
  if (platform::fileExists(endpoint)) {
    platform::removeLocalEndpoint(endpoint);
    report.push_back("removed the stale control endpoint " + endpoint);
  }
  // The lock file stays: removing it while another start opens it would let
  // two programs each hold a lock of their own.
  return ok;
}

}  // namespace vantor::app
