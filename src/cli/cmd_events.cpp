// vantor events list|add|remove|run: the actions tied to connecting and
// disconnecting (config/event.ini).
#include <cstdio>
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

struct EventsOptions {
  std::string event;
  std::string action;
  std::string param;
};

int fail(const std::string& message, int code) {
  std::cerr << "vantor: " << message << "\n";
  return code;
}

// A code given by number or by its name ("Before Connect", ...).
bool parseCode(const std::string& text, const char* (*name)(int32_t), int& code) {
  if (cli::parseNumber(text, code)) return *name(code) != '\0';
  for (int c = 0; c < 4; ++c)
    if (*name(c) && text == name(c)) return code = c, true;
  return false;
}

bool parseRecord(const EventsOptions& o, EventAction& record) {
  int event = -1, action = -1;
  if (!parseCode(o.event, eventTypeName, event)) {
    fail("unknown event " + o.event + " (0-3: before/after connect, before/after disconnect)", kExitBadInput);
    return false;
  }
  if (!parseCode(o.action, actionTypeName, action)) {
    fail("unknown action " + o.action + " (0: end the process, 1: ask the user to close it)", kExitBadInput);
    return false;
  }
  if (o.param.empty()) {
    fail("the process name is empty", kExitBadInput);
    return false;
  }
  record = {event, action, o.param};
  return true;
}

int save() {
  std::string error;
  if (cli::core().catalogue().events().saveEvents(&error)) return kExitOk;
  return fail("cannot save the events: " + error, kExitFailed);
}

int listEvents() {
  cli::core().catalogue().events().loadEvents();
  for (const EventAction& e : cli::core().catalogue().events().events())
    std::printf("%d\t%s\t%d\t%s\t%s\n", e.eventType, eventTypeName(e.eventType), e.actionType,
                actionTypeName(e.actionType), e.param.c_str());
  return kExitOk;
}

int addEvent(const EventsOptions& options) {
  EventAction r;
  if (!parseRecord(options, r)) return kExitBadInput;
  CEventMgr& events = cli::core().catalogue().events();
  events.loadEvents();
  if (!events.addEvent(r.eventType, r.actionType, r.param)) return fail("that action is already there", kExitBadInput);
  return save();
}

int removeEvent(const EventsOptions& options) {
  EventAction r;
  if (!parseRecord(options, r)) return kExitBadInput;
  CEventMgr& events = cli::core().catalogue().events();
  events.loadEvents();
  if (!events.removeEvent(r.eventType, r.actionType, r.param)) return fail("no such action", kExitBadInput);
  return save();
}

int runEvents(const EventsOptions& options) {
  int event = -1;
  if (!parseCode(options.event, eventTypeName, event)) return fail("unknown event " + options.event, kExitBadInput);
  cli::core().catalogue().events().loadEvents();
  std::printf("ran %d actions\n", cli::core().catalogue().events().runEvents(event));
  return kExitOk;
}

cli::Registration eventsRegistration{
    "events",
    [](CLI::App& app) -> cli::Runner {
      auto options = std::make_shared<EventsOptions>();
      auto* cmd = app.add_subcommand("events", "Actions run before and after connecting and disconnecting");
      cmd->require_subcommand(1);
      auto* list = cmd->add_subcommand("list", "One action per line: event, action, process name");
      auto* add = cmd->add_subcommand("add", "Add an action: EVENT (0-3) ACTION (0 end, 1 notify) PROCESS");
      auto* remove = cmd->add_subcommand("remove", "Remove an action: EVENT ACTION PROCESS");
      for (auto* sub : {add, remove}) {
        sub->add_option("EVENT", options->event,
                        "0 Before Connect, 1 After Connect, 2 Before DisConnect, 3 After DisConnect")
            ->required();
        sub->add_option("ACTION", options->action, "0 end the process, 1 ask the user to close it")->required();
        sub->add_option("PROCESS", options->param, "Executable file name")->required();
      }
      auto* run = cmd->add_subcommand("run", "Run the actions of EVENT now");
      run->add_option("EVENT", options->event, "0-3")->required();
      return [=] {
        if (list->parsed()) return listEvents();
        if (add->parsed()) return addEvent(*options);
        if (remove->parsed()) return removeEvent(*options);
        return runEvents(*options);
      };
    },
    70};

}  // namespace
