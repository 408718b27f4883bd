#!/usr/bin/env python3
"""Counts the guest instructions of each line of format_bench, engine and
snprintf alike, with one counter: qemu-i386 runs the program with one
instruction per translation block and logs every block it executes, so the
number of log lines between two executions of BenchMark is the number of
instructions executed in between. Works on kernels with and without 32-bit
program support. Prints one line per text line: name, engine, snprintf."""
import re
import subprocess
import sys
import tempfile

def main():
    bench = sys.argv[1]
    nm = subprocess.run(["nm", bench], check=True, capture_output=True, text=True).stdout
    marks = [int(line.split()[0], 16) for line in nm.splitlines() if line.endswith(" BenchMark")]
    if len(marks) != 1:
        sys.exit("count_instructions: BenchMark not found in " + bench)
    mark = marks[0]
    with tempfile.NamedTemporaryFile(suffix=".log") as log:
        run = subprocess.run(["qemu-i386", "-singlestep", "-d", "exec,nochain", "-D", log.name, bench],
                             capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit("count_instructions: format_bench failed:\n" + run.stdout + run.stderr)
        names = re.findall(r"^line (.*)$", run.stdout, re.M)
        # "Trace 0: 0x7f... [00000000/08049170/..." : the guest address is the second field.
        trace = re.compile(r"^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/")
        counts, executed = [], None
        with open(log.name) as lines:
            for line in lines:
                m = trace.match(line)
                if not m:
                    continue
                if int(m.group(1), 16) == mark:
                    if executed is not None:
                        counts.append(executed)
                    executed = 0
                elif executed is not None:
                    executed += 1
    # counts: harness alone (twice: its Ours and Theirs), then Ours, Theirs per line.
    if len(counts) != 2 * (len(names) + 1):
        sys.exit(f"count_instructions: {len(counts)} marks for {len(names)} lines")
    harness = counts[0]

    for k, name in enumerate(names):
        print(f"{name}\t{counts[2 * k + 2] - harness}\t{counts[2 * k + 3] - harness}")

if __name__ == "__main__":
    main()
