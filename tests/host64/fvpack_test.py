#!/usr/bin/python3
"""fvpack's command line: every input it refuses, one row each, with exit
status 1, the reason and the file named, in bounded time (a FIFO or
/dev/zero must not hang it or exhaust memory); what it accepts is written and
reads back as asked (the fixed checksum 0xAA on request, a data checksum by
default)."""
import os
import subprocess
import sys
import tempfile

FVPACK, IMAGE, VOLUME = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def fvpack(*args):
    return subprocess.run([FVPACK, *args], capture_output=True, timeout=60)


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

sys.exit(1 if failures else 0)
