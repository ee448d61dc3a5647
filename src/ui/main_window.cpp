#include "ui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <future>

#include "app/i18n.h"
#include "app/startup.h"
#include "ui/manage_dialogs.h"
#include "ui/node_dialogs.h"
#include "ui/node_link_dialog.h"
#include "ui/node_list_model.h"
#include "ui/settings_dialog.h"
#include "ui/test_window.h"
#include "ui/traffic_window.h"
#include "ui/ui_common.h"

namespace vantor::ui {
namespace {

// Rows of the node list are 20 pixels high (or what the font needs).
class RowHeight : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    return {size.width(), std::max(size.height(), 20)};
  }
};
// A group header passed to the connect command: no node has this id, so the
// controller answers "Please select a proxy first.".
constexpr int32_t kNoSuchNode = INT32_MAX;

// The node file after every change; a failure is shown (at exit: printed).
void saveNodes(app::CVexorApp& core, QWidget* parent) {
  std::string error;
  if (core.catalogue().nodes().saveNodes(&error)) return;
  if (parent)
    ui::showMessage(parent, U(error));
  else
    std::fprintf(stderr, "vantor: %s\n", error.c_str());
}

// Confirming a node dialog puts the node's own additional address on the
// route list as a direct route.
void noteAdditionalRoute(app::CVexorApp& core, const NodeParams& params) {
  if (params.AdditionalRoute.empty()) return;
  CAdditionalRouteMgr& routes = core.catalogue().routes();
  if (routes.contains(params.AdditionalRoute)) return;
  if (routes.add(params.AdditionalRoute, CAdditionalRouteMgr::kDirect)) routes.save();
}

// A group or node name as a menu entry: "&" is text, not a shortcut mark.
QString menuText(QString text) { return text.replace('&', "&&"); }

std::string importStatus(int added, int refused) {
  std::string result = "Added " + std::to_string(added) + " nodes";
  if (refused > 0) result += ", " + std::to_string(refused) + " links not added";
  return result + ".";
}

}  // namespace

DialogKovalBase::DialogKovalBase(app::CVexorApp& core, TrayProbe trayAvailable, QWidget* parent)
    : QMainWindow(parent), core_(core), trayAvailable_(std::move(trayAvailable)) {
  if (!trayAvailable_) trayAvailable_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  setWindowTitle(productTitle());
  setWindowIcon(appIcon("app_disconnected.svg"));
  buildWidgets();
  buildMenus();
  buildTray();
  traffic_ = new CTrafficWindow(this, core_, [this] { return state_; });
  keepWindowsOnScreen();
  fillModes();
  updateEntryStates();
  core_.catalogue().events().setNotifier(this);
  // The core's events come to the GUI thread: a post from this thread is
  // handled at once, one from another thread queues a drain here. The
  // receiver of the queued call is the application, which outlives this
  // window; the guard drops drains that arrive after it.
  QPointer<DialogKovalBase> self(this);
  core_.events().setWake([self, gui = thread()] {
    if (QThread::currentThread() == gui) {
      if (self) self->drainEvents();
      return;
    }
    QMetaObject::invokeMethod(
        qApp,
        [self] {
          if (self) self->drainEvents();
        },
        Qt::QueuedConnection);
  });
  drainEvents();  // what the core reported before this window existed
}

DialogKovalBase::~DialogKovalBase() {
  core_.events().setWake({});
  core_.catalogue().events().setNotifier(nullptr);
}

void DialogKovalBase::drainEvents() {
  core_.events().drain([this](const app::CoreEvent& event) { handleEvent(event); });
}

