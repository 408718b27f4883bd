#include "compare/RunDocument.h"

#include <fmt/format.h>

#include "emu/PostCodeDecode.h"
#include "fv/InputFile.h"
#include "run/Outputs.h"

namespace comparison {
namespace {

// A field being read: its path names it in every complaint.
class Field {
 public:
  Field(const Json& value, std::string origin, std::string path)
      : value_(value), origin_(std::move(origin)), path_(std::move(path)) {}

  [[noreturn]] void Fail(const std::string& why) const {
    throw DocumentError(fmt::format("{}: not a run document: field {} {}", origin_, path_, why));
  }
  Field operator[](const char* key) const {
    if (!value_.is_object()) Fail("is not an object");
    const auto it = value_.find(key);
    if (it == value_.end()) Field(value_, origin_, Join(key)).Fail("is missing");
    return Field(*it, origin_, Join(key));
  }
  Field operator[](size_t i) const { return Field(value_[i], origin_, fmt::format("{}[{}]", path_, i)); }
  bool Has(const char* key) const { return value_.is_object() && value_.contains(key); }
  bool IsNull() const { return value_.is_null(); }
  const Json& Value() const { return value_; }

  uint64_t Number() const {
    if (!value_.is_number_unsigned()) Fail("is not a number of at least 0");
    return value_.get<uint64_t>();
  }
  std::optional<uint64_t> NumberOrNull() const {
    if (value_.is_null()) return std::nullopt;
    return Number();
  }
  std::string Text() const {
    if (!value_.is_string()) Fail("is not a string");
    return value_.get<std::string>();
  }
  // Device text: each character of the string is one byte (U+0000..U+00FF).
  std::string Bytes() const {
    const std::string utf8 = Text();
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
      const auto c = static_cast<unsigned char>(utf8[i]);
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
        out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
      } else {
        Fail(fmt::format("holds a character above U+00FF at byte {}: device text is one byte a character", i));
      }
    }
    return out;
  }
  size_t Size() const {
    if (!value_.is_array()) Fail("is not an array");
    return value_.size();
  }
  template <typename Each>
  void ForEach(const Each& each) const {
    const size_t n = Size();
    for (size_t i = 0; i < n; ++i) each((*this)[i]);
  }

 private:
  std::string Join(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

  const Json& value_;
  std::string origin_;
  std::string path_;
};

std::vector<uint16_t> Codes(const Field& f) {
  std::vector<uint16_t> codes;
  f.ForEach([&](const Field& c) {
    const uint64_t v = c.Number();
    if (v > 0xFFFF) c.Fail("is not a 16-bit POST code");
    codes.push_back(static_cast<uint16_t>(v));
  });
  return codes;
}

// Field output_bytes: one count per output of the table, and nothing else.
std::map<std::string, uint64_t> OutputBytes(const Field& call) {
  std::map<std::string, uint64_t> bytes;
  if (!call.Has("output_bytes")) return bytes;  // not measured on this machine
  const Field f = call["output_bytes"];
  if (!f.Value().is_object()) f.Fail("is not an object");
  for (const run::Output& o : run::kOutputs) bytes[o.key] = f[o.key].Number();
  for (const auto& [key, value] : f.Value().items())
    if (bytes.count(key) == 0) f[key.c_str()].Fail("names no output of the board");
  return bytes;
}

// Field timing: the board time model's settings and figures.
TimingFacts ReadTiming(const Field& t) {
  TimingFacts facts;
  facts.clockHz = t["clock_hz"].Number();
  facts.instructionsPerCycle = t["instructions_per_cycle"].Number();
  facts.ioAccessNs = t["io_access_ns"].Number();
  facts.mmioAccessNs = t["mmio_access_ns"].Number();
  facts.bootNs = t["boot_ns"].Number();
  const Field shares = t["output_ns"];
  uint64_t sum = 0;
  for (const run::Output& o : run::kOutputs) sum += facts.outputNs[o.key] = shares[o.key].Number();
  sum += facts.outputNs["module"] = shares["module"].Number();
  if (sum != facts.bootNs) shares.Fail(fmt::format("adds up to {} ns, not boot_ns ({} ns)", sum, facts.bootNs));
  for (const run::Output& o : run::kOutputs) {
    if (o.kind != run::OutputKind::Line) continue;
    TimingFacts::Wire wire;
    wire.output = o.key;
    wire.baud = t["uarts"][o.key]["baud"].Number();
    wire.fifo = t["uarts"][o.key]["fifo"].Number();
    t["wire"][o.key].ForEach([&](const Field& burst) {
      if (burst.Size() != 2) burst.Fail("is not a pair [start_ns, bytes]");
      wire.bursts.emplace_back(burst[size_t{0}].Number(), burst[size_t{1}].Number());
    });
    facts.wires.push_back(std::move(wire));
  }
  return facts;
}

ReportFacts ReadReport(const Field& r, size_t handlers) {
  ReportFacts facts;
  facts.index = r["index"].Number();
  facts.type = r["type"].Number();
  facts.value = r["value"].Number();
  r["results"].ForEach([&](const Field& s) { facts.results.push_back(s.NumberOrNull()); });
  r["stopped"].ForEach([&](const Field& s) { facts.stopped.push_back(s.Text()); });
  if (facts.results.size() != facts.stopped.size()) r["stopped"].Fail("does not have one entry per call");
  if (facts.results.size() > handlers) r["results"].Fail("has more calls than the run has handlers");
  for (const std::string_view name : kCostNames) {
    const std::string key(name);
    if (!r.Has(key.c_str()) || r[key.c_str()].IsNull()) continue;  // not measured on this machine
    const Field f = r[key.c_str()];
    auto& per = facts.costs[key];
    f.ForEach([&](const Field& v) { per.push_back(v.NumberOrNull()); });
    if (per.size() != facts.results.size()) f.Fail("does not have one entry per call");
  }
  if (r.Has("start_ns")) {
    r["start_ns"].ForEach([&](const Field& v) { facts.startNs.push_back(v.NumberOrNull()); });
    if (facts.startNs.size() != facts.results.size()) r["start_ns"].Fail("does not have one entry per call");
  }
  facts.outputBytes = OutputBytes(r);
  facts.postcodes = Codes(r["postcodes"]);
  return facts;
}

}  // namespace

