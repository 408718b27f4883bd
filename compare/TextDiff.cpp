#include "compare/TextDiff.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>

#include "compare/Align.h"
#include "run/Outputs.h"
#include "run/TextView.h"

namespace comparison {
namespace {

constexpr size_t kContextLines = 3;

// Who wrote a line, by place in its document: a report's place (0, 1, ...),
// or one of these.
constexpr int64_t kEntry = -1;    // the module's entry point
constexpr int64_t kUnknown = -2;  // the document does not tell
constexpr int64_t kNone = -3;     // the other side has no counterpart of the report

struct Split {
  std::vector<std::string> lines;  // as the text view shows them
  std::vector<size_t> starts;      // each line's first byte in the text
};

Split SplitLines(const std::string& bytes) {
  Split split;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    const bool broken = end != std::string::npos;
    if (!broken) end = bytes.size();
    size_t content = end;
    if (broken && content > at && bytes[content - 1] == '\r') --content;
    std::string shown = run::PrintableText(bytes.substr(at, content - at));
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    if (!broken) shown += "  (no line break)";
    split.lines.push_back(std::move(shown));
    split.starts.push_back(at);
    at = broken ? end + 1 : end;
  }
  return split;
}

// The writer of each line's first byte, or none when the document does not
// say what each report sent to the output. The counts run from the entry's
// start through every report in order; the text holds the last of those
// bytes (a ring keeps only its newest), so it ends where the last report's
// bytes end, and a line that began before the entry is kUnknown.
std::optional<std::vector<int64_t>> Writers(const RunDocument& d, const std::string& output, const Split& text,
                                            size_t textBytes) {
  const std::optional<std::vector<uint64_t>> known = OutputByteEnds(d, output);
  if (!known) return std::nullopt;
  const std::vector<uint64_t>& ends = *known;
  const uint64_t total = ends.back();
  std::vector<int64_t> writers(text.starts.size(), kUnknown);
  for (size_t l = 0; l < text.starts.size(); ++l) {
    const uint64_t fromEnd = textBytes - text.starts[l];  // the line's first byte, counted back from the text's end
    if (fromEnd > total) continue;
    const uint64_t at = total - fromEnd;
    const auto it = std::upper_bound(ends.begin(), ends.end(), at);
    if (it != ends.end()) writers[l] = it == ends.begin() ? kEntry : static_cast<int64_t>(it - ends.begin()) - 1;
  }
  return writers;
}

// The report pair a changed line belongs to: A's place and B's.
struct Key {
  int64_t a = kUnknown, b = kUnknown;
  bool operator==(const Key&) const = default;
  bool Placed() const { return a >= kEntry || b >= kEntry; }
};

Key KeyOfA(int64_t writer, const ReportPairing& p) {
  if (writer < 0) return {writer, writer};
  return {writer, p.bOfA[writer] ? static_cast<int64_t>(*p.bOfA[writer]) : kNone};
}

Key KeyOfB(int64_t writer, const ReportPairing& p) {
  if (writer < 0) return {writer, writer};
  return {p.aOfB[writer] ? static_cast<int64_t>(*p.aOfB[writer]) : kNone, writer};
}

LinePlace Place(const RunDocument& d, int64_t place) {
  if (place >= 0) return {LinePlace::Kind::Report, d.reports[place].index};
  return {place == kEntry ? LinePlace::Kind::Entry : place == kNone ? LinePlace::Kind::None : LinePlace::Kind::Unknown, 0};
}

bool Changed(const AlignStep& s) { return !(s.a && s.b); }

// Within each run of changed lines, the lines of one report pair brought
// together (removed lines before added ones, each side in its own order), so
// that a hunk holds one report's change. A run whose pairs interleave (a
// report moved) stays as it is.
void GroupByReport(std::vector<AlignStep>& steps, std::vector<Key>& keys) {
  for (size_t begin = 0; begin < steps.size();) {
    if (!Changed(steps[begin])) {
      ++begin;
      continue;
    }
    size_t end = begin;
    while (end < steps.size() && Changed(steps[end])) ++end;
    std::vector<Key> order;  // the pairs in order of first appearance
    for (size_t s = begin; s < end; ++s)
      if (std::find(order.begin(), order.end(), keys[s]) == order.end()) order.push_back(keys[s]);
    if (order.size() > 1) {
      std::vector<size_t> moved(end - begin);
      for (size_t s = 0; s < moved.size(); ++s) moved[s] = begin + s;
      auto rank = [&](size_t s) { return std::find(order.begin(), order.end(), keys[s]) - order.begin(); };
      std::stable_sort(moved.begin(), moved.end(), [&](size_t x, size_t y) { return rank(x) < rank(y); });
      std::optional<size_t> lastA, lastB;
      bool inOrder = true;
      for (const size_t s : moved) {
        auto& last = steps[s].a ? lastA : lastB;
        const size_t line = steps[s].a ? *steps[s].a : *steps[s].b;
        inOrder = inOrder && (!last || *last < line);
        last = line;
      }
      if (inOrder) {
        std::vector<AlignStep> runSteps;
        std::vector<Key> runKeys;
        for (const size_t s : moved) runSteps.push_back(steps[s]), runKeys.push_back(keys[s]);
        std::copy(runSteps.begin(), runSteps.end(), steps.begin() + static_cast<std::ptrdiff_t>(begin));
        std::copy(runKeys.begin(), runKeys.end(), keys.begin() + static_cast<std::ptrdiff_t>(begin));
      }
    }
    begin = end;
  }
}

// Unified diff hunks: the changes of one report pair with up to three alike
// lines around them, merged when they are that close; hunks of different
// pairs never share a context line.
std::vector<TextHunk> Hunks(const std::vector<AlignStep>& steps, const std::vector<Key>& keys, const Split& la,
                            const Split& lb, const RunDocument& a, const RunDocument& b) {
  struct Block {
    size_t begin, end;  // changed steps
    Key key;
  };
  std::vector<Block> blocks;
  for (size_t s = 0; s < steps.size(); ++s) {
    if (!Changed(steps[s])) continue;
    if (!blocks.empty() && blocks.back().end == s && blocks.back().key == keys[s])
      ++blocks.back().end;
    else
      blocks.push_back({s, s + 1, keys[s]});
  }
  std::vector<TextHunk> hunks;
  size_t previousEnd = 0, counted = 0, lineA = 0, lineB = 0;  // lines of A and B in the steps before `counted`
  for (size_t i = 0; i < blocks.size();) {
    size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1].key == blocks[i].key &&
           blocks[j + 1].begin - blocks[j].end <= 2 * kContextLines)
      ++j;
    const size_t nextBegin = j + 1 < blocks.size() ? blocks[j + 1].begin : steps.size();
    const size_t begin = std::max(previousEnd, blocks[i].begin >= kContextLines ? blocks[i].begin - kContextLines : 0);
    const size_t end = std::min(nextBegin, blocks[j].end + kContextLines);
    for (; counted < begin; ++counted) lineA += steps[counted].a.has_value(), lineB += steps[counted].b.has_value();
    TextHunk hunk;
    hunk.startA = lineA + 1;
    hunk.startB = lineB + 1;
    for (size_t s = begin; s < end; ++s) {
      const AlignStep& st = steps[s];
      if (st.a && st.b) {
        hunk.lines.push_back(" " + la.lines[*st.a]);
      } else if (st.a) {
        hunk.lines.push_back("-" + la.lines[*st.a]);
      } else {
        hunk.lines.push_back("+" + lb.lines[*st.b]);
      }
      hunk.countA += st.a.has_value();
      hunk.countB += st.b.has_value();
    }
    hunk.placeA = Place(a, blocks[i].key.a);
    hunk.placeB = Place(b, blocks[i].key.b);
    hunks.push_back(std::move(hunk));
    previousEnd = end;
    i = j + 1;
  }
  return hunks;
}

