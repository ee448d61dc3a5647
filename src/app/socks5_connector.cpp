#include "app/socks5_connector.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "service/socks_client.h"

namespace vantor::app {
namespace {

using platform::SocketHandle;
using Clock = std::chrono::steady_clock;

class Dialogue {
 public:
  Dialogue(SocketHandle s, int timeoutMs) : s_(s), deadline_(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}

  bool send(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      if (!wait(platform::kWantWrite)) return false;
      long n = platform::sendBytes(s_, bytes.data() + done, bytes.size() - done, true);
      if (n == platform::kIoWouldBlock) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool recv(uint8_t* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
      if (!wait(platform::kWantRead)) return false;
      long n = platform::recvBytes(s_, out + done, length - done, true);
      if (n == platform::kIoWouldBlock) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool timedOut() const { return timedOut_; }

 private:
  bool wait(uint8_t interest) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    if (left <= 0) {
      timedOut_ = true;
      return false;
    }
    platform::WaitItem item{s_, interest};
    int n = platform::waitSockets({&item, 1}, static_cast<int>(left));
    if (n == 0) timedOut_ = true;
    return n > 0 && !item.failed;
  }

  SocketHandle s_;
  Clock::time_point deadline_;
  bool timedOut_ = false;
};

}  // namespace

SocketHandle socks5Connect(const platform::Ipv4Endpoint& server, const std::string& host, uint16_t port,
                           const std::string& user, const std::string& password, int timeoutMs, Socks5Result& result) {
  result = Socks5Result::Failed;
  if (host.empty() || host.size() > 255 || user.size() > 255 || password.size() > 255) return platform::kInvalidSocket;
  SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
  if (s == platform::kInvalidSocket) return s;
  auto fail = [&](Socks5Result why) {
    platform::closeSocket(s);
    result = why;
    return platform::kInvalidSocket;
  };
  platform::setNonBlocking(s, true);
  platform::setNoDelay(s);
  Dialogue d(s, timeoutMs);
  auto status = platform::connectSocket(s, server);
  if (status == platform::ConnectStatus::Failed) return fail(Socks5Result::Failed);

  bool withLogin = !user.empty();
  std::vector<uint8_t> hello{socks::kVersion5, 1, withLogin ? socks::kMethodUserPass : socks::kMethodNone};
  uint8_t answer[2];
  if (!d.send(hello) || !d.recv(answer, 2)) return fail(d.timedOut() ? Socks5Result::TimedOut : Socks5Result::Failed);
  if (answer[0] != socks::kVersion5 || answer[1] != hello[2]) return fail(Socks5Result::Failed);
  if (withLogin) {
    std::vector<uint8_t> login{1, static_cast<uint8_t>(user.size())};
    login.insert(login.end(), user.begin(), user.end());
    login.push_back(static_cast<uint8_t>(password.size()));
    login.insert(login.end(), password.begin(), password.end());
    if (!d.send(login) || !d.recv(answer, 2) || answer[1] != 0) return fail(Socks5Result::Failed);
  }

  std::vector<uint8_t> request{socks::kVersion5, socks::kCmdConnect, 0};
  uint32_t address = 0;
  if (platform::parseIpv4(host, address)) {
    request.push_back(socks::kAtypIpv4);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    request.insert(request.end(), bytes, bytes + 4);
  } else {
    request.push_back(socks::kAtypDomain);
    request.push_back(static_cast<uint8_t>(host.size()));
    request.insert(request.end(), host.begin(), host.end());
  }
  request.push_back(static_cast<uint8_t>(port >> 8));
  request.push_back(static_cast<uint8_t>(port));
  uint8_t reply[4];
  if (!d.send(request) || !d.recv(reply, 4)) return fail(d.timedOut() ? Socks5Result::TimedOut : Socks5Result::Failed);
  if (reply[0] != socks::kVersion5) return fail(Socks5Result::Failed);
  if (reply[1] != socks::kRepSuccess) {
    // 3 network, 4 host unreachable; 5 refused; the rest are failures.
    if (reply[1] == 3 || reply[1] == 4) return fail(Socks5Result::Unreachable);
    if (reply[1] == 5) return fail(Socks5Result::Refused);
    return fail(Socks5Result::Failed);
  }
  std::size_t boundLength = 0;
  uint8_t lengthByte = 0;
  switch (reply[3]) {
    case socks::kAtypIpv4:
      boundLength = 4 + 2;
      break;
    case socks::kAtypIpv6:
      boundLength = 16 + 2;
      break;
    case socks::kAtypDomain:
      if (!d.recv(&lengthByte, 1)) return fail(Socks5Result::Failed);
      boundLength = lengthByte + 2u;
      break;
    default:
      return fail(Socks5Result::Failed);
  }
  uint8_t bound[258];
  if (!d.recv(bound, boundLength)) return fail(Socks5Result::Failed);
  result = Socks5Result::Ok;
  return s;
}

}  // namespace vantor::app