void DialogKovalBase::handleEvent(const app::CoreEvent& event) {
  // The core's events are drained on the GUI thread only (see the wake in
  // the constructor); a delivery elsewhere is counted for the tests.
  if (QThread::currentThread() != thread()) ++eventsOffGui_;
  switch (event.kind) {
    case app::CoreEvent::kState:
      onStateChanged(event.state);
      break;
    case app::CoreEvent::kStatus:
      onStatus(event.text);
      break;
    case app::CoreEvent::kMessage:
      onMessage(event.text);
      break;
    case app::CoreEvent::kButton:
      onButton(event.text, event.tooltip);
      break;
    case app::CoreEvent::kControlsEnabled:
      onControlsEnabled(event.flag);
      break;
    case app::CoreEvent::kSummary:
      onSummary(event.summary);
      break;
    case app::CoreEvent::kUdpWarning:
      onUdpWarning(event.flag, event.tooltip);
      break;
    case app::CoreEvent::kShowWindow:
      onShowWindow();
      break;
    case app::CoreEvent::kHideWindow:
      onHideWindow();
      break;
    case app::CoreEvent::kExitRequested:
      exitProgram();
      break;
    case app::CoreEvent::kCatalogueChanged:
      // A background refresh changed the nodes: the list shows them when
      // the user is not in the middle of picking.
      if (listLoaded_ && !filling_) refreshList(currentNodeId());
      break;
  }
}

void DialogKovalBase::buildWidgets() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(10, 10, 10, 6);
  layout->setSpacing(8);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(4);
  struct ButtonSpec {
    const char* icon;
    const char* tooltip;
    void (DialogKovalBase::*command)();
  };
  const ButtonSpec specs[] = {
      {"add.svg", N_("Add new proxy"), nullptr},
      {"delete.svg", N_("Delete current proxy"), &DialogKovalBase::deleteCurrentNode},
      {"edit.svg", N_("Edit current proxy"), &DialogKovalBase::editCurrentNode},
      {"test.svg", N_("Test current proxy"), &DialogKovalBase::testCurrentNode},
      {"menu.svg", N_("Popup menu"), nullptr},
      {"exit.svg", N_("Exit program"), &DialogKovalBase::exitProgram},
  };
  for (const ButtonSpec& spec : specs) {
    auto* button = new QToolButton(central);
    button->setIcon(appIcon(spec.icon));
    button->setIconSize(QSize(26, 26));
    button->setAutoRaise(true);
    button->setToolTip(T(spec.tooltip));
    if (spec.command) connect(button, &QToolButton::clicked, this, spec.command);
    actionButtons_.append(button);
    buttons->addWidget(button);
    if (actionButtons_.size() == 4) buttons->addStretch(1);
  }
  layout->addLayout(buttons);

  nodeList_ = new QTreeView(central);
  model_ = new CNodeListModel(this);
  nodeList_->setModel(model_);
  nodeList_->setItemDelegate(new RowHeight(nodeList_));
  nodeList_->header()->setStretchLastSection(false);
  nodeList_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  nodeList_->header()->setSectionResizeMode(1, QHeaderView::Fixed);
  nodeList_->header()->resizeSection(1, 84);
  nodeList_->setRootIsDecorated(true);
  nodeList_->setUniformRowHeights(true);
  nodeList_->setIconSize(QSize(16, 11));
  nodeList_->setAlternatingRowColors(true);
  nodeList_->setSelectionMode(QAbstractItemView::SingleSelection);
  nodeList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  connect(nodeList_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { pickNode(current); });
  connect(nodeList_, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
    if (model_->nodeId(index) >= 0) editCurrentNode();
  });
  nodeList_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(nodeList_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    bool onNode = currentNodeId() >= 0;
    for (QAction* a : nodeEntries_) a->setEnabled(onNode);
    nodeMenu_->popup(nodeList_->viewport()->mapToGlobal(at));
  });
  // Over an empty list: how nodes come in.
  emptyHint_ = new QLabel(T("No nodes yet: add one with the + button, paste links with Ctrl+V, or add a subscription."),
                          nodeList_->viewport());
  emptyHint_->setWordWrap(true);
  emptyHint_->setAlignment(Qt::AlignCenter);
  emptyHint_->setForegroundRole(QPalette::PlaceholderText);
  emptyHint_->setMargin(16);
  auto* hintLayout = new QVBoxLayout(nodeList_->viewport());
  hintLayout->addWidget(emptyHint_);
  layout->addWidget(nodeList_, 1);

  auto* modeRow = new QHBoxLayout;
  auto* modeLabel = new QLabel(T("Proxy mode:"), central);
  modeList_ = new QComboBox(central);
  modeList_->setMinimumContentsLength(18);
  modeLabel->setBuddy(modeList_);
  connect(modeList_, &QComboBox::activated, this, &DialogKovalBase::chooseMode);
  modeRow->addWidget(modeLabel);
  modeRow->addWidget(modeList_, 1);
  layout->addLayout(modeRow);

  connectButton_ = new QPushButton(T("CONNECT"), central);
  connectButton_->setToolTip(T("Connect to proxy"));
  connectButton_->setMinimumHeight(40);
  QFont big = connectButton_->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.25);
  connectButton_->setFont(big);
  connect(connectButton_, &QPushButton::clicked, this, &DialogKovalBase::toggleConnection);
  layout->addWidget(connectButton_);

  setCentralWidget(central);

  statusLine_ = new QLabel(T("Ready!"), this);
  statusLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  udpWarning_ = new QLabel(this);
  udpWarning_->setPixmap(appIcon("udp_warning.svg").pixmap(16, 16));
  udpWarning_->hide();
  auto* about = new QToolButton(this);
  about->setText(T("About"));
  about->setAutoRaise(true);
  connect(about, &QToolButton::clicked, this, &DialogKovalBase::openAbout);
  statusBar()->addWidget(statusLine_, 1);
  statusBar()->addPermanentWidget(udpWarning_);
  statusBar()->addPermanentWidget(about);
  resize(420, 560);
}

