// Blocking-socket helpers with whole-second time-outs: 0 makes the socket
// call at once (it blocks as the socket does), -1 waits without limit, n waits
// up to n seconds. Results: a byte count, 0 for a time-out, -1 for an error or
// an orderly close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace vantor {

using platform::IpEndpoint;
using platform::Ipv4Endpoint;
using platform::kInvalidSocket;
using platform::SocketHandle;

class CSocketBase {
 public:
  virtual ~CSocketBase() = default;

  virtual bool readByte(SocketHandle s, uint8_t& value, int timeout);
  // which: 1 receive, 2 send, 0 both; anything else does nothing.
  virtual bool setTimeouts(SocketHandle s, int seconds, int which);
  virtual long recvWait(SocketHandle s, void* buffer, std::size_t size, int timeout);
  virtual long recvFromWait(SocketHandle s, void* buffer, std::size_t size, Ipv4Endpoint* source, int timeout);
  virtual long sendAll(SocketHandle s, const void* data, std::size_t length, int timeout);
  virtual long sendToWait(SocketHandle s, const void* data, std::size_t length, const Ipv4Endpoint& destination,
                          int timeout);
  // The same towards the node, whose address may be of either family.
  long sendToWait(SocketHandle s, const void* data, std::size_t length, const IpEndpoint& destination, int timeout);

 protected:
  // Reads exactly `size` bytes with recvWait, each wait up to `timeout`.
  bool recvExact(SocketHandle s, void* buffer, std::size_t size, int timeout);
  // recvWait with a wait of up to `timeoutMs` milliseconds (negative: no limit)
  // when nothing is queued yet.
  long recvWithin(SocketHandle s, void* buffer, std::size_t size, int timeoutMs);
  // Waits until `s` is readable (or writable); 1 ready, 0 time-out, -1 failure.
  // An unlimited wait (negative) is made in short slices and gives up as soon
  // as keepWaiting() turns false.
  int waitFor(SocketHandle s, bool write, int timeoutMs);
  virtual bool keepWaiting() { return true; }
};

}  // namespace vantor
