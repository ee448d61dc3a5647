// The application shell's own pieces: the language list, the proxy script
// and its user rules, the single-instance lock and control endpoint, and
// the crash report.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/i18n.h"
#include "app/instance.h"
#include "app/pac.h"
#include "catalogue/text_encoding.h"
#include "platform/crash.h"
#include "platform/local_ipc.h"
#include "platform/thread.h"

namespace vantor::app {
namespace {

std::string tempDir() {
  char pattern[] = "/tmp/vantor-app-test-XXXXXX";
  return ::mkdtemp(pattern);
}

TEST(LanguageList, EntriesWithoutTheCommaAreSkippedAndReadingStopsAtTheFirstGap) {
  LanguageList list = parseLanguageList(
      "[basic]\nselected=2\nlang1=English,1033\nlang2=Broken\nlang3=简体中文, 2052\nlang5=Never,1041\n");
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].name, "English");
  EXPECT_EQ(list.entries[1].name, "简体中文");
  EXPECT_EQ(list.entries[1].localeId, 2052u);
  EXPECT_EQ(list.selected, 1);
  EXPECT_EQ(localeNameOf(2052), "zh_CN");

  LanguageList none = parseLanguageList("[basic]\nlang1=,1033\nlang2=Name,\n");
  ASSERT_EQ(none.entries.size(), 1u);
  EXPECT_EQ(none.entries[0].name, "Automatically assign lanaguage");
  EXPECT_EQ(none.entries[0].localeId, 0u);
  EXPECT_FALSE(readLanguageList("/nonexistent/language.ini").fileFound);
}

TEST(LanguageList, TheSelectedLanguageTranslatesThroughTheShippedCatalogue) {
  std::string dir = tempDir();
  { std::ofstream(dir + "/language.ini") << "[basic]\nselected=2\nlang1=English,1033\nlang2=简体中文,2052\n"; }
  initLanguage(VANTOR_TEST_LANG_DIR, dir + "/language.ini");
  EXPECT_STREQ(tr("Connected!"), "已连接！");
  EXPECT_STREQ(tr("A text without translation"), "A text without translation");
  ::unsetenv("LANGUAGE");
  std::setlocale(LC_ALL, "C");
  std::filesystem::remove_all(dir);
}

TEST(PacScript, UserRulesPassOnlyDomainsAndNetworks) {
  std::string js = userRulesScript(
      "# comment\n! also\nexample.com\n@@Direct.Example.org\n10.1.0.0/16\n@@1.2.3.4\n"
      "evil\"];alert(1);//\n../x\n300.1.1.1/8\n1.2.3.0/40\n");
  EXPECT_NE(js.find("{domain:\"example.com\",direct:false}"), std::string::npos);
  EXPECT_NE(js.find("{domain:\"direct.example.org\",direct:true}"), std::string::npos);
  EXPECT_NE(js.find("{first:167837696,last:167903231,direct:false}"), std::string::npos);
  EXPECT_NE(js.find("{first:16909060,last:16909060,direct:true}"), std::string::npos);
  EXPECT_EQ(js.find("alert"), std::string::npos);
  EXPECT_EQ(js.find("300"), std::string::npos);
  EXPECT_EQ(js.find("/40"), std::string::npos);

  // Overlapping and adjacent networks are merged into one range.
  std::string pac = buildPacText({{0x01000000, 24}, {0x01000100, 24}, {0x01000080, 25}});
  EXPECT_NE(pac.find("var DIRECT_RANGES = [16777216,16777727];"), std::string::npos);
}

