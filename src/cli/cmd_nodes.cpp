// vantor nodes list|add LINK|import FILE|link ID|remove ID|select ID: the node store.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "catalogue/country.h"
#include "catalogue/node_mgr.h"
#include "catalogue/node_uri.h"
#include "catalogue/share_link.h"
#include "cli/catalogue_session.h"
#include "cli/command.h"
#include "platform/files.h"

namespace {

using namespace vantor;
using cli::kExitBadInput;
using cli::kExitFailed;
using cli::kExitOk;

// A probe asks one echo (5 s) and up to four geolocation services (10 s each).
constexpr int kProbeWaitMs = 60'000;

struct NodesOptions {
  std::string argument;
  bool probe = false;
};

int fail(const std::string& message, int code) {
  std::cerr << "vantor: " << message << "\n";
  return code;
}

CNodeInfo* nodeFromArgument(const std::string& text, int& code) {
  int id = -1;
  if (!cli::parseNumber(text, id)) {
    code = fail("not a node id: " + text, kExitBadInput);
    return nullptr;
  }
  CNodeInfo* node = CNodeMgr::instance().find(id);
  if (!node) code = fail("no node with id " + text, kExitBadInput);
  return node;
}

int listNodes(const NodesOptions& options) {
  if (!cli::openNodeStore()) return kExitFailed;
  CNodeMgr& store = CNodeMgr::instance();
  if (options.probe) {
    store.refresh(-1, true);
    if (!store.waitForProbes(kProbeWaitMs)) return fail("the probes did not finish in time", kExitFailed);
    if (!cli::saveNodeStore()) return kExitFailed;
  }
  const int32_t selected = store.selectedId();
  for (const NodeGroup& group : store.groupedNodes()) {
    for (const NodeListItem& item : group.items) {
      CNodeInfo* node = store.find(item.id);
      std::string latency = item.latency > 0 ? std::to_string(item.latency) + " ms" : "-";
      const char* country = countryCode(item.nCountryIndex);
      std::printf("%s\t%d\t%s\t%s\t%s\t%s\t%s\n", item.id == selected ? "*" : "", item.id, group.name.c_str(),
                  node ? node->kindLabel() : "N/A", item.text.c_str(), latency.c_str(), *country ? country : "-");
    }
  }
  return kExitOk;
}

int addNode(const NodesOptions& options) {
  std::string error;
  auto params = parseNodeUri(options.argument, error);
  if (!params) return fail("Can not resolve this link. (" + error + ")", kExitBadInput);
  std::string unsupported = unstorableNodeReason(*params);
  if (!unsupported.empty()) return fail(unsupported, kExitBadInput);
  if (!cli::openNodeStore()) return kExitFailed;
  CNodeInfo* node = CNodeMgr::instance().add(*params);
  if (!node) return fail("Can not resolve this link.", kExitBadInput);
  if (!cli::saveNodeStore()) return kExitFailed;
  std::printf("added node %d\n", node->id);
  return kExitOk;
}

int importNodes(const NodesOptions& options) {
  std::string text, error;
  if (!platform::readFile(options.argument, text, error, 64u << 20)) return fail(error, kExitBadInput);
  if (trimBlanks(text).empty()) return fail("Input shadowsocks server link please.", kExitBadInput);
  if (!cli::openNodeStore()) return kExitFailed;
  CNodeMgr::ImportReport report = CNodeMgr::instance().importLinks(text);
  // Every piece that did not become a node is named, so nothing goes missing
  // without a word.
  for (const CNodeMgr::RefusedLink& r : report.refused)
    std::cerr << "vantor: " << options.argument << " line " << r.line << ": " << r.reason << ": "
              << (r.link.size() > 60 ? r.link.substr(0, 57) + "..." : r.link) << "\n";
  if (report.added == 0) return fail("no share link in " + options.argument + " could be added", kExitBadInput);
  if (!cli::saveNodeStore()) return kExitFailed;
  if (report.refused.empty())
    std::printf("added %d nodes\n", report.added);
  else
    std::printf("added %d nodes, %zu not added\n", report.added, report.refused.size());
  return kExitOk;
}

int removeNode(const NodesOptions& options) {
  if (!cli::openNodeStore()) return kExitFailed;
  int code = kExitOk;
  CNodeInfo* node = nodeFromArgument(options.argument, code);
  if (!node) return code;
  CNodeMgr& store = CNodeMgr::instance();
  const bool wasSelected = store.selectedId() == node->id;
  store.remove(node->id);
  store.validateSelection();
  if (!cli::saveNodeStore()) return kExitFailed;
  if (wasSelected && !cli::saveSelection()) return kExitFailed;
  return kExitOk;
}

// The share link of a stored node, which `nodes add` reads back.
int printLink(const NodesOptions& options) {
  if (!cli::openNodeStore()) return kExitFailed;
  int code = kExitOk;
  CNodeInfo* node = nodeFromArgument(options.argument, code);
  if (!node) return code;
  std::string link = shareLink(node->params());
  if (link.empty()) return fail("no link describes a node of kind " + std::string(node->kindLongLabel()), kExitFailed);
  std::printf("%s\n", link.c_str());
  return kExitOk;
}

int selectNode(const NodesOptions& options) {
  if (!cli::openNodeStore()) return kExitFailed;
  int code = kExitOk;
  CNodeInfo* node = nodeFromArgument(options.argument, code);
  if (!node) return code;
  CNodeMgr::instance().select(node);
  return cli::saveSelection() ? kExitOk : kExitFailed;
}

cli::Registration nodesRegistration{
    "nodes",
    [](CLI::App& app) -> cli::Runner {
      auto options = std::make_shared<NodesOptions>();
      auto* cmd = app.add_subcommand("nodes", "Keep proxy nodes: list, add, import, link, remove, select");
      cmd->require_subcommand(1);
      auto* list =
          cmd->add_subcommand("list", "One node per line: selected mark, id, group, kind, name, latency, country");
      list->add_flag("--probe", options->probe, "Measure latency and look up countries first (ICMP echo, GeoIP)");
      auto* add = cmd->add_subcommand("add", "Add one node from a share link or socks5:// / socks4:// address");
      add->add_option("LINK", options->argument, "ss://..., ssr://..., socks5://[user:password@]host:port")->required();
      auto* import =
          cmd->add_subcommand("import", "Add every share link in FILE (separated by lines, blanks or commas)");
      import->add_option("FILE", options->argument, "Text file with share links")->required();
      auto* link = cmd->add_subcommand("link", "Print the share link of the node with this id");
      link->add_option("ID", options->argument, "Node id (see nodes list)")->required();
      auto* remove = cmd->add_subcommand("remove", "Remove the node with this id");
      remove->add_option("ID", options->argument, "Node id (see nodes list)")->required();
      auto* select = cmd->add_subcommand("select", "Make the node with this id the one to connect through");
      select->add_option("ID", options->argument, "Node id (see nodes list)")->required();
      return [=] {
        if (list->parsed()) return listNodes(*options);
        if (add->parsed()) return addNode(*options);
        if (import->parsed()) return importNodes(*options);
        if (link->parsed()) return printLink(*options);
        if (remove->parsed()) return removeNode(*options);
        return selectNode(*options);
      };
    },
    40};

}  // namespace
