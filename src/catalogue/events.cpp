#include "catalogue/events.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "catalogue/app_paths.h"
#include "catalogue/ini_file.h"
#include "catalogue/node_info.h"
#include "platform/process.h"

namespace vantor {
namespace {

// How long a process asked to end may take before it is ended by force.
constexpr int kTerminateGraceMs = 2000;

std::string numbered(const char* name, std::size_t n) { return name + std::to_string(n); }

void appendUnique(std::vector<EventAction>& list, EventAction action) {
  for (const EventAction& e : list)
    if (sameEvent(e, action)) return;
  list.push_back(std::move(action));
}

std::string join(const std::string& folder, const char* name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The running processes (other than this one) with that executable name.
std::vector<int> processesNamed(const std::string& name) {
  std::vector<int> pids;
  const int self = platform::currentProcessId();
  for (const platform::ProcessEntry& p : platform::listProcesses())
    if (p.pid != self && equalsIgnoringCase(p.name, name)) pids.push_back(p.pid);
  return pids;
}

}  // namespace

const char* eventTypeName(int32_t type) {
  switch (type) {
    case kBeforeConnect:
      return "Before Connect";
    case kAfterConnect:
      return "After Connect";
    case kBeforeDisconnect:
      return "Before DisConnect";
    case kAfterDisconnect:
      return "After DisConnect";
    default:
      return "";
  }
}

const char* actionTypeName(int32_t type) {
  switch (type) {
    case kTerminateProcess:
      return "Terminatae process";
    case kNotifyProcess:
      return "Notify terminatae process";
    default:
      return "";
  }
}

bool sameEvent(const EventAction& a, const EventAction& b) {
  return a.eventType == b.eventType && a.actionType == b.actionType && equalsIgnoringCase(a.param, b.param);
}

std::vector<EventAction> parseEventFile(std::string_view text) {
  std::vector<EventAction> list;
  IniDocument doc;
  if (!doc.parse(text)) return list;
  for (std::size_t n = 1;; ++n) {
    std::string eventKey = numbered("eventtype", n), actionKey = numbered("actiontype", n),
                paramKey = numbered("param", n);
    if (!doc.has(kBasicSection, eventKey.c_str()) || !doc.has(kBasicSection, actionKey.c_str()) ||
        !doc.has(kBasicSection, paramKey.c_str()))
      break;
    EventAction action;
    action.eventType = doc.readInt(kBasicSection, eventKey.c_str(), -1);
    action.actionType = doc.readInt(kBasicSection, actionKey.c_str(), -1);
    action.param = doc.readString(kBasicSection, paramKey.c_str());
    if (action.eventType == -1 || action.actionType == -1 || action.param.empty()) continue;
    appendUnique(list, std::move(action));
  }
  return list;
}

std::string eventFileText(const std::vector<EventAction>& list) {
  IniDocument doc;
  for (std::size_t i = 0; i < list.size(); ++i) {
    doc.setInt(kBasicSection, numbered("eventtype", i + 1).c_str(), list[i].eventType);
    doc.setInt(kBasicSection, numbered("actiontype", i + 1).c_str(), list[i].actionType);
    doc.setString(kBasicSection, numbered("param", i + 1).c_str(), list[i].param);
  }
  return doc.text();
}

CEventMgr& CEventMgr::instance() {
  static CEventMgr* manager = new CEventMgr();
  return *manager;
}

int CEventMgr::loadEvents(const std::string& configDir) {
  std::string folder = configDir.empty() ? paths::configDir() : configDir;
  std::string text, error;
  if (!readConfigFile(join(folder, kEventFileName), text, error)) text.clear();
  std::vector<EventAction> list = parseEventFile(text);
  std::lock_guard<std::mutex> guard(lock_);
  folder_ = folder;
  list_ = std::move(list);
  return static_cast<int>(list_.size());
}

bool CEventMgr::saveEvents(std::string* error) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::string folder = folder_.empty() ? paths::configDir() : folder_;
  std::string path = join(folder, kEventFileName);
  std::string why;
  bool ok = writeConfigFile(path, list_.empty() ? std::string() : eventFileText(list_), 0644, why);
  if (!ok && error) *error = why;
  return ok;
}

bool CEventMgr::addEvent(int32_t eventType, int32_t actionType, const std::string& param) {
  std::lock_guard<std::mutex> guard(lock_);
  EventAction action{eventType, actionType, param};
  for (const EventAction& e : list_)
    if (sameEvent(e, action)) return false;
  list_.push_back(std::move(action));
  return true;
}

bool CEventMgr::removeEvent(int32_t eventType, int32_t actionType, const std::string& param) {
  std::lock_guard<std::mutex> guard(lock_);
  EventAction action{eventType, actionType, param};
  auto it = std::find_if(list_.begin(), list_.end(), [&](const EventAction& e) { return sameEvent(e, action); });
  if (it == list_.end()) return false;
  list_.erase(it);
  return true;
}

std::vector<EventAction> CEventMgr::events() const {
  std::lock_guard<std::mutex> guard(lock_);
  return list_;
}

int CEventMgr::runEvents(int32_t eventType) {
  std::vector<EventAction> list;
  IEventNotifier* notifier;
  {
    std::lock_guard<std::mutex> guard(lock_);
    list = list_;
    notifier = notifier_;
  }
  int ran = 0;
  for (const EventAction& action : list) {
    if (action.eventType != eventType) continue;
    ++ran;
    if (action.actionType == kTerminateProcess) {
      platform::terminateProcesses(processesNamed(action.param), kTerminateGraceMs);
    } else if (action.actionType == kNotifyProcess && !processesNamed(action.param).empty()) {
      char message[1200];
      std::snprintf(message, sizeof message, "Please close this process: %s", action.param.c_str());
      if (notifier)
        notifier->showMessage(message);
      else
        std::cerr << message << "\n";
    }
  }
  return ran;
}

void CEventMgr::setNotifier(IEventNotifier* notifier) {
  std::lock_guard<std::mutex> guard(lock_);
  notifier_ = notifier;
}

}  // namespace vantor
