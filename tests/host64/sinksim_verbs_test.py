#!/usr/bin/python3
"""sinksim's command line for what ships: the default run is the volume in
place; a volume mapped at another base is refused; the memory log window
written by `run --dump-log` reads back through `log` (alone and inside a
larger memory dump) as the run saw it; a corrupt header is flagged;
`postcode` names codes; and every verb exits 0 clean, 1 bad input, 2 halted
as designed (blink loop), 3 a call stopped or faulted."""
import json
import os
import subprocess
import sys
import tempfile

SINKSIM, SCENARIOS, IMAGE = sys.argv[1], sys.argv[2], sys.argv[3]
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
check(moved.returncode == 1 and b"but was rebased for" in moved.stderr, "a volume mapped elsewhere is refused")

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
    for offset, says in (("010", b"leading zero"), ("-1", b"is not a number"), ("+0", b"is not a number"),
                         ("0x", b"is not a number"), ("", b"is empty"), ("0x10000000000000000", b"is too large")):
        refused = sinksim("log", corrupt, "--offset", offset)
        check(refused.returncode == 1 and says in refused.stderr, f"log --offset '{offset}' is refused: {refused.stderr[:120]}")

# The format engine's instructions per line, counted apart in the image
# (make bench): the functions the print objects define, from the map.
ranges = subprocess.run([sys.executable, os.path.join(SCENARIOS, "..", "bench", "engine_functions.py"),
                         os.path.dirname(IMAGE)], capture_output=True, text=True)
with tempfile.NamedTemporaryFile("w", suffix=".ranges") as listed:
    listed.write(ranges.stdout)
    listed.flush()
    lines = os.path.join(SCENARIOS, "bench", "engine_lines.json")
    figures = []
    for where in ([], [], ["--image", IMAGE]):  # in place twice, then relocated
        run = sinksim("run", lines, "--json", "--quiet", "--count-in", listed.name, *where)
        reports = json.loads(run.stdout)["reports"] if run.returncode == 0 else []
        figures.append([(sum(r["range_instructions"]), sum(r["instructions"])) for r in reports])
    check(len(figures[0]) == 5 and all(0 < engine < total for engine, total in figures[0]),
          f"each bench line spends some but not all of its instructions in the engine: {figures[0]} {ranges.stderr}")
    check(figures[1] == figures[0] and figures[2] == figures[0],
          "the engine's figures are the same again, and the same in place and relocated")
    shown = sinksim("run", lines, "--count-in", listed.name).stdout
    check(b"in count ranges" in shown and b"count ranges: " in shown, "the text view shows the counts too")

# postcode: every code the module can write is named (exit 0), including the
# other words of a blink cycle; a code nothing writes exits 1; a number is
# read as strictly as in scenarios (hexadecimal, one optional 0x).
postcode_rows = [
    (["0x0184", "F2", "0x0C2A"], 0, ["0184  module with base code 0x84 begins: one of 8 modules",
                                     "00F2  status code value 0x03028001",
                                     "0C2A  module with base code 0x2A nested level begins"]),
    (["8400"], 0, ["word 2 of the blink cycle", "0x0184, 0x0284 or 0x0C84"]),
    (["0000"], 0, ["word 3 of every blink cycle"]),
    (["0001"], 0, ["word 4 of the blink cycle", "any of the 51 codes 0x01XX"]),
    (["F200"], 0, ["word 2 of the blink cycle", "0x00F2"]),
    (["0x00EE"], 1, ["00EE  not a code this module writes"]),
    (["FFFF"], 1, ["FFFF  not a code this module writes", "not flags the module sets"]),
    (["10000"], 1, ["not a code this module writes", "wider than a 16-bit POST code"]),
    (["0021"], 1, ["not a code this module writes", "written only with a flag"]),
    (["+F2"], 1, ["POST code '+F2' is not a number"]),
    ([" F2"], 1, ["POST code ' F2' is not a number"]),
    (["0x0x184"], 1, ["POST code '0x0x184' is not a number"]),
]
for args, status, says in postcode_rows:
    done = sinksim("postcode", *args)
    out = (done.stdout + done.stderr).decode()
    missing = [s for s in says if s not in out]
    check(done.returncode == status and not missing, f"postcode {' '.join(args)}: exit {done.returncode} (want {status}), missing {missing}")

