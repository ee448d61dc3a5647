// One line on the process's error output for what the service cannot report
// to a caller: a session or worker thread that could not be made, a listener
// that cannot accept for a while. Lines start with "vantor: ".
#pragma once

namespace vantor {

void serviceLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vantor
