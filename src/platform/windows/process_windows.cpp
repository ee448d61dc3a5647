// Child programs through CreateProcessW. Their standard output and error go
// to one anonymous pipe; a job object that kills its members when its last
// handle closes ties them to this process, so a crash of ours leaves none
// behind (Windows ties them to the process, not to the starting thread).
#include "platform/process.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <mutex>

#include "platform/windows/win_support.h"

namespace vantor::platform {
namespace {

using win::widen;

constexpr std::size_t kOutputLimit = 1u << 20;
constexpr std::size_t kLineLimit = 4096;

// One argument quoted the way the C runtime's command-line parser splits it
// back: backslashes are literal unless they precede a quote.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::wstring commandLine(const std::vector<std::string>& argv) {
  std::wstring line;
  for (const auto& a : argv) appendQuoted(line, widen(a));
  return line;
}

std::wstring upper(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towupper(c));
  return s;
}

// This process's environment with `extraEnv` replacing variables of the same
// name (names are case-insensitive here), as a CREATE_UNICODE_ENVIRONMENT block.
std::wstring environmentBlock(const std::vector<std::string>& extraEnv) {
  std::map<std::wstring, std::wstring> vars;  // upper-cased name -> "Name=value"
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
      std::wstring entry(p);
      auto eq = entry.find(L'=', 1);  // "=C:=C:\dir" entries start with '='
      vars[upper(entry.substr(0, eq))] = entry;
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& e : extraEnv) {
    std::wstring entry = widen(e);
    vars[upper(entry.substr(0, entry.find(L'=')))] = entry;
  }
  std::wstring out;
  for (const auto& [name, entry] : vars) {
    out += entry;
    out += L'\0';
  }
  out += L'\0';
  return out;
}

HANDLE killOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

struct Spawned {
  HANDLE process = nullptr;
  HANDLE job = nullptr;
  HANDLE output = nullptr;  // our end of the output pipe
  DWORD pid = 0;
};

// Starts `program` with standard input from NUL, standard output into a pipe
// (standard error too when `mergeErrors`, else NUL).
bool spawn(const std::string& program, const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
           bool mergeErrors, DWORD flags, Spawned& out, std::string& error) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    error = win::errorText(GetLastError());
    return false;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  // Only these handles reach the child, whatever else of ours is inheritable.
  HANDLE handles[2] = {writeEnd, nul};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> attrStore(size);
  auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrStore.data());
  bool haveAttrs =
      InitializeProcThreadAttributeList(attrs, 1, 0, &size) &&
      UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                nul != INVALID_HANDLE_VALUE ? sizeof handles : sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = nul;
  si.StartupInfo.hStdOutput = writeEnd;
  si.StartupInfo.hStdError = mergeErrors ? writeEnd : nul;
  if (haveAttrs) si.lpAttributeList = attrs;
  std::wstring line = commandLine(argv);
  std::wstring env = environmentBlock(extraEnv);
  PROCESS_INFORMATION pi{};
  HANDLE job = killOnCloseJob();
  BOOL ok = CreateProcessW(
      widen(program).c_str(), line.data(), nullptr, nullptr, TRUE,
      flags | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | (haveAttrs ? EXTENDED_STARTUPINFO_PRESENT : 0),
      env.data(), nullptr, &si.StartupInfo, &pi);
  DWORD code = GetLastError();
  if (haveAttrs) DeleteProcThreadAttributeList(attrs);
  CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!ok) {
    CloseHandle(readEnd);
    if (job) CloseHandle(job);
    error = win::errorText(code);
    return false;
  }
  // In the job before it runs a single instruction (and so before it starts
  // programs of its own, which join the job too).
  if (job && !AssignProcessToJobObject(job, pi.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  out = Spawned{pi.hProcess, job, readEnd, pi.dwProcessId};
  return true;
}

// Handles of running children by process id; holding the process handle
// keeps the id from being reused while a ChildProcess refers to it.
std::mutex childLock;
std::map<int, Spawned>& children() {
  static std::map<int, Spawned> map;
  return map;
}

Spawned childOf(int pid) {
  std::lock_guard lock(childLock);
  auto it = children().find(pid);
  return it == children().end() ? Spawned{} : it->second;
}

}  // namespace

std::string findProgram(const std::string& name) {
  if (name.empty()) return "";
  std::wstring wname = widen(name);
  wchar_t found[MAX_PATH * 4];
  DWORD n = SearchPathW(nullptr, wname.c_str(), L".exe", static_cast<DWORD>(std::size(found)), found, nullptr);
  if (n == 0 || n >= std::size(found)) return "";
  DWORD a = GetFileAttributesW(found);
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) return "";
  return win::narrow(found);
}

