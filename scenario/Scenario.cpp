#include "scenario/Scenario.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

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

using Json = nlohmann::json;

// Offsets in the data records the module reads (from the record's start).
constexpr uint32_t kHeaderSize = 20;
constexpr uint32_t kDebugLevelOffset = 20;
constexpr uint32_t kDebugArgsOffset = 24;
constexpr uint32_t kDebugArgsSize = 96;  // 24 slots of 4 bytes
constexpr uint32_t kDebugFormatOffset = 120;
constexpr uint32_t kStringKindOffset = 20;
constexpr uint32_t kStringPointerOffset = 24;
constexpr uint32_t kAssertLineOffset = 40;
constexpr uint32_t kAssertFileOffset = 52;

// Text from the file quoted in a message: at most `most` characters of it.
std::string Clipped(std::string_view text, size_t most = 60) {
  return text.size() > most ? std::string(text.substr(0, most - 3)) + "..." : std::string(text);
}

// Where in the file a value sits, for error messages.
struct Where {
  const std::string& file;
  std::optional<size_t> report;
  std::string field;

  Where Sub(const std::string& name) const { return {file, report, field.empty() ? name : field + "." + name}; }
  Where Item(size_t i) const { return {file, report, field + "[" + std::to_string(i) + "]"}; }
  std::string Prefix() const {
    std::string msg = file + ":";
    if (report) msg += " report " + std::to_string(*report) + ":";
    if (!field.empty()) msg += " field '" + Clipped(field, 100) + "':";
    return msg;
  }
  [[noreturn]] void Fail(const std::string& problem) const { throw ScenarioError(Prefix() + " " + problem); }
};

// The start of a value as JSON text. Only what is shown is serialised, so a
// huge or deeply nested value costs no more than its first characters.
void ShowInto(const Json& j, std::string& out, size_t most, int depth) {
  constexpr auto kReplace = Json::error_handler_t::replace;
  if (out.size() > most) return;
  if (j.is_array() || j.is_object()) {
    if (depth >= 8) {
      out += "...";
      return;
    }
    out += j.is_array() ? '[' : '{';
    bool first = true;
    for (auto it = j.begin(); it != j.end() && out.size() <= most; ++it) {
      if (!first) out += ',';
      first = false;
      if (j.is_object()) out += Json(Clipped(it.key(), most)).dump(-1, ' ', false, kReplace) + ":";
      ShowInto(*it, out, most, depth + 1);
    }
    out += j.is_array() ? ']' : '}';
  } else if (j.is_string()) {
    out += Json(Clipped(j.get_ref<const std::string&>(), most)).dump(-1, ' ', false, kReplace);
  } else {
    out += j.dump();
  }
}

std::string Shown(const Json& j) {
  std::string s;
  ShowInto(j, s, 60, 0);
  return Clipped(s);
}

// A number written as a JSON integer, or as a string in hexadecimal ("0x1F") or decimal.
uint64_t Number(const Json& j, const Where& w, uint64_t max) {
  uint64_t v = 0;
  if (j.is_number_unsigned()) {
    v = j.get<uint64_t>();
  } else if (j.is_number_integer()) {
    const int64_t s = j.get<int64_t>();
    if (s < 0) w.Fail("negative number " + Shown(j) + " (write it in hexadecimal)");
    v = static_cast<uint64_t>(s);
  } else if (j.is_string()) {
    const std::string& s = j.get_ref<const std::string&>();
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const size_t start = hex ? 2 : 0;
    if (s.size() == start) w.Fail("expected a number, got " + Shown(j));
    for (size_t i = start; i < s.size(); ++i) {
      const char c = s[i];
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        w.Fail("expected a number (decimal or \"0x...\"), got " + Shown(j));
      const uint64_t base = hex ? 16 : 10;
      if (v > (UINT64_MAX - d) / base) w.Fail("number " + Shown(j) + " is too large");
      v = v * base + d;
    }
  } else {
    w.Fail("expected a number (decimal or \"0x...\"), got " + Shown(j));
  }
  if (v > max) w.Fail("value " + Shown(j) + " does not fit (at most " + std::to_string(max) + ")");
  return v;
}