TEST(PacScript, WrittenOnceThenTheUsersCopyIsKept) {
  std::string dir = tempDir();
  std::string pac = dir + "/pac.txt";
  std::string first = loadPacScript(pac, dir + "/userpac.txt", {{0x01000000, 8}});
  EXPECT_NE(first.find("var USER_RULES = [];"), std::string::npos);
  EXPECT_NE(first.find("16777216,33554431"), std::string::npos);
  { std::ofstream(pac) << "function FindProxyForURL(u, h) { return \"DIRECT\"; }\n"; }
  { std::ofstream(dir + "/userpac.txt") << "example.com\n"; }
  std::string second = loadPacScript(pac, dir + "/userpac.txt", {{0x01000000, 8}});
  EXPECT_NE(second.find("return \"DIRECT\""), std::string::npos) << "the user's pac.txt was overwritten";
  EXPECT_NE(second.find("example.com"), std::string::npos);
  // Both files as a Windows editor saves them: UTF-16 with a byte order mark.
  const TextFileFormat utf16{TextCharset::Utf16Le, true, true};
  {
    std::ofstream(pac, std::ios::binary) << encodeTextFile("function FindProxyForURL(u, h) { return \"PROXY\"; }\n",
                                                           utf16);
  }
  { std::ofstream(dir + "/userpac.txt", std::ios::binary) << encodeTextFile("# mine\nexample.org\n", utf16); }
  std::string third = loadPacScript(pac, dir + "/userpac.txt", {{0x01000000, 8}});
  EXPECT_NE(third.find("return \"PROXY\""), std::string::npos) << third;
  EXPECT_NE(third.find("example.org"), std::string::npos) << third;
  EXPECT_EQ(third.find('\0'), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(Instance, SecondHolderIsToldAndRequestsAreAnsweredOrRefused) {
  std::string dir = tempDir();
  CInstance first(dir);
  std::string error;
  ASSERT_EQ(first.acquire(error), CInstance::Start::First) << error;
  CInstance second(dir);
  EXPECT_EQ(second.acquire(error), CInstance::Start::AlreadyRunning);
  ASSERT_TRUE(first.serve(
      [](const std::string& verb, std::string& answer) {
        if (verb != "status") return false;
        answer = "state: idle\n";
        return true;
      },
      error))
      << error;
  EXPECT_EQ(std::filesystem::status(first.endpointPath()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  std::string answer;
  ASSERT_TRUE(sendControlRequest(dir, "status", answer));
  EXPECT_EQ(answer, "ok\nstate: idle\n");
  ASSERT_TRUE(sendControlRequest(dir, "rm -rf /", answer));
  EXPECT_EQ(answer, "error: unknown request\n");
  // A request without its line end, and one far too long: refused in time.
  platform::SocketHandle slow = platform::connectLocal(first.endpointPath());
  ASSERT_NE(slow, platform::kInvalidSocket);
  platform::sendBytes(slow, "stat", 4, false);
  char buffer[64] = {};
  long n = platform::recvBytes(slow, buffer, sizeof buffer - 1, false);
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "error: bad request\n");
  platform::closeSocket(slow);
  ASSERT_TRUE(sendControlRequest(dir, std::string(10000, 'x'), answer));
  EXPECT_EQ(answer, "error: bad request\n");
  ASSERT_TRUE(sendControlRequest(dir, "status", answer)) << "still answering";

  if (::geteuid() == 0) {
    // Another user's process, let through the file permissions on purpose:
    // the endpoint itself refuses it.
    std::filesystem::permissions(dir, std::filesystem::perms::all);
    std::filesystem::permissions(first.endpointPath(), std::filesystem::perms::all);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Straight to the socket: sendControlRequest() itself would not ask in
      // a folder that is open to others.
      std::string out = "no answer";
      if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
        platform::SocketHandle s = platform::connectLocal(first.endpointPath());
        char reply[128] = {};
        if (s != platform::kInvalidSocket) {
          platform::sendBytes(s, "disconnect\n", 11, false);  // the refusal may come first
          long received = platform::recvBytes(s, reply, sizeof reply - 1, false);
          if (received > 0) out.assign(reply, static_cast<std::size_t>(received));
        }
      }
      ssize_t ignored = ::write(pipeFds[1], out.data(), out.size());
      (void)ignored;
      std::_Exit(0);
    }
    ::close(pipeFds[1]);
    char childAnswer[128] = {};
    ssize_t got = ::read(pipeFds[0], childAnswer, sizeof childAnswer - 1);
    ::close(pipeFds[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(std::string(childAnswer, got > 0 ? got : 0), "error: refused\n");
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    ASSERT_TRUE(sendControlRequest(dir, "status", answer));
    EXPECT_EQ(answer, "ok\nstate: idle\n");
  }

  first.stop();
  EXPECT_EQ(second.acquire(error), CInstance::Start::First) << "the lock is free once the holder stops";
  std::filesystem::remove_all(dir);
}

TEST(Instance, ClientsThatNeverFinishTheirRequestDoNotTurnOthersAway) {
  std::string dir = tempDir();
  CInstance first(dir);
  std::string error;
  ASSERT_EQ(first.acquire(error), CInstance::Start::First) << error;
  ASSERT_TRUE(first.serve(
      [](const std::string& verb, std::string& answer) {
        answer = "state: " + verb + "\n";
        return true;
      },
      error))
      << error;
  // Eight, then far more than the endpoint reads at once: half a request
  // each, never finished. A request still gets its answer, in time.
  for (int crowd : {8, 4 * CInstance::kMaxClients}) {
    std::vector<platform::SocketHandle> halfSent;
    for (int i = 0; i < crowd; ++i) {
      platform::SocketHandle s = platform::connectLocal(first.endpointPath());
      ASSERT_NE(s, platform::kInvalidSocket);
      platform::sendBytes(s, "sta", 3, false);
      halfSent.push_back(s);
    }
    platform::sleepMs(100);  // all of them accepted before the real request
    auto started = std::chrono::steady_clock::now();
    std::string answer;
    EXPECT_TRUE(sendControlRequest(dir, "status", answer, 5000)) << crowd << " waiting clients";
    EXPECT_EQ(answer, "ok\nstate: status\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::milliseconds(CInstance::kRequestTimeoutMs + 1500));
    for (platform::SocketHandle s : halfSent) platform::closeSocket(s);
  }
  first.stop();
  std::filesystem::remove_all(dir);
}

TEST(CrashHandler, AFaultLeavesAReportWithABacktrace) {
  std::string dir = tempDir();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::installCrashHandler(dir, "6.0");
    std::raise(SIGSEGV);
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the fault must still end the process";
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  int reports = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename();
    ASSERT_EQ(name.rfind("ERRORLOG-V6.0-T", 0), 0u) << name;
    EXPECT_NE(name.find("-P" + std::to_string(child) + "-T"), std::string::npos) << name;
    std::ifstream in(entry.path());
    std::stringstream read;
    read << in.rdbuf();
    std::string text = read.str();
    EXPECT_NE(text.find("signal: 11"), std::string::npos);
    EXPECT_NE(text.find("backtrace:\n"), std::string::npos);
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 5) << text;
    ++reports;
  }
  EXPECT_EQ(reports, 1);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vantor::app
