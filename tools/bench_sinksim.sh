#!/usr/bin/env bash
# Benchmark (not a test): the emulated machine's speed in reports per second
# on a 10,000-report scenario, best of three runs.
#   tools/bench_sinksim.sh [BUILD_DIR]
set -eu
build=${1:-build}
sinksim="$build/host64/tools/sinksim"
scenario="$(dirname "$0")/../scenarios/bench/reports_10000.json"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
best=0
for run in 1 2 3; do
  start=$(date +%s%N)
  "$sinksim" run "$scenario" --json --quiet > "$out"
  ns=$(( $(date +%s%N) - start ))
  if [ "$best" -eq 0 ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
done
read -r reports instructions < <(python3 -c "import json,sys; s=json.load(open(sys.argv[1]))['stats']; print(s['reports_delivered'], s['instructions'])" "$out")
echo "sinksim: $reports reports, $instructions guest instructions in $(( best / 1000000 )) ms (best of 3):" \
     "$(( reports * 1000000000 / best )) reports/s, $(( instructions * 1000 / best )) M instructions/s"