void DialogKovalBase::buildMenus() {
  addMenu_ = new QMenu(this);
  addMenu_->addAction(T("Add SOCKS Proxy..."), this, &DialogKovalBase::addSocksNode);
  addMenu_->addAction(T("Add SS/SSR proxy..."), this, &DialogKovalBase::addShadowsocksNode);
  addMenu_->addAction(T("Batch Add SS/SSR proxy from link..."), this, &DialogKovalBase::batchAddNodes);
  // Ctrl+V works where the focus is on the list, and the menu shows it.
  importEntry_ = new QAction(T("Import links from clipboard"), this);
  importEntry_->setShortcut(QKeySequence::Paste);
  importEntry_->setShortcutContext(Qt::WidgetShortcut);
  connect(importEntry_, &QAction::triggered, this, &DialogKovalBase::importFromClipboard);
  nodeList_->addAction(importEntry_);
  addMenu_->addAction(importEntry_);
  addMenu_->addSeparator();
  addMenu_->addAction(T("SSR Subscriptions management..."), this, &DialogKovalBase::openSubscriptions);

  popupMenu_ = new QMenu(this);
  settingsEntries_ << popupMenu_->addAction(T("Settings..."), this, &DialogKovalBase::openSettings);
  routeEntries_ << popupMenu_->addAction(T("Additional route management..."), this,
                                         &DialogKovalBase::openAdditionalRoutes);
  popupMenu_->addAction(T("Events management..."), this, &DialogKovalBase::openEvents);
  popupMenu_->addAction(T("Show logs..."), this, &DialogKovalBase::openLogs);
  exitEntries_ << popupMenu_->addAction(T("Exit"), this, &DialogKovalBase::exitProgram);

  trayMenu_ = new QMenu(this);
  trayMenu_->addAction(T("Show main window..."), this, &DialogKovalBase::restoreWindow);
  trayMenu_->addSeparator();
  trayConnect_ = trayMenu_->addAction(T("Connect"), this, &DialogKovalBase::toggleConnection);
  trayModes_ = trayMenu_->addMenu(T("Proxy mode"));
  trayNodes_ = trayMenu_->addMenu(T("Node"));
  trayMenu_->addSeparator();
  settingsEntries_ << trayMenu_->addAction(T("Settings..."), this, &DialogKovalBase::openSettings);
  trayMenu_->addAction(T("Events management..."), this, &DialogKovalBase::openEvents);
  exitEntries_ << trayMenu_->addAction(T("Exit"), this, &DialogKovalBase::exitProgram);

  nodeMenu_ = new QMenu(this);
  nodeEntries_ << nodeMenu_->addAction(T("Show link / QR code..."), this, &DialogKovalBase::showNodeLink);
  nodeEntries_ << nodeMenu_->addAction(T("Copy link"), this, &DialogKovalBase::copyNodeLink);
  nodeMenu_->addSeparator();
  nodeEntries_ << nodeMenu_->addAction(T("Edit current proxy"), this, &DialogKovalBase::editCurrentNode);
  nodeEntries_ << nodeMenu_->addAction(T("Test current proxy"), this, &DialogKovalBase::testCurrentNode);
  nodeEntries_ << nodeMenu_->addAction(T("Delete current proxy"), this, &DialogKovalBase::deleteCurrentNode);

  for (QMenu* menu : {addMenu_, popupMenu_, trayMenu_})
    connect(menu, &QMenu::aboutToShow, this, &DialogKovalBase::updateEntryStates);
  connect(trayMenu_, &QMenu::aboutToShow, this, &DialogKovalBase::updateTrayMenu);
  connect(actionButtons_[0], &QToolButton::clicked, this, [this] { popupAtCursor(addMenu_); });
  connect(actionButtons_[4], &QToolButton::clicked, this, [this] { popupAtCursor(popupMenu_); });
}

