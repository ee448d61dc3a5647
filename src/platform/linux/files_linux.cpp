#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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
  std::string temp = path + ".tmp-XXXXXX";
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

unsigned effectiveUserId() { return static_cast<unsigned>(::geteuid()); }

}  // namespace vantor::platform
