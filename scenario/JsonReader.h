// Reading a scenario's JSON: the tree in time linear in the text (nlohmann's
// own callback parser rescans an array each time one of its objects closes,
// which made 700,000 reports take minutes), duplicate keys and deep nesting
// refused while parsing, and every message naming the file, the report and
// the field.
#ifndef STATUSSINK_SCENARIO_JSONREADER_H
#define STATUSSINK_SCENARIO_JSONREADER_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "scenario/ModuleTable.h"

namespace scenario {

using Json = nlohmann::json;

// Text from the file quoted in a message: at most `most` characters of it.
std::string Clipped(std::string_view text, size_t most = 60);
// The start of a value as JSON text, for messages.
std::string Shown(const Json& j);

// Where in the file a value sits, for error messages.
struct Where {
  const std::string& file;
  std::optional<size_t> report;
  std::string field;

  Where Sub(std::string_view name) const;
  Where Item(size_t i) const;
  std::string Prefix() const;
  [[noreturn]] void Fail(const std::string& problem) const;
};

// The whole text as a tree; a syntax error, a duplicate key, nesting deeper
// than kMaxJsonDepth or a number no double holds is a ScenarioError.
Json ParseJson(std::string_view text, const std::string& path);

// Values of the scenario's forms, each refused with its field named.
uint64_t Number(const Json& j, const Where& w, uint64_t max);  // a JSON integer, or "0x1F" / "31"
uint32_t U32(const Json& j, const Where& w);
uint8_t U8(const Json& j, const Where& w);
bool Bool(const Json& j, const Where& w);
const std::string& String(const Json& j, const Where& w);
Guid GuidOrModule(const Json& j, const Where& w);   // registry form, or a module of the platform table
std::vector<uint8_t> HexBytes(const Json& j, const Where& w);  // "00 11:22-33" or an array of bytes

// One field of an object: its name, how it is read into the target, and for
// a field that must be there, what to say when it is not. An object's table
// is the one list of the fields it may have.
template <typename Target>
struct Field {
  std::string_view name;
  void (*read)(const Json& value, const Where& where, Target& target);
  const char* missing = nullptr;
};

// Refuses a field the table does not list, then reads the listed ones in
// the table's order.
template <typename Target>
void ReadFields(const Json& j, const Where& w, std::span<const Field<Target>> fields, Target& target) {
  if (!j.is_object()) w.Fail("expected an object, got " + Shown(j));
  for (const auto& [key, value] : j.items()) {
    bool known = false;
    for (const Field<Target>& f : fields) known = known || f.name == key;
    if (!known) w.Sub(key).Fail("unknown field");
  }
  for (const Field<Target>& f : fields) {
    const auto it = j.find(std::string(f.name));
    if (it != j.end())
      f.read(*it, w.Sub(f.name), target);
    else if (f.missing != nullptr)
      w.Sub(f.name).Fail(f.missing);
  }
}

// A string naming one of a few values.
template <typename Value>
struct Named {
  std::string_view name;
  Value value;
};

template <typename Value>
Value OneOf(const Json& j, const Where& w, std::span<const Named<Value>> names) {
  const std::string& s = String(j, w);
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].name == s) return names[i].value;
    list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + std::string(names[i].name);
  }
  w.Fail("\"" + Clipped(s) + "\" is not " + list);
}

}  // namespace scenario

#endif
