// The one stream of events from the core to a front end: connection state,
// the status line, messages, the summary, the UDP indicator, a changed
// catalogue, and the requests to show or hide the window or to exit. (The
// traffic figures are a query, CVexorApp::traffic(), read once a second.)
//
// Threading: post() may be called from any thread (the controller's worker,
// its timer thread, the control endpoint, the front end itself). Events are
// delivered in the order they were posted, on ONE thread, by exactly one of:
//   - drain(), called by the front end from its own loop (the window: its
//     GUI thread, woken through the wake callback), or
//   - the queue's own delivery thread (startThread(); the command line).
// A listener never runs on two threads at once and never sees events out of
// order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/controller.h"

namespace vantor::app {

struct CoreEvent {
  enum Kind {
    kState,             // `state`
    kStatus,            // `text`: the status line
    kMessage,           // `text`: a message box (may hold several lines)
    kButton,            // `text`, `tooltip`: the main button
    kControlsEnabled,   // `flag`
    kSummary,           // `summary`
    kUdpWarning,        // `flag` visible, `tooltip`
    kCatalogueChanged,  // the nodes changed in the background (a subscription refresh)
    kShowWindow,
    kHideWindow,
    kExitRequested,  // SIGINT/SIGTERM: the front end ends as its Exit command does
  };
  Kind kind = kStatus;
  int state = kIdle;
  bool flag = false;
  std::string text;
  std::string tooltip;
  StatusSummary summary;
};

class CEventQueue {
 public:
  using Listener = std::function<void(const CoreEvent&)>;

  CEventQueue() = default;
  ~CEventQueue();  // stops the delivery thread after delivering what was posted
  CEventQueue(const CEventQueue&) = delete;
  CEventQueue& operator=(const CEventQueue&) = delete;

  // Any thread. Without a listener set yet, events wait in the queue.
  void post(CoreEvent event);

  // The front end's loop: `wake` is called (on the posting thread, without
  // the queue's lock) after each post; it must arrange for drain() to run on
  // the front end's thread. Set before events matter; null to stop.
  void setWake(std::function<void()> wake);
  // Delivers everything queued so far to `listener`, in order, on the
  // calling thread; returns how many. Events posted by the listener itself
  // are delivered in the same call, after the ones before them. While
  // another thread drains, returns 0 at once (that thread delivers them);
  // the draining thread may call it again from inside the listener.
  int drain(const Listener& listener);

  // The queue's own thread delivers to `listener` until stopThread().
  void startThread(Listener listener);
  // Delivers what is queued, then ends the thread. Not from the listener.
  void stopThread();
  // Waits until every event posted before the call was delivered (by the
  // delivery thread) or `timeoutMs` passed; true when all were.
  bool flush(int timeoutMs);

  std::size_t pending() const;

 private:
  void threadMain(Listener listener);

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<CoreEvent> queue_;
  std::function<void()> wake_;
  uint64_t posted_ = 0;      // events ever posted
  uint64_t delivered_ = 0;   // events ever handed to a listener
  bool delivering_ = false;  // one thread drains at a time
  std::thread::id drainer_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vantor::app
