#include "scenario/RunResult.h"

#include "scenario/Latin1.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace scenario {

void RunResult::AddEntry(CallResult call) {
  entry = std::move(call);
  instructions += entry.instructions;
  rangeInstructions += entry.rangeInstructions;
  maxStackBytes = std::max(maxStackBytes, entry.stackBytes);
  ioAccesses += entry.ioAccesses;
  mmioAccesses += entry.mmioAccesses;
  postcodes.insert(postcodes.end(), entry.postcodes.begin(), entry.postcodes.end());
}

void RunResult::AddReport(DeliveredReport delivered) {
  delivered.repeat = 1;
  for (size_t h = 0; h < delivered.calls.size(); ++h) {
    const CallResult& c = delivered.calls[h];
    instructions += c.instructions;
    rangeInstructions += c.rangeInstructions;
    maxStackBytes = std::max(maxStackBytes, c.stackBytes);
    ioAccesses += c.ioAccesses;
    mmioAccesses += c.mmioAccesses;
    postcodes.insert(postcodes.end(), c.postcodes.begin(), c.postcodes.end());
    if (handlerStats.size() <= h) handlerStats.resize(h + 1);
    HandlerStats& s = handlerStats[h];
    s.address = h < handlers.size() ? handlers[h] : 0;
    ++s.calls;
    s.instructions += c.instructions;
    s.maxInstructions = std::max(s.maxInstructions, c.instructions);
    s.maxStackBytes = std::max(s.maxStackBytes, c.stackBytes);
  }
  if (!reports.empty()) {
    DeliveredReport& last = reports.back();
    if (last.report == delivered.report && last.index + last.repeat == delivered.index && last.calls == delivered.calls) {
      ++last.repeat;
      return;
    }
  }
  reports.push_back(std::move(delivered));
}

uint64_t RunResult::Delivered() const {
  uint64_t count = 0;
  for (const DeliveredReport& d : reports) count += d.repeat;
  return count;
}

RunEnd Classify(const RunResult& run) {
  constexpr std::string_view kBlink = "blink loop";
  bool stopped = !run.faults.empty() || !run.imageIntact || (!run.entry.stopped.empty() && run.entry.stopped != kBlink);
  for (const DeliveredReport& d : run.reports)
    for (const CallResult& c : d.calls) stopped = stopped || (!c.stopped.empty() && c.stopped != kBlink);
  if (run.halt && run.halt->reason != kBlink) stopped = true;
  if (stopped) return RunEnd::Stopped;
  return run.halt ? RunEnd::DesignedHalt : RunEnd::Clean;
}

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

std::string SymbolAt(const RenderContext& context, const RunResult& run, uint32_t address) {
  const auto it = context.symbols.find(address - run.imageBase);
  return it != context.symbols.end() ? it->second : Hex32(address);
}

std::string HandlerName(const RenderContext& context, const RunResult& run, size_t handler) {
  return handler < run.handlers.size() ? SymbolAt(context, run, run.handlers[handler])
                                       : "handler " + std::to_string(handler);
}

namespace {

using Json = nlohmann::ordered_json;

Json StatusJson(const CallResult& c) { return c.status ? Json(*c.status) : Json(nullptr); }

}  // namespace

namespace {

// What the report's data pointer was: a record the machine placed, an
// address the scenario gave, or none.
Json DataKind(const Report& r) {
  if (r.data) return r.data->kind;
  if (r.dataAddress) return "address";
  return nullptr;
}
std::optional<uint32_t> DataPointer(const Report& r, uint32_t placedAt) {
  if (r.data) return placedAt;
  return r.dataAddress;
}
Json Optional(const std::optional<uint32_t>& v) { return v ? Json(*v) : Json(nullptr); }

// Walks merged deliveries one delivery at a time, in order.
class Deliveries {
 public:
  explicit Deliveries(const std::vector<DeliveredReport>& reports) : reports_(reports) {}
  // The next delivery and its index.
  const DeliveredReport& Next(size_t& index) {
    while (k_ == reports_[e_].repeat) ++e_, k_ = 0;
    index = reports_[e_].index + static_cast<size_t>(k_++);
    return reports_[e_];
  }

