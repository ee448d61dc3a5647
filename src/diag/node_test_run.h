// What the node test window does, without the window: tests a list of nodes
// in order on one thread of its own and hands every line to a sink. The
// window shows the lines; `vantor test` prints them.
//
// Threads: start(), stop() and wait() are called by one owning thread (the
// GUI thread, or the command line's main thread); the tests and both sinks
// run on the run's own thread, on snapshots of the nodes taken at start().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/node_info.h"
#include "diag/test_targets.h"

namespace vantor {

class CNodeTestRunner {
 public:
  enum Choice : int { kChoiceTcp = 0, kChoiceUdp = 1, kChoiceBoth = 2 };

  struct Summary {
    int passed = 0;
    int failed = 0;
    int skipped = 0;  // tests asked for but not run (UDP of a SOCKS 4 node)
  };

  // Both are called on the test thread; the line sink with the line's level
  // (1 progress, 2 success, 3 failure), the node sink before a node's tests.
  // Neither may call back into the runner.
  using LineSink = std::function<void(const std::string& line, int level)>;
  using NodeSink = std::function<void(const NodeSnapshot& node)>;

  explicit CNodeTestRunner(LineSink lines, NodeSink nodes = {});
  // Ends the current run and waits for every test thread to finish.
  ~CNodeTestRunner();
  CNodeTestRunner(const CNodeTestRunner&) = delete;
  CNodeTestRunner& operator=(const CNodeTestRunner&) = delete;

  // Starts a run: kinds 5 and 6 get the TCP test (choice 0), the UDP test (1)
  // or both (2); kind 4 gets the TCP test for choices 0 and 2 and the line
  // "SOCKS 4 do not support UDP." for choice 1; other kinds are passed over.
  // A run still going is ended first: from then on none of its lines arrive,
  // and its thread is collected later. False, with the line "Failed to
  // create test thread.", when no thread could be made. The run tests the
  // snapshots it was given: editing or removing a node meanwhile changes
  // nothing in it, and its results reach the node's counters.
  bool start(std::vector<NodeRef> nodes, int choice, const TestTargets& targets);
  // The same with snapshots of `records` taken now, on the caller's thread.
  bool start(const std::vector<CNodeInfo*>& records, int choice, const TestTargets& targets);
  // Ends the current run (no further lines) without waiting for its thread.
  void stop();
  // Waits until the current run has finished.
  void wait();
  bool running() const;
  // Counts of the current (or last) run.
  Summary summary() const;

  // The window's presentation of a line: the time-stamp prefix "[MM:SS]  "
  // of the local time, and the colour of a level as 0xRRGGBB.
  static std::string timeStampPrefix();
  static uint32_t levelColour(int level);

 private:
  struct Run;
  static void deliver(void* run, const std::string& line, int level);
  void runNodes(Run& run);
  void reapFinished();

  LineSink lines_;
  NodeSink nodes_;
  std::unique_ptr<Run> current_;
  std::vector<std::unique_ptr<Run>> retired_;  // ended early, threads still finishing
};

}  // namespace vantor