uint32_t U32(const Json& j, const Where& w) { return static_cast<uint32_t>(Number(j, w, 0xFFFFFFFFu)); }
uint8_t U8(const Json& j, const Where& w) { return static_cast<uint8_t>(Number(j, w, 0xFF)); }

bool Bool(const Json& j, const Where& w) {
  if (!j.is_boolean()) w.Fail("expected true or false, got " + Shown(j));
  return j.get<bool>();
}

const std::string& String(const Json& j, const Where& w) {
  if (!j.is_string()) w.Fail("expected a string, got " + Shown(j));
  return j.get_ref<const std::string&>();
}

void OnlyFields(const Json& j, const Where& w, std::initializer_list<std::string_view> known) {
  if (!j.is_object()) w.Fail("expected an object, got " + Shown(j));
  for (const auto& [key, value] : j.items()) {
    bool ok = false;
    for (std::string_view k : known) ok = ok || k == key;
    if (!ok) w.Sub(key).Fail("unknown field");
  }
}

// A GUID written in registry form, or the name of a module of the platform table.
Guid GuidOrModule(const Json& j, const Where& w) {
  const std::string& s = String(j, w);
  if (auto g = ParseGuid(s)) return *g;
  if (const ModuleRow* row = FindModuleByName(s)) return row->guid;
  w.Fail("\"" + Clipped(s) + "\" is neither a GUID (XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX) nor a module name of the platform table");
}

std::vector<uint8_t> HexBytes(const Json& j, const Where& w) {
  std::vector<uint8_t> out;
  if (j.is_array()) {
    for (size_t i = 0; i < j.size(); ++i) out.push_back(U8(j[i], w.Item(i)));
    return out;
  }
  std::string s = String(j, w);
  std::string digits;
  for (char c : s)
    if (c != ' ' && c != ':' && c != '-') digits += c;
  if (digits.size() % 2 != 0) w.Fail("odd number of hexadecimal digits");
  // Only hexadecimal digits: no sign, no prefix, nothing strtoul would skip.
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < digits.size(); i += 2) {
    const int high = digit(digits[i]), low = digit(digits[i + 1]);
    if (high < 0 || low < 0) w.Fail("\"" + Clipped(digits.substr(i, 2)) + "\" is not a hexadecimal byte");
    out.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return out;
}

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
  void EndPayload() {
    payloadEnd_ = Size();
    Put16(2, static_cast<uint16_t>(payloadEnd_ - kHeaderSize));
  }
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
  uint32_t payloadEnd_ = kHeaderSize;
};

