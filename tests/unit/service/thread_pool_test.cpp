#include "service/thread_pool.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

TEST(ThreadPool, StopUnderLoadWaitsForRunningJobsAndStartsNoneAfter) {
  for (int round = 0; round < 40; ++round) {
    CThreadPool::Options options;
    options.initialThreads = 2;
    options.growStep = 2;
    options.maxThreads = 8;
    CThreadPool pool(options);
    // What a relay's jobs touch: freed as soon as stop() has returned.
    auto flow = std::make_unique<std::atomic<int>>(0);
    std::atomic<int>* target = flow.get();
    std::atomic<int> running{0}, started{0};
    std::atomic<bool> submitting{true};
    std::vector<std::thread> submitters;
    for (int t = 0; t < 2; ++t) {
      submitters.emplace_back([&] {
        while (submitting && pool.submit([&, target] {
          ++running;
          ++started;
          std::this_thread::yield();
          target->fetch_add(1);
          --running;
        })) {
        }
      });
    }
    ASSERT_TRUE(waitUntil([&] { return started > 20; }));
    pool.stop(true);
    EXPECT_EQ(running.load(), 0) << "stop returned while a job was running";
    EXPECT_EQ(pool.busyCount(), 0u);
    EXPECT_EQ(pool.workerCount(), 0u);
    const int after = started.load();
    flow.reset();
    submitting = false;
    for (auto& t : submitters) t.join();
    EXPECT_EQ(started.load(), after) << "a job started after stop returned";
    EXPECT_FALSE(pool.submit([] {}));
  }
}

#ifdef _WIN32
// Windows counts no voluntary switches; the CPU time the process spends
// (in milliseconds) shows idle workers that keep waking up as well.
long voluntarySwitches() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](FILETIME t) { return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return static_cast<long>((ticks(kernel) + ticks(user)) / 10000);
}
#else
long voluntarySwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}
#endif

TEST(ThreadPool, IdleWorkersSleepUntilWorkComesAndExtraOnesRetire) {
  {
    CThreadPool pool;  // 100 workers with nothing to do
    ASSERT_EQ(pool.state(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let them all reach their wait
    long before = voluntarySwitches();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(voluntarySwitches() - before, 20) << "idle workers keep waking up";
  }
  CThreadPool::Options options;
  options.initialThreads = 0;
  options.growStep = 1;
  options.maxThreads = 6;
  options.idleExitMs = 100;
  CThreadPool pool(options);
  EXPECT_EQ(pool.workerCount(), 0u);
  Gate gate;
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(pool.submit([&] { gate.enter(); }));
  ASSERT_TRUE(waitUntil([&] { return gate.entered == 6; }));
  EXPECT_EQ(pool.workerCount(), 6u);
  gate.release();
  EXPECT_TRUE(waitUntil([&] { return pool.workerCount() == 0; }, 3000)) << "workers without work did not end";
  // A pool that has shrunk grows again.
  std::atomic<bool> ran{false};
  ASSERT_TRUE(pool.submit([&] { ran = true; }));
  EXPECT_TRUE(waitUntil([&] { return ran.load(); }));
}

TEST(ThreadPool, AFailedStartLeavesNoThreadAndRefusesJobs) {
  CThreadPool::Options options;
  options.initialThreads = 3;
  options.stackSize = std::size_t{1} << 46;  // more than any system grants a thread
  CThreadPool pool(options);                 // must not throw
  EXPECT_EQ(pool.state(), 2);
  EXPECT_EQ(pool.workerCount(), 0u);
  EXPECT_FALSE(pool.submit([] {}));

  options.initialThreads = 0;
  options.growStep = 1;
  CThreadPool empty(options);
  ASSERT_EQ(empty.state(), 0);
  EXPECT_FALSE(empty.submit([] {})) << "a job no thread can run must be refused";
  EXPECT_EQ(empty.busyCount(), 0u);
}

}  // namespace
}  // namespace vantor
