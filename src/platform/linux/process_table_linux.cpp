// The process table through /proc: the executable's file name is the target of
// /proc/PID/exe (readable for the processes we may signal).
#include "platform/process.h"

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vantor::platform {
namespace {

bool allDigits(const char* text) {
  if (!*text) return false;
  for (; *text; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

std::string executableName(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
  char target[PATH_MAX];
  ssize_t n = ::readlink(path, target, sizeof target - 1);
  if (n <= 0) return {};
  std::string file(target, static_cast<std::size_t>(n));
  // A program whose file was replaced since it started still runs under its name.
  const std::string deleted = " (deleted)";
  if (file.size() > deleted.size() && file.compare(file.size() - deleted.size(), deleted.size(), deleted) == 0)
    file.resize(file.size() - deleted.size());
  auto slash = file.rfind('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

bool alive(int pid) {
  if (::kill(pid, 0) != 0) return false;
  // A child that ended but was not reaped yet counts as gone.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  char buffer[512] = {};
  std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  const char* close = std::strrchr(buffer, ')');
  return !(n > 0 && close && close[1] == ' ' && close[2] == 'Z');
}

}  // namespace

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> out;
  DIR* dir = ::opendir("/proc");
  if (!dir) return out;
  while (dirent* entry = ::readdir(dir)) {
    if (!allDigits(entry->d_name)) continue;
    int pid = std::atoi(entry->d_name);
    std::string name = executableName(pid);
    if (!name.empty()) out.push_back({pid, std::move(name)});
  }
  ::closedir(dir);
  return out;
}

void terminateProcesses(const std::vector<int>& pids, int graceMs) {
  std::vector<int> signalled;
  for (int pid : pids)
    if (pid > 0 && ::kill(pid, SIGTERM) == 0) signalled.push_back(pid);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  for (;;) {
    bool anyAlive = false;
    for (int pid : signalled) anyAlive = anyAlive || alive(pid);
    if (!anyAlive) return;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (int pid : signalled)
    if (alive(pid)) ::kill(pid, SIGKILL);
}

}  // namespace vantor::platform
