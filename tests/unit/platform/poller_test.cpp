#include "platform/poller.h"

#include <gtest/gtest.h>

#include "platform/net.h"

namespace vantor::platform {
namespace {

// A connected pair of UDP sockets on loopback; `a` is the one watched.
struct UdpPair {
  SocketHandle a = createSocket(SocketType::Udp);
  SocketHandle b = createSocket(SocketType::Udp);
  UdpPair() {
    Ipv4Endpoint any{kLoopbackAddress, 0}, ea, eb;
    EXPECT_TRUE(bindSocket(a, any) && bindSocket(b, any));
    EXPECT_TRUE(localEndpoint(a, ea) && localEndpoint(b, eb));
    EXPECT_EQ(connectSocket(a, eb), ConnectStatus::Connected);
    EXPECT_EQ(connectSocket(b, ea), ConnectStatus::Connected);
  }
  ~UdpPair() {
    closeSocket(a);
    closeSocket(b);
  }
};

// Reports of `poller` that are there now, or-ed together; 0 for none.
uint32_t pending(Poller& poller) {
  PollEvent events[8];
  int n = poller.wait(events, 8, 0);
  uint32_t all = 0;
  for (int i = 0; i < n; ++i) all |= events[i].events;
  return all;
}

#if !defined(_WIN32)
// (The Windows emulation reports writable once per edge of its own and
// keeps writable reports on.)
TEST(Poller, AHandleWithoutWritableReportsIsNotWokenBySendingOnIt) {
  // A flow's socket sends a datagram per query; its worker waits only for
  // the answer, and a writable report after every send would wake it for
  // nothing.
  UdpPair pair;
  Poller poller;
  ASSERT_TRUE(poller.open());
  ASSERT_TRUE(poller.add(pair.a, &pair, false));
  EXPECT_EQ(pending(poller), 0u);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(sendDatagram(pair.a, "q", 1, nullptr, true), 1);
  EXPECT_EQ(pending(poller), 0u);
  ASSERT_EQ(sendDatagram(pair.b, "answer", 6, nullptr, true), 6);
  EXPECT_EQ(pending(poller) & (kPollReadable | kPollWritable), static_cast<uint32_t>(kPollReadable));
}
#endif

TEST(Poller, WritableReportsTurnedOnReportAWritableHandleAtOnceAndOffAgain) {
  UdpPair pair;
  Poller poller;
  ASSERT_TRUE(poller.open());
  ASSERT_TRUE(poller.add(pair.a, &pair, false));
  ASSERT_TRUE(poller.watchWritable(pair.a, &pair, true));
  PollEvent event;
  ASSERT_EQ(poller.wait(&event, 1, 0), 1);
  EXPECT_EQ(event.key, &pair);
  EXPECT_TRUE(event.events & kPollWritable);
  ASSERT_TRUE(poller.watchWritable(pair.a, &pair, false));
  ASSERT_EQ(sendDatagram(pair.a, "q", 1, nullptr, true), 1);
  EXPECT_EQ(pending(poller), 0u);
}

}  // namespace
}  // namespace vantor::platform
