#!/usr/bin/env python3
"""The board time model over whole runs (sinksim run --timing --json): every
nanosecond of the boot is charged once (the outputs' shares add up to
boot_ns), the calls follow each other without a gap from the entry's start
to the boot's end, each serial line's bursts account for exactly the bytes
it received and never overlap, and a boot takes at least as long as its
serial text takes on the wire (but for the bytes still in the shift register
and the FIFO when the last call returns). Also reads the documents back through
sinksim diff, and refuses bad settings naming the field."""
import json
import math
import os
import subprocess
import sys
import tempfile

SINKSIM, SCENARIOS = sys.argv[1], sys.argv[2]
failures = 0


def check(ok, what):
    global failures
    if not ok:
        failures += 1
        print("FAILED:", what)


def run(*args):
    return subprocess.run([SINKSIM, *args], capture_output=True, text=True)


def calls(doc):
    """Every call in order: (start_ns, time_ns), the entry first."""
    out = [(doc["entry"]["start_ns"], doc["entry"]["time_ns"])]
    for r in doc["reports"]:
        out += list(zip(r["start_ns"], r["time_ns"]))
    return out


def byte_ns(baud):
    return 10 * 10**9 / baud


with tempfile.TemporaryDirectory() as work:
    slow = os.path.join(work, "slow.json")
    board = json.load(open(os.path.join(SCENARIOS, "boot.json")))
    board["platform"]["timing"] = {"clock_hz": 3_000_000_000, "instructions_per_cycle": 2, "io_access_ns": 700,
                                   "uarts": {"serial": {"baud": 9600, "fifo": 1},
                                             "mmio_serial": {"baud": 1_000_000, "fifo": 8}}}
    json.dump(board, open(slow, "w"))
    # Deliveries alike but for their time are kept once: their starts still follow each other.
    repeated = os.path.join(work, "repeated.json")
    json.dump({"reports": [{"type": 1, "value": "0x03020002", "repeat": 50}, {"type": 1, "value": "0x03020003"}]},
              open(repeated, "w"))
    for name in [repeated, "boot.json", "every_module.json", "blink.json", "stuck_legacy.json", "memory_log_wrap.json",
                 "bench/reports_10000.json", slow]:
        path = os.path.join(SCENARIOS, name)
        done = run("run", path, "--timing", "--json", "--quiet")
        if done.returncode not in (0, 2):
            check(False, f"{name}: sinksim run --timing exit {done.returncode}: {done.stderr.strip()}")
            continue
        doc = json.loads(done.stdout)
        t = doc["timing"]
        check(sum(t["output_ns"].values()) == t["boot_ns"], f"{name}: the shares {t['output_ns']} add up to boot_ns {t['boot_ns']}")
        each = calls(doc)
        check(each[0][0] == 0, f"{name}: the entry starts at 0")
        gaps = [i for i in range(1, len(each)) if each[i][0] != each[i - 1][0] + each[i - 1][1]]
        check(not gaps, f"{name}: each call starts where the one before ended (first gap at call {gaps[:1]})")
        check(each[-1][0] + each[-1][1] == t["boot_ns"], f"{name}: the last call ends at boot_ns")
        for key, bursts in t["wire"].items():
            received = doc[key]
            check(sum(b for _, b in bursts) == len(received),
                  f"{name}: {key}'s bursts carry its {len(received)} bytes ({sum(b for _, b in bursts)})")
            ns = byte_ns(t["uarts"][key]["baud"])
            overlaps = [i for i in range(1, len(bursts)) if bursts[i][0] < bursts[i - 1][0] + math.floor(bursts[i - 1][1] * ns)]
            check(not overlaps, f"{name}: {key}'s bursts do not overlap (first at {overlaps[:1]})")
        # The last call may return with the shift register and the FIFO still full: those bytes may
        # go out after the boot's end, every other byte before it.
        serial = t["uarts"]["serial"]
        sent = max(0, len(doc["serial"]) - serial["fifo"] - 1)
        check(t["boot_ns"] >= math.floor(sent * byte_ns(serial["baud"])),
              f"{name}: the boot ({t['boot_ns']} ns) lasts as long as {sent} serial bytes take on the wire")
        print(f"{name}: boot {t['boot_ns']} ns, shares {t['output_ns']}")
    # The document read back: a run with the model against itself compares clean.
    saved = os.path.join(work, "boot_timed.json")
    open(saved, "w").write(run("run", os.path.join(SCENARIOS, "boot.json"), "--timing", "--json").stdout)
    same = run("diff", saved, saved)
    check(same.returncode == 0, f"a timed run document against itself: exit {same.returncode} ({same.stderr.strip()})")
    broken = json.load(open(saved))
    broken["timing"]["output_ns"]["module"] += 1
    json.dump(broken, open(os.path.join(work, "broken.json"), "w"))
    bad = run("diff", os.path.join(work, "broken.json"), saved)
    check(bad.returncode == 1 and "field timing.output_ns adds up to" in bad.stderr, f"shares that do not add up are refused ({bad.stderr.strip()})")

    # Bad settings: the field named, exit 1.
    for field, value, needle in [
        ("clock_hz", 0, "field 'platform.timing.clock_hz': 0 is outside"),
        ("uarts", {"serial": {"baud": 0}}, "field 'platform.timing.uarts.serial.baud': 0 is outside"),
        ("uarts", {"mmio_serial": {"fifo": 0}}, "field 'platform.timing.uarts.mmio_serial.fifo': 0 is outside"),
        ("instructions_per_cycle", 1000, "field 'platform.timing.instructions_per_cycle': 1000 is outside"),
        ("tick", 1, "field 'platform.timing.tick': unknown field"),
    ]:
        board["platform"]["timing"] = {field: value}
        path = os.path.join(work, "bad.json")
        json.dump(board, open(path, "w"))
        for verb in (["run", path], ["check", path]):
            done = run(*verb)
            check(done.returncode == 1 and needle in done.stderr, f"{verb[0]} {field}={value}: exit 1 naming it ({done.stderr.strip()})")

sys.exit(1 if failures else 0)
