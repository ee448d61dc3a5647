// The main window (DialogKovalBase): the grouped node list, the mode
// selector, the action buttons and their menus, the connect button, the
// status line and the UDP warning indicator; the tray icon with its menu,
// tooltip and the once-per-run notice; and the owner of the traffic window,
// the node test window and the action log. It drives the core (CVexorApp):
// the commands call the core, and the core's events are drained on the GUI
// thread (a post from another thread queues a drain to it).
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QSystemTrayIcon>

#include <atomic>
#include <functional>

#include "app/startup.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class QModelIndex;
class QTreeView;

namespace vantor::ui {

class CTrafficWindow;
class CNodeTestWindow;
class CNodeListModel;
class CNodeDialog;

class DialogKovalBase : public QMainWindow, public IEventNotifier {
  Q_OBJECT

 public:
  // The tray test is asked each time the window closes (a tray host may
  // come and go); tests give their own.
  using TrayProbe = std::function<bool()>;

  // The core's connection must be open (openConnection); the window drains
  // the core's events from here on, until it goes.
  explicit DialogKovalBase(app::CVexorApp& core, TrayProbe trayAvailable = {}, QWidget* parent = nullptr);
  ~DialogKovalBase() override;

  // The first fill of the node list, then the delayed connect and the
  // network monitor are armed; from then on the list counts as loaded.
  void loadNodeList();
  // Rebuilds the grouped list (after start-up, adds, edits, deletes) and
  // highlights `idToSelect` (-1: the last used node).
  void refreshList(int32_t idToSelect);
  bool listLoaded() const { return listLoaded_; }
  // Whether a refresh starts the background probes of nodes that lack a
  // latency or a country (off for screenshots and tests: no traffic).
  void setProbing(bool on) { probing_ = on; }

  // One core event, on the GUI thread.
  void handleEvent(const app::CoreEvent& event);
  // Delivers the core's queued events; GUI thread.
  void drainEvents();
  // The reports, also called directly by the program: any thread;
  // everything is done on the GUI thread.
  void onStatus(const std::string& text);
  void onMessage(const std::string& text);
  void onStateChanged(int state);
  void onButton(const std::string& text, const std::string& tooltip);
  void onControlsEnabled(bool enabled);
  void onSummary(const app::StatusSummary& summary);
  void onUdpWarning(bool visible, const std::string& tooltip);
  void onHideWindow();
  void onShowWindow();
  // IEventNotifier: the "Please close this process" box; returns when closed.
  void showMessage(const std::string& message) override;

  // Commands.
  void addSocksNode();
  void addShadowsocksNode();
  void batchAddNodes();
  void editCurrentNode();
  void deleteCurrentNode();
  void testCurrentNode();
  void openSettings();
  void openAdditionalRoutes();
  void openEvents();
  void openSubscriptions();
  void openLogs();
  void openAbout();
  void exitProgram();
  void restoreWindow();
  void toggleConnection();
  // Every link on the clipboard becomes a node (the add menu's entry and
  // Ctrl+V on the list); the pieces that do not are named with their lines.
  void importFromClipboard();
  // The current node's share link as text and QR code; its link on the
  // clipboard.
  void showNodeLink();
  void copyNodeLink();
  // The tray's choices: what picking the entry in the list, or the mode in
  // the selector, does.
  void chooseNode(int32_t id);
  void chooseMode(int index);