 private:
  const std::vector<DeliveredReport>& reports_;
  size_t e_ = 0;
  uint64_t k_ = 0;
};

// One delivered report as the JSON document shows it.
// ranges: whether the run counted instructions in ranges (then each report
// has "range_instructions" after "instructions").
Json ReportJson(const DeliveredReport& d, size_t index, uint32_t dataAddress, bool ranges) {
  Json statuses = Json::array(), stopped = Json::array(), instructions = Json::array(), stack = Json::array();
  Json inRanges = Json::array();
  std::vector<uint16_t> codes;
  for (const CallResult& c : d.calls) {
    statuses.push_back(StatusJson(c));
    stopped.push_back(c.stopped);
    instructions.push_back(c.instructions);
    inRanges.push_back(c.rangeInstructions);
    stack.push_back(c.stackBytes);
    codes.insert(codes.end(), c.postcodes.begin(), c.postcodes.end());
  }
  Json j = {{"index", index},
            {"source", d.report->source},
            {"type", d.report->type},
            {"value", d.report->value},
            {"instance", d.report->instance},
            {"data", DataKind(*d.report)},
            {"data_address", Optional(DataPointer(*d.report, dataAddress))},
            {"caller_address", Optional(d.report->callerAddress)},
            {"results", statuses},
            {"stopped", stopped},
            {"instructions", instructions}};
  if (ranges) j["range_instructions"] = inRanges;
  j["stack_bytes"] = stack;
  j["postcodes"] = codes;
  return j;
}

const char* const kResultsMark = "\x01results\x01";
const char* const kReportsMark = "\x01reports\x01";

// The per-report arrays written straight into the text, laid out exactly as
// nlohmann's dump(2) lays out ReportJson's values one level down: a run of
// ten thousand reports would otherwise build (and free) a tree of a few
// hundred thousand nodes.
class ReportStream {
 public:
  ReportStream(std::string& out, uint32_t dataAddress, bool ranges)
      : out_(out), dataAddress_(dataAddress), ranges_(ranges) {}

  void Results(const RunResult& run) {
    Deliveries deliveries(run.reports);
    Array(run.Delivered(), 1, [&](size_t, int level) {
      size_t index;
      const auto& calls = deliveries.Next(index).calls;
      Array(calls.size(), level, [&](size_t h, int) { Status(calls[h]); });
    });
  }

  void Reports(const RunResult& run) {
    Deliveries deliveries(run.reports);
    Array(run.Delivered(), 1, [&](size_t, int level) {
      size_t index;
      const DeliveredReport& d = deliveries.Next(index);
      const auto& calls = d.calls;
      const std::string in(2 * (level + 1), ' ');
      out_ += "{\n";
      Field(in, "index", [&] { Number(index); });
      Field(in, "source", [&] { Number(d.report->source); });
      Field(in, "type", [&] { Number(d.report->type); });
      Field(in, "value", [&] { Number(d.report->value); });
      Field(in, "instance", [&] { Number(d.report->instance); });
      Field(in, "data", [&] { out_ += DataKind(*d.report).dump(); });
      Field(in, "data_address", [&] { out_ += Optional(DataPointer(*d.report, dataAddress_)).dump(); });
      Field(in, "caller_address", [&] { out_ += Optional(d.report->callerAddress).dump(); });
      Field(in, "results", [&] { Array(calls.size(), level + 1, [&](size_t h, int) { Status(calls[h]); }); });
      Field(in, "stopped",
            [&] { Array(calls.size(), level + 1, [&](size_t h, int) { out_ += Json(calls[h].stopped).dump(); }); });
      Field(in, "instructions",
            [&] { Array(calls.size(), level + 1, [&](size_t h, int) { Number(calls[h].instructions); }); });
      if (ranges_)
        Field(in, "range_instructions",
              [&] { Array(calls.size(), level + 1, [&](size_t h, int) { Number(calls[h].rangeInstructions); }); });
      Field(in, "stack_bytes",
            [&] { Array(calls.size(), level + 1, [&](size_t h, int) { Number(calls[h].stackBytes); }); });
      size_t codes = 0;
      for (const CallResult& c : calls) codes += c.postcodes.size();
      Field(in, "postcodes", [&] {
        size_t h = 0, k = 0;
        Array(codes, level + 1, [&](size_t, int) {
          while (k == calls[h].postcodes.size()) ++h, k = 0;
          Number(calls[h].postcodes[k++]);
        });
      }, true);
      out_ += std::string(2 * level, ' ') + "}";
    });
  }

