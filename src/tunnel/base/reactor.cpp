#include "tunnel/base/reactor.h"

#include <cassert>
#include <cstdint>

#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_BReactor;
// One less than an infinite wait, as the longest finite wait.
constexpr btime_t kMaxWaitMs = 4294967294LL;

// ---- timer tree: AVL ordered by (expiry, identity) --------------------------

bool timerLess(const ReactorTimer* a, const ReactorTimer* b) {
  if (a->expiry != b->expiry) return a->expiry < b->expiry;
  return a->identity < b->identity;
}

int height(const ReactorTimer* t) { return t ? t->height : 0; }

void update(ReactorTimer* t) {
  int hl = height(t->left), hr = height(t->right);
  t->height = (hl > hr ? hl : hr) + 1;
}

ReactorTimer* rotateRight(ReactorTimer* t) {
  ReactorTimer* l = t->left;
  t->left = l->right;
  l->right = t;
  update(t);
  update(l);
  return l;
}

ReactorTimer* rotateLeft(ReactorTimer* t) {
  ReactorTimer* r = t->right;
  t->right = r->left;
  r->left = t;
  update(t);
  update(r);
  return r;
}

ReactorTimer* rebalance(ReactorTimer* t) {
  update(t);
  int balance = height(t->left) - height(t->right);
  if (balance > 1) {
    if (height(t->left->left) < height(t->left->right)) t->left = rotateLeft(t->left);
    return rotateRight(t);
  }
  if (balance < -1) {
    if (height(t->right->right) < height(t->right->left)) t->right = rotateRight(t->right);
    return rotateLeft(t);
  }
  return t;
}

ReactorTimer* treeInsert(ReactorTimer* root, ReactorTimer* node) {
  if (!root) {
    node->left = node->right = nullptr;
    node->height = 1;
    return node;
  }
  if (timerLess(node, root))
    root->left = treeInsert(root->left, node);
  else
    root->right = treeInsert(root->right, node);
  return rebalance(root);
}

// Detaches the smallest node of the subtree into *min.
ReactorTimer* treeRemoveMin(ReactorTimer* root, ReactorTimer** min) {
  if (!root->left) {
    *min = root;
    return root->right;
  }
  root->left = treeRemoveMin(root->left, min);
  return rebalance(root);
}

ReactorTimer* treeRemove(ReactorTimer* root, ReactorTimer* node) {
  assert(root);
  if (root == node) {
    ReactorTimer* l = root->left;
    ReactorTimer* r = root->right;
    if (!r) return l;
    ReactorTimer* successor = nullptr;
    r = treeRemoveMin(r, &successor);
    successor->left = l;
    successor->right = r;
    return rebalance(successor);
  }
  if (timerLess(node, root))
    root->left = treeRemove(root->left, node);
  else
    root->right = treeRemove(root->right, node);
  return rebalance(root);
}

ReactorTimer* treeFirst(ReactorTimer* root) {
  if (!root) return nullptr;
  while (root->left) root = root->left;
  return root;
}

void appendExpired(BReactor* r, ReactorTimer* t) {
  t->state = REACTOR_TIMER_EXPIRED;
  t->nextExpired = nullptr;
  if (r->expiredTail)
    r->expiredTail->nextExpired = t;
  else
    r->expiredHead = t;
  r->expiredTail = t;
}

void removeExpired(BReactor* r, ReactorTimer* t) {
  ReactorTimer* prev = nullptr;
  for (ReactorTimer* it = r->expiredHead; it; prev = it, it = it->nextExpired) {
    if (it != t) continue;
    if (prev)
      prev->nextExpired = it->nextExpired;
    else
      r->expiredHead = it->nextExpired;
    if (r->expiredTail == it) r->expiredTail = prev;
    it->nextExpired = nullptr;
    return;
  }
}

