#!/usr/bin/env bash
# Benchmark (not a test): the emulated machine's speed in reports per second
# on a 10,000-report scenario with its JSON document written, best of three
# runs: by the wall clock, and by the processor time sinksim itself used
# (user and system), which other work on a shared machine does not inflate.
#   tools/bench_sinksim.sh [BUILD_DIR]
set -eu
build=${1:-build}
sinksim="$build/host64/tools/sinksim"
scenario="$(dirname "$0")/../scenarios/bench/reports_10000.json"
python3 - "$sinksim" "$scenario" <<'PY'
import json, resource, subprocess, sys, tempfile, time
sinksim, scenario = sys.argv[1:3]
best_wall = best_cpu = None
with tempfile.TemporaryFile() as out:
    for run in range(3):
        out.seek(0)
        out.truncate()
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run([sinksim, "run", scenario, "--json", "--quiet"], stdout=out, check=True)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best_wall = wall if best_wall is None else min(best_wall, wall)
        best_cpu = cpu if best_cpu is None else min(best_cpu, cpu)
    out.seek(0)
    stats = json.load(out)["stats"]
reports, instructions = stats["reports_delivered"], stats["instructions"]
print(f"sinksim: {reports} reports, {instructions} guest instructions (best of 3): "
      f"wall {best_wall * 1000:.0f} ms, {reports / best_wall:.0f} reports/s; "
      f"processor {best_cpu * 1000:.0f} ms, {reports / best_cpu:.0f} reports per processor second")
PY
