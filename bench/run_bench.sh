#!/usr/bin/env bash
# Runs format_bench under callgrind and prints, for each line, the engine's
# and snprintf's instructions per line and their ratio.
# Usage: bench/run_bench.sh BUILD/host32/bench/format_bench
set -euo pipefail
bench=${1:?path to format_bench}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" "$bench"
callgrind_annotate --inclusive=yes --threshold=100 "$out/callgrind.out" >"$out/annotated.txt"
iterations=$("$bench" | sed -n 's/^iterations \([0-9]*\).*/\1/p')
python3 - "$out/annotated.txt" "$iterations" <<'PY'
import re, sys
counts = {}
for line in open(sys.argv[1]):
    m = re.match(r'\s*([\d,]+)\s+\([^)]*\)\s+\S*:\(anonymous namespace\)::(Ours|Theirs)(\w+)\(', line)
    if m:
        counts.setdefault(m.group(3), {})[m.group(2)] = int(m.group(1).replace(',', ''))
iterations = int(sys.argv[2])
print(f"{'line':28} {'engine':>8} {'snprintf':>9} {'ratio':>6}   (instructions per line)")
for name, pair in counts.items():
    ours, theirs = pair['Ours'] / iterations, pair['Theirs'] / iterations
    print(f"{name:28} {ours:8.0f} {theirs:9.0f} {ours / theirs:6.2f}")
PY
