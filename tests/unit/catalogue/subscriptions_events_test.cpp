#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "catalogue/events.h"
#include "catalogue/share_link.h"
#include "catalogue/subscription_refresh.h"
#include "catalogue/subscriptions.h"
#include "platform/files.h"

namespace vantor {
namespace {

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantor-cat-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string file(const char* name) const { return dir_ + "/" + name; }
  void write(const char* name, const std::string& text) const { std::ofstream(file(name)) << text; }
  std::string dir_;
};

std::string entry(int n, const std::string& url, const std::string& extra = {}) {
  std::string k = std::to_string(n);
  return "groupname" + k + "=g" + k + "\nurl" + k + "=" + url + "\nrecently_updated" + k + "=1700000000\n" + extra;
}

TEST(SubscriptionFile, HolesDuplicatesAndProxyRules) {
  auto list = parseSubscriptionFile("[basic]\n" + entry(1, "http://a/x") +
                                    entry(2, "HTTP://A/X") +  // the same URL in other letters
                                    entry(3, "http://b/", "p_server3=proxy\np_server_port3=0\nfrequency3=\n") +
                                    entry(5, "http://c/"));  // after the hole at 4
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].recently_updated, 1700000000);
  EXPECT_EQ(list[1].url, "http://b/");
  EXPECT_FALSE(list[1].hasFetchProxy());  // a port of 0 means no proxy
  EXPECT_EQ(list[1].p_server, "");
  EXPECT_EQ(list[1].frequency, 0);  // empty reads as 0
  // An entry lacking recently_updated ends the list too.
  EXPECT_EQ(parseSubscriptionFile("[basic]\ngroupname1=\nurl1=http://a/\n").size(), 0u);
  // An entry with an empty URL is skipped, not the end.
  EXPECT_EQ(parseSubscriptionFile("[basic]\n" + entry(1, "") + entry(2, "http://a/")).size(), 1u);
}

TEST_F(TempFolder, SubscriptionsRoundTripAndTheLastDeletionRemovesTheFile) {
  CSubscriptionMgr list;
  ASSERT_TRUE(list.loadSubscriptions(file("subs.ini"), nullptr));
  CNodeInfo proxy(3);
  proxy.type = kNodeShadowsocks;
  proxy.server = "p.example";
  proxy.server_port = 8388;
  proxy.password = "pa:ss=wo rd";
  proxy.method = "aes-256-cfb";
  proxy.obfsparam = "a:b";
  ASSERT_TRUE(list.addSubscription("http://s.example/sub", 2, "cdn.example", &proxy));
  EXPECT_FALSE(list.addSubscription("http://S.EXAMPLE/sub", 1, "", nullptr));
  ASSERT_TRUE(list.addSubscription("https://t.example/", 0, "", nullptr));
  std::string text;
  std::string error;
  ASSERT_TRUE(platform::readFile(file("subs.ini"), text, error));
  EXPECT_EQ(text.find("pa:ss"), std::string::npos);
  EXPECT_NE(text.find("p_password1=" + encodeBase64("pa:ss=wo rd")), std::string::npos);

  CSubscriptionMgr again;
  ASSERT_TRUE(again.loadSubscriptions(file("subs.ini"), nullptr));
  SSRSubscription s;
  ASSERT_TRUE(again.get("http://s.example/sub", s));
  EXPECT_EQ(s.p_password, "pa:ss=wo rd");
  EXPECT_EQ(s.p_obfsparam, "a:b");
  EXPECT_EQ(s.p_type, kNodeShadowsocks);
  EXPECT_EQ(s.frequency, 2);
  EXPECT_EQ(s.default_params_of_obfs, "cdn.example");
  ASSERT_TRUE(again.editSubscription("http://s.example/sub", 3, "", nullptr));
  ASSERT_TRUE(again.get("http://s.example/sub", s));
  EXPECT_FALSE(s.hasFetchProxy());
  EXPECT_FALSE(again.editSubscription("http://nowhere/", 1, "", nullptr));

  ASSERT_TRUE(again.deleteSubscription("HTTP://S.EXAMPLE/SUB"));
  EXPECT_TRUE(platform::fileExists(file("subs.ini")));
  ASSERT_TRUE(again.deleteSubscription("https://t.example/"));
  EXPECT_FALSE(platform::fileExists(file("subs.ini")));
}