// Moves every running timer with an expiry time at or before `limit` into
// the expired list, in tree order. Returns how many moved.
int moveExpired(BReactor* r, btime_t limit) {
  int moved = 0;
  for (;;) {
    ReactorTimer* first = treeFirst(r->timerRoot);
    if (!first || first->expiry > limit) break;
    r->timerRoot = treeRemove(r->timerRoot, first);
    appendExpired(r, first);
    ++moved;
  }
  return moved;
}

// ---- completed list ----------------------------------------------------------

void unlinkCompleted(BReactor* r, CompletionSlot* s) {
  if (s->prevCompleted)
    s->prevCompleted->nextCompleted = s->nextCompleted;
  else
    r->completedHead = s->nextCompleted;
  if (s->nextCompleted)
    s->nextCompleted->prevCompleted = s->prevCompleted;
  else
    r->completedTail = s->prevCompleted;
  s->nextCompleted = s->prevCompleted = nullptr;
}

// The wait step of the loop: collects expired timers or readiness reports.
void waitForEvents(BReactor* r) {
  btime_t now = 0;
  if (r->timerRoot) {
    now = btime_gettime();
    if (moveExpired(r, now) > 0) {
      BLog_Log(kChannel, BLOG_DEBUG, "Got already expired timers");
      return;
    }
  }
  for (;;) {
    ReactorTimer* first = treeFirst(r->timerRoot);
    btime_t waitMs = -1;
    bool clamped = false;
    if (first) {
      waitMs = first->expiry - now;
      if (waitMs > kMaxWaitMs) {
        waitMs = kMaxWaitMs;
        clamped = true;
      }
    }
    platform::PollEvent events[64];
    ++r->pollerWaits;
    int n = r->poller.wait(events, 64, waitMs);
    if (n > 0) {
      BLog_Log(kChannel, BLOG_DEBUG, "epoll_wait returned event");
      for (int i = 0; i < n; ++i) {
        auto* io = static_cast<ReactorIo*>(events[i].key);
        if (io && io->active) io->ready(io->user, events[i].events);
      }
      return;
    }
    if (n < 0) {
      // A failed wait is retried after re-reading the clock; it cannot lose
      // readiness reports, which stay queued in the poller.
      now = btime_gettime();
      if (first && moveExpired(r, now) > 0) return;
      continue;
    }
    if (!first) {
      // Interrupted infinite wait: look at the queues again.
      return;
    }
    if (!clamped) {
      BLog_Log(kChannel, BLOG_DEBUG, "epoll_wait timed out: %lld", static_cast<long long>(waitMs));
      moveExpired(r, first->expiry);
      return;
    }
    now = btime_gettime();
    if (first->expiry <= now) {
      BLog_Log(kChannel, BLOG_DEBUG, "already timed out while trying again");
      moveExpired(r, now);
      return;
    }
  }
}

}  // namespace

// ---- jobs --------------------------------------------------------------------

void ReactorJob_Init(ReactorJob* job, BReactor* reactor, void (*handler)(void*), void* user) {
  job->reactor = reactor;
  job->handler = handler;
  job->user = user;
  job->queued = false;
  job->idle = false;
  job->below = job->above = nullptr;
}

void ReactorJob_Free(ReactorJob* job) { ReactorJob_Unset(job); }

void ReactorJob_Unset(ReactorJob* job) {
  if (!job->queued) return;
  BReactor* r = job->reactor;
  if (job->idle) {
    // Idle list: `above` is the previous entry, `below` the next.
    if (job->above)
      job->above->below = job->below;
    else
      r->idleHead = job->below;
    if (job->below)
      job->below->above = job->above;
    else
      r->idleTail = job->above;
    job->above = job->below = nullptr;
    job->queued = job->idle = false;
    return;
  }
  if (job->above)
    job->above->below = job->below;
  else
    r->jobsTop = job->below;
  if (job->below) job->below->above = job->above;
  job->above = job->below = nullptr;
  job->queued = false;
}

