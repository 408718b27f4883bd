#!/usr/bin/env bash
# make bench: one table of the module's figures, on either kind of kernel.
#   image bytes and the format engine's code bytes (bench/engine_functions.py:
#     the functions the print/ objects define, measured in the image's map)
#   guest instructions per text line, engine against the C library's snprintf:
#     the engine's from the real image on the emulated machine (sinksim
#     --count-in those functions, scenarios/bench/engine_lines.json, one
#     report per line), snprintf's from format_bench under qemu-i386
#     (bench/count_instructions.py); the module's lines must be snprintf's texts
#   deepest stack of each report kind on the emulated machine (exact figures)
#   the emulated machine's reports per second (tools/bench_sinksim.sh)
# Usage: bench/run_bench.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

python3 "$root/bench/engine_functions.py" "$build/firmware" > "$out/engine.ranges"
python3 "$root/bench/count_instructions.py" "$build/host32/bench/format_bench" > "$out/lines.tsv"
"$build/host64/tools/sinksim" run "$root/scenarios/bench/engine_lines.json" --json --quiet \
  --count-in "$out/engine.ranges" > "$out/lines.json"
"$build/host64/tools/sinksim" run "$root/scenarios/bench/stack_paths.json" --json --quiet > "$out/stack.json"
bash "$root/tools/bench_sinksim.sh" "$build" > "$out/speed.txt"

python3 - "$build/firmware" "$out" "$root/scenarios/bench" <<'PY'
import json, os, re, sys
firmware, out, scenarios = sys.argv[1:4]

image = os.path.getsize(os.path.join(firmware, "StatusSinkPei.efi"))
engine = 0
for line in open(os.path.join(out, "engine.ranges")):
    start, end = line.split()[:2]
    engine += int(end, 16) - int(start, 16)

# Per line: snprintf's count and text, and the engine copy's count outside the image (format_bench).
bench = {}
for line in open(os.path.join(out, "lines.tsv")):
    name, copy, theirs, text = line.rstrip("\n").split("\t")
    bench[name] = (int(copy), int(theirs), bytes.fromhex(text).decode("latin-1"))
# The image's engine per line: one report per line, named by its note.
lines = json.load(open(os.path.join(out, "lines.json")))
notes = [r.get("note", "") for r in json.load(open(os.path.join(scenarios, "engine_lines.json")))["reports"]]
delivered = [notes[report["source"]] for report in lines["reports"]]
if sorted(delivered) != sorted(bench):
    sys.exit(f"make bench: engine_lines.json's reports {delivered} are not format_bench's lines {sorted(bench)}")
in_image = {notes[r["source"]]: sum(r["range_instructions"]) for r in lines["reports"]}
# The module's text must be snprintf's, line for line, on every output.
expected = "".join(bench[name][2] for name in delivered)
for output, text in (("legacy serial port", lines["serial"]), ("memory-mapped serial", lines["mmio_serial"]),
                     ("memory log", lines["memory_log"]["text"])):
    if text != expected:
        sys.exit(f"make bench: the module's lines on the {output} are not snprintf's:\n"
                 f"  module   {text!r}\n  snprintf {expected!r}")

rows = []
rows.append(("image bytes", f"{image:,}", "<= 8,192", image <= 8192))
rows.append(("format engine code bytes", f"{engine:,}", "", None))
copies = []
for name in delivered:
    ours, (copy, theirs, _) = in_image[name], bench[name]
    ratio = ours / theirs
    rows.append((f"instructions: {name}", f"{ours:,} / {theirs:,} = {ratio:.2f}", "<= 0.50", ratio <= 0.5))
    copies.append(f"{name} {copy:,}")
run = json.load(open(os.path.join(out, "stack.json")))
notes = [r.get("note", "") for r in json.load(open(os.path.join(scenarios, "stack_paths.json")))["reports"]]
for report in run["reports"]:
    deepest = max(report["stack_bytes"])
    rows.append((f"stack: {notes[report['source']]}", f"{deepest} bytes", "<= 512", deepest <= 512))
speed = open(os.path.join(out, "speed.txt")).read()
wall = int(re.search(r"(\d+) reports/s", speed).group(1))
cpu = int(re.search(r"(\d+) reports per processor second", speed).group(1))
rows.append(("emulator, 10,000 reports, wall clock", f"{wall:,} reports/s", ">= 25,000", wall >= 25000))
rows.append(("emulator, 10,000 reports, processor time", f"{cpu:,} reports/s", ">= 25,000", cpu >= 25000))

width = max(len(r[0]) for r in rows)
value_width = max(len(r[1]) for r in rows)
print(f"{'figure':{width}}  {'measured':>{value_width}}  target")
for name, value, target, met in rows:
    mark = "" if met is None else ("  ok" if met else "  NOT MET")
    print(f"{name:{width}}  {value:>{value_width}}  {target}{mark}")
print("(instructions: engine / snprintf = ratio, guest instructions per line: the engine's functions in the"
      " image on the emulated machine, snprintf in format_bench under qemu-i386; stack: deepest of the"
      " report's handler calls, return address and arguments included; emulator: best of three runs,"
      " the wall clock counts whatever else the machine runs, processor time only sinksim's own)")
print("(the engine compiled apart in format_bench, every flag path kept: " + ", ".join(copies) + ")")
PY
