// The runtime folder holds the instance lock and the control socket: it is
// used only when it is this user's alone, whichever way it was chosen.
#include "catalogue/app_paths.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vantor {
namespace {

class RuntimeFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantor-paths-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
    for (const char* name : {"VANTOR_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? value : "");
      saved_.push_back(value ? "1" : "");
    }
    ::unsetenv("VANTOR_RUNTIME_DIR");
  }
  void TearDown() override {
    const char* names[] = {"VANTOR_RUNTIME_DIR", "XDG_RUNTIME_DIR"};
    for (int i = 0; i < 2; ++i) {
      if (saved_[2 * i + 1].empty())
        ::unsetenv(names[i]);
      else
        ::setenv(names[i], saved_[2 * i].c_str(), 1);
    }
    std::filesystem::remove_all(base_);
  }
  // ensureRuntimeDir() on `dir` as $VANTOR_RUNTIME_DIR; the error when refused.
  std::string refusal(const std::string& dir) {
    ::setenv("VANTOR_RUNTIME_DIR", dir.c_str(), 1);
    std::string error;
    if (paths::ensureRuntimeDir(error)) return {};
    EXPECT_FALSE(error.empty());
    return error;
  }
  static unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
  }

  std::string base_;
  std::vector<std::string> saved_;
};

TEST_F(RuntimeFolder, AMissingFolderIsCreatedPrivateAndXdgIsPreferredOverTmp) {
  ::setenv("XDG_RUNTIME_DIR", base_.c_str(), 1);
  EXPECT_EQ(paths::runtimeDir(), base_ + "/vantor");
  std::string error;
  ASSERT_TRUE(paths::ensureRuntimeDir(error)) << error;
  EXPECT_EQ(modeOf(base_ + "/vantor"), 0700u);
  ASSERT_TRUE(paths::ensureRuntimeDir(error)) << "a folder of our own is taken again: " << error;

  // The variable the tests use gets the same treatment, missing parents too.
  EXPECT_EQ(refusal(base_ + "/run/nested"), "");
  EXPECT_EQ(modeOf(base_ + "/run/nested"), 0700u);
  EXPECT_EQ(paths::runtimeDir(), base_ + "/run/nested");
}

TEST_F(RuntimeFolder, AFolderOthersMayEnterIsRefusedAndLeftAsItIs) {
  std::string open = base_ + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
  std::string error = refusal(open);
  EXPECT_NE(error.find(open), std::string::npos) << error;
  EXPECT_NE(error.find("open to other users (mode 0755)"), std::string::npos) << error;
  EXPECT_EQ(modeOf(open), 0755u) << "refused, not quietly repaired";

  ASSERT_EQ(::chmod(open.c_str(), 0710), 0);
  EXPECT_NE(refusal(open).find("(mode 0710)"), std::string::npos) << "a group bit alone is enough";
}

TEST_F(RuntimeFolder, AFolderOfAnotherUserIsRefusedEvenWithMode0700) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
  std::string theirs = base_ + "/theirs";
  ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  std::string error = refusal(theirs);
  EXPECT_NE(error.find("the runtime folder " + theirs), std::string::npos) << error;
  EXPECT_NE(error.find("belongs to user 65534"), std::string::npos) << error;
}

TEST_F(RuntimeFolder, ALinkOrAFileAtTheNameIsRefused) {
  // A link to a perfectly private folder is still someone's link: the name
  // could be pointed elsewhere later.
  std::string real = base_ + "/real", link = base_ + "/link", file = base_ + "/file";
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  EXPECT_NE(refusal(link).find("is a symbolic link"), std::string::npos);
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  EXPECT_NE(refusal(file).find("is not a folder"), std::string::npos);
}

TEST_F(RuntimeFolder, RootsOwnFolderIsNotTheHelpersSocketFolder) {
  // /run/vantor holds the helper's socket, open to the helper's group; root's
  // runtime folder is a private one beside it. A child with a /run of its own
  // tries it, out of the host's sight.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (mount namespaces)";
  ::unsetenv("XDG_RUNTIME_DIR");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || ::mkdir("/run/vantor", 0755) != 0)
      std::_Exit(10);
    std::string error;
    if (paths::runtimeDir() != "/run/vantor-root") std::_Exit(11);
    if (!paths::ensureRuntimeDir(error)) std::_Exit(12);
    struct stat st {};
    if (::stat("/run/vantor", &st) != 0 || (st.st_mode & 07777) != 0755) std::_Exit(13);
    if (::chmod("/run/vantor-root", 0755) != 0) std::_Exit(10);
    if (paths::ensureRuntimeDir(error) || error.find("is open to other users (mode 0755)") == std::string::npos)
      std::_Exit(14);
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "11: not /run/vantor-root, 12: refused, 13: the socket folder changed, 14: 0755 taken";
}

}  // namespace
}  // namespace vantor
