#include "view/Plot.h"

#include <fmt/format.h>

#include <algorithm>

#include "run/TextView.h"
#include "view/Timeline.h"

namespace view {
namespace {

constexpr int kLeft = 190, kWidth = 1200, kRight = 30, kRow = 22, kBar = 16;
constexpr size_t kDepthRows = 8;

std::string Xml(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

struct Bar {
  uint64_t start = 0, end = 0;
  std::string label;    // drawn inside when it fits
  std::string tooltip;  // a title element
};

// A time in the scale's unit, rounded to three decimals at most.
std::string InUnit(uint64_t ns, uint64_t unit) {
  const uint64_t thousandths = unit >= 1000 ? (ns + unit / 2000) / (unit / 1000) : ns * 1000;
  std::string text = std::to_string(thousandths / 1000);
  if (thousandths % 1000 != 0) {
    std::string fraction = fmt::format("{:03}", thousandths % 1000);
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text;
}

// A time with the unit that suits it: "850 ns", "86.806 us", "106.944 ms".
std::string Readable(uint64_t ns) {
  const uint64_t unit = ns >= 1'000'000'000 ? 1'000'000'000 : ns >= 1'000'000 ? 1'000'000 : ns >= 1'000 ? 1'000 : 1;
  return InUnit(ns, unit) + (unit == 1'000'000'000 ? " s" : unit == 1'000'000 ? " ms" : unit == 1'000 ? " us" : " ns");
}

class Svg {
 public:
  explicit Svg(uint64_t span) : span_(std::max<uint64_t>(span, 1)) {}

  double X(uint64_t t) const { return kLeft + static_cast<double>(t) * kWidth / static_cast<double>(span_); }
  std::string& Body() { return body_; }
  size_t Merged() const { return merged_; }

  void RowLabel(int y, std::string_view text) {
    body_ += fmt::format(R"(<text x="{}" y="{}" class="row">{}</text>)"
                         "\n",
                         kLeft - 8, y + kBar - 4, Xml(text));
  }

  // Bars of one row; those narrower than a pixel that fall into one pixel
  // column are merged into one bar a pixel wide.
  void Bars(int y, const std::vector<Bar>& bars, const std::string& fill) {
    for (size_t i = 0; i < bars.size();) {
      const double x0 = X(bars[i].start), x1 = X(bars[i].end);
      if (x1 - x0 >= 1.0) {
        Rect(x0, y, x1 - x0, fill, bars[i].tooltip);
        if (!bars[i].label.empty() && static_cast<double>(bars[i].label.size()) * 6.5 + 6 < x1 - x0)
          body_ += fmt::format(R"(<text x="{:.1f}" y="{}" class="in">{}</text>)"
                               "\n",
                               x0 + 3, y + kBar - 4, Xml(bars[i].label));
        ++i;
        continue;
      }
      size_t j = i + 1;
      const auto column = static_cast<int64_t>(x0);
      while (j < bars.size() && X(bars[j].end) - X(bars[j].start) < 1.0 && static_cast<int64_t>(X(bars[j].start)) == column) ++j;
      merged_ += j - i - 1;
      std::string tooltip = j - i == 1 ? bars[i].tooltip
                                       : fmt::format("{} items below a pixel, from\n{}\nto\n{}", j - i, bars[i].tooltip,
                                                     bars[j - 1].tooltip);
      Rect(static_cast<double>(column), y, 1.0, fill, tooltip);
      i = j;
    }
  }

  void Rect(double x, int y, double w, const std::string& fill, const std::string& tooltip) {
    body_ += fmt::format(R"(<rect x="{:.2f}" y="{}" width="{:.2f}" height="{}" fill="{}">)", x, y, std::max(w, 1.0),
                         kBar, fill);
    if (!tooltip.empty()) body_ += "<title>" + Xml(tooltip) + "</title>";
    body_ += "</rect>\n";
  }

 private:
  uint64_t span_;
  std::string body_;
  size_t merged_ = 0;
};

const char* OutputColour(const std::string& name) {
  if (name == "serial") return "#1f77b4";
  if (name == "mmio_serial") return "#2ca02c";
  return "#9467bd";
}

constexpr const char* kDepthColours[] = {"#f4a259", "#f6bd60", "#f7d08a", "#e9c46a", "#d4a373"};
constexpr const char* kCallColours[] = {"#8d99ae", "#bc6c25", "#6d597a", "#457b9d"};

}  // namespace

std::string PlotSvg(const comparison::RunDocument& d) {
  const Timeline t = BuildTimeline(d);
  // With the time model the wires and the calls share one clock and the
  // scale covers both; on the other axes the wires' bytes run on long after
  // the calls, so the scale covers the calls and a row says how far its wire runs.
  uint64_t span = t.end;
  if (t.axis == Axis::BoardTime)
    for (const OutputLines& o : t.outputs)
      if (o.wire)
        for (const Wire::Burst& b : o.wire->bursts) span = std::max(span, BitEdge(*o.wire, b, 10 * b.bytes));

  // The scale: a step of 1, 2 or 5 times a power of ten, about ten steps.
  uint64_t step = 1;
  for (uint64_t power = 1; span / step > 12; power *= 10)
    for (const uint64_t m : {1, 2, 5})
      if (step = m * power; span / step <= 12) break;
  const auto [unit, unitName] = step >= 1'000'000'000 ? std::pair<uint64_t, const char*>{1'000'000'000, "s"}
                                : step >= 1'000'000   ? std::pair<uint64_t, const char*>{1'000'000, "ms"}
                                : step >= 1'000       ? std::pair<uint64_t, const char*>{1'000, "us"}
                                                      : std::pair<uint64_t, const char*>{1, "ns"};
  const std::string axisUnit = t.axis == Axis::BoardTime      ? unitName
                               : t.axis == Axis::Instructions ? fmt::format("{} (1 instruction = 1 ns)", unitName)
                                                              : fmt::format("{} (each call {} ns)", unitName,
                                                                            kReportOrderUnitNs);
  Svg svg(span);
  int y = 60;

