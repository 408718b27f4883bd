#include "run/Json.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <string_view>
#include <type_traits>

namespace run {
namespace {

using Json = nlohmann::ordered_json;

Json StatusJson(const CallResult& c) { return c.status ? Json(*c.status) : Json(nullptr); }

// Where the report's data pointer pointed: at the record the machine placed,
// at the address the scenario gave, or nowhere.
std::optional<uint32_t> DataPointer(const Report& r, uint32_t placedAt) {
  if (r.data) return placedAt;
  return r.dataAddress;
}

// The bytes each output received, keyed by the output table's names.
OutputBytes Sum(const std::vector<CallResult>& calls) {
  OutputBytes sum{};
  for (const CallResult& c : calls)
    for (size_t i = 0; i < kOutputCount; ++i) sum[i] += c.outputBytes[i];
  return sum;
}
Json OutputBytesJson(const OutputBytes& bytes) {
  Json j = Json::object();
  for (size_t i = 0; i < kOutputCount; ++i) j[kOutputs[i].key] = bytes[i];
  return j;
}

// The board time model: its settings, the boot's time and each output's
// share, and each serial line's bursts.
Json TimingJson(const TimingResult& t) {
  Json uarts = Json::object(), wire = Json::object(), outputNs = Json::object();
  for (const TimingResult::Wire& w : t.wires) {
    uarts[kOutputs[w.output].key] = {{"baud", w.line.baud}, {"fifo", w.line.fifo}};
    Json bursts = Json::array();
    for (const auto& [start, bytes] : w.bursts) bursts.push_back({start, bytes});
    wire[kOutputs[w.output].key] = std::move(bursts);
  }
  for (size_t i = 0; i < kOutputCount; ++i) outputNs[kOutputs[i].key] = t.chargedNs[i];
  outputNs["module"] = t.chargedNs[kOutputCount];
  return {{"clock_hz", t.settings.clockHz},
          {"instructions_per_cycle", t.settings.instructionsPerCycle},
          {"io_access_ns", t.settings.ioAccessNs},
          {"mmio_access_ns", t.settings.mmioAccessNs},
          {"uarts", uarts},
          {"boot_ns", t.bootNs},
          {"output_ns", outputNs},
          {"wire", wire}};
}

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

// The document's bytes, gathered and handed to the stream in large pieces:
// the stream's own machinery costs more per value than the value itself.
class Sink {
 public:
  explicit Sink(std::ostream& out) : out_(out) { buffer_.reserve(kPiece + 4096); }
  ~Sink() { Flush(); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  Sink& operator<<(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kPiece) Flush();
    return *this;
  }
  Sink& operator<<(char c) {
    buffer_.push_back(c);
    return *this;
  }
  template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer> && !std::is_same_v<Integer, char> &&
                                                          !std::is_same_v<Integer, bool>>>
  Sink& operator<<(Integer value) {
    char digits[24];
    return *this << std::string_view(digits, static_cast<size_t>(
                                                 std::to_chars(digits, digits + sizeof digits, value).ptr - digits));
  }
  Sink& write(const char* bytes, std::streamsize size) {
    return *this << std::string_view(bytes, static_cast<size_t>(size));
  }
  void Flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

 private:
  static constexpr size_t kPiece = 1 << 16;
  std::ostream& out_;
  std::string buffer_;
};

// Writes the document straight to the stream, laid out byte for byte as
// nlohmann's dump(2) lays out the same values: the per-delivery arrays
// (ten million deliveries make ten million entries) and the run's long
// lists are written one element at a time, never held as a tree or as one
// string; the small parts are dumped from small trees.
class Writer {
 public:
  Writer(Sink& out, const RunResult& run, const RenderContext& ctx)
      : out_(out), run_(run), ctx_(ctx), ranges_(!run.countRanges.empty()) {}

  void Document();