 private:
  template <typename Each>
  void Array(size_t count, int level, const Each& each) {
    if (count == 0) {
      out_ += "[]";
      return;
    }
    const std::string in(2 * (level + 1), ' ');
    out_ += "[\n";
    for (size_t i = 0; i < count; ++i) {
      out_ += in;
      each(i, level + 1);
      out_ += i + 1 < count ? ",\n" : "\n";
    }
    out_ += std::string(2 * level, ' ') + "]";
  }

  template <typename Value>
  void Field(const std::string& in, const char* key, const Value& value, bool last = false) {
    out_ += in;
    out_ += '"';
    out_ += key;
    out_ += "\": ";
    value();
    out_ += last ? "\n" : ",\n";
  }

  void Number(uint64_t n) { out_ += std::to_string(n); }
  void Status(const CallResult& c) { c.status ? Number(*c.status) : void(out_ += "null"); }

  std::string& out_;
  uint32_t dataAddress_;
  bool ranges_;
};

Json BuildJson(const RunResult& run, const RenderContext& ctx, bool streamed);

}  // namespace

Json ToJson(const RunResult& run, const RenderContext& ctx) { return BuildJson(run, ctx, false); }

std::string ToJsonText(const RunResult& run, const RenderContext& ctx) {
  std::string text = BuildJson(run, ctx, true).dump(2);
  std::string results, reports;
  const bool ranges = !run.countRanges.empty();
  ReportStream(results, run.dataAddress, ranges).Results(run);
  ReportStream(reports, run.dataAddress, ranges).Reports(run);
  auto replace = [&](const char* mark, const std::string& with) {
    const std::string quoted = Json(mark).dump();
    const size_t at = text.find(quoted);
    if (at == std::string::npos) throw std::logic_error("JSON placeholder missing");
    text.replace(at, quoted.size(), with);
  };
  replace(kResultsMark, results);
  replace(kReportsMark, reports);
  return text;
}

