// The event loop's dispatch order, its timers and its completion slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tunnel/base/reactor.h"

namespace vantor::tunnel {
namespace {

struct ReactorTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(BReactor_Init(&reactor)); }
  void TearDown() override { BReactor_Free(&reactor); }
  BReactor reactor;
  std::vector<std::string> trace;
};

struct Recorder {
  ReactorTest* f;
  std::string name;
  std::function<void()> then;
  static void run(void* user) {
    auto* r = static_cast<Recorder*>(user);
    r->f->trace.push_back(r->name);
    if (r->then) r->then();
  }
};

TEST_F(ReactorTest, JobsRunLastQueuedFirstAndRequeueingMovesToTheTop) {
  Recorder a{this, "a"}, b{this, "b"}, c{this, "c"};
  ReactorJob ja, jb, jc;
  ReactorJob_Init(&ja, &reactor, Recorder::run, &a);
  ReactorJob_Init(&jb, &reactor, Recorder::run, &b);
  ReactorJob_Init(&jc, &reactor, Recorder::run, &c);
  c.then = [&] { BReactor_Quit(&reactor, 7); };
  ReactorJob_Set(&jc);  // bottom: runs last and ends the loop
  ReactorJob_Set(&ja);
  ReactorJob_Set(&jb);
  ReactorJob_Set(&ja);  // already queued: moves above b
  EXPECT_EQ(BReactor_Exec(&reactor), 7);
  EXPECT_EQ(trace, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_FALSE(ReactorJob_IsSet(&ja));
}

TEST_F(ReactorTest, UnsetJobDoesNotRunAndFreeUnqueues) {
  Recorder a{this, "a"}, b{this, "b"}, q{this, "quit"};
  ReactorJob ja, jb, jq;
  ReactorJob_Init(&ja, &reactor, Recorder::run, &a);
  ReactorJob_Init(&jb, &reactor, Recorder::run, &b);
  ReactorJob_Init(&jq, &reactor, Recorder::run, &q);
  q.then = [&] { BReactor_Quit(&reactor, 0); };
  ReactorJob_Set(&jq);
  ReactorJob_Set(&ja);
  ReactorJob_Set(&jb);
  ReactorJob_Unset(&ja);
  ReactorJob_Free(&jb);
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"quit"}));
}

// Two timers with the same expiry time run one per loop iteration, with the
// jobs that the first one queued in between; a completion waits behind both.
TEST_F(ReactorTest, EqualTimersRunOneAtATimeWithJobsBetweenAndCompletionsLast) {
  Recorder t1{this, "t1"}, t2{this, "t2"}, job{this, "job"}, done{this, "done"};
  ReactorTimer a, b;
  ReactorJob j;
  ReactorJob_Init(&j, &reactor, Recorder::run, &job);
  ReactorTimer_Init(&a, 0, Recorder::run, &t1);
  ReactorTimer_Init(&b, 0, Recorder::run, &t2);
  CompletionSlot slot;
  struct SlotUser {
    ReactorTest* f;
    int event = 0;
    long bytes = 0;
  } su{this};
  CompletionSlot_Init(
      &slot, &reactor,
      [](void* user, int event, long bytes) {
        auto* s = static_cast<SlotUser*>(user);
        if (event == COMPLETION_DESTROYED) return;
        s->event = event;
        s->bytes = bytes;
        s->f->trace.push_back("slot");
        BReactor_Quit(&s->f->reactor, 0);
      },
      &su);
  t1.then = [&] {
    ReactorJob_Set(&j);
    // Recorded while t2 is still pending: dispatched after it.
    CompletionSlot_Complete(&slot, true, 1234);
  };
  btime_t at = btime_gettime() + 20;
  BReactor_SetTimerAbsolute(&reactor, &a, at);
  BReactor_SetTimerAbsolute(&reactor, &b, at);
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"t1", "job", "t2", "slot"}));
  EXPECT_EQ(su.event, COMPLETION_SUCCEEDED);
  EXPECT_EQ(su.bytes, 1234);
  CompletionSlot_Free(&slot);
}

