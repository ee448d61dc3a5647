#include "ui/manage_dialogs.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <thread>

#include "app/startup.h"
#include "ui/ui_common.h"

namespace vantor::ui {
namespace {

QTreeWidget* makeList(QWidget* parent, const QStringList& headers) {
  auto* list = new QTreeWidget(parent);
  list->setColumnCount(static_cast<int>(headers.size()));
  list->setHeaderLabels(headers);
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setAlternatingRowColors(true);
  list->header()->setStretchLastSection(true);
  return list;
}

QDialogButtonBox* closeButtons(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  buttons->button(QDialogButtonBox::Close)->setText(T("Close"));
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

QString selectedText(QTreeWidget* list, int column) {
  QTreeWidgetItem* item = list->currentItem();
  return item ? item->text(column) : QString();
}

}  // namespace

void fillFrequencies(QComboBox* box) {
  for (int code = 0; code <= 3; ++code) box->addItem(T(frequencyText(code)), code);
}

// ---- additional routes -------------------------------------------------------

CAdditionalRouteDialog::CAdditionalRouteDialog(QWidget* parent, app::CVexorApp& core)
    : QDialog(parent), core_(core), alive_(std::make_shared<bool>(true)) {
  setWindowTitle(T("Additional route management"));
  auto* layout = new QVBoxLayout(this);
  list_ = makeList(this, {T("IP address"), T("Action")});
  list_->header()->resizeSection(0, 200);
  layout->addWidget(list_, 1);
  auto* row = new QHBoxLayout;
  address_ = new QLineEdit(this);
  address_->setPlaceholderText(T("IP address or domain name"));
  action_ = new QComboBox(this);
  action_->addItem(T("Direct"), CAdditionalRouteMgr::kDirect);
  action_->addItem(T("Proxify"), CAdditionalRouteMgr::kProxify);
  action_->setCurrentIndex(-1);
  action_->setPlaceholderText(T("Select action"));
  add_ = new QPushButton(T("Add"), this);
  remove_ = new QPushButton(T("Delete"), this);
  row->addWidget(address_, 1);
  row->addWidget(action_);
  row->addWidget(add_);
  row->addWidget(remove_);
  layout->addLayout(row);
  layout->addWidget(closeButtons(this));
  connect(add_, &QPushButton::clicked, this, &CAdditionalRouteDialog::addEntry);
  connect(remove_, &QPushButton::clicked, this, &CAdditionalRouteDialog::removeEntry);
  connect(address_, &QLineEdit::returnPressed, this, &CAdditionalRouteDialog::addEntry);
  resize(460, 340);
  fill();
}

CAdditionalRouteDialog::~CAdditionalRouteDialog() { *alive_ = false; }

void CAdditionalRouteDialog::fill() {
  list_->clear();
  for (const auto& [ip, action] : core_.catalogue().routes().routes())
    list_->addTopLevelItem(
        new QTreeWidgetItem({U(ip), action == CAdditionalRouteMgr::kProxify ? T("Proxify") : T("Direct")}));
}

void CAdditionalRouteDialog::addEntry() {
  if (checking_) return;
  std::string input = S(address_->text().trimmed());
  int action = action_->currentIndex() < 0 ? -1 : action_->currentData().toInt();
  checking_ = true;
  add_->setEnabled(false);
  remove_->setEnabled(false);
  // A host name takes the resolver's time: not on the GUI thread.
  // The route list belongs to the core, which outlives this dialog.
  CAdditionalRouteMgr* routes = &core_.catalogue().routes();
  std::thread([this, routes, input, action, alive = alive_] {
    std::string address;
    std::string message = routes->check(input, action, address);
    QMetaObject::invokeMethod(
        qApp,
        [this, alive, message, address, action] {
          if (*alive) finishCheck(message, address, action);
        },
        Qt::QueuedConnection);
  }).detach();
}

void CAdditionalRouteDialog::finishCheck(const std::string& message, const std::string& address, int action) {
  checking_ = false;
  add_->setEnabled(true);
  remove_->setEnabled(true);
  if (!message.empty()) {
    showMessage(this, T(message.c_str()));
    emit checked(T(message.c_str()));
    return;
  }
  CAdditionalRouteMgr& routes = core_.catalogue().routes();
  routes.add(address, action);
  routes.save();
  address_->clear();
  fill();
  emit checked(QString());
}

void CAdditionalRouteDialog::removeEntry() {
  QString ip = selectedText(list_, 0);
  if (ip.isEmpty() || checking_) return;
  CAdditionalRouteMgr& routes = core_.catalogue().routes();
  if (routes.remove(S(ip))) routes.save();
  fill();
}

// ---- event actions -----------------------------------------------------------

CEventsDialog::CEventsDialog(QWidget* parent, app::CVexorApp& core) : QDialog(parent), core_(core) {
  setWindowTitle(T("Events management"));
  auto* layout = new QVBoxLayout(this);
  list_ = makeList(this, {T("Event"), T("Action"), T("Process")});
  list_->header()->resizeSection(0, 140);
  list_->header()->resizeSection(1, 190);
  layout->addWidget(list_, 1);
  auto* form = new QFormLayout;
  event_ = new QComboBox(this);
  for (int code = kBeforeConnect; code <= kAfterDisconnect; ++code) event_->addItem(T(eventTypeName(code)), code);
  action_ = new QComboBox(this);
  for (int code = kTerminateProcess; code <= kNotifyProcess; ++code) action_->addItem(T(actionTypeName(code)), code);
  param_ = new QLineEdit(this);
  param_->setPlaceholderText(T("Program file name, e.g. firefox"));
  form->addRow(T("Event:"), event_);
  form->addRow(T("Action:"), action_);
  form->addRow(T("Process:"), param_);
  layout->addLayout(form);
  auto* row = new QHBoxLayout;
  auto* add = new QPushButton(T("Add"), this);
  auto* remove = new QPushButton(T("Delete"), this);
  row->addStretch(1);
  row->addWidget(add);
  row->addWidget(remove);
  layout->addLayout(row);
  layout->addWidget(closeButtons(this));
  connect(add, &QPushButton::clicked, this, &CEventsDialog::addEntry);
  connect(remove, &QPushButton::clicked, this, &CEventsDialog::removeEntry);
  resize(520, 360);
  fill();
}

void CEventsDialog::fill() {
  list_->clear();
  for (const EventAction& e : core_.catalogue().events().events()) {
    auto* item = new QTreeWidgetItem({T(eventTypeName(e.eventType)), T(actionTypeName(e.actionType)), U(e.param)});
    item->setData(0, Qt::UserRole, e.eventType);
    item->setData(1, Qt::UserRole, e.actionType);
    list_->addTopLevelItem(item);
  }
}

void CEventsDialog::addEntry() {
  std::string param = S(param_->text().trimmed());
  if (param.empty()) {
    showMessage(this, T("Input the process name please."));
    return;
  }
  CEventMgr& events = core_.catalogue().events();
  if (!events.addEvent(event_->currentData().toInt(), action_->currentData().toInt(), param)) {
    showMessage(this, T("This event action already exists."));
    return;
  }
  std::string error;
  if (!events.saveEvents(&error)) showMessage(this, U(error));
  param_->clear();
  fill();
}

void CEventsDialog::removeEntry() {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item) return;
  CEventMgr& events = core_.catalogue().events();
  if (events.removeEvent(item->data(0, Qt::UserRole).toInt(), item->data(1, Qt::UserRole).toInt(), S(item->text(2)))) {
    std::string error;
    if (!events.saveEvents(&error)) showMessage(this, U(error));
  }
  fill();
}

// ---- subscriptions -----------------------------------------------------------

CSubscriptionsDialog::CSubscriptionsDialog(QWidget* parent, app::CVexorApp& core) : QDialog(parent), core_(core) {
  setWindowTitle(T("SSR Subscriptions management"));
  auto* layout = new QVBoxLayout(this);
  list_ =
      makeList(this, {T("Group name"), T("URL"), T("Frequency"), T("Recently updated"), T("Default params of OBFS")});
  list_->header()->resizeSection(0, 110);
  list_->header()->resizeSection(1, 220);
  list_->header()->resizeSection(2, 80);
  list_->header()->resizeSection(3, 140);
  layout->addWidget(list_, 1);
  auto* form = new QFormLayout;
  url_ = new QLineEdit(this);
  url_->setPlaceholderText("https://");
  obfs_ = new QLineEdit(this);
  frequency_ = new QComboBox(this);
  fillFrequencies(frequency_);
  frequency_->setCurrentIndex(-1);
  frequency_->setPlaceholderText(T("1 day"));
  form->addRow(T("URL:"), url_);
  form->addRow(T("Default params of OBFS:"), obfs_);
  form->addRow(T("Frequency:"), frequency_);
  layout->addLayout(form);
  auto* row = new QHBoxLayout;
  auto* add = new QPushButton(T("Add"), this);
  auto* edit = new QPushButton(T("Edit..."), this);
  auto* remove = new QPushButton(T("Delete"), this);
  row->addStretch(1);
  row->addWidget(add);
  row->addWidget(edit);
  row->addWidget(remove);
  layout->addLayout(row);
  layout->addWidget(closeButtons(this));
  connect(add, &QPushButton::clicked, this, &CSubscriptionsDialog::addEntry);
  connect(edit, &QPushButton::clicked, this, &CSubscriptionsDialog::editEntry);
  connect(remove, &QPushButton::clicked, this, &CSubscriptionsDialog::removeEntry);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, &CSubscriptionsDialog::editEntry);
  resize(760, 380);
  fill();
}

