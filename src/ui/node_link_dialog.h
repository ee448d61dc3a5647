// A node's share link shown as text and as a QR code, for moving the node to
// a phone or another computer: the code widget (drawn from libqrencode's
// modules, with the quiet zone scanners need) and the dialog around it with
// its "Copy link" button.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QWidget>

#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vantor::ui {

class CQrCodeWidget : public QWidget {
  Q_OBJECT

 public:
  // Light modules around the code on every side, as the QR standard asks.
  static constexpr int kQuietZone = 4;

  explicit CQrCodeWidget(QWidget* parent = nullptr);

  // Encodes `bytes` as they are (error correction level M). False, with no code
  // shown, when it is empty or too long for the largest code.
  bool setData(const QByteArray& bytes);
  bool hasCode() const { return width_ > 0; }
  // Modules per side, without the quiet zone.
  int modules() const { return width_; }
  bool dark(int x, int y) const { return dark_[static_cast<std::size_t>(y * width_ + x)]; }
  // The code at `moduleSize` pixels per module, quiet zone included.
  QImage image(int moduleSize) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<bool> dark_;
  int width_ = 0;
};

class CNodeLinkDialog : public QDialog {
  Q_OBJECT

 public:
  // `name`: the node as the list shows it; `link`: its share link.
  CNodeLinkDialog(QWidget* parent, const QString& name, const QString& link);

  const QString& link() const { return link_; }
  CQrCodeWidget* code() const { return code_; }
  QPlainTextEdit* linkText() const { return text_; }
  QPushButton* copyButton() const { return copy_; }
  // Puts the link on the clipboard.
  void copyLink();

 private:
  QString link_;
  CQrCodeWidget* code_ = nullptr;
  QLabel* tooLong_ = nullptr;
  QPlainTextEdit* text_ = nullptr;
  QPushButton* copy_ = nullptr;
};

}  // namespace vantor::ui
