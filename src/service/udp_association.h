// The control connection of one SOCKS 5 UDP association, driven without
// blocking so that one worker can hold many of them among its flows' sockets:
// connect, greeting, RFC 1929 login when the node has a user name, UDP
// ASSOCIATE for 0.0.0.0:0 (or [::]:0 to a node reached over IPv6), reply. The owner calls advance() on every event
// of socket() and keeps its own deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/net.h"

namespace vantor {

class CSocksUdpAssociation {
 public:
  enum class Outcome {
    Pending,  // waiting for the node
    Ready,    // relay() is the node's UDP relay; socket() now holds the association
    Refused,  // the node said no: it will say so again
    Broken,   // the connection failed or ended early; trying later may work
  };

  CSocksUdpAssociation(const std::string& user, const std::string& password);
  ~CSocksUdpAssociation();  // closes the control connection
  CSocksUdpAssociation(const CSocksUdpAssociation&) = delete;
  CSocksUdpAssociation& operator=(const CSocksUdpAssociation&) = delete;

  // Starts connecting to the node; false when that failed at once.
  bool start(const platform::IpEndpoint& server);
  platform::SocketHandle socket() const { return socket_; }
  // Goes as far as the bytes at hand allow.
  Outcome advance();
  // Once Ready: reads and discards what the node sends on the control
  // connection; false when it has closed it, which ends the association.
  bool holdControl();
  // Either family: the node's relay, which may differ from the control connection's.
  const platform::IpEndpoint& relay() const { return relay_; }
  // What the node refused, for the log.
  const char* refusal() const { return refusal_; }

 private:
  enum class Step { Idle, Connecting, Method, Login, Reply, Ready };
  bool sendBytes(const uint8_t* data, std::size_t length);
  bool sendRequest();
  Outcome refuse(const char* what);
  // Takes what the node has sent, and notes when it has closed.
  void receive();
  // Pending, unless the node has gone and what it sent is not enough.
  Outcome waiting() const;

  std::string user_;
  std::string password_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  platform::IpEndpoint server_{};
  platform::IpEndpoint relay_{};
  Step step_ = Step::Idle;
  uint8_t in_[4 + 1 + 255 + 2] = {};  // the longest reply: a name for the relay
  std::size_t have_ = 0;
  bool peerGone_ = false;
  const char* refusal_ = "";
};

}  // namespace vantor
