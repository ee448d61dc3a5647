// What the catalogue verbs (nodes, subs, events) share: loading the settings,
// the node file and the subscription list as start-up does, and saving.
#pragma once

#include <string>

namespace vantor::cli {

// Removes what killed saves left in the configuration folder, loads the
// settings and the node file (warning about damaged files), selects the last
// used node and records the host's addresses (config/localhost.ini). Prints a one-line
// error and returns false when a file exists but cannot be read.
bool openNodeStore();
// openNodeStore() plus the subscription list.
bool openCatalogue();
// Prints the warnings about damaged configuration files noted so far.
void printConfigWarnings();
// Saves the node file; prints a one-line error on failure.
bool saveNodeStore();
// Keeps the store's selection as LastUsedNodeId and saves the settings.
bool saveSelection();

// A whole decimal number (a node id, a code); false for anything else.
bool parseNumber(const std::string& text, int& value);

}  // namespace vantor::cli
