// vantor test: the node tester on the command line. Tests nodes over TCP
// (an HTTP request to a web site through the node), UDP (a DNS query through
// the node's UDP relay) or both, and prints the tester's lines.
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/node_tests.h"
#include "app/startup.h"
#include "cli/catalogue_session.h"
#include "cli/command.h"

namespace {

using namespace vantor;

struct TestOptions {
  bool udp = false;
  bool both = false;
  std::vector<std::string> sites;
  std::vector<std::string> dnsPairs;
  std::vector<std::string> links;
  std::vector<std::string> ids;  // stored nodes
  bool exitAddress = false;
  std::vector<std::string> exitServices;
};

// Prints lines; on a terminal, successes in green and failures in red.
struct Printer {
  bool colour = app::stdoutIsTerminal();

  void line(const std::string& text, int level) const {
    const char* start = "";
    if (colour && level == kLevelSuccess) start = "\033[32m";
    if (colour && level == kLevelFailure) start = "\033[31m";
    std::printf("%s%s%s\n", start, text.c_str(), *start ? "\033[0m" : "");
    std::fflush(stdout);
  }
  static void callback(void* self, const std::string& text, int level) {
    static_cast<Printer*>(self)->line(text, level);
  }
};

bool badInput(const std::string& message) {
  std::cerr << "vantor: " << message << "\n";
  return false;
}

// The lists of the settings "TestSites", "UdpTestPairs" and
// "ExitAddressServices", replaced by those given on the command line.
bool targetsFrom(const TestOptions& options, TestTargets& targets) {
  SiteUrl url;
  if (!options.sites.empty()) targets.sites = options.sites;
  for (const auto& site : options.sites)
    if (!parseSite(site, url)) return badInput("--site " + site + ": not an http:// address");
  if (!options.dnsPairs.empty()) targets.udpPairs.clear();
  for (const auto& text : options.dnsPairs) {
    UdpTestPair pair;
    if (!parseUdpTestPair(text, pair)) return badInput("--dns " + text + ": expected SERVER,NAME");
    targets.udpPairs.push_back(pair);
  }
  if (!options.exitServices.empty()) targets.exitServices = options.exitServices;
  for (const auto& service : options.exitServices)
    if (!parseSite(service, url)) return badInput("--exit-service " + service + ": not an http:// address");
  return true;
}

// The exit address of `node` from the first service that names one.
bool printExitAddress(CNodeInfo& node, const TestTargets& targets, Printer& printer) {
  if (!isLocalAddress(node.connectAddress())) {
    printer.line("The exit address is looked up only for nodes on this machine or its local network.", kLevelFailure);
    return false;
  }
  auto tester = makeTester(node, &Printer::callback, &printer, 1);
  std::string address;
  for (const auto& service : targets.exitServices)
    if (tester && tester->exitAddress(&node, service, address)) return true;
  printer.line("No exit address found.", kLevelFailure);
  return false;
}

// The nodes to test: from share links (kept in `owned`), or stored nodes by
// id, whose results the store keeps. Exit status on failure, else -1.
int collectNodes(const TestOptions& options, std::vector<std::unique_ptr<CNodeInfo>>& owned,
                 std::vector<CNodeInfo*>& list) {
  std::string error;
  for (const auto& link : options.links) {
    auto params = parseNodeUri(link, error);
    if (params) error = unsupportedNodeReason(*params);
    if (!params || !error.empty()) {
      badInput(error);
      return cli::kExitBadInput;
    }
    owned.push_back(std::make_unique<CNodeInfo>(static_cast<int32_t>(owned.size()), *params));
    list.push_back(owned.back().get());
  }
  if (options.ids.empty()) return -1;
  if (!cli::openNodeStore()) return cli::kExitFailed;
  for (const auto& text : options.ids) {
    int id = -1;
    CNodeInfo* node = cli::parseNumber(text, id) ? cli::core().catalogue().nodes().find(id) : nullptr;
    if (!node) {
      badInput("no node with id " + text);
      return cli::kExitBadInput;
    }
    if (std::string refusal = unsupportedNodeReason(node->params()); !refusal.empty()) {
      badInput(refusal);
      return cli::kExitBadInput;
    }
    list.push_back(node);
  }
  return -1;
}

int runTests(const TestOptions& options) {
  if (options.links.empty() == options.ids.empty()) {
    badInput("give either --node LINK or the ids of stored nodes");
    return cli::kExitBadInput;
  }
  std::string error;
  if (!cli::core().settings().load(error)) {
    std::cerr << "vantor: cannot read the settings: " << error << "\n";
    return cli::kExitFailed;
  }
  TestTargets targets = TestTargets::fromSettings(cli::core().settings().get());
  if (!targetsFrom(options, targets)) return cli::kExitBadInput;
  std::vector<std::unique_ptr<CNodeInfo>> owned;
  std::vector<CNodeInfo*> list;
  if (int code = collectNodes(options, owned, list); code >= 0) return code;

  Printer printer;
  CNodeTestRunner runner([&](const std::string& text, int level) { printer.line(text, level); },
                         [&](const NodeSnapshot& node) { printer.line("== " + node.displayText(), kLevelProgress); });
  int choice = options.both  ? CNodeTestRunner::kChoiceBoth
               : options.udp ? CNodeTestRunner::kChoiceUdp
                             : CNodeTestRunner::kChoiceTcp;
  if (!runner.start(list, choice, targets)) return cli::kExitFailed;
  runner.wait();
  auto summary = runner.summary();
  bool ok = summary.failed == 0 && summary.skipped == 0 && summary.passed > 0;
  if (options.exitAddress || !options.exitServices.empty())
    for (CNodeInfo* node : list) ok = printExitAddress(*node, targets, printer) && ok;
  // Stored nodes keep their last result (and the counters) for the list.
  if (!options.ids.empty() && !cli::saveNodeStore()) return cli::kExitFailed;
  return ok ? cli::kExitOk : cli::kExitFailed;
}

cli::Registration testRegistration{
    "test",
    [](CLI::App& app) -> cli::Runner {
      auto options = std::make_shared<TestOptions>();
      auto* cmd = app.add_subcommand("test", "Test nodes: TCP through the node, its UDP relay, latency");
      auto* udp = cmd->add_flag("--udp", options->udp, "Test the UDP relay instead of TCP");
      cmd->add_flag("--both", options->both, "Test TCP, then the UDP relay")->excludes(udp);
      cmd->add_option("--site", options->sites,
                      "Web site for the TCP test (http://; repeatable; default: setting TestSites, else public sites)")
          ->allow_extra_args(false);
      cmd->add_option("--dns", options->dnsPairs,
                      "DNS server and name for the UDP test, as SERVER,NAME (repeatable; default: setting "
                      "UdpTestPairs, else public servers)")
          ->allow_extra_args(false);
      cmd->add_flag("--exit-address", options->exitAddress,
                    "Also look up the address traffic leaves from (nodes on this machine or its network)");
      cmd->add_option("--exit-service", options->exitServices,
                      "Address-echo page for --exit-address (http://; repeatable; implies --exit-address; "
                      "default: setting ExitAddressServices, else public pages)")
          ->allow_extra_args(false);
      cmd->add_option("--node", options->links, "Node to test: socks5://, socks4://, ss:// or ssr:// link (repeatable)")
          ->allow_extra_args(false);
      cmd->add_option("ID", options->ids, "Stored nodes to test (see vantor nodes list); their results are kept");
      return [options] { return runTests(*options); };
    },
    30};

}  // namespace
