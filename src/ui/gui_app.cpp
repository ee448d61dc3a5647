#include "ui/gui_app.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>

#include "app/i18n.h"
#include "app/startup.h"
#include "ui/main_window.h"
#include "ui/manage_dialogs.h"
#include "ui/node_dialogs.h"
#include "ui/node_link_dialog.h"
#include "ui/settings_dialog.h"
#include "ui/test_window.h"
#include "ui/traffic_window.h"
#include "ui/ui_common.h"

namespace vantor::ui {
namespace {

// QApplication keeps references to these for its whole life.
int gArgc = 1;
char gProgram[] = "vantor";
char* gArgv[] = {gProgram, nullptr};

// Without a display (CI, a console) the screenshots are drawn off screen.
void chooseOffscreenWithoutDisplay() {
  if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// Runs `work` on a thread of its own while the loading dialog is shown.
template <typename Work>
void whileLoading(Work work) {
  CLoadingDialog dialog;
  dialog.show();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  while (!done) QApplication::processEvents(QEventLoop::AllEvents, 50);
  worker.join();
}

// The traffic window sits at the top right of the screen, out of the way.
void placeTraffic(DialogKovalBase& window) {
  CTrafficWindow* traffic = window.trafficWindow();
  traffic->adjustSize();
  if (QScreen* screen = window.screen()) {
    QRect area = screen->availableGeometry();
    traffic->move(area.right() - traffic->width() - 16, area.top() + 16);
  }
  traffic->show();
}

}  // namespace

CLoadingDialog::CLoadingDialog(QWidget* parent) : QDialog(parent, Qt::SplashScreen) {
  setWindowTitle(productTitle());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 20);
  auto* text = new QLabel(T("Loading proxy mode rules..."), this);
  auto* bar = new QProgressBar(this);
  bar->setRange(0, 0);  // busy
  bar->setTextVisible(false);
  layout->addWidget(text);
  layout->addWidget(bar);
  setMinimumWidth(320);
}

CGuiApplication::CGuiApplication() : shell_(std::make_unique<app::CVexorApp>()) {}

CGuiApplication::~CGuiApplication() { finish(); }

CGuiApplication::Shell CGuiApplication::startShell() {
  std::vector<std::string> report;
  switch (shell_->start(error_, report)) {
    case app::CVexorApp::Outcome::AlreadyRunning:
      return Shell::AlreadyRunning;
    case app::CVexorApp::Outcome::Failed:
      return Shell::Failed;
    case app::CVexorApp::Outcome::Ready:
      break;
  }
  for (const auto& line : report) std::cerr << "vantor: " << line << "\n";
  return Shell::Ready;
}

void CGuiApplication::startWindow() {
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(app::kProductName);
  QApplication::setWindowIcon(appIcon("app_disconnected.svg"));
  whileLoading([this] { shell_->openConnection(); });
  window_ = std::make_unique<DialogKovalBase>(*shell_);

  if (!shell_->fileWarnings().empty()) {
    std::string text = "Some configuration files could not be read in full:\n";
    for (const std::string& line : shell_->fileWarnings()) text += "\n" + line;
    text += "\n\nBefore such a file is next saved it is kept beside it as NAME.damaged-DATE.";
    window_->onMessage(text);
  }
  std::string error;
  if (!shell_->startServices(error)) {
    window_->onMessage(error);
    if (!shell_->service().running()) window_->onStatus(app::tr("Start local service failed."));
  }
  shell_->detectNetwork(/*wait=*/false);
  for (const auto& line : shell_->takeReport()) std::cerr << "vantor: " << line << "\n";

  if (!shell_->serveControl({}, error)) std::cerr << "vantor: no control endpoint: " << error << "\n";

  window_->show();
  placeTraffic(*window_);
  window_->loadNodeList();
}

void CGuiApplication::finish() {
  if (finished_ || !shell_->connectionOpen()) return;
  finished_ = true;
  shell_->instance().stop();
  shell_->undoHostChanges();
  for (const auto& line : shell_->takeReport()) std::cerr << "vantor: " << line << "\n";
  shell_->service().waitForSessions(1000);
  // The widgets go while the QApplication still exists; the controller
  // (and its threads) with them, so no report comes after the window.
  window_.reset();
  shell_->closeConnection();
}

int runGui() {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
    std::cerr << "vantor: no display (DISPLAY is not set); on a console use `vantor connect`\n";
    return 1;
  }
  // Before any thread exists: SIGINT and SIGTERM are taken by one thread,
  // which asks the window to exit.
  app::blockTerminationSignals();
  CGuiApplication program;
  CGuiApplication::Shell shell = program.startShell();
  if (shell == CGuiApplication::Shell::AlreadyRunning) return 0;  // the first one shows itself
  QApplication qt(gArgc, gArgv);
  if (shell == CGuiApplication::Shell::Failed) {
    QMessageBox::critical(nullptr, productTitle(), U(program.error()));
    return 1;
  }
  program.startWindow();
  std::atomic<bool> stopWatch{false};
  std::thread signalWatch([&] {
    while (!stopWatch) {
      if (app::waitTerminationSignalFor(200) != 0) {
        program.core().requestExit();
        return;
      }
    }
  });
  int rc = QApplication::exec();
  stopWatch = true;
  signalWatch.join();
  program.finish();
  return rc;
}

