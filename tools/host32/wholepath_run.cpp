// wholepath_run SCENARIO: runs a scenario through the module's code on the
// simulated board (host32) and prints, as JSON, what sinksim prints for the
// same scenario: serial texts, port 0x80 words, memory log, handler results,
// the POST code stack record and whether the boot halted.
#include <sys/mman.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "HostPlatform.h"
#include "Latin1.h"
#include "ModuleEntry.h"
#include "PeiEnvironment.h"
#include "Platform.h"
#include "PlatformSetup.h"
#include "Scenario.h"

namespace {

using Json = nlohmann::ordered_json;

std::jmp_buf gBlinkStop;

// Room for a report's data record, at the address the emulated machine uses
// when this process can map it there (the error line prints the address),
// else wherever the heap puts it.
class RecordArea {
 public:
  static constexpr size_t kSize = 0x11000;
  RecordArea() {
    const uintptr_t page = tools::kReportDataAddress & ~0xFFFu;
    void* p = mmap(reinterpret_cast<void*>(page), kSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == reinterpret_cast<void*>(page)) {
      mapped_ = static_cast<uint8_t*>(p);
      data_ = mapped_ + (tools::kReportDataAddress - page);
    } else {
      if (p != MAP_FAILED) munmap(p, kSize);
      heap_.resize(kSize);
      data_ = heap_.data();
    }
  }
  ~RecordArea() {
    if (mapped_ != nullptr) munmap(mapped_, kSize);
  }
  RecordArea(const RecordArea&) = delete;
  RecordArea& operator=(const RecordArea&) = delete;
  uint8_t* Data() { return data_; }
  uint32_t Address() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data_)); }

 private:
  uint8_t* mapped_ = nullptr;
  uint8_t* data_ = nullptr;
  std::vector<uint8_t> heap_;
};

// The last `count` writes to port 0x80, expanded from the port's runs; a
// stopped call gives the first word of each of its runs, as sinksim does.
std::vector<uint16_t> LastWrites(const sim::PostCodePort& port, uint64_t count, bool firstOfRuns) {
  std::vector<std::pair<uint16_t, uint64_t>> runs;
  const auto& all = port.Runs();
  for (size_t i = all.size(); i-- > 0 && count > 0;) {
    const uint64_t take = std::min(all[i].count, count);
    runs.emplace_back(all[i].code, take);
    count -= take;
  }
  std::vector<uint16_t> words;
  for (auto it = runs.rbegin(); it != runs.rend(); ++it)
    words.insert(words.end(), firstOfRuns ? 1 : static_cast<size_t>(it->second), it->first);
  return words;
}

int Run(const tools::Scenario& s) {
  sim::Platform platform;
  tools::ApplyPlatform(s.platform, platform);
  platform.bus.SetLogLimit(0);
  sim::ScopedPlatform scope(platform);
  sim::PeiEnvironment env;
  env.failLocatePpi = s.platform.failLocatePpi;
  env.failRegisterCalls = s.platform.failRegisterCalls;
  env.failCreateHob = s.platform.failCreateHob;
  env.failGetHobList = s.platform.failGetHobList;
  env.nullHobList = s.platform.nullHobList;
  env.newHobFill = s.platform.newHobFill;

  Json out;
  out["entry"] = {{"status", ModuleEntry(reinterpret_cast<const void*>(0xFFF00000u), env.Services())}};
  Json results = Json::array();
  std::vector<uint16_t> postcodes;
  Json halted = nullptr;
  RecordArea area;
  out["data_address"] = area.Address();
  for (size_t i = 0; i < s.reports.size(); ++i) {
    const tools::Report& r = s.reports[i];
    EFI_GUID caller{};
    if (r.caller) std::memcpy(&caller, r.caller->data(), 16);
    const EFI_STATUS_CODE_DATA* data = nullptr;
    if (r.data) {
      if (r.data->bytes.size() > RecordArea::kSize - 16) throw tools::ScenarioError(s.path + ": data record too large");
      const std::vector<uint8_t> placed = r.data->Placed(area.Address());
      std::memcpy(area.Data(), placed.data(), placed.size());
      data = reinterpret_cast<const EFI_STATUS_CODE_DATA*>(area.Data());
    }
    const uint64_t before = platform.postCodes.WriteCount();
    // A handler that blinks never returns: the port stops it after a bounded number of writes.
    platform.postCodes.StopAfter(s.limits.blinkWrites, [] { std::longjmp(gBlinkStop, 1); });
    if (setjmp(gBlinkStop) != 0) {
      const uint64_t written = platform.postCodes.WriteCount() - before;
      const auto words = LastWrites(platform.postCodes, written, true);
      postcodes.insert(postcodes.end(), words.begin(), words.end());
      results.back().push_back(nullptr);  // the handler that was stopped
      halted = {{"reason", "blink loop"}, {"report", i}};
      break;
    }
    // The router's walk, one handler at a time, so that a handler that never
    // returns still leaves the results of those before it.
    results.push_back(Json::array());
    for (EFI_PEI_RSC_HANDLER_CALLBACK handler : std::vector(env.Handlers()))
      results.back().push_back(handler(env.Services(), r.type, r.value, r.instance, r.caller ? &caller : nullptr, data));
    platform.postCodes.ClearStop();
    const auto words = LastWrites(platform.postCodes, platform.postCodes.WriteCount() - before, false);
    postcodes.insert(postcodes.end(), words.begin(), words.end());
  }
  platform.postCodes.ClearStop();
  const tools::DeviceOutputs o = tools::ReadOutputs(platform);
  out["serial"] = tools::Latin1ToUtf8(o.serial);
  out["mmio_serial"] = tools::Latin1ToUtf8(o.mmioSerial);
  out["postcodes"] = postcodes;
  out["memory_log"] = {{"header", o.memoryLogHeader}, {"text", tools::Latin1ToUtf8(o.memoryLogText)}};
  out["results"] = results;
  // The module's records: HOBs of type 0x1001 in the list.
  Json hobs = Json::array();
  const auto* list = static_cast<const uint8_t*>(env.HobList());
  for (size_t at = 0; at + 8 <= sim::PeiEnvironment::kHobSpace;) {
    const auto* h = reinterpret_cast<const EFI_HOB_GENERIC_HEADER*>(list + at);
    if (h->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || h->HobLength < 8) break;
    if (h->HobType == 0x1001) {
      const tools::PostCodeStack st = tools::DecodePostCodeStack(std::vector<uint8_t>(list + at, list + at + h->HobLength));
      hobs.push_back({{"depth", st.depth},
                      {"signature", st.signature},
                      {"codes", std::vector<uint32_t>(std::begin(st.codes), std::end(st.codes))}});
    }
    at += h->HobLength;
  }
  out["hob"] = hobs;
  out["halted"] = halted;
  std::cout << out.dump(2) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: wholepath_run SCENARIO\n");
    return 1;
  }
  try {
    return Run(tools::LoadScenario(argv[1]));
  } catch (const tools::ScenarioError& e) {
    std::fprintf(stderr, "wholepath_run: %s\n", e.what());
  }
  return 1;
}
