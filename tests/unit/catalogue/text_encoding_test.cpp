#include "catalogue/text_encoding.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "catalogue/ini_file.h"
#include "catalogue/node_mgr.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

const TextFileFormat kWindowsIni{TextCharset::Utf16Le, true, true};

// Mixed scripts and a character outside the basic plane (a surrogate pair).
const std::string kValue = "Zürich 東京 \xF0\x9F\x98\x80 end";

struct TempDir {
  TempDir() {
    std::random_device rd;
    path = fs::temp_directory_path() / ("vantor-enc-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }
  fs::path path;
};

void writeBytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(TextEncoding, NonAsciiValueRoundTripsThroughUtf16LeWithCrlf) {
  const std::string text = "[basic]\nremarks=" + kValue + "\n";
  std::string bytes = encodeTextFile(text, kWindowsIni);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  // "[" as UTF-16 LE, then every line ends in CR LF as two code units.
  EXPECT_EQ(bytes.substr(2, 2), std::string("[\0", 2));
  EXPECT_NE(bytes.find(std::string("]\0\r\0\n\0", 6)), std::string::npos);
  // "東" (U+6771) and the emoji's surrogate pair D83D DE00, low byte first.
  EXPECT_NE(bytes.find("\x71\x67"), std::string::npos);
  EXPECT_NE(bytes.find("\x3D\xD8\x00\xDE"), std::string::npos);

  std::vector<std::string> problems;
  TextFileFormat found;
  std::string back = decodeTextFile(bytes, problems, &found);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(found, kWindowsIni);
  EXPECT_EQ(back, "[basic]\r\nremarks=" + kValue + "\r\n");
  EXPECT_EQ(withLfLineEnds(back), text);

  // Encoding text that already has CRLF does not double the CR.
  EXPECT_EQ(encodeTextFile("a\r\nb\nc", {TextCharset::Utf8, false, true}), "a\r\nb\r\nc");
  EXPECT_EQ(encodeTextFile(text, {}), text);
  EXPECT_EQ(encodeTextFile("x", {TextCharset::Utf8, true, false}), "\xEF\xBB\xBFx");

  // A byte-string value that is not UTF-8 cannot go into UTF-16 unchanged:
  // the file stays marked UTF-8 and every byte reads back.
  const std::string raw = "[basic]\npassword=\xE9\xFF\x80\n";
  std::string stored = encodeTextFile(raw, kWindowsIni);
  EXPECT_EQ(stored, "\xEF\xBB\xBF[basic]\r\npassword=\xE9\xFF\x80\r\n");
  EXPECT_EQ(withLfLineEnds(decodeTextFile(stored, problems)), raw);
  EXPECT_TRUE(problems.empty());
}

// A settings file and a node file as the Windows program writes them load
// on every build, values intact.
TEST(TextEncoding, WindowsWrittenFilesLoad) {
  TempDir dir;
  std::string ini = dir.file("config.ini");
  writeBytes(ini, encodeTextFile("[basic]\nstrLang=" + kValue + "\nbGlobalMode=1\n", kWindowsIni));
  IniDocument doc;
  std::string error;
  ASSERT_TRUE(doc.load(ini, error)) << error;
  EXPECT_EQ(doc.readString(kBasicSection, "strLang"), kValue);
  EXPECT_TRUE(doc.readBool(kBasicSection, "bGlobalMode", false));

  std::string nodes = dir.file("nodes.ini");
  writeBytes(nodes, encodeTextFile("[vantor]\nformat=2\nnextid=4\n[node3]\nid=3\ntype=5\nserver=10.0.0.1\n"
                                   "port=1080\nremarks=" +
                                       kValue + "\ngroup=grüppe\n",
                                   kWindowsIni));
  takeConfigFileWarnings();
  CNodeMgr store;
  ASSERT_TRUE(store.loadNodes(nodes));
  EXPECT_TRUE(takeConfigFileWarnings().empty());
  CNodeInfo* n = store.find(3);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->remarks, kValue);
  EXPECT_EQ(n->group, "grüppe");
  EXPECT_EQ(n->server_port, 1080);

  // What this build writes back is its own layout and reads back the same.
  ASSERT_TRUE(doc.save(ini, 0600, error)) << error;
  std::string written = readBytes(ini);
  std::vector<std::string> problems;
  TextFileFormat found;
  decodeTextFile(written, problems, &found);
  EXPECT_EQ(found.charset, iniFileFormat().charset);
  EXPECT_EQ(found.byteOrderMark, iniFileFormat().byteOrderMark);
  EXPECT_EQ(found.crlf, iniFileFormat().crlf);
#ifndef _WIN32
  EXPECT_EQ(written.find('\r'), std::string::npos);
  EXPECT_NE(written.find("strLang=" + kValue + "\n"), std::string::npos);
#else
  EXPECT_EQ(written.substr(0, 2), "\xFF\xFE");
#endif
  IniDocument again;
  ASSERT_TRUE(again.load(ini, error)) << error;
  EXPECT_EQ(again.readString(kBasicSection, "strLang"), kValue);
}

TEST(TextEncoding, RecognisesLayoutsWithoutByteOrderMark) {
  std::vector<std::string> problems;
  TextFileFormat found;
  // UTF-16 LE without a mark.
  std::string bare = utf16LeBytes(utf8ToUtf16("[basic]\r\nk=é\r\n"));
  EXPECT_EQ(decodeTextFile(bare, problems, &found), "[basic]\r\nk=é\r\n");
  EXPECT_EQ(found, (TextFileFormat{TextCharset::Utf16Le, false, true}));
  EXPECT_TRUE(problems.empty());
  // UTF-16 BE with its mark.
  std::string be = encodeTextFile("a=ü\n", {TextCharset::Utf16Be, true, false});
  EXPECT_EQ(be, std::string("\xFE\xFF\0a\0=\0\xFC\0\n", 10));
  EXPECT_EQ(decodeTextFile(be, problems, &found), "a=ü\n");
  EXPECT_EQ(found.charset, TextCharset::Utf16Be);
  // UTF-8 with stray NULs stays UTF-8: one NUL is not a UTF-16 pattern.
  EXPECT_EQ(decodeTextFile(std::string("ab=1\0\n", 6), problems, &found), "ab=1\n");
  EXPECT_EQ(found.charset, TextCharset::Utf8);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "line 1: NUL byte");
  problems.clear();
#ifndef _WIN32
  // Bytes that are not UTF-8 are kept as bytes here (texts may be byte strings).
  EXPECT_EQ(decodeTextFile("pw=\xE9\xFF\n", problems, &found), "pw=\xE9\xFF\n");
  EXPECT_TRUE(problems.empty());
#endif
}

