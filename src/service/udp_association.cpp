#include "service/udp_association.h"

#include <cstring>

#include "service/socks_client.h"

namespace vantor {

using namespace socks;
using platform::kInvalidSocket;

namespace {
constexpr uint8_t kRepNotAllowed = 0x02;  // the node's rules forbid it
}  // namespace

CSocksUdpAssociation::CSocksUdpAssociation(const std::string& user, const std::string& password)
    : user_(user), password_(password) {}

CSocksUdpAssociation::~CSocksUdpAssociation() { platform::closeSocket(socket_); }

bool CSocksUdpAssociation::start(const platform::IpEndpoint& server) {
  server_ = server;
  socket_ = platform::createSocketFor(server, platform::SocketType::Tcp);
  if (socket_ == kInvalidSocket || !platform::setNonBlocking(socket_, true)) return false;
  platform::setNoDelay(socket_);
  auto status = platform::connectEndpoint(socket_, server);
  if (status == platform::ConnectStatus::Failed) return false;
  step_ = Step::Connecting;
  return true;
}

bool CSocksUdpAssociation::sendBytes(const uint8_t* data, std::size_t length) {
  // A few hundred bytes on a fresh connection: they fit the socket buffer.
  return platform::sendBytes(socket_, data, length, true) == static_cast<long>(length);
}

bool CSocksUdpAssociation::sendRequest() {
  // UDP ASSOCIATE for 0.0.0.0:0 ([::]:0 over IPv6): datagrams will come from
  // wherever the node sees them.
  const uint8_t request[4 + 16 + 2] = {kVersion5, kCmdUdpAssociate, 0, server_.ipv6 ? kAtypIpv6 : kAtypIpv4};
  have_ = 0;
  step_ = Step::Reply;
  return sendBytes(request, server_.ipv6 ? 22 : 10);
}

CSocksUdpAssociation::Outcome CSocksUdpAssociation::refuse(const char* what) {
  refusal_ = what;
  return Outcome::Refused;
}

void CSocksUdpAssociation::receive() {
  while (!peerGone_ && have_ < sizeof in_) {
    long n = platform::recvBytes(socket_, in_ + have_, sizeof in_ - have_, true);
    if (n == platform::kIoWouldBlock) return;
    if (n <= 0) {
      peerGone_ = true;  // what it sent before, a refusal say, still counts
      return;
    }
    have_ += static_cast<std::size_t>(n);
  }
}

CSocksUdpAssociation::Outcome CSocksUdpAssociation::waiting() const {
  return peerGone_ ? Outcome::Broken : Outcome::Pending;
}

CSocksUdpAssociation::Outcome CSocksUdpAssociation::advance() {
  if (step_ == Step::Idle) return Outcome::Broken;
  if (step_ == Step::Ready) return Outcome::Ready;
  if (step_ == Step::Connecting) {
    platform::IpEndpoint peer{};
    if (platform::pendingError(socket_) != 0) return Outcome::Broken;
    if (!platform::peerEndpoint(socket_, peer)) return Outcome::Pending;  // not connected yet
    const uint8_t greeting[3] = {kVersion5, 1, user_.empty() ? kMethodNone : kMethodUserPass};
    if (!sendBytes(greeting, sizeof greeting)) return Outcome::Broken;
    step_ = Step::Method;
    have_ = 0;
  }
  // Each reply comes only after the request of its step, so one is parsed per call.
  receive();
  if (step_ == Step::Method) {
    if (have_ < 2) return waiting();
    if (in_[0] != kVersion5) return Outcome::Broken;
    if (in_[1] == kMethodNone) return sendRequest() ? waiting() : Outcome::Broken;
    if (in_[1] != kMethodUserPass || user_.empty()) return refuse("the login methods");
    if (user_.size() > 255 || password_.size() > 255) return refuse("the login");
    uint8_t login[3 + 255 + 255];
    std::size_t n = 0;
    login[n++] = 1;
    login[n++] = static_cast<uint8_t>(user_.size());
    std::memcpy(login + n, user_.data(), user_.size());
    n += user_.size();
    login[n++] = static_cast<uint8_t>(password_.size());
    std::memcpy(login + n, password_.data(), password_.size());
    n += password_.size();
    have_ = 0;
    step_ = Step::Login;
    return sendBytes(login, n) ? waiting() : Outcome::Broken;
  }
  if (step_ == Step::Login) {
    if (have_ < 2) return waiting();
    if (in_[0] != 1) return Outcome::Broken;
    if (in_[1] != 0) return refuse("the login");
    return sendRequest() ? waiting() : Outcome::Broken;
  }
  // The reply: VER REP RSV ATYP, then the relay's address and port.
  if (have_ < 4) return waiting();
  if (in_[0] != kVersion5) return Outcome::Broken;
  switch (in_[1]) {
    case kRepSuccess:
      break;
    case kRepNotAllowed:
      return refuse("UDP ASSOCIATE (not allowed)");
    case kRepCommandNotSupported:
      return refuse("UDP ASSOCIATE (command not supported)");
    case kRepAddressNotSupported:
      return refuse("UDP ASSOCIATE (address type not supported)");
    default:
      return Outcome::Broken;  // a general failure or one of the network: may pass
  }
  relay_ = {};
  switch (in_[3]) {
    case kAtypIpv4:
      if (have_ < 10) return waiting();
      std::memcpy(relay_.address, in_ + 4, 4);
      relay_.port = platform::readBe16(in_ + 8);
      break;
    case kAtypIpv6:
      if (have_ < 22) return waiting();
      relay_.ipv6 = true;
      std::memcpy(relay_.address, in_ + 4, 16);
      relay_.port = platform::readBe16(in_ + 20);
      break;
    case kAtypDomain: {
      if (have_ < 5 || have_ < 5u + in_[4] + 2) return waiting();
      relay_.port = platform::readBe16(in_ + 5 + in_[4]);
      break;  // a name for the relay: taken as the node's own address
    }
    default:
      return refuse("UDP ASSOCIATE (no relay address)");
  }
  // No address of its own means "the node's address".
  if (relay_.unspecified()) {
    uint16_t port = relay_.port;
    relay_ = server_;
    relay_.port = port;
  }
  if (relay_.port == 0) return refuse("UDP ASSOCIATE (no relay port)");
  // A node that has already hung up holds no association.
  if (peerGone_) return Outcome::Broken;
  step_ = Step::Ready;
  return Outcome::Ready;
}

bool CSocksUdpAssociation::holdControl() {
  uint8_t scratch[256];
  for (;;) {
    long n = platform::recvBytes(socket_, scratch, sizeof scratch, true);
    if (n == platform::kIoWouldBlock) return true;
    if (n <= 0) return false;
  }
}

}  // namespace vantor
