#!/usr/bin/env python3
"""Runs every scenario through the host32 whole-path harness and through the
emulated machine, and fails unless both runs agree in everything that both
machines observe. Both print the same run result with the same JSON writer;
only what the emulated machine alone measures (instructions, stack, image,
faults, addresses) is left out of the comparison. The board's outputs are
the ones sinksim lists (sinksim outputs --json), not a copy kept here."""
import argparse
import json
import pathlib
import subprocess
import sys

SHARED = ["postcodes", "postcode_writes", "results"]
REPORT_FIELDS = ["index", "source", "type", "value", "instance", "data", "results", "stopped", "postcodes",
                 "io_accesses", "mmio_accesses", "output_bytes"]
ENTRY_FIELDS = ["status", "io_accesses", "mmio_accesses", "output_bytes"]
HALT_FIELDS = ["reason", "report", "handler", "handler_name", "cycle", "port_writes"]
SERVICE_COUNTS = ["locate_ppi", "register", "create_hob", "get_hob_list", "copy_mem", "unsupported"]


def run(cmd):
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode not in (0, 2, 3):  # clean, halted as designed, stopped: all are runs
        sys.exit(f"{' '.join(cmd)} failed ({done.returncode}): {done.stderr.strip()}")
    return json.loads(done.stdout)


def data_address(side):
    return next((r["data_address"] for r in side["reports"] if r["data_address"] is not None), None)


def outputs(sinksim):
    """The board's outputs as sinksim lists them: key and kind ("line" or "ring")."""
    done = subprocess.run([sinksim, "outputs", "--json"], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{sinksim} outputs --json failed ({done.returncode}): {done.stderr.strip()}")
    return [(o["key"], o["kind"]) for o in json.loads(done.stdout)["outputs"]]


def view(side, board_outputs):
    """What both machines observe, in one comparable shape."""
    v = {key: side[key] for key, _ in board_outputs}
    v.update({k: side[k] for k in SHARED})
    v["entry"] = {k: side["entry"][k] for k in ENTRY_FIELDS}
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
    board_outputs = outputs(args.sinksim)
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
                for key, kind in board_outputs:
                    if kind == "line":
                        side[key] = side[key].replace(addr, "<data>")
                    else:
                        side[key]["text"] = side[key]["text"].replace(addr, "<data>")
                        side[key].pop("header")  # lengths may differ with the address's digits
                # and so may the bytes each output received
                for call in [side["entry"]] + side["reports"]:
                    call["output_bytes"] = None
        h, e = view(host, board_outputs), view(emu, board_outputs)
        diffs = [k for k in e if h[k] != e[k]]
        if diffs:
            failures += 1
            print(f"{f.name}: DIFFERENT in {', '.join(diffs)}")
            for k in diffs:
                print(f"  host32:   {json.dumps(h[k])[:400]}")
                print(f"  emulator: {json.dumps(e[k])[:400]}")
        else:
            line_bytes = sum(len(e[key]) for key, kind in board_outputs if kind == "line")
            print(f"{f.name}: same ({len(e['postcodes'])} port 0x80 words, {line_bytes} bytes on the lines,"
                  f" {len(e['reports'])} reports)")
    if not files:
        sys.exit("no scenarios found")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
