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

pefile (Debian's python3-pefile) reads the image: its headers, section table
and base relocation blocks. This step checks what the rewrite relies on and
writes the new image. Anything it does not understand is refused with a
message, and nothing is written: relocation types other than ABSOLUTE and HIGHLOW, sections out of RVA
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

import pefile

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
# The optional header's size fields, by the section flag that puts a section in each.
SIZE_FIELDS = (("SizeOfCode", SCN_CNT_CODE, "code"),
               ("SizeOfInitializedData", SCN_CNT_INITIALIZED_DATA, "initialized data"),
               ("SizeOfUninitializedData", SCN_CNT_UNINITIALIZED_DATA, "uninitialized data"))


class ImageError(Exception):
    """The image (or its map) is not one this step can rewrite safely."""


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Section:
    """A section header as pefile read it, in the fields the rewrite moves."""

    def __init__(self, header):
        self.name = header.Name
        self.virtual_size = header.Misc_VirtualSize
        self.rva = header.VirtualAddress
        self.raw_size = header.SizeOfRawData
        self.raw_offset = header.PointerToRawData
        self.coff_records = (header.PointerToRelocations, header.PointerToLinenumbers, header.NumberOfRelocations,
                             header.NumberOfLinenumbers)
        self.characteristics = header.Characteristics

    def label(self):
        return self.name.rstrip(b"\0").decode(errors="replace") or "(unnamed)"

    def header(self, shift):
        return self.name + struct.pack("<IIIIIIHHI", self.virtual_size, self.rva - shift, self.raw_size,
                                       self.raw_offset - shift, 0, 0, 0, 0, self.characteristics)


class Image:
    """A PE32 image as lld-link writes it for running in place, read by pefile and checked field
    by field against what the rewrite relies on."""

    def __init__(self, data):
        self.data = bytes(data)
        fail = self.fail
        try:
            pe = pefile.PE(data=self.data, fast_load=True)
        except pefile.PEFormatError as error:
            fail(f"not a PE image: {error.value}")
        file_header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
        if file_header.Machine != MACHINE_I386:
            fail(f"machine {file_header.Machine:#x} is not i386")
        if file_header.PointerToSymbolTable != 0 or file_header.NumberOfSymbols != 0:
            fail("the image has a COFF symbol table")
        if optional.Magic != PE32_MAGIC:
            fail("the optional header is not PE32")
        # The headers the rewrite starts from: the file header and the optional header's fixed part.
        self.file_header = file_header
        self.optional = optional
        self.image_base = optional.ImageBase
        self.section_alignment = optional.SectionAlignment
        self.file_alignment = optional.FileAlignment
        self.size_of_image = optional.SizeOfImage
        self.size_of_headers = optional.SizeOfHeaders
        self.entry = optional.AddressOfEntryPoint
        alignment = self.section_alignment
        if alignment == 0 or alignment & (alignment - 1) or alignment > PAGE_SIZE:
            fail(f"section alignment {alignment:#x} is not a power of two up to 4 KiB")
        if self.file_alignment != alignment:
            fail(f"file alignment {self.file_alignment:#x} differs from section alignment {alignment:#x}: "
                 "the image would not run in place")
        if optional.CheckSum != 0:
            fail("the image has a checksum, which moving its sections would break")
        directory_count = optional.NumberOfRvaAndSizes
        if directory_count <= DIR_BASERELOC or directory_count > 16:
            fail(f"{directory_count} data directories: the base relocations must be among them")
        if file_header.SizeOfOptionalHeader != OPTIONAL_FIXED_SIZE + 8 * directory_count:
            fail(f"optional header of {file_header.SizeOfOptionalHeader} bytes does not hold exactly "
                 f"{directory_count} directories")
        directories = optional.DATA_DIRECTORY
        if len(directories) != directory_count:
            fail(f"truncated at {optional.get_file_offset() + OPTIONAL_FIXED_SIZE:#x} (directory)")
        for index, directory in enumerate(directories):
            if index != DIR_BASERELOC and (directory.VirtualAddress or directory.Size):
                fail(f"data directory {index} is used; only the base relocations can be moved")
        self.reloc_rva = directories[DIR_BASERELOC].VirtualAddress
        self.reloc_size = directories[DIR_BASERELOC].Size
        if self.reloc_size == 0:
            fail("no base relocations")

        if len(pe.sections) != file_header.NumberOfSections:
            fail(f"truncated section table: {len(pe.sections)} of {file_header.NumberOfSections} section headers")
        self.sections = [Section(s) for s in pe.sections]
        if not self.sections:
            fail("no sections")
        headers_end = optional.get_file_offset() + file_header.SizeOfOptionalHeader + \
            SECTION_HEADER_SIZE * len(self.sections)
        if self.size_of_headers < headers_end or self.size_of_headers % alignment:
            fail(f"size of headers {self.size_of_headers:#x} does not cover the section table on the alignment")
        if any(self.data[headers_end:self.size_of_headers]):
            fail("the headers hold data after the section table")
        self.check_sections()
        self.targets = self.read_relocations(pe)
        self.check_addresses()

    def fail(self, what):
        raise ImageError(what)

    def u32(self, offset):
        if offset + 4 > len(self.data):
            self.fail(f"truncated at {offset:#x} (field)")
        return struct.unpack_from("<I", self.data, offset)[0]

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
            if any(s.coff_records):
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
        sums = sizes_by_kind(self.sections)
        for field, _, name in SIZE_FIELDS:
            if getattr(self.optional, field) != sums[field]:
                fail(f"size of {name} {getattr(self.optional, field):#x} is not the sum of its sections' sizes")

    def section_at(self, rva, size):
        """The section whose contents (not the base relocations) hold [rva, rva + size)."""
        for s, content in self.contents:
            if s.rva <= rva and rva + size <= s.rva + content:
                return s
        return None

    def read_relocations(self, pe):
        """The RVAs of the HIGHLOW relocations. pefile reads the blocks; every block must follow
        the one before it, whole, up to the directory's end, with every entry read."""
        fail = self.fail
        try:
            pe.parse_data_directories(directories=[DIR_BASERELOC])
        except pefile.PEFormatError as error:
            fail(f"unreadable base relocations: {error.value}")
        targets = []
        at, end = self.reloc_rva, self.reloc_rva + self.reloc_size
        for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
            if at >= end:
                break
            if end - at < 8:
                fail(f"relocation directory ends inside a block header at RVA {at:#x}")
            page, block_size = block.struct.VirtualAddress, block.struct.SizeOfBlock
            if block.struct.get_file_offset() != at:
                fail(f"relocation block at RVA {block.struct.get_file_offset():#x} does not follow the one before it")
            if block_size < 8 or block_size % 2 or block_size > end - at:
                fail(f"malformed relocation block at RVA {at:#x} (size {block_size:#x})")
            if page % PAGE_SIZE:
                fail(f"relocation block at RVA {at:#x} is for {page:#x}, not a page")
            if len(block.entries) != (block_size - 8) // 2:
                fail(f"relocation block at RVA {at:#x} holds an entry twice")
            for entry in block.entries:
                if entry.type == REL_ABSOLUTE:
                    continue
                if entry.type != REL_HIGHLOW:
                    fail(f"relocation type {entry.type} at RVA {entry.rva:#x}: only ABSOLUTE and HIGHLOW "
                         "are understood")
                if entry.rva < self.size_of_headers:
                    fail(f"relocation at RVA {entry.rva:#x} lies in the headers")
                if self.section_at(entry.rva, 4) is None:
                    fail(f"relocation at RVA {entry.rva:#x} does not lie inside one section")
                targets.append(entry.rva)
            at += block_size
        if at < end:
            if end - at < 8:
                fail(f"relocation directory ends inside a block header at RVA {at:#x}")
            fail(f"malformed relocation block at RVA {at:#x}")
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
    return {field: sum(s.raw_size for s in sections if s.characteristics & flag) for field, flag, _ in SIZE_FIELDS}


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

    # The headers pefile read, with every RVA and size moved (its structures pack them again).
    optional = image.optional
    for field, value in sizes_by_kind(sections).items():
        setattr(optional, field, value)
    optional.AddressOfEntryPoint = image.entry - shift
    for field in ("BaseOfCode", "BaseOfData"):
        if getattr(optional, field) != 0:
            setattr(optional, field, getattr(optional, field) - shift)
    optional.SizeOfImage = align_up(last.rva - shift + last.virtual_size, alignment)
    optional.SizeOfHeaders = new_headers
    optional.NumberOfRvaAndSizes = KEPT_DIRECTORIES
    file_header = image.file_header
    file_header.NumberOfSections = len(sections)
    file_header.SizeOfOptionalHeader = OPTIONAL_FIXED_SIZE + 8 * KEPT_DIRECTORIES

    headers = bytearray(DOS_HEADER_SIZE)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, PE_OFFSET_FIELD, DOS_HEADER_SIZE)
    headers += PE_SIGNATURE + file_header.__pack__() + optional.__pack__()
    assert len(headers) == DOS_HEADER_SIZE + len(PE_SIGNATURE) + FILE_HEADER_SIZE + OPTIONAL_FIXED_SIZE
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
