#!/usr/bin/env python3
"""Runs every scenario through the host32 whole-path harness and through the
emulated machine, and fails unless both runs agree in everything that both
machines observe. Both print the same run result with the same JSON writer;
only what the emulated machine alone measures (instructions, stack, image,
faults, addresses) is left out of the comparison."""
import argparse
import json
import pathlib
import subprocess
import sys

SHARED = ["serial", "mmio_serial", "postcodes", "postcode_writes", "memory_log", "results"]
REPORT_FIELDS = ["index", "source", "type", "value", "instance", "data", "results", "stopped", "postcodes"]
HALT_FIELDS = ["reason", "report", "handler", "handler_name", "cycle", "port_writes"]
SERVICE_COUNTS = ["locate_ppi", "register", "create_hob", "get_hob_list", "copy_mem", "unsupported"]


def run(cmd):
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode not in (0, 2, 3):  # clean, halted as designed, stopped: all are runs
        sys.exit(f"{' '.join(cmd)} failed ({done.returncode}): {done.stderr.strip()}")
    return json.loads(done.stdout)


def data_address(side):
    return next((r["data_address"] for r in side["reports"] if r["data_address"] is not None), None)


def view(side):
    """What both machines observe, in one comparable shape."""
    v = {k: side[k] for k in SHARED}
    v["entry_status"] = side["entry"]["status"]
    v["handlers"] = [h["name"] for h in side["handlers"]]
    v["reports"] = [{k: r[k] for k in REPORT_FIELDS} for r in side["reports"]]
    v["hob"] = [(h["depth"], h["signature"], h["codes"]) for h in side["hob"]]
    v["halted"] = side["halted"] and {k: side["halted"][k] for k in HALT_FIELDS}
    v["services"] = {k: side["services"][k] for k in SERVICE_COUNTS}
    return v


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sinksim", required=True)
    ap.add_argument("--wholepath", required=True)
    ap.add_argument("scenarios")
    args = ap.parse_args()
    wholepath = pathlib.Path(args.wholepath)
    if not wholepath.exists():
        sys.exit(f"{wholepath} is missing: build host32 first (make host32)")
    # The host32 build says how its programs run: directly, or through
    # qemu-i386 on a kernel that refuses i386 programs.
    runner_file = wholepath.parents[2] / "host32_runner"
    runner = runner_file.read_text().split() if runner_file.exists() else []
    failures = 0
    files = sorted(pathlib.Path(args.scenarios).glob("*.json"))
    for f in files:
        host = run(runner + [str(wholepath), str(f)])
        emu = run([args.sinksim, "run", str(f), "--json", "--quiet"])
        if host["machine"] != "host32" or emu["machine"] != "emulator":
            sys.exit(f"{f.name}: the two programs did not say which machine ran them")
        # The error line prints the data record's address; where host32 could
        # not place the record at the emulator's address, compare without it.
        a, b = data_address(host), data_address(emu)
        if b is not None and a != b:
            for side, addr in ((host, f"{a:X}"), (emu, f"{b:X}")):
                for key in ("serial", "mmio_serial"):
                    side[key] = side[key].replace(addr, "<data>")
                side["memory_log"]["text"] = side["memory_log"]["text"].replace(addr, "<data>")
                side["memory_log"].pop("header")  # lengths may differ with the address's digits
        h, e = view(host), view(emu)
        diffs = [k for k in e if h[k] != e[k]]
        if diffs:
            failures += 1
            print(f"{f.name}: DIFFERENT in {', '.join(diffs)}")
            for k in diffs:
                print(f"  host32:   {json.dumps(h[k])[:400]}")
                print(f"  emulator: {json.dumps(e[k])[:400]}")
        else:
            print(f"{f.name}: same ({len(e['postcodes'])} port 0x80 words, {len(e['serial'])} serial bytes,"
                  f" {len(e['reports'])} reports)")
    if not files:
        sys.exit("no scenarios found")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
