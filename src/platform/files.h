// Files that hold the user's data or the host's configuration: written so that
// a crash or a full disk never leaves half a file behind.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::platform {

// Writes `content` to a temporary file in the same folder, flushes it to disk
// and renames it over `path`. On failure the old file is left as it was and
// `error` says why. `mode` is the new file's permission bits (e.g. 0600).
// The temporary file is named "PATH.tmp-PID-XXXXXX" after the writing process.
bool writeFileAtomic(const std::string& path, std::string_view content, unsigned mode, std::string& error);
// Removes the temporary files writeFileAtomic() left in `folder` when its
// writer was killed mid-save: those whose writing process is gone, and those
// of the older "PATH.tmp-XXXXXX" form once they are a minute old. Returns the
// names removed.
std::vector<std::string> removeStaleTempFiles(const std::string& folder);
// Makes `alias` a second name of the file `path` (a hard link; a symbolic
// link is linked itself, not its target), else a copy of it.
bool keepCopy(const std::string& path, const std::string& alias, std::string& error);

// Reads a whole file of at most `limit` bytes. False (with `error`) when it is
// missing, unreadable or larger than the limit.
bool readFile(const std::string& path, std::string& content, std::string& error, std::size_t limit = 64u << 20);

bool fileExists(const std::string& path);
// Whether anything has this name, a link to nothing included (fileExists()
// follows links).
bool nameTaken(const std::string& path);
bool isDirectory(const std::string& path);
// Creates `path` and its missing parents with `mode`; true when it exists after.
bool makeDirectories(const std::string& path, unsigned mode, std::string& error);
// A folder only this user may enter: creates `path` (mode 0700, missing parents
// too) when it is missing, then checks the folder itself without following a
// symbolic link: a folder, owned by the effective user, no group or other
// permission bits. Otherwise false, and `error` names the folder (as "the
// <label> <path>") and what is wrong with it.
bool ensurePrivateFolder(const std::string& path, const char* label, std::string& error);
// The same checks without creating anything: false also when it is missing.
bool checkPrivateFolder(const std::string& path, const char* label, std::string& error);
bool removeFile(const std::string& path);

// The folder of the running executable (no trailing slash).
std::string executableDir();
// The value of an environment variable, empty when unset.
std::string environmentValue(const char* name);
// Sets an environment variable of this process (seen by environmentValue()
// and by libraries of this process that read the environment).
bool setEnvironmentValue(const char* name, const std::string& value);
// The effective user id.
unsigned effectiveUserId();

}  // namespace vantor::platform