# Exit status of every verb, and the message for each kind of bad input.
with tempfile.TemporaryDirectory() as work:
    def scenario(name, text):
        path = os.path.join(work, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    budget = scenario("budget.json", '{"limits": {"instructions_per_call": 100},'
                      ' "reports": [{"type": "0x90000002", "value": "0x03028004"}]}')
    blink_budget = scenario("blink_budget.json", '{"limits": {"instructions_per_call": 1000},'
                            ' "reports": [{"type": "0x90000002", "value": "0x03020002",'
                            ' "data": {"kind": "specific", "module": "RecoveryModulePei"}}]}')
    deep = scenario("deep.json", '{"reports": [{"type": 1, "value": 1, "note": ' + "[" * 100000 + "]" * 100000 + "}]}")
    overflow = scenario("overflow.json", '{"reports": [{"type": 1e400, "value": 1}]}')
    endless = scenario("endless.json", '{"limits": {"instructions_per_call": "0xFFFFFFFFFFFFFFFF",'
                       ' "blink_writes": "0xFFFFFFFFFFFFFFFF"}, "reports": []}')
    repeated = scenario("repeated.json", '{"reports": [{"type": 1, "value": "0x03021001", "repeat": 10000000}]}')
    # The image with a malformed map beside it: the map only names symbols.
    image = os.path.join(work, "StatusSinkPei.efi")
    with open(IMAGE, "rb") as src, open(image, "wb") as dst:
        dst.write(src.read())
    with open(os.path.join(work, "StatusSinkPei.map"), "w") as f:
        f.write(" Preferred load address is 0000000000400000\n"
                " 0001:000010cb       _ModuleEntry      99999999999999999999999     x.obj\n"
                " 0001:zz\n\x00\xff garbage\n")
    minimal = os.path.join(SCENARIOS, "minimal.json")
    # Files no reader may take whole: a FIFO (nobody writes it: a reader that opens it waits for ever),
    # and sparse files larger than each kind's cap (the size is checked before anything is read).
    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)

    def sparse(size, name=None):
        path = os.path.join(work, name or f"sparse{size}")
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def image_beside(directory, make_map):
        os.mkdir(os.path.join(work, directory))
        path = os.path.join(work, directory, "StatusSinkPei.efi")
        with open(IMAGE, "rb") as src, open(path, "wb") as dst:
            dst.write(src.read())
        make_map(os.path.join(work, directory, "StatusSinkPei.map"))
        return path

    huge_map_image = image_beside("hugemap", lambda p: open(p, "wb").truncate(3 << 30))
    fifo_map_image = image_beside("fifomap", os.mkfifo)
    # Count ranges: one that splits the entry point's first block, and files that cannot be read.
    entry = json.loads(sinksim("run", minimal, "--json").stdout)["image"]
    entry_rva = entry["entry"] - entry["base"]
    split = scenario("split.ranges", f"# comment\n{entry_rva + 1:#x} {entry_rva + 2:#x} inside\n")
    no_end = scenario("no_end.ranges", "0x100\n")
    not_hex = scenario("not_hex.ranges", "0x100 0x1zz\n")
    empty = scenario("empty.ranges", "# nothing\n")
    cases = [
        ("clean run", ["run", minimal], 0, b""),
        ("count range inside a block", ["run", minimal, "--count-in", split], 1, b"do not fall on basic block edges"),
        ("count range without its end", ["run", minimal, "--count-in", no_end], 1, b"no_end.ranges:1: expected START END"),
        ("count range not hexadecimal", ["run", minimal, "--count-in", not_hex], 1, b"the end offset is not"),
        ("no count range", ["run", minimal, "--count-in", empty], 1, b"no count range in it"),
        ("blink loop", ["run", os.path.join(SCENARIOS, "blink.json")], 2, b""),
        ("blink loop, JSON", ["run", os.path.join(SCENARIOS, "blink.json"), "--json", "--quiet"], 2, b""),
        ("instruction budget", ["run", budget], 3, b""),
        ("budget before the blink", ["run", blink_budget], 3, b""),
        ("check of good files", ["check", os.path.join(SCENARIOS, "boot.json"), repeated], 0, b""),
        ("nested 100,000 deep", ["check", deep], 1, b"nested deeper than 64 levels"),
        ("number beyond a double", ["check", overflow], 1, b"report 0: field 'type'"),
        ("limits without end", ["check", endless], 1, b"the bounds that keep every run finite"),
        ("/dev/zero as a scenario", ["check", "/dev/zero"], 1, b"/dev/zero: is not a regular file"),
        ("a FIFO as a scenario", ["check", fifo], 1, b"fifo: is not a regular file"),
        ("a scenario over its cap", ["check", sparse(17 << 20)], 1, b"larger than 16 MiB"),
        ("a directory as a scenario", ["run", work], 1, b"is a directory"),
        ("a directory as --image", ["run", "--image", work], 1, b"is a directory; the image must be a regular file"),
        ("a directory as a dump", ["log", work], 1, b"is a directory; the memory dump must be a regular file"),
        ("a directory as a volume", ["run", "--fv", work], 1, b"is a directory; the firmware volume must be"),
        ("a FIFO as --fv", ["run", "--fv", fifo], 1, b"fifo: is not a regular file"),
        ("a FIFO as --image", ["run", "--image", fifo], 1, b"fifo: is not a regular file"),
        ("a FIFO as count ranges", ["run", minimal, "--count-in", fifo], 1, b"fifo: is not a regular file"),
        ("a FIFO as a dump", ["log", fifo], 1, b"fifo: is not a regular file"),
        ("a FIFO as the volume of the fault matrix", ["faults", "--fv", fifo], 1, b"fifo: is not a regular file"),
        ("/dev/zero as --image", ["run", "--image", "/dev/zero"], 1, b"/dev/zero: is not a regular file"),
        ("an image over its cap", ["run", "--image", sparse(17 << 20)], 1, b"the image may have at most 16777216"),
        ("a volume over its cap", ["run", "--fv", sparse(17 << 20)], 1, b"the firmware volume may have at most"),
        ("count ranges over their cap", ["run", minimal, "--count-in", sparse(104 << 20)], 1,
         b"the count range list may have at most 1048576"),
        ("a volume off a page", ["run", "--fv-base", "0xFFFE0010"], 1, b"is not whole 4 KiB pages"),
        ("a volume over the PEI core page", ["run", "--fv-base", "0xFFFF0000"], 1, b"lies outside the flash both"),
        ("QEMU: a volume in low memory, refused before a ROM is built", ["qemu", "--fv-base", "0x100000"], 1,
         b"lies outside the flash both machines map"),
        ("a map of 3 GiB beside the image", ["run", "--image", huge_map_image, minimal], 0,
         b"the linker map may have at most 16777216 (16 MiB); no symbol names"),
        ("a FIFO as the map beside the image", ["run", "--image", fifo_map_image, minimal], 0,
         b"is not a regular file (a FIFO, socket or device); the linker map must be one; no symbol names"),
        ("an unknown option", ["run", "--no-such-option"], 1, b"--no-such-option"),
        ("no verb", [], 1, b"A subcommand is required"),
        ("a verb without its argument", ["check"], 1, b"files is required"),
        ("a bad option value", ["qemu", "--time-limit", "soon"], 1, b"soon"),
        ("help", ["--help"], 0, b""),
        ("malformed map beside the image", ["run", "--image", image, os.path.join(SCENARIOS, "minimal.json")], 0,
         b"warning: " + image[:-4].encode() + b".map: 1 symbol lines cannot be read"),
    ]
    for what, args, status, says in cases:
        done = subprocess.run([SINKSIM, *args], capture_output=True, timeout=60)
        check(done.returncode == status and says in done.stderr,
              f"{what}: exit {done.returncode} (want {status}){'' if says in done.stderr else ', stderr: ' + done.stderr.decode('latin-1')[:200]}")
    helped = sinksim("--help").stdout
    check(b"Exit status" in helped and b"2  the module halted as designed" in helped, "--help lists the exit statuses")
sys.exit(1 if failures else 0)
