#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "catalogue/ini_file.h"
#include "catalogue/node_file.h"
#include "catalogue/node_mgr.h"

namespace vantor {
namespace {

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

class ConfigFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantor-damage-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    takeConfigFileWarnings();
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
  }
  // The files of the folder whose names start with `prefix`.
  std::vector<std::string> named(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& name : listing())
      if (name.rfind(prefix, 0) == 0) out.push_back(name);
    return out;
  }
  std::vector<std::string> listing() const {
    std::vector<std::string> out;
    std::string text;
    FILE* ls = ::popen(("ls -A " + dir_).c_str(), "r");
    char line[512];
    while (std::fgets(line, sizeof line, ls)) {
      std::string name(line);
      if (!name.empty() && name.back() == '\n') name.pop_back();
      out.push_back(name);
    }
    ::pclose(ls);
    return out;
  }
  std::string dir_;
};

std::string utf16(const std::string& ascii, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    out += bigEndian ? '\0' : c;
    out += bigEndian ? c : '\0';
  }
  return out;
}

TEST(ConfigText, ByteOrderMarksAndUtf16AreRead) {
  std::vector<std::string> problems;
  const std::string text = "[basic]\r\ntesturl=http://a/\r\n";
  EXPECT_EQ(decodeConfigText(utf16(text, false), problems), text);
  EXPECT_EQ(decodeConfigText(utf16(text, true), problems), text);
  EXPECT_EQ(decodeConfigText("\xEF\xBB\xBF" + text, problems), text);
  EXPECT_TRUE(problems.empty()) << problems[0];
  // "é" and a character outside the basic plane, as UTF-16 LE.
  EXPECT_EQ(decodeConfigText(std::string("\xFF\xFE\xE9\x00\x3D\xD8\x00\xDE", 8), problems), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_TRUE(problems.empty());

  // A NUL is left out (the rest of the file is still read) and named by line.
  EXPECT_EQ(decodeConfigText(std::string("a=1\nb=2\0\0\nc=3\n", 14), problems), "a=1\nb=2\nc=3\n");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "line 2: NUL byte");
  problems.clear();
  decodeConfigText(utf16("a=1\n", false) + "x", problems);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "line 2: the file ends in half a character");

  EXPECT_EQ(joined(foreignIniLines("; note\n[basic]\n\nkey=v\n\x89PNG junk\r\n  # c\nmore")),
            "line 5: not a setting\nline 7: not a setting\n");
}

