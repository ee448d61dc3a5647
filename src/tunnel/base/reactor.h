// BReactor: the tunnel's single-threaded event loop.
//
// Three kinds of work are dispatched, always in this order of preference:
// pending jobs (a stack, most recently queued first), expired timers (first
// in, first out) and completed I/O operations (first in, first out). Between
// two looks at the job stack at most one timer or one completion runs, so
// jobs queued by any handler run before the next timer or completion.
// Idle jobs come last: they run once nothing else is pending, just before
// the loop would wait, so work gathered during one round (packets for the
// device, bytes for a stream) leaves in one system call.
//
// I/O follows a completion model on top of readiness reports: an owner
// starts an operation by trying it at once; when it finished, the owner
// records the result in its CompletionSlot, which puts the slot on the
// completed list; when the system said "would block", the owner waits for
// its handle's next readiness report (ReactorIo) and tries again there.
// Either way the slot's handler runs later from the loop, never inside the
// call that started the operation.
//
// Nothing on the dispatch path allocates: jobs, timers, slots and handle
// registrations live inside their owners' records.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/poller.h"
#include "tunnel/base/btime.h"

namespace vantor::tunnel {

struct BReactor;

// A deferred call.
struct ReactorJob {
  BReactor* reactor = nullptr;
  void (*handler)(void* user) = nullptr;
  void* user = nullptr;
  bool queued = false;
  bool idle = false;            // queued on the idle list rather than the stack
  ReactorJob* below = nullptr;  // towards the bottom of the stack (idle list: the next)
  ReactorJob* above = nullptr;
};

void ReactorJob_Init(ReactorJob* job, BReactor* reactor, void (*handler)(void* user), void* user);
void ReactorJob_Free(ReactorJob* job);
// Queues the job on top of the stack; a queued job moves to the top (also
// from the idle list).
void ReactorJob_Set(ReactorJob* job);
// Queues the job on the idle list (first in, first out): it runs when no job,
// timer or completion is pending, before the loop waits. A job that is
// already queued either way stays where it is.
void ReactorJob_SetIdle(ReactorJob* job);
void ReactorJob_Unset(ReactorJob* job);
inline bool ReactorJob_IsSet(const ReactorJob* job) { return job->queued; }

enum ReactorTimerState { REACTOR_TIMER_INACTIVE, REACTOR_TIMER_RUNNING, REACTOR_TIMER_EXPIRED };

struct ReactorTimer {
  btime_t interval = 0;
  void (*handler)(void* user) = nullptr;
  void* user = nullptr;
  ReactorTimerState state = REACTOR_TIMER_INACTIVE;
  btime_t expiry = 0;
  uint64_t identity = 0;  // orders timers with equal expiry times
  // timer tree (AVL)
  ReactorTimer* left = nullptr;
  ReactorTimer* right = nullptr;
  int height = 0;
  // expired list
  ReactorTimer* nextExpired = nullptr;
};

void ReactorTimer_Init(ReactorTimer* timer, btime_t interval, void (*handler)(void* user), void* user);
// Running or waiting to be dispatched.
inline bool ReactorTimer_IsRunning(const ReactorTimer* t) { return t->state != REACTOR_TIMER_INACTIVE; }

enum { COMPLETION_SUCCEEDED = 1, COMPLETION_FAILED = 2, COMPLETION_DESTROYED = 3 };

// The result of one asynchronous operation and the handler that receives it
// as (user, event, bytes).
struct CompletionSlot {
  BReactor* reactor = nullptr;
  void (*handler)(void* user, int event, long bytes) = nullptr;
  void* user = nullptr;
  bool completed = false;
  bool succeeded = false;
  long bytes = 0;
  CompletionSlot* regPrev = nullptr;
  CompletionSlot* regNext = nullptr;
  CompletionSlot* nextCompleted = nullptr;
  CompletionSlot* prevCompleted = nullptr;
};

void CompletionSlot_Init(CompletionSlot* slot, BReactor* reactor, void (*handler)(void* user, int event, long bytes),
                         void* user);
// Unlinks the slot, also from the completed list when its result was not
// dispatched yet.
void CompletionSlot_Free(CompletionSlot* slot);
// Records the operation's result; the handler runs later from the loop.
void CompletionSlot_Complete(CompletionSlot* slot, bool succeeded, long bytes);

// A handle watched by the reactor. `ready` runs inside the loop's wait step
// with the reported events; it may only perform I/O and complete slots,
// never call user handlers.
struct ReactorIo {
  BReactor* reactor = nullptr;
  platform::IoHandle handle = platform::kInvalidIoHandle;
  void (*ready)(void* user, uint32_t events) = nullptr;
  void* user = nullptr;
  bool active = false;
};

bool ReactorIo_Init(ReactorIo* io, BReactor* reactor, platform::IoHandle handle,
                    void (*ready)(void* user, uint32_t events), void* user);
void ReactorIo_Free(ReactorIo* io);

struct BReactor {
  std::atomic<bool> exiting{false};
  std::atomic<int> exitCode{0};
  ReactorJob* jobsTop = nullptr;
  ReactorJob* idleHead = nullptr;
  ReactorJob* idleTail = nullptr;
  ReactorTimer* timerRoot = nullptr;
  ReactorTimer* expiredHead = nullptr;
  ReactorTimer* expiredTail = nullptr;
  uint64_t nextTimerIdentity = 1;
  CompletionSlot* registrations = nullptr;
  CompletionSlot* completedHead = nullptr;
  CompletionSlot* completedTail = nullptr;
  platform::Poller poller;
  // Times the loop blocked (or polled) in the poller: for tests and diagnostics.
  uint64_t pollerWaits = 0;
};

bool BReactor_Init(BReactor* reactor);
// Runs the loop until BReactor_Quit; returns the exit code.
int BReactor_Exec(BReactor* reactor);
// Safe from any thread. The loop notices it when the current handler or
// wait returns.
void BReactor_Quit(BReactor* reactor, int code);
// Runs queued jobs from the top of the stack until `mark` is on top, then
// unqueues `mark` and returns true. Returns false at once when the reactor
// is exiting, and false when the stack ran empty without reaching `mark`.
bool BReactor_Synchronize(BReactor* reactor, ReactorJob* mark);
// Hands every remaining slot event 3 (each handler must free its slot).
void BReactor_Free(BReactor* reactor);

void BReactor_SetTimer(BReactor* reactor, ReactorTimer* timer);
void BReactor_SetTimerAfter(BReactor* reactor, ReactorTimer* timer, btime_t ms);
// Runs the timer at the absolute clock time `at` (already passed: at once).
void BReactor_SetTimerAbsolute(BReactor* reactor, ReactorTimer* timer, btime_t at);
void BReactor_RemoveTimer(BReactor* reactor, ReactorTimer* timer);

}  // namespace vantor::tunnel
