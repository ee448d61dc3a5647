// Command lines as Windows programs split them (CommandLineToArgvW and the C
// runtime's rules): the quoting that turns an argument vector into one line
// that splits back into the same vector.
#pragma once

#include <string>
#include <vector>

namespace vantor::platform::windows {

// One argument, quoted only where it must be: blanks, tabs, quotes or an
// empty argument. Backslashes are doubled only where they precede a quote.
std::string quoteArgument(const std::string& argument);
// The arguments quoted and joined with single blanks.
std::string commandLine(const std::vector<std::string>& argv);

}  // namespace vantor::platform::windows
