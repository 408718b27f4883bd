#include "view/Timeline.h"

#include <fmt/format.h>

#include <algorithm>

#include "emu/PostCodeDecode.h"
#include "run/Outputs.h"
#include "run/TextView.h"
#include "scenario/ModuleTable.h"

namespace view {
namespace {

constexpr uint16_t kFlagMask = 0xF00, kBegin = 0x100, kEnd = 0x200, kNested = 0xC00;

std::optional<uint64_t> Cost(const comparison::ReportFacts& r, const char* name, size_t h) {
  const auto it = r.costs.find(name);
  if (it == r.costs.end() || h >= it->second.size()) return std::nullopt;
  return it->second[h];
}

std::optional<uint64_t> EntryCost(const comparison::RunDocument& d, const char* name) {
  const auto it = d.entryCosts.find(name);
  return it == d.entryCosts.end() ? std::nullopt : it->second;
}

Axis ChooseAxis(const comparison::RunDocument& d) {
  if (d.timing) return Axis::BoardTime;
  if (EntryCost(d, "instructions")) return Axis::Instructions;
  for (const comparison::ReportFacts& r : d.reports)
    for (size_t h = 0; h < r.results.size(); ++h)
      if (Cost(r, "instructions", h)) return Axis::Instructions;
  return Axis::ReportOrder;
}

// A call's length on the axis; `start` is where it begins when the document
// gives no start of its own.
Call Place(Axis axis, std::optional<uint64_t> startNs, std::optional<uint64_t> timeNs,
           std::optional<uint64_t> instructions, uint64_t cursor) {
  Call c;
  switch (axis) {
    case Axis::BoardTime:
      c.start = startNs.value_or(cursor);
      c.end = c.start + timeNs.value_or(0);
      break;
    case Axis::Instructions:
      c.start = cursor;
      c.end = cursor + instructions.value_or(0);
      break;
    case Axis::ReportOrder:
      c.start = cursor;
      c.end = cursor + kReportOrderUnitNs;
      break;
  }
  return c;
}

std::string SpanName(uint16_t code) {
  const auto names = scenario::ModulesWithBaseCode(code & 0xFF);
  // A base code several modules share names them all: the document does
  // not say which module a report came from.
  std::string name;
  for (const std::string_view n : names) name += (name.empty() ? "" : " or ") + std::string(n);
  return (code & kFlagMask) == kNested ? name + " (nested level)" : name;
}

// Module spans from the begin and end codes, nesting perfectly whatever the
// codes were: a begin (or nested level) code opens a span inside the open
// ones; an end code closes the innermost open span of its module and every
// span opened inside it (they close with it, marked as closed by this rule);
// an end code with no open span of its module closes nothing; spans still
// open at the end of the run close there, marked the same way.
void BuildSpans(Timeline& t, const std::vector<bool>& opensSpans) {
  std::vector<size_t> open;
  for (size_t i = 0; i < t.postcodes.size(); ++i) {
    const PostCodeWrite& w = t.postcodes[i];
    if (!opensSpans[i] || scenario::ModulesWithBaseCode(w.code & 0xFF).empty()) continue;
    const uint16_t flags = w.code & kFlagMask;
    if (flags == kBegin || flags == kNested) {
      t.spans.push_back({SpanName(w.code), w.code, w.time, w.time, open.size(), false});
      open.push_back(t.spans.size() - 1);
    } else if (flags == kEnd) {
      const auto match = std::find_if(open.rbegin(), open.rend(),
                                      [&](size_t s) { return (t.spans[s].code & 0xFF) == (w.code & 0xFF); });
      if (match == open.rend()) continue;
      const size_t keep = static_cast<size_t>(open.rend() - match) - 1;
      for (size_t k = open.size(); k-- > keep;) {
        Span& s = t.spans[open[k]];
        s.end = w.time;
        s.closedByRule = k != keep;
      }
      open.resize(keep);
    }
  }
  for (const size_t s : open) {
    t.spans[s].end = t.end;
    t.spans[s].closedByRule = true;
  }
  for (const Span& s : t.spans) t.spansClosedByRule += s.closedByRule;
}

// Where each output's bytes came from: the cumulative byte count after the
// entry and after each report, with the time of those calls' start.
struct Segment {
  uint64_t endByte = 0;
  uint64_t time = 0;
};

void BuildOutputs(Timeline& t, const comparison::RunDocument& d, const std::vector<uint64_t>& reportStart) {
  for (const run::Output& o : run::kOutputs) {
    OutputLines out;
    out.name = o.key;
    out.ring = o.kind == run::OutputKind::Ring;
    for (const comparison::OutputText& text : d.outputs)
      if (text.name == out.name) out.text = text.bytes;
    std::vector<Segment> segments;
    uint64_t total = 0;
    if (const auto ends = comparison::OutputByteEnds(d, out.name)) {
      out.placed = true;
      total = ends->back();
      // The entry's bytes from the first call's start, each report's from its own.
      for (size_t k = 0; k < ends->size(); ++k)
        if ((*ends)[k] > (k == 0 ? 0 : (*ends)[k - 1]))
          segments.push_back({(*ends)[k], k == 0 ? (t.calls.empty() ? 0 : t.calls.front().start) : reportStart[k - 1]});
    }
    // A ring holds the newest bytes: its text ends with the last byte written.
    const uint64_t offset = out.ring && total > out.text.size() ? total - out.text.size() : 0;
    const auto timeOf = [&](uint64_t place) -> uint64_t {
      const auto it = std::upper_bound(segments.begin(), segments.end(), offset + place,
                                       [](uint64_t p, const Segment& s) { return p < s.endByte; });
      return it == segments.end() ? (segments.empty() ? 0 : segments.back().time) : it->time;
    };
    for (size_t begin = 0; begin < out.text.size();) {
      size_t end = out.text.find('\n', begin);
      end = end == std::string::npos ? out.text.size() : end + 1;
      std::string_view line(out.text.data() + begin, end - begin);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
      if (!line.empty()) out.lines.push_back({run::InputText(line), timeOf(begin), begin, end - begin});
      begin = end;
    }
    if (!out.ring) {
      Wire wire;
      if (d.timing) {
        for (const auto& w : d.timing->wires)
          if (w.output == out.name) {
            const auto refuse = [&](const std::string& field, const char* why) {
              throw comparison::DocumentError(
                  fmt::format("{}: not a run document: field timing.{} {}", d.origin, field, why));
            };
            if (w.baud == 0) refuse(fmt::format("uarts.{}.baud", out.name), "is 0");
            wire.baud = w.baud;
            wire.modelled = true;
            for (const auto& [start, bytes] : w.bursts) {
              if (!wire.bursts.empty() && start < BitEdge(wire, wire.bursts.back(), 10 * wire.bursts.back().bytes))
                refuse(fmt::format("wire.{}[{}]", out.name, wire.bursts.size()),
                       "starts before the burst before it has ended");
              wire.bursts.push_back({start, bytes});
            }
          }
      }
      if (!wire.modelled) {
        // Back to back at the default rate from the start of the calls that wrote them.
        uint64_t sent = 0, lastEnd = 0;
        const auto send = [&](uint64_t time, uint64_t bytes) {
          if (wire.bursts.empty() || time >= lastEnd)
            wire.bursts.push_back({time, bytes});
          else
            wire.bursts.back().bytes += bytes;
          lastEnd = BitEdge(wire, wire.bursts.back(), 10 * wire.bursts.back().bytes);
          sent += bytes;
        };
        for (const Segment& s : segments)
          if (const uint64_t upTo = std::min<uint64_t>(s.endByte, out.text.size()); upTo > sent) send(s.time, upTo - sent);
        // Without the document saying which report wrote them: from the first report's start.
        if (sent < out.text.size())
          send(segments.empty() ? (reportStart.empty() ? t.end : reportStart.front()) : segments.back().time,
               out.text.size() - sent);
        std::erase_if(wire.bursts, [](const Wire::Burst& b) { return b.bytes == 0; });
      }
      out.wire = wire;
    }
    t.outputs.push_back(std::move(out));
  }
}

}  // namespace

uint64_t BitEdge(const Wire& wire, const Wire::Burst& burst, uint64_t k) {
  return burst.start + (k * 2'000'000'000ull + wire.baud) / (2 * wire.baud);
}

std::vector<std::pair<uint64_t, uint64_t>> ByteTimes(const Wire& wire) {
  std::vector<std::pair<uint64_t, uint64_t>> times;
  for (const Wire::Burst& b : wire.bursts)
    for (uint64_t i = 0; i < b.bytes; ++i) times.emplace_back(BitEdge(wire, b, 10 * i), BitEdge(wire, b, 10 * i + 10));
  return times;
}

std::string PostCodeLabel(uint16_t code) {
  const uint16_t flags = code & kFlagMask;
  if ((flags == kBegin || flags == kEnd || flags == kNested) && !scenario::ModulesWithBaseCode(code & 0xFF).empty())
    return flags == kNested ? SpanName(code) : SpanName(code) + (flags == kBegin ? " begins" : " ends");
  const emu::PostCodeMeaning m = emu::DecodePostCode(code);
  if (m.lines.empty()) return "not a code the module writes";
  const std::string& line = m.lines.front();  // "status code value 0x03021001 (class ...)"
  return line.starts_with("status code value ") ? "PEI core checkpoint " + line.substr(18, 10) : line;
}

std::string Microseconds(uint64_t ns) {
  if (ns % 1000 == 0) return std::to_string(ns / 1000);
  std::string fraction = fmt::format("{:03}", ns % 1000);
  while (fraction.back() == '0') fraction.pop_back();
  return fmt::format("{}.{}", ns / 1000, fraction);
}

Timeline BuildTimeline(const comparison::RunDocument& d) {
  Timeline t;
  t.axis = ChooseAxis(d);
  switch (t.axis) {
    case Axis::BoardTime:
      t.axisText = fmt::format("board time model: nanoseconds from the entry's start (clock {} Hz, {} per cycle)",
                               d.timing->clockHz,
                               d.timing->instructionsPerCycle == 1 ? std::string("1 instruction")
                                                                   : fmt::format("{} instructions", d.timing->instructionsPerCycle));
      break;
    case Axis::Instructions:
      t.axisText = "instructions at a stated rate: 1 instruction = 1 ns (1 GHz, one instruction a cycle)";
      break;
    case Axis::ReportOrder:
      t.axisText = fmt::format("report order: no instruction counts, each call one unit of {} ns", kReportOrderUnitNs);
      break;
  }
  t.scenario = d.scenarioName;
  t.machine = d.machine.empty() ? "machine the document leaves unnamed" : d.machine;
  t.image = d.imagePath;
  t.origin = d.origin;
  t.handlers = d.handlers;

  // The calls, in the order they ran; the POST codes of a call spread over it.
  uint64_t cursor = 0;
  std::vector<bool> opensSpans;
  const auto writeCodes = [&](const std::vector<uint16_t>& codes, const Call& c, bool spans) {
    const uint64_t n = codes.size();
    for (uint64_t i = 0; i < n; ++i) {
      uint64_t time = c.start + (c.end - c.start) * i / n;
      if (!t.postcodes.empty()) time = std::max(time, t.postcodes.back().time + 1);
      t.postcodes.push_back({time, codes[i]});
      opensSpans.push_back(spans);
    }
  };
  Call entry = Place(t.axis, d.entryStartNs, EntryCost(d, "time_ns"), EntryCost(d, "instructions"), cursor);
  t.calls.push_back(entry);
  cursor = entry.end;
  writeCodes(d.entryPostcodes, entry, true);
  std::optional<size_t> writer;  // the handler that writes port 0x80
  for (size_t h = 0; h < d.handlers.size(); ++h)
    if (d.handlers[h] == "PostCodeHandler") writer = h;
  std::vector<uint64_t> reportStart;
  for (size_t i = 0; i < d.reports.size(); ++i) {
    const comparison::ReportFacts& r = d.reports[i];
    reportStart.push_back(cursor);
    std::optional<Call> codesCall;
    for (size_t h = 0; h < r.results.size(); ++h) {
      Call c = Place(t.axis, h < r.startNs.size() ? r.startNs[h] : std::nullopt, Cost(r, "time_ns", h),
                     Cost(r, "instructions", h), cursor);
      c.report = i;
      c.handler = h;
      if (h == 0) reportStart.back() = c.start;
      cursor = std::max(cursor, c.end);
      t.calls.push_back(c);
      if (!codesCall || writer == h) codesCall = c;
      if (d.halt && d.halt->report == r.index && d.halt->handler == h) {
        t.haltTime = c.end;
        t.haltText = fmt::format("{} in report {}, {}: {}", d.halt->reason, r.index,
                                 h < d.handlers.size() ? run::InputText(d.handlers[h]) : "handler " + std::to_string(h),
                                 d.halt->cycle);
      }
    }
    if (!codesCall) codesCall = Call{i, 0, cursor, cursor};
    // The halting report's words are the blink cycle, not module codes.
    writeCodes(r.postcodes, *codesCall, !(d.halt && d.halt->report == r.index));
  }
  for (const Call& c : t.calls) t.end = std::max(t.end, c.end);
  BuildSpans(t, opensSpans);
  BuildOutputs(t, d, reportStart);
  return t;
}

}  // namespace view
