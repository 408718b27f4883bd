// The views of a QEMU run: sinksim's own text and JSON views of the run, with
// what only QEMU tells (time, exit code, the host bridge's answer, the module
// as found in the volume) in place of the emulated machine's statistics,
// which QEMU cannot measure.
#ifndef STATUSSINK_QEMU_QEMURENDER_H
#define STATUSSINK_QEMU_QEMURENDER_H

#include <nlohmann/json.hpp>
#include <string>

#include "qemu/host/QemuRun.h"
#include "run/Json.h"
#include "run/TextView.h"

namespace qemu {

std::string ToText(const QemuRunResult& result, const run::RenderContext& context);
nlohmann::ordered_json ToJson(const QemuRunResult& result, const run::RenderContext& context);

}  // namespace qemu

#endif
