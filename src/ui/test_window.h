// The node test window ("Testing proxy server..."): runs the node tester on
// its own thread for the given nodes and shows every line, coloured by its
// level, with an optional time stamp.
#pragma once

#include <QWidget>

#include <memory>
#include <vector>

#include "app/node_tests.h"

namespace vantor::app {
class CVexorApp;
}

class QCheckBox;
class QTextEdit;
class QTimer;

namespace vantor::ui {

class CNodeTestWindow : public QWidget {
  Q_OBJECT

 public:
  // The test targets come from the core's settings at each start.
  CNodeTestWindow(QWidget* owner, app::CVexorApp& core);
  ~CNodeTestWindow() override;

  // Clears the log and starts a run (a run still going is ended first).
  void startTests(const std::vector<CNodeInfo*>& nodes, int choice);
  // Appends one line as the runner reports it (GUI thread).
  void appendLine(const QString& line, int level);
  bool running() const { return runner_.running(); }
  void waitForRun() { runner_.wait(); }
  QTextEdit* log() const { return log_; }
  QCheckBox* timeStamps() const { return stamps_; }
  // The nodes of the last run, by id.
  const std::vector<int32_t>& nodeIds() const { return nodeIds_; }

 signals:
  // A run ended (its results are in the nodes' counters).
  void runFinished();

 private:
  app::CVexorApp& core_;
  QTextEdit* log_ = nullptr;
  QCheckBox* stamps_ = nullptr;
  std::shared_ptr<bool> alive_;
  CNodeTestRunner runner_;
  void runTests();
  QTimer* watch_ = nullptr;  // looks for the end of a run

  std::vector<int32_t> nodeIds_;  // the nodes of the last run, kept by id
  int choice_ = CNodeTestRunner::kChoiceBoth;
};

}  // namespace vantor::ui
