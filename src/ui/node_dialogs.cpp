#include "ui/node_dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/startup.h"
#include "ui/ui_common.h"

namespace vantor::ui {
namespace {

// Port text to number; anything that is not 1..65535 reads as 0, which the
// checks refuse with the port message.
uint16_t portOf(const QString& text) {
  bool ok = false;
  uint value = text.trimmed().toUInt(&ok);
  return ok && value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

QString portText(uint16_t port) { return port ? QString::number(port) : QString(); }

void selectText(QComboBox* box, const std::string& text) {
  int index = box->findText(U(text), Qt::MatchFixedString);
  if (index >= 0)
    box->setCurrentIndex(index);
  else if (box->isEditable())
    box->setEditText(U(text));
}

}  // namespace

// ---- common ------------------------------------------------------------------

CNodeDialog::CNodeDialog(QWidget* parent, bool socks) : QDialog(parent), socks_(socks) {
  auto* layout = new QVBoxLayout(this);
  form_ = new QFormLayout;
  form_->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  layout->addLayout(form_);
  server_ = new QLineEdit(this);
  server_->setPlaceholderText(T("Host name or IPv4 address"));
  port_ = new QLineEdit(this);
  port_->setMaxLength(5);
  port_->setMaximumWidth(90);
  password_ = new QLineEdit(this);
  password_->setEchoMode(QLineEdit::PasswordEchoOnEdit);
  remarks_ = new QLineEdit(this);
  group_ = new QLineEdit(this);
  group_->setPlaceholderText(T(kDefaultGroupName));
  route_ = new QLineEdit(this);
  route_->setPlaceholderText(T("Remote IP when you specify a local proxy, Only support one."));
  buttons_ = okCancelButtons(this);
  setMinimumWidth(400);
}

void CNodeDialog::addTail() {
  form_->addRow(T("Remarks:"), remarks_);
  form_->addRow(T("Group:"), group_);
  form_->addRow(T("Additional route:"), route_);
  layout()->addWidget(buttons_);
  // The shared fields are made before the kind's own ones, and Qt's tab
  // order is the order of making: tab through the rows as they are shown,
  // then the buttons as they are laid out.
  QWidget* previous = nullptr;
  auto chain = [&previous](QWidget* next) {
    if (!next || next->focusPolicy() == Qt::NoFocus) return;
    if (previous) setTabOrder(previous, next);
    previous = next;
  };
  for (int row = 0; row < form_->rowCount(); ++row)
    if (QLayoutItem* field = form_->itemAt(row, QFormLayout::FieldRole)) chain(field->widget());
  if (QLayout* buttonRow = buttons_->layout())
    for (int i = 0; i < buttonRow->count(); ++i) chain(buttonRow->itemAt(i)->widget());
}

void CNodeDialog::collectCommon(NodeParams& p) const {
  p.server = S(server_->text());
  p.server_port = portOf(port_->text());
  p.password = S(password_->text());
  p.remarks = S(remarks_->text());
  p.group = S(group_->text().trimmed());
  p.AdditionalRoute = S(route_->text().trimmed());
}

void CNodeDialog::fillCommon(const NodeParams& p) {
  base_ = p;
  server_->setText(U(p.server));
  port_->setText(portText(p.server_port));
  password_->setText(U(p.password));
  remarks_->setText(U(p.remarks));
  group_->setText(p.group == kDefaultGroupName ? QString() : U(p.group));
  route_->setText(U(p.AdditionalRoute));
}

void CNodeDialog::accept() {
  NodeParams p = collect();
  std::string message = checkNodeDialog(p, socks_);
  // The plugin is looked up on PATH and run: a path or an option in its
  // name would run something else.
  if (message.empty() && !p.plugin.empty() && !isPluginName(p.plugin))
    message = "The plugin must be the name of a program, without a path or options.";
  if (!message.empty()) {
    showMessage(this, T(message.c_str()));
    return;
  }
  accepted_ = p;
  QDialog::accept();
}

// ---- SOCKS -------------------------------------------------------------------

CSocksNodeDialog::CSocksNodeDialog(QWidget* parent, const CNodeInfo* node) : CNodeDialog(parent, true) {
  setWindowTitle(node ? T("Edit SOCKS Proxy") : T("Add SOCKS Proxy"));
  kind_ = new QComboBox(this);
  // Combo index 0 -> kind 3, 1 -> 4, 2 -> 5.
  kind_->addItems({"HTTP", "SOCKS 4/4a", "SOCKS 5"});
  kind_->setCurrentIndex(2);
  user_ = new QLineEdit(this);
  form_->addRow(T("Proxy type:"), kind_);
  form_->addRow(T("Server:"), server_);
  form_->addRow(T("Port:"), port_);
  form_->addRow(T("User name:"), user_);
  form_->addRow(T("Password:"), password_);
  addTail();
  if (node) {
    NodeParams p = node->params();
    fillCommon(p);
    user_->setText(U(p.username));
    kind_->setCurrentIndex(p.type >= kNodeHttp && p.type <= kNodeSocks5 ? p.type - kNodeHttp : -1);
  }
}

NodeParams CSocksNodeDialog::collect() const {
  NodeParams p = base_;
  int index = kind_->currentIndex();
  p.type = index < 0 ? 0 : kNodeHttp + index;
  collectCommon(p);
  p.username = S(user_->text());
  return p;
}

// ---- Shadowsocks / ShadowsocksR ------------------------------------------------

CSSNodeDialog::CSSNodeDialog(QWidget* parent, const CNodeInfo* node) : CNodeDialog(parent, false) {
  setWindowTitle(node ? T("Edit SS/SSR proxy") : T("Add SS/SSR proxy"));
  method_ = new QComboBox(this);
  std::vector<std::string> methods;
  methods = app::cipherNames();
  for (const auto& m : methods) method_->addItem(U(m));
  selectText(method_, "aes-256-gcm");
  protocol_ = new QComboBox(this);
  std::vector<std::pair<std::string, bool>> names;
  names = app::protocolNames();
  for (const auto& [name, param] : names) protocol_->addItem(U(name), param);
  protocolParam_ = new QLineEdit(this);
  obfs_ = new QComboBox(this);
  names.clear();
  names = app::obfsNames();
  for (const auto& [name, param] : names) obfs_->addItem(U(name), param);
  obfsParam_ = new QLineEdit(this);
  // The parameter fields are offered only for plugins that take one.
  auto follow = [](QComboBox* box, QLineEdit* param) {
    connect(box, &QComboBox::currentIndexChanged, param,
            [box, param](int) { param->setEnabled(box->currentData().toBool()); });
    param->setEnabled(box->currentData().toBool());
  };
  follow(protocol_, protocolParam_);
  follow(obfs_, obfsParam_);
  plugin_ = new QComboBox(this);
  plugin_->setEditable(true);
  plugin_->setInsertPolicy(QComboBox::NoInsert);
  plugin_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  plugin_->addItems({QString(), "obfs-local", "v2ray-plugin"});
  plugin_->lineEdit()->setPlaceholderText(T("None"));
  pluginOpts_ = new QLineEdit(this);
  pluginOpts_->setPlaceholderText("obfs=http;obfs-host=www.example.com");
  connect(protocol_, &QComboBox::currentIndexChanged, this, [this](int) { followPlainShadowsocks(); });
  connect(obfs_, &QComboBox::currentIndexChanged, this, [this](int) { followPlainShadowsocks(); });
  followPlainShadowsocks();

  auto* fromLink = new QPushButton(T("Add from link..."), this);
  connect(fromLink, &QPushButton::clicked, this, &CSSNodeDialog::addFromLink);
  form_->addRow(QString(), fromLink);
  form_->addRow(T("Server:"), server_);
  form_->addRow(T("Port:"), port_);
  form_->addRow(T("Password:"), password_);
  form_->addRow(T("Encryption:"), method_);
  form_->addRow(T("Protocol:"), protocol_);
  form_->addRow(T("Protocol parameter:"), protocolParam_);
  form_->addRow(T("Obfs:"), obfs_);
  form_->addRow(T("Obfs parameter:"), obfsParam_);
  form_->addRow(T("Plugin:"), plugin_);
  form_->addRow(T("Plugin options:"), pluginOpts_);
  addTail();
  if (node) fill(node->params());
}

void CSSNodeDialog::followPlainShadowsocks() {
  // A plugin carries plain Shadowsocks; a ShadowsocksR protocol or obfs
  // does that job itself.
  bool plain = protocol_->currentText() == "origin" && obfs_->currentText() == "plain";
  plugin_->setEnabled(plain);
  pluginOpts_->setEnabled(plain);
}

void CSSNodeDialog::fill(const NodeParams& p) {
  fillCommon(p);
  selectText(method_, p.method);
  selectText(protocol_, p.protocol.empty() ? "origin" : p.protocol);
  selectText(obfs_, p.obfs.empty() ? "plain" : p.obfs);
  protocolParam_->setText(U(p.protocolparam));
  obfsParam_->setText(U(p.obfsparam));
  // Program names are case-sensitive: only the exact name picks an entry.
  int known = plugin_->findText(U(p.plugin), Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (known >= 0)
    plugin_->setCurrentIndex(known);
  else
    plugin_->setEditText(U(p.plugin));
  pluginOpts_->setText(U(p.plugin_opts));
}

void CSSNodeDialog::addFromLink() {
  CLinkDialog dialog(this);
  if (dialog.exec() == QDialog::Accepted) fill(dialog.params());
}

NodeParams CSSNodeDialog::collect() const {
  NodeParams p = base_;
  p.type = kNodeShadowsocks;
  collectCommon(p);
  p.method = S(method_->currentText());
  p.protocol = S(protocol_->currentText());
  p.obfs = S(obfs_->currentText());
  p.protocolparam = protocolParam_->isEnabled() ? S(protocolParam_->text()) : std::string();
  p.obfsparam = obfsParam_->isEnabled() ? S(obfsParam_->text()) : std::string();
  p.plugin = plugin_->isEnabled() ? S(plugin_->currentText().trimmed()) : std::string();
  p.plugin_opts = p.plugin.empty() ? std::string() : S(pluginOpts_->text().trimmed());
  return p;
}

// ---- links -------------------------------------------------------------------

CLinkDialog::CLinkDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(T("Add server from proxy link."));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(T("Add server from proxy link."), this));
  link_ = new QLineEdit(this);
  link_->setPlaceholderText("ss://...  ssr://...");
  layout->addWidget(link_);
  layout->addWidget(okCancelButtons(this));
  setMinimumWidth(460);
}

void CLinkDialog::accept() {
  std::string text = S(link_->text().trimmed());
  if (text.empty()) {
    showMessage(this, T("Please enter the proxy link( Support shadowsocks link )."));
    return;
  }
  std::string reason;
  std::optional<NodeParams> parsed = parseLink(text, reason);
  if (parsed) reason = unsupportedNodeReason(*parsed);
  if (!parsed || !reason.empty()) {
    showMessage(this, T(reason.c_str()));
    return;
  }
  params_ = *parsed;
  QDialog::accept();
}

QString importReportText(const CNodeMgr::ImportReport& report) {
  // Every piece that did not become a node is named with its line.
  constexpr std::size_t kListed = 20;
  QString message = QString("Added %1 nodes; these links were not added:\n").arg(report.added);
  for (std::size_t i = 0; i < report.refused.size() && i < kListed; ++i) {
    const auto& r = report.refused[i];
    std::string link = r.link.size() > 48 ? r.link.substr(0, 45) + "..." : r.link;
    message += QString("\nLine %1: %2 (%3)").arg(r.line).arg(U(r.reason), U(link));
  }
  if (report.refused.size() > kListed) message += QString("\n... and %1 more").arg(report.refused.size() - kListed);
  return message;
}

CBatchLinkDialog::CBatchLinkDialog(QWidget* parent, app::CVexorApp& core) : QDialog(parent), core_(core) {
  setWindowTitle(T("Batch Add SS/SSR proxy from link..."));
  auto* layout = new QVBoxLayout(this);
  auto* caption = new QLabel(T("Input SS/SSR link below( Seperated by comma, space, newline )"), this);
  caption->setWordWrap(true);
  layout->addWidget(caption);
  text_ = new QPlainTextEdit(this);
  text_->setPlaceholderText("ss://...\nssr://...");
  layout->addWidget(text_, 1);
  layout->addWidget(okCancelButtons(this));
  resize(520, 300);
}

void CBatchLinkDialog::accept() {
  std::string text = S(text_->toPlainText());
  if (text.find_first_not_of(" \t\r\n,") == std::string::npos) {
    showMessage(this, T("Input shadowsocks server link please."));
    return;
  }
  CNodeMgr::ImportReport report = core_.catalogue().nodes().importLinks(text);
  added_ = report.added;
  refused_ = static_cast<int>(report.refused.size());
  if (!report.refused.empty()) {
    showMessage(this, importReportText(report));
    if (report.added == 0) return;  // nothing taken: the text stays for correcting
  }
  QDialog::accept();
}

}  // namespace vantor::ui