bool runProcess(const std::vector<std::string>& argv, std::string* output, int& exitCode, int timeoutMs,
                const std::vector<std::string>& extraEnv) {
  exitCode = -1;
  if (argv.empty()) return false;
  std::string program = findProgram(argv[0]);
  if (program.empty()) return false;
  Spawned child;
  std::string error;
  if (!spawn(program, argv, extraEnv, false, CREATE_NO_WINDOW, child, error)) return false;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  bool killed = false;
  char buffer[4096];
  for (;;) {
    if (GetTickCount64() >= deadline) {
      TerminateProcess(child.process, 1);
      killed = true;
      break;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(child.output, nullptr, 0, nullptr, &available, nullptr)) break;  // closed
    if (available == 0) {
      Sleep(5);
      continue;
    }
    DWORD got = 0;
    if (!ReadFile(child.output, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    if (output && output->size() < kOutputLimit) output->append(buffer, got);
  }
  CloseHandle(child.output);
  WaitForSingleObject(child.process, killed ? 5000 : INFINITE);
  DWORD code = 0;
  bool ok = !killed && GetExitCodeProcess(child.process, &code) && code != STILL_ACTIVE;
  CloseHandle(child.process);
  if (child.job) CloseHandle(child.job);
  if (!ok) return false;
  exitCode = static_cast<int>(code);
  return true;
}

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
  Spawned child;
  // A process group of its own: a console Ctrl+C is ours to handle, and
  // terminate() can send the group a Ctrl+Break.
  if (!spawn(program, argv, extraEnv, true, CREATE_NEW_PROCESS_GROUP, child, error)) return false;
  pid_ = static_cast<int>(child.pid);
  output_ = pid_;
  std::lock_guard lock(childLock);
  children()[pid_] = child;
  return true;
}

bool ChildProcess::readLines(std::vector<std::string>& lines, int timeoutMs) {
  Spawned child = output_ > 0 ? childOf(output_) : Spawned{};
  if (!child.output) {
    if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
    return false;
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  char buffer[4096];
  bool readSome = false;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(child.output, nullptr, 0, nullptr, &available, nullptr)) {
      // Every writer has closed its end.
      if (!partial_.empty()) lines.push_back(std::move(partial_));
      partial_.clear();
      closeOutput();
      return false;
    }
    if (available == 0) {
      if (readSome || GetTickCount64() >= deadline) return true;
      Sleep(5);
      continue;
    }
    DWORD got = 0;
    if (!ReadFile(child.output, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr)) continue;
    readSome = true;
    for (DWORD i = 0; i < got; ++i) {
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
  Spawned child = childOf(pid_);
  if (!child.process) return false;
  if (WaitForSingleObject(child.process, 0) == WAIT_TIMEOUT) return true;
  DWORD code = 0;
  GetExitCodeProcess(child.process, &code);
  if (endText_.empty()) endText_ = "exited with status " + std::to_string(code);
  {
    std::lock_guard lock(childLock);
    auto it = children().find(pid_);
    if (it != children().end()) {
      CloseHandle(it->second.process);
      it->second.process = nullptr;
      // The job stays until the output is closed: the child's own children
      // may still write to the pipe, and closing the job would kill them.
      if (!it->second.output) {
        if (it->second.job) CloseHandle(it->second.job);
        children().erase(it);
      }
    }
  }
  pid_ = -1;
  return false;
}

void ChildProcess::terminate(int graceMs) {
  if (!alive()) return;
  // The polite request a console program gets: Ctrl+Break to its group.
  GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid_));
  Spawned child = childOf(pid_);
  if (WaitForSingleObject(child.process, static_cast<DWORD>(graceMs < 0 ? 0 : graceMs)) == WAIT_TIMEOUT) {
    TerminateProcess(child.process, 1);
    WaitForSingleObject(child.process, 5000);
    endText_ = "ended by force";
  }
  alive();
}

void ChildProcess::closeOutput() {
  if (output_ <= 0) return;
  std::lock_guard lock(childLock);
  auto it = children().find(output_);
  if (it != children().end()) {
    if (it->second.output) CloseHandle(it->second.output);
    it->second.output = nullptr;
    if (!it->second.process) {
      if (it->second.job) CloseHandle(it->second.job);
      children().erase(it);
    }
  }
  output_ = -1;
}

int currentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

uint64_t processStartTime(int pid) {
  if (pid <= 0) return 0;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (!process) return 0;
  FILETIME created, exited, kernel, user;
  uint64_t start = 0;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user))
    start = (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  CloseHandle(process);
  return start;
}

}  // namespace vantor::platform
