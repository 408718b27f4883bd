#!/usr/bin/python3
"""sinksim diff, budgets and JUnit XML. A change planted in a copy of the
default scenario (a line's text, a POST code, a report removed, a report made
costlier) is reported exactly once, at its report, with the exit status its
budget gives; a run compared with itself is empty; bad input is refused
naming the file and field; and the JUnit files of run, faults, check and diff
read clean in an independent reader (junitparser) with the right counts and
failure messages."""
import copy
import json
import os
import subprocess
import sys
import tempfile

from junitparser import Failure, JUnitXml

SINKSIM, SCENARIOS = sys.argv[1], sys.argv[2]
EXIT_OVER_BUDGET = 4
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def sinksim(*args):
    return subprocess.run([SINKSIM, *args], capture_output=True)


def junit_cases(path):
    """(name, failure message or None) of every test case, read by junitparser."""
    cases = []
    for suite in JUnitXml.fromfile(path):
        for case in suite:
            failed = [r for r in case.result if isinstance(r, Failure)]
            cases.append((case.name, failed[0].message if failed else None))
    return cases


def diff_json(a, b, *extra):
    run = sinksim("diff", a, b, "--json", *extra)
    return run.returncode, (json.loads(run.stdout) if run.stdout else None), run.stderr.decode()


with open(os.path.join(SCENARIOS, "boot.json")) as f:
    BOOT = json.load(f)


def report_with(text):
    return next(i for i, r in enumerate(BOOT["reports"]) if text in json.dumps(r))


def planted(change):
    s = copy.deepcopy(BOOT)
    change(s["reports"])
    return s


def set_format(index, old, new):
    def change(reports):
        reports[index]["data"]["format"] = reports[index]["data"]["format"].replace(old, new)
    return change


BOARD = report_with("Board id %d")
PCD_BEGIN = report_with('"PcdPei"')
CPU = report_with("CPU: microcode")