void DialogKovalBase::buildTray() {
  tray_ = new QSystemTrayIcon(appIcon("app_disconnected.svg"), this);
  tray_->setContextMenu(trayMenu_);
  tray_->setToolTip(U(app::trayTooltip(app::StatusSummary{})));
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) restoreWindow();
  });
  tray_->show();
}

void DialogKovalBase::fillModes() {
  modeList_->clear();
  for (const ProxyMode& mode : core_.catalogue().modes().modes()) modeList_->addItem(modeName(mode));
  if (modeList_->count() > 0) modeList_->setCurrentIndex(0);
}

void DialogKovalBase::updateEntryStates() {
  bool busy = state_ == app::kConnected || state_ == app::kConnecting;
  for (QAction* a : settingsEntries_) a->setEnabled(listLoaded_ && !busy);
  for (QAction* a : routeEntries_) a->setEnabled(listLoaded_ && !busy);
  for (QAction* a : exitEntries_) a->setEnabled(listLoaded_);
}

void DialogKovalBase::updateTrayEntries() {
  bool connected = state_ == app::kConnected;
  trayConnect_->setText(connected ? T("Disconnect") : T("Connect"));
  // Half-way there is nothing to toggle: the controller ignores it.
  trayConnect_->setEnabled(state_ == app::kIdle || connected);
  trayModes_->setEnabled(controlsEnabled_);
  trayNodes_->setEnabled(controlsEnabled_ && model_->nodeCount() > 0);
}

void DialogKovalBase::updateTrayMenu() {
  fillTrayModes();
  fillTrayNodes();
  updateTrayEntries();
}

void DialogKovalBase::fillTrayModes() {
  trayModes_->clear();
  auto* choices = new QActionGroup(trayModes_);
  for (int i = 0; i < modeList_->count(); ++i) {
    QAction* mode = trayModes_->addAction(menuText(modeList_->itemText(i)));
    mode->setCheckable(true);
    mode->setChecked(i == modeList_->currentIndex());
    mode->setActionGroup(choices);
    connect(mode, &QAction::triggered, this, [this, i] { chooseMode(i); });
  }
}

