// One side of a comparison: a saved run document, or a scenario that is run
// (on the emulated machine or on QEMU, as the caller chooses) and turned into
// the same document in memory.
#ifndef STATUSSINK_COMPARE_SIDE_H
#define STATUSSINK_COMPARE_SIDE_H

#include <functional>
#include <string>

#include "compare/RunDocument.h"

namespace comparison {

// Runs the scenario at a path and gives its run document's text.
using ScenarioRunner = std::function<std::string(const std::string& scenarioPath)>;

// A file that names its machine is a saved run document, checked field by
// field; any other JSON is read as a scenario and run. Throws DocumentError
// naming the file and the field refused. `machine` names where scenarios run.
RunDocument LoadSide(const std::string& path, const ScenarioRunner& run, const std::string& machine);

// Refuses two runs of differently named scenarios: reports are paired by place.
void CheckSameScenario(const RunDocument& a, const RunDocument& b);

}  // namespace comparison

#endif
