// The process's console.
#pragma once

namespace vantor::platform {

// Whether standard output is a terminal (a person watching), not a pipe or file.
bool stdoutIsTerminal();

}  // namespace vantor::platform
