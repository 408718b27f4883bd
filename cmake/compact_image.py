#!/usr/bin/python3
"""Rewrites the linker's PE32 image with the smallest headers a PE32 image can
have, and moves its sections down into the bytes that frees.

lld-link writes a DOS stub program, sixteen data directories, room for one
more section header, and the base relocations in a section of their own; an
image that runs in place from flash uses none of that. The image written here
has:
  - a 64-byte DOS header whose only content is "MZ" and the offset of the PE
    header, which follows it directly at 0x40;
  - seven data directories (0 to 6), of which only the base relocations are set;
  - the section table, padded to the section alignment;
  - the base relocations at the end of the last section, on a 32-bit boundary
    (the directory, not a section, is what says where they are): a section
    header and the padding in front of the relocations less.

Every section moves down by the same number of bytes (a multiple of the
section alignment), so file offsets still equal RVAs and PC-relative code is
unaffected. What depends on RVAs is fixed: section headers, entry point, base
of code and data, size of image and headers, the base relocation directory,
the relocation blocks (one per 4 KiB page: entries whose page changes move to
another block), and every 32-bit address a HIGHLOW relocation points at. The
linker map's absolute addresses are shifted the same way; its section-relative
addresses stay as they are.

The section alignment may be smaller than the largest alignment a compiler
can give an object, so it is checked against the objects that went into the
image: every section of every COFF object the linker placed (for bitcode
inputs, the object link-time code generation made of them, which lld-link
writes as LINKED.efi.lto.obj with /lldsavetemps) must ask for no more than the
image's section alignment, or the image is refused.

Anything this does not understand is refused with a message, and nothing is
written: relocation types other than ABSOLUTE and HIGHLOW, sections out of RVA
order or not laid out in the file as in memory, data directories other than
the base relocations, a relocation in the headers, an address that points
into the headers or outside the image, data after the last section, a symbol
table, a checksum, an object file that is neither COFF i386 nor bitcode.

Usage: compact_image.py LINKED.efi LINKED.map OUT.efi OUT.map OBJECT...
"""
import os
import re
import struct
import sys

DOS_HEADER_SIZE = 64
PE_OFFSET_FIELD = 0x3C
PE_SIGNATURE = b"PE\0\0"
FILE_HEADER_SIZE = 20
OPTIONAL_FIXED_SIZE = 96  # PE32 optional header up to its data directories
SECTION_HEADER_SIZE = 40
MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
DIR_BASERELOC = 5
DIR_DEBUG = 6
# Directories 0 to 6 are kept, all empty but the base relocations: a Terse
# Executable header carries 5 and 6, so readers that convert or walk an image
# look for both (pefile, for one, stops before the base relocations when the
# debug directory is missing).
KEPT_DIRECTORIES = DIR_DEBUG + 1
PAGE_SIZE = 0x1000
REL_ABSOLUTE = 0
REL_HIGHLOW = 3
SCN_CNT_CODE = 0x20
SCN_CNT_INITIALIZED_DATA = 0x40
SCN_CNT_UNINITIALIZED_DATA = 0x80
SCN_LNK_INFO = 0x200
SCN_LNK_REMOVE = 0x800
SCN_MEM_DISCARDABLE = 0x02000000
SCN_ALIGN_SHIFT = 20
SCN_ALIGN_MASK = 0xF
DEFAULT_OBJECT_ALIGNMENT = 16  # a section that states no alignment gets 16 bytes
BITCODE_MAGICS = (b"BC\xc0\xde", b"\xde\xc0\x17\x0b")  # raw and wrapped LLVM bitcode

# Optional header fields (offsets from its start).
OPT_SIZE_OF_CODE = 4
OPT_SIZE_OF_INITIALIZED_DATA = 8
OPT_SIZE_OF_UNINITIALIZED_DATA = 12
OPT_ENTRY = 16
OPT_BASE_OF_CODE = 20
OPT_BASE_OF_DATA = 24
OPT_IMAGE_BASE = 28
OPT_SECTION_ALIGNMENT = 32
OPT_FILE_ALIGNMENT = 36
OPT_SIZE_OF_IMAGE = 56
OPT_SIZE_OF_HEADERS = 60
OPT_CHECKSUM = 64
OPT_DIRECTORY_COUNT = 92


