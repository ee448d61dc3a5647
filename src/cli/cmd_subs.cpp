// vantor subs list|add URL|remove URL|refresh [URL]: ShadowsocksR subscriptions.
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "app/startup.h"
#include "cli/catalogue_session.h"
#include "cli/command.h"

namespace {

using namespace vantor;
using cli::kExitBadInput;
using cli::kExitFailed;
using cli::kExitOk;

struct SubsOptions {
  std::string url;
  int frequency = 1;
  std::string obfsParam;
  std::string proxy;
  bool due = false;
};

int fail(const std::string& message, int code) {
  std::cerr << "vantor: " << message << "\n";
  return code;
}

std::string updatedText(int64_t when) {
  if (when == 0) return "-";
  std::time_t t = static_cast<std::time_t>(when);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

int listSubs() {
  if (!cli::openCatalogue()) return kExitFailed;
  for (const SSRSubscription& s : cli::core().catalogue().subscriptions().list()) {
    std::string proxy = s.hasFetchProxy() ? s.p_server + ":" + std::to_string(s.p_server_port) : "-";
    std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", s.url.c_str(), s.groupname.empty() ? "-" : s.groupname.c_str(),
                frequencyText(s.frequency), updatedText(s.recently_updated).c_str(),
                s.default_params_of_obfs.empty() ? "-" : s.default_params_of_obfs.c_str(), proxy.c_str());
  }
  return kExitOk;
}

int addSub(const SubsOptions& options) {
  if (!app::CCatalogue::isHttpUrl(options.url))
    return fail("not an http:// or https:// address: " + options.url, kExitBadInput);
  if (!cli::openCatalogue()) return kExitFailed;
  CSubscriptionMgr& list = cli::core().catalogue().subscriptions();
  if (list.findSubscription(options.url)) return fail("already subscribed: " + options.url, kExitBadInput);
  const CNodeInfo* proxy = nullptr;
  if (!options.proxy.empty()) {
    int id = -1;
    if (!cli::parseNumber(options.proxy, id) || !(proxy = cli::core().catalogue().nodes().find(id)))
      return fail("no node with id " + options.proxy + " for --proxy", kExitBadInput);
  }
  std::string error;
  if (!list.addSubscription(options.url, options.frequency, options.obfsParam, proxy, &error))
    return fail("cannot save the subscriptions: " + error, kExitFailed);
  return kExitOk;
}

int removeSub(const SubsOptions& options) {
  if (!cli::openCatalogue()) return kExitFailed;
  CSubscriptionMgr& list = cli::core().catalogue().subscriptions();
  if (!list.findSubscription(options.url)) return fail("no such subscription: " + options.url, kExitBadInput);
  std::string error;
  if (!list.deleteSubscription(options.url, &error))
    return fail("cannot save the subscriptions: " + error, kExitFailed);
  return kExitOk;
}

int refreshSubs(const SubsOptions& options) {
  if (!cli::openCatalogue()) return kExitFailed;
  CSubscriptionMgr& list = cli::core().catalogue().subscriptions();
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::vector<RefreshOutcome> outcomes;
  if (!options.url.empty()) {
    if (!list.findSubscription(options.url)) return fail("no such subscription: " + options.url, kExitBadInput);
    outcomes.push_back(cli::core().catalogue().refreshSubscription(options.url, now));
  } else if (options.due) {
    outcomes = cli::core().catalogue().refreshDueSubscriptions(now);
  } else {
    for (const SSRSubscription& s : list.list())
      outcomes.push_back(cli::core().catalogue().refreshSubscription(s.url, now));
  }
  bool allOk = true, anyReplaced = false;
  for (const RefreshOutcome& o : outcomes) {
    for (const RefusedLine& r : o.refused)
      std::cerr << "vantor: " << o.url << ": line " << r.line << ": " << r.reason << "\n";
    if (o.ok) {
      std::string refused = o.refused.empty() ? "" : ", " + std::to_string(o.refused.size()) + " lines not added";
      std::printf("%s: %s (%d added, %d removed%s)\n", o.url.c_str(), o.message.c_str(), o.added, o.removed,
                  refused.c_str());
    } else {
      std::cerr << "vantor: " << o.url << ": " << o.message << "\n";
      allOk = false;
    }
    anyReplaced = anyReplaced || o.added > 0 || o.removed > 0;
  }
  if (anyReplaced && !cli::saveNodeStore()) return kExitFailed;
  if (anyReplaced && !cli::saveSelection()) return kExitFailed;
  return allOk ? kExitOk : kExitFailed;
}

cli::Registration subsRegistration{
    "subs",
    [](CLI::App& app) -> cli::Runner {
      auto options = std::make_shared<SubsOptions>();
      auto* cmd = app.add_subcommand("subs", "Keep ShadowsocksR subscriptions: list, add, remove, refresh");
      cmd->require_subcommand(1);
      auto* list = cmd->add_subcommand(
          "list", "One subscription per line: URL, group, frequency, last refresh, obfs parameters, proxy");
      auto* add = cmd->add_subcommand("add", "Subscribe to URL");
      add->add_option("URL", options->url, "http:// or https:// address of the subscription")->required();
      add->add_option("--frequency", options->frequency, "0 every start, 1-3 every so many days (default 1)")
          ->check(CLI::Range(0, 3));
      add->add_option("--obfs-param", options->obfsParam, "obfs parameter for nodes that bring none");
      add->add_option("--proxy", options->proxy, "Fetch through the node with this id");
      auto* remove = cmd->add_subcommand("remove", "Unsubscribe from URL");
      remove->add_option("URL", options->url, "The subscription's address")->required();
      auto* refresh = cmd->add_subcommand("refresh", "Fetch URL (default: every subscription) and replace its nodes");
      refresh->add_option("URL", options->url, "The subscription's address");
      refresh->add_flag("--due", options->due, "Only the subscriptions whose frequency says they are due");
      return [=] {
        if (list->parsed()) return listSubs();
        if (add->parsed()) return addSub(*options);
        if (remove->parsed()) return removeSub(*options);
        return refreshSubs(*options);
      };
    },
    50};

}  // namespace
