#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace vantor::platform {
namespace {

std::string describe(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool writeFileAtomic(const std::string& path, std::string_view content, unsigned mode, std::string& error) {
  // The writer's id in the name tells a later start which leftovers belong
  // to a save that can no longer finish.
  std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = describe("cannot create a temporary file beside", path);
    return false;
  }
  bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
  if (!ok) error = describe("cannot write", temp);
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = describe("cannot write", temp);
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = describe("cannot replace", path);
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself is durable only once the folder is flushed.
  int dir = ::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

namespace {

bool allOf(std::string_view text, bool (*test)(char)) {
  for (char c : text)
    if (!test(c)) return false;
  return !text.empty();
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isTempChar(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

std::vector<std::string> removeStaleTempFiles(const std::string& folder) {
  std::vector<std::string> removed;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return removed;
  const std::time_t now = std::time(nullptr);
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    auto mark = name.rfind(".tmp-");
    if (mark == std::string::npos || mark == 0) continue;
    std::string_view tail = std::string_view(name).substr(mark + 5);
    std::string full = folder + "/" + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    bool stale = false;
    auto dash = tail.find('-');
    if (dash != std::string_view::npos && tail.size() - dash - 1 == 6 && allOf(tail.substr(0, dash), isDigit) &&
        allOf(tail.substr(dash + 1), isTempChar)) {
      long pid = std::strtol(std::string(tail.substr(0, dash)).c_str(), nullptr, 10);
      stale = pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    } else if (tail.size() == 6 && allOf(tail, isTempChar)) {
      // No writer recorded: a save takes milliseconds, a minute is plenty.
      stale = now - st.st_mtime > 60;
    }
    if (stale && ::unlink(full.c_str()) == 0) removed.push_back(name);
  }
  ::closedir(dir);
  return removed;
}

bool keepCopy(const std::string& path, const std::string& alias, std::string& error) {
  if (::link(path.c_str(), alias.c_str()) == 0) return true;
  if (errno == EEXIST) {
    error = describe("cannot keep a copy as", alias);
    return false;
  }
  std::string content;
  if (!readFile(path, content, error, SIZE_MAX)) return false;
  int fd = ::open(alias.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = describe("cannot keep a copy as", alias);
    return false;
  }
  bool ok = writeAll(fd, content);
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    error = describe("cannot write", alias);
    ::unlink(alias.c_str());
  }
  return ok;
}

bool readFile(const std::string& path, std::string& content, std::string& error, std::size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = describe("cannot open", path);
    return false;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = describe("cannot read", path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (content.size() + static_cast<std::size_t>(n) > limit) {
      error = path + " is larger than " + std::to_string(limit) + " bytes";
      ::close(fd);
      return false;
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool nameTaken(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirectories(const std::string& path, unsigned mode, std::string& error) {
  if (path.empty()) {
    error = "empty folder name";
    return false;
  }
  if (isDirectory(path)) return true;
  std::string parent = parentOf(path);
  if (parent != path && !isDirectory(parent) && !makeDirectories(parent, mode, error)) return false;
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
    error = describe("cannot create the folder", path);
    return false;
  }
  return true;
}

namespace {

bool privateFolder(const std::string& path, const char* label, bool create, std::string& error) {
  const std::string name = std::string("the ") + label + " " + path;
  if (path.empty()) {
    error = std::string("no ") + label + " given";
    return false;
  }
  if (create) {
    std::string parent = parentOf(path);
    if (parent != path && !isDirectory(parent) && !makeDirectories(parent, 0700, error)) return false;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      error = describe("cannot create", name);
      return false;
    }
  }
  // Whoever made the folder, it is judged as it is now: lstat, so that a
  // link planted by another user is refused instead of followed.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    error = describe("cannot examine", name);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    error = name + " is a symbolic link; it must be a folder of its own";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = name + " is not a folder";
    return false;
  }
  const uid_t me = ::geteuid();
  if (st.st_uid != me) {
    error = name + " belongs to user " + std::to_string(st.st_uid) + ", not to this user (" + std::to_string(me) +
            "); remove it or choose another folder";
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = name + " is open to other users (mode " + mode + "); it must be 0700 (chmod 700 " + path + ")";
    return false;
  }
  return true;
}

}  // namespace

bool ensurePrivateFolder(const std::string& path, const char* label, std::string& error) {
  return privateFolder(path, label, true, error);
}

bool checkPrivateFolder(const std::string& path, const char* label, std::string& error) {
  return privateFolder(path, label, false, error);
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

std::string executableDir() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  return parentOf(std::string(buffer, static_cast<std::size_t>(n)));
}

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

bool setEnvironmentValue(const char* name, const std::string& value) { return ::setenv(name, value.c_str(), 1) == 0; }

unsigned effectiveUserId() { return static_cast<unsigned>(::geteuid()); }

}  // namespace vantor::platform
