// JUnit XML, the result format CI systems read: one test suite of test
// cases, each passed or failed with a message, for `sinksim run`, `faults`,
// `check` and `diff`.
#ifndef STATUSSINK_COMPARE_JUNIT_H
#define STATUSSINK_COMPARE_JUNIT_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compare/Diff.h"
#include "compare/RunDocument.h"

namespace comparison {

struct TestCase {
  std::string name;
  std::optional<std::string> failure;  // the message of a failed case
  std::string details;                 // the failure's body, or what a passed case saw
};

struct TestSuite {
  std::string name;
  std::vector<TestCase> cases;
  size_t Failures() const;
};

// Text made safe for XML 1.0 character data and attribute values: markup
// characters as entities, and any byte that is not printable ASCII, tab, CR
// or LF (firmware text carries control bytes, which XML 1.0 cannot hold) as
// the text \xNN.
std::string XmlText(std::string_view text);

std::string JUnitXml(const TestSuite& suite);
// Writes the suite to `path`; throws std::runtime_error naming it when it cannot.
void WriteJUnit(const std::string& path, const TestSuite& suite);

// One case per report (and the entry): failed when a call stopped, other
// than in the designed blink loop, or faulted.
TestSuite RunSuite(const RunDocument& run);
// One case per budget rule and per changed report; a report fails when a rule breached at it.
TestSuite DiffSuite(const Comparison& c);
// One case per cell of the fault matrix's JSON document; failed when the cell names a problem.
TestSuite FaultMatrixSuite(const Json& matrix);

}  // namespace comparison

#endif
