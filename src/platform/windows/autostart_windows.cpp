// Start at log-in through the Run key of the current user:
// HKCU\Software\Microsoft\Windows\CurrentVersion\Run, value "Vantor", the
// program's full path and its arguments as one command line.
#include "platform/windows/host_text.h"

#include "platform/autostart.h"
#include "platform/windows/command_line.h"

namespace vantor::platform {
namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kValueName[] = L"Vantor";

std::string executablePath() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  return windows::narrow(path);
}

}  // namespace

bool setRunAtStartup(bool enable, const std::vector<std::string>& arguments, std::string& error) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr,
                                   &key, nullptr);
  if (status != ERROR_SUCCESS) {
    error = "cannot open the Run key: " + windows::errorText(static_cast<DWORD>(status));
    return false;
  }
  if (enable) {
    std::vector<std::string> argv{executablePath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // The path is always quoted: a folder with blanks would otherwise be
    // split into another program's name.
    std::string line = "\"" + argv[0] + "\"";
    argv.erase(argv.begin());
    if (!argv.empty()) line += " " + windows::commandLine(argv);
    std::wstring data = windows::widen(line);
    status = RegSetValueExW(key, kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  } else {
    status = RegDeleteValueW(key, kValueName);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;  // was not there
  }
  RegCloseKey(key);
  if (status == ERROR_SUCCESS) return true;
  error = "cannot change the Run key: " + windows::errorText(static_cast<DWORD>(status));
  return false;
}

bool runAtStartupEntryExists() {
  return RegGetValueW(HKEY_CURRENT_USER, kRunKey, kValueName, RRF_RT_REG_SZ, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

}  // namespace vantor::platform
