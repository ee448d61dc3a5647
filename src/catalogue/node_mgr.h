// The node store: the process-wide catalogue of proxy nodes. It creates,
// updates, removes and finds nodes, hands out ids (never reused), keeps the
// selection, sums the traffic, builds the grouped list the window shows, runs
// the background probe that fills each node's latency and country, and keeps
// the nodes in config/nodes.ini across runs.
//
// Threads: any thread may call it (the GUI or command-line thread edits, the
// connection worker and the test threads take snapshots, the probe threads
// fill what they learn); every operation takes the store's lock. A node
// removed from the store is freed at once: the data path never points into
// the store, it works on snapshots (NodeSnapshot) that share only the node's
// counters. Raw node pointers handed out are for the thread that asked, to
// read at once; a thread that keeps a node across other threads' edits keeps
// its id or a snapshot.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "catalogue/node_info.h"

namespace vantor {

// What changed in the store; observers are called after the change, outside
// the store's lock, on the thread that made it (a probe thread for Probed).
enum class NodeChange { Added, Updated, Removed, Selected, Probed, GroupReplaced, Loaded, StatisticsReset };
using NodeObserver = std::function<void(NodeChange change, int32_t id)>;

// One line of the grouped node list.
struct NodeListItem {
  int32_t id = 0;
  std::string text;         // "[SR] remarks" or "[SR] host:port"
  std::string groupedText;  // the same with "group -> " inserted
  int32_t nCountryIndex = -1;
  int32_t latency = 0;          // ms, 0 = not measured
  int32_t lastTestResult = -1;  // the last node test: 1 passed, 0 failed, -1 none
};

// One header of the grouped list and its nodes, in store order.
struct NodeGroup {
  std::string name;  // an empty group is shown as "Default Group"
  std::vector<NodeListItem> items;
};

inline constexpr const char* kDefaultGroupName = "Default Group";

class CNodeMgr {
 public:
  CNodeMgr();
  // Waits for running probes; nodes handed out die with the store.
  ~CNodeMgr();
  CNodeMgr(const CNodeMgr&) = delete;
  CNodeMgr& operator=(const CNodeMgr&) = delete;

  // The process-wide store, created on first use and kept until exit.
  static CNodeMgr& instance();

  // Refuses an empty server or port 0, and what unstorableNodeReason()
  // refuses (no id is used up then).
  CNodeInfo* add(const NodeParams& params);
  // A node built elsewhere (the link parser, the account service): it gets
  // the next id. Null is refused.
  CNodeInfo* add(std::unique_ptr<CNodeInfo> node);
  CNodeInfo* addFromLink(const std::string& text);
  // Pasted text with many links (separated by line breaks, blanks or
  // commas): share links and socks URIs. Every piece that parses and that
  // the store takes becomes a node; the others are reported with their line
  // and the reason.
  struct RefusedLink {
    int line = 0;  // counted from 1
    std::string link;
    std::string reason;
  };
  struct ImportReport {
    int added = 0;
    std::vector<RefusedLink> refused;
  };
  ImportReport importLinks(const std::string& text);
  // Null for an unknown id.
  CNodeInfo* update(int32_t id, const NodeParams& params);
  // The node is freed. Connections and tests running on it keep their
  // snapshot (and its counters) until they end.
  bool remove(int32_t id);

  CNodeInfo* find(int32_t id) const;
  // The connection parameters of node `id` as they are now, read under the
  // lock; null for an unknown id.
  NodeRef snapshot(int32_t id) const;
  NodeRef selectedSnapshot() const;
  // A snapshot of `record`, read under the lock so that no probe writes it
  // meanwhile: for records of this store and records the caller owns alike.
  NodeRef snapshotOf(const CNodeInfo* record) const;
  bool exists(int32_t id) const { return find(id) != nullptr; }
  std::size_t count() const;
  // A copy of the list, for iterating outside the lock.
  std::vector<CNodeInfo*> nodes() const;

  int32_t selectedId() const;
  CNodeInfo* selectedNode() const;
  void select(const CNodeInfo* node);
  // Only an existing id other than -1 changes the selection.
  void select(int32_t id);
  void selectFirst();
  // Forgets a selection whose node is gone.
  void validateSelection();

  void resetAllStatistics();
  int64_t totalTraffic() const;
  std::string totalTrafficText() const;

  // After start-up or a change: selects the first node when nothing is
  // selected, starts a probe for every idle node that lacks a latency or a
  // country (when `probe`), and returns the id the list should highlight:
  // `idToSelect` (-1: settings' LastUsedNodeId) when that node exists,
  // otherwise the store's selection (-1 when none).
  int32_t refresh(int32_t idToSelect, bool probe = true);
  // The nodes under one header per group, groups in order of first appearance.
  std::vector<NodeGroup> groupedNodes() const;

