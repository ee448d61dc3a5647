#include "ui/gui_app.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
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

#include "app/controller.h"
#include "app/i18n.h"
#include "app/program_backend.h"
#include "app/startup.h"
#include "catalogue/app_paths.h"
#include "catalogue/events.h"
#include "catalogue/node_mgr.h"
#include "catalogue/settings.h"
#include "catalogue/subscriptions.h"
#include "platform/signals.h"
#include "platform/termination_events.h"
#include "service/ss_manager.h"
#include "ui/main_window.h"
#include "ui/manage_dialogs.h"
#include "ui/node_dialogs.h"
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

CGuiApplication::CGuiApplication()
    : shell_(std::make_unique<app::CVexorApp>()), forward_(std::make_unique<CObserverRelay>()) {}

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
  whileLoading([this] { backend_ = std::make_unique<app::CProgramBackend>(); });
  controller_ = std::make_unique<app::CConnectionController>(*backend_, *forward_);
  window_ = std::make_unique<DialogKovalBase>(*controller_);
  forward_->to = window_.get();

  if (!shell_->fileWarnings().empty()) {
    std::string text = "Some configuration files could not be read in full:\n";
    for (const std::string& line : shell_->fileWarnings()) text += "\n" + line;
    text += "\n\nBefore such a file is next saved it is kept beside it as NAME.damaged-DATE.";
    window_->onMessage(text);
  }
  std::string error;
  if (!shell_->startServices(error)) {
    window_->onMessage(error);
    if (!CSSManager::instance().isServiceRunning()) window_->onStatus(app::tr("Start local service failed."));
  }
  app::NetworkFacts facts;
  backend_->detectConnections(facts);
  controller_->setNetworkFacts(facts);
  if (facts.tapCount < 1) controller_->startDriverReinstall();
  for (const auto& line : backend_->takeReport()) std::cerr << "vantor: " << line << "\n";

  DialogKovalBase* window = window_.get();
  app::CConnectionController* controller = controller_.get();
  if (!shell_->instance().serve(
          [window, controller](const std::string& verb, std::string& answer) {
            if (verb == "show") {
              window->onShowWindow();
              return true;
            }
            if (verb == "status") {
              answer = app::statusText(*controller);
              return true;
            }
            if (verb == "disconnect") {
              if (controller->disconnectCommand()) controller->waitForWorker(60000);
              answer = std::string("state: ") + app::stateName(controller->state()) + "\n";
              return true;
            }
            return false;
          },
          error))
    std::cerr << "vantor: no control endpoint: " << error << "\n";

  window_->show();
  placeTraffic(*window_);
  window_->loadNodeList();
}

void CGuiApplication::finish() {
  if (finished_ || !backend_) return;
  finished_ = true;
  shell_->instance().stop();
  backend_->undoHostChanges();
  for (const auto& line : backend_->takeReport()) std::cerr << "vantor: " << line << "\n";
  CSSManager::instance().waitForSessions(1000);
  // The widgets go while the QApplication still exists.
  forward_->to = nullptr;
  window_.reset();
  controller_.reset();
}

int runGui() {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
    std::cerr << "vantor: no display (DISPLAY is not set); on a console use `vantor connect`\n";
    return 1;
  }
  // Before any thread exists: SIGINT and SIGTERM are taken by one thread,
  // which asks the window to exit.
  platform::blockTerminationSignals();
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
      if (platform::waitTerminationSignalFor(200) != 0) {
        DialogKovalBase* window = program.window();
        QMetaObject::invokeMethod(
            window, [window] { window->exitProgram(); }, Qt::QueuedConnection);
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
  loadSettings();
  CNodeMgr::instance().loadNodes();
  CSubscriptionMgr::instance().loadSubscriptions();
  CEventMgr::instance().loadEvents();
  app::CProgramBackend backend;

  CObserverRelay quiet;  // no window to report to: the window below stays still
  app::CConnectionController controller(backend, quiet);
  DialogKovalBase window(controller, [] { return true; });
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
  for (CNodeInfo* node : CNodeMgr::instance().nodes()) {
    if (!ss && node->isShadowsocks()) ss = node;
    if (!socks && !node->isShadowsocks()) socks = node;
  }
  CSocksNodeDialog socksDialog(&window, socks);
  ok &= saveShot(&socksDialog, dir, "dialog_socks_node");
  CSSNodeDialog ssDialog(&window, ss);
  ok &= saveShot(&ssDialog, dir, "dialog_ss_node");
  CLinkDialog link(&window);
  ok &= saveShot(&link, dir, "dialog_link");
  CBatchLinkDialog batch(&window);
  ok &= saveShot(&batch, dir, "dialog_batch_links");
  CSettingsDialog settingsDialog(&window);
  ok &= saveShot(&settingsDialog, dir, "dialog_settings");
  CAdditionalRouteDialog routes(&window);
  ok &= saveShot(&routes, dir, "dialog_additional_routes");
  CEventsDialog events(&window);
  ok &= saveShot(&events, dir, "dialog_events");
  CSubscriptionsDialog subscriptions(&window);
  ok &= saveShot(&subscriptions, dir, "dialog_subscriptions");
  std::vector<SSRSubscription> list = CSubscriptionMgr::instance().list();
  CSubscriptionEditDialog editSubscription(&window, list.empty() ? std::string() : list.front().url);
  ok &= saveShot(&editSubscription, dir, "dialog_subscription_edit");

  CNodeTestWindow test(&window);
  test.appendLine(T("Testing started."), 1);
  test.appendLine(T("TCP transmission...Passed!"), 2);
  test.appendLine(T("UDP relay...Unpassed!"), 3);
  ok &= saveShot(&test, dir, "test_window");
  window.openLogs();
  ok &= saveShot(window.logWindow(), dir, "action_logs");
  QMessageBox about(QMessageBox::NoIcon, T("About Vantor"), aboutText(), QMessageBox::Ok, &window);
  about.setIconPixmap(appIcon("app_connected.svg").pixmap(48, 48));
  ok &= saveShot(&about, dir, "about");
  return ok ? 0 : 1;
}

}  // namespace vantor::ui
