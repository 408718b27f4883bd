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

    # Planted changes, each reported once at its report: (name, change, budget, exit status, report, kind, where
    # the text changed as [report in A, report in B] per hunk (each output alike), budget rules breached, reports
    # failing in JUnit).
    TEXT = ["text"]

    def neighbours(r):
        """Two debug reports in a row, each line changed: two hunks, one per report, never one of both."""
        r.insert(BOARD + 1, copy.deepcopy(r[BOARD]))
        set_format(BOARD, "Board id", "Board ID")(r)
        set_format(BOARD + 1, "Board id", "Board Id")(r)

    rows = [
        ("a line's text", set_format(BOARD, "Board id", "Board ident"), None, EXIT_OVER_BUDGET, BOARD, "text",
         [[BOARD, BOARD]], TEXT, [BOARD]),
        ("a POST code", lambda r: r[PCD_BEGIN]["data"].update(module="BoardDetectPei"), None, EXIT_OVER_BUDGET,
         PCD_BEGIN, "postcodes", [[PCD_BEGIN, PCD_BEGIN]], ["postcodes", "text"], [PCD_BEGIN]),
        ("a report removed", lambda r: r.pop(CPU), None, EXIT_OVER_BUDGET, CPU, "removed", [[CPU, None]],
         ["results", "text"], [CPU]),
        ("two reports swapped", lambda r: r.insert(CPU, r.pop(CPU + 1)), None, EXIT_OVER_BUDGET, CPU, "moved",
         [[CPU, CPU + 1]], TEXT, [CPU]),
        ("a report made costlier", set_format(CPU, "%d cores", "%1d cores"), None, 0, CPU, "cost", [], [], []),
        ("a report made costlier, over budget", set_format(CPU, "%d cores", "%1d cores"), budget_file,
         EXIT_OVER_BUDGET, CPU, "cost", [], ["report instructions"], [CPU]),
    ]
    for name, change, budget, status_wanted, at, kind, places, rules, failing in rows:
        copy_path = write("planted.json", planted(change))
        extra = ["--budget", budget] if budget else []
        status, doc, err = diff_json(boot, copy_path, *extra)
        check(status == status_wanted, f"{name}: exit {status_wanted} (got {status} {err.strip()})")
        if doc is None:
            continue
        reports = doc["reports"]
        # The report the change was planted in, and no other, is listed (a text change may cost more there too).
        at_report = [r for r in reports if (r["index_a"] if r["index_a"] is not None else r["index_b"]) == at]
        hunks = {o["output"]: [[h["report_a"], h["report_b"]] for h in o["hunks"]] for o in doc["outputs"]}
        check(hunks == ({o: places for o in ("serial", "mmio_serial", "memory_log")} if places else {}),
              f"{name}: each output's hunks placed at {places} ({hunks})")
        check(len(reports) == len(at_report) == 1 or (kind == "cost" and not budget and at_report == reports[:1]),
              f"{name}: report {at} alone is listed ({[(r['index_a'], r['index_b']) for r in reports]})")
        if at_report:
            check(at_report[0]["text"] == (["serial", "mmio_serial", "memory_log"] if places else []),
                  f"{name}: report {at} names the outputs its lines changed on ({at_report[0]['text']})")
        if kind == "text":
            one_line = all(len(o["hunks"]) == 1 and [l[0] for l in o["hunks"][0]["lines"] if l[0] != " "] == ["-", "+"]
                           and "Board ident" in [l for l in o["hunks"][0]["lines"] if l[0] == "+"][0] for o in doc["outputs"])
            check(one_line and doc["postcodes"] == [], f"{name}: one line changed in each output, no POST code")
            # Three more bytes on each output: more port and device-memory accesses, reported, not judged.
            grew = {c["figure"] for c in at_report[0]["costs"] if c["handler"] == "DebugTextHandler" and c["b"] > c["a"]}
            check({"instructions", "io_accesses", "mmio_accesses"} <= grew, f"{name}: its accesses grew ({grew})")
            shown = sinksim("diff", boot, copy_path).stdout.decode()
            check(shown.count(f" @@ report {at}\n") == 3 and f"report {at}: lines differ on serial" in shown,
                  f"{name}: the text view places each hunk and the breach at report {at}")
        elif kind == "postcodes":
            codes = doc["postcodes"]
            check(len(codes) == 1 and codes[0]["change"] == "changed" and codes[0]["report_a"] == at
                  and codes[0]["code"] == 0x0121 and codes[0]["code_b"] == 0x0122 and "BoardDetectPei" in codes[0]["name_b"],
                  f"{name}: one code changed at report {at}, named ({codes})")
            check(any("POST codes 0121 -> 0122" in d for d in at_report[0]["differences"]), f"{name}: report {at} lists it")
        elif kind == "removed":
            check(reports[0]["change"] == "removed" and doc["postcodes"] == [], f"{name}: listed as removed, no POST code")
        elif kind == "moved":
            check(at_report[0]["index_b"] == at + 1 and at_report[0]["differences"] == [f"moved: place {at} in A, {at + 1} in B"]
                  and doc["postcodes"] == [], f"{name}: report {at} moved one place ({reports})")
        else:
            costs = at_report[0]["costs"] if at_report else []
            check(at_report and at_report[0]["differences"] == []
                  and any(c["figure"] == "instructions" and c["handler"] == "DebugTextHandler" and c["b"] > c["a"] for c in costs),
                  f"{name}: report {at}'s DebugTextHandler instructions up")
            check(doc["postcodes"] == [], f"{name}: no POST code")
        breached = {b["name"]: b["breaches"] for b in doc["budget"] if not b["passed"]}
        check(sorted(breached) == sorted(rules) and all(len(v) == 1 and v[0].startswith(f"report {at}")
                                                        for v in breached.values()),
              f"{name}: breaches {rules}, each once, at report {at} ({breached})")
        junit = os.path.join(work, "diff.xml")
        sinksim("diff", boot, copy_path, *extra, "--junit", junit)
        cases = dict(junit_cases(junit))
        check({n for n, m in cases.items() if m is not None} == {f"budget: {r}" for r in rules} | {f"report {r}" for r in failing}
              and len(cases) == len(doc["budget"]) + len(reports)
              and all(any(cases[f"report {r}"].startswith(f"{rule}: report {r}") for rule in rules) for r in failing),
              f"{name}: JUnit has a case per budget rule and per listed report, failing where it breached ({cases})")

    # Lines of two reports in a row, both changed: a hunk and a text breach for each report.
    status, doc, _ = diff_json(write("neighbours_a.json", planted(lambda r: r.insert(BOARD + 1, copy.deepcopy(r[BOARD])))),
                               write("neighbours_b.json", planted(neighbours)))
    hunks = [(h["report_a"], h["report_b"], [l for l in h["lines"] if l[0] != " "]) for h in doc["outputs"][0]["hunks"]]
    text = next(b for b in doc["budget"] if b["name"] == "text")
    check(status == EXIT_OVER_BUDGET and [h[:2] for h in hunks] == [(BOARD, BOARD), (BOARD + 1, BOARD + 1)]
          and [h[2][1][:9] for h in hunks] == ["+Board ID", "+Board Id"]
          and [b.split(":")[0] for b in text["breaches"]] == [f"report {BOARD}", f"report {BOARD + 1}"],
          f"neighbouring reports' lines: one hunk and one text breach per report ({hunks}, {text['breaches']})")

    # The board time model: a report whose line grew takes longer, and a budget on time growth finds it there
    # (the next report, which waits for the line to drain, grows far less); time is compared only where both
    # runs model it.
    timed = os.path.join(work, "timed.json")
    with open(timed, "wb") as f:
        f.write(sinksim("run", boot, "--timing", "--json").stdout)
    longer = write("longer.json", planted(set_format(CPU, "%d cores", "%d cores of 8 threads each")))
    time_budget = write("time_budget.json", {"report_time": {"percent": 10}, "text_must_match": False})
    status, doc, err = diff_json(timed, longer, "--timing", "--budget", time_budget)
    breached = {b["name"]: b["breaches"] for b in doc["budget"] if not b["passed"]} if doc else {}
    check(status == EXIT_OVER_BUDGET and list(breached) == ["report time"] and len(breached["report time"]) == 1
          and breached["report time"][0].startswith(f"report {CPU} DebugTextHandler: time_ns"),
          f"a report made slower on the time model: one time breach, at report {CPU} ({status} {err.strip()} {breached})")
    # (Text is not judged here: on the time model the memory-mapped line gives up on a few bytes the untimed
    # board takes, a real difference of the two boards.)
    for a, b in ((timed, boot), (boot, timed)):
        status, doc, err = diff_json(a, b, "--budget", write("no_text.json", {"text_must_match": False}))
        figures = {c["figure"] for r in doc["reports"] for c in r["costs"]} if doc else set()
        check(status == 0 and "time_ns" not in figures and "instructions" in figures,
              f"diff {os.path.basename(a)} {os.path.basename(b)}: time left out where one run lacks it, the rest "
              f"compared ({status} {err.strip()} {sorted(figures)})")

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
