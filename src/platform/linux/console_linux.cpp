#include "platform/console.h"

#include <unistd.h>

namespace vantor::platform {

bool stdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace vantor::platform
