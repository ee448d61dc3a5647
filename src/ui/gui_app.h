// The desktop application: start-up, the data-loading dialog, the services,
// the main window with its controller, and the control endpoint that a
// second start asks to show the window. Also the screenshot run, which
// renders every window and dialog into PNG files.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

namespace vantor::app {
class CVexorApp;
}  // namespace vantor::app

namespace vantor::ui {

class DialogKovalBase;

// "Loading proxy mode rules...": shown while the rule files are scanned.
class CLoadingDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CLoadingDialog(QWidget* parent = nullptr);
};

// The running program behind `vantor gui`, in its steps, so that a test can
// drive the real window between them.
class CGuiApplication {
 public:
  CGuiApplication();
  ~CGuiApplication();
  CGuiApplication(const CGuiApplication&) = delete;
  CGuiApplication& operator=(const CGuiApplication&) = delete;

  enum class Shell { Ready, AlreadyRunning, Failed };
  // Start-up before any window (no display needed): a second start asks the
  // first one to show its window and ends here.
  Shell startShell();
  // With a QApplication: the data-loading dialog, the controller, the main
  // window, the services, adapter discovery and the control endpoint; the
  // window is shown and its list loaded.
  void startWindow();
  // After the event loop: what the run changed on the host is taken back
  // and the window is gone.
  void finish();

  DialogKovalBase* window() const { return window_.get(); }
  app::CVexorApp& core() const { return *shell_; }
  const std::string& error() const { return error_; }

 private:
  std::unique_ptr<app::CVexorApp> shell_;
  std::unique_ptr<DialogKovalBase> window_;
  std::string error_;
  bool finished_ = false;
};

// `vantor` and `vantor gui`: the exit status of the program.
int runGui();

// `vantor gui --screenshot DIR`: the main window, the traffic window and each
// dialog into DIR as PNG files, from the stored configuration; touches
// nothing on the host. The exit status is 0 when every image was written.
int renderScreenshots(const std::string& dir);

}  // namespace vantor::ui
