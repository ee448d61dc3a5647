// The user's part of the clean-up after a program that was killed: the
// desktop proxy settings it pointed at its (now dead) local proxy, and the
// files it left in the runtime folder. The host's part (routes, TUN
// interface, DNS) is the network helper's.
#pragma once

#include <string>
#include <vector>

namespace vantor::app {

// Does the clean-up in `runtimeFolder` unless a running program holds its
// instance lock, in which case nothing of it is touched. `report` gets one
// line per thing done (or left). False when something could not be undone.
bool cleanupUserLeftovers(const std::string& runtimeFolder, std::vector<std::string>& report);

}  // namespace vantor::app
