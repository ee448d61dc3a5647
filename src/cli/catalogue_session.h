// What the catalogue verbs (nodes, subs, events) share: loading the settings,
// the node file and the subscription list as start-up does, and saving.
#pragma once

#include <string>

namespace vantor::cli {

// Loads the settings and the node file, selects the last used node and
// records the host's addresses (config/localhost.ini). Prints a one-line
// error and returns false when a file exists but cannot be read.
bool openNodeStore();
// openNodeStore() plus the subscription list.
bool openCatalogue();
// Saves the node file; prints a one-line error on failure.
bool saveNodeStore();
// Keeps the store's selection as LastUsedNodeId and saves the settings.
bool saveSelection();

// A whole decimal number (a node id, a code); false for anything else.
bool parseNumber(const std::string& text, int& value);

}  // namespace vantor::cli
