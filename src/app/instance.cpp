#include "app/instance.h"

#include <chrono>
#include <condition_variable>

#include "catalogue/app_paths.h"
#include "platform/files.h"

namespace vantor::app {
namespace {

using platform::kInvalidSocket;
using platform::SocketHandle;
using Clock = std::chrono::steady_clock;

bool sendAll(SocketHandle s, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    long n = platform::sendBytes(s, text.data() + done, text.size() - done, false);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads until a line feed, the peer's close, `limit` bytes or the deadline.
bool readLine(SocketHandle s, std::size_t limit, int timeoutMs, std::string& line) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  line.clear();
  char c;
  while (line.size() <= limit) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    platform::WaitItem item{s, platform::kWantRead};
    if (left <= 0 || platform::waitSockets({&item, 1}, static_cast<int>(left)) <= 0) return false;
    long n = platform::recvBytes(s, &c, 1, true);
    if (n == platform::kIoWouldBlock) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

}  // namespace

CInstance::CInstance(std::string runtimeFolder) : folder_(std::move(runtimeFolder)) {}

CInstance::~CInstance() { stop(); }

CInstance::Start CInstance::acquire(std::string& error) {
  // The lock and the control socket go only into a folder nobody else can
  // enter or plant things in.
  if (!paths::checkRuntimeDir(folder_, true, error)) return Start::Failed;
  switch (lock_.acquire(lockPath(), error)) {
    case platform::InstanceLock::Result::Acquired:
      return Start::First;
    case platform::InstanceLock::Result::HeldByOther:
      return Start::AlreadyRunning;
    default:
      return Start::Failed;
  }
}

bool CInstance::serve(Handler handler, std::string& error) {
  if (!lock_.held()) {
    error = "the instance lock is not held";
    return false;
  }
  handler_ = std::move(handler);
  SocketHandle server = platform::listenLocal(endpointPath(), error);
  if (server == kInvalidSocket) return false;
  server_ = server;
  if (!acceptThread_.createSuspended([this, server] { acceptLoop(server); }, 0)) {
    error = "cannot start the control thread";
    server_ = kInvalidSocket;
    platform::closeSocket(server);
    return false;
  }
  acceptThread_.resume();
  return true;
}

void CInstance::stop() {
  SocketHandle server = server_.exchange(kInvalidSocket);
  if (server != kInvalidSocket) {
    platform::shutdownSocket(server);
    acceptThread_.join();
    platform::closeSocket(server);
    platform::removeLocalEndpoint(endpointPath());
    // Answers in progress finish within their time limits.
    for (int i = 0; i < 100; ++i) {
      {
        std::lock_guard<std::mutex> guard(clientsLock_);
        if (clients_ == 0) break;
      }
      platform::sleepMs(50);
    }
  }
  lock_.release();
}

void CInstance::acceptLoop(SocketHandle server) {
  while (server_.load() == server) {
    unsigned uid = 0;
    SocketHandle client = platform::acceptLocal(server, uid);
    if (client == kInvalidSocket) {
      if (server_.load() != server) return;
      platform::sleepMs(50);
      continue;
    }
    if (uid != platform::effectiveUserId()) {
      // Another user's process: refused before a byte of it is read.
      sendAll(client, "error: refused\n");
      platform::closeSocket(client);
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(clientsLock_);
      if (clients_ >= kMaxClients) {
        // Not a byte read: the sender asks again a little later.
        sendAll(client, "error: busy\n");
        platform::closeSocket(client);
        continue;
      }
      ++clients_;
    }
    platform::Thread worker;
    if (!worker.createSuspended([this, client, uid] { answer(client, uid); }, 256 * 1024)) {
      platform::closeSocket(client);
      std::lock_guard<std::mutex> guard(clientsLock_);
      --clients_;
      continue;
    }
    worker.resume();
    worker.detach();
  }
}

void CInstance::answer(SocketHandle client, unsigned) {
  std::string line, reply;
  if (!readLine(client, kMaxRequest, kRequestTimeoutMs, line)) {
    sendAll(client, "error: bad request\n");
  } else {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string text;
    if (handler_ && handler_(line, text))
      sendAll(client, "ok\n" + text);
    else
      sendAll(client, "error: unknown request\n");
  }
  platform::shutdownSend(client);
  platform::closeSocket(client);
  std::lock_guard<std::mutex> guard(clientsLock_);
  --clients_;
}

namespace {

// One attempt: the answer as received, empty when the endpoint closed
// without one; false when there is no endpoint or the deadline passed.
bool askOnce(const std::string& runtimeFolder, const std::string& verb, std::string& answer,
             Clock::time_point deadline) {
  SocketHandle s = platform::connectLocal(runtimeFolder + "/control");
  if (s == kInvalidSocket) return false;
  // A refusal may come, and the endpoint close, before the request is
  // written: the answer is read even when sending it failed.
  sendAll(s, verb + "\n");
  bool ok = true;
  answer.clear();
  char buffer[4096];
  while (ok) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    platform::WaitItem item{s, platform::kWantRead};
    if (left <= 0 || platform::waitSockets({&item, 1}, static_cast<int>(left)) <= 0) {
      ok = false;
      break;
    }
    long n = platform::recvBytes(s, buffer, sizeof buffer, false);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
    if (answer.size() > (1u << 20)) break;
  }
  platform::closeSocket(s);
  return ok;
}

}  // namespace

bool sendControlRequest(const std::string& runtimeFolder, const std::string& verb, std::string& answer, int timeoutMs) {
  // In a folder another user controls, whoever answers may be anybody: say
  // so instead of asking.
  std::string unsafe;
  if (platform::fileExists(runtimeFolder) && !paths::checkRuntimeDir(runtimeFolder, false, unsafe)) {
    answer = "error: " + unsafe + "\n";
    return true;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (!askOnce(runtimeFolder, verb, answer, deadline)) return false;
    if (!answer.empty() && answer != "error: busy\n") return true;
    // Busy with other requests, or closed before answering: again, in time.
    if (Clock::now() + std::chrono::milliseconds(100) >= deadline) return false;
    platform::sleepMs(100);
  }
}

}  // namespace vantor::app