void ReactorJob_Set(ReactorJob* job) {
  BReactor* r = job->reactor;
  if (job->queued) {
    if (r->jobsTop == job) return;
    ReactorJob_Unset(job);
  }
  job->below = r->jobsTop;
  job->above = nullptr;
  if (r->jobsTop) r->jobsTop->above = job;
  r->jobsTop = job;
  job->queued = true;
}

void ReactorJob_SetIdle(ReactorJob* job) {
  if (job->queued) return;
  BReactor* r = job->reactor;
  job->idle = true;
  job->queued = true;
  job->below = nullptr;
  job->above = r->idleTail;
  if (r->idleTail)
    r->idleTail->below = job;
  else
    r->idleHead = job;
  r->idleTail = job;
}

// ---- timers ------------------------------------------------------------------

void ReactorTimer_Init(ReactorTimer* timer, btime_t interval, void (*handler)(void*), void* user) {
  *timer = ReactorTimer{};
  timer->interval = interval;
  timer->handler = handler;
  timer->user = user;
}

void BReactor_RemoveTimer(BReactor* reactor, ReactorTimer* timer) {
  if (timer->state == REACTOR_TIMER_RUNNING) {
    reactor->timerRoot = treeRemove(reactor->timerRoot, timer);
  } else if (timer->state == REACTOR_TIMER_EXPIRED) {
    removeExpired(reactor, timer);
  }
  timer->state = REACTOR_TIMER_INACTIVE;
  timer->left = timer->right = nullptr;
}

void BReactor_SetTimerAfter(BReactor* reactor, ReactorTimer* timer, btime_t ms) {
  BReactor_SetTimerAbsolute(reactor, timer, btime_add(btime_gettime(), ms));
}

void BReactor_SetTimerAbsolute(BReactor* reactor, ReactorTimer* timer, btime_t at) {
  BReactor_RemoveTimer(reactor, timer);
  timer->expiry = at;
  if (timer->identity == 0) timer->identity = reactor->nextTimerIdentity++;
  reactor->timerRoot = treeInsert(reactor->timerRoot, timer);
  timer->state = REACTOR_TIMER_RUNNING;
}

void BReactor_SetTimer(BReactor* reactor, ReactorTimer* timer) {
  BReactor_SetTimerAfter(reactor, timer, timer->interval);
}

// ---- completion slots --------------------------------------------------------

void CompletionSlot_Init(CompletionSlot* slot, BReactor* reactor, void (*handler)(void*, int, long), void* user) {
  *slot = CompletionSlot{};
  slot->reactor = reactor;
  slot->handler = handler;
  slot->user = user;
  slot->regNext = reactor->registrations;
  if (reactor->registrations) reactor->registrations->regPrev = slot;
  reactor->registrations = slot;
}

void CompletionSlot_Free(CompletionSlot* slot) {
  BReactor* r = slot->reactor;
  if (!r) return;
  if (slot->completed) unlinkCompleted(r, slot);
  if (slot->regPrev)
    slot->regPrev->regNext = slot->regNext;
  else
    r->registrations = slot->regNext;
  if (slot->regNext) slot->regNext->regPrev = slot->regPrev;
  slot->regPrev = slot->regNext = nullptr;
  slot->completed = false;
  slot->reactor = nullptr;
}

void CompletionSlot_Complete(CompletionSlot* slot, bool succeeded, long bytes) {
  BReactor* r = slot->reactor;
  assert(!slot->completed);
  slot->succeeded = succeeded;
  slot->bytes = bytes;
  slot->completed = true;
  slot->nextCompleted = nullptr;
  slot->prevCompleted = r->completedTail;
  if (r->completedTail)
    r->completedTail->nextCompleted = slot;
  else
    r->completedHead = slot;
  r->completedTail = slot;
}

// ---- watched handles ---------------------------------------------------------

