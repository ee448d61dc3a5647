// The Windows crash report: a fault in a child process leaves the error log
// and the minidump under their names, and a name already taken is left alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/crash.h"

namespace vantor::platform {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void crashWithReport(const std::string& folder) {
  installCrashHandler(folder, "9.9");
  *static_cast<volatile int*>(nullptr) = 1;
}

TEST(WindowsCrashReportDeathTest, AFaultLeavesTheLogAndAMinidump) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The death test's child runs this body again up to the crash: the folder
  // name must be the same in both processes.
  fs::path dir = fs::temp_directory_path() / "vantor-windows-crash-test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  EXPECT_DEATH(crashWithReport(dir.string()), "");

  std::vector<fs::path> logs, dumps;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("ERRORLOG-V9.9-T", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".LOG")
      logs.push_back(entry.path());
    if (name.rfind("Dump-V9.9-T", 0) == 0 && name.substr(name.size() - 4) == ".dmp") dumps.push_back(entry.path());
  }
  ASSERT_EQ(logs.size(), 1u);
  std::string report = readAll(logs[0]);
  EXPECT_NE(report.find("exception: 0xc0000005 access violation"), std::string::npos) << report;
  EXPECT_NE(report.find("backtrace:"), std::string::npos);
  ASSERT_EQ(dumps.size(), 1u);
  // A minidump starts with its signature "MDMP".
  EXPECT_EQ(readAll(dumps[0]).substr(0, 4), "MDMP");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vantor::platform
