#include "scenario/JsonReader.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "hostlib/Text.h"
#include "scenario/Scenario.h"

namespace scenario {

std::string Clipped(std::string_view text, size_t most) {
  return text.size() > most ? std::string(text.substr(0, most - 3)) + "..." : std::string(text);
}

namespace {

// Only what is shown is serialised, so a huge or deeply nested value costs no
// more than its first characters.
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

// Builds the tree from the parser's events and keeps track of where the
// parser is, so that a value the parser itself refuses (a number out of
// range, a syntax error) is named by report and field, a key given twice is
// refused, and nesting is refused before it gets deep enough to cost anything.
class TreeBuilder final : public nlohmann::json_sax<Json> {
 public:
  explicit TreeBuilder(const std::string& path, std::string_view text) : path_(path), text_(text) {}

  Json Take() { return std::move(root_); }

  bool null() override { return Put(Json(nullptr)); }
  bool boolean(bool v) override { return Put(Json(v)); }
  bool number_integer(number_integer_t v) override { return Put(Json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return Put(Json(v)); }
  bool number_float(number_float_t v, const string_t&) override { return Put(Json(v)); }
  bool string(string_t& v) override { return Put(Json(std::move(v))); }
  bool binary(binary_t& v) override { return Put(Json::binary(std::move(v))); }
  bool start_object(std::size_t) override { return Open(Json::object()); }
  bool start_array(std::size_t) override { return Open(Json::array()); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& key) override {
    Frame& f = open_.back();
    f.key = Clipped(key, 40);
    if (f.value->contains(key)) At().Fail("given twice in one object (a second value would silently replace the first)");
    key_ = std::move(key);
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const Json::exception& e) override {
    // Syntax errors are 1xx; a number beyond what a double holds is 406.
    if (e.id >= 200) At().Fail("not a value this reader can hold: " + Clipped(e.what(), 200));
    // nlohmann reports the byte offset; give the line as well.
    const size_t at = std::min(position, text_.size());
    const size_t line = 1 + static_cast<size_t>(std::count(text_.begin(), text_.begin() + at, '\n'));
    throw ScenarioError(path_ + ": line " + std::to_string(line) + ":" + At().Prefix().substr(path_.size() + 1) +
                        " not valid JSON: " + Clipped(e.what(), 200));
  }

 private:
  struct Frame {
    Json* value;      // the open array or object
    size_t index;     // the element being read, in an array
    std::string key;  // the member being read, in an object (clipped, for messages)
  };

  // The value being read: reports[i] names the report, the rest the field.
  Where At() const {
    std::optional<size_t> report;
    std::string field;
    size_t i = 0;
    if (open_.size() >= 2 && !open_[0].value->is_array() && open_[0].key == "reports" && open_[1].value->is_array()) {
      report = open_[1].index;
      i = 2;
    }
    for (; i < open_.size(); ++i) {
      const Frame& f = open_[i];
      if (f.value->is_array())
        field += "[" + std::to_string(f.index) + "]";
      else if (!f.key.empty())
        field += (field.empty() ? "" : ".") + f.key;
    }
    return {path_, report, field};
  }

  Json* Place(Json&& value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *open_.back().value;
    if (parent.is_array()) {
      auto& elements = parent.get_ref<Json::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    return &(parent.get_ref<Json::object_t&>()[key_] = std::move(value));
  }
  void Completed() {
    if (!open_.empty() && open_.back().value->is_array()) ++open_.back().index;
  }
  bool Put(Json&& value) {
    Place(std::move(value));
    Completed();
    return true;
  }
  bool Open(Json&& container) {
    if (open_.size() + 1 > static_cast<size_t>(kMaxJsonDepth))
      At().Fail("arrays and objects nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    // An open container's place is stable: its parent takes no other value until it closes.
    open_.push_back({Place(std::move(container)), 0, {}});
    return true;
  }
  bool Close() {
    open_.pop_back();
    Completed();
    return true;
  }

  const std::string& path_;
  std::string_view text_;
  Json root_;
  std::vector<Frame> open_;
  std::string key_;
};

}  // namespace

std::string Shown(const Json& j) {
  std::string s;
  ShowInto(j, s, 60, 0);
  return Clipped(s);
}

Where Where::Sub(std::string_view name) const {
  return {file, report, field.empty() ? std::string(name) : field + "." + std::string(name)};
}
Where Where::Item(size_t i) const { return {file, report, field + "[" + std::to_string(i) + "]"}; }
std::string Where::Prefix() const {
  std::string msg = file + ":";
  if (report) msg += " report " + std::to_string(*report) + ":";
  if (!field.empty()) msg += " field '" + Clipped(field, 100) + "':";
  return msg;
}
void Where::Fail(const std::string& problem) const { throw ScenarioError(Prefix() + " " + problem); }

Json ParseJson(std::string_view text, const std::string& path) {
  TreeBuilder builder(path, text);
  Json::sax_parse(text.begin(), text.end(), &builder);
  return builder.Take();
}

uint64_t Number(const Json& j, const Where& w, uint64_t max) {
  uint64_t v = 0;
  if (j.is_number_unsigned()) {
    v = j.get<uint64_t>();
  } else if (j.is_number_integer()) {
    const int64_t s = j.get<int64_t>();
    if (s < 0) w.Fail("negative number " + Shown(j) + " (write it in hexadecimal)");
    v = static_cast<uint64_t>(s);
  } else if (j.is_string()) {
    const hostlib::ParsedNumber n = hostlib::ParseNumber(j.get_ref<const std::string&>());
    switch (n.problem) {
      case hostlib::NumberProblem::None: v = n.value; break;
      case hostlib::NumberProblem::Empty: w.Fail("expected a number, got " + Shown(j));
      case hostlib::NumberProblem::TooLarge: w.Fail("number " + Shown(j) + " is too large");
      case hostlib::NumberProblem::LeadingZero:
        w.Fail("expected a number (decimal or \"0x...\"), got " + Shown(j) + ", which " +
               std::string(hostlib::Describe(n.problem)));
      case hostlib::NumberProblem::NotDigits: w.Fail("expected a number (decimal or \"0x...\"), got " + Shown(j));
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

Guid GuidOrModule(const Json& j, const Where& w) {
  const std::string& s = String(j, w);
  if (auto g = hostlib::ParseGuid(s)) return *g;
  if (const ModuleRow* row = FindModuleByName(s)) return row->guid;
  w.Fail("\"" + Clipped(s) + "\" is neither a GUID (XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX) nor a module name of the platform table");
}

std::vector<uint8_t> HexBytes(const Json& j, const Where& w) {
  std::vector<uint8_t> out;
  if (j.is_array()) {
    for (size_t i = 0; i < j.size(); ++i) out.push_back(U8(j[i], w.Item(i)));
    return out;
  }
  std::string digits;
  for (char c : String(j, w))
    if (c != ' ' && c != ':' && c != '-') digits += c;
  if (digits.size() % 2 != 0) w.Fail("odd number of hexadecimal digits");
  // Only hexadecimal digits: no sign, no prefix, nothing strtoul would skip.
  for (size_t i = 0; i < digits.size(); i += 2) {
    const std::optional<uint8_t> byte = hostlib::HexByte(digits[i], digits[i + 1]);
    if (!byte) w.Fail("\"" + Clipped(digits.substr(i, 2)) + "\" is not a hexadecimal byte");
    out.push_back(*byte);
  }
  return out;
}

}  // namespace scenario
