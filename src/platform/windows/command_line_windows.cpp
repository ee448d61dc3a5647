#include "platform/windows/command_line.h"

namespace vantor::platform::windows {

std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled and the quote escaped; others
    // stand for themselves.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  // Before the closing quote, backslashes are doubled as well.
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string commandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& argument : argv) {
    if (!line.empty()) line += ' ';
    line += quoteArgument(argument);
  }
  return line;
}

}  // namespace vantor::platform::windows
