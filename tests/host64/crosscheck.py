#!/usr/bin/env python3
"""Runs every scenario through the host32 whole-path harness and through the
emulated machine, and fails unless both give the same serial texts, port 0x80
words, memory log, handler results, POST code stack records and halt point."""
import argparse
import json
import pathlib
import subprocess
import sys

FIELDS = ["serial", "mmio_serial", "postcodes", "memory_log", "results"]


def run(cmd):
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode not in (0, 3):
        sys.exit(f"{' '.join(cmd)} failed ({done.returncode}): {done.stderr.strip()}")
    return json.loads(done.stdout)


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
        # The error line prints the data record's address; where host32 could
        # not place the record at the emulator's address, compare without it.
        emu_address = next((r["data_address"] for r in emu["reports"] if r["data_address"] is not None), None)
        if emu_address is not None and host["data_address"] != emu_address:
            a, b = f"{host['data_address']:X}", f"{emu_address:X}"
            for side, addr in ((host, a), (emu, b)):
                for key in ("serial", "mmio_serial"):
                    side[key] = side[key].replace(addr, "<data>")
                side["memory_log"]["text"] = side["memory_log"]["text"].replace(addr, "<data>")
                side["memory_log"].pop("header")  # lengths may differ with the address's digits
        diffs = [k for k in FIELDS if host[k] != emu[k]]
        stacks = lambda side: [(h["depth"], h["signature"], h["codes"]) for h in side["hob"]]
        if stacks(host) != stacks(emu):
            diffs.append("hob")
        halt = lambda side: side["halted"] and side["halted"]["report"]
        if halt(host) != halt(emu):
            diffs.append("halted")
        if diffs:
            failures += 1
            print(f"{f.name}: DIFFERENT in {', '.join(diffs)}")
            for k in diffs:
                print(f"  host32:   {json.dumps(host.get(k))[:400]}")
                print(f"  emulator: {json.dumps(emu.get(k))[:400]}")
        else:
            print(f"{f.name}: same ({len(emu['postcodes'])} port 0x80 words, {len(emu['serial'])} serial bytes)")
    if not files:
        sys.exit("no scenarios found")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
