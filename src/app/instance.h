// One running program per user: the first start takes the instance lock in
// the runtime folder and answers on the control endpoint beside it; a
// second start, `vantor status` and `vantor disconnect` talk to it there.
//
// Requests are one line ("show", "status", "disconnect"); the answer is a
// few lines of text, the first "ok" or "error: ...", and then the endpoint
// closes. Requests from another user, longer than kMaxRequest, slower than
// kRequestTimeoutMs or unknown are refused; the program keeps running.
// Up to kMaxClients requests are read at once; one more is told "error:
// busy" and its sender asks again, so clients that never finish their
// request delay a legitimate one by at most their short deadline.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "platform/local_ipc.h"
#include "platform/thread.h"

namespace vantor::app {

class CInstance {
 public:
  static constexpr std::size_t kMaxRequest = 256;
  static constexpr int kRequestTimeoutMs = 1000;
  static constexpr int kMaxClients = 32;

  // Gets the request's verb and fills in the answer's lines (sent after
  // "ok"); false for a verb it does not know ("error: unknown request").
  using Handler = std::function<bool(const std::string& verb, std::string& answer)>;

  explicit CInstance(std::string runtimeFolder);
  ~CInstance();
  CInstance(const CInstance&) = delete;
  CInstance& operator=(const CInstance&) = delete;

  enum class Start { First, AlreadyRunning, Failed };
  Start acquire(std::string& error);
  // Answers requests on the control endpoint until stop().
  bool serve(Handler handler, std::string& error);
  void stop();

  std::string lockPath() const { return folder_ + "/instance.lock"; }
  std::string endpointPath() const { return folder_ + "/control"; }

 private:
  void acceptLoop(platform::SocketHandle server);
  void answer(platform::SocketHandle client, unsigned peerUid);

  std::string folder_;
  platform::InstanceLock lock_;
  std::atomic<platform::SocketHandle> server_{platform::kInvalidSocket};
  platform::Thread acceptThread_;
  Handler handler_;
  std::mutex clientsLock_;
  int clients_ = 0;
};

// Sends one request to the running program; false when none answers within
// `timeoutMs`. A busy endpoint is asked again until then. When the folder is
// not a private folder of this user (see paths::checkRuntimeDir),
// nothing is sent and the answer is "error: <what is wrong with the folder>".
bool sendControlRequest(const std::string& runtimeFolder, const std::string& verb, std::string& answer,
                        int timeoutMs = 30000);

}  // namespace vantor::app
