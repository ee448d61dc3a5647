// The main window, the traffic window and the dialogs on Qt's offscreen
// platform, over the real node store and a scripted controller backend:
// entry states, what group headers do, deleting, the tray notice, the
// traffic values, the tray tooltip, the dialogs' checks in their order, what
// the settings dialog keeps, the tab order and the placement of windows on
// a 1280x800 screen; the clipboard import, the node link's QR code (read
// back with zbarimg), the tray menu's connect entry and submenus, the marked
// connected node and the latency column.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/controller.h"
#include "app/startup.h"
#include "catalogue/app_paths.h"
#include "catalogue/events.h"
#include "catalogue/node_mgr.h"
#include "catalogue/settings.h"
#include "catalogue/subscriptions.h"
#include "netconf/additional_routes.h"
#include "netconf/proxy_modes.h"
#include "ui/main_window.h"
#include "ui/manage_dialogs.h"
#include "ui/node_dialogs.h"
#include "ui/node_link_dialog.h"
#include "ui/node_list_model.h"
#include "ui/settings_dialog.h"
#include "ui/test_window.h"
#include "ui/traffic_window.h"
#include "ui/ui_common.h"

using namespace vantor;
using namespace vantor::ui;

namespace {

// Every step succeeds at once; the TUN address is there on the first look.
class QuickBackend : public app::IConnectionBackend {
 public:
  app::ControllerSettings settings() override {
    app::ControllerSettings s;
    s.AutomaticHideWindow = false;
    return s;
  }
  void applyDnsChoice() override {}
  void setTapAdapterConfigured() override {}
  void setLastUsedNodeId(int32_t) override {}
  void saveSettings() override {}
  CNodeInfo* findNode(int32_t id) override { return CNodeMgr::instance().find(id); }
  CNodeInfo* selectedNode() override { return CNodeMgr::instance().selectedNode(); }
  void selectNode(int32_t id) override { CNodeMgr::instance().select(id); }
  int modeCount() override { return static_cast<int>(CProxyModeMgr::instance().modes().size()); }
  bool setCurrentMode(int index) override { return CProxyModeMgr::instance().setCurrentMode(index); }
  bool currentMode(app::ModeInfo& info) override {
    const ProxyMode& mode = CProxyModeMgr::instance().currentMode();
    info.index = CProxyModeMgr::instance().currentIndex();
    info.name = mode.name;
    info.kind = mode.kind;
    info.routeAll = mode.routeAll;
    return true;
  }
  int loadNetworks() override { return 0; }
  void saveSubscriptions() override {}
  void runEvents(int) override {}
  bool setCurrentNode(NodeRef) override { return true; }
  void enableRelay() override {}
  void disableRelay() override {}
  uint16_t servicePort() override { return 16666; }
  void stopService() override {}
  void clearHostCache() override {}
  void renewClientIdentity() override {}
  bool startTunnel(const std::string&, uint16_t, bool) override { return true; }
  void stopTunnel() override {}
  bool testNode(const NodeRef&, bool udp) override { return !udp || udpWorks; }
  bool exitAddress(const NodeRef&, const std::string&, std::string&) override { return false; }
  std::vector<std::string> exitAddressServices() override { return {}; }
  bool resolve(const std::string& host, std::string& address) override {
    address = host;
    return true;
  }
  bool isLocalAddress(const std::string&) override { return false; }
  bool detectConnections(app::NetworkFacts& f) override {
    f = facts();
    return true;
  }
  bool currentAddress(const app::NetworkFacts&, std::string& address) override {
    address = "10.198.75.60";
    return true;
  }
  bool interfaceDown(int32_t) override { return false; }
  void tapStaticAddress(const app::NetworkFacts&) override {}
  void setTapDns(const app::NetworkFacts&, const std::string&, const std::string&) override {}
  void setTapMetric(const app::NetworkFacts&, int) override {}
  void tapReset(const app::NetworkFacts&) override {}
  void replaceDns(const std::string&, const std::string&, const std::string&) override {}
  void flushResolverCache() override {}
  bool setRoutePaths(const app::NetworkFacts&) override { return true; }
  void installRoutes(const NodeRef&, const std::string&, const std::string&, bool) override {}
  void removeAllRoutes() override {}
  bool installDriver() override { return true; }
  bool removeDriver(bool) override { return true; }
  bool httpProxyStarted() override { return true; }
  bool changeSystemProxy(int) override { return true; }
  bool removeSystemProxy() override { return true; }
  void sleepMs(int) override {}
  int64_t nowMs() override { return ++clock * 2000; }

  static app::NetworkFacts facts() {
    app::NetworkFacts f;
    f.tap_connection_name = f.tap_connection_guid = "KOVAL1";
    f.tap_connection_index = 9;
    f.tapCount = 1;
    f.local_connection_name = "eth0";
    f.local_connection_shortest_r_nexthop = "10.0.0.1";
    f.local_connection_shortest_r_ifindex = 2;
    return f;
  }