TEST_F(ReactorTest, IdleJobsRunLastInTheirOrderBeforeTheLoopWaits) {
  Recorder i1{this, "idle1"}, i2{this, "idle2"}, job{this, "job"}, timer{this, "timer"}, quit{this, "quit"};
  ReactorJob ji1, ji2, jj, jq;
  ReactorJob_Init(&ji1, &reactor, Recorder::run, &i1);
  ReactorJob_Init(&ji2, &reactor, Recorder::run, &i2);
  ReactorJob_Init(&jj, &reactor, Recorder::run, &job);
  ReactorJob_Init(&jq, &reactor, Recorder::run, &quit);
  ReactorTimer t;
  ReactorTimer_Init(&t, 0, Recorder::run, &timer);
  // The first idle job queues a job (it runs before the second idle job) and
  // itself again (already done: queued anew, behind the second).
  i1.then = [&] {
    ReactorJob_Set(&jj);
    if (std::count(trace.begin(), trace.end(), "idle1") == 1) ReactorJob_SetIdle(&ji1);
  };
  i2.then = [&] { ReactorJob_SetIdle(&jq); };
  quit.then = [&] { BReactor_Quit(&reactor, 0); };
  ReactorJob_SetIdle(&ji1);
  ReactorJob_SetIdle(&ji2);
  ReactorJob_SetIdle(&ji1);  // already waiting: keeps its place
  BReactor_SetTimerAbsolute(&reactor, &t, btime_gettime() - 1);
  uint64_t waitsBefore = reactor.pollerWaits;
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"timer", "idle1", "job", "idle2", "idle1", "job", "quit"}));
  EXPECT_EQ(reactor.pollerWaits, waitsBefore) << "nothing waited in the poller";
  // An idle job moved to the stack runs as an ordinary job; unset, it never runs.
  trace.clear();
  reactor.exiting.store(false);
  i2.then = nullptr;
  ReactorJob_Set(&jq);
  ReactorJob_SetIdle(&ji2);
  ReactorJob_Set(&ji2);
  ReactorJob_SetIdle(&ji1);
  ReactorJob_Unset(&ji1);
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"idle2", "quit"}));
  EXPECT_FALSE(ReactorJob_IsSet(&ji1));
}

TEST_F(ReactorTest, TimersRunInExpiryOrderAndResettingMovesThem) {
  Recorder r1{this, "30"}, r2{this, "10"}, r3{this, "moved"};
  ReactorTimer a, b, c;
  ReactorTimer_Init(&a, 30, Recorder::run, &r1);
  ReactorTimer_Init(&b, 10, Recorder::run, &r2);
  ReactorTimer_Init(&c, 5, Recorder::run, &r3);
  r1.then = [&] { BReactor_Quit(&reactor, 0); };
  BReactor_SetTimer(&reactor, &a);
  BReactor_SetTimer(&reactor, &b);
  BReactor_SetTimer(&reactor, &c);
  BReactor_SetTimerAfter(&reactor, &c, 20);  // now between the other two
  EXPECT_TRUE(ReactorTimer_IsRunning(&c));
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"10", "moved", "30"}));
}

TEST_F(ReactorTest, RemovedTimerNeverRuns) {
  Recorder r1{this, "removed"}, r2{this, "kept"};
  ReactorTimer a, b;
  ReactorTimer_Init(&a, 1, Recorder::run, &r1);
  ReactorTimer_Init(&b, 15, Recorder::run, &r2);
  r2.then = [&] { BReactor_Quit(&reactor, 0); };
  BReactor_SetTimer(&reactor, &a);
  BReactor_SetTimer(&reactor, &b);
  BReactor_RemoveTimer(&reactor, &a);
  BReactor_RemoveTimer(&reactor, &a);  // no effect on an inactive timer
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"kept"}));
}

