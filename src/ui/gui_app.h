// The desktop application: start-up, the data-loading dialog, the services,
// the main window with its controller, and the control endpoint that a
// second start asks to show the window. Also the screenshot run, which
// renders every window and dialog into PNG files.
#pragma once

#include <QDialog>

#include <string>

class QLabel;

namespace vantor::ui {

// "Loading proxy mode rules...": shown while the rule files are scanned.
class CLoadingDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CLoadingDialog(QWidget* parent = nullptr);
};

// `vantor` and `vantor gui`: the exit status of the program.
int runGui();

// `vantor gui --screenshot DIR`: the main window, the traffic window and each
// dialog into DIR as PNG files, from the stored configuration; touches
// nothing on the host. The exit status is 0 when every image was written.
int renderScreenshots(const std::string& dir);

}  // namespace vantor::ui
