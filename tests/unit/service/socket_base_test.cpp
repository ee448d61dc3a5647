#include "service/socket_base.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "test_net.h"

namespace vantor {
namespace {

struct Pair {
  test::Listener listener;
  test::Conn client{listener.port()};
  test::Conn server{listener.accept(2000)};
};

TEST(SocketBase, RecvWaitTimeOutCloseAndData) {
  Pair p;
  CSocketBase helpers;
  uint8_t buf[16];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(helpers.recvWait(p.server.handle(), buf, sizeof buf, 1), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  p.client.send("abc");
  EXPECT_EQ(helpers.recvWait(p.server.handle(), buf, sizeof buf, 1), 3);
  p.client.shutdownWrite();
  EXPECT_EQ(helpers.recvWait(p.server.handle(), buf, sizeof buf, 1), -1);
  uint8_t b;
  EXPECT_FALSE(helpers.readByte(p.server.handle(), b, 1));
}

TEST(SocketBase, SendAllReportsWhatFitBeforeTheTimeOut) {
  Pair p;
  CSocketBase helpers;
  // Nobody reads: the send stops when the buffers are full and the wait expires.
  std::vector<uint8_t> big(64 << 20, 0x5a);
  long sent = helpers.sendAll(p.server.handle(), big.data(), big.size(), 1);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<long>(big.size()));
}

}  // namespace
}  // namespace vantor