  // What tests and screenshots look at.
  QTreeView* nodeList() const { return nodeList_; }
  CNodeListModel* nodeModel() const { return model_; }
  // Makes the entry of node `id` (or the group header `group`) the list's
  // current entry, as a user's click does.
  void pickEntry(const QModelIndex& index);
  QComboBox* modeList() const { return modeList_; }
  QMenu* addMenu() const { return addMenu_; }
  QMenu* popupMenu() const { return popupMenu_; }
  QMenu* trayMenu() const { return trayMenu_; }
  // The tray's connect entry (its text follows the state), its mode and
  // node submenus (one submenu per group, filled when it opens), the
  // node list's context menu and the clipboard import.
  QAction* trayConnectEntry() const { return trayConnect_; }
  QMenu* trayModeMenu() const { return trayModes_; }
  QMenu* trayNodeMenu() const { return trayNodes_; }
  QMenu* nodeMenu() const { return nodeMenu_; }
  QAction* importEntry() const { return importEntry_; }
  // The hint over an empty node list.
  QLabel* emptyListHint() const { return emptyHint_; }
  // The link dialog last opened, while it is open.
  QDialog* linkDialog() const { return linkDialog_.data(); }
  // Brings the tray menu's entries and submenus up to date, as opening it does.
  void updateTrayMenu();
  QSystemTrayIcon* trayIcon() const { return tray_; }
  QPushButton* connectButton() const { return connectButton_; }
  QLabel* statusLine() const { return statusLine_; }
  QLabel* udpWarning() const { return udpWarning_; }
  QList<QToolButton*> actionButtons() const { return actionButtons_; }
  CTrafficWindow* trafficWindow() const { return traffic_; }
  CNodeTestWindow* testWindow() const { return testWindow_; }
  QWidget* logWindow() const;
  int balloonCount() const { return balloons_; }
  // Core events that were delivered off the GUI thread (none should be).
  int eventsOffGui() const { return eventsOffGui_.load(); }
  int connectionState() const { return state_; }
  // The node id of the list's current entry; -1 for none or a group header.
  int32_t currentNodeId() const;

 signals:
  // The main window was restored, shown or closed; for tests under a real
  // window manager.
  void windowHidden();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildWidgets();
  void buildMenus();
  void buildTray();
  void updateEntryStates();
  void popupAtCursor(QMenu* menu);
  void closeToTray();
  void pickNode(const QModelIndex& index);
  void addNode(CNodeDialog& dialog);
  void afterNodeChange(int32_t idToSelect);
  void fillModes();
  void updateTrayEntries();
  void fillTrayModes();
  void fillTrayNodes();
  void followConnectedNode();
  void showTestResults();
  // Runs `fn` on the GUI thread (at once when already there).
  void onGui(std::function<void()> fn);

  app::CVexorApp& core_;
  TrayProbe trayAvailable_;
  int state_ = app::kIdle;
  bool listLoaded_ = false;
  bool noticeShown_ = false;  // the tray notice, once per run
  std::atomic<bool> exiting_{false};
  bool filling_ = false;  // the list selection moves without a user's pick
  bool probing_ = true;
  int balloons_ = 0;
  std::atomic<int> eventsOffGui_{0};
  bool controlsEnabled_ = true;
  bool trafficAway_ = false;  // hidden with this window, to be shown with it

  QTreeView* nodeList_ = nullptr;
  CNodeListModel* model_ = nullptr;
  QComboBox* modeList_ = nullptr;
  QList<QToolButton*> actionButtons_;
  QPushButton* connectButton_ = nullptr;
  QLabel* statusLine_ = nullptr;
  QLabel* udpWarning_ = nullptr;
  QMenu* addMenu_ = nullptr;
  QMenu* popupMenu_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QAction* trayConnect_ = nullptr;
  QMenu* trayModes_ = nullptr;
  QMenu* trayNodes_ = nullptr;
  QList<QMenu*> trayGroups_;
  QMenu* nodeMenu_ = nullptr;
  QList<QAction*> nodeEntries_;  // context menu entries that need a node
  QAction* importEntry_ = nullptr;
  QLabel* emptyHint_ = nullptr;
  QPointer<QDialog> linkDialog_;
  QSystemTrayIcon* tray_ = nullptr;
  // Entries whose state follows the connection and the list.
  QList<QAction*> settingsEntries_;
  QList<QAction*> routeEntries_;
  QList<QAction*> exitEntries_;

  CTrafficWindow* traffic_ = nullptr;
  CNodeTestWindow* testWindow_ = nullptr;
  QPointer<QWidget> logWindow_;
  QPlainTextEdit* log_ = nullptr;
  QStringList logLines_;
};

}  // namespace vantor::ui