class ImageError(Exception):
    """The image (or its map) is not one this step can rewrite safely."""


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Section:
    def __init__(self, raw_header):
        self.name = raw_header[0:8]
        (self.virtual_size, self.rva, self.raw_size, self.raw_offset, self.relocations_offset,
         self.line_numbers_offset, self.relocation_count, self.line_number_count,
         self.characteristics) = struct.unpack_from("<IIIIIIHHI", raw_header, 8)

    def label(self):
        return self.name.rstrip(b"\0").decode(errors="replace") or "(unnamed)"

    def header(self, shift):
        return self.name + struct.pack("<IIIIIIHHI", self.virtual_size, self.rva - shift, self.raw_size,
                                       self.raw_offset - shift, 0, 0, 0, 0, self.characteristics)


class Image:
    """A PE32 image as lld-link writes it for running in place, checked field by field."""

    def __init__(self, data):
        self.data = bytes(data)
        fail = self.fail
        if len(data) < DOS_HEADER_SIZE or data[0:2] != b"MZ":
            fail("no MZ signature")
        self.pe_offset = self.u32(PE_OFFSET_FIELD)
        if data[self.pe_offset:self.pe_offset + 4] != PE_SIGNATURE:
            fail(f"no PE signature at {self.pe_offset:#x}")
        coff = self.pe_offset + 4
        machine, self.section_count, _, symbol_table, symbol_count, optional_size, _ = \
            struct.unpack_from("<HHIIIHH", self.need(coff, FILE_HEADER_SIZE, "file header"))
        self.file_header = bytearray(data[coff:coff + FILE_HEADER_SIZE])
        if machine != MACHINE_I386:
            fail(f"machine {machine:#x} is not i386")
        if symbol_table != 0 or symbol_count != 0:
            fail("the image has a COFF symbol table")
        self.optional_offset = coff + FILE_HEADER_SIZE
        opt = self.optional_offset
        self.need(opt, OPTIONAL_FIXED_SIZE, "optional header")
        if self.u16(opt) != PE32_MAGIC:
            fail("the optional header is not PE32")
        self.optional_fixed = bytearray(data[opt:opt + OPTIONAL_FIXED_SIZE])
        self.image_base = self.opt32(OPT_IMAGE_BASE)
        self.section_alignment = self.opt32(OPT_SECTION_ALIGNMENT)
        self.file_alignment = self.opt32(OPT_FILE_ALIGNMENT)
        self.size_of_image = self.opt32(OPT_SIZE_OF_IMAGE)
        self.size_of_headers = self.opt32(OPT_SIZE_OF_HEADERS)
        self.entry = self.opt32(OPT_ENTRY)
        alignment = self.section_alignment
        if alignment == 0 or alignment & (alignment - 1) or alignment > PAGE_SIZE:
            fail(f"section alignment {alignment:#x} is not a power of two up to 4 KiB")
        if self.file_alignment != alignment:
            fail(f"file alignment {self.file_alignment:#x} differs from section alignment {alignment:#x}: "
                 "the image would not run in place")
        if self.opt32(OPT_CHECKSUM) != 0:
            fail("the image has a checksum, which moving its sections would break")
        directory_count = self.opt32(OPT_DIRECTORY_COUNT)
        if directory_count <= DIR_BASERELOC or directory_count > 16:
            fail(f"{directory_count} data directories: the base relocations must be among them")
        if optional_size != OPTIONAL_FIXED_SIZE + 8 * directory_count:
            fail(f"optional header of {optional_size} bytes does not hold exactly {directory_count} directories")
        directories = [struct.unpack_from("<II", self.need(opt + OPTIONAL_FIXED_SIZE + 8 * i, 8, "directory"))
                       for i in range(directory_count)]
        for index, (rva, size) in enumerate(directories):
            if index != DIR_BASERELOC and (rva or size):
                fail(f"data directory {index} is used; only the base relocations can be moved")
        self.reloc_rva, self.reloc_size = directories[DIR_BASERELOC]
        if self.reloc_size == 0:
            fail("no base relocations")

        table = opt + optional_size
        self.sections = [Section(self.need(table + SECTION_HEADER_SIZE * i, SECTION_HEADER_SIZE, "section header"))
                         for i in range(self.section_count)]
        if not self.sections:
            fail("no sections")
        headers_end = table + SECTION_HEADER_SIZE * self.section_count
        if self.size_of_headers < headers_end or self.size_of_headers % alignment:
            fail(f"size of headers {self.size_of_headers:#x} does not cover the section table on the alignment")
        if any(data[headers_end:self.size_of_headers]):
            fail("the headers hold data after the section table")
        self.check_sections()
        self.targets = self.read_relocations()
        self.check_addresses()

    # Reads that name what they read.
    def fail(self, what):
        raise ImageError(what)

    def need(self, offset, size, what):
        if offset < 0 or offset + size > len(self.data):
            self.fail(f"truncated at {offset:#x} ({what})")
        return self.data[offset:offset + size]

    def u16(self, offset):
        return struct.unpack_from("<H", self.need(offset, 2, "field"))[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.need(offset, 4, "field"))[0]

    def opt32(self, field):
        return struct.unpack_from("<I", self.optional_fixed, field)[0]

    def check_sections(self):
        fail = self.fail
        expected_rva = self.size_of_headers
        for s in self.sections:
            name = s.label()
            if s.rva < expected_rva:
                fail(f"section {name} at RVA {s.rva:#x} is not after the one before it (or the headers)")
            if s.rva % self.section_alignment:
                fail(f"section {name} at RVA {s.rva:#x} is not on the section alignment")
            if s.raw_offset != s.rva:
                fail(f"section {name} lies at file offset {s.raw_offset:#x} but RVA {s.rva:#x}")
            if s.raw_size < s.virtual_size or s.raw_size % self.file_alignment:
                fail(f"section {name} has {s.raw_size:#x} bytes in the file for {s.virtual_size:#x} in memory: "
                     "an image that runs in place holds every byte of every section")
            if s.relocation_count or s.line_number_count or s.relocations_offset or s.line_numbers_offset:
                fail(f"section {name} has COFF relocations or line numbers")
            expected_rva = s.rva + s.raw_size
        if self.sections[0].rva != self.size_of_headers:
            fail(f"the first section starts at {self.sections[0].rva:#x}, not where the headers end")
        last = self.sections[-1]
        if last.raw_offset + last.raw_size != len(self.data):
            fail(f"the file holds {len(self.data):#x} bytes but its last section ends at "
                 f"{last.raw_offset + last.raw_size:#x}")
        if self.size_of_image != align_up(last.rva + last.virtual_size, self.section_alignment):
            fail(f"size of image {self.size_of_image:#x} does not end with the last section")
        if not last.rva <= self.reloc_rva or self.reloc_rva + self.reloc_size != last.rva + last.virtual_size \
                or self.reloc_rva % 4:
            fail("the base relocations do not end the last section")
        # What each section holds besides the base relocations.
        self.contents = [(s, s.virtual_size) for s in self.sections[:-1]]
        if self.reloc_rva > last.rva:
            self.contents.append((last, self.reloc_rva - last.rva))
        if self.section_at(self.entry, 1) is None:
            fail(f"entry point {self.entry:#x} is not in a section with code")
        for field, name in ((OPT_SIZE_OF_CODE, "code"), (OPT_SIZE_OF_INITIALIZED_DATA, "initialized data"),
                            (OPT_SIZE_OF_UNINITIALIZED_DATA, "uninitialized data")):
            if self.opt32(field) != sizes_by_kind(self.sections)[field]:
                fail(f"size of {name} {self.opt32(field):#x} is not the sum of its sections' sizes")

    def section_at(self, rva, size):
        """The section whose contents (not the base relocations) hold [rva, rva + size)."""
        for s, content in self.contents:
            if s.rva <= rva and rva + size <= s.rva + content:
                return s
        return None

    def read_relocations(self):
        fail = self.fail
        targets = []
        at, end = self.reloc_rva, self.reloc_rva + self.reloc_size
        while at < end:
            if end - at < 8:
                fail(f"relocation directory ends inside a block header at RVA {at:#x}")
            page, block_size = struct.unpack_from("<II", self.data, at)
            if block_size < 8 or block_size % 2 or block_size > end - at:
                fail(f"malformed relocation block at RVA {at:#x} (size {block_size:#x})")
            if page % PAGE_SIZE:
                fail(f"relocation block at RVA {at:#x} is for {page:#x}, not a page")
            for e in range(at + 8, at + block_size, 2):
                entry = struct.unpack_from("<H", self.data, e)[0]
                kind, target = entry >> 12, page + (entry & 0xFFF)
                if kind == REL_ABSOLUTE:
                    continue
                if kind != REL_HIGHLOW:
                    fail(f"relocation type {kind} at RVA {target:#x}: only ABSOLUTE and HIGHLOW are understood")
                if target < self.size_of_headers:
                    fail(f"relocation at RVA {target:#x} lies in the headers")
                if self.section_at(target, 4) is None:
                    fail(f"relocation at RVA {target:#x} does not lie inside one section")
                targets.append(target)
            at += block_size
        targets.sort()
        for a, b in zip(targets, targets[1:]):
            if b - a < 4:
                fail(f"relocations at RVA {a:#x} and {b:#x} overlap")
        return targets

    def check_addresses(self):
        """Every relocated word is an address in the sections' contents (or just past them): only
        those move with the sections."""
        low = self.image_base + self.sections[0].rva
        last, content = self.contents[-1]
        high = self.image_base + last.rva + content
        for target in self.targets:
            value = self.u32(target)
            if value < self.image_base + self.size_of_headers and value >= self.image_base:
                self.fail(f"relocated word at RVA {target:#x} points into the headers ({value:#x})")
            if not low <= value <= high:
                self.fail(f"relocated word at RVA {target:#x} points outside the sections ({value:#x})")


