#include "view/Trace.h"

#include <fmt/format.h>

#include "run/TextView.h"
#include "view/Timeline.h"

namespace view {
namespace {

constexpr int kPid = 1;
constexpr int kEntryTid = 1, kModulesTid = 2, kFirstHandlerTid = 10, kFirstOutputTid = 100;

std::string Quoted(std::string_view text) { return comparison::Json(std::string(text)).dump(); }

class Events {
 public:
  void Add(const std::string& event) {
    out_ += count_ == 0 ? "\n" : ",\n";
    out_ += event;
    ++count_;
  }
  void ThreadName(int tid, std::string_view name, int order) {
    Add(fmt::format(R"({{"name":"thread_name","ph":"M","pid":{},"tid":{},"args":{{"name":{}}}}})", kPid, tid,
                    Quoted(name)));
    Add(fmt::format(R"({{"name":"thread_sort_index","ph":"M","pid":{},"tid":{},"args":{{"sort_index":{}}}}})", kPid,
                    tid, order));
  }
  std::string& Text() { return out_; }

 private:
  std::string out_;
  size_t count_ = 0;
};

std::string Optional(std::optional<uint64_t> v) { return v ? std::to_string(*v) : "null"; }

std::string CallArgs(const comparison::RunDocument& d, const Call& c) {
  std::string args;
  const auto cost = [&](const char* name) -> std::optional<uint64_t> {
    if (!c.report) {
      const auto it = d.entryCosts.find(name);
      return it == d.entryCosts.end() ? std::nullopt : it->second;
    }
    const auto& costs = d.reports[*c.report].costs;
    const auto it = costs.find(name);
    return it == costs.end() || c.handler >= it->second.size() ? std::nullopt : it->second[c.handler];
  };
  if (c.report) {
    const comparison::ReportFacts& r = d.reports[*c.report];
    args += fmt::format(R"("report":{},"type":"0x{:08X}","value":"0x{:08X}",)", r.index, r.type, r.value);
  }
  for (const char* name : {"instructions", "stack_bytes", "io_accesses", "mmio_accesses", "time_ns"})
    args += fmt::format(R"("{}":{},)", name, Optional(cost(name)));
  const std::optional<uint64_t> result = c.report ? d.reports[*c.report].results[c.handler] : d.entryStatus;
  const std::string stopped = c.report ? d.reports[*c.report].stopped[c.handler] : d.entryStopped;
  if (stopped.empty())
    args += fmt::format(R"("result":"{}")", result ? fmt::format("0x{:08X}", *result) : "none");
  else
    args += fmt::format(R"("stopped":{})", Quoted(run::InputText(stopped)));
  return "{" + args + "}";
}

}  // namespace

std::string TraceJson(const comparison::RunDocument& d) {
  const Timeline t = BuildTimeline(d);
  Events e;
  e.Add(fmt::format(R"({{"name":"process_name","ph":"M","pid":{},"tid":0,"args":{{"name":{}}}}})", kPid,
                    Quoted(fmt::format("{} on the {}", run::InputText(t.scenario), t.machine))));
  e.ThreadName(kEntryTid, "entry", 0);
  e.ThreadName(kModulesTid, "modules (POST code spans)", 1);
  for (size_t h = 0; h < t.handlers.size(); ++h)
    e.ThreadName(kFirstHandlerTid + static_cast<int>(h), run::InputText(t.handlers[h]), 2 + static_cast<int>(h));
  for (size_t o = 0; o < t.outputs.size(); ++o)
    e.ThreadName(kFirstOutputTid + static_cast<int>(o), "output " + t.outputs[o].name, 100 + static_cast<int>(o));

  for (const Call& c : t.calls) {
    const int tid = c.report ? kFirstHandlerTid + static_cast<int>(c.handler) : kEntryTid;
    const std::string name = c.report ? fmt::format("report {}", d.reports[*c.report].index) : "entry";
    e.Add(fmt::format(R"({{"name":{},"cat":"call","ph":"X","pid":{},"tid":{},"ts":{},"dur":{},"args":{}}})",
                      Quoted(name), kPid, tid, Microseconds(c.start), Microseconds(c.end - c.start), CallArgs(d, c)));
  }
  for (const PostCodeWrite& w : t.postcodes)
    e.Add(fmt::format(R"({{"name":"POST code","ph":"C","pid":{},"ts":{},"args":{{"port 0x80":{}}}}})", kPid,
                      Microseconds(w.time), w.code));
  for (const Span& s : t.spans)
    e.Add(fmt::format(R"({{"name":{},"cat":"module","ph":"X","pid":{},"tid":{},"ts":{},"dur":{},"args":{{"code":"{:04X}","depth":{},"closed":"{}"}}}})",
                      Quoted(s.name), kPid, kModulesTid, Microseconds(s.start), Microseconds(s.end - s.start), s.code,
                      s.depth, s.closedByRule ? "with an outer span or at the end of the run" : "by its end code"));
  for (size_t o = 0; o < t.outputs.size(); ++o)
    for (const TextLine& l : t.outputs[o].lines)
      e.Add(fmt::format(R"({{"name":{},"cat":"text","ph":"i","s":"t","pid":{},"tid":{},"ts":{},"args":{{"text":{},"bytes":{}}}}})",
                        Quoted(l.text.substr(0, 60)), kPid, kFirstOutputTid + static_cast<int>(o), Microseconds(l.time),
                        Quoted(l.text), l.bytes));
  if (t.haltTime)
    e.Add(fmt::format(R"({{"name":"halt","cat":"halt","ph":"i","s":"g","pid":{},"tid":0,"ts":{},"args":{{"halt":{}}}}})",
                      kPid, Microseconds(*t.haltTime), Quoted(t.haltText)));

  std::string placed;
  for (const OutputLines& o : t.outputs)
    placed += fmt::format("{}{}: {}", placed.empty() ? "" : "; ", o.name,
                          !o.placed ? "not known which report wrote which bytes: every line at 0"
                          : o.ring  ? "placed from the end backwards (the ring keeps the newest text)"
                                    : "placed at the report that wrote them");
  return fmt::format(R"({{"traceEvents":[{}
],
"displayTimeUnit":"ns",
"otherData":{{"axis":{},"scenario":{},"machine":{},"image":{},"origin":{},"text_lines":{},"module_spans_closed_by_rule":{}}}
}}
)",
                     e.Text(), Quoted(t.axisText), Quoted(run::InputText(t.scenario)), Quoted(t.machine),
                     Quoted(run::InputText(t.image)), Quoted(run::InputText(t.origin)), Quoted(placed),
                     t.spansClosedByRule);
}

}  // namespace view
