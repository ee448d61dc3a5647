// The crash report writer: when the process dies of a fault (invalid memory
// access, illegal instruction, arithmetic fault, abort) it writes
// "ERRORLOG-<id>.LOG" with the signal and a backtrace into a folder, then
// lets the fault end the process as it would have. The report is always a
// new file: when that name exists (a file, or a link pointing anywhere) the
// next free "ERRORLOG-<id>-<n>.LOG" is taken, and nothing that existed is
// written to.
#pragma once

#include <string>

namespace vantor::platform {

// `versionText` goes into the report's identifier
// "V<version>-T<yyyymmdd>-<hhmmss>-P<pid>-T<tid>". Installing again replaces
// the folder.
void installCrashHandler(const std::string& logFolder, const std::string& versionText);

}  // namespace vantor::platform
