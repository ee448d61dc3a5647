// The traffic window: total traffic, live speed and connections, updated
// once a second while the store has a selected node, and repainted only when
// one of the three values changed.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QTimer;

namespace vantor::app {
class CVexorApp;
}

namespace vantor::ui {

struct TrafficValues {
  QString total;
  QString speed;
  QString connections;
  bool operator==(const TrafficValues&) const = default;
};

class CTrafficWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kIntervalMs = 1000;
  // Nothing while no node is selected.
  using Source = std::function<std::optional<TrafficValues>()>;

  // `state` tells the connection state (the live speed counts only while
  // connected); the values come from the core (node store, local service).
  CTrafficWindow(QWidget* owner, app::CVexorApp& core, std::function<int()> state);
  // The values from `source` instead (tests).
  void setSource(Source source) { source_ = std::move(source); }

  // One pass of the timer.
  void tick();
  const TrafficValues& values() const { return values_; }
  int repaints() const { return repaints_; }

 private:
  Source source_;
  TrafficValues values_;
  QLabel* total_ = nullptr;
  QLabel* speed_ = nullptr;
  QLabel* connections_ = nullptr;
  QTimer* timer_ = nullptr;
  int repaints_ = 0;
};

// The values the window shows now: the store's total traffic, the selected
// node's rate while connected (else "0 B/s"), the service's live connections.
std::optional<TrafficValues> currentTraffic(app::CVexorApp& core, int connectionState);

}  // namespace vantor::ui
