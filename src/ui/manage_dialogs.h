// The list editors: additional routes, event actions, SSR subscriptions
// (with the edit dialog). Each edits through its manager, which keeps the
// file.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace vantor::app {
class CVexorApp;
}

namespace vantor::ui {

class CAdditionalRouteDialog : public QDialog {
  Q_OBJECT

 public:
  CAdditionalRouteDialog(QWidget* parent, app::CVexorApp& core);
  ~CAdditionalRouteDialog() override;
  // Checks the typed entry (a host name is resolved on a worker thread) and
  // adds it; the result arrives later, see checked().
  void addEntry();
  void removeEntry();
  bool checking() const { return checking_; }

  QLineEdit* addressEdit() const { return address_; }
  QComboBox* actionBox() const { return action_; }
  QTreeWidget* list() const { return list_; }

 signals:
  void checked(const QString& message);  // empty when the entry was added

 private:
  void fill();
  void finishCheck(const std::string& message, const std::string& address, int action);

  app::CVexorApp& core_;
  QTreeWidget* list_ = nullptr;
  QLineEdit* address_ = nullptr;
  QComboBox* action_ = nullptr;
  QPushButton* add_ = nullptr;
  QPushButton* remove_ = nullptr;
  bool checking_ = false;
  std::shared_ptr<bool> alive_;
};

class CEventsDialog : public QDialog {
  Q_OBJECT

 public:
  CEventsDialog(QWidget* parent, app::CVexorApp& core);
  void addEntry();
  void removeEntry();

  QComboBox* eventBox() const { return event_; }
  QComboBox* actionBox() const { return action_; }
  QLineEdit* paramEdit() const { return param_; }
  QTreeWidget* list() const { return list_; }

 private:
  void fill();

  app::CVexorApp& core_;
  QTreeWidget* list_ = nullptr;
  QComboBox* event_ = nullptr;
  QComboBox* action_ = nullptr;
  QLineEdit* param_ = nullptr;
};

class CSubscriptionsDialog : public QDialog {
  Q_OBJECT

 public:
  CSubscriptionsDialog(QWidget* parent, app::CVexorApp& core);
  void addEntry();
  void editEntry();
  void removeEntry();

  QLineEdit* urlEdit() const { return url_; }
  QLineEdit* obfsEdit() const { return obfs_; }
  QComboBox* frequencyBox() const { return frequency_; }
  QTreeWidget* list() const { return list_; }

 private:
  void fill();

  app::CVexorApp& core_;
  QTreeWidget* list_ = nullptr;
  QLineEdit* url_ = nullptr;
  QLineEdit* obfs_ = nullptr;
  QComboBox* frequency_ = nullptr;
};

// "Edit SSR Subscription": frequency, default obfs parameters and the fetch
// proxy, chosen from the store's nodes.
class CSubscriptionEditDialog : public QDialog {
  Q_OBJECT

 public:
  CSubscriptionEditDialog(QWidget* parent, app::CVexorApp& core, const std::string& url);
  void accept() override;

  QComboBox* frequencyBox() const { return frequency_; }
  QComboBox* proxyBox() const { return proxy_; }
  QLineEdit* obfsEdit() const { return obfs_; }

 private:
  app::CVexorApp& core_;
  std::string url_;
  QComboBox* frequency_ = nullptr;
  QLineEdit* obfs_ = nullptr;
  QComboBox* proxy_ = nullptr;
};

// Fills a frequency choice: "Every time", "1 day", "2 days", "3 days".
void fillFrequencies(QComboBox* box);

}  // namespace vantor::ui