TEST_F(ReactorTest, ManyTimersKeepTheirOrder) {
  // Exercises the balanced tree with insertions and removals in all orders.
  constexpr int kCount = 200;
  std::vector<ReactorTimer> timers(kCount);
  std::vector<int> order;
  struct Ctx {
    std::vector<int>* order;
    int id;
  };
  std::vector<Ctx> ctx(kCount);
  for (int i = 0; i < kCount; ++i) {
    ctx[i] = {&order, i};
    ReactorTimer_Init(
        &timers[i], 0,
        [](void* user) {
          auto* c = static_cast<Ctx*>(user);
          c->order->push_back(c->id);
        },
        &ctx[i]);
    // expiry (i * 37) % 101: many duplicates and a scrambled insertion order
    BReactor_SetTimerAfter(&reactor, &timers[i], (i * 37) % 101);
  }
  for (int i = 0; i < kCount; i += 3) BReactor_RemoveTimer(&reactor, &timers[i]);
  ReactorTimer quit;
  ReactorTimer_Init(
      &quit, 150, [](void* user) { BReactor_Quit(static_cast<BReactor*>(user), 0); }, &reactor);
  BReactor_SetTimer(&reactor, &quit);
  BReactor_Exec(&reactor);
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kCount - (kCount + 2) / 3));
  for (std::size_t k = 1; k < order.size(); ++k) {
    const ReactorTimer& p = timers[order[k - 1]];
    const ReactorTimer& q = timers[order[k]];
    EXPECT_TRUE(p.expiry < q.expiry || (p.expiry == q.expiry && p.identity < q.identity))
        << "timer " << order[k - 1] << " ran before " << order[k];
  }
}

TEST_F(ReactorTest, TimerAlreadyDueRunsWithoutBlockingInThePoller) {
  Recorder r{this, "due"};
  ReactorTimer t;
  ReactorTimer_Init(&t, -5, Recorder::run, &r);
  r.then = [&] { BReactor_Quit(&reactor, 0); };
  BReactor_SetTimer(&reactor, &t);
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"due"}));
  EXPECT_EQ(reactor.pollerWaits, 0u);
}

TEST_F(ReactorTest, TimerSaturatesInsteadOfOverflowing) {
  ReactorTimer distant, soon;
  Recorder r{this, "soon"};
  ReactorTimer_Init(
      &distant, INT64_MAX, [](void*) { FAIL() << "the far timer ran"; }, nullptr);
  ReactorTimer_Init(&soon, 5, Recorder::run, &r);
  r.then = [&] { BReactor_Quit(&reactor, 0); };
  BReactor_SetTimer(&reactor, &distant);
  BReactor_SetTimer(&reactor, &soon);
  EXPECT_EQ(distant.expiry, INT64_MAX);
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"soon"}));
  BReactor_RemoveTimer(&reactor, &distant);
}

TEST_F(ReactorTest, QuitFromAnotherThreadTakesEffectAtTheNextTick) {
  // The loop is not woken by Quit; a periodic timer (the tunnel's 250 ms
  // TCP timer) bounds how long it takes to notice.
  struct Tick {
    BReactor* r;
    ReactorTimer t;
    std::atomic<int> ticks{0};
  } tick{&reactor};
  ReactorTimer_Init(
      &tick.t, 50,
      [](void* user) {
        auto* k = static_cast<Tick*>(user);
        k->ticks++;
        BReactor_SetTimer(k->r, &k->t);
      },
      &tick);
  BReactor_SetTimer(&reactor, &tick.t);
  std::atomic<bool> exited{false};
  std::chrono::steady_clock::time_point quitAt;
  std::thread other([&] {
    while (tick.ticks.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    quitAt = std::chrono::steady_clock::now();
    BReactor_Quit(&reactor, 3);
  });
  int code = BReactor_Exec(&reactor);
  auto took = std::chrono::steady_clock::now() - quitAt;
  exited = true;
  other.join();
  EXPECT_EQ(code, 3);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 500);
  BReactor_RemoveTimer(&reactor, &tick.t);
}

