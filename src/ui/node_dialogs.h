// The node dialogs: the SOCKS node dialog, the Shadowsocks/ShadowsocksR node
// dialog (with its add-from-link dialog) and the batch link dialog. On OK
// each runs the node checks in their order; a failure shows its message and
// keeps the dialog open.
#pragma once

#include <QDialog>

#include "app/types.h"

namespace vantor::app {
class CVexorApp;
}

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QFormLayout;
class QDialogButtonBox;

namespace vantor::ui {

class CNodeDialog : public QDialog {
  Q_OBJECT

 public:
  // What OK accepted (checked; an additional route name resolved, an empty
  // group replaced by "Default Group").
  const NodeParams& params() const { return accepted_; }
  void accept() override;

  QLineEdit* serverEdit() const { return server_; }
  QLineEdit* portEdit() const { return port_; }
  QLineEdit* passwordEdit() const { return password_; }
  QLineEdit* remarksEdit() const { return remarks_; }
  QLineEdit* groupEdit() const { return group_; }
  QLineEdit* routeEdit() const { return route_; }

 protected:
  CNodeDialog(QWidget* parent, bool socks);
  // The fields as typed.
  virtual NodeParams collect() const = 0;
  void collectCommon(NodeParams& p) const;
  void fillCommon(const NodeParams& p);
  void addTail();  // remarks, group, additional route and the buttons

  QFormLayout* form_ = nullptr;
  QLineEdit* server_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* password_ = nullptr;
  QLineEdit* remarks_ = nullptr;
  QLineEdit* group_ = nullptr;
  QLineEdit* route_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;
  bool socks_;
  NodeParams base_;  // the edited node's other fields travel along
  NodeParams accepted_;
};

class CSocksNodeDialog : public CNodeDialog {
  Q_OBJECT

 public:
  // `node` null: a new node.
  CSocksNodeDialog(QWidget* parent, const CNodeInfo* node);
  QComboBox* kindBox() const { return kind_; }
  QLineEdit* userEdit() const { return user_; }

 protected:
  NodeParams collect() const override;

 private:
  QComboBox* kind_ = nullptr;
  QLineEdit* user_ = nullptr;
};

class CSSNodeDialog : public CNodeDialog {
  Q_OBJECT

 public:
  CSSNodeDialog(QWidget* parent, const CNodeInfo* node);
  // Fills the fields from a parsed link (the add-from-link dialog).
  void fill(const NodeParams& p);
  void addFromLink();
  QComboBox* methodBox() const { return method_; }
  QComboBox* protocolBox() const { return protocol_; }
  QComboBox* obfsBox() const { return obfs_; }
  // A Shadowsocks plugin program and its options; offered for plain
  // Shadowsocks only (protocol origin, obfs plain).
  QComboBox* pluginBox() const { return plugin_; }
  QLineEdit* pluginOptionsEdit() const { return pluginOpts_; }

 protected:
  NodeParams collect() const override;

 private:
  QComboBox* method_ = nullptr;
  QComboBox* protocol_ = nullptr;
  QLineEdit* protocolParam_ = nullptr;
  QComboBox* obfs_ = nullptr;
  QLineEdit* obfsParam_ = nullptr;
  QComboBox* plugin_ = nullptr;
  QLineEdit* pluginOpts_ = nullptr;
  void followPlainShadowsocks();
};

// One link: "Add server from proxy link.".
class CLinkDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CLinkDialog(QWidget* parent);
  void accept() override;
  const NodeParams& params() const { return params_; }
  QLineEdit* linkEdit() const { return link_; }

 private:
  QLineEdit* link_ = nullptr;
  NodeParams params_;
};

// The report of an import of many links: how many were added and every
// piece that was not, with its line and the reason (the first 20).
QString importReportText(const CNodeMgr::ImportReport& report);

// Many links at once; OK adds every one that parses to the store and names
// the others with their lines.
class CBatchLinkDialog : public QDialog {
  Q_OBJECT

 public:
  CBatchLinkDialog(QWidget* parent, app::CVexorApp& core);
  void accept() override;
  int added() const { return added_; }
  // How many pieces were not added (each was named to the user).
  int refused() const { return refused_; }
  QPlainTextEdit* textEdit() const { return text_; }

 private:
  app::CVexorApp& core_;
  QPlainTextEdit* text_ = nullptr;
  int added_ = 0;
  int refused_ = 0;
};

}  // namespace vantor::ui
