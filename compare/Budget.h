// What a comparison may find before it fails: read from a JSON budget file,
// or the default (any difference in text, POST codes, results, the halt or
// faults fails; costs are only reported).
#ifndef STATUSSINK_COMPARE_BUDGET_H
#define STATUSSINK_COMPARE_BUDGET_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace comparison {

// Growth allowed from A to B: a percentage of A, a count, or both (then both hold).
struct GrowthLimit {
  std::optional<double> percent;
  std::optional<uint64_t> absolute;
  bool Set() const { return percent || absolute; }
};

enum class FaultRule { Match, NoNew, Any };

struct Budget {
  std::string origin = "default budget";
  GrowthLimit reportInstructions;  // per report and handler call
  GrowthLimit reportTime;          // per report and handler call, where both runs model time
  GrowthLimit totalInstructions;   // the whole run
  std::optional<uint64_t> maxStackBytes;  // B's deepest stack of any call
  FaultRule faults = FaultRule::Match;
  bool postcodesMatch = true;
  bool resultsMatch = true;  // results, stopped calls, reports only one side has
  bool haltMatch = true;
  std::map<std::string, bool> textMatch = {{"serial", true}, {"mmio_serial", true}, {"memory_log", true}};
};

// Reads a budget file: an object whose keys are those of the README's budget
// table; throws DocumentError naming the file and the key or value refused.
Budget ReadBudget(const std::string& path);

// A difference the budget does not allow; `change` is its report's place in Comparison::reports.
struct Breach {
  std::string text;
  std::optional<size_t> change;
};

// One rule of the budget as judged: passed when nothing breached it.
struct BudgetCheck {
  std::string name;   // "text", "report instructions", ...
  std::string rule;   // what it allows, for a person
  std::vector<Breach> breaches;
  bool Passed() const { return breaches.empty(); }
};

}  // namespace comparison

#endif