void DialogKovalBase::fillTrayNodes() {
  // The submenus go with their entries; the tray menu is closed while this
  // runs (it runs as the menu opens).
  for (QMenu* group : trayGroups_) delete group;
  trayGroups_.clear();
  trayNodes_->clear();
  const std::vector<NodeGroup>& groups = model_->groups();
  for (std::size_t g = 0; g < groups.size(); ++g) {
    QString title = model_->data(model_->index(static_cast<int>(g), 0), Qt::DisplayRole).toString();
    QMenu* menu = trayNodes_->addMenu(menuText(title));
    trayGroups_ << menu;
    // A group's entries are made when it opens: a catalogue of thousands
    // of nodes would otherwise cost thousands of entries at every opening.
    connect(menu, &QMenu::aboutToShow, this, [this, menu, g, name = groups[g].name] {
      if (!menu->isEmpty()) return;
      const std::vector<NodeGroup>& now = model_->groups();
      if (g >= now.size() || now[g].name != name) return;  // the list changed since
      int32_t current = currentNodeId();
      if (current < 0) current = core_.catalogue().nodes().selectedId();
      auto* choices = new QActionGroup(menu);
      for (const NodeListItem& item : now[g].items) {
        QAction* node = menu->addAction(menuText(U(item.text)));
        node->setCheckable(true);
        node->setChecked(item.id == current);
        node->setActionGroup(choices);
        connect(node, &QAction::triggered, this, [this, id = item.id] { chooseNode(id); });
      }
    });
  }
}

void DialogKovalBase::popupAtCursor(QMenu* menu) {
  raise();
  activateWindow();
  updateEntryStates();
  menu->popup(QCursor::pos());
}