namespace {

Json BuildJson(const RunResult& run, const RenderContext& ctx, bool streamed) {
  Json j;
  const Scenario& s = *run.scenario;
  j["machine"] = run.machine;
  j["scenario"] = {{"path", s.path}, {"name", s.name}, {"reports", s.DeliveryCount()}};
  j["image"] = {{"path", run.imagePath},     {"source", run.imageSource},      {"format", run.imageFormat},
                {"file_size", run.imageFileSize}, {"base", run.imageBase},
                {"size", run.imageSize},     {"entry", run.entryPoint},        {"relocations", run.relocations},
                {"intact", run.imageIntact}};
  if (!run.dispatch.empty()) j["image"]["dispatch"] = run.dispatch;
  j["entry"] = {{"status", StatusJson(run.entry)},
                {"stopped", run.entry.stopped},
                {"instructions", run.entry.instructions},
                {"stack_bytes", run.entry.stackBytes}};
  if (!run.countRanges.empty()) {
    j["entry"]["range_instructions"] = run.entry.rangeInstructions;
    Json ranges = Json::array();
    for (const CountRange& r : run.countRanges) ranges.push_back({{"start", r.start}, {"end", r.end}, {"name", r.name}});
    j["count_ranges"] = ranges;
  }
  Json handlers = Json::array();
  for (size_t h = 0; h < run.handlers.size(); ++h)
    handlers.push_back({{"address", run.handlers[h]}, {"name", HandlerName(ctx, run, h)}});
  j["handlers"] = handlers;
  j["serial"] = Latin1ToUtf8(run.outputs.serial);
  j["mmio_serial"] = Latin1ToUtf8(run.outputs.mmioSerial);
  j["postcodes"] = run.postcodes;
  j["postcode_writes"] = run.postcodeWrites;
  j["memory_log"] = {{"header", run.outputs.memoryLogHeader}, {"text", Latin1ToUtf8(run.outputs.memoryLogText)}};
  Json hobs = Json::array();
  for (const auto& [address, st] : run.stackHobs)
    hobs.push_back({{"address", address},
                    {"depth", st.depth},
                    {"signature", st.signature},
                    {"codes", std::vector<uint32_t>(std::begin(st.codes), std::end(st.codes))}});
  j["hob"] = hobs;
  if (!streamed) {
    Json results = Json::array(), reports = Json::array();
    for (const DeliveredReport& d : run.reports)
      for (uint64_t k = 0; k < d.repeat; ++k) {
        Json one = ReportJson(d, d.index + static_cast<size_t>(k), run.dataAddress, !run.countRanges.empty());
        results.push_back(one["results"]);
        reports.push_back(std::move(one));
      }
    j["results"] = results;
    j["reports"] = reports;
  } else {
    // Placeholders, replaced by the streamed arrays after the dump.
    j["results"] = kResultsMark;
    j["reports"] = kReportsMark;
  }
  if (run.halt) {
    const Halt& h = *run.halt;
    j["halted"] = {{"reason", h.reason},
                   {"report", h.report},
                   {"handler", h.handler},
                   {"handler_name", HandlerName(ctx, run, h.handler)},
                   {"cycle",
                    [&] {
                      Json cycle = Json::array();
                      for (const CycleStep& s : h.cycle) cycle.push_back({{"word", s.word}, {"writes", s.writes}});
                      return cycle;
                    }()},
                   {"port_writes", h.portWrites},
                   {"instructions", h.instructions}};
  } else {
    j["halted"] = nullptr;
  }
  Json faults = Json::array();
  for (const Fault& f : run.faults)
    faults.push_back({{"kind", f.kind},
                      {"address", f.address},
                      {"eip", f.eip},
                      {"where", SymbolAt(ctx, run, f.eip)},
                      {"width", f.width},
                      {"value", f.value},
                      {"during", f.during},
                      {"detail", f.detail}});
  j["faults"] = faults;
  j["faults_not_listed"] = run.faultsNotListed;
  j["services"] = {{"locate_ppi", run.services.locatePpi},       {"register", run.services.registerCalls},
                   {"create_hob", run.services.createHob},       {"get_hob_list", run.services.getHobList},
                   {"copy_mem", run.services.copyMem},           {"unsupported", run.services.unsupported},
                   {"locate_ppi_services", run.services.lastLocatePpiServices},
                   {"create_hob_services", run.services.lastCreateHobServices}};
  Json perHandler = Json::array();
  for (size_t h = 0; h < run.handlerStats.size(); ++h) {
    const HandlerStats& hs = run.handlerStats[h];
    perHandler.push_back({{"name", HandlerName(ctx, run, h)},
                          {"calls", hs.calls},
                          {"instructions", hs.instructions},
                          {"max_instructions", hs.maxInstructions},
                          {"max_stack_bytes", hs.maxStackBytes}});
  }
  j["stats"] = {{"instructions", run.instructions},
                {"max_stack_bytes", run.maxStackBytes},
                {"io_accesses", run.ioAccesses},
                {"mmio_accesses", run.mmioAccesses},
                {"reports_delivered", run.Delivered()},
                {"image_bytes", run.imageFileSize},
                {"handlers", perHandler}};
  if (!run.countRanges.empty()) j["stats"]["range_instructions"] = run.rangeInstructions;
  if (!run.accesses.empty()) {
    Json log = Json::array();
    for (const sim::Access& a : run.accesses) log.push_back(sim::Describe(a));
    j["accesses"] = log;
    j["accesses_truncated"] = run.accessLogTruncated;
  }
  return j;
}

}  // namespace

}  // namespace scenario
