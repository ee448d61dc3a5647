#include "ui/ui_common.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QHash>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>

#include <algorithm>

#include "app/controller.h"
#include "app/i18n.h"
#include "app/types.h"

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

// ---- placement -----------------------------------------------------------------

namespace {

// A title bar and thin borders: what the usual window managers add.
constexpr QMargins kUsualFrame{4, 30, 4, 4};

bool placedWindow(const QWidget* w) {
  if (!w->isWindow()) return false;
  switch (w->windowType()) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Tool:
    case Qt::SplashScreen:
      return true;
    default:
      return false;  // menus, tool tips and the like place themselves
  }
}

QScreen* screenOf(const QWidget* w) {
  if (w->testAttribute(Qt::WA_Moved))
    if (QScreen* at = QGuiApplication::screenAt(w->frameGeometry().center())) return at;
  if (QWidget* parent = w->parentWidget())
    if (QScreen* s = parent->window()->screen()) return s;
  return w->screen() ? w->screen() : QGuiApplication::primaryScreen();
}

class ScreenKeeper : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
      auto* w = static_cast<QWidget*>(watched);
      if (placedWindow(w)) fitOnScreen(w);
    }
    return false;
  }
};

}  // namespace

QMargins windowFrame(const QWidget* window) {
  auto known = [](const QWidget* w, QMargins& margins) {
    QRect frame = w->frameGeometry();
    QRect inner = w->geometry();
    if (frame == inner) return false;  // not shown yet, or no frame at all
    margins = {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
               frame.bottom() - inner.bottom()};
    return true;
  };
  QMargins margins;
  if (known(window, margins)) return margins;
  if (window->windowType() == Qt::SplashScreen || (window->windowFlags() & Qt::FramelessWindowHint)) return {};
  // Before its first showing: as the window manager framed our main window.
  if (QWidget* parent = window->parentWidget())
    if (known(parent->window(), margins)) return margins;
  return kUsualFrame;
}

void fitOnScreen(QWidget* w) {
  QScreen* screen = screenOf(w);
  if (!screen) return;
  QRect area = screen->availableGeometry();
  QMargins frame = windowFrame(w);
  // The size first: the frame included, no larger than the area.
  QSize room = area.size().shrunkBy(frame);
  QSize size = w->size();
  QSize fitted = size.boundedTo(room).expandedTo(w->minimumSize());
  if (fitted != size) w->resize(fitted);
  // pos() is where the frame's corner is (or is to be).
  QRect outer(w->pos(), fitted.grownBy(frame));
  // A window of ours opens over its parent unless the program placed it
  // (a dialog places itself so and still counts as not placed).
  if (!w->testAttribute(Qt::WA_Moved)) {
    QWidget* parent = w->parentWidget() ? w->parentWidget()->window() : nullptr;
    if (!parent || !parent->isVisible()) return;  // the window manager places it
    outer.moveCenter(parent->frameGeometry().center());
  }
  outer.moveTo(std::clamp(outer.left(), area.left(), std::max(area.left(), area.right() + 1 - outer.width())),
               std::clamp(outer.top(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height())));
  // Placed by its inner corner: a frame not known yet cannot shift it out.
  QRect inner(outer.topLeft() + QPoint(frame.left(), frame.top()), fitted);
  if (inner != w->geometry() || !w->testAttribute(Qt::WA_Moved)) w->setGeometry(inner);
}

void keepWindowsOnScreen() {
  static ScreenKeeper* keeper = nullptr;
  if (keeper || !qApp) return;
  keeper = new ScreenKeeper(qApp);
  qApp->installEventFilter(keeper);
}

QString productTitle() { return QString("%1 %2").arg(app::kProductName, app::kVersionText); }

QString aboutText() {
  return QString("<b>%1</b><p>%2</p>")
      .arg(productTitle().toHtmlEscaped(),
           T("Sends the traffic of the whole computer through one proxy node.").toHtmlEscaped());
}

}  // namespace vantor::ui
