#include "tunnel/base/bsignal.h"

#include "platform/termination_events.h"
#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_BSignal;

struct SignalHook {
  BReactor* reactor = nullptr;
  platform::IoHandle handle = platform::kInvalidIoHandle;
  ReactorIo io;
  CompletionSlot slot;
  void (*handler)(void*) = nullptr;
  void* user = nullptr;
  bool active = false;
  bool finished = true;
};

SignalHook g_hook;

// Readiness of the termination handle: consume one request and post it.
void hookReady(void*, uint32_t) {
  if (!g_hook.active || g_hook.slot.completed) return;
  if (platform::takeTerminationEvent(g_hook.handle)) CompletionSlot_Complete(&g_hook.slot, true, 0);
}

void hookCompleted(void*, int event, long) {
  if (event == COMPLETION_DESTROYED) {
    CompletionSlot_Free(&g_hook.slot);
    return;
  }
  // More requests may have queued up meanwhile; take the next one later.
  hookReady(nullptr, 0);
  if (!g_hook.finished) g_hook.handler(g_hook.user);
}

}  // namespace

bool BSignal_Init(BReactor* reactor, void (*handler)(void*), void* user) {
  BLog_Log(kChannel, BLOG_DEBUG, "BSignal initializing");
  platform::IoHandle h = platform::openTerminationEvents();
  if (h == platform::kInvalidIoHandle) {
    BLog_Log(kChannel, BLOG_ERROR, "signalfd failed");
    return false;
  }
  g_hook.reactor = reactor;
  g_hook.handle = h;
  g_hook.handler = handler;
  g_hook.user = user;
  CompletionSlot_Init(&g_hook.slot, reactor, hookCompleted, nullptr);
  if (!ReactorIo_Init(&g_hook.io, reactor, h, hookReady, nullptr)) {
    BLog_Log(kChannel, BLOG_ERROR, "epoll_ctl failed");
    CompletionSlot_Free(&g_hook.slot);
    platform::closeTerminationEvents(h);
    return false;
  }
  g_hook.active = true;
  g_hook.finished = false;
  // A request that arrived before the handle existed is still pending.
  hookReady(nullptr, 0);
  return true;
}

void BSignal_Finish() {
  if (!g_hook.active) return;
  g_hook.active = false;
  ReactorIo_Free(&g_hook.io);
  platform::closeTerminationEvents(g_hook.handle);
  g_hook.handle = platform::kInvalidIoHandle;
  CompletionSlot_Free(&g_hook.slot);
  g_hook.finished = true;
}

}  // namespace vantor::tunnel
