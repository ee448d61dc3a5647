// Where Vantor keeps things on this machine.
//
//   configuration root   --config-dir DIR, else $VANTOR_CONFIG_DIR, else
//                        $XDG_CONFIG_HOME/vantor, else ~/.config/vantor
//     config/            the INI files, pac.txt, userpac.txt, the node file
//     rules/             the user's own rule files
//     log/               crash logs
//   shipped data         rules/ and lang/ beside the program (or in
//                        ../share/vantor, or the build tree); $VANTOR_DATA_DIR
//                        overrides
//   runtime folder       $VANTOR_RUNTIME_DIR, else $XDG_RUNTIME_DIR/vantor,
//                        else /run/vantor-root for root, else /tmp/vantor-UID:
//                        the instance lock, the control socket, the record of
//                        host changes. Whichever it is, it is used only when
//                        it is a real folder of the effective user with mode
//                        0700 (see ensureRuntimeDir)
#pragma once

#include <string>

namespace vantor::paths {

// The --config-dir option; takes precedence over the environment.
void setConfigRoot(const std::string& dir);

std::string configRoot();
std::string configDir();     // configRoot()/config
std::string userRulesDir();  // configRoot()/rules
std::string logDir();        // configRoot()/log
// A file in configDir(), e.g. configFile("config.ini").
std::string configFile(const std::string& name);

std::string programDir();
std::string dataDir();          // the folder that holds the shipped rules/ and lang/
std::string shippedRulesDir();  // dataDir()/rules
std::string langDir();          // dataDir()/lang

std::string runtimeDir();

// Creates configDir(), userRulesDir() and logDir() (mode 0700) when missing.
bool ensureConfigFolders(std::string& error);
// Creates runtimeDir() (mode 0700) when missing, then checks it: not a
// symbolic link, a folder, owned by the effective user, no group or other
// permission bits. A folder someone else made first (the /tmp fallback is
// open to that) or opened up is refused: false, with `error` naming the folder
// and what is wrong. Nothing may be created in the folder before this passed.
bool ensureRuntimeDir(std::string& error);
// The same checks on a given runtime folder, creating it first when `create`
// (without, a missing folder is an error too).
bool checkRuntimeDir(const std::string& dir, bool create, std::string& error);

}  // namespace vantor::paths
