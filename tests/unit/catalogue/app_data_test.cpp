// Where the Windows build keeps its files: %APPDATA%\Vantor for the
// configuration (also under a profile whose name is not ASCII), and the
// settings saved there read back.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "catalogue/app_paths.h"
#include "platform/files.h"
#include "platform/process.h"

namespace vantor {
namespace {

TEST(AppData, ConfigurationLivesUnderAppDataEvenWithANonAsciiProfile) {
  namespace fs = std::filesystem;
  fs::path profile = fs::temp_directory_path() / ("vantor-appdata-" + std::to_string(platform::currentProcessId())) /
                     L"Zo\u00eb \u0410\u043f\u043f\u0414\u0430\u0442\u0430";
  fs::create_directories(profile);
  ASSERT_TRUE(SetEnvironmentVariableW(L"APPDATA", profile.wstring().c_str()));
  SetEnvironmentVariableW(L"VANTOR_CONFIG_DIR", nullptr);
  paths::setConfigRoot("");

  auto u8 = (profile / L"Vantor").u8string();
  const std::string expected(u8.begin(), u8.end());
  std::string root = paths::configRoot();
  for (auto& c : root)
    if (c == '/') c = '\\';
  EXPECT_EQ(root, expected);

  std::string error;
  ASSERT_TRUE(paths::ensureConfigFolders(error)) << error;
  EXPECT_TRUE(fs::is_directory(profile / L"Vantor" / L"config"));
  EXPECT_TRUE(fs::is_directory(profile / L"Vantor" / L"rules"));
  ASSERT_TRUE(platform::writeFileAtomic(paths::configFile("config.ini"), "[General]\r\n", 0600, error)) << error;
  EXPECT_TRUE(fs::exists(profile / L"Vantor" / L"config" / L"config.ini"));

  // VANTOR_CONFIG_DIR still wins over the profile.
  SetEnvironmentVariableW(L"VANTOR_CONFIG_DIR", L"D:\\elsewhere");
  EXPECT_EQ(paths::configRoot(), "D:\\elsewhere");
  SetEnvironmentVariableW(L"VANTOR_CONFIG_DIR", nullptr);
  fs::remove_all(profile.parent_path());
}

}  // namespace
}  // namespace vantor
