#include "ui/node_link_dialog.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#include <qrencode.h>

#include "ui/ui_common.h"

namespace vantor::ui {

// ---- the code ----------------------------------------------------------------

CQrCodeWidget::CQrCodeWidget(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

bool CQrCodeWidget::setData(const QByteArray& bytes) {
  dark_.clear();
  width_ = 0;
  update();
  if (bytes.isEmpty()) return false;
  // Byte mode for the whole text: a link is ASCII, and byte mode reads back
  // exactly what was put in, whatever the characters.
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeData(static_cast<int>(bytes.size()), reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
                        QR_ECLEVEL_M),
      QRcode_free);
  if (!code || code->width <= 0) return false;
  width_ = code->width;
  dark_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(width_));
  // Bit 0 of each module byte is its colour; the other bits tell what the
  // module is part of.
  for (std::size_t i = 0; i < dark_.size(); ++i) dark_[i] = (code->data[i] & 1) != 0;
  updateGeometry();
  return true;
}

QImage CQrCodeWidget::image(int moduleSize) const {
  moduleSize = std::max(1, moduleSize);
  int side = (width_ + 2 * kQuietZone) * moduleSize;
  QImage picture(side, side, QImage::Format_RGB32);
  picture.fill(Qt::white);
  QPainter painter(&picture);
  for (int y = 0; y < width_; ++y)
    for (int x = 0; x < width_; ++x)
      if (dark(x, y))
        painter.fillRect((x + kQuietZone) * moduleSize, (y + kQuietZone) * moduleSize, moduleSize, moduleSize,
                         Qt::black);
  return picture;
}

QSize CQrCodeWidget::sizeHint() const {
  int side = (std::max(width_, 21) + 2 * kQuietZone) * 4;
  return {side, side};
}

QSize CQrCodeWidget::minimumSizeHint() const {
  int side = (std::max(width_, 21) + 2 * kQuietZone) * 2;
  return {side, side};
}

void CQrCodeWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  if (width_ <= 0) return;
  // Whole pixels per module, so that every module has the same size and no
  // edge is blurred; the code is centred in what is left.
  int total = width_ + 2 * kQuietZone;
  int module = std::max(1, std::min(width(), height()) / total);
  int left = (width() - total * module) / 2 + kQuietZone * module;
  int top = (height() - total * module) / 2 + kQuietZone * module;
  for (int y = 0; y < width_; ++y)
    for (int x = 0; x < width_; ++x)
      if (dark(x, y)) painter.fillRect(left + x * module, top + y * module, module, module, Qt::black);
}

// ---- the dialog --------------------------------------------------------------

CNodeLinkDialog::CNodeLinkDialog(QWidget* parent, const QString& name, const QString& link)
    : QDialog(parent), link_(link) {
  setWindowTitle(T("Node link"));
  auto* layout = new QVBoxLayout(this);
  auto* caption = new QLabel(name, this);
  caption->setWordWrap(true);
  caption->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(caption);
  code_ = new CQrCodeWidget(this);
  layout->addWidget(code_, 1);
  tooLong_ = new QLabel(T("This link is too long for a QR code."), this);
  tooLong_->setWordWrap(true);
  layout->addWidget(tooLong_);
  tooLong_->setVisible(!code_->setData(link.toUtf8()));
  code_->setVisible(code_->hasCode());
  text_ = new QPlainTextEdit(link, this);
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  text_->setWordWrapMode(QTextOption::WrapAnywhere);
  text_->setMaximumHeight(fontMetrics().lineSpacing() * 4 + 12);
  layout->addWidget(text_);
  auto* buttons = new QDialogButtonBox(this);
  copy_ = buttons->addButton(T("Copy link"), QDialogButtonBox::ActionRole);
  QPushButton* close = buttons->addButton(T("Close"), QDialogButtonBox::RejectRole);
  connect(copy_, &QPushButton::clicked, this, &CNodeLinkDialog::copyLink);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  layout->addWidget(buttons);
  close->setDefault(true);
  resize(380, 500);
}

void CNodeLinkDialog::copyLink() { QGuiApplication::clipboard()->setText(link_); }

}  // namespace vantor::ui