def sizes_by_kind(sections):
    """Size of code, initialized and uninitialized data: the file sizes of the sections of each kind."""
    sums = {OPT_SIZE_OF_CODE: 0, OPT_SIZE_OF_INITIALIZED_DATA: 0, OPT_SIZE_OF_UNINITIALIZED_DATA: 0}
    for s in sections:
        for flag, field in ((SCN_CNT_CODE, OPT_SIZE_OF_CODE), (SCN_CNT_INITIALIZED_DATA, OPT_SIZE_OF_INITIALIZED_DATA),
                            (SCN_CNT_UNINITIALIZED_DATA, OPT_SIZE_OF_UNINITIALIZED_DATA)):
            if s.characteristics & flag:
                sums[field] += s.raw_size
    return sums


def relocation_blocks(targets):
    """Base relocation blocks for HIGHLOW entries at these RVAs: one block per 4 KiB page, in
    page order, each padded with an ABSOLUTE entry to a multiple of four bytes."""
    pages = {}
    for target in sorted(targets):
        pages.setdefault(target & ~(PAGE_SIZE - 1), []).append(target & (PAGE_SIZE - 1))
    out = bytearray()
    for page, offsets in sorted(pages.items()):
        entries = [(REL_HIGHLOW << 12) | offset for offset in offsets]
        if len(entries) % 2:
            entries.append(REL_ABSOLUTE << 12)
        out += struct.pack("<II", page, 8 + 2 * len(entries))
        out += struct.pack(f"<{len(entries)}H", *entries)
    return bytes(out)