void DialogKovalBase::onGui(std::function<void()> fn) {
  if (QThread::currentThread() == thread())
    fn();
  else
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

// ---- the node list -----------------------------------------------------------

void DialogKovalBase::loadNodeList() {
  refreshList(-1);
  if (listLoaded_) return;
  core_.armDelayedConnect();
  core_.startNetworkMonitor();
  listLoaded_ = true;
  updateEntryStates();
  // armDelayedConnect selected the last used node in the store.
  refreshList(core_.catalogue().nodes().selectedId());
}

void DialogKovalBase::refreshList(int32_t idToSelect) {
  CNodeMgr& store = core_.catalogue().nodes();
  int32_t highlight = store.refresh(idToSelect < 0 ? -1 : idToSelect, probing_);
  filling_ = true;
  model_->setGroups(store.groupedNodes());
  emptyHint_->setVisible(model_->nodeCount() == 0);
  updateTrayEntries();
  // Group by group: expandAll() walks every node row and costs much more.
  for (int g = 0; g < model_->rowCount(); ++g) nodeList_->expand(model_->index(g, 0));
  QModelIndex current = model_->indexOfNode(highlight);
  if (current.isValid()) {
    nodeList_->setCurrentIndex(current);
    nodeList_->scrollTo(current);
  }
  filling_ = false;
}

int32_t DialogKovalBase::currentNodeId() const { return model_->nodeId(nodeList_->currentIndex()); }

void DialogKovalBase::pickEntry(const QModelIndex& index) { nodeList_->setCurrentIndex(index); }

void DialogKovalBase::pickNode(const QModelIndex& index) {
  if (filling_) return;
  int32_t id = model_->nodeId(index);
  if (id < 0) return;
  core_.catalogue().nodes().select(id);
  std::string error;
  core_.settings().change([id](Settings& s) { s.LastUsedNodeId = id; });
  core_.settings().save(error);
}

void DialogKovalBase::chooseNode(int32_t id) {
  QModelIndex entry = model_->indexOfNode(id);
  if (!entry.isValid() || !controlsEnabled_) return;
  pickEntry(entry);
  nodeList_->scrollTo(entry);
}

void DialogKovalBase::chooseMode(int index) {
  if (index < 0 || index >= modeList_->count() || !controlsEnabled_) return;
  modeList_->setCurrentIndex(index);
  std::string error;
  core_.settings().change([index](Settings& s) { s.last_proxymode_index = index; });
  core_.settings().save(error);
}

void DialogKovalBase::followConnectedNode() {
  int32_t id = -1;
  if (state_ == app::kConnected && core_.connectionOpen()) id = core_.controller().snapshot().connectedId;
  model_->setConnectedNode(id);
}

void DialogKovalBase::showTestResults() {
  if (!testWindow_) return;
  CNodeMgr& store = core_.catalogue().nodes();
  for (int32_t id : testWindow_->nodeIds())
    if (CNodeInfo* node = store.find(id)) model_->setTestResult(id, node->Latency.load(), node->lastTestResult.load());
}

void DialogKovalBase::afterNodeChange(int32_t idToSelect) {
  saveNodes(core_, this);
  refreshList(idToSelect);
}

// ---- commands ----------------------------------------------------------------

void DialogKovalBase::addNode(CNodeDialog& dialog) {
  if (dialog.exec() != QDialog::Accepted) return;
  noteAdditionalRoute(core_, dialog.params());
  CNodeInfo* node = core_.catalogue().nodes().add(dialog.params());
  afterNodeChange(node ? node->id : -1);
}

void DialogKovalBase::addSocksNode() {
  CSocksNodeDialog dialog(this, nullptr);
  addNode(dialog);
}

void DialogKovalBase::addShadowsocksNode() {
  CSSNodeDialog dialog(this, nullptr);
  addNode(dialog);
}

void DialogKovalBase::batchAddNodes() {
  CBatchLinkDialog dialog(this, core_);
  if (dialog.exec() != QDialog::Accepted) return;
  afterNodeChange(-1);
  onStatus(importStatus(dialog.added(), dialog.refused()));
}

void DialogKovalBase::importFromClipboard() {
  if (!controlsEnabled_) return;
  std::string text = S(QGuiApplication::clipboard()->text());
  if (text.find_first_not_of(" \t\r\n,") == std::string::npos) {
    ui::showMessage(this, T("The clipboard holds no links."));
    return;
  }
  CNodeMgr::ImportReport report = core_.catalogue().nodes().importLinks(text);
  if (report.added > 0) afterNodeChange(-1);
  if (!report.refused.empty()) ui::showMessage(this, importReportText(report));
  onStatus(importStatus(report.added, static_cast<int>(report.refused.size())));
}

void DialogKovalBase::showNodeLink() {
  int32_t id = currentNodeId();
  CNodeInfo* node = id < 0 ? nullptr : core_.catalogue().nodes().find(id);
  if (!node) return;
  std::string link = core_.catalogue().nodeLink(id);
  if (link.empty()) {
    ui::showMessage(this, T("No link describes a node of this kind."));
    return;
  }
  if (linkDialog_) linkDialog_->close();  // one at a time
  auto* dialog = new CNodeLinkDialog(this, U(node->groupedDisplayText()), U(link));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  linkDialog_ = dialog;
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
}

void DialogKovalBase::copyNodeLink() {
  int32_t id = currentNodeId();
  if (id < 0) return;
  std::string link = core_.catalogue().nodeLink(id);
  if (link.empty()) {
    ui::showMessage(this, T("No link describes a node of this kind."));
    return;
  }
  QGuiApplication::clipboard()->setText(U(link));
  onStatus(S(T("The node's link is on the clipboard.")));
}

void DialogKovalBase::editCurrentNode() {
  int32_t id = currentNodeId();
  CNodeInfo* node = id < 0 ? nullptr : core_.catalogue().nodes().find(id);
  if (!node) return;
  std::unique_ptr<CNodeDialog> dialog;
  if (node->isShadowsocks())
    dialog = std::make_unique<CSSNodeDialog>(this, node);
  else
    dialog = std::make_unique<CSocksNodeDialog>(this, node);
  if (dialog->exec() != QDialog::Accepted) return;
  noteAdditionalRoute(core_, dialog->params());
  core_.catalogue().nodes().update(id, dialog->params());
  afterNodeChange(id);
}

void DialogKovalBase::deleteCurrentNode() {
  QModelIndex current = nodeList_->currentIndex();
  int32_t id = model_->nodeId(current);
  if (id < 0) return;
  // The entry that takes the deleted one's place: the next node below it,
  // else the one above, in any group.
  int32_t next = model_->nodeAfter(current);
  if (next < 0) next = model_->nodeBefore(current);
  CNodeMgr& store = core_.catalogue().nodes();
  store.remove(id);
  saveNodes(core_, this);
  if (next >= 0)
    store.select(next);
  else
    store.validateSelection();
  refreshList(next >= 0 ? next : -2);
  if (next < 0) nodeList_->setCurrentIndex({});
}

void DialogKovalBase::testCurrentNode() {
  int32_t id = currentNodeId();
  CNodeInfo* node = id < 0 ? nullptr : core_.catalogue().nodes().find(id);
  if (!node) return;
  if (!testWindow_) {
    testWindow_ = new CNodeTestWindow(this, core_);
    connect(testWindow_, &CNodeTestWindow::runFinished, this, &DialogKovalBase::showTestResults);
  }
  // Beside the main window: left edge at its right edge, same top and
  // height. Where the screen ends first it goes on the left side, and it
  // never reaches beyond the screen.
  QRect frame = frameGeometry();
  QMargins border = windowFrame(testWindow_);
  QRect area = screen()->availableGeometry();
  testWindow_->resize(testWindow_->width(), std::min(height(), area.height() - border.top() - border.bottom()));
  int outerWidth = testWindow_->width() + border.left() + border.right();
  int x = frame.right() + 1;
  if (x + outerWidth - 1 > area.right() && frame.left() - outerWidth >= area.left()) x = frame.left() - outerWidth;
  testWindow_->move(x, frame.top());  // kept inside the screen as it is shown
  testWindow_->show();
  testWindow_->raise();
  testWindow_->startTests({node}, CNodeTestRunner::kChoiceBoth);
}

void DialogKovalBase::openSettings() {
  if (!listLoaded_ || state_ == app::kConnected || state_ == app::kConnecting) return;
  CSettingsDialog dialog(this, core_);
  dialog.exec();
}

void DialogKovalBase::openAdditionalRoutes() {
  if (!listLoaded_ || state_ == app::kConnected || state_ == app::kConnecting) return;
  CAdditionalRouteDialog dialog(this, core_);
  dialog.exec();
}

void DialogKovalBase::openEvents() {
  CEventsDialog dialog(this, core_);
  dialog.exec();
}

void DialogKovalBase::openSubscriptions() {
  CSubscriptionsDialog dialog(this, core_);
  dialog.exec();
  refreshList(-1);
}

QWidget* DialogKovalBase::logWindow() const { return logWindow_.data(); }

void DialogKovalBase::openLogs() {
  if (!logWindow_) {
    auto* window = new QWidget(this, Qt::Window);
    window->setWindowTitle(T("Action logs"));
    auto* layout = new QVBoxLayout(window);
    log_ = new QPlainTextEdit(window);
    log_->setReadOnly(true);
    log_->setPlainText(logLines_.join('\n'));
    layout->addWidget(log_);
    auto* close = new QPushButton(T("Close"), window);
    connect(close, &QPushButton::clicked, window, &QWidget::close);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(close);
    layout->addLayout(row);
    window->resize(560, 360);
    logWindow_ = window;
  }
  logWindow_->show();
  logWindow_->raise();
  logWindow_->activateWindow();
}

void DialogKovalBase::openAbout() { QMessageBox::about(this, T("About Vantor"), aboutText()); }

void DialogKovalBase::exitProgram() {
  if (!listLoaded_ || exiting_) return;
  exiting_ = true;
  hide();
  if (testWindow_) testWindow_->hide();
  traffic_->hide();
  tray_->hide();
  core_.exitConnection();
  saveNodes(core_, nullptr);
  QApplication::quit();
}

void DialogKovalBase::restoreWindow() {
  showNormal();
  show();
  // The traffic window went away with this one (hidden to the tray, or
  // minimised by the window manager with the window it belongs to).
  if (trafficAway_ || traffic_->isMinimized()) {
    trafficAway_ = false;
    traffic_->showNormal();
    traffic_->raise();
  }
  raise();
  activateWindow();
  setFocus();
}

void DialogKovalBase::toggleConnection() {
  QModelIndex current = nodeList_->currentIndex();
  int32_t id = -1;
  if (current.isValid()) id = model_->nodeId(current) >= 0 ? model_->nodeId(current) : kNoSuchNode;
  int mode = modeList_->currentIndex();
  core_.toggle(id, mode);
}

// ---- closing -----------------------------------------------------------------

void DialogKovalBase::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    event->accept();
    return;
  }
  event->ignore();
  closeToTray();
}

