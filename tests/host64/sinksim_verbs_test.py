#!/usr/bin/python3
"""sinksim's command line for what ships: the default run is the volume in
place; a volume mapped at another base is refused; the memory log window
written by `run --dump-log` reads back through `log` (alone and inside a
larger memory dump) as the run saw it; a corrupt header is flagged; and
`postcode` names codes."""
import json
import os
import subprocess
import sys
import tempfile

SINKSIM, SCENARIOS = sys.argv[1], sys.argv[2]
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def sinksim(*args):
    return subprocess.run([SINKSIM, *args], capture_output=True)


default = sinksim("run")
text = default.stdout.decode("latin-1")
check(default.returncode == 0 and "run in place" in text and "nothing relocated" in text,
      "sinksim run runs the build's volume in place")
moved = sinksim("run", "--fv-base", "0xFF000000")
check(moved.returncode == 1 and b"rebased for a volume at" in moved.stderr, "a volume mapped elsewhere is refused")

with tempfile.TemporaryDirectory() as work:
    for name in ("memory_log_wrap.json", "boot.json"):
        dump = os.path.join(work, name + ".log")
        run = sinksim("run", os.path.join(SCENARIOS, name), "--json", "--dump-log", dump)
        check(run.returncode == 0 and os.path.getsize(dump) == 0x10000, f"{name}: run writes the 64 KiB window")
        seen = json.loads(run.stdout.decode("utf-8"))["memory_log"]
        read = sinksim("log", dump, "--json")
        got = json.loads(read.stdout.decode("utf-8"))
        check(read.returncode == 0 and got["header"] == seen["header"], f"{name}: log reads the header back")
        check(got["text"] == seen["text"].replace("\0", "") and got["text"] != "",
              f"{name}: log reads the text back oldest first ({len(got['text'])} characters)")
        # The same window inside a dump of physical memory from 0.
        big = os.path.join(work, name + ".mem")
        with open(dump, "rb") as f, open(big, "wb") as out:
            out.write(b"\xAA" * 0x70000 + f.read() + b"\x55" * 0x1000)
        again = sinksim("log", big, "--offset", "0x70000", "--json")
        check(again.returncode == 0 and json.loads(again.stdout.decode("utf-8")) == got,
              f"{name}: the window at offset 0x70000 of a larger dump reads the same")
    corrupt = os.path.join(work, "corrupt.log")
    with open(corrupt, "wb") as f:
        f.write((0x00050002).to_bytes(4, "little") + b"text" + b"\0" * (0x10000 - 8))
    bad = sinksim("log", corrupt)
    check(bad.returncode == 1 and b"warning: corrupt header" in bad.stdout, "a corrupt header is flagged")
    short = sinksim("log", corrupt, "--offset", "16")
    check(short.returncode == 1 and b"does not fit" in short.stderr, "a window running past the dump is refused")

codes = sinksim("postcode", "0x0184", "F2", "0x0C2A")
lines = codes.stdout.decode().splitlines()
check(codes.returncode == 0 and lines[0].startswith("0184  module with base code 0x84 begins: one of 8 modules"),
      "postcode names a module code with every module of its base")
check(any(l.startswith("00F2  status code value 0x03028001") for l in lines), "postcode names a value-table code")
check(any(l.startswith("0C2A  module with base code 0x2A nested level begins") for l in lines),
      "postcode names a nested level")
unknown = sinksim("postcode", "0x00EE")
check(unknown.returncode == 1 and b"not a code this module writes" in unknown.stdout, "postcode says when nothing writes a code")
sys.exit(1 if failures else 0)
