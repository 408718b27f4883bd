#!/usr/bin/env python3
"""Fails when an include runs back up the layers:
module < sim/ < scenario/, fv/ < emu/ < qemu/ < tools/. The module's folders
include only each other; fv/ needs only include/; nothing includes tools/."""
import pathlib
import re
import sys

MODULE = ["include", "platform", "start", "postcode", "print", "debugtext"]
# Folder -> the folders its files may include from.
ALLOWED = {m: set(MODULE) for m in MODULE}
ALLOWED["sim"] = set(MODULE) | {"sim"}
ALLOWED["scenario"] = ALLOWED["sim"] | {"scenario"}
ALLOWED["fv"] = {"include", "fv"}
ALLOWED["emu"] = ALLOWED["scenario"] | {"fv", "emu"}
ALLOWED["qemu"] = ALLOWED["emu"] | {"qemu"}  # rom/ is freestanding: it includes module headers only
ALLOWED["tools"] = ALLOWED["qemu"] | {"tools"}


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[1])
    home = {}  # header or .inc name -> folder
    for folder in ALLOWED:
        for f in (root / folder).rglob("*"):
            if f.suffix in (".h", ".inc"):
                if f.name in home and home[f.name] != folder:
                    print(f"{f.name} is in both {home[f.name]}/ and {folder}/")
                    return 1
                home[f.name] = folder
    problems = []
    for folder, allowed in ALLOWED.items():
        for f in sorted((root / folder).rglob("*")):
            if f.suffix not in (".h", ".cpp", ".c"):
                continue
            for n, line in enumerate(f.read_text(errors="replace").splitlines(), 1):
                m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                if not m:
                    continue
                target = home.get(pathlib.Path(m.group(1)).name)
                if target is not None and target not in allowed:
                    problems.append(f"{f.relative_to(root)}:{n}: {folder}/ includes {m.group(1)} from {target}/")
    for p in problems:
        print(p)
    if not problems:
        print(f"no include runs back up ({len(home)} headers in {len(ALLOWED)} folders)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
