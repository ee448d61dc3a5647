// The settings dialog: adapters, the DNS provider list with the two server
// fields, the UDP and DNS choices, start-up behaviour and the delayed
// connect. OK runs the checks in their order and saves; Cancel is refused
// while no adapter is known at all.
#pragma once

#include <QDialog>
#include <QString>

#include "app/types.h"

namespace vantor::app {
class CVexorApp;
}

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace vantor::ui {

class CSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  CSettingsDialog(QWidget* parent, app::CVexorApp& core);
  void accept() override;
  void reject() override;

  // The dialog's fields as the checks take them.
  SettingsDialogInput input() const;

  QComboBox* localBox() const { return local_; }
  QComboBox* tunBox() const { return tun_; }
  QComboBox* dnsBox() const { return dns_; }
  QLineEdit* preferredEdit() const { return preferred_; }
  QLineEdit* alternateEdit() const { return alternate_; }
  QSpinBox* delayBox() const { return delay_; }
  QCheckBox* check(const char* key) const;

 private:
  app::CVexorApp& core_;
  void providerChosen(int index);

  QComboBox* local_ = nullptr;
  QComboBox* tun_ = nullptr;
  QComboBox* dns_ = nullptr;
  QLineEdit* preferred_ = nullptr;
  QLineEdit* alternate_ = nullptr;
  QSpinBox* delay_ = nullptr;
  std::vector<std::pair<const char*, QCheckBox*>> checks_;
  std::vector<AdapterChoice> locals_;
  std::vector<AdapterChoice> tuns_;
  // The DNS choice as the dialog opened: left so, OK keeps what is stored.
  struct {
    int provider = 0;
    QString preferred;
    QString alternate;
  } shownDns_;
};

// The provider entry that shows the stored DNS pair: the stored provider
// name while its addresses are still the stored ones, else the first
// provider with the stored pair, else "Use your own DNS".
int shownDnsProvider(const Settings& s);

// "a.b.c.d" into four octets; false (and zeros) for anything else.
bool parseOctets(const QString& text, uint8_t out[4]);

}  // namespace vantor::ui
