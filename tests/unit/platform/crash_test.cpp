// The crash report's name can be guessed from the version, the time and the
// process id: whatever waits at that name must survive the crash untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/crash.h"

namespace vantor::platform {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CrashReport, PlantedLinksAndFilesAtThePredictableNameAreNeverWrittenThrough) {
  char pattern[] = "/tmp/vantor-crash-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern, logs = dir + "/log", victim = dir + "/victim";
  ASSERT_TRUE(std::filesystem::create_directory(logs));
  { std::ofstream(victim) << "precious\n"; }

  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    installCrashHandler(logs, "9.9");
    char c;
    if (::read(go[0], &c, 1) != 1) std::_Exit(3);
    std::raise(SIGSEGV);
    std::_Exit(0);
  }
  ::close(go[0]);

  // The child's main thread id is its pid; it crashes within the next few
  // seconds. Each name it could use gets a link to the victim, and its first
  // alternative a link too, so the report must go to the second one.
  std::vector<std::string> planted;
  const time_t now = ::time(nullptr);
  for (time_t t = now - 1; t <= now + 10; ++t) {
    struct tm local {};
    ::localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string id =
        std::string("ERRORLOG-V9.9-T") + stamp + "-P" + std::to_string(child) + "-T" + std::to_string(child);
    for (const std::string& name : {id + ".LOG", id + "-1.LOG"}) {
      ASSERT_EQ(::symlink(victim.c_str(), (logs + "/" + name).c_str()), 0);
      planted.push_back(name);
    }
  }
  ASSERT_EQ(::write(go[1], "x", 1), 1);
  ::close(go[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "the fault still ends the process";

  EXPECT_EQ(readAll(victim), "precious\n") << "the link's target was written to";
  int reports = 0;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) {
    const std::string name = entry.path().filename();
    if (entry.is_symlink()) continue;
    ++reports;
    EXPECT_EQ(name.substr(name.size() - 6), "-2.LOG") << name;
    EXPECT_NE(readAll(entry.path()).find("signal: 11"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(reports, 1) << "a report is still written, under a free name";
  for (const std::string& name : planted)
    EXPECT_TRUE(std::filesystem::is_symlink(logs + "/" + name)) << name << " was replaced";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vantor::platform