std::vector<uint8_t> Ascii(const std::string& s) {
  std::vector<uint8_t> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

std::vector<uint8_t> Wide(const std::string& s) {
  std::vector<uint8_t> v;
  for (unsigned char c : s) {
    v.push_back(c);
    v.push_back(0);
  }
  v.push_back(0);
  v.push_back(0);
  return v;
}

// One packed argument: a number (one 4-byte slot), {"u64": n} (two slots, low
// half first), or a pointer to an object: {"string": ...}, {"wstring": ...},
// {"guid": ...}, {"bytes": ...}.
void PackArgument(RecordBuilder& b, uint32_t& slot, const Json& a, const Where& w) {
  auto need = [&](uint32_t slots) {
    if (slot + 4 * slots > kDebugArgsOffset + kDebugArgsSize) w.Fail("more than 24 argument slots (96 bytes)");
  };
  if (!a.is_object()) {
    need(1);
    b.Put32(slot, U32(a, w));
    slot += 4;
    return;
  }
  if (a.size() != 1) w.Fail("an argument object has exactly one of u64, string, wstring, guid, bytes");
  const auto first = a.begin();
  const std::string key = first.key();
  const Json& v = first.value();
  const Where wv = w.Sub(key);
  if (key == "u64") {
    need(2);
    const uint64_t n = Number(v, wv, UINT64_MAX);
    b.Put32(slot, static_cast<uint32_t>(n));
    b.Put32(slot + 4, static_cast<uint32_t>(n >> 32));
    slot += 8;
    return;
  }
  need(1);
  if (key == "string")
    b.PointAt(slot, Ascii(String(v, wv)));
  else if (key == "wstring")
    b.PointAt(slot, Wide(String(v, wv)));
  else if (key == "guid") {
    const Guid g = GuidOrModule(v, wv);
    b.PointAt(slot, std::vector<uint8_t>(g.begin(), g.end()));
  } else if (key == "bytes")
    b.PointAt(slot, HexBytes(v, wv));
  else
    wv.Fail("unknown argument kind (u64, string, wstring, guid, bytes)");
  slot += 4;
}

DataRecord ReadData(const Json& d, const Where& w) {
  if (!d.is_object()) w.Fail("expected an object with a \"kind\", got " + Shown(d));
  if (!d.contains("kind")) w.Sub("kind").Fail("missing (specific, debug, string, assert or raw)");
  const std::string& kind = String(d["kind"], w.Sub("kind"));
  auto typeGuid = [&](const Guid& fallback) {
    return d.contains("type_guid") ? GuidOrModule(d["type_guid"], w.Sub("type_guid")) : fallback;
  };
  std::optional<RecordBuilder> b;
  if (kind == "specific") {
    // Status-code-specific data whose first word points at a module's GUID.
    OnlyFields(d, w, {"kind", "module", "guid_address", "type_guid", "size", "header_size"});
    b.emplace(typeGuid(ToGuid(StatusCodeSpecificDataGuid)), kind);
    b->Reserve(kHeaderSize + 4);
    b->EndPayload();
    if (d.contains("guid_address")) {
      b->Put32(kHeaderSize, U32(d["guid_address"], w.Sub("guid_address")));
    } else {
      if (!d.contains("module")) w.Sub("module").Fail("missing (a module name or GUID, or guid_address)");
      const Guid g = GuidOrModule(d["module"], w.Sub("module"));
      b->PointAt(kHeaderSize, std::vector<uint8_t>(g.begin(), g.end()));
    }
  } else if (kind == "debug") {
    OnlyFields(d, w, {"kind", "level", "format", "args", "type_guid", "size", "header_size"});
    if (!d.contains("format")) w.Sub("format").Fail("missing");
    b.emplace(typeGuid(ToGuid(DebugMessageDataGuid)), kind);
    b->Reserve(kDebugFormatOffset);
    b->Put32(kDebugLevelOffset, d.contains("level") ? U32(d["level"], w.Sub("level")) : 0x40u);
    // The format ends the payload; the objects the arguments point at follow it.
    const std::vector<uint8_t> format = Ascii(String(d["format"], w.Sub("format")));
    b->PutBytes(kDebugFormatOffset, format.data(), format.size());
    b->EndPayload();
    if (d.contains("args")) {
      const Json& args = d["args"];
      if (!args.is_array()) w.Sub("args").Fail("expected an array");
      uint32_t slot = kDebugArgsOffset;
      for (size_t i = 0; i < args.size(); ++i) PackArgument(*b, slot, args[i], w.Sub("args").Item(i));
    }
  } else if (kind == "string") {
    OnlyFields(d, w, {"kind", "text", "string_kind", "type_guid", "size", "header_size"});
    if (!d.contains("text")) w.Sub("text").Fail("missing");
    const uint32_t stringKind = d.contains("string_kind") ? U32(d["string_kind"], w.Sub("string_kind")) : 0;
    b.emplace(typeGuid(ToGuid(StringDataGuid)), kind);
    b->Put32(kStringKindOffset, stringKind);
    b->Reserve(kStringPointerOffset + 4);
    b->EndPayload();
    const std::string& text = String(d["text"], w.Sub("text"));
    b->PointAt(kStringPointerOffset, stringKind == 0 ? Ascii(text) : Wide(text));
  } else if (kind == "assert") {
    // Assertions are recognised by code type and value; the record's type GUID is not looked at.
    OnlyFields(d, w, {"kind", "file", "line", "description", "type_guid", "size", "header_size"});
    b.emplace(typeGuid(Guid{}), kind);
    b->Put32(kAssertLineOffset, d.contains("line") ? U32(d["line"], w.Sub("line")) : 0);
    const std::vector<uint8_t> file = Ascii(d.contains("file") ? String(d["file"], w.Sub("file")) : "");
    const std::vector<uint8_t> description =
        Ascii(d.contains("description") ? String(d["description"], w.Sub("description")) : "");
    b->PutBytes(kAssertFileOffset, file.data(), file.size());
    b->PutBytes(kAssertFileOffset + static_cast<uint32_t>(file.size()), description.data(), description.size());
    b->EndPayload();
  } else if (kind == "raw") {
    OnlyFields(d, w, {"kind", "type_guid", "bytes", "size", "header_size"});
    if (!d.contains("type_guid")) w.Sub("type_guid").Fail("missing");
    b.emplace(typeGuid(Guid{}), kind);
    if (d.contains("bytes")) {
      const std::vector<uint8_t> payload = HexBytes(d["bytes"], w.Sub("bytes"));
      b->PutBytes(kHeaderSize, payload.data(), payload.size());
    }
    b->EndPayload();
  } else {
    w.Sub("kind").Fail("unknown data kind \"" + Clipped(kind) + "\" (specific, debug, string, assert or raw)");
  }
  if (d.contains("size")) b->Put16(2, static_cast<uint16_t>(Number(d["size"], w.Sub("size"), 0xFFFF)));
  if (d.contains("header_size"))
    b->Put16(0, static_cast<uint16_t>(Number(d["header_size"], w.Sub("header_size"), 0xFFFF)));
  if (b->Size() > 0x10000) w.Fail("data record larger than 64 KiB");
  b->Reserve((b->Size() + 3u) & ~3u);
  return std::move(b->Record());
}

void ReadPlatform(const Json& p, const Where& w, PlatformConfig& c) {
  OnlyFields(p, w,
             {"cmos", "control_byte", "host_bridge_dc", "pci_address_register", "legacy_serial", "mmio_serial",
              "sideband_bridge", "memory_log_header", "interrupts", "fail", "new_hob_fill"});
  if (p.contains("cmos")) {
    const Where wc = w.Sub("cmos");
    if (!p["cmos"].is_object()) wc.Fail("expected an object of offset: byte");
    for (const auto& [key, value] : p["cmos"].items()) {
      const uint8_t offset = static_cast<uint8_t>(Number(Json(key), wc.Sub(key), 0x7F));
      c.cmos[offset] = U8(value, wc.Sub(key));
    }
  }
  if (p.contains("control_byte")) c.cmos[0x5C] = U8(p["control_byte"], w.Sub("control_byte"));
  if (p.contains("host_bridge_dc")) c.hostBridgeDc = U32(p["host_bridge_dc"], w.Sub("host_bridge_dc"));
  if (p.contains("pci_address_register"))
    c.pciAddressRegister = U32(p["pci_address_register"], w.Sub("pci_address_register"));
  if (p.contains("legacy_serial")) {
    const Where wl = w.Sub("legacy_serial");
    const Json& l = p["legacy_serial"];
    const Json& mode = l.is_object() ? (l.contains("mode") ? l["mode"] : Json("present")) : l;
    if (l.is_object()) {
      OnlyFields(l, wl, {"mode", "drain_pace"});
      if (l.contains("drain_pace"))
        c.legacyDrainPace = static_cast<unsigned>(Number(l["drain_pace"], wl.Sub("drain_pace"), 1000000));
    }
    const std::string& m = String(mode, l.is_object() ? wl.Sub("mode") : wl);
    if (m == "present")
      c.legacySerial = LegacySerial::Present;
    else if (m == "absent")
      c.legacySerial = LegacySerial::Absent;
    else if (m == "stuck")
      c.legacySerial = LegacySerial::Stuck;
    else
      wl.Fail("\"" + Clipped(m) + "\" is not present, absent or stuck");
  }
  if (p.contains("mmio_serial")) {
    const Where wm = w.Sub("mmio_serial");
    const Json& m = p["mmio_serial"];
    OnlyFields(m, wm, {"present", "config_visible", "base", "stride", "stride_register", "status"});
    c.mmioSerialPresent = m.contains("present") ? Bool(m["present"], wm.Sub("present")) : true;
    if (m.contains("config_visible")) c.mmioConfigVisible = Bool(m["config_visible"], wm.Sub("config_visible"));
    if (m.contains("base")) c.mmioSerialBase = U32(m["base"], wm.Sub("base"));
    if (m.contains("stride")) {
      c.mmioStride = static_cast<unsigned>(Number(m["stride"], wm.Sub("stride"), 4));
      if (c.mmioStride != 1 && c.mmioStride != 4) wm.Sub("stride").Fail("the register stride is 1 or 4");
    }
    if (m.contains("stride_register")) c.strideRegister = U32(m["stride_register"], wm.Sub("stride_register"));
    if (m.contains("status")) {
      const Json& s = m["status"];
      if (s.is_string() && s.get<std::string>() == "ready") {
        c.mmioStatus = MmioStatus::AlwaysReady;
      } else if (s.is_string() && s.get<std::string>() == "never") {
        c.mmioStatus = MmioStatus::NeverReady;
      } else if (s.is_object()) {
        OnlyFields(s, wm.Sub("status"), {"ready_reads"});
        if (!s.contains("ready_reads")) wm.Sub("status.ready_reads").Fail("missing");
        c.mmioStatus = MmioStatus::ReadyForFirst;
        c.mmioReadyReads = Number(s["ready_reads"], wm.Sub("status.ready_reads"), UINT32_MAX);
      } else {
        wm.Sub("status").Fail("expected \"ready\", \"never\" or {\"ready_reads\": N}, got " + Shown(s));
      }
    }
  }
  if (p.contains("sideband_bridge")) {
    const std::string& s = String(p["sideband_bridge"], w.Sub("sideband_bridge"));
    if (s != "hidden" && s != "visible") w.Sub("sideband_bridge").Fail("\"" + Clipped(s) + "\" is not hidden or visible");
    c.sidebandBridgeHidden = s == "hidden";
  }
  if (p.contains("memory_log_header")) c.memoryLogHeader = U32(p["memory_log_header"], w.Sub("memory_log_header"));
  if (p.contains("interrupts")) {
    const std::string& s = String(p["interrupts"], w.Sub("interrupts"));
    if (s != "enabled" && s != "disabled") w.Sub("interrupts").Fail("\"" + Clipped(s) + "\" is not enabled or disabled");
    c.interruptsEnabled = s == "enabled";
  }
  if (p.contains("new_hob_fill")) c.pei.newHobFill = U8(p["new_hob_fill"], w.Sub("new_hob_fill"));
  if (p.contains("fail")) {
    const Where wf = w.Sub("fail");
    const Json& f = p["fail"];
    OnlyFields(f, wf, {"locate_ppi", "null_ppi", "register", "create_hob", "get_hob_list", "null_hob_list"});
    if (f.contains("locate_ppi")) c.pei.failLocatePpi = Bool(f["locate_ppi"], wf.Sub("locate_ppi"));
    if (f.contains("null_ppi")) c.pei.nullPpi = Bool(f["null_ppi"], wf.Sub("null_ppi"));
    if (f.contains("create_hob")) c.pei.failCreateHob = Bool(f["create_hob"], wf.Sub("create_hob"));
    if (f.contains("get_hob_list")) c.pei.failGetHobList = Bool(f["get_hob_list"], wf.Sub("get_hob_list"));
    if (f.contains("null_hob_list")) c.pei.nullHobList = Bool(f["null_hob_list"], wf.Sub("null_hob_list"));
    if (f.contains("register")) {
      const Where wr = wf.Sub("register");
      const Json& r = f["register"];
      if (!r.is_array()) wr.Fail("expected an array of Register call indexes (0 is the first call)");
      for (size_t i = 0; i < r.size(); ++i) c.pei.failRegisterCalls.insert(static_cast<int>(Number(r[i], wr.Item(i), 1000)));
    }
  }
}

// Where the parser is in the document, followed through its callbacks, so
// that a value the parser itself refuses (a number out of range, a syntax
// error) is named by report and field, and nesting is refused before it
// gets deep enough to cost anything.
class ParsePath {
 public:
  struct TooDeep {};

  bool Event(int depth, Json::parse_event_t event, const Json& parsed) {
    using E = Json::parse_event_t;
    switch (event) {
      case E::object_start:
      case E::array_start:
        if (depth + 1 > kMaxJsonDepth) throw TooDeep{};
        frames_.push_back({event == E::array_start, 0, {}});
        break;
      case E::key:
        if (!frames_.empty()) frames_.back().key = Clipped(parsed.get_ref<const std::string&>(), 40);
        break;
      case E::object_end:
      case E::array_end:
        if (!frames_.empty()) frames_.pop_back();
        Completed();
        break;
      case E::value:
        Completed();
        break;
    }
    return true;
  }

  // The value being read: reports[i] names the report, the rest the field.
  Where At(const std::string& file) const {
    std::optional<size_t> report;
    std::string field;
    size_t i = 0;
    if (frames_.size() >= 2 && !frames_[0].array && frames_[0].key == "reports" && frames_[1].array) {
      report = frames_[1].index;
      i = 2;
    }
    for (; i < frames_.size(); ++i) {
      const Frame& f = frames_[i];
      if (f.array)
        field += "[" + std::to_string(f.index) + "]";
      else if (!f.key.empty())
        field += (field.empty() ? "" : ".") + f.key;
    }
    return {file, report, field};
  }

 private:
  struct Frame {
    bool array;
    size_t index;     // the element being read, in an array
    std::string key;  // the member being read, in an object
  };
  void Completed() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
  }
  std::vector<Frame> frames_;
};