def headers_size(section_count, alignment):
    """The smallest headers: DOS header, PE signature, file header, optional header with seven
    directories, section table; padded to the alignment."""
    return align_up(DOS_HEADER_SIZE + len(PE_SIGNATURE) + FILE_HEADER_SIZE + OPTIONAL_FIXED_SIZE +
                    8 * KEPT_DIRECTORIES + SECTION_HEADER_SIZE * section_count, alignment)


def compact(data):
    """The image with the smallest headers, its sections moved down and its base relocations at
    the end of its last section; returns (bytes, shift)."""
    image = Image(data)
    alignment = image.section_alignment
    sections = [s for s, _ in image.contents]
    new_headers = headers_size(len(sections), alignment)
    shift = image.size_of_headers - new_headers
    assert shift >= 0 and shift % alignment == 0

    # The sections' contents, moved down, with every relocated address moved with them.
    first = sections[0].rva
    last, content = image.contents[-1]
    body = bytearray(image.data[first:last.rva + content])
    for target in image.targets:
        value = struct.unpack_from("<I", body, target - first)[0]
        struct.pack_into("<I", body, target - first, value - shift)
    # The base relocations follow the last section's contents, on a 32-bit boundary.
    body += bytes(align_up(len(body), 4) - len(body))
    reloc_rva = first - shift + len(body)
    relocations = relocation_blocks(t - shift for t in image.targets)
    body += relocations
    last.virtual_size = reloc_rva + len(relocations) - (last.rva - shift)
    last.raw_size = align_up(last.virtual_size, image.file_alignment)
    body += bytes(last.raw_offset - shift + last.raw_size - (first - shift) - len(body))

    optional = image.optional_fixed
    def set_opt(field, value):
        struct.pack_into("<I", optional, field, value)
    for field, value in sizes_by_kind(sections).items():
        set_opt(field, value)
    set_opt(OPT_ENTRY, image.entry - shift)
    for field in (OPT_BASE_OF_CODE, OPT_BASE_OF_DATA):
        if image.opt32(field) != 0:
            set_opt(field, image.opt32(field) - shift)
    set_opt(OPT_SIZE_OF_IMAGE, align_up(last.rva - shift + last.virtual_size, alignment))
    set_opt(OPT_SIZE_OF_HEADERS, new_headers)
    set_opt(OPT_DIRECTORY_COUNT, KEPT_DIRECTORIES)
    file_header = image.file_header
    struct.pack_into("<H", file_header, 2, len(sections))
    struct.pack_into("<H", file_header, 16, OPTIONAL_FIXED_SIZE + 8 * KEPT_DIRECTORIES)

    headers = bytearray(DOS_HEADER_SIZE)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, PE_OFFSET_FIELD, DOS_HEADER_SIZE)
    headers += PE_SIGNATURE + file_header + optional
    for index in range(KEPT_DIRECTORIES):
        rva, size = (reloc_rva, len(relocations)) if index == DIR_BASERELOC else (0, 0)
        headers += struct.pack("<II", rva, size)
    for s in sections:
        headers += s.header(shift)
    headers += bytes(new_headers - len(headers))
    return bytes(headers + body), shift