void CSubscriptionsDialog::fill() {
  list_->clear();
  for (const SSRSubscription& s : core_.catalogue().subscriptions().list()) {
    QString updated = s.recently_updated == 0
                          ? QString("-")
                          : QDateTime::fromSecsSinceEpoch(s.recently_updated).toString("yyyy-MM-dd HH:mm:ss");
    list_->addTopLevelItem(new QTreeWidgetItem(
        {U(s.groupname), U(s.url), T(frequencyText(s.frequency)), updated, U(s.default_params_of_obfs)}));
  }
}

void CSubscriptionsDialog::addEntry() {
  std::string url = S(url_->text().trimmed());
  if (url.empty()) return;
  int frequency = frequency_->currentIndex() < 0 ? 1 : frequency_->currentData().toInt();
  std::string error;
  if (!core_.catalogue().subscriptions().addSubscription(url, frequency, S(obfs_->text()), nullptr, &error) &&
      !error.empty())
    showMessage(this, U(error));
  url_->clear();
  fill();
}

void CSubscriptionsDialog::editEntry() {
  QString url = selectedText(list_, 1);
  if (url.isEmpty()) return;
  CSubscriptionEditDialog dialog(this, core_, S(url));
  dialog.exec();
  fill();
}

void CSubscriptionsDialog::removeEntry() {
  QString url = selectedText(list_, 1);
  if (url.isEmpty()) return;
  std::string error;
  if (!core_.catalogue().subscriptions().deleteSubscription(S(url), &error)) showMessage(this, U(error));
  fill();
}

