#include "scenario/Scenario.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "hostlib/Text.h"
#include "scenario/JsonReader.h"

namespace scenario {

uint64_t Scenario::DeliveryCount() const {
  uint64_t count = 0;
  for (const Report& r : reports) count += r.repeat;
  return count;
}

bool IsUnrecoverableError(uint32_t type) {
  return (type & EFI_STATUS_CODE_TYPE_MASK) == EFI_ERROR_CODE &&
         (type & EFI_STATUS_CODE_SEVERITY_MASK) == EFI_ERROR_UNRECOVERED;
}

std::vector<uint8_t> DataRecord::Placed(uint32_t address) const {
  std::vector<uint8_t> out = bytes;
  for (const Fixup& f : fixups) {
    const uint32_t pointer = address + f.target;
    std::memcpy(out.data() + f.at, &pointer, 4);
  }
  return out;
}

namespace {

constexpr uint32_t kHeaderSize = sizeof(EFI_STATUS_CODE_DATA);
constexpr uint32_t kDebugArgumentsEnd = DebugPackedArgumentsOffset + 4 * DebugPackedArgumentSlots;

// Builds a record: header, payload, then objects the payload points at.
class RecordBuilder {
 public:
  RecordBuilder(const Guid& type, std::string kind) {
    record_.kind = std::move(kind);
    record_.bytes.resize(kHeaderSize, 0);
    Put16(0, kHeaderSize);
    std::memcpy(record_.bytes.data() + 4, type.data(), 16);
  }
  void Reserve(uint32_t size) {
    if (record_.bytes.size() < size) record_.bytes.resize(size, 0);
  }
  void Put16(uint32_t at, uint16_t v) { PutBytes(at, &v, 2); }
  void Put32(uint32_t at, uint32_t v) { PutBytes(at, &v, 4); }
  void PutBytes(uint32_t at, const void* p, size_t n) {
    Reserve(static_cast<uint32_t>(at + n));
    if (n != 0) std::memcpy(record_.bytes.data() + at, p, n);  // an empty block may come with no buffer at all
  }
  uint32_t Size() const { return static_cast<uint32_t>(record_.bytes.size()); }
  // Ends the payload: Size is the payload after the header, objects follow.
  void EndPayload() { Put16(2, static_cast<uint16_t>(Size() - kHeaderSize)); }
  // Appends an object after the payload, 4-byte aligned, and points slot `at` at it.
  void PointAt(uint32_t at, const std::vector<uint8_t>& object) {
    Reserve((Size() + 3u) & ~3u);
    const uint32_t target = Size();
    record_.bytes.insert(record_.bytes.end(), object.begin(), object.end());
    record_.fixups.push_back({at, target});
  }
  DataRecord& Record() { return record_; }

