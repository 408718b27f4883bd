#include "compare/Side.h"

#include <fmt/format.h>

#include "scenario/Scenario.h"

namespace comparison {

RunDocument LoadSide(const std::string& path, const ScenarioRunner& run, const std::string& machine) {
  const Json file = ParseJsonFile(path);
  if (LooksLikeRunDocument(file)) return ReadRunDocument(file, path);
  std::string text;
  try {
    text = run(path);
  } catch (const scenario::ScenarioError& e) {
    throw DocumentError(fmt::format("{}: neither a run document (no field machine) nor a scenario: {}", path, e.what()));
  }
  return ReadRunDocument(Json::parse(text), fmt::format("{} (run on {})", path, machine));
}

void CheckSameScenario(const RunDocument& a, const RunDocument& b) {
  if (a.scenarioName == b.scenarioName) return;
  throw DocumentError(fmt::format("{}: field scenario.name is \"{}\" but {} ran \"{}\": reports are compared by their "
                                  "place, so both sides must run the same scenario (--other-scenario compares anyway)",
                                  b.origin, b.scenarioName, a.origin, a.scenarioName));
}

}  // namespace comparison
