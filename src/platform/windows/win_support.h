// Helpers shared by the Windows platform files: UTF-8 <-> UTF-16 text for the
// wide-character API, system error texts, and Winsock start-up.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor::platform::win {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);
// The system's text for a GetLastError() / WSAGetLastError() code.
std::string errorText(unsigned long code);
// Calls WSAStartup once per process; every socket or resolver call goes
// through here first.
void ensureWinsock();
// Socket calls report here when a non-blocking operation found nothing to do,
// so the poller reports the handle again once it is ready (edge semantics).
void noteWouldBlock(std::intptr_t socket);

}  // namespace vantor::platform::win
