#!/usr/bin/python3
"""sinksim coverage against the emulator's own instruction counts: for each
scenario, a function of the image has blocks reached exactly when
`sinksim run --count-in` (the function ranges of the block map) counts
instructions in it; the blocks reached by several scenarios are the union of
each one's; the lcov trace file agrees with the table (a function is hit when
its first block is) and names source files that exist; lcov itself reads it.
The block map tiles the code with blocks that start every function."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SINKSIM, SCENARIOS, BLOCK_MAP = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


functions = []  # (start, end, name)
block_starts = []
for line in open(BLOCK_MAP):
    fields = line.split()
    if fields and fields[0] == "function":
        functions.append((int(fields[1], 16), int(fields[2], 16), fields[3]))
    elif fields and fields[0] == "block":
        block_starts.append(int(fields[1], 16))
check(all(start in set(block_starts) for start, _, _ in functions), "every function starts a block")
check(len(functions) >= 10 and len(block_starts) > 100,
      f"the block map has the image's functions and blocks ({len(functions)} functions, {len(block_starts)} blocks)")


def coverage(*scenarios, lcov=None):
    args = [SINKSIM, "coverage", *scenarios] + (["--lcov", lcov] if lcov else [])
    run = subprocess.run(args, capture_output=True, text=True)
    check(run.returncode == 0, f"sinksim coverage {' '.join(os.path.basename(s) for s in scenarios)} exits 0")
    table = {}
    missed = set()
    for line in run.stdout.splitlines():
        m = re.match(r"^(\S+)\s+0x([0-9a-f]+)\.\.0x([0-9a-f]+)\s+(\d+)/(\d+)\s", line)
        if m:
            table[m.group(1)] = (int(m.group(4)), int(m.group(5)))
        m = re.match(r"^  (\S+)\s+0x([0-9a-f]+)\.\.0x([0-9a-f]+)\s", line)
        if m:
            missed.add(int(m.group(2), 16))
    return table, missed


with tempfile.TemporaryDirectory() as work:
    names = [name for _, _, name in functions]
    picked = [os.path.join(SCENARIOS, s) for s in ("minimal.json", "line_kinds.json", "postcode_only.json")]
    reached_by = {}
    for scenario in picked:
        table, missed = coverage(scenario)
        reached_by[scenario] = missed
        # Per function: the instructions its range counts over the whole run.
        counted = {}
        for start, end, name in functions:
            ranges = os.path.join(work, name + ".range")
            with open(ranges, "w") as f:
                f.write(f"{start:x} {end:x} {name}\n")
            run = subprocess.run([SINKSIM, "run", scenario, "--json", "--quiet", "--count-in", ranges],
                                 capture_output=True, text=True)
            counted[name] = json.loads(run.stdout)["stats"]["range_instructions"]
        disagree = sorted(name for name in names if (table.get(name, (0, 0))[0] > 0) != (counted[name] > 0))
        check(not disagree and sum(counted.values()) > 0,
              f"{os.path.basename(scenario)}: blocks reached exactly in the functions whose range counts instructions "
              f"(disagree: {disagree})")
        check(set(table) == set(names) and all(0 <= r <= t for r, t in table.values()),
              f"{os.path.basename(scenario)}: every function in the table, reached within its blocks")

    lcov = os.path.join(work, "all.info")
    table, missed = coverage(*picked, lcov=lcov)
    union_reached = set(block_starts) - set.intersection(*reached_by.values())
    check(set(block_starts) - missed == union_reached, "blocks reached by several scenarios are the union of each one's")

    records = open(lcov).read().split("end_of_record\n")
    hit_functions = {}
    lines_found = 0
    sources_exist = True
    counts_agree = True
    for record in filter(str.strip, records):
        source = re.search(r"^SF:(.*)$", record, re.M).group(1)
        sources_exist = sources_exist and os.path.isfile(source)
        for count, name in re.findall(r"^FNDA:(\d+),(\S+)$", record, re.M):
            hit_functions[name] = int(count) > 0
        found = len(re.findall(r"^DA:\d+,\d+$", record, re.M))
        counts_agree = counts_agree and int(re.search(r"^LF:(\d+)$", record, re.M).group(1)) == found
        lines_found += found
    check(counts_agree, "each source file's LF counts its DA lines")
    check(sources_exist and lines_found > 100, f"the lcov file names existing sources ({lines_found} lines)")
    first_hit = {name: start not in missed for start, _, name in functions}
    check(all(first_hit[name] == hit for name, hit in hit_functions.items()) and len(hit_functions) >= 10,
          "a function is hit in the lcov file exactly when its first block was reached")
    if shutil.which("lcov"):
        summary = subprocess.run(["lcov", "--summary", lcov], capture_output=True, text=True)
        check(summary.returncode == 0 and "lines" in summary.stdout + summary.stderr, "lcov reads the trace file")

    missing = subprocess.run([SINKSIM, "coverage", os.path.join(SCENARIOS, "minimal.json"), "--fv", lcov],
                             capture_output=True, text=True)
    check(missing.returncode == 1, "a volume that is not one is refused")

if failures:
    sys.exit(f"{len(failures)} failed")
