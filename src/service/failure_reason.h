// Why talking to a node (or changing the host's network) failed, in a form a
// front end can show on a line of its own below the failure message: the
// kind says what happened, `detail` adds the facts (the address, the reply).
#pragma once

#include <string>

namespace vantor {

enum class FailureKind : int {
  kNone = 0,
  kAuthRefused,     // the SOCKS 5 node refused the user name and password (or every method offered)
  kRequestRefused,  // the node refused the CONNECT it was asked for
  kNoAnswer,        // the node took the connection but answered nothing usable
  kBadAnswer,       // an answer came through the node, but not the one asked for
  kConnectRefused,  // the node's port refused the connection
  kConnectTimeout,  // the node did not take the connection in time
  kUnresolved,      // the node's name has no address
  kNoUdpRelay,      // the node has no UDP relay
  kNoPermission,    // this user may not change the host's network
};

struct FailureReason {
  FailureKind kind = FailureKind::kNone;
  std::string detail;

  explicit operator bool() const { return kind != FailureKind::kNone; }
  // The line shown to the user: the kind's text (translated), then the
  // detail in parentheses when there is one.
  std::string text() const;
};

// The kind's text, untranslated (it is the translation key).
const char* failureKindText(FailureKind kind);

// The kind of a failed connect from its system error number: refused,
// timed out (also unreachable networks and hosts, which end the same way for
// the user), or none for other errors.
FailureKind connectFailureKind(int errorNumber);

// Whether a failed host change failed for lack of rights (EPERM, EACCES),
// judged from the error text a platform call produced: these carry the
// system's message for the error number, not the number.
bool isPermissionErrorText(const std::string& text);

}  // namespace vantor