// The change of the report pair in c.reports, added as a changed report when nothing else of it differs.
ReportChange& ChangeAt(const Key& key, const RunDocument& a, const RunDocument& b, Comparison& c) {
  const bool entry = key.a == kEntry;
  const auto indexA = key.a >= 0 ? std::optional<uint64_t>(a.reports[key.a].index) : std::nullopt;
  const auto indexB = key.b >= 0 ? std::optional<uint64_t>(b.reports[key.b].index) : std::nullopt;
  const auto it = std::find_if(c.reports.begin(), c.reports.end(), [&](const ReportChange& r) {
    return r.entry == entry && (entry || (r.indexA == indexA && r.indexB == indexB));
  });
  if (it != c.reports.end()) return *it;
  ReportChange change;
  change.entry = entry;
  change.indexA = indexA;
  change.indexB = indexB;
  change.kind = entry || (indexA && indexB) ? ReportChange::Kind::Changed
                : indexA                    ? ReportChange::Kind::Removed
                                            : ReportChange::Kind::Added;
  // In the order of the others: the entry first, then by place.
  auto place = [](const ReportChange& r) {
    const uint64_t x = r.indexA.value_or(UINT64_MAX), y = r.indexB.value_or(UINT64_MAX);
    return std::make_tuple(!r.entry, std::min(x, y), x);
  };
  const auto at = std::upper_bound(c.reports.begin(), c.reports.end(), change,
                                   [&](const ReportChange& x, const ReportChange& y) { return place(x) < place(y); });
  return *c.reports.insert(at, std::move(change));
}