# " 0001:000010ae       _ModuleEntry               00000000004012ce     StatusSinkPei.efi.lto.obj"
MAP_SYMBOL = re.compile(r"^(\s*([0-9a-fA-F]{4}):([0-9a-fA-F]{8})\s+\S+\s+)([0-9a-fA-F]{16})\b")
MAP_ENTRY = re.compile(r"^\s*entry point at\s+([0-9a-fA-F]{4}):([0-9a-fA-F]{8})\s*$")


def shift_map(text, linked, compacted, shift):
    """The linker map with every absolute address that lies in the sections moved down by
    `shift`. Each symbol's section and offset must agree with the compacted image."""
    section_rvas = [s.rva for s in Image(compacted).sections]
    start = linked.image_base + linked.sections[0].rva
    end = linked.image_base + linked.size_of_image
    out = []
    symbols = 0
    for line in text.splitlines(keepends=True):
        m = MAP_SYMBOL.match(line)
        if m:
            section, offset, address = int(m.group(2), 16), int(m.group(3), 16), int(m.group(4), 16)
            if start <= address <= end:
                address -= shift
                if not 1 <= section <= len(section_rvas) or \
                        address != linked.image_base + section_rvas[section - 1] + offset:
                    raise ImageError(f"map line does not match the image: {line.strip()}")
                line = m.group(1) + f"{address:016x}" + line[m.end():]
                symbols += 1
        m = MAP_ENTRY.match(line)
        if m:
            section, offset = int(m.group(1), 16), int(m.group(2), 16)
            if not 1 <= section <= len(section_rvas) or \
                    section_rvas[section - 1] + offset != linked.entry - shift:
                raise ImageError(f"map's entry point does not match the image: {line.strip()}")
        out.append(line)
    if symbols == 0:
        raise ImageError("the map names no symbol in the image")
    return "".join(out)


