#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"

extern char** environ;

namespace vantor::platform {
namespace {

constexpr std::size_t kOutputLimit = 1u << 20;

long nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return "";
}

bool runProcess(const std::vector<std::string>& argv, std::string* output, int& exitCode, int timeoutMs,
                const std::vector<std::string>& extraEnv) {
  exitCode = -1;
  if (argv.empty()) return false;
  std::string program = findProgram(argv[0]);
  if (program.empty()) return false;

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; e && *e; ++e) envStore.emplace_back(*e);
  for (const auto& e : extraEnv) {
    std::string key = e.substr(0, e.find('=') + 1);
    for (auto it = envStore.begin(); it != envStore.end();)
      it = it->compare(0, key.size(), key) == 0 ? envStore.erase(it) : it + 1;
    envStore.push_back(e);
  }
  std::vector<char*> env;
  for (auto& e : envStore) env.push_back(e.data());
  env.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    return false;
  }

  long deadline = nowMs() + timeoutMs;
  bool killed = false;
  char buffer[4096];
  for (;;) {
    long left = deadline - nowMs();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (output && output->size() < kOutputLimit) output->append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (killed || !WIFEXITED(status)) return false;
  exitCode = WEXITSTATUS(status);
  return true;
}

int currentProcessId() { return static_cast<int>(::getpid()); }

uint64_t processStartTime(int pid) {
  if (pid <= 0) return 0;
  std::string stat, error;
  if (!readFile("/proc/" + std::to_string(pid) + "/stat", stat, error, 64 * 1024)) return 0;
  // The command name may hold blanks and parentheses: count from the last ")".
  auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::size_t pos = close + 2;
  // Field 22 (starttime) is the 20th after the name.
  for (int field = 3; field < 22 && pos != std::string::npos; ++field) {
    pos = stat.find(' ', pos);
    if (pos != std::string::npos) ++pos;
  }
  if (pos == std::string::npos) return 0;
  return std::stoull(stat.substr(pos, stat.find(' ', pos) - pos));
}

}  // namespace vantor::platform
