// Saved files: names outside ASCII, replacing a file whole, leftovers of an
// interrupted save, and environment values as UTF-8.
#include "platform/files.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

#include <filesystem>
#include <string>

#include "platform/process.h"

namespace vantor::platform {
namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& p) {
  auto s = p.u8string();
  return std::string(s.begin(), s.end());
}

// A fresh folder whose own name is not ASCII, removed afterwards.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("vantor-files-" + std::to_string(currentProcessId()));
    fs::remove_all(base_);
    dir_ = utf8(base_) + "/Zoë-目录-Ünïcode";
    std::string error;
    ASSERT_TRUE(makeDirectories(dir_ + "/inner", 0700, error)) << error;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(fs::u8path(dir_))) out.push_back(utf8(entry.path().filename()));
    return out;
  }
  fs::path base_;
  std::string dir_;
};

TEST_F(FilesTest, NonAsciiNamesRoundTripThroughSaveAndRead) {
  const std::string path = dir_ + "/节点-файл.ini";
  const std::string content = std::string("[Node]\r\nname=Zoë\0binary\xff", 25) + std::string(200000, 'x');
  std::string error;
  ASSERT_TRUE(writeFileAtomic(path, content, 0600, error)) << error;
  EXPECT_TRUE(fileExists(path));
  EXPECT_TRUE(nameTaken(path));
  EXPECT_FALSE(isDirectory(path));
  EXPECT_TRUE(isDirectory(dir_ + "/inner"));
  std::string back;
  ASSERT_TRUE(readFile(path, back, error)) << error;
  EXPECT_EQ(back, content);
  // The name on disk is the same text, not its bytes in some code page.
  EXPECT_TRUE(fs::exists(fs::u8path(path)));

  // A size limit below the file's size is refused.
  EXPECT_FALSE(readFile(path, back, error, 1000));
  EXPECT_NE(error.find("larger"), std::string::npos) << error;
}

TEST_F(FilesTest, ReplacingLeavesOnlyTheNewContentAndNoTemporaryFile) {
  const std::string path = dir_ + "/config.ini";
  std::string error;
  ASSERT_TRUE(writeFileAtomic(path, "old content that is longer", 0600, error)) << error;
  ASSERT_TRUE(writeFileAtomic(path, "new", 0600, error)) << error;
  std::string back;
  ASSERT_TRUE(readFile(path, back, error)) << error;
  EXPECT_EQ(back, "new");
  for (const auto& name : names()) EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;

  // A save into a folder that does not exist fails and says so.
  EXPECT_FALSE(writeFileAtomic(dir_ + "/missing/config.ini", "x", 0600, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(readFile(dir_ + "/missing.ini", back, error));
  EXPECT_TRUE(removeFile(dir_ + "/missing.ini"));  // nothing to remove is fine
  EXPECT_TRUE(removeFile(path));
  EXPECT_FALSE(fileExists(path));
}

TEST_F(FilesTest, StaleTemporaryFilesOfEndedWritersAreRemovedOthersKept) {
  std::string error;
  // No process has this id on either system (Linux ids stay below 2^22,
  // Windows ids are multiples of four).
  const std::string dead = dir_ + "/nodes.ini.tmp-999999998-aB3dE6";
  const std::string mine = dir_ + "/nodes.ini.tmp-" + std::to_string(currentProcessId()) + "-aB3dE6";
  const std::string unrelated = dir_ + "/notes.tmp-file";
  for (const auto& p : {dead, mine, unrelated}) ASSERT_TRUE(writeFileAtomic(p, "partial", 0600, error)) << error;
  auto removed = removeStaleTempFiles(dir_);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0], "nodes.ini.tmp-999999998-aB3dE6");
  EXPECT_FALSE(fileExists(dead));
  EXPECT_TRUE(fileExists(mine));
  EXPECT_TRUE(fileExists(unrelated));
}

TEST_F(FilesTest, KeptCopyHasTheContentAndAnExistingNameIsRefused) {
  const std::string path = dir_ + "/nodes.ini";
  const std::string alias = dir_ + "/nodes.ini.bak-ö";
  std::string error, back;
  ASSERT_TRUE(writeFileAtomic(path, "nodes", 0600, error)) << error;
  ASSERT_TRUE(keepCopy(path, alias, error)) << error;
  ASSERT_TRUE(readFile(alias, back, error)) << error;
  EXPECT_EQ(back, "nodes");
  EXPECT_FALSE(keepCopy(path, alias, error));
  // Replacing the original leaves the kept copy as it was.
  ASSERT_TRUE(writeFileAtomic(path, "changed", 0600, error)) << error;
  ASSERT_TRUE(readFile(alias, back, error)) << error;
  EXPECT_EQ(back, "nodes");
}

TEST_F(FilesTest, PrivateFolderIsCreatedAndAcceptedForThisUser) {
  std::string error;
  const std::string folder = dir_ + "/run-é/vantor";
  ASSERT_TRUE(ensurePrivateFolder(folder, "runtime folder", error)) << error;
  EXPECT_TRUE(checkPrivateFolder(folder, "runtime folder", error)) << error;
  EXPECT_FALSE(checkPrivateFolder(dir_ + "/absent", "runtime folder", error));
  EXPECT_NE(error.find("the runtime folder"), std::string::npos) << error;
  const std::string file = dir_ + "/plain";
  ASSERT_TRUE(writeFileAtomic(file, "x", 0600, error)) << error;
  EXPECT_FALSE(checkPrivateFolder(file, "runtime folder", error));
  EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
}

TEST(Environment, ValuesOutsideAsciiComeBackAsUtf8) {
  const std::string value = "C:/Users/Zoë/АппДата/目录";
#ifdef _WIN32
  // The wide form, as Windows keeps a profile path with such a name.
  ASSERT_TRUE(SetEnvironmentVariableW(L"VANTOR_TEST_VALUE",
                                      L"C:/Users/Zo\u00eb/\u0410\u043f\u043f\u0414\u0430\u0442\u0430/\u76ee\u5f55"));
#else
  ASSERT_EQ(::setenv("VANTOR_TEST_VALUE", value.c_str(), 1), 0);
#endif
  EXPECT_EQ(environmentValue("VANTOR_TEST_VALUE"), value);
  EXPECT_EQ(environmentValue("VANTOR_TEST_UNSET_VALUE"), "");
  EXPECT_TRUE(isDirectory(executableDir())) << executableDir();
}

}  // namespace
}  // namespace vantor::platform
