#include "ui/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/startup.h"
#include "ui/ui_common.h"

namespace vantor::ui {

bool parseOctets(const QString& text, uint8_t out[4]) {
  out[0] = out[1] = out[2] = out[3] = 0;
  QStringList parts = text.trimmed().split('.');
  if (parts.size() != 4) return false;
  uint8_t value[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    uint n = parts[i].toUInt(&ok);
    if (!ok || n > 255) return false;
    value[i] = static_cast<uint8_t>(n);
  }
  std::copy(value, value + 4, out);
  return true;
}

int shownDnsProvider(const Settings& s) {
  int named = findDnsProvider(s.public_select_dns_name);
  if (named == kOwnDnsProvider) return kOwnDnsProvider;
  const std::vector<DnsProvider>& providers = dnsProviders();
  auto holdsStoredPair = [&](int i) {
    const DnsProvider& p = providers[static_cast<std::size_t>(i)];
    return s.public_dns1 == p.preferred && s.public_dns2 == p.alternate;
  };
  // The named provider when its pair is still the stored one (several
  // providers share a pair), else any provider with that pair.
  if (named >= 0 && holdsStoredPair(named)) return named;
  for (int i = 0; i < static_cast<int>(providers.size()); ++i)
    if (i != kOwnDnsProvider && holdsStoredPair(i)) return i;
  return kOwnDnsProvider;
}

CSettingsDialog::CSettingsDialog(QWidget* parent, app::CVexorApp& core) : QDialog(parent), core_(core) {
  setWindowTitle(T("Settings"));
  Settings s = core_.settings().get();
  auto* layout = new QVBoxLayout(this);

  // Adapters: the interfaces of this host; the TUN ones are ours.
  auto* adapters = new QGroupBox(T("Network connections"), this);
  auto* adapterForm = new QFormLayout(adapters);
  local_ = new QComboBox(adapters);
  tun_ = new QComboBox(adapters);
  std::string tunName = s.tap_connection_name.empty() ? app::tunInterfaceName() : s.tap_connection_name;
  for (const auto& [index, name] : app::listInterfaces()) {
    if (name == "lo") continue;
    AdapterChoice choice;
    choice.name = choice.guid = name;
    choice.index = index;
    bool isTun = name == tunName || QString::fromStdString(name).startsWith("KOVAL", Qt::CaseInsensitive);
    if (isTun) {
      tuns_.push_back(choice);
      tun_->addItem(U(name));
    } else {
      if (name == s.local_connection_name) {
        choice.primaryDns = s.local_connection_primary_dns;
        choice.secondDns = s.local_connection_second_dns;
        choice.dhcpNameServer = s.local_connection_DhcpNameServer;
      }
      locals_.push_back(choice);
      local_->addItem(U(name));
    }
  }
  // A stored adapter that is not there right now (a TUN interface exists
  // only while connected, a cable or a Wi-Fi link may be gone) is still
  // offered and chosen, so that OK keeps it.
  auto chooseStored = [](QComboBox* box, std::vector<AdapterChoice>& choices, AdapterChoice stored) {
    if (stored.name.empty()) {
      box->setCurrentIndex(-1);
      return;
    }
    for (std::size_t i = 0; i < choices.size(); ++i)
      if (choices[i].name == stored.name) {
        box->setCurrentIndex(static_cast<int>(i));
        return;
      }
    box->addItem(T("%s (not present)").replace("%s", U(stored.name)));
    box->setItemData(box->count() - 1, T("This interface does not exist right now."), Qt::ToolTipRole);
    choices.push_back(std::move(stored));
    box->setCurrentIndex(box->count() - 1);
  };
  AdapterChoice storedLocal;
  storedLocal.name = s.local_connection_name;
  storedLocal.guid = s.local_connection_guid;
  storedLocal.index = s.local_connection_index;
  storedLocal.primaryDns = s.local_connection_primary_dns;
  storedLocal.secondDns = s.local_connection_second_dns;
  storedLocal.dhcpNameServer = s.local_connection_DhcpNameServer;
  chooseStored(local_, locals_, storedLocal);
  AdapterChoice storedTun;
  storedTun.name = s.tap_connection_name;
  storedTun.guid = s.tap_connection_guid;
  storedTun.index = s.tap_connection_index;
  chooseStored(tun_, tuns_, storedTun);
  adapterForm->addRow(T("Local connection:"), local_);
  adapterForm->addRow(T("TUN/TAP adapter:"), tun_);
  layout->addWidget(adapters);

  // DNS.
  auto* dnsGroup = new QGroupBox(T("DNS servers for the tunnel"), this);
  auto* dnsForm = new QFormLayout(dnsGroup);
  dns_ = new QComboBox(dnsGroup);
  bool local = chineseNames();
  for (const DnsProvider& p : dnsProviders()) dns_->addItem(QString::fromUtf8(local ? p.localName : p.name));
  auto* ipValidator = new QRegularExpressionValidator(QRegularExpression("^[0-9]{0,3}(\\.[0-9]{0,3}){0,3}$"), dnsGroup);
  preferred_ = new QLineEdit(dnsGroup);
  alternate_ = new QLineEdit(dnsGroup);
  for (QLineEdit* edit : {preferred_, alternate_}) {
    edit->setValidator(ipValidator);
    edit->setPlaceholderText("0.0.0.0");
  }
  dnsForm->addRow(T("DNS provider:"), dns_);
  dnsForm->addRow(T("Preferred DNS:"), preferred_);
  dnsForm->addRow(T("Alternate DNS:"), alternate_);
  layout->addWidget(dnsGroup);
  int provider = shownDnsProvider(s);
  dns_->setCurrentIndex(provider);
  providerChosen(provider);
  if (provider == kOwnDnsProvider) {
    preferred_->setText(U(s.public_dns1));
    alternate_->setText(U(s.public_dns2));
  }
  shownDns_ = {provider, preferred_->text(), alternate_->text()};
  connect(dns_, &QComboBox::activated, this, &CSettingsDialog::providerChosen);

  // Choices.
  auto* options = new QGroupBox(T("Options"), this);
  auto* grid = new QGridLayout(options);
  const std::pair<const char*, bool> boxes[] = {
      {N_("Do not forward UDP"), s.bDontProxyUDP},
      {N_("Proxy DNS server"), s.ForceProxyDNSServer},
      {N_("Enhanced UDP for Shadowsocks proxy"), s.bRegenerateIVForSSUDP},
      {N_("Recommended proxy DNS"), s.RecommendedProxyDNS},
      {N_("Auto login"), s.autologin},
      {N_("Run at system startup"), s.startup},
      {N_("Automatically establish connection after startup"), s.AutomaticallyEstablishConnection},
      {N_("Automatic hide window after connection established"), s.AutomaticHideWindow},
  };
  int row = 0;
  for (const auto& [key, value] : boxes) {
    auto* box = new QCheckBox(T(key), options);
    box->setChecked(value);
    checks_.emplace_back(key, box);
    grid->addWidget(box, row++, 0, 1, 2);
  }
  delay_ = new QSpinBox(options);
  delay_->setRange(0, 9999);
  delay_->setValue(s.DelayedConnect);
  delay_->setSuffix(T(" s"));
  grid->addWidget(new QLabel(T("Delayed connect:"), options), row, 0);
  grid->addWidget(delay_, row, 1);
  layout->addWidget(options);

  layout->addWidget(okCancelButtons(this));
}

QCheckBox* CSettingsDialog::check(const char* key) const {
  for (const auto& [name, box] : checks_)
    if (std::string(name) == key) return box;
  return nullptr;
}

void CSettingsDialog::providerChosen(int index) {
  bool own = index == kOwnDnsProvider;
  preferred_->setReadOnly(!own);
  alternate_->setReadOnly(!own);
  if (own || index < 0) return;
  const DnsProvider& p = dnsProviders()[static_cast<std::size_t>(index)];
  preferred_->setText(QString::fromLatin1(p.preferred));
  alternate_->setText(QString::fromLatin1(p.alternate));
}

SettingsDialogInput CSettingsDialog::input() const {
  SettingsDialogInput in;
  in.DelayedConnect = delay_->value();
  parseOctets(preferred_->text(), in.preferredDns);
  parseOctets(alternate_->text(), in.alternateDns);
  in.bDontProxyUDP = check("Do not forward UDP")->isChecked();
  in.ForceProxyDNSServer = check("Proxy DNS server")->isChecked();
  in.bRegenerateIVForSSUDP = check("Enhanced UDP for Shadowsocks proxy")->isChecked();
  in.RecommendedProxyDNS = check("Recommended proxy DNS")->isChecked();
  in.autologin = check("Auto login")->isChecked();
  in.startup = check("Run at system startup")->isChecked();
  in.AutomaticallyEstablishConnection = check("Automatically establish connection after startup")->isChecked();
  in.AutomaticHideWindow = check("Automatic hide window after connection established")->isChecked();
  if (int i = local_->currentIndex(); i >= 0) in.localConnection = locals_[static_cast<std::size_t>(i)];
  if (int i = tun_->currentIndex(); i >= 0) in.tapConnection = tuns_[static_cast<std::size_t>(i)];
  in.dnsProvider = dns_->currentIndex();
  in.keepDns = in.dnsProvider == shownDns_.provider && preferred_->text() == shownDns_.preferred &&
               alternate_->text() == shownDns_.alternate;
  return in;
}

void CSettingsDialog::accept() {
  SettingsDialogInput in = input();
  std::string message = checkSettingsDialog(in);
  if (!message.empty()) {
    showMessage(this, T(message.c_str()));
    return;
  }
  for (const std::string& failure : core_.settings().applyDialog(in)) showMessage(this, U(failure));
  QDialog::accept();
}

void CSettingsDialog::reject() {
  std::string message = core_.settings().cancelRefusal();
  if (!message.empty()) {
    showMessage(this, T(message.c_str()));
    return;
  }
  QDialog::reject();
}

}  // namespace vantor::ui
