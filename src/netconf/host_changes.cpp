#include "netconf/host_changes.h"

#include <map>
#include <mutex>

#include "platform/files.h"
#include "platform/helper_ipc.h"
#include "platform/process.h"
#include "platform/routes.h"

namespace vantor {
namespace {

std::mutex& registryLock() {
  static std::mutex lock;
  return lock;
}

std::map<std::string, HostChangeRecord::Undo>& registry() {
  static std::map<std::string, HostChangeRecord::Undo> undos;
  return undos;
}

}  // namespace

void HostChangeRecord::registerUndo(const std::string& kind, Undo undo) {
  std::lock_guard<std::mutex> guard(registryLock());
  registry()[kind] = std::move(undo);
}

std::string& HostChangeRecord::stateDir() {
  static std::string dir = platform::helperStateFolder();
  return dir;
}

std::string HostChangeRecord::pathForThisNamespace() {
  return stateDir() + "/host-changes-" + platform::networkNamespaceKey() + ".json";
}

unsigned HostChangeRecord::ownerUid() const {
  return owner_.isObject() && owner_["uid"].isUInt() ? owner_["uid"].asUInt() : 0;
}

HostChangeRecord::HostChangeRecord(std::string path) : path_(std::move(path)) {}

bool HostChangeRecord::load(std::string& error) {
  changes_.clear();
  if (!platform::fileExists(path_)) return true;
  std::string text;
  if (!platform::readFile(path_, text, error, 16u << 20)) return false;
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string parseError;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &root, &parseError);
  } catch (const Json::Exception& e) {
    parseError = e.what();
  }
  if (!parsed || !root.isObject() || !root["changes"].isArray()) {
    error = "unreadable record " + path_ + ": " + parseError;
    return false;
  }
  owner_ = root["owner"];
  for (const Json::Value& change : root["changes"]) {
    if (!change.isObject() || !change["kind"].isString()) continue;
    changes_.push_back(change);
    if (change["id"].isInt()) nextId_ = std::max(nextId_, change["id"].asInt() + 1);
  }
  return true;
}

bool HostChangeRecord::save(std::string& error) {
  if (changes_.empty()) {
    platform::removeFile(path_);
    return true;
  }
  const std::size_t slash = path_.rfind('/');
  if (slash != std::string::npos && slash > 0 && !platform::makeDirectories(path_.substr(0, slash), 0700, error))
    return false;
  Json::Value root(Json::objectValue);
  root["version"] = 1;
  root["owner"]["pid"] = platform::currentProcessId();
  root["owner"]["start"] = Json::UInt64(platform::processStartTime(platform::currentProcessId()));
  root["owner"]["uid"] = uid_;
  root["changes"] = Json::Value(Json::arrayValue);
  for (const Json::Value& change : changes_) root["changes"].append(change);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = " ";
  return platform::writeFileAtomic(path_, Json::writeString(writer, root) + "\n", 0600, error);
}

int HostChangeRecord::note(const std::string& kind, Json::Value change, std::string& error) {
  if (!change.isObject()) change = Json::Value(Json::objectValue);
  int id = nextId_++;
  change["id"] = id;
  change["kind"] = kind;
  changes_.push_back(std::move(change));
  if (!save(error)) {
    changes_.pop_back();
    return 0;
  }
  return id;
}

void HostChangeRecord::drop(int id) {
  for (auto it = changes_.begin(); it != changes_.end(); ++it)
    if ((*it)["id"].asInt() == id) {
      changes_.erase(it);
      std::string error;
      save(error);
      return;
    }
}

bool HostChangeRecord::undoAll(std::vector<std::string>& report) {
  std::vector<Json::Value> left;
  for (auto it = changes_.rbegin(); it != changes_.rend(); ++it) {
    const std::string kind = (*it)["kind"].asString();
    Undo undo;
    {
      std::lock_guard<std::mutex> guard(registryLock());
      auto found = registry().find(kind);
      if (found != registry().end()) undo = found->second;
    }
    if (!undo) {
      report.push_back("kept a change of unknown kind \"" + kind + "\" in " + path_);
      left.insert(left.begin(), *it);
      continue;
    }
    if (!undo(*it, report)) left.insert(left.begin(), *it);
  }
  changes_ = std::move(left);
  std::string error;
  if (!save(error)) report.push_back("could not update " + path_ + ": " + error);
  return changes_.empty();
}

}  // namespace vantor
