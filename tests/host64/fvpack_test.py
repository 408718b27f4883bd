#!/usr/bin/python3
"""fvpack's command line: every input it refuses, one row each, with exit
status 1, the reason and the file named, in bounded time (a FIFO or
/dev/zero must not hang it or exhaust memory); what it accepts is written and
reads back as asked (the fixed checksum 0xAA on request, a data checksum by
default); a volume inserted where neither machine runs it is written with a
note saying so."""
import os
import subprocess
import sys
import tempfile

FVPACK, IMAGE, VOLUME = sys.argv[1], sys.argv[2], sys.argv[3]
MODULE = "1E825F10-D9B4-40FA-8C83-1512FBFFD0F3"
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def fvpack(*args):
    return subprocess.run([FVPACK, *args], capture_output=True, timeout=60)


def volume_header(size, attributes=0x000C0E06):
    """An empty FFSv2 volume of `size` bytes (erase polarity 1 unless the attributes say otherwise)."""
    h = bytearray(72)
    h[16:32] = bytes.fromhex("78E58C8C3D8A1C4F993589 6185C32DD3".replace(" ", ""))
    h[32:40] = size.to_bytes(8, "little")
    h[40:44] = b"_FVH"
    h[44:48] = attributes.to_bytes(4, "little")
    h[48:50] = (72).to_bytes(2, "little")
    h[55] = 2
    h[56:64] = (size // 4096).to_bytes(4, "little") + (4096).to_bytes(4, "little")
    h[50:52] = ((-sum(int.from_bytes(h[i:i + 2], "little") for i in range(0, 72, 2))) & 0xFFFF).to_bytes(2, "little")
    erased = 0xFF if attributes & 0x800 else 0x00
    return bytes(h) + bytes([erased]) * (size - 72)


with tempfile.TemporaryDirectory() as work:
    def path(name, data=None, size=None):
        p = os.path.join(work, name)
        with open(p, "wb") as f:
            if data is not None:
                f.write(data)
            if size is not None:
                f.truncate(size)
        return p

    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)
    empty_32k = path("empty.fv", volume_header(0x8000))
    small = path("small.fv", volume_header(0x1000))  # no room for the module's file
    polarity0 = path("polarity0.fv", volume_header(0x8000, 0x000C0606))
    out = os.path.join(work, "out.fv")
    rows = [
        # what, arguments, exit status, what standard error says
        ("/dev/zero as the image", ["/dev/zero", "--fv", out], 1, b"/dev/zero: is not a regular file"),
        ("a FIFO as the image", [fifo, "--fv", out], 1, b"fifo: is not a regular file"),
        ("a directory as the image", [work, "--fv", out], 1, b"is a directory; the image must be a regular file"),
        ("no such image", [os.path.join(work, "none.efi")], 1, b"none.efi: cannot open the image"),
        ("an image over its cap", [path("big.efi", size=17 << 20)], 1, b"the image may have at most 16777216"),
        ("not an image", [path("text.efi", b"hello")], 1, b"text.efi: no MZ signature"),
        ("a format named in capitals", [IMAGE, "--format", "PE32", "--fv", out], 0, b""),
        ("a format that is none", [IMAGE, "--format", "elf"], 1, b"--format 'elf' is neither te nor pe32"),
        ("a negative base", [IMAGE, "--base", "-0xFFFFFFFF00020000"], 1, b"--base '-0xFFFFFFFF00020000' is not a number"),
        ("an octal-looking base", [IMAGE, "--base", "037777400000"], 1, b"--base '037777400000' is not a number"),
        ("two 0x prefixes", [IMAGE, "--base", "0x0xFFFE0000"], 1, b"is not a number"),
        ("a base with a space", [IMAGE, "--base", " 0xFFFE0000"], 1, b"is not a number"),
        ("a base beyond 32 bits", [IMAGE, "--base", "0x1FFFE0000"], 1, b"is not a number of at most 4294967295"),
        ("a volume no machine takes", [IMAGE, "--size", "0xE0000000"], 1, b"lies outside the flash both machines map"),
        ("a base off a page", [IMAGE, "--base", "0xFFFF0010"], 1, b"is not whole 4 KiB pages"),
        ("a base in low memory", [IMAGE, "--base", "0x100000"], 1, b"lies outside the flash both machines map"),
        ("a size not of whole blocks", [IMAGE, "--size", "0x4100"], 1, b"not a whole number of 4 KiB blocks"),
        ("an unknown option", [IMAGE, "--no-such-option"], 1, b"--no-such-option"),
        # insert
        ("insert: /dev/zero as the volume", ["insert", IMAGE, "--into", "/dev/zero", "-o", out], 1,
         b"/dev/zero: is not a regular file"),
        ("insert: a FIFO as the volume", ["insert", IMAGE, "--into", fifo, "-o", out], 1, b"fifo: is not a regular file"),
        ("insert: a directory as the volume", ["insert", IMAGE, "--into", work, "-o", out], 1, b"is a directory"),
        ("insert: a flash image over its cap", ["insert", IMAGE, "--into", path("huge.bin", size=65 << 20), "-o", out],
         1, b"the flash image or volume may have at most 67108864"),
        ("insert: no volume at the offset", ["insert", IMAGE, "--into", empty_32k, "--offset", "0x1000", "-o", out], 1,
         b"the volume at offset 0x1000: no firmware volume header"),
        ("insert: an offset past the file", ["insert", IMAGE, "--into", empty_32k, "--offset", "0x100000", "-o", out],
         1, b"no firmware volume header"),
        ("insert: a volume it cannot write", ["insert", IMAGE, "--into", polarity0, "--base", "0xFFF80000", "-o", out],
         1, b"erase polarity 0 is not supported (free space must read 0xFF) (not a volume fvpack can write)"),
        ("insert: the name already there", ["insert", IMAGE, "--into", VOLUME, "--base", "0xFFFE0000", "-o", out], 1,
         b"a file named " + MODULE.encode() + b" is already in it"),
        ("insert: no room", ["insert", IMAGE, "--into", small, "--base", "0xFFF80000", "-o", out], 1,
         b"no room for the file's"),
        ("insert: after a file that is not there",
         ["insert", IMAGE, "--into", empty_32k, "--after", "01234567-89AB-CDEF-0123-456789ABCDEF", "-o", out], 1,
         b"no file named 01234567-89AB-CDEF-0123-456789ABCDEF in it"),
        ("insert: after something that is no GUID", ["insert", IMAGE, "--into", empty_32k, "--after", "x", "-o", out],
         1, b"--after 'x' is not a GUID"),
        ("insert: no output named", ["insert", IMAGE, "--into", empty_32k], 1, b"--output is required"),
        ("insert: an octal-looking offset", ["insert", IMAGE, "--into", empty_32k, "--offset", "010", "-o", out], 1,
         b"--offset '010' is not a number"),
    ]
    for what, args, status, says in rows:
        done = fvpack(*args)
        check(done.returncode == status and says in done.stderr,
              f"{what}: exit {done.returncode} (want {status})"
              f"{'' if says in done.stderr else ', stderr: ' + done.stderr.decode('latin-1')[:300]}")

    # The data checksum by default, the fixed 0xAA on request; both read back by fvpack's own check.
    for extra, attribute in (([], 0x40), (["--fixed-checksum"], 0)):
        done = fvpack(IMAGE, "--fv", out, "--quiet", *extra)
        with open(out, "rb") as f:
            data = f.read()
        header = 72  # the first file follows the header and its block map
        size = int.from_bytes(data[header + 20:header + 23], "little")
        good = (sum(data[header + 24:header + size]) + data[header + 17]) & 0xFF == 0 if attribute \
            else data[header + 17] == 0xAA
        check(done.returncode == 0 and data[header + 19] & 0x40 == attribute and good,
              f"pack {' '.join(extra) or '(default)'}: checksum attribute {data[header + 19] & 0x40:#x}, "
              f"checksum byte {data[header + 17]:#04x}")

    # Inserted where the machines here cannot run it (a volume ending at 4 GiB, over the emulator's PEI
    # core page): written all the same, with a note that says why it will not run here.
    done = fvpack("insert", IMAGE, "--into", empty_32k, "-o", out)
    check(done.returncode == 0 and os.path.getsize(out) == 0x8000 and b"note: a volume of 0x00008000 bytes at 0xFFFF8000"
          in done.stderr and b"sinksim and sinksim qemu will not run this volume" in done.stderr,
          f"insert at the default base: written, with a note ({done.stderr.decode('latin-1')[:200]})")
sys.exit(1 if failures else 0)