TEST_F(ReactorTest, SynchronizeRunsJobsQueuedAboveTheMarker) {
  Recorder below{this, "below"}, above1{this, "above1"}, above2{this, "above2"};
  ReactorJob jb, j1, j2, marker;
  ReactorJob_Init(&jb, &reactor, Recorder::run, &below);
  ReactorJob_Init(&j1, &reactor, Recorder::run, &above1);
  ReactorJob_Init(&j2, &reactor, Recorder::run, &above2);
  ReactorJob_Init(
      &marker, &reactor, [](void*) { FAIL() << "the marker ran"; }, nullptr);
  ReactorJob_Set(&jb);
  ReactorJob_Set(&marker);
  // An action that queues jobs, one of which queues another.
  above1.then = [&] { ReactorJob_Set(&j2); };
  ReactorJob_Set(&j1);
  EXPECT_TRUE(BReactor_Synchronize(&reactor, &marker));
  EXPECT_EQ(trace, (std::vector<std::string>{"above1", "above2"}));
  EXPECT_FALSE(ReactorJob_IsSet(&marker));
  EXPECT_TRUE(ReactorJob_IsSet(&jb));
  ReactorJob_Free(&jb);
}

TEST_F(ReactorTest, SynchronizeReturnsAtOnceWhenExiting) {
  Recorder a{this, "a"};
  ReactorJob ja, marker;
  ReactorJob_Init(&ja, &reactor, Recorder::run, &a);
  ReactorJob_Init(
      &marker, &reactor, [](void*) {}, nullptr);
  ReactorJob_Set(&marker);
  ReactorJob_Set(&ja);
  BReactor_Quit(&reactor, 1);
  EXPECT_FALSE(BReactor_Synchronize(&reactor, &marker));
  EXPECT_TRUE(trace.empty());
  EXPECT_FALSE(ReactorJob_IsSet(&marker));  // never left dangling on the stack
  ReactorJob_Free(&ja);
}

TEST_F(ReactorTest, CompletionsRunInOrderAndFreeingDropsAnUndispatchedOne) {
  struct User {
    ReactorTest* f;
    std::string name;
    CompletionSlot slot;
  };
  auto handler = [](void* u, int event, long bytes) {
    auto* user = static_cast<User*>(u);
    if (event == COMPLETION_DESTROYED) {
      user->f->trace.push_back(user->name + ":destroyed");
      CompletionSlot_Free(&user->slot);
      return;
    }
    user->f->trace.push_back(user->name + (event == COMPLETION_SUCCEEDED ? ":ok:" : ":failed:") +
                             std::to_string(bytes));
  };
  User a{this, "a"}, b{this, "b"}, c{this, "c"}, left{this, "left"};
  CompletionSlot_Init(&a.slot, &reactor, handler, &a);
  CompletionSlot_Init(&b.slot, &reactor, handler, &b);
  CompletionSlot_Init(&c.slot, &reactor, handler, &c);
  CompletionSlot_Init(&left.slot, &reactor, handler, &left);
  CompletionSlot_Complete(&b.slot, false, 0);
  CompletionSlot_Complete(&c.slot, true, 5);
  CompletionSlot_Complete(&a.slot, true, 9);
  CompletionSlot_Free(&c.slot);  // completed, not yet dispatched
  ReactorTimer quit;
  ReactorTimer_Init(
      &quit, 1, [](void* user) { BReactor_Quit(static_cast<BReactor*>(user), 0); }, &reactor);
  BReactor_SetTimer(&reactor, &quit);
  BReactor_Exec(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"b:failed:0", "a:ok:9"}));
  CompletionSlot_Free(&a.slot);
  CompletionSlot_Free(&b.slot);
  trace.clear();
  // Freeing the reactor hands every remaining slot the destroyed event.
  BReactor_Free(&reactor);
  EXPECT_EQ(trace, (std::vector<std::string>{"left:destroyed"}));
  ASSERT_TRUE(BReactor_Init(&reactor));  // for TearDown
}

}  // namespace
}  // namespace vantor::tunnel