  // Replaces the nodes of a subscription: the nodes whose group is one of
  // `groups` give way to `fresh`. The selected node stays (same id) when a
  // fresh node has its server and port; it takes that node's fields.
  struct ReplaceResult {
    int added = 0;
    int removed = 0;
    bool keptSelection = false;
  };
  ReplaceResult replaceGroups(const std::vector<std::string>& groups, const std::vector<NodeParams>& fresh);
  // Replaces the nodes that came from the subscription at `url`, whatever
  // their group, by `fresh` (which are marked as its nodes). Nodes of unknown
  // origin (legacyOrigin) are taken for its nodes when their group is one of
  // `legacyGroups`; where `sharedGroups` says another subscription used that
  // group too, only those the fresh list offers again.
  ReplaceResult replaceSubscription(const std::string& url, const std::vector<std::string>& legacyGroups,
                                    const std::vector<std::string>& sharedGroups, std::vector<NodeParams> fresh);

  // Waits until no probe runs or is queued; false on time-out.
  bool waitForProbes(int timeoutMs);

  // The node file. Loading replaces the store's nodes (and keeps their ids);
  // a missing file is an empty store. Saving writes atomically, mode 0600.
  bool loadNodes(const std::string& path, std::string* error = nullptr);
  bool saveNodes(const std::string& path, std::string* error = nullptr) const;
  // The same with config/nodes.ini of the configuration folder.
  bool loadNodes(std::string* error = nullptr);
  bool saveNodes(std::string* error = nullptr) const;

  // Host information (config/localhost.ini) and the local address test.
  bool writeLocalHostInfo(std::string* error = nullptr);
  // True for "localhost", this host's name, 127.x.x.x, and addresses that
  // share their first three octets with one of the host's own; a text that is
  // not a dotted address (other than those names) is not local.
  bool isLocalAddress(const std::string& address) const;

  int addObserver(NodeObserver observer);
  void removeObserver(int token);

 private:
  CNodeInfo* findLocked(int32_t id) const;  // lock_ held
  CNodeInfo* insertLocked(std::unique_ptr<CNodeInfo> node);
  ReplaceResult replaceWhere(const std::function<bool(const CNodeInfo&)>& doomed, const std::vector<NodeParams>& fresh);
  void startProbeLocked(CNodeInfo* node);
  void probeWorker();
  void notify(NodeChange change, int32_t id);

  // Never held while observers run or while another lock of this store is
  // taken; no operation calls another public one with it held.
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<CNodeInfo>> nodes_;
  std::unordered_map<int32_t, CNodeInfo*> byId_;
  int32_t nextId_ = 0;
  int32_t selectedId_ = -1;

  // Probes run on a few worker threads rather than one thread per node, so
  // that a catalogue of thousands of nodes does not start thousands of threads.
  std::deque<int32_t> probeQueue_;         // guarded by lock_
  int activeProbes_ = 0;                   // guarded by lock_
  bool stopping_ = false;                  // guarded by lock_
  std::vector<std::thread> probeThreads_;  // guarded by lock_
  std::condition_variable probeReady_;
  std::condition_variable probesIdle_;

  std::string hostName_;
  std::vector<std::string> hostAddresses_;

  std::mutex observerLock_;
  std::vector<std::pair<int, NodeObserver>> observers_;
  int nextObserver_ = 1;
};

// Why the store refuses a node, or empty: a Shadowsocks node whose cipher is
// unknown ("Unsupported encryption: NAME"). Such a node used to be stored
// with the cipher "none", which sends the target and the data in the clear.
std::string unstorableNodeReason(const NodeParams& params);
// Why a node cannot be connected through or tested, or empty: what the store
// refuses, and a Shadowsocks plugin whose program is not installed (see
// pluginRefusal()). The store keeps such nodes; the paths that would send
// traffic to one ask this first.
std::string unsupportedNodeReason(const NodeParams& params);

// The checks of the node dialogs before a record reaches the store, in their
// order: the message that keeps the dialog open, or empty. `socksDialog`: the
// SOCKS dialog, which refuses HTTP. On success an additional route given as a
// host name is replaced by its resolved address and an empty group becomes
// "Default Group".
std::string checkNodeDialog(NodeParams& params, bool socksDialog);

// The text of config/localhost.ini for this host name and address list:
// "dummyip" 10, or 240 when an address is in 10.0.0.0/8; "hostname"; "iplist".
std::string localHostText(const std::string& hostName, const std::vector<std::string>& addresses);

}  // namespace vantor