Json ParseJson(std::string_view text, const std::string& path) {
  ParsePath where;
  try {
    return Json::parse(text.begin(), text.end(), [&](int depth, Json::parse_event_t event, Json& parsed) {
      return where.Event(depth, event, parsed);
    });
  } catch (const ParsePath::TooDeep&) {
    where.At(path).Fail("arrays and objects nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  } catch (const Json::parse_error& e) {
    // nlohmann reports the byte offset; give the line as well.
    const size_t at = std::min<size_t>(e.byte, text.size());
    const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + at, '\n'));
    const Where w = where.At(path);
    throw ScenarioError(path + ": line " + std::to_string(line) + ":" + w.Prefix().substr(path.size() + 1) +
                        " not valid JSON: " + Clipped(e.what(), 200));
  } catch (const Json::exception& e) {
    // A number beyond what a double holds, for one.
    where.At(path).Fail("not a value this reader can hold: " + Clipped(e.what(), 200));
  }
}

uint64_t LimitValue(const Json& limits, const char* name, const Where& w, uint64_t least, uint64_t most,
                    const char* why) {
  const Where wv = w.Sub(name);
  const uint64_t v = Number(limits[name], wv, UINT64_MAX);
  if (v < least || v > most)
    wv.Fail(std::to_string(v) + " is outside " + std::to_string(least) + " to " + std::to_string(most) + ", " + why);
  return v;
}

