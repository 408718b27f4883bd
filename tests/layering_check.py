#!/usr/bin/env python3
"""Fails when an include runs back up the layers or does not name its folder:
module < sim/ < scenario/, fv/ < run/ < emu/ < qemu/, compare/ < view/ < tools/. The
module's folders include only each other; hostlib/ (the host's text helpers)
needs only include/, and fv/ only include/ and hostlib/; nothing includes
tools/. The QEMU runner links no emulator: of qemu/, only the cross-check's
emulated side (CrossCheckRun) includes emu/.
Every quoted include names its path from the repository root, so the folder
a header lives in is the layer it belongs to."""
import pathlib
import re
import sys

MODULE = ["include", "platform", "start", "postcode", "print", "debugtext"]
# Folder -> the folders its files may include from.
ALLOWED = {m: set(MODULE) for m in MODULE}
ALLOWED["sim"] = set(MODULE) | {"sim"}
ALLOWED["hostlib"] = {"include", "hostlib"}
ALLOWED["scenario"] = ALLOWED["sim"] | {"hostlib", "scenario"}
ALLOWED["fv"] = {"include", "hostlib", "fv"}
ALLOWED["run"] = ALLOWED["scenario"] | {"fv", "run"}
ALLOWED["emu"] = ALLOWED["run"] | {"emu"}
ALLOWED["qemu"] = ALLOWED["emu"] | {"qemu"}  # rom/ is freestanding: module headers and fv/FfsLayout.h only
# compare/ reads run documents; it runs nothing itself, so it needs no QEMU runner.
ALLOWED["compare"] = ALLOWED["emu"] | {"compare"}
# view/ turns one run document into a viewer's file; it runs nothing either.
ALLOWED["view"] = ALLOWED["compare"] | {"view"}
ALLOWED["tools"] = ALLOWED["qemu"] | {"compare", "view", "tools"}
# Tests, fuzzers and benchmarks sit on top: they may include any layer but tools/.
for top in ("tests", "fuzz", "bench"):
    ALLOWED[top] = (ALLOWED["tools"] - {"tools"}) | {top}
SOURCES = (".h", ".inc", ".cpp", ".c", ".S")
# (folder, included folder) -> the only files of the folder that may include it.
ONLY_IN = {("qemu", "emu"): {"qemu/host/CrossCheckRun.h", "qemu/host/CrossCheckRun.cpp"}}


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[1])
    problems = []
    headers = 0
    for folder, allowed in ALLOWED.items():
        for f in sorted((root / folder).rglob("*")):
            if f.suffix not in SOURCES:
                continue
            headers += f.suffix in (".h", ".inc")
            for n, line in enumerate(f.read_text(errors="replace").splitlines(), 1):
                m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                if not m:
                    continue
                name = m.group(1)
                where = f"{f.relative_to(root)}:{n}"
                if not (root / name).is_file():
                    problems.append(f"{where}: '{name}' does not name its folder from the repository root")
                    continue
                target = pathlib.Path(name).parts[0]
                if target not in allowed:
                    problems.append(f"{where}: {folder}/ includes {name} from {target}/")
                elif (folder, target) in ONLY_IN and f.relative_to(root).as_posix() not in ONLY_IN[(folder, target)]:
                    problems.append(f"{where}: only {', '.join(sorted(ONLY_IN[(folder, target)]))} of {folder}/ may "
                                    f"include from {target}/")
    for p in problems:
        print(p)
    if not problems:
        print(f"every include names its folder and none runs back up ({headers} headers in {len(ALLOWED)} folders)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
