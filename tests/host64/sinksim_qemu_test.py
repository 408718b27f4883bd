#!/usr/bin/python3
"""`sinksim qemu` on what it cannot run, and when it is stopped from outside.
Every board, scenario and option that QEMU's PC cannot stand for is refused
with exit status 1 and the reason, before QEMU is started or anything is
written; SIGTERM or SIGINT to a running `sinksim qemu` ends its QEMU and
removes its scratch directory, and sinksim ends by that signal."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

SINKSIM, SCENARIOS = sys.argv[1], sys.argv[2]
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def children(pid):
    """Processes whose parent is pid: {child pid: (command name, state)}."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        state, parent = stat[stat.rindex(")") + 2:].split()[:2]
        if int(parent) == pid:
            found[int(entry)] = (name, state)
    return found


def alive(pid):
    """True while pid is a process that still runs (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def wait_for(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return None


with tempfile.TemporaryDirectory() as work:
    def scenario(name, document):
        path = os.path.join(work, name)
        with open(path, "w") as f:
            json.dump(document, f)
        return path

    # A QEMU that leaves a mark when it is started at all.
    marker = os.path.join(work, "qemu-started")
    fake_qemu = os.path.join(work, "qemu")
    with open(fake_qemu, "w") as f:
        f.write(f"#!/bin/sh\ntouch {marker}\nexit 1\n")
    os.chmod(fake_qemu, 0o755)

    report = {"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "PcdPei"}}
    fine = scenario("fine.json", {"reports": [report]})
    refusals = [
        ("a legacy port that is absent", scenario("absent.json", {"platform": {"legacy_serial": "absent"},
                                                                  "reports": [report]}), [],
         b"legacy serial port is absent"),
        ("a legacy port that is stuck", os.path.join(SCENARIOS, "stuck_legacy.json"), [],
         b"legacy serial port is stuck"),
        ("a data record given as an address",
         scenario("data_address.json", {"reports": [{"type": 3, "value": 0, "data_address": "0x12345678"}]}), [],
         b"field 'data_address': the QEMU boot ROM delivers pointers into its report area only"),
        ("a caller given as an address",
         scenario("caller_address.json", {"reports": [{"type": 3, "value": 0, "caller_address": "0x12345678"}]}), [],
         b"field 'caller_address'"),
        ("more reports than the boot ROM holds",
         scenario("many.json", {"reports": [dict(report, instance=i) for i in range(3000)]}), [],
         b"3000 reports do not fit in the QEMU boot ROM"),
        ("a Register call the foundation cannot fail",
         scenario("register.json", {"platform": {"fail": {"register": [32]}}, "reports": [report]}), [],
         b"only the first 32 Register calls"),
        ("a time limit that is not a number", fine, ["--time-limit", "nan"], b"the time limit must be"),
        ("an endless time limit", fine, ["--time-limit", "inf"], b"the time limit must be"),
        ("a time limit of 0", fine, ["--time-limit", "0"], b"the time limit must be"),
        ("a negative time limit", fine, ["--time-limit", "-1"], b"the time limit must be"),
    ]
    scratch = os.path.join(work, "tmp")
    os.mkdir(scratch)
    environment = dict(os.environ, TMPDIR=scratch)
    for what, path, extra, says in refusals:
        done = subprocess.run([SINKSIM, "qemu", path, "--qemu", fake_qemu, *extra], capture_output=True,
                              env=environment, timeout=60)
        check(done.returncode == 1 and says in done.stderr and not os.path.exists(marker) and not os.listdir(scratch),
              f"{what}: exit {done.returncode} (want 1), QEMU {'started' if os.path.exists(marker) else 'not started'}"
              f", scratch files {os.listdir(scratch)}, stderr: {done.stderr.decode('latin-1').strip()[:200]}")

    # A run stopped from outside while QEMU blinks.
    for stop in (signal.SIGTERM, signal.SIGINT):
        name = signal.Signals(stop).name
        sinksim = subprocess.Popen([SINKSIM, "qemu", os.path.join(SCENARIOS, "blink.json"), "--time-limit", "300"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=environment)
        qemu = wait_for(lambda: [p for p, (n, _) in children(sinksim.pid).items() if n.startswith("qemu-system")], 60)
        had_scratch = wait_for(lambda: os.listdir(scratch), 10)
        check(bool(qemu) and bool(had_scratch), f"{name}: sinksim started QEMU ({qemu}) in a scratch directory "
                                                f"({had_scratch})")
        sinksim.send_signal(stop)
        # At once, not when the blink loop would have ended the run (about 25 s of QEMU's trace).
        try:
            _, err = sinksim.communicate(timeout=10)
            prompt = True
        except subprocess.TimeoutExpired:
            prompt = False
            sinksim.kill()
            _, err = sinksim.communicate()
        survivors = [p for p in qemu or [] if alive(p)]
        check(prompt and sinksim.returncode == -stop and b"stopped by signal" in err,
              f"{name}: sinksim ends by the signal {'at once' if prompt else 'NOT within 10 s'} "
              f"(status {sinksim.returncode}): {err.decode('latin-1').strip()[:200]}")
        check(not survivors, f"{name}: no QEMU of it runs on (still running: {survivors})")
        check(not os.listdir(scratch), f"{name}: its scratch directory is gone (left: {os.listdir(scratch)})")
        for p in survivors:
            os.kill(p, signal.SIGKILL)

sys.exit(1 if failures else 0)