Report ReadReport(const Json& r, const Where& w, size_t i) {
  OnlyFields(r, w, {"type", "value", "instance", "caller", "caller_address", "data", "data_address", "repeat", "note"});
  Report rep;
  rep.source = i;
  if (!r.contains("type")) w.Sub("type").Fail("missing");
  if (!r.contains("value")) w.Sub("value").Fail("missing");
  rep.type = U32(r["type"], w.Sub("type"));
  rep.value = U32(r["value"], w.Sub("value"));
  if (r.contains("instance")) rep.instance = U32(r["instance"], w.Sub("instance"));
  const bool caller = r.contains("caller") && !r["caller"].is_null();
  const bool data = r.contains("data") && !r["data"].is_null();
  if (caller) rep.caller = GuidOrModule(r["caller"], w.Sub("caller"));
  if (data) rep.data = ReadData(r["data"], w.Sub("data"));
  if (r.contains("caller_address")) {
    if (caller) w.Sub("caller_address").Fail("excludes 'caller': give the GUID or the address it is at, not both");
    rep.callerAddress = U32(r["caller_address"], w.Sub("caller_address"));
  }
  if (r.contains("data_address")) {
    if (data) w.Sub("data_address").Fail("excludes 'data': give the record or the address it is at, not both");
    rep.dataAddress = U32(r["data_address"], w.Sub("data_address"));
  }
  if (r.contains("note")) rep.note = String(r["note"], w.Sub("note"));
  if (r.contains("repeat")) rep.repeat = Number(r["repeat"], w.Sub("repeat"), kMaxDeliveries);
  return rep;
}

}  // namespace

