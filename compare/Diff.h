// The comparison of two runs: reports paired by their place in the scenario,
// the POST code sequence, each output's lines, per-report costs, the halt,
// the faults and the run's totals, then judged against a budget.
#ifndef STATUSSINK_COMPARE_DIFF_H
#define STATUSSINK_COMPARE_DIFF_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compare/Budget.h"
#include "compare/RunDocument.h"

namespace comparison {

// One figure of one call (or of the run) that differs.
struct CostChange {
  std::string figure;   // instructions, stack_bytes, ...
  std::string handler;  // the handler's name; empty for a run total
  uint64_t a = 0, b = 0;
  int64_t Delta() const { return static_cast<int64_t>(b) - static_cast<int64_t>(a); }
  std::optional<double> Percent() const;  // none when A is 0
};

struct PostCodeChange {
  enum class Kind { New, Missing, Changed, Reordered } kind = Kind::New;
  uint16_t code = 0;   // A's code (B's for a new one)
  uint16_t codeB = 0;  // B's code, for a changed one
  std::optional<uint64_t> reportA, reportB;  // where the code stands on each side; none: the entry
};

// A report present on both sides that differs, or present on one side only.
struct ReportChange {
  enum class Kind { Changed, Added, Removed } kind = Kind::Changed;
  std::optional<uint64_t> indexA, indexB;  // none on the side that lacks it
  bool entry = false;                       // the module's entry point rather than a report
  std::vector<std::string> differences;    // what differs besides the costs: type, value, results, stopped, POST codes
  bool postcodesDiffer = false;
  bool resultsDiffer = false;  // results, stopped calls, a report only one side has
  std::vector<std::string> textOutputs;  // outputs whose lines this report's calls wrote differently
  std::vector<CostChange> costs;
};

// Who wrote a line of an output: the entry, the calls of a report, or not
// known (the document does not say how many bytes each report wrote).
struct LinePlace {
  enum class Kind { Unknown, Entry, Report, None } kind = Kind::Unknown;  // None: no counterpart on this side
  uint64_t report = 0;  // the report's index, for Kind::Report
  bool operator==(const LinePlace&) const = default;
  bool Known() const { return kind == Kind::Entry || kind == Kind::Report; }
};

// One hunk of a unified diff of an output's lines.
struct TextHunk {
  size_t startA = 0, countA = 0, startB = 0, countB = 0;  // 1-based line numbers, as diff -u gives them
  std::vector<std::string> lines;                          // ' ', '-' or '+' and the line as the text view shows it
  // Whose lines changed: the report (or entry) of A that wrote the removed
  // lines and its counterpart in B, which wrote the added ones. A hunk holds
  // the changes of one such pair; both Unknown when a document cannot tell.
  LinePlace placeA, placeB;
  size_t Changed() const;  // lines removed or added
};

struct OutputChange {
  std::string output;
  std::vector<TextHunk> hunks;
};

struct Comparison {
  std::string originA, originB;
  std::string scenario;
  size_t reportsA = 0, reportsB = 0;
  std::vector<ReportChange> reports;
  std::vector<PostCodeChange> postcodes;
  std::vector<OutputChange> outputs;
  std::vector<std::string> halt;  // what differs in the halt
  std::vector<FaultFacts> newFaults, goneFaults;
  std::vector<CostChange> totals;
  std::vector<BudgetCheck> budgets;
  std::vector<std::string> notCompared;  // outputs one side cannot measure, and why

  bool Empty() const {
    return reports.empty() && postcodes.empty() && outputs.empty() && halt.empty() && newFaults.empty() &&
           goneFaults.empty() && totals.empty();
  }
  bool Breached() const;
};

// The checks of the budget, judged on a comparison whose differences are filled in.
std::vector<BudgetCheck> Judge(const Comparison& c, const RunDocument& a, const RunDocument& b, const Budget& budget);

// Compares B against A (the baseline) and judges the differences by the budget.
Comparison Compare(const RunDocument& a, const RunDocument& b, const Budget& budget);

}  // namespace comparison

#endif
