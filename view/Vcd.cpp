#include "view/Vcd.h"

#include <fmt/format.h>

#include <set>

#include "run/TextView.h"
#include "view/Timeline.h"

namespace view {
namespace {

// One signal's changes in time order.
struct Signal {
  std::string id, name;
  int width = 1;
  std::string initial;
  std::vector<std::pair<uint64_t, uint32_t>> changes;

  void Set(uint64_t time, uint32_t value) {
    if (width == 1 && !changes.empty() && changes.back().second == value) return;
    if (!changes.empty() && changes.back().first == time) {
      changes.back().second = value;
      return;
    }
    changes.emplace_back(time, value);
  }
  std::string Value(uint32_t v) const {
    if (width == 1) return fmt::format("{}{}", v, id);
    return fmt::format("b{:b} {}", v, id);
  }
};

// A UART's transmit wire: idle high; each byte a start bit (low), 8 data
// bits least significant first and a stop bit (high), every edge at its
// burst's start plus a whole number of bit times, rounded to the nanosecond.
void DriveWire(Signal& s, const Wire& wire, const std::string& text, uint64_t* end) {
  uint64_t sent = 0;
  for (const Wire::Burst& b : wire.bursts) {
    for (uint64_t i = 0; i < b.bytes && sent < text.size(); ++i, ++sent) {
      const auto byte = static_cast<unsigned char>(text[sent]);
      s.Set(BitEdge(wire, b, 10 * i), 0);
      for (uint64_t bit = 0; bit < 8; ++bit) s.Set(BitEdge(wire, b, 10 * i + 1 + bit), (byte >> bit) & 1);
      s.Set(BitEdge(wire, b, 10 * i + 9), 1);
      *end = std::max(*end, BitEdge(wire, b, 10 * i + 10));
    }
  }
}

}  // namespace

VcdFiles MakeVcd(const comparison::RunDocument& d, const std::string& vcdPath, const std::string& filterPath,
                 bool postcodeBits) {
  const Timeline t = BuildTimeline(d);
  std::vector<Signal> signals;
  signals.push_back({"w", "postcode_write", 1, "0w", {}});
  if (postcodeBits) {
    for (int bit = 0; bit < 16; ++bit)
      signals.push_back({fmt::format("p{}", bit), fmt::format("postcode_{}", bit), 1, fmt::format("xp{}", bit), {}});
  } else {
    signals.push_back({"p", "postcode", 16, "bx p", {}});
  }
  uint64_t end = t.end;
  uint32_t toggle = 0;
  std::set<uint16_t> written;
  for (const PostCodeWrite& w : t.postcodes) {
    toggle ^= 1;
    signals[0].Set(w.time, toggle);
    if (postcodeBits)
      for (int bit = 0; bit < 16; ++bit) signals[1 + bit].Set(w.time, (w.code >> bit) & 1);
    else
      signals[1].Set(w.time, w.code);
    written.insert(w.code);
  }
  std::string comment = fmt::format("  sinksim vcd: scenario {} on the {}\n  time axis: {}\n",
                                    run::InputText(t.scenario), t.machine, t.axisText);
  comment +=
      "  postcode: each write to port 0x80 at its time, in order (several writes of one call spread over it);\n"
      "  a write of the value already shown changes nothing on postcode: postcode_write toggles on every write\n";
  char id = 's';
  for (const OutputLines& o : t.outputs) {
    if (!o.wire) continue;
    Signal s{std::string(1, id++), o.name + "_tx", 1, "1" + std::string(1, static_cast<char>(id - 1)), {}};
    DriveWire(s, *o.wire, o.text, &end);
    signals.push_back(std::move(s));
    uint64_t onWire = 0;
    for (const Wire::Burst& b : o.wire->bursts) onWire += b.bytes;
    comment += fmt::format(
        "  {}_tx: {} bytes at {} baud, 8N1, {}{}\n", o.name, std::min<uint64_t>(onWire, o.text.size()), o.wire->baud,
        o.wire->modelled ? "when the time model's transmitter sent them"
        : o.placed       ? "laid back to back from the start of the report that wrote them (no time model in the run)"
                         : "laid back to back from the first report's start (the run does not say which report wrote them)",
        onWire < o.text.size() ? fmt::format("; {} bytes the transmitter had not sent by the end", o.text.size() - onWire)
                               : "");
  }

  VcdFiles files;
  std::string& v = files.vcd;
  v = "$comment\n" + comment + "$end\n$version sinksim vcd $end\n$timescale 1 ns $end\n$scope module sinksim $end\n";
  for (const Signal& s : signals)
    v += s.width == 1 ? fmt::format("$var wire 1 {} {} $end\n", s.id, s.name)
                      : fmt::format("$var wire {} {} {} [{}:0] $end\n", s.width, s.id, s.name, s.width - 1);
  v += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
  for (const Signal& s : signals) v += s.initial + "\n";
  v += "$end\n";
  // Merge the signals' changes in time order.
  std::vector<size_t> next(signals.size(), 0);
  uint64_t last = 0;
  for (;;) {
    std::optional<uint64_t> now;
    for (size_t i = 0; i < signals.size(); ++i)
      if (next[i] < signals[i].changes.size() && (!now || signals[i].changes[next[i]].first < *now))
        now = signals[i].changes[next[i]].first;
    if (!now) break;
    if (*now != 0) v += fmt::format("#{}\n", *now);
    last = *now;
    for (size_t i = 0; i < signals.size(); ++i)
      if (next[i] < signals[i].changes.size() && signals[i].changes[next[i]].first == *now)
        v += signals[i].Value(signals[i].changes[next[i]++].second) + "\n";
  }
  if (end > last) v += fmt::format("#{}\n", end);

  for (const uint16_t code : written) files.filter += fmt::format("{:04X} {}\n", code, PostCodeLabel(code));
  files.gtkw = fmt::format(
      "[*] sinksim vcd: {}\n"
      "[dumpfile] \"{}\"\n"
      "[timestart] 0\n"
      "[size] 1600 600\n"
      "[treeopen] sinksim.\n",
      run::InputText(t.scenario), vcdPath);
  if (!postcodeBits) files.gtkw += fmt::format("@2022\n^1 {}\nsinksim.postcode[15:0]\n", filterPath);
  files.gtkw += "@28\n";
  for (size_t i = 0; i < signals.size(); ++i)
    if (signals[i].width == 1) files.gtkw += "sinksim." + signals[i].name + "\n";
  return files;
}

}  // namespace view