// Whether a document's output says nothing of the board: QEMU's PC has no
// part for it, and its document leaves the output empty.
const run::Output* Unmeasured(const RunDocument& d, const std::string& output) {
  if (d.machine != "qemu") return nullptr;
  for (const run::Output& o : run::kOutputs)
    if (o.key == output && o.qemu == run::QemuSource::None) return &o;
  return nullptr;
}

}  // namespace

void CompareOutputs(const RunDocument& a, const RunDocument& b, const ReportPairing& pairing, Comparison& c) {
  for (const OutputText& oa : a.outputs) {
    const auto ob = std::find_if(b.outputs.begin(), b.outputs.end(), [&](const OutputText& o) { return o.name == oa.name; });
    if (ob == b.outputs.end()) continue;
    if (const run::Output* o = Unmeasured(a, oa.name) ? Unmeasured(a, oa.name) : Unmeasured(b, oa.name)) {
      c.notCompared.push_back(fmt::format("{}: QEMU's PC has nothing in place of {}", oa.name, o->what));
      continue;
    }
    if (ob->bytes == oa.bytes) continue;
    const Split la = SplitLines(oa.bytes), lb = SplitLines(ob->bytes);
    auto steps = Align(la.lines.size(), lb.lines.size(), [&](size_t i, size_t j) { return la.lines[i] == lb.lines[j]; });
    // Each changed line's report pair, where both documents tell who wrote what.
    std::vector<Key> keys(steps.size());
    const auto writersA = Writers(a, oa.name, la, oa.bytes.size());
    const auto writersB = Writers(b, oa.name, lb, ob->bytes.size());
    if (writersA && writersB) {
      for (size_t s = 0; s < steps.size(); ++s)
        if (Changed(steps[s]))
          keys[s] = steps[s].a ? KeyOfA((*writersA)[*steps[s].a], pairing) : KeyOfB((*writersB)[*steps[s].b], pairing);
      GroupByReport(steps, keys);
    }
    OutputChange change{oa.name, Hunks(steps, keys, la, lb, a, b)};
    std::optional<Key> noted;
    for (size_t s = 0; s < steps.size(); ++s) {
      if (!Changed(steps[s]) || !keys[s].Placed() || keys[s] == noted) continue;
      noted = keys[s];
      std::vector<std::string>& outputs = ChangeAt(keys[s], a, b, c).textOutputs;
      if (std::find(outputs.begin(), outputs.end(), oa.name) == outputs.end()) outputs.push_back(oa.name);
    }
    c.outputs.push_back(std::move(change));
  }
}

}  // namespace comparison
