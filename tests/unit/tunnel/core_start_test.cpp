// Starting the tunnel with parameters it must refuse, and with a device that
// does not exist: nothing may be left running, and the results tell which.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include "platform/tun.h"
#include "tunnel/core/tun2socks.h"

namespace vantor::tunnel {
namespace {

const char* kDevice = "tun:vantor-none0:10.198.75.60:10.198.75.0:255.255.255.0";

TEST(TunnelStart, MissingRequiredParametersAreRejected) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(tun2socks_start(kDevice, nullptr, "255.255.255.0", "127.0.0.1:1080", nullptr, nullptr, nullptr, false), 0);
  EXPECT_EQ(tun2socks_start(kDevice, "10.198.75.61", nullptr, "127.0.0.1:1080", nullptr, nullptr, nullptr, false), 0);
  EXPECT_EQ(tun2socks_start(kDevice, "10.198.75.61", "255.255.255.0", nullptr, nullptr, nullptr, nullptr, false), 0);
  EXPECT_EQ(
      tun2socks_start(kDevice, "10.198.75.61", "255.255.255.0", "127.0.0.1:1080", "user", nullptr, nullptr, false), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("--netif-ipaddr is required\n"), std::string::npos);
  EXPECT_NE(err.find("--netif-netmask is required\n"), std::string::npos);
  EXPECT_NE(err.find("--socks-server-addr is required\n"), std::string::npos);
  EXPECT_NE(err.find("username given but password not given\n"), std::string::npos);
  EXPECT_FALSE(tun2socks_is_running());
}

TEST(TunnelStart, UnusableParametersAndMissingDeviceStartNothing) {
  tun2socks_set_handle_signals(false);
  // Accepted parameters whose values are wrong: 1, but not running.
  EXPECT_EQ(tun2socks_start(kDevice, "10.198.75.61", "255.255.255.0", "localhost-not-an-address", nullptr, nullptr,
                            nullptr, false),
            1);
  EXPECT_FALSE(tun2socks_is_running());
  EXPECT_EQ(tun2socks_start(kDevice, "[::1]", "255.255.255.0", "127.0.0.1:1080", nullptr, nullptr, nullptr, false), 1);
  EXPECT_FALSE(tun2socks_is_running());
  testing::internal::CaptureStderr();
  EXPECT_EQ(tun2socks_start("tun:vantor-none0:10.198.75.60:10.198.75.0", "10.198.75.61", "255.255.255.0",
                            "127.0.0.1:1080", nullptr, nullptr, nullptr, false),
            1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "split_spec: missing separator number 4\n");
  EXPECT_FALSE(tun2socks_is_running());
  // A well-formed text naming an interface that does not exist.
  EXPECT_TRUE(!startTunnel("vantor-none0", 1080, false));
  EXPECT_FALSE(tun2socks_is_running());
  tun2socks_stop(true);  // nothing runs: returns at once
  tun2socks_set_handle_signals(true);
}

// The controller starts and stops the tunnel many times in one process
// (connect, disconnect, connect again; reconnects after a lost link).
TEST(TunnelStart, StartsAgainAfterAStopInTheSameProcess) {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs root for a network namespace";
  std::string error;
  ASSERT_TRUE(platform::tunCreatePersistent("vtrestart0", error)) << error;
  ASSERT_TRUE(platform::setInterfaceUp("vtrestart0", true, error)) << error;
  tun2socks_set_handle_signals(false);
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(startTunnel("vtrestart0", 1080, round % 2 == 0)) << "start " << round + 1;
    tun2socks_stop(true);
    EXPECT_FALSE(tun2socks_is_running());
  }
  tun2socks_set_handle_signals(true);
  platform::tunDeletePersistent("vtrestart0", error);
}

}  // namespace
}  // namespace vantor::tunnel
