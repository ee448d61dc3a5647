#include "diag/node_test_run.h"

#include <libintl.h>

#include <ctime>
#include <mutex>

#include "catalogue/node_mgr.h"
#include "diag/node_testing.h"
#include "platform/thread.h"

namespace vantor {

struct CNodeTestRunner::Run {
  CNodeTestRunner* owner = nullptr;
  std::vector<NodeRef> nodes;
  int choice = kChoiceTcp;
  TestTargets targets;
  // Set under `lock` so that no line of an ended run is delivered after
  // stop() or start() returned.
  std::atomic<bool> cancelled{false};
  std::atomic<bool> finished{false};
  std::atomic<int> passed{0}, failed{0}, skipped{0};
  std::mutex lock;
  platform::Thread thread;
  bool joined = false;

  void end() {
    std::lock_guard<std::mutex> guard(lock);
    cancelled = true;
  }
  void join() {
    if (!joined && thread.valid()) thread.join();
    joined = true;
  }
};

CNodeTestRunner::CNodeTestRunner(LineSink lines, NodeSink nodes) : lines_(std::move(lines)), nodes_(std::move(nodes)) {}

CNodeTestRunner::~CNodeTestRunner() {
  stop();
  if (current_) current_->join();
  for (auto& run : retired_) run->join();
}

void CNodeTestRunner::deliver(void* user, const std::string& line, int level) {
  auto* run = static_cast<Run*>(user);
  std::lock_guard<std::mutex> guard(run->lock);
  if (!run->cancelled && run->owner->lines_) run->owner->lines_(line, level);
}

void CNodeTestRunner::runNodes(Run& run) {
  auto once = [&](const NodeRef& node, bool udp) {
    auto tester = makeTester(*node, &CNodeTestRunner::deliver, &run, 1);
    tester->setTargets(run.targets);
    tester->setCancelFlag(&run.cancelled);
    bool ok = tester->test(node, udp);
    if (run.cancelled) return;
    ++(ok ? run.passed : run.failed);
  };
  for (const NodeRef& node : run.nodes) {
    if (run.cancelled) break;
    if (!node || !(node->isSocks4() || node->isSocks5() || node->isShadowsocks())) continue;
    if (nodes_) {
      std::lock_guard<std::mutex> guard(run.lock);
      if (!run.cancelled) nodes_(*node);
    }
    if (run.choice != kChoiceUdp) once(node, false);
    if (run.choice == kChoiceTcp || run.cancelled) continue;
    if (node->isSocks4()) {
      if (run.choice == kChoiceUdp) {
        deliver(&run, ::dgettext("zefa", "SOCKS 4 do not support UDP."), kLevelProgress);
        ++run.skipped;
      }
      continue;
    }
    once(node, true);
  }
  run.finished = true;
}

void CNodeTestRunner::reapFinished() {
  for (auto it = retired_.begin(); it != retired_.end();) {
    if ((*it)->finished) {
      (*it)->join();
      it = retired_.erase(it);
    } else {
      ++it;
    }
  }
}

bool CNodeTestRunner::start(const std::vector<CNodeInfo*>& records, int choice, const TestTargets& targets) {
  std::vector<NodeRef> nodes;
  nodes.reserve(records.size());
  for (const CNodeInfo* record : records) nodes.push_back(CNodeMgr::instance().snapshotOf(record));
  return start(std::move(nodes), choice, targets);
}

bool CNodeTestRunner::start(std::vector<NodeRef> nodes, int choice, const TestTargets& targets) {
  stop();
  if (current_) retired_.push_back(std::move(current_));
  reapFinished();
  auto run = std::make_unique<Run>();
  run->owner = this;
  run->nodes = std::move(nodes);
  run->choice = choice;
  run->targets = targets;
  Run* raw = run.get();
  if (!run->thread.createSuspended([this, raw] { runNodes(*raw); }, 0)) {
    if (lines_) lines_(::dgettext("zefa", "Failed to create test thread."), kLevelFailure);
    return false;
  }
  current_ = std::move(run);
  current_->thread.resume();
  return true;
}

void CNodeTestRunner::stop() {
  if (current_) current_->end();
}

void CNodeTestRunner::wait() {
  if (current_) current_->join();
}

bool CNodeTestRunner::running() const { return current_ && !current_->finished; }

CNodeTestRunner::Summary CNodeTestRunner::summary() const {
  Summary s;
  if (current_) {
    s.passed = current_->passed;
    s.failed = current_->failed;
    s.skipped = current_->skipped;
  }
  return s;
}

std::string CNodeTestRunner::timeStampPrefix() {
  static std::mutex clockLock;  // std::localtime shares one result
  std::time_t now = std::time(nullptr);
  char text[16] = {};
  std::lock_guard<std::mutex> guard(clockLock);
  if (const std::tm* local = std::localtime(&now)) std::strftime(text, sizeof text, "[%M:%S]  ", local);
  return text;
}

uint32_t CNodeTestRunner::levelColour(int level) {
  switch (level) {
    case kLevelSuccess:
      return 0x00C800;
    case kLevelFailure:
      return 0xFF0000;
    default:
      return 0x000000;
  }
}

}  // namespace vantor
