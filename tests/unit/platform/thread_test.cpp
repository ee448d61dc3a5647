#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vantor::platform {
namespace {

// A thread that has run to its end but was neither joined nor detached keeps
// its resources for the life of the process (ThreadSanitizer reports it as a
// leak when the test ends). Replacing it must let it go.
bool reaches(const std::atomic<int>& count, int value) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (count.load() < value) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(Thread, ReplacingAThreadReleasesTheOldOne) {
  static std::atomic<int> ran{0};  // outlives a thread that is never started
  auto body = [] { ++ran; };
  Thread t;
  ASSERT_TRUE(t.createSuspended(body, 0));
  t.resume();
  ASSERT_TRUE(reaches(ran, 1));

  Thread other;
  ASSERT_TRUE(other.createSuspended(body, 0));
  t = std::move(other);                     // over a finished, still joinable thread
  ASSERT_TRUE(t.createSuspended(body, 0));  // over a suspended one: it runs and is let go
  t.resume();
  t.join();
  EXPECT_FALSE(t.valid());
  EXPECT_TRUE(reaches(ran, 3)) << "a replaced suspended thread never ran";
}

TEST(BuildFlags, SanitizerBuildsCheckAsserts) {
#if (defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)) && defined(NDEBUG)
  FAIL() << "a sanitizer build compiled without its asserts";
#endif
}

}  // namespace
}  // namespace vantor::platform