bool LooksLikeRunDocument(const Json& document) { return document.is_object() && document.contains("machine"); }

RunDocument ReadRunDocument(const Json& document, const std::string& origin) {
  const Field root(document, origin, "");
  if (!document.is_object()) root.Fail("(the document) is not an object");
  RunDocument doc;
  doc.origin = origin;
  doc.machine = root["machine"].Text();
  doc.scenarioName = root["scenario"]["name"].Text();
  if (root.Has("image") && root["image"].Has("path")) doc.imagePath = root["image"]["path"].Text();
  root["handlers"].ForEach([&](const Field& h) { doc.handlers.push_back(h["name"].Text()); });
  doc.entryStatus = root["entry"]["status"].NumberOrNull();
  doc.entryStopped = root["entry"]["stopped"].Text();
  for (const std::string_view name : kCostNames) {
    const std::string key(name);
    if (root["entry"].Has(key.c_str())) doc.entryCosts[key] = root["entry"][key.c_str()].NumberOrNull();
  }
  doc.entryOutputBytes = OutputBytes(root["entry"]);
  if (root["entry"].Has("start_ns")) doc.entryStartNs = root["entry"]["start_ns"].Number();
  if (root.Has("timing")) doc.timing = ReadTiming(root["timing"]);
  root["reports"].ForEach([&](const Field& r) { doc.reports.push_back(ReadReport(r, doc.handlers.size())); });
  doc.outputs = {{"serial", root["serial"].Bytes()},
                 {"mmio_serial", root["mmio_serial"].Bytes()},
                 {"memory_log", root["memory_log"]["text"].Bytes()}};
  // The run's sequence is the entry's codes, then each report's.
  const std::vector<uint16_t> all = Codes(root["postcodes"]);
  size_t inReports = 0;
  for (const ReportFacts& r : doc.reports) inReports += r.postcodes.size();
  if (inReports > all.size()) root["postcodes"].Fail("has fewer codes than the reports together");
  doc.entryPostcodes.assign(all.begin(), all.end() - static_cast<std::ptrdiff_t>(inReports));
  if (const Field h = root["halted"]; !h.IsNull()) {
    HaltFacts halt;
    halt.reason = h["reason"].Text();
    halt.report = h["report"].Number();
    halt.handler = h["handler"].Number();
    std::string cycle;
    h["cycle"].ForEach([&](const Field& step) {
      cycle += fmt::format("{}{:04X} x{}", cycle.empty() ? "" : " ", step["word"].Number(), step["writes"].Number());
    });
    halt.cycle = cycle;
    doc.halt = halt;
  }
  root["faults"].ForEach([&](const Field& f) {
    doc.faults.push_back({f["kind"].Text(), f["where"].Text(), f["during"].Text(), f["detail"].Text()});
  });
  doc.faultsNotListed = root["faults_not_listed"].Number();
  const Field stats = root["stats"];
  if (!stats.Value().is_object()) stats.Fail("is not an object");
  for (const auto& [key, value] : stats.Value().items())
    if (value.is_number_unsigned() || value.is_null()) doc.totals[key] = stats[key.c_str()].NumberOrNull();
  return doc;
}

Json ParseJsonFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  try {
    bytes = fv::ReadInputFile(path, {"run document", kMaxRunDocumentBytes});
  } catch (const std::exception& e) {
    throw DocumentError(e.what());
  }
  Json j = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (j.is_discarded()) throw DocumentError(path + ": not JSON");
  return j;
}

std::optional<std::vector<uint64_t>> OutputByteEnds(const RunDocument& d, const std::string& output) {
  std::vector<uint64_t> ends;
  const auto add = [&](const std::map<std::string, uint64_t>& bytes) {
    const auto it = bytes.find(output);
    const uint64_t before = ends.empty() ? 0 : ends.back();
    if (it == bytes.end() || it->second > UINT64_MAX - before) return false;
    ends.push_back(before + it->second);
    return true;
  };
  if (!add(d.entryOutputBytes)) return std::nullopt;
  for (const ReportFacts& r : d.reports)
    if (!add(r.outputBytes)) return std::nullopt;
  return ends;
}

std::string NamePostCode(uint16_t code) {
  const emu::PostCodeMeaning m = emu::DecodePostCode(code);
  std::string text = fmt::format("{:04X}", code);
  if (m.lines.empty()) return text + " (no module writes it)";
  text += " " + m.lines.front();
  if (m.lines.size() > 1) text += fmt::format(" (or {} other readings)", m.lines.size() - 1);
  return text;
}

}  // namespace comparison
