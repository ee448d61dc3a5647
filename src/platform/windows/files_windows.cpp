// Files through the wide-character API: every path is UTF-8 in the program
// and UTF-16 for the system, so names outside the ANSI code page work.
#include "platform/files.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "platform/random.h"
#include "platform/windows/win_support.h"

namespace vantor::platform {
namespace {

using win::widen;

std::string describe(const char* what, const std::string& path, DWORD code = GetLastError()) {
  return std::string(what) + " " + path + ": " + win::errorText(code);
}

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  // "C:\" and "\" are their own parents.
  if (slash == 0) return path.substr(0, 1);
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, slash);
}

bool writeAll(HANDLE file, std::string_view content) {
  while (!content.empty()) {
    DWORD chunk = content.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(content.size());
    DWORD written = 0;
    if (!WriteFile(file, content.data(), chunk, &written, nullptr)) return false;
    content.remove_prefix(written);
  }
  return true;
}

DWORD attributesOf(const std::string& path) { return GetFileAttributesW(widen(path).c_str()); }

std::string randomSuffix() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[6];
  osRandom(bytes, sizeof bytes);
  std::string out;
  for (unsigned char b : bytes) out += kChars[b % 62];
  return out;
}

bool processGone(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

}  // namespace

bool writeFileAtomic(const std::string& path, std::string_view content, unsigned /*mode*/, std::string& error) {
  // The writer's id in the name tells a later start which leftovers belong
  // to a save that can no longer finish. Permissions come from the folder:
  // the configuration folder under the user's profile is the user's alone.
  const std::string prefix = path + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-";
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = prefix + randomSuffix();
    file = CreateFileW(widen(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    error = describe("cannot create a temporary file beside", path);
    return false;
  }
  bool ok = writeAll(file, content) && FlushFileBuffers(file);
  if (!ok) error = describe("cannot write", temp);
  CloseHandle(file);
  if (ok &&
      !MoveFileExW(widen(temp).c_str(), widen(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = describe("cannot replace", path);
  }
  if (!ok) DeleteFileW(widen(temp).c_str());
  return ok;
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
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widen(folder + "/*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return removed;
  FILETIME nowFt;
  GetSystemTimeAsFileTime(&nowFt);
  const uint64_t now = (uint64_t(nowFt.dwHighDateTime) << 32) | nowFt.dwLowDateTime;
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    std::string name = win::narrow(found.cFileName);
    auto mark = name.rfind(".tmp-");
    if (mark == std::string::npos || mark == 0) continue;
    std::string_view tail = std::string_view(name).substr(mark + 5);
    bool stale = false;
    auto dash = tail.find('-');
    if (dash != std::string_view::npos && tail.size() - dash - 1 == 6 && allOf(tail.substr(0, dash), isDigit) &&
        allOf(tail.substr(dash + 1), isTempChar)) {
      unsigned long pid = std::strtoul(std::string(tail.substr(0, dash)).c_str(), nullptr, 10);
      stale = pid > 0 && pid != GetCurrentProcessId() && processGone(static_cast<DWORD>(pid));
    } else if (tail.size() == 6 && allOf(tail, isTempChar)) {
      // No writer recorded: a save takes milliseconds, a minute is plenty.
      uint64_t written = (uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
      stale = now > written && now - written > 60ull * 10000000ull;
    }
    if (stale && DeleteFileW(widen(folder + "/" + name).c_str())) removed.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return removed;
}

bool keepCopy(const std::string& path, const std::string& alias, std::string& error) {
  if (CreateHardLinkW(widen(alias).c_str(), widen(path).c_str(), nullptr)) return true;
  DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
    error = describe("cannot keep a copy as", alias, code);
    return false;
  }
  if (!CopyFileW(widen(path).c_str(), widen(alias).c_str(), TRUE)) {
    error = describe("cannot keep a copy as", alias);
    return false;
  }
  return true;
}

bool readFile(const std::string& path, std::string& content, std::string& error, std::size_t limit) {
  HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = describe("cannot open", path);
    return false;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      error = describe("cannot read", path);
      CloseHandle(file);
      return false;
    }
    if (n == 0) break;
    if (content.size() + n > limit) {
      error = path + " is larger than " + std::to_string(limit) + " bytes";
      CloseHandle(file);
      return false;
    }
    content.append(buffer, n);
  }
  CloseHandle(file);
  return true;
}

bool fileExists(const std::string& path) {
  DWORD a = attributesOf(path);
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  if (!(a & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  // A link: whether its target is there.
  HANDLE h = CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool nameTaken(const std::string& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const std::string& path) {
  DWORD a = attributesOf(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool makeDirectories(const std::string& path, unsigned mode, std::string& error) {
  if (path.empty()) {
    error = "empty folder name";
    return false;
  }
  if (isDirectory(path)) return true;
  std::string parent = parentOf(path);
  if (parent != path && !isDirectory(parent) && !makeDirectories(parent, mode, error)) return false;
  if (!CreateDirectoryW(widen(path).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = describe("cannot create the folder", path);
    return false;
  }
  return true;
}

namespace {

// The SID of this process's user and the default owner of what it creates
// (an elevated administrator's objects belong to the Administrators group).
bool tokenSids(std::vector<unsigned char>& user, std::vector<unsigned char>& owner) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  auto query = [&](TOKEN_INFORMATION_CLASS cls, std::vector<unsigned char>& out) {
    DWORD size = 0;
    GetTokenInformation(token, cls, nullptr, 0, &size);
    out.resize(size);
    return size > 0 && GetTokenInformation(token, cls, out.data(), size, &size);
  };
  bool ok = query(TokenUser, user) && query(TokenOwner, owner);
  CloseHandle(token);
  return ok;
}

bool privateFolder(const std::string& path, const char* label, bool create, std::string& error) {
  const std::string name = std::string("the ") + label + " " + path;
  if (path.empty()) {
    error = std::string("no ") + label + " given";
    return false;
  }
  if (create) {
    std::string parent = parentOf(path);
    if (parent != path && !isDirectory(parent) && !makeDirectories(parent, 0700, error)) return false;
    if (!CreateDirectoryW(widen(path).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      error = describe("cannot create", name);
      return false;
    }
  }
  DWORD a = attributesOf(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    error = describe("cannot examine", name);
    return false;
  }
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
    error = name + " is a link (reparse point); it must be a folder of its own";
    return false;
  }
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
    error = name + " is not a folder";
    return false;
  }
  // Who owns it: this user, or the owner this user's new objects get.
  PSID folderOwner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = GetNamedSecurityInfoW(widen(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &folderOwner,
                                   nullptr, nullptr, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) {
    error = describe("cannot read the owner of", name, rc);
    return false;
  }
  std::vector<unsigned char> user, owner;
  bool mine = tokenSids(user, owner) && (EqualSid(folderOwner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid) ||
                                         EqualSid(folderOwner, reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner));
  if (!mine) {
    std::string sidText = "another user";
    LPWSTR text = nullptr;
    if (ConvertSidToStringSidW(folderOwner, &text)) {
      sidText = "user " + win::narrow(text);
      LocalFree(text);
    }
    LocalFree(descriptor);
    error = name + " belongs to " + sidText + ", not to this user; remove it or choose another folder";
    return false;
  }
  LocalFree(descriptor);
  return true;
}

}  // namespace

bool ensurePrivateFolder(const std::string& path, const char* label, std::string& error) {
  return privateFolder(path, label, true, error);
}

bool checkPrivateFolder(const std::string& path, const char* label, std::string& error) {
  return privateFolder(path, label, false, error);
}

bool removeFile(const std::string& path) {
  return DeleteFileW(widen(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
}

std::string executableDir() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return ".";
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  return parentOf(win::narrow(buffer));
}

std::string environmentValue(const char* name) {
  // The wide form: values such as %APPDATA% hold names outside the ANSI code page.
  std::wstring wname = widen(name);
  DWORD size = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  DWORD n = GetEnvironmentVariableW(wname.c_str(), value.data(), size);
  value.resize(n);
  return win::narrow(value);
}

bool setEnvironmentValue(const char* name, const std::string& value) {
  // The process's block, and the C library's copy that getenv() reads.
  std::wstring wname = widen(name), wvalue = widen(value);
  return SetEnvironmentVariableW(wname.c_str(), wvalue.c_str()) && _wputenv_s(wname.c_str(), wvalue.c_str()) == 0;
}

unsigned effectiveUserId() {
  // Windows has no numeric user id; the relative id (the last part of the
  // user's SID) names the user on this machine the same way each time.
  std::vector<unsigned char> user, owner;
  if (!tokenSids(user, owner)) return 0;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  UCHAR count = *GetSidSubAuthorityCount(sid);
  return count == 0 ? 0 : static_cast<unsigned>(*GetSidSubAuthority(sid, count - 1u));
}

}  // namespace vantor::platform
