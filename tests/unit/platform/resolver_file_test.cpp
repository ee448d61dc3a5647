// A resolv.conf that is a bind mount cannot be replaced by a rename; it is
// rewritten in place, and a kill at any step must leave a complete file:
// the old text, or the new one (followed at most by blank lines). The
// writer runs in a child with a private mount namespace (the bind mount is
// seen only there) and pauses at each step (VANTOR_TEST_PAUSE_RESOLV_WRITE),
// where the test looks at the file and kills the child.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/dns_config.h"

namespace vantor::platform {
namespace {

const std::string kLong =
    "# written by the network manager\nsearch corp.example.com lab.example.com\n"
    "nameserver 10.1.1.1\nnameserver 10.1.1.2\noptions edns0 trust-ad\n";
const std::string kShort = "nameserver 10.198.75.61\n";

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class BindMountedResolvConf : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (mount namespaces)";
    char pattern[] = "/tmp/vantor-resolv-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    backing_ = dir_ + "/backing";
    mountPoint_ = dir_ + "/resolv.conf";
    { std::ofstream(mountPoint_) << "mount point\n"; }
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // Starts a child that bind-mounts the backing file over resolv.conf in a
  // mount namespace of its own and writes `content` there; its stderr comes
  // to `stepsFd`. With `pauseMs` it stops after each step.
  pid_t startWriter(const std::string& content, int pauseMs, int& stepsFd) {
    int steps[2];
    if (::pipe(steps) != 0) return -1;
    pid_t child = ::fork();
    if (child == 0) {
      ::dup2(steps[1], 2);
      ::close(steps[0]);
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount(backing_.c_str(), mountPoint_.c_str(), nullptr, MS_BIND, nullptr) != 0)
        std::_Exit(2);
      if (pauseMs > 0)
        ::setenv("VANTOR_TEST_PAUSE_RESOLV_WRITE", std::to_string(pauseMs).c_str(), 1);
      else
        ::unsetenv("VANTOR_TEST_PAUSE_RESOLV_WRITE");
      std::string error;
      bool ok = writeResolverFile(mountPoint_, content, error);
      if (!ok) (void)!::write(2, error.data(), error.size());
      std::_Exit(ok ? 0 : 1);
    }
    ::close(steps[1]);
    stepsFd = steps[0];
    return child;
  }

  // Reads the child's stderr up to the line naming `step`.
  static bool waitForStep(int fd, const std::string& step) {
    std::string seen;
    char c;
    while (::read(fd, &c, 1) == 1) {
      seen += c;
      if (seen.find("resolv.conf write: " + step + "\n") != std::string::npos) return true;
    }
    ADD_FAILURE() << "the writer never reached '" << step << "': " << seen;
    return false;
  }

  // What may be seen while `to` replaces `from`: either text, or `to`
  // followed by nothing but line feeds.
  static bool complete(const std::string& seen, const std::string& from, const std::string& to) {
    if (seen == from || seen == to) return true;
    return seen.size() > to.size() && seen.compare(0, to.size(), to) == 0 &&
           seen.find_first_not_of('\n', to.size()) == std::string::npos;
  }

  std::string dir_, backing_, mountPoint_;
};

TEST_F(BindMountedResolvConf, AWriteThatRunsThroughLeavesExactlyTheNewTextInTheSameFile) {
  for (const auto& [from, to] : {std::pair{kLong, kShort}, std::pair{kShort, kLong}}) {
    { std::ofstream(backing_, std::ios::binary) << from; }
    struct stat before {};
    ASSERT_EQ(::stat(backing_.c_str(), &before), 0);
    int steps = -1;
    pid_t child = startWriter(to, 0, steps);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(steps);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // Written through the mount: a rename would have failed on the mount
    // point, or replaced the file instead of writing into it.
    EXPECT_EQ(readAll(backing_), to);
    struct stat after {};
    ASSERT_EQ(::stat(backing_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readAll(mountPoint_), "mount point\n") << "the mount stayed in the child's namespace";
  }
}

TEST_F(BindMountedResolvConf, AKillAtAnyStepLeavesACompleteFile) {
  for (const auto& [from, to] : {std::pair{kLong, kShort}, std::pair{kShort, kLong}}) {
    for (const char* step : {"opened", "written"}) {
      SCOPED_TRACE(std::string(step) + (from.size() > to.size() ? ", shrinking" : ", growing"));
      { std::ofstream(backing_, std::ios::binary) << from; }
      int steps = -1;
      // Every step pauses: "written" comes after the pause at "opened", and
      // the kill must come within the pause that follows it.
      pid_t child = startWriter(to, 1500, steps);
      ASSERT_GT(child, 0);
      bool reached = waitForStep(steps, step);
      const std::string paused = readAll(backing_);
      ::kill(child, SIGKILL);
      int status = 0;
      ::waitpid(child, &status, 0);
      ::close(steps);
      ASSERT_TRUE(reached);
      ASSERT_TRUE(WIFSIGNALED(status)) << "the writer was done before the kill came";
      const std::string after = readAll(backing_);
      EXPECT_EQ(after, paused);
      EXPECT_TRUE(complete(after, from, to)) << "left behind:\n" << after;
      if (std::string(step) == "opened") {
        EXPECT_EQ(after, from) << "nothing is cut before the new text is in";
      } else {
        EXPECT_NE(after, from);
        // What a resolver reads from the padded file is the new text.
        EXPECT_EQ(resolvConfNameservers(after), resolvConfNameservers(to));
      }
    }
  }
}

}  // namespace
}  // namespace vantor::platform
