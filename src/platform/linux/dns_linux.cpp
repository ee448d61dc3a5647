#include "platform/dns_config.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/files.h"
#include "platform/net.h"

namespace vantor::platform {
namespace {

constexpr const char* kResolveService = "org.freedesktop.resolve1";
constexpr const char* kResolvePath = "/org/freedesktop/resolve1";
constexpr const char* kResolveManager = "org.freedesktop.resolve1.Manager";

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A file that is mounted over (bind mount): it sits on another device than
// its folder, or it is listed as a mount point.
bool isMountPoint(const std::string& path) {
  struct stat file {
  }, dir{};
  if (::stat(path.c_str(), &file) != 0 || ::stat(parentOf(path).c_str(), &dir) != 0) return false;
  if (file.st_dev != dir.st_dev) return true;
  // A bind mount from the same file system: look for it in the mount table.
  std::string mounts, error;
  if (!readFile("/proc/self/mountinfo", mounts, error, 16u << 20)) return false;
  std::istringstream lines(mounts);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, devnum, root, point;
    fields >> id >> parent >> devnum >> root >> point;
    if (point == path) return true;
  }
  return false;
}

bool writeAllAt(int fd, std::string_view data) {
  off_t offset = 0;
  while (!data.empty()) {
    ssize_t n = ::pwrite(fd, data.data(), data.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  return true;
}

// For tests: with VANTOR_TEST_PAUSE_RESOLV_WRITE=<ms> set, the in-place write
// names each step on stderr and then waits that long, so a test can kill the
// writer between two steps and look at the file. Read at every write (they
// are rare); only the writing process's own environment can set it.
void pauseForTest(const char* step) {
  const char* value = std::getenv("VANTOR_TEST_PAUSE_RESOLV_WRITE");
  if (!value || !*value) return;
  long ms = std::strtol(value, nullptr, 10);
  if (ms <= 0) return;
  std::string line = std::string("resolv.conf write: ") + step + "\n";
  if (::write(2, line.data(), line.size()) < 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 600000L)));
}

// A file that cannot be replaced (a bind mount) is rewritten in place, in an
// order that leaves a complete file at every moment a kill may come:
//   1. open it without O_TRUNC: an empty file is never visible;
//   2. write the new text over the old from offset 0. When the new text is
//      shorter, it is padded with line feeds up to the old length, so the
//      file is never the new text followed by the tail of the old one: it is
//      the old file before this write and the new one followed by blank
//      lines (which resolvers skip) after it;
//   3. flush, then cut the file to the new text's length.
// A kill between 2 and 3 leaves the new text plus blank lines: complete.
// One write of a resolv.conf (far below a page) is not split by a signal; if
// the write fails half way (a full disk when the file grows) the old text is
// put back before giving up.
bool writeInPlace(const std::string& path, const std::string& content, std::string& error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    error = errnoText("cannot open " + path);
    return false;
  }
  std::string old;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(old.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errnoText("cannot read " + path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    old.append(buffer, static_cast<std::size_t>(n));
  }
  pauseForTest("opened");

  std::string padded = content;
  if (padded.size() < old.size()) padded.append(old.size() - padded.size(), '\n');
  bool ok = writeAllAt(fd, padded) && ::fdatasync(fd) == 0;
  if (!ok) {
    error = errnoText("cannot write " + path);
    // What is there may be a mix of both texts: the old one fits the space
    // it had, so it can go back.
    if (writeAllAt(fd, old) && ::ftruncate(fd, static_cast<off_t>(old.size())) == 0) ::fdatasync(fd);
  }
  if (ok) pauseForTest("written");
  if (ok && padded.size() != content.size() &&
      (::ftruncate(fd, static_cast<off_t>(content.size())) != 0 || ::fdatasync(fd) != 0)) {
    ok = false;
    error = errnoText("cannot cut " + path + " to its new length");
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errnoText("cannot write " + path);
  }
  return ok;
}

// --- sd-bus ------------------------------------------------------------------

struct Bus {
  sd_bus* bus = nullptr;
  std::string error;
  Bus() {
    std::string address = environmentValue("VANTOR_RESOLVED_BUS");
    int r;
    if (address.empty()) {
      r = sd_bus_open_system(&bus);
    } else {
      r = sd_bus_new(&bus);
      if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
      if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
      if (r >= 0) r = sd_bus_start(bus);
    }
    if (r < 0) {
      error = std::string("D-Bus: ") + std::strerror(-r);
      bus = sd_bus_flush_close_unref(bus);
    }
  }
  ~Bus() { sd_bus_flush_close_unref(bus); }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;
};

struct Reply {
  sd_bus_message* m = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~Reply() {
    sd_bus_message_unref(m);
    sd_bus_error_free(&error);
  }
};

std::string busError(const char* what, int r, const sd_bus_error& e) {
  std::string text = std::string("resolved ") + what + ": ";
  if (sd_bus_error_is_set(&e)) return text + (e.message ? e.message : e.name);
  return text + std::strerror(-r);
}

// Calls a method of resolved's manager object; `fill` appends the arguments.
bool callManager(Bus& bus, const char* member, const std::function<int(sd_bus_message*)>& fill, Reply& reply,
                 std::string& error) {
  if (!bus.bus) {
    error = bus.error;
    return false;
  }
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus.bus, &call, kResolveService, kResolvePath, kResolveManager, member);
  if (r >= 0 && fill) r = fill(call);
  if (r < 0) {
    sd_bus_message_unref(call);
    error = std::string("D-Bus message ") + member + ": " + std::strerror(-r);
    return false;
  }
  r = sd_bus_call(bus.bus, call, 5 * 1000 * 1000, &reply.error, &reply.m);
  sd_bus_message_unref(call);
  if (r < 0) {
    error = busError(member, r, reply.error);
    return false;
  }
  return true;
}