TEST(TextEncoding, Utf8AndUtf16ConversionsRejectMalformedInput) {
  bool valid = false;
  EXPECT_EQ(utf8ToUtf16(kValue, &valid).size(), 16u);  // the emoji takes two units
  EXPECT_TRUE(valid);
  EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(kValue), &valid), kValue);
  EXPECT_TRUE(valid);
  // Overlong "/", an encoded surrogate, a cut-off sequence, a stray continuation.
  for (std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE6\x9D", "\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
    std::u16string wide = utf8ToUtf16("a" + bad + "b", &valid);
    EXPECT_FALSE(valid);
    EXPECT_EQ(wide.front(), u'a');
    EXPECT_EQ(wide.back(), u'b');
    EXPECT_NE(wide.find(u'\xFFFD'), std::u16string::npos);
  }
  // An unpaired surrogate in UTF-16 becomes U+FFFD.
  EXPECT_EQ(utf16ToUtf8(std::u16string{u'x', static_cast<char16_t>(0xD800), u'y'}, &valid), "x\xEF\xBF\xBDy");
  EXPECT_FALSE(valid);
  EXPECT_EQ(utf16FromLeBytes(utf16LeBytes(u"\u6771z") + "x"), u"\u6771z");
  EXPECT_EQ(withLfLineEnds("a\r\nb\rc\r\n"), "a\nb\rc\n");
}

}  // namespace
}  // namespace vantor
