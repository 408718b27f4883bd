#!/usr/bin/env python3
"""Writes the block map of StatusSinkPei.efi: its functions, its basic blocks
and the source lines of each block, for `sinksim coverage`.

    block_map.py --objdump LLVM_OBJDUMP --dwarfdump LLVM_DWARFDUMP
                 IMAGE MAP LINKED_IMAGE DEBUG_IMAGE OUT

IMAGE and MAP are what ships (after compact_image.py); LINKED_IMAGE is
lld-link's own output of the same link; DEBUG_IMAGE is the debug copy: the
same sources compiled with DWARF line tables and linked the same way. The line
tables hold only for code that is the shipped code, so the debug copy's
section must equal lld-link's image byte for byte, its relocated addresses
apart (they differ by where each link put the section): the build fails
otherwise, naming the first byte that differs.

The code is the first contribution of the image's one section (the map's
`.text` line; the constant data follows it). Functions are the map's symbols
in it, each up to the next. A basic block starts at a function's first byte,
at the target of a direct branch, and after every instruction that transfers
control (jumps, calls, returns, `hlt`, `int`); it ends before the next start.
Every address is an offset from the shipped image's base (an RVA).

The output is text, one record a line (numbers in hexadecimal):
    image SIZE_OF_IMAGE ENTRY_RVA CODE_START CODE_END
    file INDEX PATH
    function START END NAME
    block START END FILE:LINE,FILE:LINE,...   (or '-' when no line is known)
"""
import argparse
import bisect
import re
import subprocess
import sys

import pefile

# Mnemonics after which the next instruction starts a block (AT&T, as llvm-objdump prints them).
ENDS_BLOCK = re.compile(r"^(j[a-z]+|call[lw]?|ret[lwq]?|lret[lw]?|loop[a-z]*|hlt|int[0-9a-z]*|iret[lwd]?|ud[0-9]|sysenter|syscall)$")
DIRECT_TARGET = re.compile(r"^0x([0-9a-fA-F]+)\b")


class BlockMapError(Exception):
    pass


def section_of(path):
    pe = pefile.PE(path, fast_load=False)
    if not pe.sections:
        raise BlockMapError(f"{path}: no section")
    text = pe.sections[0]
    relocations = []
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == 3:  # HIGHLOW
                relocations.append(entry.rva - text.VirtualAddress)
    return pe, text, relocations


def check_debug_copy(linked_path, debug_path):
    """The debug copy's code and data must be the shipped link's, relocated addresses aside."""
    _, linked, linked_relocs = section_of(linked_path)
    debug_pe, debug, debug_relocs = section_of(debug_path)
    a = bytearray(linked.get_data()[: linked.Misc_VirtualSize])
    b = bytearray(debug.get_data()[: debug.Misc_VirtualSize])
    if sorted(linked_relocs) != sorted(debug_relocs):
        raise BlockMapError(f"{debug_path}: its relocations are not those of {linked_path}: the debug copy's code differs")
    delta = debug.VirtualAddress - linked.VirtualAddress
    for at in linked_relocs:
        va = int.from_bytes(a[at:at + 4], "little")
        vb = int.from_bytes(b[at:at + 4], "little")
        if (vb - va) & 0xFFFFFFFF != delta & 0xFFFFFFFF:
            raise BlockMapError(f"{debug_path}: the address relocated at section offset {at:#x} is not the shipped one")
        a[at:at + 4] = b[at:at + 4] = bytes(4)
    # The debug copy may carry a debug directory after the shipped bytes.
    if len(b) < len(a) or b[: len(a)] != a:
        first = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
        raise BlockMapError(f"{debug_path}: its section differs from {linked_path} at offset {first:#x}: "
                            "compiling with line tables changed the code")
    return debug_pe.OPTIONAL_HEADER.ImageBase + debug.VirtualAddress


def read_map(map_path):
    """(preferred base, code length, [(rva, name)] of the symbols in the code)."""
    base = None
    code_length = None
    symbols = []
    for line in open(map_path, encoding="latin-1"):
        m = re.search(r"Preferred load address is ([0-9a-fA-F]+)", line)
        if m:
            base = int(m.group(1), 16)
            continue
        fields = line.split()
        if len(fields) >= 4 and fields[2] == ".text" and fields[1].endswith("H") and code_length is None:
            code_length = int(fields[1][:-1], 16)
            continue
        if len(fields) >= 3 and re.fullmatch(r"[0-9a-fA-F]{4}:[0-9a-fA-F]{8}", fields[0]) and re.fullmatch(
                r"[0-9a-fA-F]{8,16}", fields[2]) and base is not None:
            name = fields[1]
            if name.startswith("?"):
                name = name[1:].split("@")[0]
            elif name.startswith("_"):
                name = name[1:]
            symbols.append((int(fields[2], 16) - base, name))
    if base is None or code_length is None:
        raise BlockMapError(f"{map_path}: no preferred load address or no .text line")
    return base, code_length, symbols


