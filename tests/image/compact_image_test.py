#!/usr/bin/python3
"""The post-link step (cmake/compact_image.py) on hand-made images laid out as
lld-link lays them out, and on the build's own image:
  - the sections move down by what the smaller headers free, with every RVA,
    relocation block and relocated address moved with them: the compacted
    image relocated to base B + shift is, byte for byte, the linked image
    relocated to B (pefile does the relocating, not the step itself);
  - relocations whose page changes are re-bucketed into the block of their
    new page;
  - every image the step does not understand is refused with a message and
    nothing is written;
  - the map's absolute addresses move with the image and still agree with
    each symbol's section and offset;
  - an image whose objects ask for more alignment than its sections have is
    refused (hand-made objects, and one the compiler made).
Usage: compact_image_test.py ROOT [LINKED.efi LINKED.map IMAGE.efi IMAGE.map ALIGNED.obj OBJECT...]"""
import os
import re
import struct
import subprocess
import sys
import tempfile

import pefile

ROOT = sys.argv[1]
sys.path.insert(0, os.path.join(ROOT, "cmake"))
import compact_image  # noqa: E402

failures = []
BASE = 0x400000


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Layout:
    """An image as lld-link writes one: a DOS stub program, sixteen data directories, room for a
    section header more, then the sections and .reloc last. `sections` are (name, bytes, flags);
    `words` are (section index, offset, RVA the word points at) and get a HIGHLOW relocation each."""

    def __init__(self, sections, words, alignment=32, entry=(0, 0)):
        self.alignment = alignment
        self.sections = sections
        self.words = words
        self.entry = entry
        self.pe = 0x78
        self.opt = self.pe + 24
        self.table = self.opt + 224
        self.headers = align(self.table + 40 * (len(sections) + 2), alignment)
        self.rvas = []
        rva = self.headers
        for _, data, _ in sections:
            self.rvas.append(rva)
            rva += align(len(data), alignment)
        self.reloc_rva = rva
        self.relocations = None  # raw base relocation bytes instead of the ones the words ask for

    def targets(self):
        return [self.rvas[index] + offset for index, offset, _ in self.words]

    def build(self):
        a = self.alignment
        bodies = [bytearray(data) for _, data, _ in self.sections]
        for index, offset, points_at in self.words:
            struct.pack_into("<I", bodies[index], offset, BASE + points_at)
        relocations = self.relocations if self.relocations is not None else blocks(self.targets())
        size_of_image = align(self.reloc_rva + len(relocations), a)
        f = bytearray(self.headers)
        f[0:2] = b"MZ"
        struct.pack_into("<HHHH", f, 2, 0x78, 1, 0, 4)
        struct.pack_into("<I", f, 0x3C, self.pe)
        f[0x40:0x78] = b"\x0e\x1f\xba\x0e\x00\xb4\x09\xcd\x21\xb8\x01\x4c\xcd\x21This program cannot be run in DOS mode.$"[:0x38].ljust(0x38, b"\0")
        f[self.pe:self.pe + 4] = b"PE\0\0"
        struct.pack_into("<HHIIIHH", f, self.pe + 4, 0x14C, len(self.sections) + 1, 0, 0, 0, 224, 0x102)
        code = sum(align(len(d), a) for _, d, fl in self.sections if fl & 0x20)
        data = sum(align(len(d), a) for _, d, fl in self.sections if fl & 0x40) + align(len(relocations), a)
        entry = self.rvas[self.entry[0]] + self.entry[1]
        struct.pack_into("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", f, self.opt, 0x10B, 14, 0, code, data, 0, entry,
                         self.rvas[0], 0, BASE, a, a, 6, 0, 0, 0, 6, 0, 0, size_of_image, self.headers, 0, 11,
                         0x8540, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
        struct.pack_into("<II", f, self.opt + 96 + 8 * 5, self.reloc_rva, len(relocations))
        for i, (name, d, flags) in enumerate(self.sections + [(".reloc", relocations, 0x42000040)]):
            rva = self.rvas[i] if i < len(self.sections) else self.reloc_rva
            struct.pack_into("<8sIIIIIIHHI", f, self.table + 40 * i, name.encode(), len(d), rva, align(len(d), a),
                             rva, 0, 0, 0, 0, flags)
        for body in bodies + [bytearray(relocations)]:
            f += body + bytes(align(len(body), a) - len(body))
        return f


def blocks(targets):
    """Base relocation blocks as lld-link writes them (one per page, HIGHLOW entries, ABSOLUTE pad)."""
    pages = {}
    for t in sorted(targets):
        pages.setdefault(t & ~0xFFF, []).append(0x3000 | (t & 0xFFF))
    out = bytearray()
    for page, entries in sorted(pages.items()):
        if len(entries) % 2:
            entries.append(0)
        out += struct.pack("<II", page, 8 + 2 * len(entries)) + struct.pack(f"<{len(entries)}H", *entries)
    return bytes(out)


def code(size, fill=0x90):
    return bytes([fill]) * size


# Code with an absolute reference to data and to itself, and data with a pointer to code.
def small():
    return Layout([(".text", code(0x41), 0x60000020), (".rdata", bytes(range(0x30)), 0x40000040)],
                  [(0, 0x10, 0), (0, 0x20, 0), (1, 0x8, 0x10)], entry=(0, 0x3))


def fix_small(layout):
    # The words point at RVAs of the layout: .text + 0x3, .rdata + 0x4, .text end (one past).
    layout.words = [(0, 0x10, layout.rvas[0] + 3), (0, 0x20, layout.rvas[1] + 4),
                    (1, 0x8, layout.rvas[0] + 0x41)]
    return layout


def relocated_sections(data, base, start, end):
    pe = pefile.PE(data=bytes(data))
    pe.relocate_image(base)
    return pe.get_memory_mapped_image()[start:end], pe


def compacts_faithfully(data, what):
    """The compacted image, relocated to B + shift, equals the linked one relocated to B in
    every section but the relocations."""
    out, shift = compact_image.compact(data)
    linked = pefile.PE(data=bytes(data))
    first = linked.sections[0].VirtualAddress
    last = linked.sections[-2].VirtualAddress + linked.sections[-2].Misc_VirtualSize
    before, _ = relocated_sections(data, 0xFFF00000, first, last)
    after, pe = relocated_sections(out, 0xFFF00000 + shift, first - shift, last - shift)
    check(before == after, f"{what}: relocated to its base + {shift}, the compacted image holds the same bytes")
    # (pefile's guess that a file of mostly one byte value is truncated is not about the layout)
    warnings = [w for w in pe.get_warnings() if not w.startswith("Byte 0x")]
    check(not warnings, f"{what}: pefile reads it without warnings {warnings[:2]}")
    targets = lambda p: sorted(e.rva for b in p.DIRECTORY_ENTRY_BASERELOC for e in b.entries if e.type == 3)
    check(targets(pe) == [t - shift for t in targets(linked)], f"{what}: every relocation moved by {shift}")
    return out, shift, linked, pe


# Hand-made images that come out as they should.
# .text, .rdata and .reloc become .text and .rdata with the relocations at its
# end: headers of 64 + 4 + 20 + 96 + 7 * 8 + 2 * 40 = 320 bytes, then the alignment.
for alignment, headers in ((32, 0x140), (16, 0x140), (4096, 0x1000)):
    layout = fix_small(Layout(small().sections, [], alignment=alignment, entry=(0, 3)))
    out, shift, linked, pe = compacts_faithfully(layout.build(), f"alignment {alignment}")
    o = pe.OPTIONAL_HEADER
    check(pe.DOS_HEADER.e_lfanew == 0x40 and o.NumberOfRvaAndSizes == 7 and o.SizeOfHeaders == headers and
          pe.FILE_HEADER.SizeOfOptionalHeader == 96 + 7 * 8,
          f"alignment {alignment}: PE header at 0x40, seven directories, headers {o.SizeOfHeaders:#x}")
    check(shift == layout.headers - headers and len(out) == o.SizeOfImage,
          f"alignment {alignment}: sections moved down by {shift}, the file is the image")
    check(o.AddressOfEntryPoint == linked.OPTIONAL_HEADER.AddressOfEntryPoint - shift and
          o.BaseOfCode == linked.OPTIONAL_HEADER.BaseOfCode - shift and
          [s.VirtualAddress for s in pe.sections] == [s.VirtualAddress - shift for s in linked.sections[:-1]] and
          all(s.PointerToRawData == s.VirtualAddress for s in pe.sections),
          f"alignment {alignment}: entry, base of code, size of image and sections moved, offsets equal RVAs")
    rdata, directory = pe.sections[-1], o.DATA_DIRECTORY[5]
    check(pe.FILE_HEADER.NumberOfSections == 2 and directory.VirtualAddress % 4 == 0 and
          directory.VirtualAddress == align(rdata.VirtualAddress + 0x30, 4) and
          directory.VirtualAddress + directory.Size == rdata.VirtualAddress + rdata.Misc_VirtualSize and
          rdata.SizeOfRawData == align(rdata.Misc_VirtualSize, alignment) and
          o.SizeOfImage == align(rdata.VirtualAddress + rdata.Misc_VirtualSize, alignment),
          f"alignment {alignment}: the relocations end .rdata, on a 32-bit boundary after its data")
    check(compact_image.compact(out)[0] == out, f"alignment {alignment}: compacting again changes nothing")

# A relocation whose page changes: .text and .reloc become one section, the
# headers shrink from 0x200 to 0x120 bytes, so the word at RVA 0x1010 of the
# linked image lies at 0xF30 once the sections move down, in the block of
# page 0; the one at 0x1110 stays in page 0x1000.
layout = Layout([(".text", code(0x1100), 0x60000020)], [], alignment=32)
text = layout.rvas[0]
layout.words = [(0, 0x1010 - text, text), (0, 0x100, text + 0x1000), (0, 0x1110 - text, text + 0x10)]
out, shift, _, pe = compacts_faithfully(layout.build(), "page change")
pages = {b.struct.VirtualAddress: sorted(e.rva for e in b.entries if e.type == 3) for b in pe.DIRECTORY_ENTRY_BASERELOC}
check(text == 0x200 and shift == 0xE0 and pages == {0: [0x220, 0xF30], 0x1000: [0x1030]},
      f"a relocation whose page changes moves to its new page's block: {pages}")

# lld-link writes a block per section and page; the rewrite writes one per page.
layout = fix_small(small())
linked = layout.build()
out, _ = compact_image.compact(linked)
check(len(pefile.PE(data=bytes(out)).DIRECTORY_ENTRY_BASERELOC) == 1, "one block for the one page")


# What the step refuses: (what, change to the layout or the built bytes, message).
def poke(offset_of, fmt, *values):
    def change(layout, f):
        struct.pack_into(fmt, f, offset_of(layout), *values)
    return change


def relocation_entry(entry):
    def change(layout, f):
        layout.relocations = struct.pack("<IIHH", 0, 12, entry, 0)
    return change


def section_field(index, field, fmt, value):
    return poke(lambda l: l.table + 40 * index + field, fmt, value)


def points_at(rva):
    def change(layout, f):
        struct.pack_into("<I", f, layout.rvas[0] + 0x10, BASE + rva)
    return change


def relocation_at(rva):
    def change(layout, f):
        layout.relocations = blocks([rva])
    return change


def trailing(layout, f):
    f += b"\0" * 16


REFUSED = [
    ("a 64-bit relocation", relocation_entry(0xA000 | 0x230), "relocation type 10"),
    ("a HIGH relocation", relocation_entry(0x1000 | 0x230), "relocation type 1"),
    ("a relocation in the headers", relocation_at(0x100), "lies in the headers"),
    ("a relocation across a section end", relocation_at(0x220 + 0x5E), "inside one section"),
    ("a relocation in the relocations", relocation_at(0x2C0), "inside one section"),
    ("overlapping relocations", lambda l, f: setattr(l, "relocations", blocks([0x230, 0x232])), "overlap"),
    ("a relocation entry written twice",
     lambda l, f: setattr(l, "relocations", struct.pack("<IIHH", 0, 12, 0x3230, 0x3230)), "holds an entry twice"),
    ("an address in the headers", points_at(0x80), "points into the headers"),
    ("an address past the sections", points_at(0x1000), "points outside the sections"),
    ("a block for no page", lambda l, f: setattr(l, "relocations", struct.pack("<IIHH", 0x10, 12, 0x3230, 0)),
     "not a page"),
    ("sections out of order", section_field(1, 12, "<I", 0x200), "not after"),
    ("a section off its file offset", section_field(1, 20, "<I", 0x2A0), "lies at file offset"),
    ("uninitialised data", section_field(1, 8, "<I", 0x100), "holds every byte"),
    ("file alignment apart from section alignment", poke(lambda l: l.opt + 36, "<I", 0x200), "file alignment"),
    ("a debug directory", poke(lambda l: l.opt + 96 + 8 * 6, "<II", 0x2A0, 28), "data directory 6 is used"),
    ("an import directory", poke(lambda l: l.opt + 96 + 8, "<II", 0x2A0, 20), "data directory 1 is used"),
    ("a checksum", poke(lambda l: l.opt + 64, "<I", 0x1234), "checksum"),
    ("a symbol table", poke(lambda l: l.pe + 12, "<I", 0x300), "symbol table"),
    ("data after the last section", trailing, "the file holds"),
    ("no relocations", poke(lambda l: l.opt + 96 + 8 * 5 + 4, "<I", 0), "no base relocations"),
    ("another machine", poke(lambda l: l.pe + 4, "<H", 0x8664), "not i386"),
    ("PE32+", poke(lambda l: l.opt, "<H", 0x20B), "not PE32"),
    ("an entry point outside the code", poke(lambda l: l.opt + 16, "<I", 0x10), "entry point"),
    ("a size of image too large", poke(lambda l: l.opt + 56, "<I", 0x4000), "size of image"),
    ("a size of code that is not the sections'", poke(lambda l: l.opt + 4, "<I", 0), "size of code"),
    ("data in the headers after the section table", poke(lambda l: l.table + 40 * 3 + 4, "<I", 1),
     "data after the section table"),
]
for what, change, message in REFUSED:
    layout = fix_small(small())
    f = layout.build()
    change(layout, f)
    if layout.relocations is not None:  # the change gave other relocations: build with them
        f = layout.build()
    try:
        compact_image.compact(f)
        check(False, f"refuses {what}")
    except compact_image.ImageError as error:
        check(message in str(error), f"refuses {what}: {error}")

# The objects an image is linked from may not ask for more alignment than its sections have.
def coff_object(sections):
    """An i386 COFF object with (name, flags) sections and no contents."""
    f = bytearray(struct.pack("<HHIIIHH", 0x14C, len(sections), 0, 0, 0, 0, 0))
    for name, flags in sections:
        f += struct.pack("<8sIIIIIIHHI", name.encode(), 0, 0, 0, 0, 0, 0, 0, 0, flags)
    return bytes(f)


ALIGN = {1: 0x100000, 4: 0x300000, 8: 0x400000, 16: 0x500000, 32: 0x600000}
OBJECTS = [
    # (what, sections, refused with)
    ("code and data on 8 bytes", [(".text", 0x60000020 | ALIGN[4]), (".rdata", 0x40000040 | ALIGN[8])], None),
    ("data on 16 bytes", [(".text", 0x60000020 | ALIGN[1]), (".rdata", 0x40000040 | ALIGN[16])],
     "section .rdata asks for 16-byte alignment"),
    ("uninitialised data on 32 bytes", [(".bss", 0xC0000080 | ALIGN[32])], "section .bss asks for 32-byte"),
    ("a section that states no alignment (16)", [(".text", 0x60000020)], "asks for 16-byte"),
    ("sections that never reach the image", [(".debug$S", 0x42000040 | ALIGN[32]), (".drectve", 0xA00 | ALIGN[32]),
                                            (".llvm_addrsig", 0x800 | ALIGN[32])], None),
]
linked_small = compact_image.Image(fix_small(small()).build())
linked_small.section_alignment = 8
with tempfile.TemporaryDirectory() as work:
    def object_file(name, data):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def refusal(objects, linked_path=os.path.join(work, "none.efi")):
        try:
            compact_image.check_object_alignment(linked_small, linked_path, objects)
            return None
        except compact_image.ImageError as error:
            return str(error)
    for what, sections, message in OBJECTS:
        said = refusal([object_file("o.obj", coff_object(sections))])
        check(said is None if message is None else message in (said or ""),
              f"objects with {what}: {'accepted' if message is None else 'refused'} ({said})")
    bitcode = object_file("lto.obj", b"BC\xc0\xde" + bytes(60))
    said = refusal([bitcode])
    check(said is not None and "/lldsavetemps" in said, f"bitcode without the generated object is refused ({said})")
    object_file("none.efi.lto.obj", coff_object([(".rdata", 0x40000040 | ALIGN[16])]))
    said = refusal([bitcode])
    check(said is not None and "none.efi.lto.obj: section .rdata asks for 16" in said,
          f"for bitcode, the generated object is checked ({said})")
    said = refusal([object_file("x.o", b"\x7fELF" + bytes(60))])
    check(said is not None and "not an i386 COFF object" in said, f"an ELF object is refused ({said})")

# The command: a refused image fails with the message, leaves no output (not
# even an old one) and no half-written file.
with tempfile.TemporaryDirectory() as work:
    paths = {name: os.path.join(work, name) for name in ("in.efi", "in.map", "out.efi", "out.map")}
    layout = fix_small(small())
    good = layout.build()
    text_rva, rdata_rva = layout.rvas
    map_text = (" in\n\n Preferred load address is 0000000000400000\n\n"
                " Start         Length     Name                   Class\n"
                f" 0001:00000000 00000041H .text                   CODE\n\n"
                f" 0001:00000003       _Entry                     {BASE + text_rva + 3:016x}     in.obj\n\n"
                f" entry point at         0001:00000003\n\n Static symbols\n\n"
                f" 0002:00000004       _Table                     {BASE + rdata_rva + 4:016x}     in.obj\n")
    with open(paths["in.efi"], "wb") as f:
        f.write(good)
    with open(paths["in.map"], "w") as f:
        f.write(map_text)
    script = os.path.join(ROOT, "cmake", "compact_image.py")
    small_object = os.path.join(work, "in.obj")
    with open(small_object, "wb") as f:
        f.write(coff_object([(".text", 0x60300020)]))
    command = [sys.executable, script, *paths.values(), small_object]
    run = subprocess.run(command, capture_output=True, text=True)
    out_map = open(paths["out.map"]).read() if run.returncode == 0 else ""
    shift = layout.headers - 0x140
    check(run.returncode == 0 and open(paths["out.efi"], "rb").read() == compact_image.compact(good)[0],
          "the command writes the compacted image")
    check(f"{BASE + text_rva + 3 - shift:016x}" in out_map and f"{BASE + rdata_rva + 4 - shift:016x}" in out_map and
          "0001:00000003" in out_map and "0002:00000004" in out_map and
          len(out_map.splitlines()) == len(map_text.splitlines()),
          "the map's absolute addresses move down, section offsets stay")
    with open(paths["in.map"], "w") as f:
        f.write(map_text.replace(f"{BASE + rdata_rva + 4:016x}", f"{BASE + rdata_rva + 8:016x}"))
    run = subprocess.run(command, capture_output=True, text=True)
    check(run.returncode == 1 and "does not match the image" in run.stderr and not os.path.exists(paths["out.efi"])
          and not os.path.exists(paths["out.map"]), "a map that does not fit the image fails the step, no output left")
    bad = bytearray(good)
    struct.pack_into("<I", bad, layout.opt + 64, 1)
    with open(paths["in.efi"], "wb") as f:
        f.write(bad)
    run = subprocess.run(command, capture_output=True, text=True)
    check(run.returncode == 1 and "compact_image:" in run.stderr and "checksum" in run.stderr and
          sorted(os.listdir(work)) == ["in.efi", "in.map", "in.obj"],
          f"a refused image fails the step: {run.stderr.strip()}")

# The build's own image, as lld-link wrote it and as the step rewrote it.
if len(sys.argv) > 6:
    linked_path, linked_map, image_path, image_map, aligned_object = sys.argv[2:7]
    objects = sys.argv[7:]
    linked_image = compact_image.Image(open(linked_path, "rb").read())
    try:
        compact_image.check_object_alignment(linked_image, linked_path, objects)
        check(True, f"the image's own {len(objects)} objects fit its {linked_image.section_alignment}-byte alignment")
    except compact_image.ImageError as error:
        check(False, f"the image's own objects fit its alignment: {error}")
    try:
        compact_image.check_object_alignment(linked_image, linked_path, objects + [aligned_object])
        check(linked_image.section_alignment >= 16, "an alignas(16) table the compiler made is refused")
    except compact_image.ImageError as error:
        check("asks for 16-byte alignment" in str(error),
              f"an alignas(16) table the compiler made is refused: {error}")
    linked = open(linked_path, "rb").read()
    image = open(image_path, "rb").read()
    out, shift, _, pe = compacts_faithfully(linked, "StatusSinkPei.efi")
    check(out == image, "the build's image is the compacted linked image")
    symbol = re.compile(r"^\s*([0-9a-f]{4}):([0-9a-f]{8})\s+(\S+)\s+([0-9a-f]{16})\s")

    def symbols(path):
        return [m.groups() for m in map(symbol.match, open(path, encoding="latin-1")) if m]
    before, after = symbols(linked_map), symbols(image_map)
    rvas = [s.VirtualAddress for s in pe.sections]
    check(len(after) > 10 and [a[:3] for a in after] == [b[:3] for b in before] and
          all(int(a, 16) == BASE + rvas[int(s, 16) - 1] + int(o, 16) for s, o, _, a in after),
          f"the map names the same {len(after)} symbols at their addresses in the compacted image")

print("FAILED:" if failures else "all passed", *failures, sep="\n  " if failures else "")
sys.exit(1 if failures else 0)
