// The systemd-resolved path against a stand-in on a private D-Bus: a
// dbus-daemon of the test's own and a small org.freedesktop.resolve1 service
// (sd-bus) that records every call. Checks what goes over the bus while DNS
// is configured and what undoing it sends back.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <utility>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netconf/host_setup.h"
#include "platform/dns_config.h"
#include "platform/net.h"

namespace vantor {
namespace {

struct Calls {
  std::mutex lock;
  std::vector<std::string> list;
  void add(std::string text) {
    std::lock_guard<std::mutex> guard(lock);
    list.push_back(std::move(text));
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> guard(lock);
    return std::exchange(list, {});
  }
};
Calls calls;

std::string readServers(sd_bus_message* m) {
  std::string text;
  if (sd_bus_message_enter_container(m, 'a', "(iay)") < 0) return "?";
  while (sd_bus_message_enter_container(m, 'r', "iay") > 0) {
    int family = 0;
    const void* bytes = nullptr;
    size_t length = 0;
    sd_bus_message_read(m, "i", &family);
    sd_bus_message_read_array(m, 'y', &bytes, &length);
    uint32_t a = 0;
    if (family == AF_INET && length == 4) std::memcpy(&a, bytes, 4);
    text += (text.empty() ? "" : ",") + platform::formatIpv4(a);
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  return text;
}

int setLinkDns(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0;
  sd_bus_message_read(m, "i", &index);
  calls.add("SetLinkDNS " + std::to_string(index) + " " + readServers(m));
  return sd_bus_reply_method_return(m, "");
}

int setLinkDomains(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0;
  sd_bus_message_read(m, "i", &index);
  std::string text = "SetLinkDomains " + std::to_string(index);
  sd_bus_message_enter_container(m, 'a', "(sb)");
  const char* domain = nullptr;
  int routing = 0;
  while (sd_bus_message_read(m, "(sb)", &domain, &routing) > 0)
    text += std::string(" ") + domain + (routing ? ":route" : "");
  calls.add(text);
  return sd_bus_reply_method_return(m, "");
}

int setLinkDefaultRoute(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0, on = 0;
  sd_bus_message_read(m, "ib", &index, &on);
  calls.add("SetLinkDefaultRoute " + std::to_string(index) + " " + std::to_string(on));
  return sd_bus_reply_method_return(m, "");
}

int revertLink(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0;
  sd_bus_message_read(m, "i", &index);
  calls.add("RevertLink " + std::to_string(index));
  return sd_bus_reply_method_return(m, "");
}

int flushCaches(sd_bus_message* m, void*, sd_bus_error*) {
  calls.add("FlushCaches");
  return sd_bus_reply_method_return(m, "");
}

int getLink(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0;
  sd_bus_message_read(m, "i", &index);
  return sd_bus_reply_method_return(m, "o", "/org/freedesktop/resolve1/link/_31");
}

// The local link's DNS servers before we touch them.
int linkDns(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  uint32_t a = 0;
  platform::parseIpv4("192.0.2.53", a);
  sd_bus_message_open_container(reply, 'a', "(iay)");
  sd_bus_message_open_container(reply, 'r', "iay");
  sd_bus_message_append(reply, "i", AF_INET);
  sd_bus_message_append_array(reply, 'y', &a, 4);
  sd_bus_message_close_container(reply);
  return sd_bus_message_close_container(reply);
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetLinkDNS", "ia(iay)", "", setLinkDns, 0),
    SD_BUS_METHOD("SetLinkDomains", "ia(sb)", "", setLinkDomains, 0),
    SD_BUS_METHOD("SetLinkDefaultRoute", "ib", "", setLinkDefaultRoute, 0),
    SD_BUS_METHOD("RevertLink", "i", "", revertLink, 0),
    SD_BUS_METHOD("FlushCaches", "", "", flushCaches, 0),
    SD_BUS_METHOD("GetLink", "i", "o", getLink, 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kLink[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("DNS", "a(iay)", linkDns, 0, 0),
    SD_BUS_VTABLE_END,
};

class ResolvedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "needs dbus-daemon";
    char dir[] = "/tmp/vantor-bus-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::ofstream(dir_ + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << dir_ << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
        << "<allow send_destination=\"*\"/><allow own=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    daemon_ = fork();
    if (daemon_ == 0) {
      dup2(out[1], 1);
      execl("/usr/bin/dbus-daemon", "dbus-daemon", ("--config-file=" + dir_ + "/bus.conf").c_str(), "--nofork",
            "--print-address=1", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char line[512] = {};
    ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    ASSERT_GT(n, 0);
    address_ = std::string(line, static_cast<std::size_t>(n));
    address_ = address_.substr(0, address_.find('\n'));
    setenv("VANTOR_RESOLVED_BUS", address_.c_str(), 1);
    setenv("VANTOR_RUNTIME_DIR", dir_.c_str(), 1);
    calls.take();
  }

  void startService() {
    std::atomic<bool> ready{false};
    service_ = std::thread([this, &ready] {
      sd_bus* bus = nullptr;
      sd_bus_new(&bus);
      sd_bus_set_address(bus, address_.c_str());
      sd_bus_set_bus_client(bus, 1);
      sd_bus_start(bus);
      sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/resolve1", "org.freedesktop.resolve1.Manager", kManager,
                               nullptr);
      sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/resolve1/link/_31", "org.freedesktop.resolve1.Link",
                               kLink, nullptr);
      sd_bus_request_name(bus, "org.freedesktop.resolve1", 0);
      ready = true;
      while (!stop_) {
        int r = sd_bus_process(bus, nullptr);
        if (r == 0) sd_bus_wait(bus, 50 * 1000);
      }
      sd_bus_flush_close_unref(bus);
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  void TearDown() override {
    stop_ = true;
    if (service_.joinable()) service_.join();
    if (daemon_ > 0) {
      kill(daemon_, SIGTERM);
      waitpid(daemon_, nullptr, 0);
    }
    unsetenv("VANTOR_RESOLVED_BUS");
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }

  std::string dir_, address_;
  pid_t daemon_ = -1;
  std::thread service_;
  std::atomic<bool> stop_{false};
};

TEST_F(ResolvedTest, DnsGoesToTheTunLinkAndUndoRestoresTheLocalLink) {
  EXPECT_FALSE(platform::resolvedRunning());  // nobody owns the name yet
  startService();
  ASSERT_TRUE(platform::resolvedRunning());

  uint32_t a = 0, b = 0;
  platform::parseIpv4("8.8.8.8", a);
  platform::parseIpv4("8.8.4.4", b);
  HostChangeRecord record;
  HostSetup host(record);
  std::string error;
  // Link 1 (lo) stands for both links: it exists in every namespace.
  ASSERT_TRUE(host.configureDns(1, 1, {a, b}, true, error)) << error;
  EXPECT_EQ(calls.take(), (std::vector<std::string>{"SetLinkDNS 1 8.8.8.8,8.8.4.4", "SetLinkDomains 1 ~.:route",
                                                    "SetLinkDefaultRoute 1 1", "SetLinkDNS 1 8.8.8.8,8.8.4.4"}));
  std::vector<uint32_t> servers;
  ASSERT_TRUE(platform::resolvedLinkDns(1, servers, error)) << error;
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(platform::formatIpv4(servers[0]), "192.0.2.53");

  // Undo, newest first: the local link gets its servers back, the TUN link
  // is reverted, and the cache is flushed.
  std::vector<std::string> report;
  EXPECT_TRUE(host.undo(report));
  EXPECT_EQ(calls.take(), (std::vector<std::string>{"SetLinkDNS 1 192.0.2.53", "RevertLink 1", "FlushCaches"}));
  EXPECT_TRUE(record.empty());
}

TEST_F(ResolvedTest, FailuresAreReportedNotThrown) {
  // No service on the bus: every call fails with a message.
  std::string error;
  EXPECT_FALSE(platform::resolvedSetLinkDns(1, {}, error));
  EXPECT_NE(error.find("resolved"), std::string::npos) << error;
  setenv("VANTOR_RESOLVED_BUS", "unix:path=/nonexistent/bus", 1);
  EXPECT_FALSE(platform::resolvedRunning());
  EXPECT_FALSE(platform::resolvedFlushCaches(error));
}

}  // namespace
}  // namespace vantor
