#!/usr/bin/env bash
# make bench: one table of the module's figures, on either kind of kernel.
#   image bytes and the format engine's code bytes (from the linker map)
#   guest instructions per text line, engine against the C library's snprintf
#     (both counted by bench/count_instructions.py under qemu-i386)
#   deepest stack of each report kind on the emulated machine (exact figures)
#   the emulated machine's reports per second (tools/bench_sinksim.sh)
# Usage: bench/run_bench.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

python3 "$root/bench/count_instructions.py" "$build/host32/bench/format_bench" > "$out/lines.tsv"
"$build/host64/tools/sinksim" run "$root/scenarios/bench/stack_paths.json" --json --quiet > "$out/stack.json"
bash "$root/tools/bench_sinksim.sh" "$build" > "$out/speed.txt"
nm_tool=$(command -v llvm-nm-14 || command -v llvm-nm)

python3 - "$build/firmware" "$out" "$nm_tool" "$root/scenarios/bench/stack_paths.json" <<'PY'
import glob, json, os, re, subprocess, sys
firmware, out, nm_tool, scenario = sys.argv[1:5]

image = os.path.getsize(os.path.join(firmware, "StatusSinkPei.efi"))
# The engine's functions: those the print/ objects define (bitcode with LTO),
# measured in the image from the map, each up to the next symbol.
engine_names = set()
for obj in glob.glob(os.path.join(firmware, "obj", "print_*.obj")):
    listing = subprocess.run([nm_tool, "--defined-only", obj], check=True, capture_output=True, text=True).stdout
    engine_names |= {line.split()[-1] for line in listing.splitlines() if line.split()[-2:-1] in (["T"], ["t"])}
symbols = []
for line in open(os.path.join(firmware, "StatusSinkPei.map")):
    m = re.match(r"\s*0001:[0-9a-f]+\s+(\S+)\s+([0-9a-f]+)\s", line)
    if m:
        symbols.append((int(m.group(2), 16), m.group(1)))
text_end = None
for line in subprocess.run(["llvm-objdump-14", "-h", os.path.join(firmware, "StatusSinkPei.efi")],
                           capture_output=True, text=True).stdout.splitlines():
    f = line.split()
    if len(f) >= 4 and f[1] == ".text":
        text_end = int(f[3], 16) + int(f[2], 16)
symbols.sort()
engine = 0
for k, (address, name) in enumerate(symbols):
    end = symbols[k + 1][0] if k + 1 < len(symbols) else text_end
    if name in engine_names:
        engine += end - address

rows = []
rows.append(("image bytes", f"{image:,}", "<= 8,192", image <= 8192))
rows.append(("format engine code bytes", f"{engine:,}", "", None))
for line in open(os.path.join(out, "lines.tsv")):
    name, ours, theirs = line.rstrip("\n").split("\t")
    ratio = int(ours) / int(theirs)
    rows.append((f"instructions: {name}", f"{int(ours):,} / {int(theirs):,} = {ratio:.2f}", "<= 0.50", ratio <= 0.5))
run = json.load(open(os.path.join(out, "stack.json")))
notes = [r.get("note", "") for r in json.load(open(scenario))["reports"]]
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
print("(instructions: engine / snprintf = ratio, guest instructions per line; stack: deepest of the"
      " report's handler calls, return address and arguments included; emulator: best of three runs,"
      " the wall clock counts whatever else the machine runs, processor time only sinksim's own)")
PY
