#!/usr/bin/env python3
"""The format engine's code in the image: the functions the print/ objects
define (T or t in their symbol tables; bitcode with link-time optimisation),
each from its symbol in the linker map up to the next symbol (or the end of
the code section). Prints one range a line as `sinksim run --count-in`
reads it: START END NAME, offsets from the image base in hexadecimal, END
excluded. Whatever the engine's functions are called, they are taken from
the objects, so a renamed or split function needs no change here.
Usage: bench/engine_functions.py FIRMWARE_BUILD_DIR"""
import glob
import os
import re
import shutil
import subprocess
import sys


def tool(*names):
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    sys.exit("engine_functions: none of " + ", ".join(names) + " found")


def main():
    firmware = sys.argv[1]
    nm = tool("llvm-nm-14", "llvm-nm")
    objdump = tool("llvm-objdump-14", "llvm-objdump")
    objects = glob.glob(os.path.join(firmware, "obj", "print_*.obj"))
    if not objects:
        sys.exit(f"engine_functions: no print_*.obj in {firmware}/obj")
    names = set()
    for obj in objects:
        listing = subprocess.run([nm, "--defined-only", obj], check=True, capture_output=True, text=True).stdout
        names |= {f[-1] for f in (line.split() for line in listing.splitlines()) if len(f) >= 2 and f[-2] in "Tt"}

    # " 0001:00000685       ?FormatToBuffer@@YA...  000000000040079d     StatusSinkPei.efi.lto.obj"
    preferred = None
    symbols = set()
    for line in open(os.path.join(firmware, "StatusSinkPei.map")):
        m = re.search(r"Preferred load address is ([0-9a-fA-F]+)", line)
        if m:
            preferred = int(m.group(1), 16)
            continue
        m = re.match(r"\s*[0-9a-f]{4}:[0-9a-f]{8}\s+(\S+)\s+([0-9a-f]{8,16})\s", line)
        if m and preferred is not None:
            symbols.add((int(m.group(2), 16) - preferred, m.group(1)))
    if preferred is None:
        sys.exit("engine_functions: the map gives no preferred load address")

    image = os.path.join(firmware, "StatusSinkPei.efi")
    text_end = None
    for line in subprocess.run([objdump, "-h", image], check=True, capture_output=True, text=True).stdout.splitlines():
        f = line.split()
        if len(f) >= 4 and f[1] == ".text":
            text_end = int(f[3], 16) - preferred + int(f[2], 16)
    if text_end is None:
        sys.exit(f"engine_functions: no .text section in {image}")

    ordered = sorted(symbols)
    found = 0
    for k, (start, name) in enumerate(ordered):
        if name not in names:
            continue
        end = next((s for s, _ in ordered[k + 1:] if s > start), text_end)
        print(f"{start:#x} {end:#x} {name}")
        found += 1
    if found == 0:
        sys.exit("engine_functions: none of the print objects' functions is in the map")


if __name__ == "__main__":
    main()