bool ReactorIo_Init(ReactorIo* io, BReactor* reactor, platform::IoHandle handle, void (*ready)(void*, uint32_t),
                    void* user) {
  io->reactor = reactor;
  io->handle = handle;
  io->ready = ready;
  io->user = user;
  io->active = reactor->poller.add(handle, io);
  return io->active;
}

void ReactorIo_Free(ReactorIo* io) {
  if (!io->active) return;
  io->reactor->poller.remove(io->handle);
  io->active = false;
}

// ---- the loop ----------------------------------------------------------------

bool BReactor_Init(BReactor* reactor) {
  reactor->exiting.store(false);
  reactor->exitCode.store(0);
  reactor->jobsTop = nullptr;
  reactor->idleHead = reactor->idleTail = nullptr;
  reactor->timerRoot = nullptr;
  reactor->expiredHead = reactor->expiredTail = nullptr;
  reactor->registrations = nullptr;
  reactor->completedHead = reactor->completedTail = nullptr;
  reactor->pollerWaits = 0;
  if (!reactor->poller.open()) {
    BLog_Log(kChannel, BLOG_ERROR, "epoll_create failed");
    BLog_Log(kChannel, BLOG_ERROR, "Reactor failed to initialize");
    return false;
  }
  return true;
}

int BReactor_Exec(BReactor* r) {
  BLog_Log(kChannel, BLOG_DEBUG, "Entering event loop");
  while (!r->exiting.load(std::memory_order_acquire)) {
    if (ReactorJob* job = r->jobsTop) {
      ReactorJob_Unset(job);
      job->handler(job->user);
      continue;
    }
    if (ReactorTimer* t = r->expiredHead) {
      r->expiredHead = t->nextExpired;
      if (!r->expiredHead) r->expiredTail = nullptr;
      t->nextExpired = nullptr;
      t->state = REACTOR_TIMER_INACTIVE;
      BLog_Log(kChannel, BLOG_DEBUG, "Dispatching timer");
      t->handler(t->user);
      continue;
    }
    if (CompletionSlot* s = r->completedHead) {
      unlinkCompleted(r, s);
      s->completed = false;
      s->handler(s->user, s->succeeded ? COMPLETION_SUCCEEDED : COMPLETION_FAILED, s->bytes);
      continue;
    }
    if (ReactorJob* job = r->idleHead) {
      // Timers that fell due meanwhile still come first.
      if (r->timerRoot && moveExpired(r, btime_gettime()) > 0) continue;
      ReactorJob_Unset(job);
      job->handler(job->user);
      continue;
    }
    waitForEvents(r);
  }
  int code = r->exitCode.load(std::memory_order_acquire);
  BLog_Log(kChannel, BLOG_DEBUG, "Exiting event loop, exit code %d", code);
  return code;
}

void BReactor_Quit(BReactor* reactor, int code) {
  reactor->exitCode.store(code, std::memory_order_release);
  reactor->exiting.store(true, std::memory_order_release);
}

bool BReactor_Synchronize(BReactor* reactor, ReactorJob* mark) {
  while (mark->queued) {
    if (reactor->exiting.load(std::memory_order_acquire)) {
      ReactorJob_Unset(mark);
      return false;
    }
    ReactorJob* top = reactor->jobsTop;
    if (top == mark) {
      ReactorJob_Unset(mark);
      return true;
    }
    ReactorJob_Unset(top);
    top->handler(top->user);
  }
  return false;
}

void BReactor_Free(BReactor* reactor) {
  while (CompletionSlot* s = reactor->registrations) {
    s->handler(s->user, COMPLETION_DESTROYED, 0);
    // Each handler frees its slot; one that does not would loop forever.
    assert(reactor->registrations != s);
    if (reactor->registrations == s) CompletionSlot_Free(s);
  }
  BLog_Log(kChannel, BLOG_DEBUG, "Reactor freeing");
  reactor->poller.close();
}

}  // namespace vantor::tunnel
