#include "service/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vantor {
namespace {

// Holds every job that enters it until released.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> entered{0};
  void enter() {
    ++entered;
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return open; });
  }
  void release() {
    {
      std::lock_guard lock(m);
      open = true;
    }
    cv.notify_all();
  }
};

bool waitUntil(const std::function<bool()>& condition, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(ThreadPool, RunsJobsAndNamesItself) {
  CThreadPool::Options options;
  options.initialThreads = 4;
  CThreadPool pool(options);
  EXPECT_EQ(pool.name().rfind("Pool", 0), 0u);
  std::atomic<int> done{0};
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(pool.submit([&] { ++done; }));
  EXPECT_TRUE(waitUntil([&] { return done == 1000; }));
  EXPECT_TRUE(waitUntil([&] { return pool.busyCount() == 0; }));
  pool.stop(true);
  EXPECT_EQ(pool.state(), 2);
  EXPECT_FALSE(pool.submit([] {}));
}

TEST(ThreadPool, GrowsByStepWhenAllBusyAndStopsAtMaximum) {
  CThreadPool pool;  // 100 workers, steps of 50, at most 500
  Gate gate;
  for (int i = 0; i < 100; ++i) pool.submit([&] { gate.enter(); });
  ASSERT_TRUE(waitUntil([&] { return gate.entered == 100; }));
  EXPECT_EQ(pool.workerCount(), 100u);

  // Every worker is busy: the next job makes the pool grow and runs at once.
  pool.submit([&] { gate.enter(); });
  ASSERT_TRUE(waitUntil([&] { return gate.entered == 101; }));
  EXPECT_EQ(pool.workerCount(), 150u);

  for (int i = 0; i < 399; ++i) pool.submit([&] { gate.enter(); });
  ASSERT_TRUE(waitUntil([&] { return gate.entered == 500; }));
  EXPECT_EQ(pool.workerCount(), 500u);

  // At the maximum a job waits in the queue until a worker is free.
  std::atomic<bool> late{false};
  pool.submit([&] { late = true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(late);
  EXPECT_EQ(pool.workerCount(), 500u);
  gate.release();
  EXPECT_TRUE(waitUntil([&] { return late.load(); }));
  pool.stop(true);
}

}  // namespace
}  // namespace vantor
