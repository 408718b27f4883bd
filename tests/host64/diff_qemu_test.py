#!/usr/bin/python3
"""`sinksim diff` with QEMU's PC on one side or both. The default scenario on
QEMU against itself is empty; a saved `sinksim qemu --json` document (which
names its machine "qemu") against the same scenario on the emulated machine
differs in nothing QEMU can measure, and leaves out what it cannot (the
memory-mapped serial controller, instructions and stack); and a line changed
in the scenario is still found on QEMU, once per output that shows it,
unplaced since QEMU's document does not say what each report wrote."""
import copy
import json
import os
import subprocess
import sys
import tempfile

SINKSIM, SCENARIOS = sys.argv[1], sys.argv[2]
EXIT_OVER_BUDGET = 4
CHANGES = ("reports", "postcodes", "outputs", "halt", "new_faults", "gone_faults", "totals")
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def diff_json(*args):
    run = subprocess.run([SINKSIM, "diff", *args, "--json"], capture_output=True)
    return run.returncode, (json.loads(run.stdout) if run.stdout else None), run.stderr.decode()


boot = os.path.join(SCENARIOS, "boot.json")
with tempfile.TemporaryDirectory() as work:
    saved = os.path.join(work, "qemu.json")
    with open(saved, "wb") as f:
        run = subprocess.run([SINKSIM, "qemu", boot, "--json"], stdout=f)
    with open(saved) as f:
        document = json.load(f)
    check(run.returncode == 0 and document["machine"] == "qemu", f"sinksim qemu --json names its machine ({document['machine']!r})")

    status, doc, err = diff_json("--qemu", boot, boot)
    check(status == 0 and doc and all(doc[k] == [] for k in CHANGES) and not doc["breached"],
          f"diff --qemu of the default scenario against itself: empty, exit 0 ({status} {err.strip()})")

    for a, b in ((saved, boot), (boot, saved)):
        status, doc, err = diff_json(a, b)
        check(status == 0 and doc and all(doc[k] == [] for k in CHANGES)
              and [n.split(":")[0] for n in doc["not_compared"]] == ["mmio_serial"],
              f"diff {os.path.basename(a)} {os.path.basename(b)}: QEMU against the emulated machine differs in nothing "
              f"QEMU measures, mmio_serial left out ({status} {err.strip()} {doc and doc['not_compared']})")

    with open(boot) as f:
        planted = json.load(f)
    board = next(r for r in planted["reports"] if "Board id %d" in json.dumps(r))
    board["data"]["format"] = board["data"]["format"].replace("Board id", "Board ID")
    planted_path = os.path.join(work, "planted.json")
    with open(planted_path, "w") as f:
        json.dump(planted, f)
    status, doc, err = diff_json(saved, planted_path)
    hunks = {o["output"]: [(h["report_a"], h["report_b"], [l for l in h["lines"] if l[0] != " "]) for h in o["hunks"]]
             for o in doc["outputs"]} if doc else {}
    text = next((b["breaches"] for b in doc["budget"] if b["name"] == "text"), []) if doc else []
    check(status == EXIT_OVER_BUDGET and set(hunks) == {"serial", "memory_log"}
          and all(len(h) == 1 and h[0][:2] == (None, None) and h[0][2] == ["-Board id 7, fab C, dual channel DDR4",
                                                                              "+Board ID 7, fab C, dual channel DDR4"]
                  for h in hunks.values())
          and len(text) == 2 and doc["postcodes"] == [],
          f"a line changed, QEMU against the emulated machine: one unplaced hunk per output QEMU shows, one text "
          f"breach each ({status} {err.strip()} {hunks} {text})")

print(f"{len(failures)} failures" if failures else "all passed")
sys.exit(1 if failures else 0)
