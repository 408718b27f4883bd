// The run as one JSON document, written by one writer: sinksim run --json,
// the host32 harness, sinksim qemu --json (which adds what only QEMU tells)
// and the tests all print it through WriteJson. The writer streams: a run
// of ten million deliveries is written element by element, never held as a
// tree or as one string.
#ifndef STATUSSINK_RUN_JSON_H
#define STATUSSINK_RUN_JSON_H

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "run/RunResult.h"

namespace run {

// Writes the document (without a final line break) to `out`.
void WriteJson(std::ostream& out, const RunResult& run, const RenderContext& context);
// The same document as text, and parsed: for small runs (tests, the QEMU view).
std::string ToJsonText(const RunResult& run, const RenderContext& context);
nlohmann::ordered_json ToJson(const RunResult& run, const RenderContext& context);

}  // namespace run

#endif