CSubscriptionEditDialog::CSubscriptionEditDialog(QWidget* parent, app::CVexorApp& core, const std::string& url)
    : QDialog(parent), core_(core), url_(url) {
  setWindowTitle(T("Edit SSR Subscription"));
  SSRSubscription current;
  core_.catalogue().subscriptions().get(url, current);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  auto* urlLabel = new QLabel(U(url), this);
  urlLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  frequency_ = new QComboBox(this);
  fillFrequencies(frequency_);
  int code = current.frequency >= 0 && current.frequency <= 3 ? current.frequency : 1;
  frequency_->setCurrentIndex(frequency_->findData(code));
  obfs_ = new QLineEdit(U(current.default_params_of_obfs), this);
  proxy_ = new QComboBox(this);
  proxy_->addItem(T("No proxy"), -1);
  for (CNodeInfo* node : core_.catalogue().nodes().nodes()) {
    proxy_->addItem(U(node->displayText()), node->id);
    if (current.hasFetchProxy() && node->server == current.p_server && node->server_port == current.p_server_port &&
        node->type == current.p_type)
      proxy_->setCurrentIndex(proxy_->count() - 1);
  }
  form->addRow(T("URL:"), urlLabel);
  form->addRow(T("Frequency:"), frequency_);
  form->addRow(T("Default params of OBFS:"), obfs_);
  form->addRow(T("Fetch through proxy:"), proxy_);
  layout->addLayout(form);
  layout->addWidget(okCancelButtons(this));
  setMinimumWidth(460);
}

void CSubscriptionEditDialog::accept() {
  int id = proxy_->currentData().toInt();
  const CNodeInfo* node = id >= 0 ? core_.catalogue().nodes().find(id) : nullptr;
  int frequency = frequency_->currentIndex() < 0 ? 1 : frequency_->currentData().toInt();
  std::string error;
  if (!core_.catalogue().subscriptions().editSubscription(url_, frequency, S(obfs_->text()), node, &error)) {
    showMessage(this, U(error));
    return;
  }
  QDialog::accept();
}

}  // namespace vantor::ui
