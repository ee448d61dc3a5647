#include "platform/console.h"

#include <windows.h>

namespace vantor::platform {

bool stdoutIsTerminal() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_CHAR &&
         GetConsoleMode(out, &mode) != 0;
}

}  // namespace vantor::platform
