// What sinksim prints: a person's view of a run (serial text, POST code
// timeline with module names, memory log, HOB stack, results, statistics)
// and the same as one JSON document for other programs.
#ifndef STATUSSINK_EMU_RENDER_H
#define STATUSSINK_EMU_RENDER_H

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "emu/Run.h"

namespace emu {

// Public symbols of the image from its linker map, by RVA; used for naming
// only, so a map that is missing, unreadable or malformed never stops a run:
// lines that cannot be read are left out, and what was left out is said in
// `warnings` when given.
std::map<uint32_t, std::string> ReadMapSymbols(const std::string& mapPath, std::vector<std::string>* warnings = nullptr);

// Count ranges from a text file, one a line: START END [NAME], START and END
// offsets from the image base in hexadecimal (0x optional), END excluded;
// blank lines and lines starting with '#' are skipped. Throws
// std::invalid_argument naming the file and line of anything else.
std::vector<scenario::CountRange> ReadCountRanges(const std::string& path);

using scenario::RenderContext;

// Device text for a person: CR LF pairs as line breaks, other control bytes as \xNN.
std::string PrintableText(const std::string& text);

// The person's view of a run; the JSON document is scenario::ToJson (scenario/RunResult.h).
std::string ToText(const RunResult& run, const RenderContext& context);

}  // namespace emu

#endif