def object_alignments(path, data):
    """(section name, alignment) of each section of a COFF i386 object that goes into an image."""
    if len(data) < FILE_HEADER_SIZE or struct.unpack_from("<H", data, 0)[0] != MACHINE_I386:
        raise ImageError(f"{path}: not an i386 COFF object")
    _, count, _, symbol_table, symbol_count, optional_size, _ = struct.unpack_from("<HHIIIHH", data, 0)
    strings = symbol_table + 18 * symbol_count
    out = []
    for i in range(count):
        at = FILE_HEADER_SIZE + optional_size + SECTION_HEADER_SIZE * i
        if at + SECTION_HEADER_SIZE > len(data):
            raise ImageError(f"{path}: truncated section table")
        name = data[at:at + 8].rstrip(b"\0")
        if name.startswith(b"/") and name[1:].isdigit():  # a long name, in the string table
            start = strings + int(name[1:])
            name = data[start:data.find(b"\0", start)]
        flags = struct.unpack_from("<I", data, at + 36)[0]
        placed = flags & (SCN_CNT_CODE | SCN_CNT_INITIALIZED_DATA | SCN_CNT_UNINITIALIZED_DATA)
        if not placed or flags & (SCN_LNK_INFO | SCN_LNK_REMOVE | SCN_MEM_DISCARDABLE):
            continue
        code = (flags >> SCN_ALIGN_SHIFT) & SCN_ALIGN_MASK
        out.append((name.decode(errors="replace"), 1 << (code - 1) if code else DEFAULT_OBJECT_ALIGNMENT))
    return out


def check_object_alignment(image, linked_path, objects):
    """Refuses the image when an object it was linked from asks for more than its section alignment."""
    coff = []
    bitcode = False
    for path in objects:
        with open(path, "rb") as f:
            data = f.read()
        if data[:4] in BITCODE_MAGICS:
            bitcode = True
        else:
            coff.append((path, data))
    if bitcode:
        generated = linked_path + ".lto.obj"
        if not os.path.exists(generated):
            raise ImageError(f"bitcode inputs, but no {generated}: link with /lldsavetemps so that the "
                             "alignment of the generated code and data can be checked")
        with open(generated, "rb") as f:
            coff.append((generated, f.read()))
    if not coff:
        raise ImageError("no object files to check the alignment against")
    for path, data in coff:
        for name, alignment in object_alignments(path, data):
            if alignment > image.section_alignment:
                raise ImageError(f"{os.path.basename(path)}: section {name} asks for {alignment}-byte alignment, "
                                 f"more than the image's section alignment {image.section_alignment}: "
                                 "link with a larger /align")


def write_atomically(path, data, mode):
    temporary = path + ".tmp"
    with open(temporary, mode) as f:
        f.write(data)
    os.replace(temporary, path)


def main(argv):
    if len(argv) < 6:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    linked_path, linked_map, out_path, out_map = argv[1:5]
    objects = argv[5:]
    for stale in (out_path, out_map):
        if os.path.exists(stale):
            os.remove(stale)
    try:
        with open(linked_path, "rb") as f:
            data = f.read()
        with open(linked_map, encoding="latin-1") as f:
            map_text = f.read()
        check_object_alignment(Image(data), linked_path, objects)
        compacted, shift = compact(data)
        new_map = shift_map(map_text, Image(data), compacted, shift)
    except (ImageError, OSError) as error:
        print(f"compact_image: {linked_path}: {error}", file=sys.stderr)
        return 1
    write_atomically(out_path, compacted, "wb")
    write_atomically(out_map, new_map.encode("latin-1"), "wb")
    print(f"compact_image: {os.path.basename(out_path)}: {len(data)} -> {len(compacted)} bytes "
          f"(headers {Image(data).size_of_headers} -> {Image(compacted).size_of_headers}, sections moved down by {shift})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