Scenario ParseScenario(std::string_view text, const std::string& path) {
  Scenario s;
  s.path = path;
  const Where top{s.path, std::nullopt, ""};
  const Json j = ParseJson(text, s.path);
  try {
    OnlyFields(j, top, {"name", "description", "platform", "limits", "reports"});
    if (j.contains("name")) s.name = String(j["name"], top.Sub("name"));
    if (j.contains("description")) s.description = String(j["description"], top.Sub("description"));
    if (j.contains("platform")) ReadPlatform(j["platform"], top.Sub("platform"), s.platform);
    if (j.contains("limits")) {
      const Where wl = top.Sub("limits");
      const Json& l = j["limits"];
      OnlyFields(l, wl, {"instructions_per_call", "blink_writes"});
      if (l.contains("instructions_per_call"))
        s.limits.instructionsPerCall = LimitValue(l, "instructions_per_call", wl, 1, Limits::kMaxInstructionsPerCall,
                                                  "the bounds that keep every run finite");
      if (l.contains("blink_writes"))
        s.limits.blinkWrites = LimitValue(l, "blink_writes", wl, Limits::kMinBlinkWrites, Limits::kMaxBlinkWrites,
                                          "from one whole blink cycle (four words of 983040 writes each, and the "
                                          "first write of the next) to eight, so that a blink is told by its cycle and "
                                          "every run ends");
    }
    if (!j.contains("reports")) top.Sub("reports").Fail("missing");
    const Json& reports = j["reports"];
    if (!reports.is_array()) top.Sub("reports").Fail("expected an array of reports");
    uint64_t deliveries = 0;
    for (size_t i = 0; i < reports.size(); ++i) {
      const Where w{s.path, i, ""};
      Report rep = ReadReport(reports[i], w, i);
      deliveries += rep.repeat;
      if (deliveries > kMaxDeliveries)
        w.Sub("repeat").Fail("more than " + std::to_string(kMaxDeliveries) + " reports in all");
      s.reports.push_back(std::move(rep));
    }
  } catch (const Json::exception& e) {
    throw ScenarioError(s.path + ": " + Clipped(e.what(), 200));
  }
  return s;
}

Scenario LoadScenario(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) throw ScenarioError(path + ": cannot open the scenario file: " + error.message());
  if (fs::is_directory(status)) throw ScenarioError(path + ": is a directory, not a scenario file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(path + ": cannot open the scenario file");
  // Read in pieces up to the limit, so that a device or a pipe that never
  // ends (/dev/zero) is refused instead of read until memory runs out.
  std::string text;
  std::vector<char> piece(1 << 16);
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    text.append(piece.data(), static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxScenarioFileBytes)
      throw ScenarioError(path + ": larger than " + std::to_string(kMaxScenarioFileBytes >> 20) +
                          " MiB, the most a scenario file may hold");
  }
  if (in.bad()) throw ScenarioError(path + ": cannot read the scenario file");
  return ParseScenario(text, path);
}

}  // namespace scenario