  std::atomic<bool> udpWorks{true};
  std::atomic<int64_t> clock{0};
};

NodeParams socksNode(const char* server, uint16_t port, const char* group) {
  NodeParams p;
  p.type = kNodeSocks5;
  p.server = server;
  p.server_port = port;
  p.group = group;
  return p;
}

// A Shadowsocks link whose node runs obfs-local in front of the server.
const char* kPluginLink =
    "ss://YWVzLTEyOC1nY206cHc@192.0.2.21:8000/?plugin=obfs-local%3Bobfs%3Dhttp%3Bobfs-host%3Dcdn.example.com#Two";

// What zbarimg reads from a picture; empty when it finds no code.
QString decodeQr(const QString& png) {
  QProcess zbar;
  zbar.start(QStandardPaths::findExecutable("zbarimg"), {"--raw", "-q", png});
  if (!zbar.waitForFinished(20000)) return "(zbarimg hangs)";
  return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
}

// With VANTOR_UI_SHOTS set to a folder, the windows the tests draw are kept
// there as PNG files, to be looked at.
void keepShot(QWidget* widget, const char* name) {
  QString folder = qEnvironmentVariable("VANTOR_UI_SHOTS");
  if (folder.isEmpty()) return;
  QApplication::processEvents();
  widget->grab().save(folder + "/" + name + ".png");
}

// Whatever modal dialog opens while `action` runs is recorded and closed.
QString modalDuring(const std::function<void()>& action) {
  QString seen;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      seen = modal->windowTitle();
      if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
      else
        modal->close();
    }
  });
  watch.start(20);
  action();
  QApplication::processEvents();
  return seen;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QStringList messages_;
  QuickBackend backend_;
  std::unique_ptr<app::CVexorApp> core_;
  std::unique_ptr<DialogKovalBase> window_;
  bool trayHere_ = true;

  void clearStore() {
    CNodeMgr& store = CNodeMgr::instance();
    for (CNodeInfo* node : store.nodes()) store.remove(node->id);
    store.validateSelection();
  }

  void freshWindow() {
    window_.reset();
    core_ = std::make_unique<app::CVexorApp>();
    core_->openConnection(backend_);
    core_->controller().setNetworkFacts(QuickBackend::facts());
    window_ = std::make_unique<DialogKovalBase>(*core_, [this] { return trayHere_; });
    window_->setProbing(false);  // no echo or country look-up from a unit test
    window_->show();
  }

  QAction* entry(QMenu* menu, const char* key) {
    for (QAction* a : menu->actions())
      if (a->text() == T(key)) return a;
    return nullptr;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    // OK in the settings dialog writes the autostart entry: into our folder.
    qputenv("XDG_CONFIG_HOME", dir_.filePath("xdg").toUtf8());
    paths::setConfigRoot(dir_.path().toStdString());
    std::string error;
    QVERIFY(paths::ensureConfigFolders(error));
    loadSettings();
    setMessageSink([this](QWidget*, const QString& text) { messages_ << text; });
    freshWindow();
  }

  void init() {
    messages_.clear();
    clearStore();
    trayHere_ = true;
  }

  void cleanupTestCase() {
    window_.reset();
    core_.reset();
  }

  void entryStatesFollowTheListAndTheConnection() {
    freshWindow();
    CNodeMgr::instance().add(socksNode("192.0.2.1", 1080, ""));
    QMenu* popup = window_->popupMenu();
    QMenu* tray = window_->trayMenu();
    // Before the list is loaded: no settings, no routes, no exit.
    QVERIFY(!entry(popup, "Settings...")->isEnabled());
    QVERIFY(!entry(popup, "Additional route management...")->isEnabled());
    QVERIFY(!entry(popup, "Exit")->isEnabled());
    QVERIFY(!entry(tray, "Settings...")->isEnabled());
    QVERIFY(!entry(tray, "Exit")->isEnabled());
    QVERIFY(entry(popup, "Events management...")->isEnabled());
    QVERIFY(entry(popup, "Show logs...")->isEnabled());
    QVERIFY(entry(tray, "Show main window...")->isEnabled());
    window_->loadNodeList();
    QVERIFY(window_->listLoaded());
    QVERIFY(entry(popup, "Settings...")->isEnabled());
    QVERIFY(entry(popup, "Exit")->isEnabled());

    for (int state : {app::kConnecting, app::kConnected}) {
      window_->onStateChanged(state);
      QVERIFY(!entry(popup, "Settings...")->isEnabled());
      QVERIFY(!entry(tray, "Settings...")->isEnabled());
      QVERIFY(!entry(popup, "Additional route management...")->isEnabled());
      QVERIFY(entry(popup, "Events management...")->isEnabled());
      QVERIFY(entry(tray, "Events management...")->isEnabled());
      QVERIFY(entry(popup, "Exit")->isEnabled());
      // The command itself refuses too (a stale menu or a shortcut).
      QCOMPARE(modalDuring([&] { window_->openSettings(); }), QString());
    }
    window_->onStateChanged(app::kDisconnecting);
    QVERIFY(entry(popup, "Settings...")->isEnabled());
    window_->onStateChanged(app::kIdle);
    QVERIFY(entry(tray, "Settings...")->isEnabled());
    // Menu texts in their order.
    QStringList texts;
    for (QAction* a : window_->addMenu()->actions())
      if (!a->isSeparator()) texts << a->text();
    QCOMPARE(texts.mid(0, 3), QStringList({T("Add SOCKS Proxy..."), T("Add SS/SSR proxy..."),
                                           T("Batch Add SS/SSR proxy from link...")}));
    QStringList tips;
    for (QToolButton* b : window_->actionButtons()) tips << b->toolTip();
    QCOMPARE(tips, QStringList({"Add new proxy", "Delete current proxy", "Edit current proxy", "Test current proxy",
                                "Popup menu", "Exit program"}));
  }

  void groupHeadersDoNothingForTestEditDelete() {
    CNodeMgr::instance().add(socksNode("192.0.2.1", 1080, "Left"));
    CNodeMgr::instance().add(socksNode("192.0.2.2", 1080, "Right"));
    window_->refreshList(-1);
    CNodeListModel* model = window_->nodeModel();
    QCOMPARE(model->rowCount(), 2);
    window_->pickEntry(model->index(1, 0));
    QCOMPARE(window_->nodeList()->currentIndex(), model->index(1, 0));
    QCOMPARE(window_->currentNodeId(), -1);
    QCOMPARE(modalDuring([&] { window_->editCurrentNode(); }), QString());
    QCOMPARE(modalDuring([&] { window_->deleteCurrentNode(); }), QString());
    QCOMPARE(modalDuring([&] { window_->testCurrentNode(); }), QString());
    QCOMPARE(CNodeMgr::instance().count(), std::size_t(2));
    QVERIFY(window_->testWindow() == nullptr || !window_->testWindow()->isVisible());
    // On a node entry, edit does open its dialog (of the node's kind).
    window_->pickEntry(model->index(0, 0, model->index(1, 0)));
    QCOMPARE(modalDuring([&] { window_->editCurrentNode(); }), T("Edit SOCKS Proxy"));
  }

  void deleteSelectsAnotherNode() {
    CNodeMgr& store = CNodeMgr::instance();
    int32_t a = store.add(socksNode("192.0.2.1", 1080, "G1"))->id;
    int32_t b = store.add(socksNode("192.0.2.2", 1080, "G1"))->id;
    int32_t c = store.add(socksNode("192.0.2.3", 1080, "G2"))->id;
    window_->refreshList(b);
    CNodeListModel* model = window_->nodeModel();
    window_->pickEntry(model->indexOfNode(b));
    QCOMPARE(window_->currentNodeId(), b);
    window_->deleteCurrentNode();
    // The next node takes its place, across the group border.
    QCOMPARE(window_->currentNodeId(), c);
    QCOMPARE(store.selectedId(), c);
    QVERIFY(!store.exists(b));
    window_->deleteCurrentNode();  // the last entry: the one above follows
    QCOMPARE(window_->currentNodeId(), a);
    QCOMPARE(store.selectedId(), a);
    window_->deleteCurrentNode();
    QCOMPARE(store.count(), std::size_t(0));
    QCOMPARE(store.selectedId(), -1);
    QCOMPARE(window_->currentNodeId(), -1);
    QCOMPARE(model->rowCount(), 0);
  }

  void theTrayNoticeComesOnlyOnTheFirstClose() {
    freshWindow();
    window_->close();
    QVERIFY(!window_->isVisible());
    QCOMPARE(window_->balloonCount(), 1);
    // A double-click on the tray icon brings it back; other clicks do not.
    emit window_->trayIcon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!window_->isVisible());
    emit window_->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(window_->isVisible());
    QVERIFY(!window_->isMinimized());
    window_->close();
    QVERIFY(!window_->isVisible());
    QCOMPARE(window_->balloonCount(), 1);
    // Without a tray host: minimised but still shown, and no notice.
    freshWindow();
    trayHere_ = false;
    window_->close();
    QVERIFY(window_->isVisible());
    QVERIFY(window_->isMinimized());
    QCOMPARE(window_->balloonCount(), 0);
  }

  void trafficValuesAndRepaints() {
    CTrafficWindow window(nullptr, *core_, [] { return int(app::kIdle); });
    CTrafficWindow* traffic = &window;
    std::optional<TrafficValues> next;
    int before = traffic->repaints();
    traffic->setSource([&] { return next; });
    QCOMPARE(traffic->values(), (TrafficValues{"0 B", "0 B/s", "0"}));
    traffic->tick();  // no node selected: the values stay
    QCOMPARE(traffic->repaints(), before);
    next = TrafficValues{"1.50 K", "0 B/s", "3"};
    traffic->tick();
    traffic->tick();
    QCOMPARE(traffic->repaints(), before + 1);
    QCOMPARE(traffic->values(), *next);
    next->connections = "4";
    traffic->tick();
    QCOMPARE(traffic->repaints(), before + 2);
    next.reset();
    traffic->tick();
    QCOMPARE(traffic->values().connections, QString("4"));

    // The values from the store: 1.5 times the total, the rate only while
    // connected.
    CNodeInfo* node = CNodeMgr::instance().add(socksNode("192.0.2.9", 1080, ""));
    QVERIFY(!currentTraffic(*core_, app::kConnected));
    CNodeMgr::instance().select(node->id);
    node->addUploaded(1000);
    node->addDownloaded(24);
    node->addBytes(4096);
    std::optional<TrafficValues> idle = currentTraffic(*core_, app::kIdle);
    QVERIFY(idle);
    QCOMPARE(idle->total, QString("1.50 K"));
    QCOMPARE(idle->speed, QString("0 B/s"));
    std::optional<TrafficValues> busy = currentTraffic(*core_, app::kConnected);
    QCOMPARE(busy->speed, U(node->rateText()));
    QVERIFY(busy->speed != "0 B/s");
  }

  // The traffic window goes to the tray with the main window and comes back
  // with it, also when the window manager minimised it along.
  void trafficWindowComesBackWithTheMainWindow() {
    freshWindow();
    CTrafficWindow* traffic = window_->trafficWindow();
    traffic->show();
    window_->onHideWindow();  // AutomaticHideWindow after a connect
    QVERIFY(!window_->isVisible());
    QVERIFY(!traffic->isVisible());
    window_->onShowWindow();
    QVERIFY(window_->isVisible());
    QVERIFY(traffic->isVisible());
    QVERIFY(!traffic->isMinimized());
    traffic->showMinimized();
    window_->close();
    emit window_->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(traffic->isVisible());
    QVERIFY(!traffic->isMinimized());
    // Closed by the user, it stays closed.
    traffic->close();
    window_->onHideWindow();
    window_->onShowWindow();
    QVERIFY(window_->isVisible());
    QVERIFY(!traffic->isVisible());
  }

  // On a 1280x800 screen every window stays inside the available area with
  // its frame: the test window beside a main window at the right edge, the
  // action log and the dialogs over a main window near the bottom.
  void windowsStayOnTheScreen() {
    freshWindow();
    QScreen* screen = window_->screen();
    QCOMPARE(screen->geometry().size(), QSize(1280, 800));
    QRect area = screen->availableGeometry();
    auto inside = [&](QWidget* w) {
      QVERIFY(w);
      QVERIFY2(area.contains(w->frameGeometry()), qPrintable(QString("%1 at %2,%3 %4x%5")
                                                                 .arg(w->windowTitle())
                                                                 .arg(w->frameGeometry().x())
                                                                 .arg(w->frameGeometry().y())
                                                                 .arg(w->frameGeometry().width())
                                                                 .arg(w->frameGeometry().height())));
    };
    // The node answers nothing: the test run stays on this host.
    CNodeInfo* node = CNodeMgr::instance().add(socksNode("127.0.0.1", 1, ""));
    window_->loadNodeList();
    window_->pickEntry(window_->nodeModel()->indexOfNode(node->id));
    window_->move(area.right() - window_->frameGeometry().width() - 10, 120);
    QVERIFY(area.contains(window_->frameGeometry()));
    window_->testCurrentNode();
    CNodeTestWindow* test = window_->testWindow();
    QVERIFY(test && test->isVisible());
    inside(test);
    // Beside the main window (on its left here), not over it.
    QVERIFY(!test->frameGeometry().intersects(window_->frameGeometry()));
    QCOMPARE(test->frameGeometry().top(), window_->frameGeometry().top());
    test->waitForRun();
    QCoreApplication::processEvents();
    QVERIFY(test->log()->toPlainText().contains("TCP Testing started."));
    // "Test again" after the node was removed: the window kept its id, not
    // the freed record, and tests only what is still there.
    QVERIFY(CNodeMgr::instance().remove(node->id));
    node = nullptr;
    bool clicked = false;
    for (QPushButton* button : test->findChildren<QPushButton*>())
      if (button->text() == T("Test again")) button->click(), clicked = true;
    QVERIFY(clicked);
    test->waitForRun();
    QCoreApplication::processEvents();
    QVERIFY(!test->log()->toPlainText().contains("Testing started."));
    test->hide();

    window_->move(40, area.bottom() - window_->frameGeometry().height() + 60);  // partly below
    window_->openLogs();
    inside(window_->logWindow());
    window_->logWindow()->hide();
    // A window larger than the screen is made smaller.
    window_->resize(600, 1000);
    window_->hide();
    window_->show();
    inside(window_.get());

    window_->resize(420, 560);
    window_->move(area.right() - 300, area.bottom() - 200);
    for (auto dialog : std::initializer_list<std::function<QDialog*()>>{
             [&] { return new CSettingsDialog(window_.get(), *core_); },
             [&] { return new CSocksNodeDialog(window_.get(), nullptr); },
             [&] { return new CSSNodeDialog(window_.get(), nullptr); },
         }) {
      std::unique_ptr<QDialog> d(dialog());
      d->show();
      inside(d.get());
      d->hide();
    }
    CTrafficWindow* traffic = window_->trafficWindow();
    traffic->move(area.right() - 20, -30);
    traffic->show();
    inside(traffic);
    traffic->hide();
  }

  // Reports posted on another thread reach the window on the GUI thread, in
  // the order they were posted; after the window is gone, nothing reaches it.
  void coreEventsFromAnotherThreadArriveInOrderOnTheGuiThread() {
    freshWindow();
    QThread* gui = QThread::currentThread();
    const QString before = window_->statusLine()->text();
    std::thread worker([this] {
      core_->onStatus("first");
      core_->onStateChanged(app::kConnecting);
      core_->onStatus("second");
      core_->onUdpWarning(true, "no UDP");
    });
    worker.join();
    // Nothing was done on the worker thread: the line changes only here.
    QCOMPARE(window_->statusLine()->text(), before);
    QTRY_COMPARE(window_->statusLine()->text(), QString("second"));
    QCOMPARE(window_->connectionState(), int(app::kConnecting));
    QVERIFY(!window_->udpWarning()->isHidden());
    QCOMPARE(QThread::currentThread(), gui);
    QCOMPARE(window_->eventsOffGui(), 0);
    QCOMPARE(core_->events().pending(), std::size_t(0));

    // Reports while no window exists wait for the next one on the same core.
    window_.reset();
    core_->onStatus("before the window");
    QApplication::processEvents();
    QCOMPARE(core_->events().pending(), std::size_t(1));
    window_ = std::make_unique<DialogKovalBase>(*core_, [this] { return trayHere_; });
    window_->setProbing(false);
    QCOMPARE(window_->statusLine()->text(), QString("before the window"));
    QCOMPARE(core_->events().pending(), std::size_t(0));
  }

  void trayTooltipFollowsTheConnection() {
    freshWindow();
    CNodeInfo* node = CNodeMgr::instance().add(socksNode("192.0.2.7", 1080, ""));
    window_->loadNodeList();
    window_->pickEntry(window_->nodeModel()->indexOfNode(node->id));
    QCOMPARE(window_->trayIcon()->toolTip(), QString("Vantor 6.0 Disconnected"));
    backend_.udpWorks = false;
    window_->toggleConnection();
    QTRY_COMPARE_WITH_TIMEOUT(window_->statusLine()->text(), T("Connected!"), 10000);
    QTRY_COMPARE(window_->trayIcon()->toolTip(),
                 QString("Vantor 6.0\nProxy: SOCKS 5-192.0.2.7:1080\nMode: Global wide\nUDP is disabled"));
    QVERIFY(window_->udpWarning()->isVisibleTo(window_.get()));
    QCOMPARE(window_->connectButton()->text(), T("DISCONNECT"));
    window_->toggleConnection();
    QTRY_COMPARE_WITH_TIMEOUT(window_->statusLine()->text(), T("Disconnected!"), 10000);
    QTRY_COMPARE(window_->trayIcon()->toolTip(), QString("Vantor 6.0 Disconnected"));
    QVERIFY(!window_->udpWarning()->isVisibleTo(window_.get()));
    QCOMPARE(window_->connectButton()->text(), T("CONNECT"));
    backend_.udpWorks = true;
    // A group header refuses with the controller's message.
    window_->pickEntry(window_->nodeModel()->index(0, 0));
    window_->toggleConnection();
    QTRY_VERIFY(messages_.contains(T("Please select a proxy first.")));
  }

  // Ctrl+V on the list and the add menu's entry take every link on the
  // clipboard; a broken line is named with its number, the good ones on
  // either side of it are still added, plugin fields and all.
  void clipboardImportAddsTheLinksAndNamesTheBrokenLine() {
    freshWindow();
    window_->loadNodeList();
    QVERIFY(window_->emptyListHint()->isVisibleTo(window_.get()));
    keepShot(window_.get(), "empty_list");
    QVERIFY(!window_->trayNodeMenu()->isEnabled());
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QString("ss://aes-128-gcm:pw@192.0.2.20:8000#One\njunk-line\n") + kPluginLink + "\n");
    QApplication::setActiveWindow(window_.get());
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    window_->nodeList()->setFocus();
    QTest::keyClick(window_->nodeList(), Qt::Key_V, Qt::ControlModifier);
    CNodeMgr& store = CNodeMgr::instance();
    QCOMPARE(store.count(), std::size_t(2));
    QCOMPARE(messages_.size(), 1);
    QVERIFY2(messages_[0].contains("Line 2: not a link (junk-line)"), qPrintable(messages_[0]));
    QVERIFY(!messages_[0].contains("Line 1") && !messages_[0].contains("Line 3"));
    QCOMPARE(window_->statusLine()->text(), QString("Added 2 nodes, 1 links not added."));
    QVERIFY(!window_->emptyListHint()->isVisibleTo(window_.get()));
    QCOMPARE(window_->nodeModel()->nodeCount(), 2);
    keepShot(window_.get(), "imported");
    QVERIFY(window_->trayNodeMenu()->isEnabled());
    CNodeInfo* withPlugin = nullptr;
    for (CNodeInfo* node : store.nodes())
      if (node->server == "192.0.2.21") withPlugin = node;
    QVERIFY(withPlugin);
    QCOMPARE(withPlugin->plugin, std::string("obfs-local"));
    QCOMPARE(withPlugin->plugin_opts, std::string("obfs=http;obfs-host=cdn.example.com"));

    // Nothing on the clipboard: said so, nothing added.
    messages_.clear();
    clipboard->setText(" \n ");
    QVERIFY(window_->addMenu()->actions().contains(window_->importEntry()));
    window_->importEntry()->trigger();
    QCOMPARE(messages_, QStringList({T("The clipboard holds no links.")}));
    QCOMPARE(store.count(), std::size_t(2));
    // The entry adds without a report when every line is good.
    messages_.clear();
    clipboard->setText("socks5://192.0.2.22:1080");
    window_->importEntry()->trigger();
    QCOMPARE(messages_, QStringList());
    QCOMPARE(store.count(), std::size_t(3));
    // The last node gone: the hint is back.
    clearStore();
    window_->refreshList(-1);
    QVERIFY(window_->emptyListHint()->isVisibleTo(window_.get()));
  }

  // The link dialog shows the core's link as text and as a QR code that a
  // scanner reads back to the same text; "Copy link" puts it on the
  // clipboard, as the context menu's entry does.
  void nodeLinkDialogShowsAQrCodeOfTheLink() {
    QString zbarimg = QStandardPaths::findExecutable("zbarimg");
    if (zbarimg.isEmpty()) QSKIP("zbarimg (zbar-tools) is not installed");
    freshWindow();
    std::string reason;
    std::optional<NodeParams> plugin = parseLink(kPluginLink, reason);
    QVERIFY2(plugin, reason.c_str());
    NodeParams ssr;
    ssr.type = kNodeShadowsocks;
    ssr.server = "ssr.example.net";
    ssr.server_port = 9443;
    ssr.password = "a longer password/with+signs";
    ssr.method = "chacha20-ietf";
    ssr.protocol = "auth_aes128_sha1";
    ssr.protocolparam = "64:secret";
    ssr.obfs = "tls1.2_ticket_auth";
    ssr.obfsparam = "cloudfront.example.org";
    ssr.remarks = "Tokyo 东京 & more";
    ssr.group = "Provider";
    CNodeMgr& store = CNodeMgr::instance();
    int n = 0;
    for (const NodeParams& params : {*plugin, ssr}) {
      int32_t id = store.add(params)->id;
      window_->refreshList(id);
      window_->pickEntry(window_->nodeModel()->indexOfNode(id));
      QString link = U(core_->catalogue().nodeLink(id));
      QVERIFY(link.startsWith(n == 0 ? "ss://" : "ssr://"));
      QCOMPARE(link.contains("plugin=obfs-local"), n == 0);
      window_->showNodeLink();
      auto* dialog = qobject_cast<CNodeLinkDialog*>(window_->linkDialog());
      QVERIFY(dialog && dialog->isVisible());
      QCOMPARE(dialog->link(), link);
      QCOMPARE(dialog->linkText()->toPlainText(), link);
      QVERIFY(dialog->code()->hasCode());
      keepShot(dialog, n == 0 ? "link_dialog_ss" : "link_dialog_ssr");
      // The widget as it is painted, and the picture at a scanner's scale.
      QApplication::processEvents();
      QImage shown = dialog->code()->grab().toImage();
      QString shownPng = dir_.filePath(QString("qr_shown_%1.png").arg(n));
      QVERIFY(shown.save(shownPng));
      QCOMPARE(decodeQr(shownPng), link);
      QString drawnPng = dir_.filePath(QString("qr_drawn_%1.png").arg(n));
      QVERIFY(dialog->code()->image(6).save(drawnPng));
      QCOMPARE(decodeQr(drawnPng), link);
      QGuiApplication::clipboard()->clear();
      dialog->copyButton()->click();
      QCOMPARE(QGuiApplication::clipboard()->text(), link);
      QGuiApplication::clipboard()->clear();
      QAction* copy = entry(window_->nodeMenu(), "Copy link");
      QVERIFY(copy);
      copy->trigger();
      QCOMPARE(QGuiApplication::clipboard()->text(), link);
      ++n;
    }
    // A new dialog replaces the open one.
    QPointer<QDialog> first = window_->linkDialog();
    window_->showNodeLink();
    QApplication::processEvents();
    QVERIFY(window_->linkDialog() && window_->linkDialog() != first.data());
    QTRY_VERIFY(!first);
    window_->linkDialog()->close();
    // A link no scanner could take is said to be too long, not drawn wrong.
    CQrCodeWidget code;
    QVERIFY(code.setData(QByteArray(2000, 'a')));
    QVERIFY(!code.setData(QByteArray(4000, 'a')));
    QVERIFY(!code.hasCode());
  }

  // The tray's connect entry runs the same connect as the button, through
  // the scripted backend, and its text follows the state; the connected
  // node is marked in the list until the disconnect.
  void trayConnectEntryConnectsAndFollowsTheState() {
    freshWindow();
    CNodeMgr& store = CNodeMgr::instance();
    int32_t other = store.add(socksNode("192.0.2.40", 1080, ""))->id;
    int32_t id = store.add(socksNode("192.0.2.41", 1080, ""))->id;
    window_->loadNodeList();
    window_->pickEntry(window_->nodeModel()->indexOfNode(id));
    window_->updateTrayMenu();
    QAction* connectEntry = window_->trayConnectEntry();
    QVERIFY(window_->trayMenu()->actions().contains(connectEntry));
    QCOMPARE(connectEntry->text(), T("Connect"));
    QVERIFY(connectEntry->isEnabled());
    CNodeListModel* model = window_->nodeModel();
    auto bold = [&](int32_t node) { return model->data(model->indexOfNode(node), Qt::FontRole).value<QFont>().bold(); };
    QVERIFY(!bold(id));
    connectEntry->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(window_->statusLine()->text(), T("Connected!"), 10000);
    QCOMPARE(core_->state(), int(app::kConnected));
    QCOMPARE(connectEntry->text(), T("Disconnect"));
    QVERIFY(window_->trayIcon()->toolTip().contains("192.0.2.41"));
    QCOMPARE(model->connectedNode(), id);
    QVERIFY(bold(id));
    QVERIFY(!bold(other));
    keepShot(window_.get(), "connected");
    QVERIFY(!model->data(model->indexOfNode(id).siblingAtColumn(1), Qt::DecorationRole).isNull());
    QVERIFY(model->data(model->indexOfNode(other).siblingAtColumn(1), Qt::DecorationRole).isNull());
    // The mark survives a refresh of the list.
    window_->refreshList(id);
    QVERIFY(bold(id));
    connectEntry->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(window_->statusLine()->text(), T("Disconnected!"), 10000);
    QCOMPARE(connectEntry->text(), T("Connect"));
    QCOMPARE(model->connectedNode(), -1);
    QVERIFY(!bold(id));
    // Half-way there is nothing to toggle.
    window_->onStateChanged(app::kConnecting);
    QVERIFY(!connectEntry->isEnabled());
    window_->onStateChanged(app::kIdle);
    QVERIFY(connectEntry->isEnabled());
  }

  // The mode submenu and the node submenus (one per group) check the
  // current choice and change it as the selector and the list do; the next
  // connect uses what the tray chose.
  void traySubmenusChangeTheModeAndTheNode() {
    freshWindow();
    CNodeMgr& store = CNodeMgr::instance();
    int32_t a = store.add(socksNode("192.0.2.50", 1080, "Europe"))->id;
    int32_t b = store.add(socksNode("192.0.2.51", 1080, "Asia & Pacific"))->id;
    int32_t c = store.add(socksNode("192.0.2.52", 1080, "Asia & Pacific"))->id;
    window_->loadNodeList();
    window_->pickEntry(window_->nodeModel()->indexOfNode(a));
    window_->updateTrayMenu();

    QList<QAction*> modes = window_->trayModeMenu()->actions();
    QCOMPARE(modes.size(), window_->modeList()->count());
    QVERIFY(modes.size() >= 2);
    QVERIFY(modes[0]->isChecked() && !modes[1]->isChecked());
    modes[1]->trigger();
    QCOMPARE(window_->modeList()->currentIndex(), 1);
    QCOMPARE(core_->settings().get().last_proxymode_index, 1);

    QList<QAction*> groups = window_->trayNodeMenu()->actions();
    QCOMPARE(groups.size(), 2);
    QCOMPARE(groups[1]->text(), QString("Asia && Pacific"));
    QMenu* asia = groups[1]->menu();
    QVERIFY(asia && asia->isEmpty());
    emit asia->aboutToShow();
    QList<QAction*> nodes = asia->actions();
    QCOMPARE(nodes.size(), 2);
    QVERIFY(!nodes[0]->isChecked() && !nodes[1]->isChecked());
    nodes[1]->trigger();
    QCOMPARE(window_->currentNodeId(), c);
    QCOMPARE(store.selectedId(), c);
    QCOMPARE(core_->settings().get().LastUsedNodeId, c);

    // Opened again: the new choices are the checked ones.
    window_->updateTrayMenu();
    QVERIFY(window_->trayModeMenu()->actions()[1]->isChecked());
    QMenu* europe = window_->trayNodeMenu()->actions()[0]->menu();
    emit europe->aboutToShow();
    QVERIFY(!europe->actions()[0]->isChecked());
    asia = window_->trayNodeMenu()->actions()[1]->menu();
    emit asia->aboutToShow();
    QVERIFY(asia->actions()[1]->isChecked());
    if (!qEnvironmentVariableIsEmpty("VANTOR_UI_SHOTS")) {
      window_->trayMenu()->popup(QPoint(600, 300));  // fills its submenus anew
      keepShot(window_->trayMenu(), "tray_menu");
      QMenu* shown = window_->trayNodeMenu()->actions()[1]->menu();
      shown->popup(QPoint(800, 360));
      keepShot(shown, "tray_group");
      shown->hide();
      window_->trayMenu()->hide();
    }

    // The connect takes the tray's node and mode.
    window_->trayConnectEntry()->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(window_->statusLine()->text(), T("Connected!"), 10000);
    QCOMPARE(window_->nodeModel()->connectedNode(), c);
    QCOMPARE(CProxyModeMgr::instance().currentIndex(), 1);
    // Picking another node while connected does what the list does: it is
    // the choice for the next connect, this connection stays.
    window_->updateTrayMenu();
    asia = window_->trayNodeMenu()->actions()[1]->menu();
    emit asia->aboutToShow();
    asia->actions()[0]->trigger();
    QCOMPARE(window_->currentNodeId(), b);
    QCOMPARE(core_->state(), int(app::kConnected));
    QCOMPARE(window_->nodeModel()->connectedNode(), c);
    window_->toggleConnection();
    QTRY_COMPARE_WITH_TIMEOUT(window_->statusLine()->text(), T("Disconnected!"), 10000);
    // While the controls are off (a connect on its way), so are the submenus.
    window_->onControlsEnabled(false);
    QVERIFY(!window_->trayModeMenu()->isEnabled());
    QVERIFY(!window_->trayNodeMenu()->isEnabled());
    window_->chooseNode(a);
    QCOMPARE(window_->currentNodeId(), b);
    window_->onControlsEnabled(true);
    window_->chooseMode(0);
  }

  // The latency column shows the last test: a time, or that it failed.
  void latencyColumnShowsTheLastTest() {
    freshWindow();
    // Nothing listens there: the test fails at once, on this host.
    CNodeInfo* node = CNodeMgr::instance().add(socksNode("127.0.0.1", 1, ""));
    node->Latency = 35;
    window_->loadNodeList();
    CNodeListModel* model = window_->nodeModel();
    QModelIndex cell = model->indexOfNode(node->id).siblingAtColumn(1);
    QCOMPARE(model->data(cell, Qt::DisplayRole).toString(), QString("35 ms"));
    window_->pickEntry(model->indexOfNode(node->id));
    window_->testCurrentNode();
    window_->testWindow()->waitForRun();
    QCOMPARE(node->lastTestResult.load(), 0);
    QTRY_COMPARE(model->data(cell, Qt::DisplayRole).toString(), T("failed"));
    keepShot(window_.get(), "test_failed");
    window_->testWindow()->hide();
    // Kept with the node: after a new start the list still says so.
    window_->refreshList(node->id);
    QCOMPARE(model->data(model->indexOfNode(node->id).siblingAtColumn(1), Qt::DisplayRole).toString(), T("failed"));
  }

  void nodeDialogChecksInOrder() {
    CSocksNodeDialog socks(nullptr, nullptr);
    auto expect = [&](QDialog& dialog, const char* message) {
      messages_.clear();
      dialog.setResult(QDialog::Rejected);
      dialog.accept();
      QCOMPARE(messages_, QStringList({T(message)}));
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    };
    QCOMPARE(socks.kindBox()->currentText(), QString("SOCKS 5"));
    socks.kindBox()->setCurrentIndex(-1);
    socks.routeEdit()->setText("1.2.3");
    expect(socks, "Select a proxy type please.");
    socks.kindBox()->setCurrentIndex(0);
    expect(socks, "HTTP protocol is not supported yet.");
    socks.kindBox()->setCurrentIndex(1);
    socks.serverEdit()->setText("   ");
    expect(socks, "Input server IP please.");
    socks.serverEdit()->setText(" 192.0.2.5 ");
    for (const char* port : {"", "0", "65536", "80a"}) {
      socks.portEdit()->setText(port);
      expect(socks, "Port must be in 0-65535.");
    }
    socks.portEdit()->setText("1080");
    expect(socks, "An invalid IP was entered in the additional route form");
    socks.routeEdit()->setText("198.51.100.20");
    messages_.clear();
    socks.accept();
    QCOMPARE(messages_, QStringList());
    QCOMPARE(socks.result(), int(QDialog::Accepted));
    QCOMPARE(socks.params().type, int32_t(kNodeSocks4));
    QCOMPARE(socks.params().server_port, uint16_t(1080));
    QCOMPARE(socks.params().group, std::string(kDefaultGroupName));
    QCOMPARE(socks.params().AdditionalRoute, std::string("198.51.100.20"));

    CSSNodeDialog ss(nullptr, nullptr);
    expect(ss, "Input server IP please.");  // the server before the password
    ss.serverEdit()->setText("192.0.2.6");
    ss.portEdit()->setText("8388");
    expect(ss, "Input SS server password please.");
    ss.passwordEdit()->setText("secret");
    messages_.clear();
    ss.accept();
    QCOMPARE(ss.result(), int(QDialog::Accepted));
    QCOMPARE(ss.params().type, int32_t(kNodeShadowsocks));
    QCOMPARE(ss.params().method, std::string("aes-256-gcm"));

    // An edited node keeps what the dialog does not show.
    NodeParams stored = socksNode("192.0.2.8", 1081, "Mine");
    stored.udp_over_tcp = true;
    stored.server_udp_port = 5353;
    CNodeInfo* node = CNodeMgr::instance().add(stored);
    CSocksNodeDialog edit(nullptr, node);
    QCOMPARE(edit.kindBox()->currentText(), QString("SOCKS 5"));
    QCOMPARE(edit.groupEdit()->text(), QString("Mine"));
    edit.accept();
    QCOMPARE(edit.params().server_udp_port, uint16_t(5353));
    QVERIFY(edit.params().udp_over_tcp);
  }

  // The Shadowsocks dialog carries a node's plugin: from a link, from the
  // stored node and back; not for ShadowsocksR, and never a path.
  void shadowsocksDialogCarriesThePlugin() {
    // "Add from link...": a plugin that is not installed is refused, one
    // that is comes with its options.
    CLinkDialog missing(nullptr);
    missing.linkEdit()->setText("ss://YWVzLTEyOC1nY206cHc@192.0.2.21:8000/?plugin=no-such-plugin-here%3Bx%3D1");
    missing.accept();
    QCOMPARE(missing.result(), int(QDialog::Rejected));
    QVERIFY2(messages_.value(0).contains("no-such-plugin-here was not found"), qPrintable(messages_.value(0)));
    std::string reason;
    std::optional<NodeParams> parsed = parseLink(kPluginLink, reason);
    QVERIFY2(parsed, reason.c_str());
    if (!pluginProgramPath("obfs-local").empty()) {
      CLinkDialog link(nullptr);
      link.linkEdit()->setText(kPluginLink);
      link.accept();
      QCOMPARE(link.result(), int(QDialog::Accepted));
      parsed = link.params();
    }
    CSSNodeDialog fromLink(nullptr, nullptr);
    fromLink.fill(*parsed);
    QCOMPARE(fromLink.pluginBox()->currentText(), QString("obfs-local"));
    QCOMPARE(fromLink.pluginOptionsEdit()->text(), QString("obfs=http;obfs-host=cdn.example.com"));
    fromLink.accept();
    QCOMPARE(fromLink.result(), int(QDialog::Accepted));
    QCOMPARE(fromLink.params().plugin, std::string("obfs-local"));
    QCOMPARE(fromLink.params().plugin_opts, std::string("obfs=http;obfs-host=cdn.example.com"));

    // A stored node with a plugin the list does not offer, edited and kept.
    NodeParams stored = *parsed;
    stored.plugin = "ss-v2ray-plugin";
    stored.plugin_opts = "path=/ws;host=cdn.example.com";
    CNodeInfo* node = CNodeMgr::instance().add(stored);
    CSSNodeDialog edit(nullptr, node);
    QCOMPARE(edit.pluginBox()->currentText(), QString("ss-v2ray-plugin"));
    edit.show();
    keepShot(&edit, "ss_dialog_plugin");
    edit.pluginOptionsEdit()->setText("path=/other;host=cdn.example.com");
    edit.accept();
    QCOMPARE(edit.params().plugin, std::string("ss-v2ray-plugin"));
    QCOMPARE(edit.params().plugin_opts, std::string("path=/other;host=cdn.example.com"));
    CNodeMgr::instance().update(node->id, edit.params());
    QCOMPARE(U(core_->catalogue().nodeLink(node->id)),
             QString("ss://YWVzLTEyOC1nY206cHc@192.0.2.21:8000/"
                     "?plugin=ss-v2ray-plugin%3Bpath%3D%2Fother%3Bhost%3Dcdn.example.com#Two"));

    // A ShadowsocksR protocol leaves no room for a plugin.
    edit.protocolBox()->setCurrentIndex(edit.protocolBox()->findText("auth_aes128_md5"));
    QVERIFY(!edit.pluginBox()->isEnabled());
    edit.accept();
    QCOMPARE(edit.params().plugin, std::string());
    QCOMPARE(edit.params().plugin_opts, std::string());
    edit.protocolBox()->setCurrentIndex(edit.protocolBox()->findText("origin"));
    QVERIFY(edit.pluginBox()->isEnabled());

    // No plugin: no options either.
    CSSNodeDialog none(nullptr, nullptr);
    none.serverEdit()->setText("192.0.2.23");
    none.portEdit()->setText("8388");
    none.passwordEdit()->setText("pw");
    none.pluginOptionsEdit()->setText("obfs=http");
    none.accept();
    QCOMPARE(none.result(), int(QDialog::Accepted));
    QCOMPARE(none.params().plugin_opts, std::string());

    // A path or an option where the program's name belongs is refused.
    for (const char* name : {"/bin/sh", "obfs-local --fast-open", "-c"}) {
      messages_.clear();
      edit.setResult(QDialog::Rejected);
      edit.pluginBox()->setEditText(name);
      edit.accept();
      QCOMPARE(messages_.size(), 1);
      QCOMPARE(edit.result(), int(QDialog::Rejected));
    }
  }

  // Typing the fields in their order: each text lands in its own field.
  void socksDialogTabsThroughTheFieldsInOrder() {
    CSocksNodeDialog dialog(nullptr, nullptr);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.kindBox()->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(dialog.kindBox()));
    for (const char* text : {"192.0.2.40", "1080", "alice", "secret", "Office", "Work", "198.51.100.7"}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QTest::keyClicks(QApplication::focusWidget(), text);
    }
    QCOMPARE(dialog.serverEdit()->text(), QString("192.0.2.40"));
    QCOMPARE(dialog.portEdit()->text(), QString("1080"));
    QCOMPARE(dialog.userEdit()->text(), QString("alice"));
    QCOMPARE(dialog.passwordEdit()->text(), QString("secret"));
    QCOMPARE(dialog.remarksEdit()->text(), QString("Office"));
    QCOMPARE(dialog.groupEdit()->text(), QString("Work"));
    QCOMPARE(dialog.routeEdit()->text(), QString("198.51.100.7"));
    // Then the buttons, and round to the first field.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(qobject_cast<QPushButton*>(QApplication::focusWidget()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(qobject_cast<QPushButton*>(QApplication::focusWidget()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(dialog.kindBox()));
  }

  void linkDialogsCheckAndImport() {
    CLinkDialog link(nullptr);
    link.accept();
    QCOMPARE(messages_, QStringList({T("Please enter the proxy link( Support shadowsocks link ).")}));
    link.linkEdit()->setText("http://not-a-link");
    link.accept();
    QCOMPARE(messages_.value(1), T("Can not resolve this link."));
    QCOMPARE(link.result(), int(QDialog::Rejected));
    link.linkEdit()->setText("ss://aes-128-gcm:pw@192.0.2.10:8000#Office");
    link.accept();
    QCOMPARE(link.result(), int(QDialog::Accepted));
    // The SS dialog takes the parsed fields.
    CSSNodeDialog ss(nullptr, nullptr);
    ss.fill(link.params());
    QCOMPARE(ss.serverEdit()->text(), QString("192.0.2.10"));
    QCOMPARE(ss.methodBox()->currentText(), QString("aes-128-gcm"));
    QCOMPARE(ss.remarksEdit()->text(), QString("Office"));

    messages_.clear();
    CBatchLinkDialog batch(nullptr, *core_);
    batch.textEdit()->setPlainText(" \n , ");
    batch.accept();
    QCOMPARE(messages_, QStringList({T("Input shadowsocks server link please.")}));
    QCOMPARE(CNodeMgr::instance().count(), std::size_t(0));
    batch.textEdit()->setPlainText("ss://aes-128-gcm:pw@192.0.2.11:8000, junk\r\nss://aes-128-gcm:pw@192.0.2.12:8000");
    batch.accept();
    QCOMPARE(batch.result(), int(QDialog::Accepted));
    QCOMPARE(batch.added(), 2);
    QCOMPARE(CNodeMgr::instance().count(), std::size_t(2));
    // The piece that was not added is named with its line and the reason.
    QCOMPARE(messages_.size(), 2);
    QVERIFY2(messages_.last().contains("Line 1: not a link (junk)"), qPrintable(messages_.last()));
    QCOMPARE(batch.refused(), 1);

    // A cipher the program does not know is refused, not taken as "none".
    CLinkDialog typo(nullptr);
    typo.linkEdit()->setText("ss://aes-256-gmc:pw@192.0.2.13:8000");
    typo.accept();
    QCOMPARE(messages_.last(), T("Unsupported encryption: aes-256-gmc"));
    QCOMPARE(typo.result(), int(QDialog::Rejected));
  }

  void settingsDialogChecksInOrder() {
    {
      std::lock_guard<std::mutex> guard(settingsMutex());
      Settings& s = settings();
      s.local_connection_name = s.local_connection_guid = s.tap_connection_name = s.tap_connection_guid = "";
    }
    CSettingsDialog dialog(nullptr, *core_);
    auto expect = [&](const char* message) {
      messages_.clear();
      dialog.setResult(QDialog::Rejected);
      dialog.accept();
      QCOMPARE(messages_, QStringList({T(message)}));
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    };
    // Nothing known about the adapters: cancel is refused too.
    dialog.reject();
    QCOMPARE(messages_, QStringList({T("You must lelect a local connection and a TUN/TAP adapter.")}));
    dialog.delayBox()->setValue(0);
    dialog.dnsBox()->setCurrentIndex(kOwnDnsProvider);
    dialog.preferredEdit()->setText("0.0.0.0");
    expect("The delayed connect time can only be 1-300 seconds");
    dialog.delayBox()->setValue(301);
    expect("The delayed connect time can only be 1-300 seconds");
    dialog.delayBox()->setValue(300);
    expect("Primary DNS must be specific!");
    dialog.preferredEdit()->setText("9.9.9.9");
    dialog.localBox()->setCurrentIndex(-1);
    expect("Select a local connection please.");
    if (dialog.localBox()->count() > 0) {
      dialog.localBox()->setCurrentIndex(0);
      dialog.tunBox()->setCurrentIndex(-1);
      expect("Select a TUN/TAP adapter please.");
    }
    // The choices themselves, as the checks receive them.
    SettingsDialogInput in = dialog.input();
    QCOMPARE(int(in.preferredDns[0]), 9);
    QCOMPARE(in.DelayedConnect, 300);
    QCOMPARE(in.dnsProvider, kOwnDnsProvider);
    // Choosing a provider fills both fields.
    dialog.dnsBox()->setCurrentIndex(1);
    QMetaObject::invokeMethod(dialog.dnsBox(), "activated", Q_ARG(int, 1));
    QCOMPARE(dialog.preferredEdit()->text(), QString("8.8.8.8"));
    QCOMPARE(dialog.alternateEdit()->text(), QString("8.8.4.4"));
  }

  // OK without a change keeps what is stored: a DNS pair of the user's own
  // (or one a provider has under another name, or "localdns"), and adapters
  // that do not exist right now (the TUN interface after a disconnect).
  void settingsDialogKeepsWhatIsStored() {
    auto store = [](std::function<void(Settings&)> change) {
      {
        std::lock_guard<std::mutex> guard(settingsMutex());
        change(settings());
      }
      return saveSettings();
    };
    auto fileText = [] {
      QFile file(QString::fromStdString(paths::configFile("config.ini")));
      return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    };
    auto okUntouched = [&](int shownProvider, const char* shown1, const char* shown2) {
      QByteArray before = fileText();
      messages_.clear();
      CSettingsDialog dialog(nullptr, *core_);
      QCOMPARE(dialog.dnsBox()->currentIndex(), shownProvider);
      QCOMPARE(dialog.preferredEdit()->text(), QString(shown1));
      QCOMPARE(dialog.alternateEdit()->text(), QString(shown2));
      QVERIFY(dialog.tunBox()->currentText().contains("vt-gone0"));
      QVERIFY(dialog.localBox()->currentText().contains("wl-gone"));
      dialog.accept();
      QCOMPARE(messages_, QStringList());
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
      QCOMPARE(fileText(), before);
    };
    QVERIFY(store([](Settings& s) {
      s.local_connection_name = s.local_connection_guid = "wl-gone";
      s.local_connection_index = 3;
      s.local_connection_primary_dns = "192.168.1.1";
      s.tap_connection_name = s.tap_connection_guid = "vt-gone0";
      s.tap_connection_index = 42;
      s.RecommendedProxyDNS = true;  // OK sets it in any case
      s.public_select_dns_name = "";
      s.public_dns1 = "10.88.0.53";
      s.public_dns2 = "";
    }));
    okUntouched(kOwnDnsProvider, "10.88.0.53", "");
    // A left-over provider name does not hide the own pair either.
    QVERIFY(store([](Settings& s) { s.public_select_dns_name = "Open DNS"; }));
    okUntouched(kOwnDnsProvider, "10.88.0.53", "");
    QVERIFY(store([](Settings& s) {
      s.public_select_dns_name = "";
      s.public_dns1 = "8.8.8.8";
      s.public_dns2 = "8.8.4.4";
    }));
    okUntouched(1, "8.8.8.8", "8.8.4.4");
    // Three providers share one pair: the stored name tells which.
    QVERIFY(store([](Settings& s) {
      s.public_select_dns_name = "DNS Pai(China Mobile)";
      s.public_dns1 = "101.226.4.6";
      s.public_dns2 = "218.30.118.6";
    }));
    okUntouched(18, "101.226.4.6", "218.30.118.6");
    QVERIFY(store([](Settings& s) {
      s.public_select_dns_name = "Use your own DNS";
      s.public_dns1 = kLocalDns;
      s.public_dns2 = "";
    }));
    okUntouched(kOwnDnsProvider, kLocalDns, "");

    // What the user does change is taken.
    {
      CSettingsDialog dialog(nullptr, *core_);
      dialog.dnsBox()->setCurrentIndex(1);
      QMetaObject::invokeMethod(dialog.dnsBox(), "activated", Q_ARG(int, 1));
      dialog.accept();
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    {
      std::lock_guard<std::mutex> guard(settingsMutex());
      QCOMPARE(settings().public_dns1, std::string("8.8.8.8"));
      QCOMPARE(settings().public_select_dns_name, std::string("Google DNS"));
      QCOMPARE(settings().tap_connection_name, std::string("vt-gone0"));
      QCOMPARE(settings().tap_connection_index, 42);
    }
    {
      CSettingsDialog dialog(nullptr, *core_);
      dialog.dnsBox()->setCurrentIndex(kOwnDnsProvider);
      QMetaObject::invokeMethod(dialog.dnsBox(), "activated", Q_ARG(int, kOwnDnsProvider));
      dialog.preferredEdit()->setText("10.88.0.53");
      dialog.alternateEdit()->setText("");
      dialog.accept();
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    std::lock_guard<std::mutex> guard(settingsMutex());
    QCOMPARE(settings().public_dns1, std::string("10.88.0.53"));
    QCOMPARE(settings().public_dns2, std::string());
    QCOMPARE(settings().public_select_dns_name, std::string("Use your own DNS"));
  }

  void routeDialogChecksInOrder() {
    CAdditionalRouteMgr::instance().load();
    CAdditionalRouteDialog dialog(nullptr, *core_);
    auto attempt = [&](const char* input, int actionIndex) {
      dialog.addressEdit()->setText(input);
      dialog.actionBox()->setCurrentIndex(actionIndex);
      QSignalSpy done(&dialog, &CAdditionalRouteDialog::checked);
      dialog.addEntry();
      if (done.isEmpty()) done.wait(10000);
      return done.isEmpty() ? QString("(no answer)") : done.first().first().toString();
    };
    QCOMPARE(attempt("", -1), T("IP Address can not be empty"));
    QCOMPARE(attempt("10.1.2.300", -1), T("Invalid IP address"));
    QCOMPARE(attempt("127.0.0.5", 0), T("You can not add a loopback IP address."));
    QCOMPARE(attempt("10.1.2.3", -1), T("Please select action"));
    QCOMPARE(attempt("10.1.2.3", 1), QString());
    QCOMPARE(dialog.list()->topLevelItemCount(), 1);
    QCOMPARE(dialog.list()->topLevelItem(0)->text(1), T("Proxify"));
    QCOMPARE(attempt("10.1.2.3", 0), T("This route already exists"));
    // Kept in the file.
    CAdditionalRouteMgr fromFile;
    QVERIFY(fromFile.load());
    QVERIFY(fromFile.contains("10.1.2.3"));
  }

  void eventsAndSubscriptionsEditThroughTheirManagers() {
    CEventsDialog events(nullptr, *core_);
    events.addEntry();
    QCOMPARE(messages_, QStringList({T("Input the process name please.")}));
    events.eventBox()->setCurrentIndex(2);
    events.actionBox()->setCurrentIndex(1);
    events.paramEdit()->setText("firefox");
    events.addEntry();
    QCOMPARE(events.list()->topLevelItemCount(), 1);
    QCOMPARE(events.list()->topLevelItem(0)->text(0), T("Before DisConnect"));
    events.paramEdit()->setText("FireFox");
    events.addEntry();
    QCOMPARE(messages_.value(1), T("This event action already exists."));
    CEventMgr reread;
    QCOMPARE(reread.loadEvents(), 1);

    CSubscriptionsDialog subs(nullptr, *core_);
    subs.addEntry();  // no URL: nothing happens
    QCOMPARE(subs.list()->topLevelItemCount(), 0);
    subs.urlEdit()->setText("https://example.invalid/sub");
    subs.obfsEdit()->setText("cdn.example");
    subs.addEntry();
    QCOMPARE(subs.list()->topLevelItemCount(), 1);
    SSRSubscription stored;
    QVERIFY(CSubscriptionMgr::instance().get("https://example.invalid/sub", stored));
    QCOMPARE(stored.frequency, 1);  // no choice: one day
    QCOMPARE(subs.list()->topLevelItem(0)->text(3), QString("-"));
    CNodeInfo* proxy = CNodeMgr::instance().add(socksNode("192.0.2.30", 1080, ""));
    CSubscriptionEditDialog edit(nullptr, *core_, "https://example.invalid/sub");
    edit.frequencyBox()->setCurrentIndex(0);
    edit.proxyBox()->setCurrentIndex(edit.proxyBox()->findData(proxy->id));
    edit.accept();
    QVERIFY(CSubscriptionMgr::instance().get("https://example.invalid/sub", stored));
    QCOMPARE(stored.frequency, 0);
    QCOMPARE(stored.p_server, std::string("192.0.2.30"));
    QCOMPARE(stored.default_params_of_obfs, std::string("cdn.example"));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
