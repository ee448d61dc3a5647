#include "ui/ui_common.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QHash>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSvgRenderer>

#include "app/controller.h"
#include "app/i18n.h"
#include "catalogue/country.h"
#include "netconf/proxy_modes.h"

static void initUiResources() {
  Q_INIT_RESOURCE(ui_flags);
  Q_INIT_RESOURCE(ui_icons);
}

namespace vantor::ui {
namespace {

MessageSink& messageSink() {
  static MessageSink sink;
  return sink;
}

void ensureResources() {
  static bool done = false;
  if (!done) {
    initUiResources();
    done = true;
  }
}

// SVG drawn at the sizes the widgets ask for, so icons stay sharp on any
// screen scale.
QIcon svgIcon(const QString& path) {
  QSvgRenderer renderer(path);
  if (!renderer.isValid()) return {};
  QIcon icon;
  for (int size : {16, 20, 24, 32, 48, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

QString T(const char* key) { return QString::fromUtf8(app::tr(key)); }
QString U(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }

QIcon appIcon(const char* name) {
  ensureResources();
  static QHash<QString, QIcon> cache;
  QString key = QString::fromLatin1(name);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.insert(key, svgIcon(":/icons/" + key));
  return *it;
}

QIcon flagIcon(int32_t countryIndex) {
  ensureResources();
  static QHash<int32_t, QIcon> cache;
  auto it = cache.find(countryIndex);
  if (it != cache.end()) return *it;
  QString code = QString::fromLatin1(countryCode(countryIndex)).toLower();
  QString path = ":/flags/" + code + ".png";
  QIcon icon = !code.isEmpty() && QFile::exists(path) ? QIcon(path) : appIcon("unknown_flag.svg");
  cache.insert(countryIndex, icon);
  return icon;
}

bool chineseNames() { return app::chineseLocale(); }

QString modeName(const ProxyMode& mode) {
  if (mode.ruleFile.empty()) return T(mode.name.c_str());
  return U(chineseNames() ? mode.localName : mode.name);
}

void showMessage(QWidget* parent, const QString& text) {
  if (messageSink()) {
    messageSink()(parent, text);
    return;
  }
  auto* box = new QMessageBox(QMessageBox::Information, productTitle(), text, QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
  box->show();
}

QDialogButtonBox* okCancelButtons(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  buttons->button(QDialogButtonBox::Ok)->setText(T("OK"));
  buttons->button(QDialogButtonBox::Cancel)->setText(T("Cancel"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

void setMessageSink(MessageSink sink) { messageSink() = std::move(sink); }

QString productTitle() { return QString("%1 %2").arg(app::kProductName, app::kVersionText); }

QString aboutText() {
  return QString("<b>%1</b><p>%2</p>")
      .arg(productTitle().toHtmlEscaped(),
           T("Sends the traffic of the whole computer through one proxy node.").toHtmlEscaped());
}

}  // namespace vantor::ui
