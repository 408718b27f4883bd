// The line diff of each output, its hunks placed at the report (or the
// entry) whose calls wrote the changed lines, from the bytes each report's
// calls sent to each output.
#ifndef STATUSSINK_COMPARE_TEXTDIFF_H
#define STATUSSINK_COMPARE_TEXTDIFF_H

#include <cstddef>
#include <optional>
#include <vector>

#include "compare/Diff.h"

namespace comparison {

// How the reports of A and B were paired, by their place in each document:
// bOfA[i] is the place in B of A's report i (none: only A has it), aOfB back.
struct ReportPairing {
  std::vector<std::optional<size_t>> bOfA, aOfB;
};

// Fills c.outputs with each output's hunks, and names each output whose
// lines changed in the ReportChange of the report that wrote them (adding a
// changed report to c.reports where nothing else of it differs).
void CompareOutputs(const RunDocument& a, const RunDocument& b, const ReportPairing& pairing, Comparison& c);

}  // namespace comparison

#endif
