// The process table through a Toolhelp snapshot.
#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <thread>

#include "platform/process.h"
#include "platform/windows/win_support.h"

namespace vantor::platform {
namespace {

bool alive(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

BOOL CALLBACK closeWindowsOf(HWND window, LPARAM pid) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(pid)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> out;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return out;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == 0) continue;  // the idle process
    out.push_back({static_cast<int>(entry.th32ProcessID), win::narrow(entry.szExeFile)});
  }
  CloseHandle(snapshot);
  return out;
}

void terminateProcesses(const std::vector<int>& pids, int graceMs) {
  // Windows has no SIGTERM: a program is asked to end by closing its
  // windows, and ended by force once the grace time is over.
  std::vector<HANDLE> asked;
  for (int pid : pids) {
    if (pid <= 0) continue;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (!process) continue;  // gone, or not ours to end
    EnumWindows(closeWindowsOf, static_cast<LPARAM>(pid));
    asked.push_back(process);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  for (;;) {
    bool anyAlive = false;
    for (HANDLE p : asked) anyAlive = anyAlive || alive(p);
    if (!anyAlive || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (HANDLE p : asked) {
    if (alive(p)) TerminateProcess(p, 1);
    CloseHandle(p);
  }
}

}  // namespace vantor::platform
