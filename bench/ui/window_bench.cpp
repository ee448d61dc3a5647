// The main window with a large catalogue: the time from the start of the
// program to a shown main window with every node in its list (node file
// read, rule files scanned, window built, list filled, first paint), the
// memory the window adds, and the time one refresh of the list and one
// scroll through it take; each time also as the GUI thread's CPU time, which
// a busy machine does not inflate. One result line:
//
//   ui_window nodes=N listed=N shown_ms=... shown_cpu_ms=... refresh_ms=... refresh_cpu_ms=...
//             scroll_ms=... rss_mb=... window_mb=...
//
// Runs on Qt's offscreen platform unless a display is set. The nodes sit on
// loopback addresses and the country look-up on a closed loopback port, so
// the background probes send nothing off this machine.
#include <QApplication>
#include <QScrollBar>
#include <QTreeView>
#include <QtTest>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/controller.h"
#include "app/startup.h"
#include "catalogue/app_paths.h"
#include "catalogue/node_mgr.h"
#include "catalogue/settings.h"
#include "ui/main_window.h"
#include "ui/node_list_model.h"

using namespace vantor;
using Clock = std::chrono::steady_clock;

namespace {

double cpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

double rssMb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      double kb = 0;
      status >> kb;
      return kb / 1024.0;
    }
    status.ignore(1 << 20, '\n');
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QTemporaryDir home;
  paths::setConfigRoot(home.path().toStdString());
  std::string error;
  paths::ensureConfigFolders(error);

  // The stored catalogue (not timed): nodes in 20 groups on loopback.
  loadSettings();
  settings().GeoServices = "http://127.0.0.1:1,,,";
  saveSettings();
  {
    CNodeMgr& store = CNodeMgr::instance();
    for (int i = 0; i < count; ++i) {
      NodeParams p;
      p.type = i % 3 == 0 ? kNodeSocks5 : kNodeShadowsocks;
      p.server = "127." + std::to_string(1 + i / 65536 % 250) + "." + std::to_string(i / 256 % 256) + "." +
                 std::to_string(i % 256);
      p.server_port = static_cast<uint16_t>(1000 + i % 60000);
      p.password = "pw";
      p.method = "aes-256-gcm";
      p.remarks = "Node " + std::to_string(i);
      p.group = "Group " + std::to_string(i % 20);
      store.add(p);
    }
    store.saveNodes();
    for (CNodeInfo* node : store.nodes()) store.remove(node->id);
  }
  std::fprintf(stderr, "catalogue of %d nodes written\n", count);

  // Start-up as the program does it, up to the shown window.
  Clock::time_point t0 = Clock::now();
  double cpu0 = cpuMs();
  QApplication qt(argc, argv);
  double before = rssMb();
  CNodeMgr::instance().loadNodes();
  app::CVexorApp core;
  core.openConnection();
  auto* window = new ui::DialogKovalBase(core);
  window->show();
  window->refreshList(-1);
  if (!QTest::qWaitForWindowExposed(window, 10000)) std::fprintf(stderr, "window not exposed\n");
  QApplication::processEvents();
  window->grab();  // the first paint
  Clock::time_point shown = Clock::now();
  double shownCpu = cpuMs() - cpu0;
  double after = rssMb();
  int items = window->nodeModel()->nodeCount();

  // One refresh (the list rebuilt and painted), best of five.
  double refresh = 1e9, refreshCpu = 1e9;
  for (int round = 0; round < 5; ++round) {
    Clock::time_point a = Clock::now();
    double c = cpuMs();
    window->refreshList(-1);
    window->nodeList()->viewport()->grab();
    refresh = std::min(refresh, ms(a, Clock::now()));
    refreshCpu = std::min(refreshCpu, cpuMs() - c);
  }
  // A scroll to the end and back, each painted.
  QScrollBar* bar = window->nodeList()->verticalScrollBar();
  Clock::time_point a = Clock::now();
  bar->setValue(bar->maximum());
  window->nodeList()->viewport()->grab();
  bar->setValue(0);
  window->nodeList()->viewport()->grab();
  double scroll = ms(a, Clock::now()) / 2;

  std::printf(
      "ui_window nodes=%d listed=%d shown_ms=%.0f shown_cpu_ms=%.0f refresh_ms=%.1f refresh_cpu_ms=%.1f "
      "scroll_ms=%.1f rss_mb=%.1f window_mb=%.1f\n",
      count, items, ms(t0, shown), shownCpu, refresh, refreshCpu, scroll, after, after - before);
  std::fflush(stdout);
  delete window;
  CNodeMgr::instance().waitForProbes(2000);
  return items == count ? 0 : 1;
}
