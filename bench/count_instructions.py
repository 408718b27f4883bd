#!/usr/bin/env python3
"""Counts the guest instructions of each line of format_bench, engine and
snprintf alike, with one counter: qemu-i386 runs the program with one
instruction per translation block and logs every block it executes, so the
number of log lines between two executions of BenchMark is the number of
instructions executed in between. Works on kernels with and without 32-bit
program support. Prints one line per text line, tab-separated: name,
engine, snprintf, and snprintf's text in hexadecimal.

With --profile NAME it prints, for the engine's side of the first line whose
name contains NAME, where the instructions went: per function, then per
source line (the harness's call and return included), to show what a change
to the engine has to beat."""
import bisect
import collections
import re
import subprocess
import sys
import tempfile

def profile(bench, addresses, title):
    """Guest instructions by function and by source line, most first."""
    nm = subprocess.run(["nm", "-C", bench], check=True, capture_output=True, text=True).stdout
    symbols = sorted((int(f[0], 16), f[2]) for f in (line.split(None, 2) for line in nm.splitlines())
                     if len(f) == 3 and f[1] in "tTwW")
    starts = [address for address, _ in symbols]
    by_function = collections.Counter()
    for address, executed in addresses.items():
        place = bisect.bisect_right(starts, address) - 1
        by_function[symbols[place][1] if place >= 0 else "?"] += executed
    where = sorted(addresses)
    sources = subprocess.run(["addr2line", "-e", bench] + [hex(a) for a in where],
                             check=True, capture_output=True, text=True).stdout.splitlines()
    by_line = collections.Counter()
    for address, source in zip(where, sources):
        by_line[source.split("/")[-1].split(" ")[0]] += addresses[address]
    print(f"{title}: {sum(addresses.values())} guest instructions")
    for name, executed in by_function.most_common():
        print(f"{executed:8d}  {name}")
    print("by source line:")
    for name, executed in by_line.most_common():
        print(f"{executed:8d}  {name}")

def main():
    args = sys.argv[1:]
    wanted = None
    if "--profile" in args:
        at = args.index("--profile")
        wanted = args[at + 1]
        del args[at:at + 2]
    bench = args[0]
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
        texts = re.findall(r"^  theirs in hexadecimal ([0-9a-f]*)$", run.stdout, re.M)
        if len(texts) != len(names):
            sys.exit(f"count_instructions: {len(texts)} texts shown for {len(names)} lines")
        # "Trace 0: 0x7f... [00000000/08049170/..." : the guest address is the second field.
        trace = re.compile(r"^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/")
        counts, executed = [], None
        # Per address, the blocks of every counted call: segment k is the
        # call between the k-th and the (k+1)-th mark.
        segments = []
        with open(log.name) as lines:
            for line in lines:
                m = trace.match(line)
                if not m:
                    continue
                address = int(m.group(1), 16)
                if address == mark:
                    if executed is not None:
                        counts.append(executed)
                    executed = 0
                    segments.append(collections.Counter())
                elif executed is not None:
                    executed += 1
                    if wanted is not None:
                        segments[-1][address] += 1
    # counts: harness alone (twice: its Ours and Theirs), then Ours, Theirs per line.
    if len(counts) != 2 * (len(names) + 1):
        sys.exit(f"count_instructions: {len(counts)} marks for {len(names)} lines")
    harness = counts[0]

    if wanted is not None:
        chosen = [k for k, name in enumerate(names) if wanted in name]
        if not chosen:
            sys.exit(f"count_instructions: no line named like {wanted!r}")
        profile(bench, segments[2 * chosen[0] + 2], f"engine, {names[chosen[0]]} (harness {harness})")
        return
    for k, name in enumerate(names):
        print(f"{name}\t{counts[2 * k + 2] - harness}\t{counts[2 * k + 3] - harness}\t{texts[k]}")

if __name__ == "__main__":
    main()