with tempfile.TemporaryDirectory() as work:
    def write(name, doc):
        path = os.path.join(work, name)
        with open(path, "w") as f:
            json.dump(doc, f)
        return path

    boot = os.path.join(SCENARIOS, "boot.json")
    baseline = os.path.join(work, "baseline.json")
    with open(baseline, "wb") as f:
        f.write(sinksim("run", boot, "--json").stdout)
    budget_file = write("budget.json", {"report_instructions": {"percent": 1}})

    # A run against itself, as scenarios and as a saved document: nothing reported.
    for a, b in ((boot, boot), (baseline, boot)):
        status, doc, _ = diff_json(a, b)
        empty = all(doc[k] == [] for k in ("reports", "postcodes", "outputs", "halt", "new_faults", "gone_faults", "totals"))
        check(status == 0 and empty and not doc["breached"], f"diff {os.path.basename(a)} {os.path.basename(b)}: empty, exit 0")
    text = sinksim("diff", boot, boot)
    check(text.returncode == 0 and b"no difference" in text.stdout and b"within the budget" in text.stdout,
          "the text view of an empty comparison says so")

    # Planted changes: (name, change, budget, exit status, report, whether text, POST codes, results differ).
    rows = [
        ("a line's text", set_format(BOARD, "Board id", "Board ID"), None, EXIT_OVER_BUDGET, BOARD, "text"),
        ("a POST code", lambda r: r[PCD_BEGIN]["data"].update(module="BoardDetectPei"), None, EXIT_OVER_BUDGET,
         PCD_BEGIN, "postcodes"),
        ("a report removed", lambda r: r.pop(CPU), None, EXIT_OVER_BUDGET, CPU, "removed"),
        ("two reports swapped", lambda r: r.insert(CPU, r.pop(CPU + 1)), None, EXIT_OVER_BUDGET, CPU, "moved"),
        ("a report made costlier", set_format(CPU, "%d cores", "%1d cores"), None, 0, CPU, "cost"),
        ("a report made costlier, over budget", set_format(CPU, "%d cores", "%1d cores"), budget_file,
         EXIT_OVER_BUDGET, CPU, "cost"),
    ]
    for name, change, budget, status_wanted, at, kind in rows:
        copy_path = write("planted.json", planted(change))
        extra = ["--budget", budget] if budget else []
        status, doc, err = diff_json(boot, copy_path, *extra)
        check(status == status_wanted, f"{name}: exit {status_wanted} (got {status} {err.strip()})")
        if doc is None:
            continue
        reports = doc["reports"]
        # The report the change was planted in, and no other, is listed (a text change may cost more there too).
        at_report = [r for r in reports if (r["index_a"] if r["index_a"] is not None else r["index_b"]) == at]
        if kind == "text":
            hunks = {o["output"]: o["hunks"] for o in doc["outputs"]}
            one_line = all(len(h) == 1 and [l[0] for l in h[0]["lines"] if l[0] != " "] == ["-", "+"]
                           and "Board ID" in [l for l in h[0]["lines"] if l[0] == "+"][0] for h in hunks.values())
            check(set(hunks) == {"serial", "mmio_serial", "memory_log"} and one_line,
                  f"{name}: one line changed in each output")
            check(len(reports) == len(at_report) <= 1 and doc["postcodes"] == [], f"{name}: no report but its own, no POST code")
        elif kind == "postcodes":
            codes = doc["postcodes"]
            check(len(codes) == 1 and codes[0]["change"] == "changed" and codes[0]["report_a"] == at
                  and codes[0]["code"] == 0x0121 and codes[0]["code_b"] == 0x0122 and "BoardDetectPei" in codes[0]["name_b"],
                  f"{name}: one code changed at report {at}, named ({codes})")
            check(len(reports) == 1 and at_report and any("POST codes 0121 -> 0122" in d for d in at_report[0]["differences"]),
                  f"{name}: report {at} alone lists it")
        elif kind == "removed":
            check(len(reports) == 1 and reports[0]["change"] == "removed" and reports[0]["index_a"] == at,
                  f"{name}: report {at} listed as removed, and nothing else ({[(r['change'], r['index_a']) for r in reports]})")
            check(doc["postcodes"] == [] and all(len(o["hunks"]) == 1 for o in doc["outputs"]),
                  f"{name}: no POST code, one hunk per output")
        elif kind == "moved":
            check(len(reports) == 1 and at_report and at_report[0]["index_b"] == at + 1
                  and at_report[0]["differences"] == [f"moved: place {at} in A, {at + 1} in B"] and doc["postcodes"] == [],
                  f"{name}: report {at} alone, moved one place ({reports})")
        else:
            costs = at_report[0]["costs"] if len(reports) == 1 and at_report else []
            check(len(reports) == 1 and at_report and at_report[0]["differences"] == []
                  and any(c["figure"] == "instructions" and c["handler"] == "DebugTextHandler" and c["b"] > c["a"] for c in costs),
                  f"{name}: report {at} alone, its DebugTextHandler instructions up")
            check(doc["outputs"] == [] and doc["postcodes"] == [], f"{name}: no text or POST code")
        breached = [b for b in doc["budget"] if not b["passed"]]
        wanted = {"text": {"text serial", "text mmio_serial", "text memory_log"}, "postcodes": {"postcodes", "text serial",
                  "text mmio_serial", "text memory_log"}, "removed": {"results", "text serial", "text mmio_serial",
                  "text memory_log"}, "moved": {"text serial", "text mmio_serial", "text memory_log"}, "cost": {"report instructions"} if budget else set()}[kind]
        check({b["name"] for b in breached} == wanted and all(len(b["breaches"]) == 1 for b in breached),
              f"{name}: breaches {sorted(wanted)}, each once ({[(b['name'], b['breaches']) for b in breached]})")
        if kind == "cost" and budget:
            junit = os.path.join(work, "diff.xml")
            sinksim("diff", boot, copy_path, "--budget", budget, "--junit", junit)
            cases = dict(junit_cases(junit))
            check(cases.get(f"report {at}", "").startswith("report instructions: report") and
                  cases.get("budget: report instructions", "").startswith("report instructions breached") and
                  sum(m is not None for m in cases.values()) == 2 and len(cases) == len(doc["budget"]) + 1,
                  f"{name}: JUnit has a case per budget rule and one for report {at}, two failing ({cases})")

    # Bad input: the file and the field (or key) named, exit 1.
    not_run = write("not_run.json", {"machine": "emulator", "scenario": {"name": "boot"}})
    wrong_type = json.load(open(baseline))
    wrong_type["reports"][3]["instructions"] = "many"
    unknown_output = json.load(open(baseline))
    unknown_output["reports"][2]["output_bytes"]["parallel"] = 3
    bad_budget = write("bad_budget.json", {"report_instructions": {"percent": 1}, "report_instrutions": 2})
    other = write("other.json", dict(BOOT, name="other"))
    for name, args, needle in [
        ("a run document missing a field", [not_run, boot], f"{not_run}: not a run document: field handlers is missing"),
        ("a field of the wrong type", [write("wrong.json", wrong_type), boot], "field reports[3].instructions is not an array"),
        ("bytes of an output the board lacks", [write("unknown_output.json", unknown_output), boot],
         "field reports[2].output_bytes.parallel names no output of the board"),
        ("a budget with an unknown key", [boot, boot, "--budget", bad_budget], f"{bad_budget}: budget key report_instrutions is not known"),
        ("runs of different scenarios", [boot, other], f"{other} (run on the emulated machine): field scenario.name is \"other\""),
        ("a file that is neither", [write("neither.json", [1, 2]), boot], "neither a run document"),
    ]:
        run = sinksim("diff", *args)
        check(run.returncode == 1 and needle in run.stderr.decode(), f"{name}: exit 1 naming it ({run.stderr.decode().strip()})")

    # JUnit from run: a case per report and the entry; the designed halt passes, a stopped call fails.
    stopped = write("stopped.json", dict(BOOT, limits={"instructions_per_call": 2000}))
    for scenario, status_wanted in ((boot, 0), (os.path.join(SCENARIOS, "blink.json"), 2), (stopped, 3)):
        junit = os.path.join(work, "run.xml")
        run = sinksim("run", scenario, "--json", "--junit", junit)
        doc = json.loads(run.stdout)
        cases = junit_cases(junit)
        stopped_reports = {r["index"] for r in doc["reports"] if any(s and s != "blink loop" for s in r["stopped"])}
        failed = {int(n.split()[1]) for n, m in cases if m is not None}
        check(run.returncode == status_wanted and len(cases) == len(doc["reports"]) + 1 and failed == stopped_reports
              and all(m.endswith("stopped: instruction budget") for _, m in cases if m),
              f"run --junit {os.path.basename(scenario)}: {len(cases)} cases, {len(failed)} failing, as the run stopped")
    check(len(failed) > 0, "the stopped run's JUnit has failing cases")

    # check: one case per file, the refused one failing with the reason, control bytes kept out of the XML.
    hostile = write("hostile.json", dict(BOOT, reports=[{"type": "0x01", "value": "0x03020002",
                                                           "data": {"kind": "specific", "module": "Pcd\u0001\u001bPei"}}]))
    junit = os.path.join(work, "check.xml")
    run = sinksim("check", boot, hostile, "--junit", junit)
    with open(junit, "rb") as f:
        raw = f.read()
    cases = junit_cases(junit)
    check(run.returncode == 1 and [m is None for _, m in cases] == [True, False] and "Pcd\\x01\\x1BPei" in cases[1][1]
          and b"\x01" not in raw, f"check --junit: two cases, the refused file failing with its reason ({cases})")

    # faults: one case per cell, all as designed.
    junit = os.path.join(work, "faults.xml")
    run = sinksim("faults", "--json", "--junit", junit)
    matrix = json.loads(run.stdout)
    cells = sum(len(f["cells"]) for f in matrix["faults"])
    cases = junit_cases(junit)
    check(run.returncode == 0 and len(cases) == cells and all(m is None for _, m in cases),
          f"faults --junit: one case per cell ({len(cases)} of {cells}), none failing")

print(f"{len(failures)} failures" if failures else "all passed")
sys.exit(1 if failures else 0)
