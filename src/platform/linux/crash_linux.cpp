#include "platform/crash.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantor::platform {
namespace {

// Everything the handler needs is prepared at install time: at crash time
// only async-signal-safe calls are made (no allocation, no stdio).
char gFolder[1024];
char gVersion[64];
long gUtcOffsetSeconds = 0;
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

struct Text {
  char data[1536];
  std::size_t length = 0;
  void add(const char* s) {
    while (*s && length + 1 < sizeof data) data[length++] = *s++;
    data[length] = 0;
  }
  void number(unsigned long value, int width = 0) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value && n < 24);
    while (n < width && n < 24) digits[n++] = '0';
    while (n) {
      char c[2] = {digits[--n], 0};
      add(c);
    }
  }
};

void writeText(int fd, const Text& t) {
  std::size_t done = 0;
  while (done < t.length) {
    ssize_t n = ::write(fd, t.data + done, t.length - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil(long days, long& year, unsigned& month, unsigned& day) {
  days += 719468;
  long era = (days >= 0 ? days : days - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(days - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  year = static_cast<long>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
}

const char* signalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV (invalid memory access)";
    case SIGBUS:
      return "SIGBUS (bus error)";
    case SIGFPE:
      return "SIGFPE (arithmetic fault)";
    case SIGILL:
      return "SIGILL (illegal instruction)";
    case SIGABRT:
      return "SIGABRT (abort)";
  }
  return "signal";
}

// The report's name can be guessed (version, time, pid), so the name may be
// taken already, even by a link someone planted to make us overwrite another
// file. Only a file this call creates is written: O_EXCL refuses any existing
// name, a link included, and O_NOFOLLOW says the same once more. A taken
// name gets a counter ("-1", "-2", ...) instead.
int openReport(const Text& id, Text& path) {
  constexpr int kTries = 100;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    path.length = 0;
    path.add(gFolder);
    path.add("/ERRORLOG-");
    path.add(id.data);
    if (attempt > 0) {
      path.add("-");
      path.number(static_cast<unsigned long>(attempt));
    }
    path.add(".LOG");
    int fd = ::open(path.data, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EEXIST && errno != ELOOP)) return fd;
  }
  return -1;
}

void onCrash(int sig, siginfo_t* info, void*) {
  long now = static_cast<long>(::time(nullptr)) + gUtcOffsetSeconds;
  long year;
  unsigned month, day;
  civil(now >= 0 ? now / 86400 : (now - 86399) / 86400, year, month, day);
  long secs = ((now % 86400) + 86400) % 86400;

  Text id;
  id.add("V");
  id.add(gVersion);
  id.add("-T");
  id.number(static_cast<unsigned long>(year), 4);
  id.number(month, 2);
  id.number(day, 2);
  id.add("-");
  id.number(static_cast<unsigned long>(secs / 3600), 2);
  id.number(static_cast<unsigned long>(secs / 60 % 60), 2);
  id.number(static_cast<unsigned long>(secs % 60), 2);
  id.add("-P");
  id.number(static_cast<unsigned long>(::getpid()));
  id.add("-T");
  id.number(static_cast<unsigned long>(::syscall(SYS_gettid)));

  Text path;
  int fd = openReport(id, path);
  if (fd >= 0) {
    Text head;
    head.add("Vantor error report ");
    head.add(id.data);
    head.add("\nsignal: ");
    head.number(static_cast<unsigned long>(sig));
    head.add(" ");
    head.add(signalName(sig));
    head.add("\nfault address: 0x");
    unsigned long address = info ? reinterpret_cast<unsigned long>(info->si_addr) : 0;
    char hex[17];
    for (int i = 15; i >= 0; --i, address >>= 4) hex[i] = "0123456789abcdef"[address & 15];
    hex[16] = 0;
    head.add(hex);
    head.add("\nbacktrace:\n");
    writeText(fd, head);
    void* frames[64];
    int n = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, n, fd);
    ::fsync(fd);
    ::close(fd);
    Text note;
    note.add("vantor: crashed; report written to ");
    note.add(path.data);
    note.add("\n");
    writeText(2, note);
  }
  // Let the fault end the process the way it would have (core dump, status).
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);
}

}  // namespace

void installCrashHandler(const std::string& logFolder, const std::string& versionText) {
  std::strncpy(gFolder, logFolder.c_str(), sizeof gFolder - 1);
  std::strncpy(gVersion, versionText.c_str(), sizeof gVersion - 1);
  time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  gUtcOffsetSeconds = local.tm_gmtoff;
  // The first backtrace() loads the unwinder, which allocates: do it now.
  void* warmUp[4];
  ::backtrace(warmUp, 4);

  // A stack overflow leaves no stack to run the handler on: give it its own.
  static char* altStack = nullptr;
  if (!altStack) {
    static char storage[64 * 1024];
    altStack = storage;
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = sizeof storage;
    ::sigaltstack(&ss, nullptr);
  }
  struct sigaction action {};
  action.sa_sigaction = onCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  ::sigemptyset(&action.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &action, nullptr);
}

}  // namespace vantor::platform