// ---- screenshots -------------------------------------------------------------

namespace {

bool saveShot(QWidget* widget, const QDir& dir, const QString& name) {
  widget->show();
  widget->raise();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  QPixmap shot = widget->grab();
  QString path = dir.filePath(name + ".png");
  bool ok = !shot.isNull() && shot.save(path, "PNG");
  std::cout << (ok ? "wrote " : "could not write ") << path.toStdString() << "\n";
  widget->hide();
  return ok;
}

}  // namespace

int renderScreenshots(const std::string& dirText) {
  chooseOffscreenWithoutDisplay();
  QApplication qt(gArgc, gArgv);
  QDir dir(QString::fromStdString(dirText));
  if (!dir.mkpath(".")) {
    std::cerr << "vantor: cannot create " << dirText << "\n";
    return 1;
  }
  // The stored configuration, read only: no instance lock, no services, no
  // change on the host.
  app::initLanguage(paths::langDir(), paths::configFile("language.ini"));
  app::CVexorApp core;
  std::string error;
  core.settings().load(error);
  core.catalogue().nodes().loadNodes();
  core.catalogue().subscriptions().loadSubscriptions();
  core.catalogue().events().loadEvents();
  core.openConnection();

  DialogKovalBase window(core, [] { return true; });
  window.trayIcon()->hide();
  window.setProbing(false);
  window.refreshList(-1);
  window.onStatus(app::tr("Ready!"));

  bool ok = saveShot(&window, dir, "main_window");
  window.show();
  ok &= saveShot(window.trafficWindow(), dir, "traffic_window");
  CLoadingDialog loading;
  ok &= saveShot(&loading, dir, "loading");

  CNodeInfo* socks = nullptr;
  CNodeInfo* ss = nullptr;
  for (CNodeInfo* node : core.catalogue().nodes().nodes()) {
    if (!ss && node->isShadowsocks()) ss = node;
    if (!socks && !node->isShadowsocks()) socks = node;
  }
  CSocksNodeDialog socksDialog(&window, socks);
  ok &= saveShot(&socksDialog, dir, "dialog_socks_node");
  CSSNodeDialog ssDialog(&window, ss);
  ok &= saveShot(&ssDialog, dir, "dialog_ss_node");
  CLinkDialog link(&window);
  ok &= saveShot(&link, dir, "dialog_link");
  CNodeInfo* shown = ss ? ss : socks;
  CNodeLinkDialog nodeLink(&window, shown ? U(shown->groupedDisplayText()) : QString(),
                           shown ? U(core.catalogue().nodeLink(shown->id)) : QString("ss://"));
  ok &= saveShot(&nodeLink, dir, "dialog_node_link");
  CBatchLinkDialog batch(&window, core);
  ok &= saveShot(&batch, dir, "dialog_batch_links");
  CSettingsDialog settingsDialog(&window, core);
  ok &= saveShot(&settingsDialog, dir, "dialog_settings");
  CAdditionalRouteDialog routes(&window, core);
  ok &= saveShot(&routes, dir, "dialog_additional_routes");
  CEventsDialog events(&window, core);
  ok &= saveShot(&events, dir, "dialog_events");
  CSubscriptionsDialog subscriptions(&window, core);
  ok &= saveShot(&subscriptions, dir, "dialog_subscriptions");
  std::vector<SSRSubscription> list = core.catalogue().subscriptions().list();
  CSubscriptionEditDialog editSubscription(&window, core, list.empty() ? std::string() : list.front().url);
  ok &= saveShot(&editSubscription, dir, "dialog_subscription_edit");

  CNodeTestWindow test(&window, core);
  test.appendLine(T("Testing started."), 1);
  test.appendLine(T("TCP transmission...Passed!"), 2);
  test.appendLine(T("UDP relay...Unpassed!"), 3);
  ok &= saveShot(&test, dir, "test_window");
  window.openLogs();
  ok &= saveShot(window.logWindow(), dir, "action_logs");
  window.updateTrayMenu();
  ok &= saveShot(window.trayMenu(), dir, "tray_menu");
  QMessageBox about(QMessageBox::NoIcon, T("About Vantor"), aboutText(), QMessageBox::Ok, &window);
  about.setIconPixmap(appIcon("app_connected.svg").pixmap(48, 48));
  ok &= saveShot(&about, dir, "about");
  return ok ? 0 : 1;
}

}  // namespace vantor::ui