TEST_F(ConfigFiles, DamagedFileIsReportedAndKeptBeforeTheFirstWrite) {
  const std::string damaged = std::string("[basic]\nk=1\n\0\0garbage\n", 22);
  write("config.ini", damaged);
  std::string text, error;
  ASSERT_TRUE(readConfigFile(path("config.ini"), text, error)) << error;
  EXPECT_EQ(text, "[basic]\nk=1\ngarbage\n");
  std::string warnings = joined(takeConfigFileWarnings());
  EXPECT_NE(warnings.find(path("config.ini") + ": line 3: NUL byte"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find(path("config.ini") + ": line 3: not a setting"), std::string::npos) << warnings;

  ASSERT_TRUE(writeConfigFile(path("config.ini"), "[basic]\nk=2\n", 0600, error)) << error;
  EXPECT_EQ(read("config.ini"), "[basic]\nk=2\n");
  auto kept = named("config.ini.damaged-");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(read(kept[0]), damaged);
  EXPECT_NE(joined(takeConfigFileWarnings()).find("kept as " + kept[0]), std::string::npos);
  // Only the first write keeps a copy; a sound file keeps none.
  ASSERT_TRUE(writeConfigFile(path("config.ini"), "[basic]\nk=3\n", 0600, error));
  ASSERT_TRUE(readConfigFile(path("config.ini"), text, error));
  ASSERT_TRUE(writeConfigFile(path("config.ini"), "[basic]\nk=4\n", 0600, error));
  EXPECT_EQ(named("config.ini.damaged-").size(), 1u);
  EXPECT_TRUE(takeConfigFileWarnings().empty());
}

TEST_F(ConfigFiles, EmptyFilesAndLinksToNothingAreDamageToo) {
  write("event.ini", "");
  ASSERT_EQ(::symlink((dir_ + "/elsewhere/nodes.ini").c_str(), path("nodes.ini").c_str()), 0);
  std::string text, error;
  ASSERT_TRUE(readConfigFile(path("event.ini"), text, error));
  ASSERT_TRUE(readConfigFile(path("nodes.ini"), text, error));
  EXPECT_EQ(text, "");
  std::string warnings = joined(takeConfigFileWarnings());
  EXPECT_NE(warnings.find("event.ini: the file is empty"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("nodes.ini: a link to a missing file"), std::string::npos) << warnings;

  // The link itself is kept under the other name.
  ASSERT_TRUE(writeConfigFile(path("nodes.ini"), "[vantor]\n", 0600, error)) << error;
  auto kept = named("nodes.ini.damaged-");
  ASSERT_EQ(kept.size(), 1u);
  char target[512] = {};
  ASSERT_GT(::readlink(path(kept[0]).c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), dir_ + "/elsewhere/nodes.ini");
  EXPECT_EQ(read("nodes.ini"), "[vantor]\n");
}

TEST_F(ConfigFiles, UnreadableNodeSectionsAreReportedAndKept) {
  CNodeMgr store;
  write("nodes.ini",
        "[vantor]\nformat=1\nnextid=3\n[node0]\nid=0\nserver=a\nport=1\n"
        "[node1]\nid=1\nport=2\n[node2]\nid=2\nserver=c\nport=3\nsubscription=http://h/x\n");
  std::string error;
  ASSERT_TRUE(store.loadNodes(path("nodes.ini"), &error)) << error;
  EXPECT_EQ(store.count(), 2u);
  EXPECT_EQ(store.find(2)->subscription, "http://h/x");
  // Format 1 did not record origins: the node without a subscription is of
  // unknown origin, and stays so across a save.
  EXPECT_TRUE(store.find(0)->legacyOrigin);
  EXPECT_FALSE(store.find(2)->legacyOrigin);
  std::string warnings = joined(takeConfigFileWarnings());
  EXPECT_NE(warnings.find("nodes.ini: [node1]: no server; left out"), std::string::npos) << warnings;
  ASSERT_TRUE(store.saveNodes(path("nodes.ini"), &error)) << error;
  ASSERT_EQ(named("nodes.ini.damaged-").size(), 1u);
  EXPECT_NE(read(named("nodes.ini.damaged-")[0]).find("[node1]"), std::string::npos);
  // The subscription survives the round trip; nodes added by hand carry no key.
  std::string saved = read("nodes.ini");
  EXPECT_NE(saved.find("subscription=http://h/x"), std::string::npos);
  EXPECT_EQ(saved.find("subscription="), saved.rfind("subscription="));
  EXPECT_NE(saved.find("format=2"), std::string::npos);
  CNodeMgr again;
  ASSERT_TRUE(again.loadNodes(path("nodes.ini"), &error));
  EXPECT_TRUE(again.find(0)->legacyOrigin);
  EXPECT_FALSE(again.find(2)->legacyOrigin);
}

TEST_F(ConfigFiles, StaleTempFilesGoAtStart) {
  // A process that has ended: its leftovers are stale.
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  const std::string dead = "nodes.ini.tmp-" + std::to_string(child) + "-a1B2c3";
  const std::string mine = "config.ini.tmp-" + std::to_string(::getpid()) + "-Zz9yX8";
  const std::string parent = "config.ini.tmp-" + std::to_string(::getppid()) + "-Zz9yX8";
  for (const char* name : {"old.ini.tmp-q1w2e3", "new.ini.tmp-q1w2e3", "notes.tmp-keepme!", "nodes.ini"})
    write(name, "x");
  for (const std::string& name : {dead, mine, parent}) write(name, "x");
  struct utimbuf longAgo {
    1000, 1000
  };
  ::utime(path("old.ini.tmp-q1w2e3").c_str(), &longAgo);
  EXPECT_EQ(removeStaleConfigTempFiles(dir_), 2);
  auto left = listing();
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = {mine, parent, "new.ini.tmp-q1w2e3", "nodes.ini", "notes.tmp-keepme!"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

}  // namespace
}  // namespace vantor
