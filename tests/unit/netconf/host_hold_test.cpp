// The helper's hold on the host network and its state folder: one session
// at a time, the others told who has it; the folder made the helper's alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "helper/session.h"
#include "netconf/host_changes.h"
#include "platform/files.h"
#include "platform/helper_ipc.h"

namespace vantor::helper {
namespace {

namespace fs = std::filesystem;

class HelperState : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("vantor-hold-" + std::to_string(std::random_device()()));
    saved_ = HostChangeRecord::stateDir();
    HostChangeRecord::stateDir() = (base_ / "state").generic_string();
  }
  void TearDown() override {
    HostChangeRecord::stateDir() = saved_;
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  fs::path base_;
  std::string saved_;
};

TEST_F(HelperState, OneHoldAtATimeAndTheOtherSessionIsToldWhoseItIs) {
  std::string error;
  HostHold first, second;
  ASSERT_TRUE(first.take(1234, error)) << error;
  EXPECT_TRUE(first.held());
  EXPECT_TRUE(first.take(1234, error)) << "taking a hold one has is no conflict";

  EXPECT_FALSE(second.take(99, error));
  EXPECT_FALSE(second.held());
  EXPECT_NE(error.find("in use by another Vantor connection (uid 1234)"), std::string::npos) << error;

  first.release();
  EXPECT_FALSE(first.held());
  ASSERT_TRUE(second.take(99, error)) << error;
  EXPECT_FALSE(first.take(1234, error));
  EXPECT_NE(error.find("(uid 99)"), std::string::npos) << error;
}

TEST_F(HelperState, TheStateFolderIsCreatedWithItsParentsAndKeptPrivate) {
  const std::string dir = (base_ / "a" / "b").generic_string();
  std::string error;
  ASSERT_TRUE(platform::prepareHelperStateFolder(dir, error)) << error;
  EXPECT_TRUE(platform::isDirectory(dir));
#ifndef _WIN32
  // Rights that others were given are taken away again.
  fs::permissions(dir, fs::perms::group_read | fs::perms::others_exec, fs::perm_options::add);
  ASSERT_TRUE(platform::prepareHelperStateFolder(dir, error)) << error;
  EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_FALSE(platform::prepareHelperStateFolder("relative/state", error));
#endif
  // A file where the folder should be is refused.
  const std::string file = (base_ / "file").generic_string();
  ASSERT_TRUE(platform::writeFileAtomic(file, "x", 0600, error)) << error;
  EXPECT_FALSE(platform::prepareHelperStateFolder(file, error));
}

}  // namespace
}  // namespace vantor::helper
