#include "ui/test_window.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "app/startup.h"
#include "ui/ui_common.h"

namespace vantor::ui {

CNodeTestWindow::CNodeTestWindow(QWidget* owner, app::CVexorApp& core)
    : QWidget(owner, Qt::Window),
      core_(core),
      alive_(std::make_shared<bool>(true)),
      runner_([this, alive = alive_](const std::string& line, int level) {
        // From the test thread: shown on the GUI thread while the window lives.
        QMetaObject::invokeMethod(
            this,
            [this, alive, text = U(line), level] {
              if (*alive) appendLine(text, level);
            },
            Qt::QueuedConnection);
      }) {
  setWindowTitle(T("Testing proxy server..."));
  auto* layout = new QVBoxLayout(this);
  log_ = new QTextEdit(this);
  log_->setReadOnly(true);
  log_->setLineWrapMode(QTextEdit::WidgetWidth);
  layout->addWidget(log_, 1);
  auto* row = new QHBoxLayout;
  stamps_ = new QCheckBox(T("Time stamps"), this);
  stamps_->setChecked(true);
  auto* again = new QPushButton(T("Test again"), this);
  auto* close = new QPushButton(T("Close"), this);
  connect(again, &QPushButton::clicked, this, [this] { runTests(); });
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  row->addWidget(stamps_);
  row->addStretch(1);
  row->addWidget(again);
  row->addWidget(close);
  layout->addLayout(row);
  resize(460, 520);
  // The runner has no end report of its own; a run is short, so a look
  // every fifth of a second is soon enough for the list's latency column.
  watch_ = new QTimer(this);
  watch_->setInterval(200);
  connect(watch_, &QTimer::timeout, this, [this] {
    if (runner_.running()) return;
    watch_->stop();
    emit runFinished();
  });
}

CNodeTestWindow::~CNodeTestWindow() {
  *alive_ = false;
  runner_.stop();
}

void CNodeTestWindow::startTests(const std::vector<CNodeInfo*>& nodes, int choice) {
  nodeIds_.clear();
  for (const CNodeInfo* node : nodes)
    if (node) nodeIds_.push_back(node->id);
  choice_ = choice;
  runTests();
}

void CNodeTestWindow::runTests() {
  // By id: a node removed since the last run is left out, an edited one is
  // tested as it is now.
  std::vector<NodeRef> nodes;
  for (int32_t id : nodeIds_)
    if (NodeRef node = core_.catalogue().nodes().snapshot(id)) nodes.push_back(std::move(node));
  log_->clear();
  TestTargets targets = TestTargets::fromSettings(core_.settings().get());
  runner_.start(std::move(nodes), choice_, targets);
  watch_->start();
}

void CNodeTestWindow::appendLine(const QString& line, int level) {
  uint32_t rgb = CNodeTestRunner::levelColour(level);
  QString html;
  if (stamps_->isChecked()) html += U(CNodeTestRunner::timeStampPrefix()).toHtmlEscaped().replace(" ", "&nbsp;");
  html += QString("<span style=\"color:#%1\">%2</span>").arg(rgb, 6, 16, QChar('0')).arg(line.toHtmlEscaped());
  log_->append(html);
}

}  // namespace vantor::ui