TEST(SubscriptionBody, BothBase64FormsAndPlainLines) {
  const std::string ssr =
      "ssr://" + encodeBase64("10.0.0.1:443:auth_aes128_md5:aes-256-cfb:tls1.2_ticket_auth:" + encodeBase64("pw") +
                              "/?group=" + encodeBase64("Provider"));
  const std::string ss = "ss://" + encodeBase64("aes-128-gcm:secret") + "@10.0.0.2:8388#two";
  const std::string links = ss + "\r\n" + ssr + "\nvmess://not-ours\n\n";
  std::vector<NodeParams> nodes;
  std::string error;

  // Standard base64 wrapped at 76 characters, as many providers send it.
  std::string standard = encodeBase64(links);
  std::string wrapped;
  for (std::size_t i = 0; i < standard.size(); i += 76) wrapped += standard.substr(i, 76) + "\n";
  ASSERT_TRUE(parseSubscriptionBody(wrapped, nodes, error)) << error;
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].remarks, "two");
  EXPECT_EQ(nodes[1].group, "Provider");
  EXPECT_EQ(nodes[1].password, "pw");

  std::string urlSafe = standard;
  for (char& c : urlSafe) c = c == '+' ? '-' : c == '/' ? '_' : c;
  while (!urlSafe.empty() && urlSafe.back() == '=') urlSafe.pop_back();
  ASSERT_TRUE(parseSubscriptionBody(urlSafe, nodes, error)) << error;
  EXPECT_EQ(nodes.size(), 2u);
  ASSERT_TRUE(parseSubscriptionBody(links, nodes, error));
  EXPECT_EQ(nodes.size(), 2u);

  EXPECT_FALSE(parseSubscriptionBody(" \r\n", nodes, error));
  EXPECT_EQ(error, "the subscription is empty");
  EXPECT_FALSE(parseSubscriptionBody("<html>Not here</html>", nodes, error));
  EXPECT_EQ(error, "no ss:// or ssr:// links in the answer");
  EXPECT_TRUE(nodes.empty());
}

TEST(SubscriptionDue, FrequencyInDays) {
  SSRSubscription s;
  const int64_t day = 86400, now = 1'700'000'000;
  s.recently_updated = 0;
  EXPECT_TRUE(subscriptionDue(s, now));
  s.recently_updated = now - day + 10;
  EXPECT_FALSE(subscriptionDue(s, now));
  s.frequency = 0;
  EXPECT_TRUE(subscriptionDue(s, now));
  s.frequency = 3;
  s.recently_updated = now - 2 * day;
  EXPECT_FALSE(subscriptionDue(s, now));
  s.recently_updated = now - 3 * day;
  EXPECT_TRUE(subscriptionDue(s, now));
  s.frequency = 9;  // shown and treated as one day
  s.recently_updated = now - day;
  EXPECT_TRUE(subscriptionDue(s, now));
}

TEST(EventFile, HolesEmptyCodesAndCaseBlindDuplicates) {
  auto list = parseEventFile(
      "[basic]\neventtype1=0\nactiontype1=0\nparam1=Browser\n"
      "eventtype2=1\nactiontype2=\nparam2=x\n"         // empty action code: skipped
      "eventtype3=0\nactiontype3=0\nparam3=BROWSER\n"  // same record as 1
      "eventtype4=3\nactiontype4=1\nparam4=chat\n"
      "eventtype5=2\nactiontype5=1\n"  // no param5: the end
      "eventtype6=2\nactiontype6=1\nparam6=late\n");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].param, "Browser");
  EXPECT_EQ(list[1].eventType, 3);
  EXPECT_EQ(list[1].actionType, 1);
  EXPECT_EQ(parseEventFile(eventFileText(list)).size(), 2u);
}

TEST_F(TempFolder, EventsSaveAndTheLastRemovalRemovesTheFile) {
  CEventMgr events;
  EXPECT_EQ(events.loadEvents(dir_), 0);
  EXPECT_TRUE(events.addEvent(0, 0, "Browser"));
  EXPECT_FALSE(events.addEvent(0, 0, "browser"));
  EXPECT_TRUE(events.addEvent(0, 1, "browser"));
  ASSERT_TRUE(events.saveEvents());
  CEventMgr again;
  EXPECT_EQ(again.loadEvents(dir_), 2);
  EXPECT_TRUE(again.removeEvent(0, 0, "BROWSER"));
  EXPECT_FALSE(again.removeEvent(0, 0, "BROWSER"));
  ASSERT_TRUE(again.saveEvents());
  EXPECT_TRUE(platform::fileExists(file("event.ini")));
  EXPECT_TRUE(again.removeEvent(0, 1, "browser"));
  ASSERT_TRUE(again.saveEvents());
  EXPECT_FALSE(platform::fileExists(file("event.ini")));
  write("event.ini", "garbage\0\xff");
  EXPECT_EQ(again.loadEvents(dir_), 0);
}

TEST(Events, NotifyGoesThroughTheNotifierOnlyWhenTheProcessRuns) {
  struct Recorder : IEventNotifier {
    std::vector<std::string> messages;
    void showMessage(const std::string& m) override { messages.push_back(m); }
  } recorder;
  CEventMgr events;
  events.setNotifier(&recorder);
  events.addEvent(kAfterConnect, kNotifyProcess, "no-such-program-8f3e1");
  events.addEvent(kAfterConnect, 7, "catalogue_tests");  // unknown action: nothing
  EXPECT_EQ(events.runEvents(kAfterConnect), 2);
  EXPECT_EQ(events.runEvents(kBeforeConnect), 0);
  EXPECT_TRUE(recorder.messages.empty());

  // A child runs this test program; this process itself never counts.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  events.addEvent(kBeforeDisconnect, kNotifyProcess, "CATALOGUE_TESTS");
  EXPECT_EQ(events.runEvents(kBeforeDisconnect), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0], "Please close this process: CATALOGUE_TESTS");
}

}  // namespace
}  // namespace vantor
