// Single-instance pieces on Windows. The instance lock is a file opened
// without sharing: the system closes it, and so releases the lock, when the
// process ends however it ends. The local endpoint is a TCP socket on
// loopback (a handle the socket calls can use, unlike a named pipe); the
// file at the endpoint's path holds its port and a random key that a client
// must send first. The file lies in the user's private runtime folder, so
// knowing the key shows the client runs as the same user.
#include "platform/local_ipc.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "platform/files.h"
#include "platform/random.h"
#include "platform/windows/win_support.h"

namespace vantor::platform {
namespace {

constexpr std::size_t kKeyLength = 32;  // hex digits
constexpr int kKeyWaitMs = 2000;

HANDLE toHandle(long value) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value)); }

std::string randomKey() {
  unsigned char bytes[kKeyLength / 2];
  osRandom(bytes, sizeof bytes);
  static const char kHex[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) {
    key += kHex[b >> 4];
    key += kHex[b & 15];
  }
  return key;
}

bool readEndpoint(const std::string& path, uint16_t& port, std::string& key) {
  std::string content, error;
  if (!readFile(path, content, error, 256)) return false;
  std::istringstream in(content);
  unsigned value = 0;
  if (!(in >> value >> key) || value == 0 || value > 0xffff || key.size() != kKeyLength) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// Reads exactly `size` bytes within the time limit.
bool readExactly(SocketHandle s, char* out, std::size_t size, int timeoutMs) {
  std::size_t have = 0;
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  while (have < size) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitItem item{s, kWantRead};
    if (waitSockets({&item, 1}, static_cast<int>(deadline - now)) <= 0 || item.failed) return false;
    long n = recvBytes(s, out + have, size - have, true);
    if (n == kIoWouldBlock) continue;
    if (n <= 0) return false;
    have += static_cast<std::size_t>(n);
  }
  return true;
}

// The listening sockets' keys.
std::mutex keyLock;
std::unordered_map<SocketHandle, std::string>& keys() {
  static std::unordered_map<SocketHandle, std::string> map;
  return map;
}

}  // namespace

InstanceLock::~InstanceLock() { release(); }

InstanceLock::Result InstanceLock::acquire(const std::string& path, std::string& error, const std::string& note) {
  release();
  HANDLE file = CreateFileW(win::widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION) return Result::HeldByOther;
    error = "cannot open " + path + ": " + win::errorText(code);
    return Result::Failed;
  }
  // The holder's process id, for people looking at the folder.
  std::string text = note.empty() ? std::to_string(GetCurrentProcessId()) + "\r\n" : note;
  DWORD written = 0;
  SetEndOfFile(file);
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  // Kernel handles fit in 32 bits on 64-bit Windows, so `long` holds one.
  handle_ = static_cast<long>(reinterpret_cast<std::intptr_t>(file));
  return Result::Acquired;
}

void InstanceLock::release() {
  if (handle_ >= 0) CloseHandle(toHandle(handle_));
  handle_ = -1;
}

SocketHandle listenLocal(const std::string& path, std::string& error) {
  SocketHandle s = createSocket(SocketType::Tcp);
  if (s == kInvalidSocket) {
    error = "cannot create a local socket: " + lastSocketErrorText();
    return kInvalidSocket;
  }
  Ipv4Endpoint local{kLoopbackAddress, 0};
  if (!setReuseAddress(s) || !bindSocket(s, local) || !listenSocket(s, -1) || !localEndpoint(s, local)) {
    error = "cannot listen on " + path + ": " + lastSocketErrorText();
    closeSocket(s);
    return kInvalidSocket;
  }
  std::string key = randomKey();
  // Only the instance lock's holder gets here, so an existing file is stale.
  if (!writeFileAtomic(path, std::to_string(local.port) + " " + key + "\r\n", 0600, error)) {
    closeSocket(s);
    return kInvalidSocket;
  }
  std::lock_guard lock(keyLock);
  keys()[s] = key;
  return s;
}

SocketHandle acceptLocal(SocketHandle server, unsigned& peerUserId) {
  std::string key;
  {
    std::lock_guard lock(keyLock);
    auto it = keys().find(server);
    if (it != keys().end()) key = it->second;
  }
  for (;;) {
    SocketHandle c = acceptSocket(server, nullptr);
    if (c == kInvalidSocket) return kInvalidSocket;
    char got[kKeyLength];
    if (!key.empty() && readExactly(c, got, sizeof got, kKeyWaitMs) && std::string(got, sizeof got) == key) {
      peerUserId = effectiveUserId();
      return c;
    }
    closeSocket(c);  // not one of ours
  }
}

SocketHandle connectLocal(const std::string& path) {
  uint16_t port = 0;
  std::string key;
  if (!readEndpoint(path, port, key)) return kInvalidSocket;
  SocketHandle s = createSocket(SocketType::Tcp);
  if (s == kInvalidSocket) return kInvalidSocket;
  if (connectSocket(s, Ipv4Endpoint{kLoopbackAddress, port}) != ConnectStatus::Connected ||
      sendBytes(s, key.data(), key.size(), false) != static_cast<long>(key.size())) {
    closeSocket(s);
    return kInvalidSocket;
  }
  return s;
}

void removeLocalEndpoint(const std::string& path) { removeFile(path); }

}  // namespace vantor::platform
