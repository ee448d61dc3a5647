#include "tunnel/base/btime.h"

#include <atomic>
#include <chrono>
#include <limits>

namespace vantor::tunnel {
namespace {
using Clock = std::chrono::steady_clock;
std::atomic<int64_t> g_startTicks{0};
std::atomic<bool> g_started{false};

int64_t ticks() { return Clock::now().time_since_epoch().count(); }
}  // namespace

void BTime_Init() {
  if (g_started.load(std::memory_order_acquire)) return;
  // Only the first initialisation stores its start value.
  int64_t unset = 0;
  g_startTicks.compare_exchange_strong(unset, ticks());
  g_started.store(true, std::memory_order_release);
}

btime_t btime_gettime() {
  if (!g_started.load(std::memory_order_acquire)) BTime_Init();
  Clock::duration elapsed(ticks() - g_startTicks.load(std::memory_order_relaxed));
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

btime_t btime_add(btime_t now, btime_t ms) {
  constexpr btime_t kMax = std::numeric_limits<btime_t>::max();
  constexpr btime_t kMin = std::numeric_limits<btime_t>::min();
  if (ms > 0 && now > kMax - ms) return kMax;
  if (ms < 0 && now < kMin - ms) return kMin;
  return now + ms;
}

}  // namespace vantor::tunnel
