// The crash report writer on Windows: an unhandled exception (or abort)
// writes "ERRORLOG-<id>.LOG" with the exception and the stack's modules and
// offsets, and "Dump-<id>.dmp", a minidump of the process (dbghelp's
// MiniDumpWriteDump), then lets the process end as it would have.
#include "platform/windows/host_text.h"
// clang-format off
#include <dbghelp.h>
// clang-format on

#include <csignal>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/crash.h"

namespace vantor::platform {
namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// Prepared at install time, so that the handler neither loads nor allocates
// more than it must in a damaged process.
wchar_t gFolder[1024];
wchar_t gVersion[64];
MiniDumpWriteDumpFn gWriteDump = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER gPrevious = nullptr;
volatile LONG gCrashing = 0;

const char* exceptionName(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      return "access violation (invalid memory access)";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return "illegal instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return "integer division by zero (arithmetic fault)";
    case EXCEPTION_STACK_OVERFLOW:
      return "stack overflow";
    case EXCEPTION_IN_PAGE_ERROR:
      return "in-page error (bus error)";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return "array bounds exceeded";
    case EXCEPTION_PRIV_INSTRUCTION:
      return "privileged instruction";
    case STATUS_FATAL_APP_EXIT:
      return "abort";
  }
  return "exception";
}

// A new file only: CREATE_NEW refuses every existing name (a link
// included), and a taken name gets a counter instead.
HANDLE createNew(const wchar_t* prefix, const wchar_t* id, const wchar_t* suffix, wchar_t* path, std::size_t size) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (attempt == 0)
      std::swprintf(path, size, L"%ls\\%ls%ls%ls", gFolder, prefix, id, suffix);
    else
      std::swprintf(path, size, L"%ls\\%ls%ls-%d%ls", gFolder, prefix, id, attempt, suffix);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

void writeText(HANDLE file, const char* text) {
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// "module+0xoffset" for an address, or the bare address.
void describeAddress(void* address, char* out, std::size_t size) {
  HMODULE module = nullptr;
  wchar_t name[MAX_PATH] = {};
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(address), &module) &&
      GetModuleFileNameW(module, name, MAX_PATH)) {
    const wchar_t* base = std::wcsrchr(name, L'\\');
    std::snprintf(out, size, "%ls+0x%llx", base ? base + 1 : name,
                  static_cast<unsigned long long>(static_cast<char*>(address) - reinterpret_cast<char*>(module)));
  } else {
    std::snprintf(out, size, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  }
}

void writeReports(EXCEPTION_POINTERS* pointers, DWORD code, void* address) {
  if (InterlockedExchange(&gCrashing, 1) != 0) return;  // one report per process
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t id[160];
  std::swprintf(id, 160, L"V%ls-T%04d%02d%02d-%02d%02d%02d-P%lu-T%lu", gVersion, now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId(), GetCurrentThreadId());
  wchar_t path[1400];
  HANDLE log = createNew(L"ERRORLOG-", id, L".LOG", path, 1400);
  if (log != INVALID_HANDLE_VALUE) {
    char line[512];
    std::snprintf(line, sizeof line, "Vantor error report %ls\r\nexception: 0x%08lx %s\r\nfault address: ", id,
                  static_cast<unsigned long>(code), exceptionName(code));
    writeText(log, line);
    describeAddress(address, line, sizeof line);
    writeText(log, line);
    writeText(log, "\r\nbacktrace:\r\n");
    void* frames[64];
    USHORT n = CaptureStackBackTrace(0, 64, frames, nullptr);
    for (USHORT i = 0; i < n; ++i) {
      describeAddress(frames[i], line, sizeof line);
      writeText(log, line);
      writeText(log, "\r\n");
    }
    FlushFileBuffers(log);
    CloseHandle(log);
    std::fprintf(stderr, "vantor: crashed; report written to %ls\n", path);
  }
  if (!gWriteDump) return;
  HANDLE dump = createNew(L"Dump-", id, L".dmp", path, 1400);
  if (dump == INVALID_HANDLE_VALUE) return;
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = FALSE;
  gWriteDump(GetCurrentProcess(), GetCurrentProcessId(), dump,
             static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo | MiniDumpWithIndirectlyReferencedMemory),
             pointers ? &exception : nullptr, nullptr, nullptr);
  CloseHandle(dump);
}

LONG WINAPI onException(EXCEPTION_POINTERS* pointers) {
  writeReports(pointers, pointers->ExceptionRecord->ExceptionCode, pointers->ExceptionRecord->ExceptionAddress);
  // Windows Error Reporting (or the previous filter) ends the process.
  return gPrevious ? gPrevious(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

// abort() ends the process without an exception: report it here.
void onAbort(int) {
  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = STATUS_FATAL_APP_EXIT;
  record.ExceptionAddress = __builtin_return_address(0);
  EXCEPTION_POINTERS pointers{&record, &context};
  writeReports(&pointers, STATUS_FATAL_APP_EXIT, record.ExceptionAddress);
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

}  // namespace

void installCrashHandler(const std::string& logFolder, const std::string& versionText) {
  std::wstring folder = windows::widen(logFolder);
  for (wchar_t& c : folder)
    if (c == L'/') c = L'\\';
  std::wcsncpy(gFolder, folder.c_str(), sizeof gFolder / sizeof gFolder[0] - 1);
  std::wcsncpy(gVersion, windows::widen(versionText).c_str(), sizeof gVersion / sizeof gVersion[0] - 1);
  if (!gWriteDump) {
    HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dbghelp)
      gWriteDump =
          reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  }
  // Room for the handler when the fault is a stack overflow.
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(onException);
  if (previous != onException) gPrevious = previous;
  std::signal(SIGABRT, onAbort);
}

}  // namespace vantor::platform