bool callManager(const char* member, const std::function<int(sd_bus_message*)>& fill, std::string& error) {
  Bus bus;
  Reply reply;
  return callManager(bus, member, fill, reply, error);
}

}  // namespace

std::string systemResolvConfPath() { return "/etc/resolv.conf"; }

bool writeResolverFile(const std::string& path, const std::string& content, std::string& error) {
  std::string target = path;
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
      error = errnoText("cannot follow " + path);
      return false;
    }
    target = resolved;
  }
  if (isMountPoint(target)) return writeInPlace(target, content, error);
  struct stat st {};
  unsigned mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  return writeFileAtomic(target, content, mode, error);
}

bool resolvedRunning() {
  Bus bus;
  if (!bus.bus) return false;
  Reply reply;
  int r = sd_bus_call_method(bus.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", &reply.error, &reply.m, "s", kResolveService);
  if (r < 0) return false;
  int owned = 0;
  if (sd_bus_message_read(reply.m, "b", &owned) < 0) return false;
  return owned != 0;
}

bool resolvedLinkDns(int ifIndex, std::vector<uint32_t>& servers, std::string& error) {
  servers.clear();
  Bus bus;
  Reply linkReply;
  if (!callManager(
          bus, "GetLink", [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", ifIndex); }, linkReply, error))
    return false;
  const char* linkPath = nullptr;
  if (sd_bus_message_read(linkReply.m, "o", &linkPath) < 0 || linkPath == nullptr) {
    error = "resolved GetLink: bad answer";
    return false;
  }
  Reply property;
  int r = sd_bus_get_property(bus.bus, kResolveService, linkPath, "org.freedesktop.resolve1.Link", "DNS",
                              &property.error, &property.m, "a(iay)");
  if (r < 0) {
    error = busError("DNS property", r, property.error);
    return false;
  }
  if (sd_bus_message_enter_container(property.m, 'a', "(iay)") < 0) {
    error = "resolved DNS property: bad answer";
    return false;
  }
  while ((r = sd_bus_message_enter_container(property.m, 'r', "iay")) > 0) {
    int family = 0;
    const void* bytes = nullptr;
    size_t length = 0;
    if (sd_bus_message_read(property.m, "i", &family) < 0 ||
        sd_bus_message_read_array(property.m, 'y', &bytes, &length) < 0) {
      error = "resolved DNS property: bad entry";
      return false;
    }
    if (family == AF_INET && length == 4) {
      uint32_t address;
      std::memcpy(&address, bytes, 4);
      servers.push_back(address);
    }
    sd_bus_message_exit_container(property.m);
  }
  return r >= 0;
}

bool resolvedSetLinkDns(int ifIndex, const std::vector<uint32_t>& servers, std::string& error) {
  return callManager(
      "SetLinkDNS",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "i", ifIndex);
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(iay)");
        for (uint32_t address : servers) {
          if (r >= 0) r = sd_bus_message_open_container(m, 'r', "iay");
          if (r >= 0) r = sd_bus_message_append(m, "i", AF_INET);
          if (r >= 0) r = sd_bus_message_append_array(m, 'y', &address, 4);
          if (r >= 0) r = sd_bus_message_close_container(m);
        }
        if (r >= 0) r = sd_bus_message_close_container(m);
        return r;
      },
      error);
}

bool resolvedRouteAllQueries(int ifIndex, std::string& error) {
  return callManager(
             "SetLinkDomains",
             [&](sd_bus_message* m) { return sd_bus_message_append(m, "ia(sb)", ifIndex, 1, "~.", 1); }, error) &&
         callManager(
             "SetLinkDefaultRoute", [&](sd_bus_message* m) { return sd_bus_message_append(m, "ib", ifIndex, 1); },
             error);
}

bool resolvedRevertLink(int ifIndex, std::string& error) {
  return callManager(
      "RevertLink", [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", ifIndex); }, error);
}

bool resolvedFlushCaches(std::string& error) { return callManager("FlushCaches", nullptr, error); }

}  // namespace vantor::platform
