// Any bytes as a scenario file. The reader must refuse what it cannot read
// with a ScenarioError, with a message of bounded length, and nothing else:
// no other exception, no crash, no overflow (ASan and UBSan watch). What it
// accepts must be usable as the machines use it: every record laid out with
// its pointer slots inside it, and the deliveries within their bound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "scenario/Scenario.h"

namespace {

// The longest message a refusal may have: the file name, report and field
// (clipped), the problem, and at most the first characters of the value.
constexpr size_t kLongestMessage = 1000;

[[noreturn]] void Found(const char* what) {
  __builtin_printf("scenario_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const scenario::Scenario s = scenario::ParseScenario(text, "fuzz.json");
    if (s.DeliveryCount() > scenario::kMaxDeliveries) Found("more deliveries than the bound");
    if (s.limits.instructionsPerCall > scenario::Limits::kMaxInstructionsPerCall ||
        s.limits.blinkWrites > scenario::Limits::kMaxBlinkWrites || s.limits.blinkWrites < scenario::Limits::kMinBlinkWrites)
      Found("a limit beyond its bound");
    for (const scenario::Report& r : s.reports) {
      if ((r.caller && r.callerAddress) || (r.data && r.dataAddress)) Found("a pointer given twice");
      if (!r.data) continue;
      const scenario::DataRecord& record = *r.data;
      if (record.bytes.size() > 0x10000 + 4) Found("a record larger than 64 KiB");
      for (const auto& f : record.fixups)
        if (f.at + 4 > record.bytes.size() || f.target > record.bytes.size()) Found("a pointer slot outside its record");
      const std::vector<uint8_t> placed = record.Placed(scenario::kReportDataAddress);
      if (placed.size() != record.bytes.size()) Found("placing changed the record's size");
    }
    uint64_t walked = 0;
    s.ForEachDelivery([&](uint64_t i, const scenario::Report&) {
      if (i != walked++) Found("deliveries out of order");
      return walked < 1000;
    });
  } catch (const scenario::ScenarioError& e) {
    if (std::strlen(e.what()) > kLongestMessage) Found("a refusal message longer than its bound");
  }
  return 0;
}
