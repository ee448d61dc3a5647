// waitSockets(): an entry without a socket takes part in nothing (the relay
// leaves a side out of the wait that way), and a peer's orderly close is
// readable, never a failure.
#include <gtest/gtest.h>

#include <array>

#include "platform/net.h"

namespace vantor::platform {
namespace {

struct Pair {
  SocketHandle listener = kInvalidSocket, client = kInvalidSocket, server = kInvalidSocket;
  ~Pair() {
    for (SocketHandle s : {listener, client, server})
      if (s != kInvalidSocket) closeSocket(s);
  }
};

void connectPair(Pair& p) {
  p.listener = createSocket(SocketType::Tcp);
  ASSERT_NE(p.listener, kInvalidSocket);
  Ipv4Endpoint at{kLoopbackAddress, 0};
  ASSERT_TRUE(bindSocket(p.listener, at) && listenSocket(p.listener, 1) && localEndpoint(p.listener, at));
  p.client = createSocket(SocketType::Tcp);
  ASSERT_EQ(connectSocket(p.client, at), ConnectStatus::Connected);
  p.server = acceptSocket(p.listener, nullptr);
  ASSERT_NE(p.server, kInvalidSocket);
}

TEST(WaitSockets, AnEntryWithoutASocketNeverReportsAnEvent) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(connectPair(p));
  std::array<WaitItem, 2> items{WaitItem{kInvalidSocket, kWantRead | kWantWrite}, WaitItem{p.client, kWantRead}};
  EXPECT_EQ(waitSockets(items, 50), 0);
  EXPECT_FALSE(items[0].failed || items[0].readable || items[0].writable);

  ASSERT_EQ(sendBytes(p.server, "x", 1, false), 1);
  EXPECT_EQ(waitSockets(items, 2000), 1);
  EXPECT_TRUE(items[1].readable);
  EXPECT_FALSE(items[0].failed || items[0].readable || items[0].writable);

  std::array<WaitItem, 1> none{WaitItem{kInvalidSocket, kWantRead}};
  EXPECT_EQ(waitSockets(none, 20), 0);
  EXPECT_FALSE(none[0].failed);
}

TEST(WaitSockets, ThePeersOrderlyCloseIsReadableNotAFailure) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(connectPair(p));
  ASSERT_EQ(sendBytes(p.server, "last", 4, false), 4);
  shutdownSend(p.server);
  std::array<WaitItem, 2> items{WaitItem{p.client, kWantRead}, WaitItem{kInvalidSocket, 0}};
  ASSERT_EQ(waitSockets(items, 2000), 1);
  EXPECT_TRUE(items[0].readable);
  EXPECT_FALSE(items[0].failed);
  EXPECT_FALSE(items[1].failed);
}

}  // namespace
}  // namespace vantor::platform