  // POST codes along the axis: one tick per write, merged within a pixel.
  svg.RowLabel(y, "POST codes");
  std::vector<Bar> ticks;
  for (const PostCodeWrite& w : t.postcodes)
    ticks.push_back({w.time, w.time, "", fmt::format("{:04X} {} at {} ns", w.code, PostCodeLabel(w.code), w.time)});
  svg.Bars(y, ticks, "#444");
  y += kRow;

  // Spans nest, so those deeper than the last row lie inside its spans:
  // the last row stands for them.
  size_t depths = 0;
  for (const Span& s : t.spans) depths = std::max(depths, s.depth + 1);
  const size_t rows = std::min(depths, kDepthRows);
  for (size_t depth = 0; depth < rows; ++depth) {
    svg.RowLabel(y, depth == 0                                  ? "modules"
                    : depth + 1 == rows && depths > kDepthRows ? fmt::format("modules, depth {} (and {} deeper)", depth,
                                                                             depths - 1 - depth)
                                                               : fmt::format("modules, depth {}", depth));
    std::vector<Bar> bars;
    for (const Span& s : t.spans)
      if (s.depth == depth)
        bars.push_back({s.start, s.end, s.name,
                        fmt::format("{} ({:04X}) {}..{} ns{}", s.name, s.code, s.start, s.end,
                                    s.closedByRule ? ", closed with an outer span or at the end" : "")});
    svg.Bars(y, bars, kDepthColours[depth % std::size(kDepthColours)]);
    y += kRow;
  }

  for (size_t h = 0; h <= t.handlers.size(); ++h) {
    std::vector<Bar> bars;
    for (const Call& c : t.calls)
      if ((h == 0 && !c.report) || (h > 0 && c.report && c.handler == h - 1))
        bars.push_back({c.start, c.end, "",
                        c.report ? fmt::format("report {}: {}..{} ns", d.reports[*c.report].index, c.start, c.end)
                                 : fmt::format("entry: {}..{} ns", c.start, c.end)});
    if (bars.empty()) continue;
    svg.RowLabel(y, h == 0 ? "entry" : run::InputText(t.handlers[h - 1]));
    svg.Bars(y, bars, kCallColours[h % std::size(kCallColours)]);
    y += kRow;
  }

