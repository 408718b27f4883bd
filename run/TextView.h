// A person's view of a run (serial text, POST code timeline with module
// names, memory log, HOB stack, results, statistics), whichever machine ran
// it; the JSON document for other programs is run/Json.h.
#ifndef STATUSSINK_RUN_TEXTVIEW_H
#define STATUSSINK_RUN_TEXTVIEW_H

#include <string>
#include <string_view>

#include "run/RunResult.h"

namespace run {

// Device text for a person: CR, LF and TAB as they are, other control bytes
// and bytes above 0x7E as \xNN; ends with a line break.
std::string PrintableText(const std::string& text);
// A name or line from an input file (scenario, map, count ranges, volume)
// for a person: the same escaping, line breaks and tabs included, so that
// it stays on its line.
std::string InputText(std::string_view text);

std::string ToText(const RunResult& run, const RenderContext& context);

}  // namespace run

#endif