def disassemble(objdump, image, base, start, end):
    """[(rva, mnemonic, direct target rva or None)] of the instructions in [start, end)."""
    out = subprocess.run([objdump, "-d", "--no-show-raw-insn", f"--start-address={base + start:#x}",
                          f"--stop-address={base + end:#x}", image], check=True, capture_output=True, text=True).stdout
    instructions = []
    for line in out.splitlines():
        m = re.match(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if not m:
            continue
        mnemonic = m.group(2)
        operands = m.group(3).strip()
        if mnemonic in ("rep", "repne", "lock", "data16", "cs", "ds", "es", "ss", "fs", "gs") and operands:
            mnemonic = operands.split()[0]
        target = None
        t = DIRECT_TARGET.match(operands)
        if t and (mnemonic.startswith("j") or mnemonic.startswith("call") or mnemonic.startswith("loop")):
            target = int(t.group(1), 16) - base
        instructions.append((int(m.group(1), 16) - base, mnemonic, target))
    if not instructions:
        raise BlockMapError(f"{image}: no instruction between {start:#x} and {end:#x}")
    return instructions


def read_lines(dwarfdump, debug_image, debug_text, text_rva):
    """Sorted [(rva, file path or None, line)]: the line table rows (addresses of the debug copy, whose
    section starts at debug_text), moved to the shipped image's section at text_rva."""
    out = subprocess.run([dwarfdump, "--debug-line", debug_image], check=True, capture_output=True, text=True).stdout
    rows = []
    directories = {}
    files = {}
    pending = None
    for line in out.splitlines():
        if line.startswith("debug_line["):
            directories, files = {}, {}
            continue
        m = re.match(r'^include_directories\[\s*(\d+)\] = "(.*)"$', line)
        if m:
            directories[int(m.group(1))] = m.group(2)
            continue
        m = re.match(r"^file_names\[\s*(\d+)\]:$", line)
        if m:
            pending = [int(m.group(1)), None, 0]
            continue
        m = re.match(r'^\s+name: "(.*)"$', line)
        if m and pending is not None:
            pending[1] = m.group(1)
            continue
        m = re.match(r"^\s+dir_index: (\d+)$", line)
        if m and pending is not None:
            index, name, directory = pending[0], pending[1], int(m.group(1))
            files[index] = name if name.startswith("/") or directory not in directories else \
                directories[directory] + "/" + name
            pending = None
            continue
        m = re.match(r"^0x([0-9a-f]+)\s+(\d+)\s+(\d+)\s+(\d+)\s+\d+\s+\d+\s*(.*)$", line)
        if m:
            rva = int(m.group(1), 16) - debug_text + text_rva
            number = int(m.group(2))
            end = "end_sequence" in m.group(5)
            path = None if end or number == 0 else files.get(int(m.group(4)))
            rows.append((rva, path, number))
    rows.sort(key=lambda r: (r[0], r[1] is not None))
    return rows


def build(args):
    debug_text = check_debug_copy(args.linked, args.debug)
    pe, text, _ = section_of(args.image)
    base, code_length, symbols = read_map(args.map)
    code_start, code_end = text.VirtualAddress, text.VirtualAddress + code_length
    functions = sorted({rva: name for rva, name in symbols if code_start <= rva < code_end}.items())
    if not functions or functions[0][0] != code_start:
        raise BlockMapError(f"{args.map}: no symbol at the code's first byte {code_start:#x}")
    instructions = disassemble(args.objdump, args.image, base, code_start, code_end)

    leaders = {rva for rva, _ in functions}
    for i, (rva, mnemonic, target) in enumerate(instructions):
        if target is not None and code_start <= target < code_end:
            leaders.add(target)
        if ENDS_BLOCK.match(mnemonic) and i + 1 < len(instructions):
            leaders.add(instructions[i + 1][0])
    starts = [rva for rva, _, _ in instructions]
    stray = sorted(leader for leader in leaders if leader not in set(starts))
    if stray:
        raise BlockMapError(f"{args.image}: a branch goes to {stray[0]:#x}, inside an instruction")

    rows = read_lines(args.dwarfdump, args.debug, debug_text, text.VirtualAddress)
    row_addresses = [r[0] for r in rows]
    file_index = {}

    def line_of(rva):
        i = bisect.bisect_right(row_addresses, rva) - 1
        if i < 0 or rows[i][1] is None:
            return None
        path = rows[i][1]
        file_index.setdefault(path, len(file_index))
        return file_index[path], rows[i][2]

    blocks = []
    for i, (rva, _, _) in enumerate(instructions):
        if rva in leaders or not blocks:
            blocks.append([rva, None, []])
        end = instructions[i + 1][0] if i + 1 < len(instructions) else code_end
        blocks[-1][1] = end
        where = line_of(rva)
        if where is not None and where not in blocks[-1][2]:
            blocks[-1][2].append(where)

    out = ["# the block map of StatusSinkPei.efi, written by cmake/block_map.py (RVAs in hexadecimal)",
           f"image {pe.OPTIONAL_HEADER.SizeOfImage:x} {pe.OPTIONAL_HEADER.AddressOfEntryPoint:x} "
           f"{code_start:x} {code_end:x}"]
    out += [f"file {index} {path}" for path, index in sorted(file_index.items(), key=lambda kv: kv[1])]
    for k, (rva, name) in enumerate(functions):
        end = functions[k + 1][0] if k + 1 < len(functions) else code_end
        out.append(f"function {rva:x} {end:x} {name}")
    for start, end, lines in blocks:
        where = ",".join(f"{f}:{n}" for f, n in lines) or "-"
        out.append(f"block {start:x} {end:x} {where}")
    with open(args.out, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--dwarfdump", required=True)
    parser.add_argument("image")
    parser.add_argument("map")
    parser.add_argument("linked")
    parser.add_argument("debug")
    parser.add_argument("out")
    args = parser.parse_args()
    try:
        build(args)
    except BlockMapError as e:
        sys.exit(f"block_map.py: {e}")


if __name__ == "__main__":
    main()
