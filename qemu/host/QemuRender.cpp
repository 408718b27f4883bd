#include "qemu/host/QemuRender.h"

#include <fmt/format.h>

#include "hostlib/Text.h"

namespace qemu {
namespace {

using hostlib::Hex32;

std::string Outcome(const QemuFacts& f) {
  const std::string readBack = f.stateReadBack ? ", the board's state read back then" : ", nothing read back";
  if (f.timedOut) return "stopped at the time limit" + readBack;
  if (f.blinkLimit)
    return "stopped when a call had written port 0x80 as often as the scenario's limits.blink_writes" + readBack;
  return fmt::format("exit code {}{}", f.exitCode, f.complete ? " (summary complete)" : " (summary incomplete)");
}

}  // namespace

std::string ToText(const QemuRunResult& result, const run::RenderContext& context) {
  const QemuFacts& f = result.facts;
  std::string text = run::ToText(result.run, context);
  // The emulated machine's statistics (instructions, stack, accesses) are not measured on QEMU.
  if (const size_t at = text.find("\n== Statistics =="); at != std::string::npos) text.resize(at);
  for (size_t at; (at = text.find(" (0 instr, 0 B stack)")) != std::string::npos;) text.erase(at, 21);
  if (const size_t at = text.find(", after 0 instructions and "); at != std::string::npos)
    text.replace(at, 27, ", after ");
  // QEMU does not watch memory writes (its ROM drops them silently): only what the boot ROM checks is claimed.
  const std::string unwatched = "(none: the image was never written, no write left the allowed regions)";
  if (const size_t at = text.find(unwatched); at != std::string::npos)
    text.replace(at, unwatched.size(),
                 "(none: no processor exception; the interrupt flag and 0xCF8 as before every handler call)");
  std::string out = "On QEMU's PC machine (qemu-system-i386 -M pc)\n";
  out += text;
  out += "\n== QEMU ==\n";
  out += fmt::format("  {:.2f} s, {}; {} trace lines; {} port 0x80 writes\n", f.seconds, Outcome(f), f.traceLines,
                     result.run.postcodeWrites);
  out += fmt::format("  host bridge register 0xDC read back {} before the module ran\n",
                     f.hostBridgeDc ? Hex32(*f.hostBridgeDc) : "nothing");
  if (const auto& halt = result.run.halt; halt && halt->reason == "time limit" && halt->portWrites > 0)
    out += fmt::format(
        "  the stopped call wrote port 0x80 {} times without a whole cycle yet: a longer --time-limit "
        "lets a blink loop's cycle show\n",
        halt->portWrites);
  for (const QemuFacts::Probe& p : f.probes)
    out += fmt::format("  {}-byte read at {} answered {}\n", p.width, Hex32(p.address), Hex32(p.value));
  for (const std::string& p : f.problems) out += "  problem: " + run::InputText(p) + "\n";
  return out;
}

nlohmann::ordered_json ToJson(const QemuRunResult& result, const run::RenderContext& context) {
  const QemuFacts& f = result.facts;
  nlohmann::ordered_json j = run::ToJson(result.run, context);  // a QEMU run is small: parsed, then extended
  for (const char* unmeasured : {"instructions", "max_stack_bytes", "io_accesses", "mmio_accesses"})
    j["stats"][unmeasured] = nullptr;
  for (auto& h : j["stats"]["handlers"])
    for (const char* unmeasured : {"instructions", "max_instructions", "max_stack_bytes"}) h[unmeasured] = nullptr;
  // Nor are the bus accesses and the bytes each output received per call: those fields are left out.
  for (auto& r : j["reports"]) {
    r["instructions"] = nullptr;
    r["stack_bytes"] = nullptr;
    for (const char* unmeasured : {"io_accesses", "mmio_accesses", "output_bytes"}) r.erase(unmeasured);
  }
  j["entry"]["instructions"] = nullptr;
  j["entry"]["stack_bytes"] = nullptr;
  for (const char* unmeasured : {"io_accesses", "mmio_accesses", "output_bytes"}) j["entry"].erase(unmeasured);
  j["qemu"] = {{"machine", "qemu-system-i386 -M pc"},
               {"seconds", f.seconds},
               {"exit_code", f.exitCode},
               {"timed_out", f.timedOut},
               {"blink_limit", f.blinkLimit},
               {"state_read_back", f.stateReadBack},
               {"summary_complete", f.complete},
               {"host_bridge_dc", f.hostBridgeDc ? nlohmann::ordered_json(*f.hostBridgeDc) : nullptr},
               {"probes",
                [&] {
                  nlohmann::ordered_json probes = nlohmann::ordered_json::array();
                  for (const QemuFacts::Probe& p : f.probes)
                    probes.push_back({{"address", p.address}, {"width", p.width}, {"value", p.value}});
                  return probes;
                }()},
               {"module_file", f.moduleFile},
               {"image_section", f.imageSection},
               {"image_format", f.imageFormat},
               {"trace_lines", f.traceLines},
               {"problems", f.problems}};
  return j;
}

}  // namespace qemu