 private:
  DataRecord record_;
};

std::vector<uint8_t> Ascii(const std::string& s) {
  std::vector<uint8_t> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

std::vector<uint8_t> GuidBytes(const Guid& g) { return {g.begin(), g.end()}; }

// The argument slots of a debug message, taken in order.
struct ArgumentSlots {
  uint32_t next = DebugPackedArgumentsOffset;

  uint32_t Take(uint32_t slots, const Where& w) {
    if (next + 4 * slots > kDebugArgumentsEnd)
      w.Fail("more than " + std::to_string(DebugPackedArgumentSlots) + " argument slots (" +
             std::to_string(4 * DebugPackedArgumentSlots) + " bytes)");
    const uint32_t at = next;
    next += 4 * slots;
    return at;
  }
};

// An argument is a number (one slot) or an object of one of these kinds:
// {"u64": n} (two slots, low half first), or a pointer to an object.
struct ArgumentKind {
  std::string_view name;
  uint32_t slots;
  void (*pack)(RecordBuilder& b, uint32_t at, const Json& value, const Where& w);
};
constexpr ArgumentKind kArgumentKinds[] = {
    {"u64", 2,
     [](RecordBuilder& b, uint32_t at, const Json& v, const Where& w) {
       const uint64_t n = Number(v, w, UINT64_MAX);
       b.Put32(at, static_cast<uint32_t>(n));
       b.Put32(at + 4, static_cast<uint32_t>(n >> 32));
     }},
    {"string", 1, [](RecordBuilder& b, uint32_t at, const Json& v, const Where& w) { b.PointAt(at, Ascii(String(v, w))); }},
    {"wstring", 1,
     [](RecordBuilder& b, uint32_t at, const Json& v, const Where& w) { b.PointAt(at, hostlib::Ucs2(String(v, w))); }},
    {"guid", 1,
     [](RecordBuilder& b, uint32_t at, const Json& v, const Where& w) { b.PointAt(at, GuidBytes(GuidOrModule(v, w))); }},
    {"bytes", 1, [](RecordBuilder& b, uint32_t at, const Json& v, const Where& w) { b.PointAt(at, HexBytes(v, w)); }},
};

void PackArgument(RecordBuilder& b, ArgumentSlots& slots, const Json& a, const Where& w) {
  if (!a.is_object()) {
    const uint32_t at = slots.Take(1, w);
    b.Put32(at, U32(a, w));
    return;
  }
  std::string kinds;
  for (const ArgumentKind& k : kArgumentKinds) kinds += (kinds.empty() ? "" : ", ") + std::string(k.name);
  if (a.size() != 1) w.Fail("an argument object has exactly one of " + kinds);
  const std::string& key = a.begin().key();
  for (const ArgumentKind& k : kArgumentKinds) {
    if (k.name != key) continue;
    const uint32_t at = slots.Take(k.slots, w);
    return k.pack(b, at, a.begin().value(), w.Sub(key));
  }
  w.Sub(key).Fail("unknown argument kind (" + kinds + ")");
}

// What a data record's fields say, read through its kind's table before the
// record is laid out.
struct DataFields {
  std::optional<Guid> typeGuid;
  std::optional<uint16_t> size, headerSize;  // written over the computed ones
  std::optional<Guid> module;                // specific
  std::optional<uint32_t> guidAddress;
  uint32_t level = 0x40;  // debug
  std::string format;
  const Json* args = nullptr;
  std::string text;  // string
  uint32_t stringKind = StringKindAscii;
  std::string file, description;  // assert
  uint32_t line = 0;
  std::vector<uint8_t> bytes;  // raw
};
using DataField = Field<DataFields>;

constexpr DataField kKindField{"kind", [](const Json&, const Where&, DataFields&) {}};
constexpr DataField kTypeGuidField{"type_guid", [](const Json& v, const Where& w, DataFields& d) { d.typeGuid = GuidOrModule(v, w); }};
constexpr DataField kSizeField{
    "size", [](const Json& v, const Where& w, DataFields& d) { d.size = static_cast<uint16_t>(Number(v, w, 0xFFFF)); }};
constexpr DataField kHeaderSizeField{"header_size", [](const Json& v, const Where& w, DataFields& d) {
                                       d.headerSize = static_cast<uint16_t>(Number(v, w, 0xFFFF));
                                     }};

// Status-code-specific data whose first word points at a module's GUID.
constexpr DataField kSpecificFields[] = {
    kKindField,
    {"module", [](const Json& v, const Where& w, DataFields& d) { d.module = GuidOrModule(v, w); }},
    {"guid_address", [](const Json& v, const Where& w, DataFields& d) { d.guidAddress = U32(v, w); }},
    kTypeGuidField, kSizeField, kHeaderSizeField};
void LayOutSpecific(const DataFields& d, RecordBuilder& b, const Where& w) {
  b.Reserve(kHeaderSize + 4);
  b.EndPayload();
  if (d.guidAddress)
    b.Put32(SpecificDataGuidPointerOffset, *d.guidAddress);
  else if (d.module)
    b.PointAt(SpecificDataGuidPointerOffset, GuidBytes(*d.module));
  else
    w.Sub("module").Fail("missing (a module name or GUID, or guid_address)");
}

constexpr DataField kDebugFields[] = {
    kKindField,
    {"level", [](const Json& v, const Where& w, DataFields& d) { d.level = U32(v, w); }},
    {"format", [](const Json& v, const Where& w, DataFields& d) { d.format = String(v, w); }, "missing"},
    {"args",
     [](const Json& v, const Where& w, DataFields& d) {
       if (!v.is_array()) w.Fail("expected an array");
       d.args = &v;
     }},
    kTypeGuidField, kSizeField, kHeaderSizeField};
void LayOutDebug(const DataFields& d, RecordBuilder& b, const Where& w) {
  b.Reserve(DebugFormatOffset);
  b.Put32(DebugLevelOffset, d.level);
  // The format ends the payload; the objects the arguments point at follow it.
  const std::vector<uint8_t> format = Ascii(d.format);
  b.PutBytes(DebugFormatOffset, format.data(), format.size());
  b.EndPayload();
  if (d.args == nullptr) return;
  ArgumentSlots slots;
  for (size_t i = 0; i < d.args->size(); ++i) PackArgument(b, slots, (*d.args)[i], w.Sub("args").Item(i));
}

constexpr DataField kStringFields[] = {
    kKindField,
    {"text", [](const Json& v, const Where& w, DataFields& d) { d.text = String(v, w); }, "missing"},
    {"string_kind", [](const Json& v, const Where& w, DataFields& d) { d.stringKind = U32(v, w); }},
    kTypeGuidField, kSizeField, kHeaderSizeField};
void LayOutString(const DataFields& d, RecordBuilder& b, const Where&) {
  b.Put32(StringKindOffset, d.stringKind);
  b.Reserve(StringPointerOffset + 4);
  b.EndPayload();
  b.PointAt(StringPointerOffset, d.stringKind == StringKindAscii ? Ascii(d.text) : hostlib::Ucs2(d.text));
}

// Assertions are recognised by code type and value; the record's type GUID is not looked at.
constexpr DataField kAssertFields[] = {
    kKindField,
    {"file", [](const Json& v, const Where& w, DataFields& d) { d.file = String(v, w); }},
    {"line", [](const Json& v, const Where& w, DataFields& d) { d.line = U32(v, w); }},
    {"description", [](const Json& v, const Where& w, DataFields& d) { d.description = String(v, w); }},
    kTypeGuidField, kSizeField, kHeaderSizeField};
void LayOutAssert(const DataFields& d, RecordBuilder& b, const Where&) {
  b.Put32(AssertLineNumberOffset, d.line);
  const std::vector<uint8_t> file = Ascii(d.file), description = Ascii(d.description);
  b.PutBytes(AssertFileNameOffset, file.data(), file.size());
  b.PutBytes(AssertFileNameOffset + static_cast<uint32_t>(file.size()), description.data(), description.size());
  b.EndPayload();
}

constexpr DataField kRawFields[] = {
    kKindField,
    {"type_guid", [](const Json& v, const Where& w, DataFields& d) { d.typeGuid = GuidOrModule(v, w); }, "missing"},
    {"bytes", [](const Json& v, const Where& w, DataFields& d) { d.bytes = HexBytes(v, w); }},
    kSizeField, kHeaderSizeField};
void LayOutRaw(const DataFields& d, RecordBuilder& b, const Where&) {
  b.PutBytes(kHeaderSize, d.bytes.data(), d.bytes.size());
  b.EndPayload();
}

struct DataKind {
  std::string_view name;
  std::span<const DataField> fields;
  const EFI_GUID* typeGuid;  // the record's type unless type_guid says otherwise; null: all zeros
  void (*layOut)(const DataFields& d, RecordBuilder& b, const Where& w);
};
constexpr DataKind kDataKinds[] = {
    {"specific", kSpecificFields, &StatusCodeSpecificDataGuid, LayOutSpecific},
    {"debug", kDebugFields, &DebugMessageDataGuid, LayOutDebug},
    {"string", kStringFields, &StringDataGuid, LayOutString},
    {"assert", kAssertFields, nullptr, LayOutAssert},
    {"raw", kRawFields, nullptr, LayOutRaw},
};

DataRecord ReadData(const Json& j, const Where& w) {
  std::string kinds;
  for (const DataKind& k : kDataKinds)
    kinds += (kinds.empty() ? "" : &k == std::end(kDataKinds) - 1 ? " or " : ", ") + std::string(k.name);
  if (!j.is_object()) w.Fail("expected an object with a \"kind\", got " + Shown(j));
  if (!j.contains("kind")) w.Sub("kind").Fail("missing (" + kinds + ")");
  const std::string& name = String(j["kind"], w.Sub("kind"));
  const DataKind* kind = nullptr;
  for (const DataKind& k : kDataKinds)
    if (k.name == name) kind = &k;
  if (kind == nullptr) w.Sub("kind").Fail("unknown data kind \"" + Clipped(name) + "\" (" + kinds + ")");
  DataFields d;
  ReadFields(j, w, kind->fields, d);
  RecordBuilder b(d.typeGuid ? *d.typeGuid : kind->typeGuid ? ToGuid(*kind->typeGuid) : Guid{}, name);
  kind->layOut(d, b, w);
  if (d.size) b.Put16(2, *d.size);
  if (d.headerSize) b.Put16(0, *d.headerSize);
  if (b.Size() > 0x10000) w.Fail("data record larger than 64 KiB");
  b.Reserve((b.Size() + 3u) & ~3u);
  return std::move(b.Record());
}

// The board. A field of the scenario's "platform" object is one row here.
using PlatformField = Field<PlatformConfig>;

constexpr Named<sim::LegacyUart::Mode> kLegacyModes[] = {
    {"present", sim::LegacyUart::Mode::Present}, {"absent", sim::LegacyUart::Mode::Absent}, {"stuck", sim::LegacyUart::Mode::Stuck}};
constexpr PlatformField kLegacySerialFields[] = {
    {"mode", [](const Json& v, const Where& w, PlatformConfig& c) { c.legacySerial = OneOf<sim::LegacyUart::Mode>(v, w, kLegacyModes); }},
    {"drain_pace",
     [](const Json& v, const Where& w, PlatformConfig& c) { c.legacyDrainPace = static_cast<unsigned>(Number(v, w, 1000000)); }},
};

constexpr PlatformField kReadyReads[] = {
    {"ready_reads", [](const Json& v, const Where& w, PlatformConfig& c) { c.mmioReadyReads = Number(v, w, UINT32_MAX); },
     "missing"}};
void ReadMmioStatus(const Json& s, const Where& w, PlatformConfig& c) {
  if (s.is_string() && s.get_ref<const std::string&>() == "ready") {
    c.mmioStatus = sim::MmioUart::Status::AlwaysReady;
  } else if (s.is_string() && s.get_ref<const std::string&>() == "never") {
    c.mmioStatus = sim::MmioUart::Status::NeverReady;
  } else if (s.is_object()) {
    ReadFields<PlatformConfig>(s, w, kReadyReads, c);
    c.mmioStatus = sim::MmioUart::Status::ReadyForFirst;
  } else {
    w.Fail("expected \"ready\", \"never\" or {\"ready_reads\": N}, got " + Shown(s));
  }
}

constexpr PlatformField kMmioSerialFields[] = {
    {"present", [](const Json& v, const Where& w, PlatformConfig& c) { c.mmioSerialPresent = Bool(v, w); }},
    {"config_visible", [](const Json& v, const Where& w, PlatformConfig& c) { c.mmioConfigVisible = Bool(v, w); }},
    {"base", [](const Json& v, const Where& w, PlatformConfig& c) { c.mmioSerialBase = U32(v, w); }},
    {"stride",
     [](const Json& v, const Where& w, PlatformConfig& c) {
       c.mmioStride = static_cast<unsigned>(Number(v, w, 4));
       if (c.mmioStride != 1 && c.mmioStride != 4) w.Fail("the register stride is 1 or 4");
     }},
    {"stride_register", [](const Json& v, const Where& w, PlatformConfig& c) { c.strideRegister = U32(v, w); }},
    {"status", ReadMmioStatus},
};

using SwitchField = Field<sim::PeiSwitches>;
constexpr SwitchField kFailFields[] = {
    {"locate_ppi", [](const Json& v, const Where& w, sim::PeiSwitches& p) { p.failLocatePpi = Bool(v, w); }},
    {"null_ppi", [](const Json& v, const Where& w, sim::PeiSwitches& p) { p.nullPpi = Bool(v, w); }},
    {"create_hob", [](const Json& v, const Where& w, sim::PeiSwitches& p) { p.failCreateHob = Bool(v, w); }},
    {"get_hob_list", [](const Json& v, const Where& w, sim::PeiSwitches& p) { p.failGetHobList = Bool(v, w); }},
    {"null_hob_list", [](const Json& v, const Where& w, sim::PeiSwitches& p) { p.nullHobList = Bool(v, w); }},
    {"register",
     [](const Json& v, const Where& w, sim::PeiSwitches& p) {
       if (!v.is_array()) w.Fail("expected an array of Register call indexes (0 is the first call)");
       for (size_t i = 0; i < v.size(); ++i) p.failRegisterCalls.insert(static_cast<int>(Number(v[i], w.Item(i), 1000)));
     }},
};

constexpr Named<bool> kSidebandBridge[] = {{"hidden", true}, {"visible", false}};
constexpr Named<bool> kInterrupts[] = {{"enabled", true}, {"disabled", false}};

// The board time model. Every figure is a whole number within bounds that
// keep the clock's arithmetic exact and a run's time within 64 bits of
// picoseconds; a zero clock, rate or FIFO would stop time or the line.
uint64_t TimingValue(const Json& v, const Where& w, uint64_t least, uint64_t most) {
  const uint64_t n = Number(v, w, UINT64_MAX);
  if (n < least || n > most)
    w.Fail(std::to_string(n) + " is outside " + std::to_string(least) + " to " + std::to_string(most));
  return n;
}
using B = TimingBounds;
constexpr Field<sim::UartTiming> kUartTimingFields[] = {
    {"baud", [](const Json& v, const Where& w, sim::UartTiming& u) { u.baud = TimingValue(v, w, B::kMinBaud, B::kMaxBaud); }},
    {"fifo", [](const Json& v, const Where& w, sim::UartTiming& u) { u.fifo = TimingValue(v, w, 1, B::kMaxFifo); }},
};
using TimingField = Field<sim::TimingSettings>;
constexpr TimingField kUartLineFields[] = {
    {"serial",
     [](const Json& v, const Where& w, sim::TimingSettings& t) {
       ReadFields<sim::UartTiming>(v, w, kUartTimingFields, t.legacyUart);
     }},
    {"mmio_serial",
     [](const Json& v, const Where& w, sim::TimingSettings& t) {
       ReadFields<sim::UartTiming>(v, w, kUartTimingFields, t.mmioUart);
     }},
};
constexpr TimingField kTimingFields[] = {
    {"clock_hz",
     [](const Json& v, const Where& w, sim::TimingSettings& t) { t.clockHz = TimingValue(v, w, B::kMinClockHz, B::kMaxClockHz); }},
    {"instructions_per_cycle",
     [](const Json& v, const Where& w, sim::TimingSettings& t) {
       t.instructionsPerCycle = TimingValue(v, w, 1, B::kMaxInstructionsPerCycle);
     }},
    {"io_access_ns",
     [](const Json& v, const Where& w, sim::TimingSettings& t) { t.ioAccessNs = TimingValue(v, w, 0, B::kMaxAccessNs); }},
    {"mmio_access_ns",
     [](const Json& v, const Where& w, sim::TimingSettings& t) { t.mmioAccessNs = TimingValue(v, w, 0, B::kMaxAccessNs); }},
    {"uarts",
     [](const Json& v, const Where& w, sim::TimingSettings& t) { ReadFields<sim::TimingSettings>(v, w, kUartLineFields, t); }},
};

// In this order: control_byte, read after cmos, wins over cmos's 0x5C.
constexpr PlatformField kPlatformFields[] = {
    {"cmos",
     [](const Json& v, const Where& w, PlatformConfig& c) {
       if (!v.is_object()) w.Fail("expected an object of offset: byte");
       for (const auto& [key, value] : v.items())
         c.cmos[static_cast<uint8_t>(Number(Json(key), w.Sub(key), 0x7F))] = U8(value, w.Sub(key));
     }},
    {"control_byte", [](const Json& v, const Where& w, PlatformConfig& c) { c.cmos[0x5C] = U8(v, w); }},
    {"host_bridge_dc", [](const Json& v, const Where& w, PlatformConfig& c) { c.hostBridgeDc = U32(v, w); }},
    {"pci_address_register", [](const Json& v, const Where& w, PlatformConfig& c) { c.pciAddressRegister = U32(v, w); }},
    {"legacy_serial",
     [](const Json& v, const Where& w, PlatformConfig& c) {
       if (v.is_object())
         ReadFields<PlatformConfig>(v, w, kLegacySerialFields, c);
       else
         c.legacySerial = OneOf<sim::LegacyUart::Mode>(v, w, kLegacyModes);
     }},
    {"mmio_serial",
     [](const Json& v, const Where& w, PlatformConfig& c) {
       c.mmioSerialPresent = true;  // described, so present unless it says otherwise
       ReadFields<PlatformConfig>(v, w, kMmioSerialFields, c);
     }},
    {"sideband_bridge",
     [](const Json& v, const Where& w, PlatformConfig& c) { c.sidebandBridgeHidden = OneOf<bool>(v, w, kSidebandBridge); }},
    {"memory_log_header", [](const Json& v, const Where& w, PlatformConfig& c) { c.memoryLogHeader = U32(v, w); }},
    {"interrupts", [](const Json& v, const Where& w, PlatformConfig& c) { c.interruptsEnabled = OneOf<bool>(v, w, kInterrupts); }},
    {"new_hob_fill", [](const Json& v, const Where& w, PlatformConfig& c) { c.pei.newHobFill = U8(v, w); }},
    {"fail", [](const Json& v, const Where& w, PlatformConfig& c) { ReadFields<sim::PeiSwitches>(v, w, kFailFields, c.pei); }},
    {"timing",
     [](const Json& v, const Where& w, PlatformConfig& c) {
       c.timing = sim::TimingSettings{};
       ReadFields<sim::TimingSettings>(v, w, kTimingFields, *c.timing);
     }},
};

uint64_t LimitValue(const Json& j, const Where& w, uint64_t least, uint64_t most, const char* why) {
  const uint64_t v = Number(j, w, UINT64_MAX);
  if (v < least || v > most)
    w.Fail(std::to_string(v) + " is outside " + std::to_string(least) + " to " + std::to_string(most) + ", " + why);
  return v;
}

constexpr Field<Limits> kLimitFields[] = {
    {"instructions_per_call",
     [](const Json& v, const Where& w, Limits& l) {
       l.instructionsPerCall =
           LimitValue(v, w, 1, Limits::kMaxInstructionsPerCall, "the bounds that keep every run finite");
     }},
    {"blink_writes",
     [](const Json& v, const Where& w, Limits& l) {
       l.blinkWrites = LimitValue(v, w, Limits::kMinBlinkWrites, Limits::kMaxBlinkWrites,
                                  "from one whole blink cycle (four words of 983040 writes each, and the first write "
                                  "of the next) to eight, so that a blink is told by its cycle and every run ends");
     }},
};

// A report. Each field reads after the ones above it, so an exclusion is
// checked where the second of the two is read.
constexpr Field<Report> kReportFields[] = {
    {"type", [](const Json& v, const Where& w, Report& r) { r.type = U32(v, w); }, "missing"},
    {"value", [](const Json& v, const Where& w, Report& r) { r.value = U32(v, w); }, "missing"},
    {"instance", [](const Json& v, const Where& w, Report& r) { r.instance = U32(v, w); }},
    {"caller",
     [](const Json& v, const Where& w, Report& r) {
       if (!v.is_null()) r.caller = GuidOrModule(v, w);
     }},
    {"data",
     [](const Json& v, const Where& w, Report& r) {
       if (!v.is_null()) r.data = ReadData(v, w);
     }},
    {"caller_address",
     [](const Json& v, const Where& w, Report& r) {
       if (r.caller) w.Fail("excludes 'caller': give the GUID or the address it is at, not both");
       r.callerAddress = U32(v, w);
     }},
    {"data_address",
     [](const Json& v, const Where& w, Report& r) {
       if (r.data) w.Fail("excludes 'data': give the record or the address it is at, not both");
       r.dataAddress = U32(v, w);
     }},
    {"note", [](const Json& v, const Where& w, Report& r) { r.note = String(v, w); }},
    {"repeat", [](const Json& v, const Where& w, Report& r) { r.repeat = Number(v, w, kMaxDeliveries); }},
};

void ReadReports(const Json& reports, const Where& w, Scenario& s) {
  if (!reports.is_array()) w.Fail("expected an array of reports");
  s.reports.reserve(reports.size());
  uint64_t deliveries = 0;
  for (size_t i = 0; i < reports.size(); ++i) {
    const Where wr{s.path, i, ""};
    Report rep;
    rep.source = i;
    ReadFields<Report>(reports[i], wr, kReportFields, rep);
    deliveries += rep.repeat;
    if (deliveries > kMaxDeliveries) wr.Sub("repeat").Fail("more than " + std::to_string(kMaxDeliveries) + " reports in all");
    s.reports.push_back(std::move(rep));
  }
}

constexpr Field<Scenario> kScenarioFields[] = {
    {"name", [](const Json& v, const Where& w, Scenario& s) { s.name = String(v, w); }},
    {"description", [](const Json& v, const Where& w, Scenario& s) { s.description = String(v, w); }},
    {"platform",
     [](const Json& v, const Where& w, Scenario& s) { ReadFields<PlatformConfig>(v, w, kPlatformFields, s.platform); }},
    {"limits", [](const Json& v, const Where& w, Scenario& s) { ReadFields<Limits>(v, w, kLimitFields, s.limits); }},
    {"reports", ReadReports, "missing"},
};

}  // namespace

Scenario ParseScenario(std::string_view text, const std::string& path) {
  Scenario s;
  s.path = path;
  const Json j = ParseJson(text, s.path);
  try {
    ReadFields<Scenario>(j, Where{s.path, std::nullopt, ""}, kScenarioFields, s);
  } catch (const Json::exception& e) {
    throw ScenarioError(s.path + ": " + Clipped(e.what(), 200));
  }
  return s;
}

void EnableTiming(Scenario& scenario) {
  if (!scenario.platform.timing) scenario.platform.timing = sim::TimingSettings{};
}

Scenario LoadScenario(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) throw ScenarioError(path + ": cannot open the scenario file: " + error.message());
  if (fs::is_directory(status)) throw ScenarioError(path + ": is a directory, not a scenario file");
  // Refused before it is opened: opening a FIFO waits for a writer, and a
  // device such as /dev/zero never ends.
  if (!fs::is_regular_file(status))
    throw ScenarioError(path + ": is not a regular file (a FIFO, socket or device); a scenario file must be one");
  const auto tooLarge = [&] {
    return ScenarioError(path + ": larger than " + std::to_string(kMaxScenarioFileBytes >> 20) +
                         " MiB, the most a scenario file may hold");
  };
  if (fs::file_size(path, error) > kMaxScenarioFileBytes && !error) throw tooLarge();
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(path + ": cannot open the scenario file");
  // Read in pieces up to the limit, so that a file that grows while it is
  // read is refused instead of read until memory runs out.
  std::string text;
  std::vector<char> piece(1 << 16);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    text.append(piece.data(), static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxScenarioFileBytes) throw tooLarge();
  }
  if (in.bad()) throw ScenarioError(path + ": cannot read the scenario file");
  return ParseScenario(text, path);
}

}  // namespace scenario
