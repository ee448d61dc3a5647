#include "ui/traffic_window.h"

#include <QFormLayout>
#include <QLabel>
#include <QTimer>

#include "app/startup.h"
#include "ui/ui_common.h"

namespace vantor::ui {

std::optional<TrafficValues> currentTraffic(app::CVexorApp& core, int connectionState) {
  std::optional<app::TrafficNow> now = core.traffic(connectionState == app::kConnected);
  if (!now) return std::nullopt;
  return TrafficValues{U(now->total), U(now->rate), QString::number(now->connections)};
}

CTrafficWindow::CTrafficWindow(QWidget* owner, app::CVexorApp& core, std::function<int()> state)
    : QWidget(owner, Qt::Tool | Qt::WindowStaysOnTopHint) {
  setWindowTitle(T("Traffic"));
  source_ = [&core, state = std::move(state)] { return currentTraffic(core, state()); };
  values_ = {"0 B", "0 B/s", "0"};
  auto* layout = new QFormLayout(this);
  layout->setLabelAlignment(Qt::AlignLeft);
  total_ = new QLabel(values_.total, this);
  speed_ = new QLabel(values_.speed, this);
  connections_ = new QLabel(values_.connections, this);
  for (QLabel* value : {total_, speed_, connections_}) {
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setMinimumWidth(90);
  }
  layout->addRow(T("Traffic Statistics:"), total_);
  layout->addRow(T("Live Speed:"), speed_);
  layout->addRow(T("Connections:"), connections_);
  timer_ = new QTimer(this);
  timer_->setInterval(kIntervalMs);
  connect(timer_, &QTimer::timeout, this, &CTrafficWindow::tick);
  timer_->start();
}

void CTrafficWindow::tick() {
  std::optional<TrafficValues> now = source_();
  if (!now || *now == values_) return;
  values_ = *now;
  total_->setText(values_.total);
  speed_->setText(values_.speed);
  connections_->setText(values_.connections);
  ++repaints_;
  update();
}

}  // namespace vantor::ui
