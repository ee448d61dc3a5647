#include "service/failure_reason.h"

#include <libintl.h>

#include <cerrno>
#include <cstring>

namespace vantor {

const char* failureKindText(FailureKind kind) {
  switch (kind) {
    case FailureKind::kNone:
      return "";
    case FailureKind::kAuthRefused:
      return "authentication refused by the node";
    case FailureKind::kRequestRefused:
      return "the node refused the request";
    case FailureKind::kNoAnswer:
      return "no answer from the node";
    case FailureKind::kBadAnswer:
      return "the answer through the node was not the one asked for";
    case FailureKind::kConnectRefused:
      return "connection refused by the node";
    case FailureKind::kConnectTimeout:
      return "connection to the node timed out";
    case FailureKind::kUnresolved:
      return "the node's address cannot be resolved";
    case FailureKind::kNoUdpRelay:
      return "the node has no UDP relay";
    case FailureKind::kNoPermission:
      return "no right to change the network: join the group 'vantor' (sudo usermod -aG vantor $USER, then log in "
             "again) or run as root";
  }
  return "";
}

std::string FailureReason::text() const {
  if (kind == FailureKind::kNone) return {};
  std::string line = ::dgettext("zefa", failureKindText(kind));
  if (!detail.empty()) line += " (" + detail + ")";
  return line;
}

FailureKind connectFailureKind(int errorNumber) {
  switch (errorNumber) {
    case ECONNREFUSED:
    case ECONNRESET:
      return FailureKind::kConnectRefused;
    case 0:  // the wait ran out before the system gave up
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return FailureKind::kConnectTimeout;
    default:
      return FailureKind::kNone;
  }
}

bool isPermissionErrorText(const std::string& text) {
  for (int number : {EPERM, EACCES})
    if (text.find(std::strerror(number)) != std::string::npos) return true;
  return false;
}

}  // namespace vantor
