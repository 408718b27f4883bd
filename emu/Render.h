// What sinksim prints: a person's view of a run (serial text, POST code
// timeline with module names, memory log, HOB stack, results, statistics)
// and the same as one JSON document for other programs.
#ifndef STATUSSINK_EMU_RENDER_H
#define STATUSSINK_EMU_RENDER_H

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "Run.h"

namespace emu {

// Public symbols of the image from its linker map, by RVA; used for naming only.
std::map<uint32_t, std::string> ReadMapSymbols(const std::string& mapPath);

struct RenderContext {
  std::map<uint32_t, std::string> symbols;  // RVA -> name
  size_t maxRows = 200;                     // long tables show their first and last rows
};

// Device text for a person: CR LF pairs as line breaks, other control bytes as \xNN.
std::string PrintableText(const std::string& text);

nlohmann::ordered_json ToJson(const RunResult& run, const RenderContext& context);
// ToJson(...).dump(2), written without building the per-report part as a tree.
std::string ToJsonText(const RunResult& run, const RenderContext& context);
std::string ToText(const RunResult& run, const RenderContext& context);

}  // namespace emu

#endif
