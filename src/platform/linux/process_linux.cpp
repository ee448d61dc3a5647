#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
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

namespace {

constexpr std::size_t kLineLimit = 4096;

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extraEnv) {
  std::vector<std::string> envStore;
  for (char** e = environ; e && *e; ++e) envStore.emplace_back(*e);
  for (const auto& e : extraEnv) {
    std::string key = e.substr(0, e.find('=') + 1);
    for (auto it = envStore.begin(); it != envStore.end();)
      it = it->compare(0, key.size(), key) == 0 ? envStore.erase(it) : it + 1;
    envStore.push_back(e);
  }
  return envStore;
}

// Between fork and exec only async-signal-safe calls: everything the child
// needs was prepared by the parent.
[[noreturn]] void execChild(const char* program, char* const* argv, char* const* envp, int outputFd, int errorFd,
                            pid_t parent) {
  // What this process blocked or ignored (termination signals taken by one
  // thread, SIGPIPE) would otherwise carry over into the program.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) ::sigaction(sig, &dfl, nullptr);
  // A group of its own: a terminal's Ctrl+C is ours to handle, and we end
  // the child ourselves rather than have it die under a running connection.
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);  // the parent is already gone
  int devNull = ::open("/dev/null", O_RDONLY);
  if (devNull < 0 || ::dup2(devNull, 0) < 0 || ::dup2(outputFd, 1) < 0 || ::dup2(outputFd, 2) < 0) {
    int e = errno;
    (void)!::write(errorFd, &e, sizeof e);
    ::_exit(127);
  }
  // Nothing else of ours: sockets and files stay with this process. The
  // error pipe is close-on-exec and must survive until the exec.
  if (errorFd > 3) ::close_range(3, static_cast<unsigned>(errorFd) - 1, 0);
  if (::close_range(static_cast<unsigned>(errorFd) + 1, ~0U, 0) != 0) {
    for (int fd = errorFd + 1; fd < 65536; ++fd) ::close(fd);
  }
  ::execve(program, argv, envp);
  int e = errno;
  (void)!::write(errorFd, &e, sizeof e);
  ::_exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0) terminate(1000);
  closeOutput();
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv, std::string& error) {
  if (pid_ > 0 || argv.empty()) {
    error = pid_ > 0 ? "already running" : "no arguments";
    return false;
  }
  closeOutput();
  partial_.clear();
  endText_.clear();
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore = mergedEnvironment(extraEnv);
  std::vector<char*> env;
  for (auto& e : envStore) env.push_back(e.data());
  env.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return false;
  }
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) execChild(program.c_str(), args.data(), env.data(), outPipe[1], errPipe[1], parent);
  int forkError = errno;
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (pid < 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    error = std::strerror(forkError);
    return false;
  }
  // The exec closes the error pipe; an errno on it means the exec failed.
  int childError = 0;
  ssize_t got;
  while ((got = ::read(errPipe[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
  }
  ::close(errPipe[0]);
  if (got == static_cast<ssize_t>(sizeof childError)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    ::close(outPipe[0]);
    error = std::strerror(childError);
    return false;
  }
  ::fcntl(outPipe[0], F_SETFL, ::fcntl(outPipe[0], F_GETFL) | O_NONBLOCK);
  pid_ = pid;
  output_ = outPipe[0];
  return true;
}

bool ChildProcess::readLines(std::vector<std::string>& lines, int timeoutMs) {
  if (output_ < 0) {
    if (timeoutMs > 0) ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return false;
  }
  pollfd p{output_, POLLIN, 0};
  int n = ::poll(&p, 1, timeoutMs);
  if (n <= 0) return true;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return true;  // nothing more for now
    if (got == 0) {
      if (!partial_.empty()) lines.push_back(std::move(partial_));
      partial_.clear();
      closeOutput();
      return false;
    }
    for (ssize_t i = 0; i < got; ++i) {
      char c = buffer[i];
      if (c == '\n') {
        if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
        lines.push_back(std::move(partial_));
        partial_.clear();
      } else if (partial_.size() < kLineLimit) {
        partial_.push_back(c);
      }
    }
  }
}

bool ChildProcess::alive() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r < 0 && errno == EINTR) return true;
  if (r == pid_ && WIFEXITED(status))
    endText_ = "exited with status " + std::to_string(WEXITSTATUS(status));
  else if (r == pid_ && WIFSIGNALED(status))
    endText_ = "killed by signal " + std::to_string(WTERMSIG(status));
  else
    endText_ = "ended";
  pid_ = -1;
  return false;
}

void ChildProcess::terminate(int graceMs) {
  if (!alive()) return;
  ::kill(pid_, SIGTERM);
  long deadline = nowMs() + graceMs;
  while (alive()) {
    if (nowMs() >= deadline) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      endText_ = "killed by signal " + std::to_string(SIGKILL);
      pid_ = -1;
      break;
    }
    ::usleep(10000);
  }
}

void ChildProcess::closeOutput() {
  if (output_ >= 0) ::close(output_);
  output_ = -1;
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
