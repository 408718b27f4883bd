// Runs scenario text on the emulated machine with the built image.
#ifndef STATUSSINK_TESTS_SYSTEMHARNESS_H
#define STATUSSINK_TESTS_SYSTEMHARNESS_H

#include <memory>
#include <string>

#include "emu/Run.h"

namespace test {

inline const emu::PeImage& Image() {
  static const emu::PeImage image = emu::LoadPeImage(SS_IMAGE);
  return image;
}

// A run and the scenario it points into.
struct Ran {
  std::unique_ptr<scenario::Scenario> scenario;
  run::RunResult run;
  const run::RunResult* operator->() const { return &run; }
};

inline Ran RunJson(const std::string& json, bool accesses = false) {
  Ran r;
  r.scenario = std::make_unique<scenario::Scenario>(scenario::ParseScenario(json, "inline.json"));
  emu::RunOptions options;
  options.keepAccessLog = accesses;
  r.run = emu::RunScenario(Image(), *r.scenario, options);
  return r;
}

inline Ran RunFile(const std::string& name) {
  Ran r;
  r.scenario = std::make_unique<scenario::Scenario>(scenario::LoadScenario(std::string(SS_SCENARIOS) + "/" + name));
  r.run = emu::RunScenario(Image(), *r.scenario);
  return r;
}

// Statuses each handler returned for one report.
inline std::vector<uint32_t> Statuses(const run::DeliveredReport& d) {
  std::vector<uint32_t> s;
  for (const auto& c : d.calls) s.push_back(c.status.value_or(0xDEADDEADu));
  return s;
}

}  // namespace test

#endif