void DialogKovalBase::closeToTray() {
  // Without a tray the icon is nowhere to be clicked: the window stays in
  // the task list, minimised.
  if (!trayAvailable_()) {
    showMinimized();
    return;
  }
  // The traffic window goes with it and comes back with it.
  if (traffic_->isVisible()) {
    trafficAway_ = true;
    traffic_->hide();
  }
  showMinimized();
  hide();
  if (!noticeShown_) {
    noticeShown_ = true;
    ++balloons_;
    tray_->showMessage(T("%s is minimized to system tray").replace("%s", app::kProductName),
                       T("You can restore it with double-click or context menu"), QSystemTrayIcon::Information,
                       10 * 1000);
  }
  emit windowHidden();
}

// ---- the controller's reports ------------------------------------------------

void DialogKovalBase::onStatus(const std::string& text) {
  onGui([this, line = U(text)] {
    statusLine_->setText(line);
    QString stamped = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss  ") + line;
    logLines_.append(stamped);
    if (log_) log_->appendPlainText(stamped);
  });
}

void DialogKovalBase::onMessage(const std::string& text) {
  onGui([this, line = U(text)] { ui::showMessage(isVisible() ? this : nullptr, line); });
}

void DialogKovalBase::onStateChanged(int state) {
  onGui([this, state] {
    state_ = state;
    updateEntryStates();
    updateTrayEntries();
    followConnectedNode();
  });
}

