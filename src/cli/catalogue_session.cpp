#include "cli/catalogue_session.h"

#include <climits>
#include <iostream>
#include <vector>

#include "app/startup.h"
#include "cli/command.h"

namespace vantor::cli {
namespace {

void printWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) std::cerr << "vantor: warning: " << warning << "\n";
}

// Runs one catalogue step, printing its warnings and, on failure, its error.
template <typename Step>
bool run(Step step) {
  std::string error;
  std::vector<std::string> warnings;
  bool ok = step(error, warnings);
  printWarnings(warnings);
  if (!ok) std::cerr << "vantor: " << error << "\n";
  return ok;
}

}  // namespace

void printConfigWarnings() { printWarnings(core().catalogue().takeWarnings()); }

bool openNodeStore() {
  return run([](std::string& e, std::vector<std::string>& w) { return core().catalogue().openNodeStore(e, w); });
}

bool openCatalogue() {
  return run([](std::string& e, std::vector<std::string>& w) { return core().catalogue().openCatalogue(e, w); });
}

bool saveNodeStore() {
  return run([](std::string& e, std::vector<std::string>& w) { return core().catalogue().saveNodes(e, w); });
}

bool saveSelection() {
  return run([](std::string& e, std::vector<std::string>& w) { return core().catalogue().saveSelection(e, w); });
}

bool parseNumber(const std::string& text, int& value) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  std::size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (text[0] == '-') v = -v;
  if (v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace vantor::cli
