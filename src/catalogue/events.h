// Event actions: things to do about other programs at the four moments of a
// connection's life. Kept in config/event.ini.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

enum EventType : int32_t { kBeforeConnect = 0, kAfterConnect = 1, kBeforeDisconnect = 2, kAfterDisconnect = 3 };
enum ActionType : int32_t { kTerminateProcess = 0, kNotifyProcess = 1 };

// "Before Connect", ... and "Terminatae process", ...; "" for other codes.
const char* eventTypeName(int32_t type);
const char* actionTypeName(int32_t type);

struct EventAction {
  int32_t eventType = -1;
  int32_t actionType = -1;
  std::string param;  // an executable's file name
};

// Two records are the same when both codes match and the parameters match
// ignoring letter case.
bool sameEvent(const EventAction& a, const EventAction& b);

// How the notify action reaches the user. The controller and the window
// implement it; until one is set, the message is a line on standard error.
class IEventNotifier {
 public:
  virtual ~IEventNotifier() = default;
  // Returns once the user has seen (closed) the message.
  virtual void showMessage(const std::string& message) = 0;
};

inline constexpr const char* kEventFileName = "event.ini";

// The file's rules on texts: entries counted from 1 until one lacks a key;
// entries with a code of -1 (or an empty one) or an empty parameter, and
// repeated records, are skipped.
std::vector<EventAction> parseEventFile(std::string_view text);
std::string eventFileText(const std::vector<EventAction>& list);

class CEventMgr {
 public:
  CEventMgr() = default;
  static CEventMgr& instance();

  // Reads event.ini of `configDir` (the configuration's config/ folder when
  // empty); returns the number of records. A missing or unreadable file
  // gives an empty list.
  int loadEvents(const std::string& configDir = {});
  // Writes the list through a temporary file; an empty list removes the file.
  bool saveEvents(std::string* error = nullptr) const;
  // False when the same record is already there (add) or is not (remove).
  bool addEvent(int32_t eventType, int32_t actionType, const std::string& param);
  bool removeEvent(int32_t eventType, int32_t actionType, const std::string& param);
  std::vector<EventAction> events() const;

  // Runs the records of one event type in list order; returns how many ran.
  int runEvents(int32_t eventType);
  // The notifier stays the caller's; null goes back to standard error.
  void setNotifier(IEventNotifier* notifier);

 private:
  mutable std::mutex lock_;
  std::vector<EventAction> list_;
  std::string folder_;
  IEventNotifier* notifier_ = nullptr;
};

}  // namespace vantor