void DialogKovalBase::onButton(const std::string& text, const std::string& tooltip) {
  onGui([this, t = U(text), tip = U(tooltip)] {
    connectButton_->setText(t);
    connectButton_->setToolTip(tip);
  });
}

void DialogKovalBase::onControlsEnabled(bool enabled) {
  onGui([this, enabled] {
    controlsEnabled_ = enabled;
    updateTrayEntries();
    nodeList_->setEnabled(enabled);
    modeList_->setEnabled(enabled);
    for (QToolButton* b : actionButtons_) b->setEnabled(enabled);
  });
}

void DialogKovalBase::onSummary(const app::StatusSummary& summary) {
  onGui([this, summary] {
    app::StatusSummary shown = summary;
    // The mode line names the mode as the selector does.
    if (summary.connected) {
      shown.modeLine = app::tr("Mode: %s");
      auto at = shown.modeLine.find("%s");
      if (at != std::string::npos) shown.modeLine.replace(at, 2, S(modeName(core_.catalogue().modes().currentMode())));
    }
    tray_->setToolTip(U(app::trayTooltip(shown)));
    QIcon icon = appIcon(summary.connected ? "app_connected.svg" : "app_disconnected.svg");
    tray_->setIcon(icon);
    setWindowIcon(icon);
  });
}

void DialogKovalBase::onUdpWarning(bool visible, const std::string& tooltip) {
  onGui([this, visible, tip = U(tooltip)] {
    udpWarning_->setToolTip(tip);
    udpWarning_->setVisible(visible);
  });
}

void DialogKovalBase::onHideWindow() {
  onGui([this] { closeToTray(); });
}

void DialogKovalBase::onShowWindow() {
  onGui([this] { restoreWindow(); });
}

void DialogKovalBase::showMessage(const std::string& message) {
  if (QThread::currentThread() == thread()) {
    QMessageBox::information(nullptr, productTitle(), U(message));
    return;
  }
  // The event action waits on its worker thread until the box is closed.
  auto seen = std::make_shared<std::promise<void>>();
  std::future<void> closed = seen->get_future();
  QMetaObject::invokeMethod(
      this,
      [this, seen, text = U(message)] {
        auto* box = new QMessageBox(QMessageBox::Information, productTitle(), text, QMessageBox::Ok,
                                    isVisible() ? this : nullptr);
        box->setAttribute(Qt::WA_DeleteOnClose);
        connect(box, &QObject::destroyed, this, [seen] { seen->set_value(); });
        box->show();
      },
      Qt::QueuedConnection);
  // At exit the GUI thread waits for this worker: stop waiting then.
  while (closed.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    if (exiting_) return;
}

}  // namespace vantor::ui