 private:
  // A member of the top-level object.
  void Member(const char* key) {
    out_ << (first_ ? "{\n  " : ",\n  ") << Json(key).dump() << ": ";
    first_ = false;
  }
  // A small value at `level` of nesting.
  void Value(const Json& value, int level = 1) {
    const std::string text = value.dump(2);
    const std::string indent = "\n" + std::string(2 * static_cast<size_t>(level), ' ');
    size_t from = 0;
    for (size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
      out_.write(text.data() + from, static_cast<std::streamsize>(at - from)) << indent;
    out_.write(text.data() + from, static_cast<std::streamsize>(text.size() - from));
  }

  // Firmware text as a JSON string, each byte the code point of its value
  // (scenario/Latin1.h), escaped as the parser's dump escapes it; written
  // straight from the bytes: the board's text of ten million deliveries is
  // hundreds of MB, and is not copied.
  void Latin1String(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    out_ << '"';
    size_t plain = 0;  // bytes from here on that go out as they are
    const auto flush = [&](size_t end) {
      out_.write(bytes.data() + plain, static_cast<std::streamsize>(end - plain));
      plain = end + 1;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) continue;
      flush(i);
      switch (c) {
        case '"': out_ << "\\\""; break;
        case '\\': out_ << "\\\\"; break;
        case '\b': out_ << "\\b"; break;
        case '\f': out_ << "\\f"; break;
        case '\n': out_ << "\\n"; break;
        case '\r': out_ << "\\r"; break;
        case '\t': out_ << "\\t"; break;
        default:
          if (c < 0x20)
            out_ << "\\u00" << kHex[c >> 4] << kHex[c & 0xF];
          else
            out_ << static_cast<char>(0xC0 | (c >> 6)) << static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    flush(bytes.size());
    out_ << '"';
  }

  template <typename Each>
  void Array(size_t count, int level, const Each& each) {
    if (count == 0) {
      out_ << "[]";
      return;
    }
    const std::string in(2 * static_cast<size_t>(level + 1), ' ');
    out_ << "[\n";
    for (size_t i = 0; i < count; ++i) {
      out_ << in;
      each(i, level + 1);
      out_ << (i + 1 < count ? ",\n" : "\n");
    }
    out_ << std::string(2 * static_cast<size_t>(level), ' ') << "]";
  }

  template <typename Write>
  void Field(const std::string& in, const char* key, const Write& write, bool last = false) {
    out_ << in << '"' << key << "\": ";
    write();
    out_ << (last ? "\n" : ",\n");
  }

  // An object of the outputs' byte counts, its braces at `in`.
  void OutputBytesObject(const OutputBytes& bytes, const std::string& in) {
    out_ << "{\n";
    for (size_t i = 0; i < kOutputCount; ++i)
      out_ << in << "  \"" << kOutputs[i].key << "\": ", Number(bytes[i]), out_ << (i + 1 < kOutputCount ? ",\n" : "\n");
    out_ << in << "}";
  }

  // Numbers and short texts of every report, written without the stream's
  // locale machinery or a JSON value in between: the same bytes as dump().
  void Number(uint64_t value) { out_ << value; }
  void Number(const std::optional<uint32_t>& value) {
    if (value)
      Number(*value);
    else
      out_ << "null";
  }
  void Text(std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
    if (!plain) {
      out_ << Json(text).dump();
      return;
    }
    out_ << '"';
    out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    out_ << '"';
  }

  void Status(const CallResult& c) { Number(c.status); }

  void Results();
  void Reports();
  Json Halted() const;

  Sink& out_;
  const RunResult& run_;
  const RenderContext& ctx_;
  const bool ranges_;  // every report then has "range_instructions" after "instructions"
  bool first_ = true;
};

void Writer::Results() {
  Deliveries deliveries(run_.reports);
  Array(run_.Delivered(), 1, [&](size_t, int level) {
    size_t index;
    const auto& calls = deliveries.Next(index).calls;
    Array(calls.size(), level, [&](size_t h, int) { Status(calls[h]); });
  });
}

void Writer::Reports() {
  Deliveries deliveries(run_.reports);
  Array(run_.Delivered(), 1, [&](size_t, int level) {
    size_t index;
    const DeliveredReport& d = deliveries.Next(index);
    const auto& calls = d.calls;
    const std::string in(2 * static_cast<size_t>(level + 1), ' ');
    const auto each = [&](auto&& write) {
      return [&, write] { Array(calls.size(), level + 1, [&](size_t h, int) { write(calls[h]); }); };
    };
    out_ << "{\n";
    Field(in, "index", [&] { Number(index); });
    Field(in, "source", [&] { Number(d.report->source); });
    Field(in, "type", [&] { Number(d.report->type); });
    Field(in, "value", [&] { Number(d.report->value); });
    Field(in, "instance", [&] { Number(d.report->instance); });
    // What the data pointer was: a record the machine placed, an address the scenario gave, or none.
    Field(in, "data", [&] {
      if (d.report->data || d.report->dataAddress)
        Text(d.report->data ? d.report->data->kind : "address");
      else
        out_ << "null";
    });
    Field(in, "data_address", [&] { Number(DataPointer(*d.report, run_.dataAddress)); });
    Field(in, "caller_address", [&] { Number(d.report->callerAddress); });
    Field(in, "results", each([&](const CallResult& c) { Status(c); }));
    Field(in, "stopped", each([&](const CallResult& c) { Text(c.stopped); }));
    Field(in, "instructions", each([&](const CallResult& c) { Number(c.instructions); }));
    if (ranges_) Field(in, "range_instructions", each([&](const CallResult& c) { Number(c.rangeInstructions); }));
    Field(in, "stack_bytes", each([&](const CallResult& c) { Number(c.stackBytes); }));
    Field(in, "io_accesses", each([&](const CallResult& c) { Number(c.ioAccesses); }));
    Field(in, "mmio_accesses", each([&](const CallResult& c) { Number(c.mmioAccesses); }));
    Field(in, "output_bytes", [&] { OutputBytesObject(Sum(calls), in); });
    if (run_.timing) {
      // A delivery kept once for a run of alike ones starts a whole delivery's time after the one before.
      const uint64_t shift =
          calls.empty() ? 0 : (index - d.index) * (calls.back().endNs - calls.front().startNs);
      Field(in, "start_ns", each([&, shift](const CallResult& c) { Number(c.startNs + shift); }));
      Field(in, "time_ns", each([&](const CallResult& c) { Number(c.endNs - c.startNs); }));
    }
    size_t codes = 0;
    for (const CallResult& c : calls) codes += c.postcodes.size();
    Field(in, "postcodes", [&] {
      size_t h = 0, k = 0;
      Array(codes, level + 1, [&](size_t, int) {
        while (k == calls[h].postcodes.size()) ++h, k = 0;
        Number(calls[h].postcodes[k++]);
      });
    }, true);
    out_ << std::string(2 * static_cast<size_t>(level), ' ') << "}";
  });
}

Json Writer::Halted() const {
  if (!run_.halt) return nullptr;
  const Halt& h = *run_.halt;
  Json cycle = Json::array();
  for (const CycleStep& s : h.cycle) cycle.push_back({{"word", s.word}, {"writes", s.writes}});
  return {{"reason", h.reason},
          {"report", h.report},
          {"handler", h.handler},
          {"handler_name", HandlerName(ctx_, run_, h.handler)},
          {"cycle", cycle},
          {"port_writes", h.portWrites},
          {"instructions", h.instructions}};
}

void Writer::Document() {
  const RunResult& run = run_;
  const Scenario& s = *run.scenario;
  Member("machine");
  Value(run.machine);
  Member("scenario");
  Value({{"path", s.path}, {"name", s.name}, {"reports", s.DeliveryCount()}});
  Member("image");
  Json image = {{"path", run.imagePath},     {"source", run.imageSource},      {"format", run.imageFormat},
                {"file_size", run.imageFileSize}, {"base", run.imageBase},
                {"size", run.imageSize},     {"entry", run.entryPoint},        {"relocations", run.relocations},
                {"intact", run.imageIntact}};
  if (!run.dispatch.empty()) image["dispatch"] = run.dispatch;
  Value(image);
  Member("entry");
  Json entry = {{"status", StatusJson(run.entry)},
                {"stopped", run.entry.stopped},
                {"instructions", run.entry.instructions},
                {"stack_bytes", run.entry.stackBytes},
                {"io_accesses", run.entry.ioAccesses},
                {"mmio_accesses", run.entry.mmioAccesses},
                {"output_bytes", OutputBytesJson(run.entry.outputBytes)}};
  if (run.timing) {
    entry["start_ns"] = run.entry.startNs;
    entry["time_ns"] = run.entry.endNs - run.entry.startNs;
  }
  if (ranges_) entry["range_instructions"] = run.entry.rangeInstructions;
  Value(entry);
  if (ranges_) {
    Json countRanges = Json::array();
    for (const CountRange& r : run.countRanges)
      countRanges.push_back({{"start", r.start}, {"end", r.end}, {"name", r.name}});
    Member("count_ranges");
    Value(countRanges);
  }
  Json handlers = Json::array();
  for (size_t h = 0; h < run.handlers.size(); ++h)
    handlers.push_back({{"address", run.handlers[h]}, {"name", HandlerName(ctx_, run, h)}});
  Member("handlers");
  Value(handlers);
  // The outputs in the table's order: the lines, the port 0x80 words, the rings.
  for (const Output& o : kOutputs) {
    if (o.kind != OutputKind::Line) continue;
    Member(o.key);
    Latin1String(run.outputs.*o.text);
  }
  Member("postcodes");
  Array(run.postcodes.size(), 1, [&](size_t i, int) { out_ << run.postcodes[i]; });
  Member("postcode_writes");
  Value(run.postcodeWrites);
  for (const Output& o : kOutputs) {
    if (o.kind != OutputKind::Ring) continue;
    Member(o.key);
    out_ << "{\n    \"header\": " << run.outputs.memoryLogHeader << ",\n    \"text\": ";
    Latin1String(run.outputs.*o.text);
    out_ << "\n  }";
  }
  Json hobs = Json::array();
  for (const auto& [address, st] : run.stackHobs)
    hobs.push_back({{"address", address},
                    {"depth", st.depth},
                    {"signature", st.signature},
                    {"codes", std::vector<uint32_t>(std::begin(st.codes), std::end(st.codes))}});
  Member("hob");
  Value(hobs);
  Member("results");
  Results();
  Member("reports");
  Reports();
  Member("halted");
  Value(Halted());
  Json faults = Json::array();
  for (const Fault& f : run.faults)
    faults.push_back({{"kind", f.kind},
                      {"address", f.address},
                      {"eip", f.eip},
                      {"where", SymbolAt(ctx_, run, f.eip)},
                      {"width", f.width},
                      {"value", f.value},
                      {"during", f.during},
                      {"detail", f.detail}});
  Member("faults");
  Value(faults);
  Member("faults_not_listed");
  Value(run.faultsNotListed);
  Member("services");
  Value({{"locate_ppi", run.services.locatePpi},       {"register", run.services.registerCalls},
         {"create_hob", run.services.createHob},       {"get_hob_list", run.services.getHobList},
         {"copy_mem", run.services.copyMem},           {"unsupported", run.services.unsupported},
         {"locate_ppi_services", run.services.lastLocatePpiServices},
         {"create_hob_services", run.services.lastCreateHobServices}});
  Json perHandler = Json::array();
  for (size_t h = 0; h < run.handlerStats.size(); ++h) {
    const HandlerStats& hs = run.handlerStats[h];
    perHandler.push_back({{"name", HandlerName(ctx_, run, h)},
                          {"calls", hs.calls},
                          {"instructions", hs.instructions},
                          {"max_instructions", hs.maxInstructions},
                          {"max_stack_bytes", hs.maxStackBytes}});
  }
  Json stats = {{"instructions", run.instructions},
                {"max_stack_bytes", run.maxStackBytes},
                {"io_accesses", run.ioAccesses},
                {"mmio_accesses", run.mmioAccesses},
                {"reports_delivered", run.Delivered()},
                {"image_bytes", run.imageFileSize},
                {"handlers", perHandler}};
  if (ranges_) stats["range_instructions"] = run.rangeInstructions;
  Member("stats");
  Value(stats);
  if (run.timing) {
    Member("timing");
    Value(TimingJson(*run.timing));
  }
  if (!run.accesses.empty()) {
    Member("accesses");
    Array(run.accesses.size(), 1, [&](size_t i, int) { out_ << Json(sim::Describe(run.accesses[i])).dump(); });
    Member("accesses_truncated");
    Value(run.accessLogTruncated);
  }
  out_ << "\n}";
}

}  // namespace

void WriteJson(std::ostream& out, const RunResult& run, const RenderContext& context) {
  Sink sink(out);
  Writer(sink, run, context).Document();
}

std::string ToJsonText(const RunResult& run, const RenderContext& context) {
  std::ostringstream out;
  WriteJson(out, run, context);
  return std::move(out).str();
}

nlohmann::ordered_json ToJson(const RunResult& run, const RenderContext& context) {
  return nlohmann::ordered_json::parse(ToJsonText(run, context));
}

}  // namespace run
