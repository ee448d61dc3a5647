// On Windows the program runs elevated (its manifest asks for it) and makes
// its host changes itself: there is no separate network helper to connect
// to. connectHelperSocket says so with ERROR_NOT_SUPPORTED, and the helper's
// code then serves this process over a loopback socket pair, on which a
// handle "sent along" with a message is this process's own handle, passed
// by value.
#include "platform/windows/host_text.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

#include "platform/files.h"
#include "platform/helper_ipc.h"
#include "platform/tun.h"

namespace vantor::platform {
namespace {

constexpr char kNotUsed[] =
    "the network helper is not used on Windows: the program runs elevated and changes the host itself";

struct PairTable {
  std::mutex lock;
  std::map<SocketHandle, SocketHandle> peer;                // each end of a pair to the other
  std::map<SocketHandle, std::deque<long>> pendingHandles;  // by receiving end
};
PairTable& pairs() {
  static PairTable* table = new PairTable();
  return *table;
}

void startWinsock() {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

}  // namespace

bool helperProcessUsed() { return false; }

std::string helperStateFolder() {
  // Machine-wide, beside other programs' data; the program runs elevated.
  std::string base = environmentValue("ProgramData");
  if (base.empty()) base = "C:/ProgramData";
  return base + "/Vantor/state";
}

bool prepareHelperStateFolder(const std::string& dir, std::string& error) {
  return ensurePrivateFolder(dir, "state folder", error);
}

bool groupIdByName(const std::string&, unsigned&) { return false; }

SocketHandle listenHelperSocket(const std::string&, unsigned, std::string& error) {
  error = kNotUsed;
  return kInvalidSocket;
}

SocketHandle connectHelperSocket(const std::string&, int& error) {
  error = ERROR_NOT_SUPPORTED;
  return kInvalidSocket;
}

SocketHandle acceptHelperClient(SocketHandle, PeerCredentials&) { return kInvalidSocket; }

bool helperSocketPair(SocketHandle& first, SocketHandle& second, std::string& error) {
  startWinsock();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  SOCKET a = INVALID_SOCKET, b = INVALID_SOCKET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  bool ok = listener != INVALID_SOCKET && bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 && listen(listener, 1) == 0;
  if (ok) {
    a = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ok = a != INVALID_SOCKET && connect(a, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  if (ok) {
    // Only our own connection may become the other end.
    sockaddr_in local{}, from{};
    int localLength = sizeof local, fromLength = sizeof from;
    getsockname(a, reinterpret_cast<sockaddr*>(&local), &localLength);
    b = accept(listener, reinterpret_cast<sockaddr*>(&from), &fromLength);
    ok = b != INVALID_SOCKET && from.sin_port == local.sin_port && from.sin_addr.s_addr == local.sin_addr.s_addr;
  }
  if (listener != INVALID_SOCKET) closesocket(listener);
  if (!ok) {
    error = "cannot create a socket pair: " + windows::errorText(static_cast<DWORD>(WSAGetLastError()));
    if (a != INVALID_SOCKET) closesocket(a);
    if (b != INVALID_SOCKET) closesocket(b);
    return false;
  }
  BOOL on = TRUE;
  setsockopt(a, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(b, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  first = static_cast<SocketHandle>(a);
  second = static_cast<SocketHandle>(b);
  PairTable& t = pairs();
  std::lock_guard<std::mutex> guard(t.lock);
  t.peer[first] = second;
  t.peer[second] = first;
  return true;
}

bool sendMessage(SocketHandle socket, std::string_view message, long handle) {
  if (handle >= 0) {
    PairTable& t = pairs();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.peer.find(socket);
    if (it == t.peer.end()) return false;  // a handle can only go to this process
    // Queued before the bytes leave, so it is there when they arrive.
    t.pendingHandles[it->second].push_back(handle);
  }
  std::size_t sent = 0;
  while (sent < message.size()) {
    int n = send(static_cast<SOCKET>(socket), message.data() + sent,
                 static_cast<int>(std::min<std::size_t>(message.size() - sent, 1 << 20)), 0);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

long receiveMessage(SocketHandle socket, char* buffer, std::size_t size, long& handle) {
  int n = recv(static_cast<SOCKET>(socket), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
  if (n < 0) return -1;
  if (n > 0) {
    PairTable& t = pairs();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.pendingHandles.find(socket);
    if (it != t.pendingHandles.end() && !it->second.empty() && handle < 0) {
      handle = it->second.front();
      it->second.pop_front();
    }
  }
  return n;
}

void dropReceivedHandle(long handle) {
  if (handle >= 0) tunClose(static_cast<IoHandle>(handle));
}

// The handle went over by value: the receiving end of the pair owns it now.
void releaseSentHandle(long) {}

}  // namespace vantor::platform