  for (const OutputLines& o : t.outputs) {
    if (o.text.empty()) continue;
    std::vector<Bar> bars;
    size_t past = 0;
    uint64_t lastEnd = 0;
    const std::vector<std::pair<uint64_t, uint64_t>> bytes = o.wire ? ByteTimes(*o.wire) : decltype(bytes){};
    for (const TextLine& l : o.lines) {
      uint64_t start = l.time, end = l.time;
      if (!bytes.empty() && l.firstByte < bytes.size()) {
        start = bytes[l.firstByte].first;
        end = bytes[std::min<uint64_t>(l.firstByte + l.bytes, bytes.size()) - 1].second;
      }
      if (start < span || span == 0)
        bars.push_back({start, std::min(end, span), l.text, fmt::format("{}..{} ns: {}", start, end, l.text)});
      else
        ++past, lastEnd = std::max(lastEnd, end);
    }
    svg.RowLabel(y, o.wire ? o.name + " (on the wire)" : o.name + " (when written)");
    svg.Bars(y, bars, OutputColour(o.name));
    if (past > 0)
      svg.Body() += fmt::format(R"(<text x="{}" y="{}" class="past">+{} lines on the wire until {}</text>)"
                                "\n",
                                kLeft + kWidth - 4, y + kBar - 4, past, Readable(lastEnd));
    y += kRow;
  }
  const int bottom = y;

  std::string grid;
  for (uint64_t at = 0; at <= span; at += step)
    grid += fmt::format(R"(<line x1="{0:.2f}" y1="40" x2="{0:.2f}" y2="{1}" class="grid"/><text x="{0:.2f}" y="34" class="tick">{2}</text>)"
                        "\n",
                        svg.X(at), bottom, InUnit(at, unit));
  if (t.haltTime)
    grid += fmt::format(R"(<line x1="{0:.2f}" y1="40" x2="{0:.2f}" y2="{1}" class="halt"><title>{2}</title></line><text x="{0:.2f}" y="{3}" class="haltText">halt: {2}</text>)"
                        "\n",
                        svg.X(*t.haltTime), bottom, Xml(t.haltText), bottom + 14);

  // The legend.
  int ly = bottom + 36;
  std::string legend;
  legend += fmt::format(R"(<text x="10" y="{}" class="legend">time axis: {} ({}); scale in {}</text>)"
                        "\n",
                        ly, Xml(t.axisText), t.axis == Axis::BoardTime ? "time model on" : "no time model", axisUnit);
  ly += 18;
  int lx = 10;
  for (const OutputLines& o : t.outputs) {
    legend += fmt::format(R"(<rect x="{}" y="{}" width="14" height="12" fill="{}"/><text x="{}" y="{}" class="legend">{}</text>)"
                          "\n",
                          lx, ly - 10, OutputColour(o.name), lx + 18, ly,
                          Xml(o.name + (o.wire ? (o.wire->modelled ? ": bytes on the wire (time model)"
                                                                   : fmt::format(": bytes on the wire at {} baud, back to back", o.wire->baud))
                                               : ": when each line was written")));
    lx += 380;
  }
  ly += 18;
  if (svg.Merged() > 0 || t.spansClosedByRule > 0) {
    legend += fmt::format(R"(<text x="10" y="{}" class="legend">{} items narrower than a pixel merged into one-pixel bars; {} module spans closed by an outer end code or the end of the run</text>)"
                          "\n",
                          ly, svg.Merged(), t.spansClosedByRule);
    ly += 18;
  }

  const int height = ly + 10;
  const int width = kLeft + kWidth + kRight;
  std::string out = fmt::format(
      R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="{0}" height="{1}" viewBox="0 0 {0} {1}">
<style>
text {{ font-family: sans-serif; font-size: 11px; fill: #222; }}
.row {{ text-anchor: end; }}
.tick {{ text-anchor: middle; fill: #555; }}
.in {{ font-size: 10px; }}
.grid {{ stroke: #ddd; stroke-width: 1; }}
.halt {{ stroke: #d62728; stroke-width: 2; }}
.haltText {{ fill: #d62728; text-anchor: end; }}
.title {{ font-size: 14px; font-weight: bold; }}
.past {{ text-anchor: end; font-weight: bold; fill: #fff; }}
</style>
<rect width="100%" height="100%" fill="#fff"/>
<text x="10" y="18" class="title">{2} on the {3}: {4}</text>
)",
      width, height, Xml(run::InputText(t.scenario)), Xml(t.machine), Readable(t.end));
  return out + grid + svg.Body() + legend + "</svg>\n";
}

}  // namespace view
