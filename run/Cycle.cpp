#include "run/Cycle.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace run {

void DescribeCycle(const std::vector<std::pair<uint16_t, uint64_t>>& runs, Halt& halt) {
  halt.cycle.clear();
  if (runs.size() < 2) return;
  const auto complete = std::span(runs).first(runs.size() - 1);
  uint64_t unit = UINT64_MAX;
  for (const auto& [word, count] : complete) unit = std::min(unit, count);
  if (unit == 0) return;
  std::vector<CycleStep> steps;
  for (const auto& [word, count] : complete) {
    if (count % unit == 0)
      steps.insert(steps.end(), count / unit, CycleStep{word, unit});
    else
      steps.push_back({word, count});
  }
  const uint16_t next = runs.back().first;
  for (size_t period = 1; period <= steps.size(); ++period) {
    bool repeats = next == steps[steps.size() % period].word;
    for (size_t k = period; k < steps.size() && repeats; ++k) repeats = steps[k] == steps[k % period];
    if (!repeats) continue;
    halt.cycle.assign(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(period));
    return;
  }
}

std::string CycleText(const std::vector<CycleStep>& cycle) {
  const bool alike = std::all_of(cycle.begin(), cycle.end(),
                                 [&](const CycleStep& s) { return s.writes == cycle.front().writes; });
  std::string text;
  char step[48];
  for (const CycleStep& s : cycle) {
    if (alike)
      std::snprintf(step, sizeof step, "%s%04X", text.empty() ? "" : " ", s.word);
    else
      std::snprintf(step, sizeof step, "%s%04X (%llu times)", text.empty() ? "" : " ", s.word,
                    static_cast<unsigned long long>(s.writes));
    text += step;
  }
  if (alike && !cycle.empty()) {
    std::snprintf(step, sizeof step, " (each word written %llu times)",
                  static_cast<unsigned long long>(cycle.front().writes));
    text += step;
  }
  return text;
}

}  // namespace run
