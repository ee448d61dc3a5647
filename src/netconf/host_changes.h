// The record of what Vantor changed on the host: one state file per network
// namespace in the privileged helper's state folder (root's, mode 0700). Each change is written to it before it is
// made, so a normal stop and the clean-up after a crash (the next start-up,
// or `vantor cleanup`) undo exactly the same list, newest first.
//
// The record is a JSON file {"version":1,"owner":{"pid":P,"start":T,"uid":U},
// "changes":[{"id":N,"kind":K,...}]}: the process that made the changes and
// the user they were made for. Whether they are still in use is told by the
// helper's hold on the namespace, not by the record.
// Other subsystems add kinds of their own with registerUndo (for example the
// desktop proxy settings); a kind nobody registered is kept in the file and
// reported, never dropped.
#pragma once

#include <json/json.h>

#include <functional>
#include <string>
#include <vector>

namespace vantor {

class HostChangeRecord {
 public:
  // Undoes one change; appends what it did to `report`. False keeps the
  // change in the record for a later try.
  using Undo = std::function<bool(const Json::Value& change, std::vector<std::string>& report)>;
  static void registerUndo(const std::string& kind, Undo undo);

  // The folder the records live in; the helper sets it once at start.
  static std::string& stateDir();
  // <state folder>/host-changes-<namespace>.json
  static std::string pathForThisNamespace();

  explicit HostChangeRecord(std::string path = pathForThisNamespace());

  // Reads the changes a previous run left (none when there is no file).
  bool load(std::string& error);
  // Writes the change to the file before the caller makes it; returns its id
  // (0 when the file could not be written: then do not make the change).
  int note(const std::string& kind, Json::Value change, std::string& error);
  // Forgets a change that was undone by other means.
  void drop(int id);
  // Undoes every change, newest first; removes the file once nothing is
  // left. False when some change could not be undone.
  bool undoAll(std::vector<std::string>& report);
  bool empty() const { return changes_.empty(); }
  const std::string& path() const { return path_; }
  // The user the changes were made for (written with the record).
  void setOwnerUid(unsigned uid) { uid_ = uid; }
  unsigned ownerUid() const;

 private:
  bool save(std::string& error);
  std::string path_;
  std::vector<Json::Value> changes_;
  int nextId_ = 1;
  Json::Value owner_;
  unsigned uid_ = 0;
};

}  // namespace vantor
