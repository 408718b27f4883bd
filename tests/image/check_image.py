#!/usr/bin/python3
"""Checks the built StatusSinkPei.efi with an independent PE parser (pefile)
and the LLVM disassembler: machine i386, EFI boot service driver, no imports,
no writable section with contents, a base relocation directory, and no
SSE/MMX/x87 instruction anywhere in the code.

Constant data shares the executable section with the code; with --map, only
the code's extent as the linker map gives it (its .text contributions) is
disassembled, so data is never read as instructions. Without a map every
executable section is disassembled whole."""
import argparse
import re
import subprocess
import sys

import pefile

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
DIR_IMPORT = 1
DIR_BASERELOC = 5

# Any register or mnemonic of the x87, MMX or SSE units.
INSTRUCTION_LINE = re.compile(r"^\s*[0-9a-f]+:\s+(\S.*)$")
# Registers are matched anywhere in the operands, mnemonics only as the first word.
FP_REGISTER = re.compile(r"%(xmm|ymm|zmm|mm)\d|%st\b")
FP_MNEMONIC = re.compile(
    r"^(f[a-z0-9]+|emms|ldmxcsr|stmxcsr|movd|movq|movdq\w*|movap\w|movup\w|movs[sd]|pxor|por|pand\w*|"
    r"padd\w*|psub\w*|punpck\w*|pshuf\w*|cvt\w+|sqrt\w+|add[sp][sd]|sub[sp][sd]|mul[sp][sd]|div[sp][sd]|"
    r"comis\w|ucomis\w|xorp\w|andp\w|orp\w)$")


def section_name(section):
    return section.Name.rstrip(b"\0").decode(errors="replace")


# " 0001:00000000 00001132H .text                   CODE"
MAP_CONTRIBUTION = re.compile(r"^\s*([0-9a-fA-F]{4}):([0-9a-fA-F]{8})\s+([0-9a-fA-F]{8})H\s+(\S+)\s+\S+\s*$")


def code_ranges(map_path, pe, failures):
    """The [start, end) RVAs of the code contributions (.text, .text$...) the linker map lists."""
    ranges = []
    with open(map_path, encoding="latin-1") as f:
        for line in f:
            m = MAP_CONTRIBUTION.match(line)
            if not m:
                continue
            section, offset, length, name = int(m.group(1), 16), int(m.group(2), 16), int(m.group(3), 16), m.group(4)
            if not 1 <= section <= len(pe.sections):
                failures.append(f"map names section {section}, which the image does not have")
                continue
            s = pe.sections[section - 1]
            if offset + length > s.Misc_VirtualSize:
                failures.append(f"map's {name} at {section:04x}:{offset:08x} runs past its section")
            if name == ".text" or name.startswith(".text$"):
                ranges.append((s.VirtualAddress + offset, s.VirtualAddress + offset + length))
    if not ranges:
        failures.append("the map lists no code")
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    if ranges and not any(start <= entry < end for start, end in ranges):
        failures.append(f"the entry point {entry:#x} is not in the code the map lists")
    return ranges


def check(image_path, objdump, map_path=None):
    failures = []
    pe = pefile.PE(image_path)
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_I386:
        failures.append(f"machine is {pe.FILE_HEADER.Machine:#x}, not i386")
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        failures.append("optional header is not PE32")
    if pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER:
        failures.append(f"subsystem is {pe.OPTIONAL_HEADER.Subsystem}, not EFI boot service driver")
    dirs = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if dirs[DIR_IMPORT].VirtualAddress != 0 or dirs[DIR_IMPORT].Size != 0 or hasattr(pe, "DIRECTORY_ENTRY_IMPORT"):
        failures.append("image has an import directory")
    if dirs[DIR_BASERELOC].VirtualAddress == 0 or dirs[DIR_BASERELOC].Size == 0:
        failures.append("image has no base relocation directory")
    for s in pe.sections:
        name = section_name(s)
        if s.Characteristics & IMAGE_SCN_MEM_WRITE and (s.SizeOfRawData or s.Misc_VirtualSize):
            failures.append(f"section {name} is writable and not empty ({s.Misc_VirtualSize} bytes)")
    if pe.OPTIONAL_HEADER.AddressOfEntryPoint == 0:
        failures.append("no entry point")

    base = pe.OPTIONAL_HEADER.ImageBase
    if map_path is None:
        ranges = [[]]
    else:
        ranges = [[f"--start-address={base + start:#x}", f"--stop-address={base + end:#x}"]
                  for start, end in code_ranges(map_path, pe, failures)]
    listing = "".join(subprocess.run([objdump, "-d", "--no-show-raw-insn", *limits, image_path], check=True,
                                     capture_output=True, text=True).stdout for limits in ranges)
    bad = []
    instructions = 0
    for line in listing.splitlines():
        match = INSTRUCTION_LINE.match(line)
        if not match:
            continue
        insn = match.group(1).strip()
        instructions += 1
        mnemonic = insn.split()[0]
        if FP_MNEMONIC.match(mnemonic) or FP_REGISTER.search(insn):
            bad.append(line.strip())
    if instructions == 0:
        failures.append("the disassembly shows no instructions")
    if bad:
        failures.append("floating-point or vector instructions:\n    " + "\n    ".join(bad[:20]))

    size = len(pe.__data__)
    sections = ", ".join(section_name(s) + f" {s.Misc_VirtualSize}" for s in pe.sections)
    print(f"StatusSinkPei.efi: {size} bytes; sections: {sections}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("image")
    parser.add_argument("--objdump", default="llvm-objdump")
    parser.add_argument("--map", help="the linker map: disassemble only the code it lists")
    args = parser.parse_args()
    failures = check(args.image, args.objdump, args.map)
    for f in failures:
        print("FAIL:", f)
    if failures:
        return 1
    print("image checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
