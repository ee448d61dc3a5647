// A small rtnetlink client: requests with acknowledgements, many per system
// call, and table dumps. Used by the route and interface code of this folder.
#pragma once

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vantor::platform::linux_nl {

// One request being built: a header, the fixed family message and attributes.
class Message {
 public:
  Message(uint16_t type, uint16_t flags, const void* body, std::size_t bodyLength);
  void attribute(uint16_t type, const void* data, std::size_t length);
  void attributeU32(uint16_t type, uint32_t value) { attribute(type, &value, sizeof value); }
  nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(bytes_.data()); }
  const std::vector<char>& bytes() const { return bytes_; }
  // Takes a received message as the start of a new request (header fields
  // are replaced by the caller).
  static Message copyOf(const nlmsghdr* received);

 private:
  Message() = default;
  std::vector<char> bytes_;
};

class Socket {
 public:
  Socket();
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  bool valid() const { return fd_ >= 0; }

  // Sends every message with an acknowledgement request, as many per system
  // call as fit, and collects the answers. errors[i] is 0 or the errno value
  // of message i. Returns false when the socket itself failed.
  bool transact(std::vector<Message>& messages, std::vector<int>& errors);
  // Sends one dump request and hands every answering message to `each`.
  bool dump(Message& request, const std::function<void(const nlmsghdr*)>& each);
  // Sends one request that is answered by a message (not only an ack).
  bool query(Message& request, const std::function<void(const nlmsghdr*)>& each, int& error);

 private:
  bool receiveInto(std::vector<char>& buffer, ssize_t& length);
  bool exchange(Message& request, bool isDump, const std::function<void(const nlmsghdr*)>& each, int& error);
  int fd_ = -1;
  uint32_t sequence_ = 1;
};

// Walks the attributes of a message whose family header is `bodyLength` long.
void forEachAttribute(const nlmsghdr* h, std::size_t bodyLength, const std::function<void(const rtattr*)>& each);

}  // namespace vantor::platform::linux_nl
