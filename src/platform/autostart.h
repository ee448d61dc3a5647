// Starting the program when the user logs in.
#pragma once

#include <string>
#include <vector>

namespace vantor::platform {

// Adds (enable) or removes the entry that starts this executable with
// `arguments` at log-in. Removing an entry that is not there succeeds.
bool setRunAtStartup(bool enable, const std::vector<std::string>& arguments, std::string& error);
// Whether such an entry exists.
bool runAtStartupEntryExists();

}  // namespace vantor::platform
