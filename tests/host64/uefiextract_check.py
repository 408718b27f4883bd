#!/usr/bin/python3
"""Checks firmware volumes with UEFIExtract, a parser written elsewhere.

For the build's volume and for one packed here in the other image format at
another base: the report lists one PEI module with our file name GUID and
user-interface name, with a PEI dependency, an image and a UI section; the
only warning is the one about a missing volume top file; and the image
section UEFIExtract dumps equals the module relocated by pefile to the
address where the section's data lies (TE: the header address - stripped
size + 40).
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

import pefile

FILE_GUID = "1E825F10-D9B4-40FA-8C83-1512FBFFD0F3"
ALLOWED_WARNING = "parse: not a single Volume Top File is found, the image may be corrupted"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def report_rows(path):
    rows = []
    with open(path + ".report.txt", encoding="utf-8", errors="replace") as f:
        for line in f.read().splitlines()[1:]:
            cells = [c.strip() for c in line.split("|")]
            if len(cells) >= 6:
                rows.append({"type": cells[0], "subtype": cells[1], "base": int(cells[2], 16),
                             "size": int(cells[3], 16), "name": " | ".join(cells[5:]).lstrip("- ")})
    return rows


def relocated(image_path, base):
    pe = pefile.PE(image_path)
    pe.relocate_image(base)
    pe.OPTIONAL_HEADER.ImageBase = base
    data = bytes(pe.write())
    stripped = pe.DOS_HEADER.e_lfanew + 4 + 20 + pe.FILE_HEADER.SizeOfOptionalHeader
    return data, stripped, pe


def check(uefiextract, volume, image_path, base, fmt, work):
    name = os.path.basename(volume)
    local = os.path.join(work, name)
    shutil.copyfile(volume, local)
    run = subprocess.run([uefiextract, local, "report"], capture_output=True, text=True, cwd=work)
    messages = [l for l in (run.stdout + run.stderr).splitlines() if l.strip()]
    for m in messages:
        print("  UEFIExtract: " + m)
    extra = [m for m in messages if m.strip() != ALLOWED_WARNING]
    if run.returncode != 0 or extra:
        fail(f"{name}: UEFIExtract exit {run.returncode}, unexpected messages {extra}")
    rows = report_rows(local)
    for r in rows:
        print(f"  {r['type']:8} | {r['subtype']:15} | {r['base']:08X} | {r['size']:08X} | {r['name']}")
    modules = [i for i, r in enumerate(rows) if r["type"] == "File" and r["subtype"] == "PEI module"
               and FILE_GUID in r["name"]]
    if len(modules) != 1:
        fail(f"{name}: {len(modules)} PEI modules named {FILE_GUID} listed, not one")
    module = rows[modules[0]]
    if "StatusSinkPei" not in module["name"]:
        fail(f"{name}: module row '{module['name']}' lacks our UI name")
    sections = []
    for r in rows[modules[0] + 1:]:
        if r["type"] != "Section":
            break
        sections.append(r)
    kinds = [s["subtype"] for s in sections]
    image_kind = "TE image" if fmt == "te" else "PE32 image"
    for wanted in ("PEI dependency", image_kind, "UI"):
        if wanted not in kinds:
            fail(f"{name}: no {wanted} section in {kinds}")

    run = subprocess.run([uefiextract, local, "all"], capture_output=True, text=True, cwd=work)
    if run.returncode != 0:
        fail(f"{name}: UEFIExtract all exited {run.returncode}")
    bodies = glob.glob(os.path.join(glob.escape(local + ".dump"), "**", "* StatusSinkPei", f"* {image_kind} section",
                                    "body.bin"), recursive=True)
    if len(bodies) != 1:
        fail(f"{name}: {len(bodies)} dumped {image_kind} sections")
    with open(bodies[0], "rb") as f:
        body = f.read()
    section = sections[kinds.index(image_kind)]
    data_address = base + section["base"] + 4  # the section header is 4 bytes
    if fmt == "pe32":
        expected, _, _ = relocated(image_path, data_address)
        if body != expected:
            fail(f"{name}: dumped PE32 section differs from the image relocated to {data_address:#x}")
        print(f"  PE32 image section: {len(body)} bytes, equal to the image relocated to {data_address:#010x}")
    else:
        _, stripped, _ = relocated(image_path, 0)  # just for the stripped size
        pe_base = data_address - stripped + 40
        expected, _, pe = relocated(image_path, pe_base)
        header = body[:40]
        if header[0:2] != b"VZ" or int.from_bytes(header[6:8], "little") != stripped:
            fail(f"{name}: TE header signature or stripped size wrong")
        if int.from_bytes(header[16:24], "little") != pe_base:
            fail(f"{name}: TE image base {int.from_bytes(header[16:24], 'little'):#x}, expected {pe_base:#x}")
        if int.from_bytes(header[8:12], "little") != pe.OPTIONAL_HEADER.AddressOfEntryPoint:
            fail(f"{name}: TE entry point differs from the image's")
        if body[40:] != expected[stripped:]:
            fail(f"{name}: dumped TE section differs from the image relocated to {pe_base:#x}")
        print(f"  TE image section: {len(body)} bytes ({stripped - 40} saved), equal to the image relocated to "
              f"{pe_base:#010x}")


# ---- volumes another build might leave, written here from the layouts (not by fvpack) ----

FFS2 = bytes.fromhex("78E58C8C3D8A1C4F99358961 85C32DD3".replace(" ", ""))
PAD_NAME = b"\xff" * 16


def guid_bytes(text):
    h = text.replace("-", "")
    return bytes.fromhex(h[6:8] + h[4:6] + h[2:4] + h[0:2] + h[10:12] + h[8:10] + h[14:16] + h[12:14] + h[16:])


def ffs_file(name, kind, data, checksum=True):
    """An FFSv2 file: header (checksums, state 0xF8 for erase polarity 1), then data."""
    size = 24 + len(data)
    header = bytearray(name + bytes([0, 0, kind, 0x40 if checksum else 0]) + size.to_bytes(3, "little") + b"\0")
    header[16] = (-sum(header[:16] + header[18:23])) & 0xFF
    header[17] = (-sum(data)) & 0xFF if checksum else 0xAA
    header[23] = 0xF8
    return bytes(header) + data


def section(kind, body):
    return (4 + len(body)).to_bytes(3, "little") + bytes([kind]) + body


def peim(name, depex, image, ui):
    data = b""
    for s in (section(0x1B, depex), section(0x10, image), section(0x15, ui.encode("utf-16-le") + b"\0\0")):
        data += s + b"\0" * (-len(s) % 4)
    return ffs_file(name, 0x06, data)


def volume(size, files):
    """An FFSv2 volume, erase polarity 1, 4 KiB blocks, aligned to 4 KiB, holding `files` in order."""
    header = bytearray(72)
    header[16:32] = FFS2
    header[32:40] = size.to_bytes(8, "little")
    header[40:44] = b"_FVH"
    header[44:48] = (0x000C0E06).to_bytes(4, "little")  # read, memory mapped, erase polarity 1, alignment 4 KiB
    header[48:50] = (72).to_bytes(2, "little")
    header[55] = 2
    header[56:64] = (size // 4096).to_bytes(4, "little") + (4096).to_bytes(4, "little")
    header[50:52] = ((-sum(int.from_bytes(header[i:i + 2], "little") for i in range(0, 72, 2))) & 0xFFFF).to_bytes(2, "little")
    v = bytearray(b"\xff" * size)
    v[:72] = header
    at = 72
    for f in files:
        v[at:at + len(f)] = f
        at = (at + len(f) + 7) & ~7
    return bytes(v)


def other_image():
    """A made-up PE32 image for the other PEIM: headers and one section, never run."""
    pe = bytearray(0x400)
    pe[0:2] = b"MZ"
    pe[0x3C:0x40] = (0x40).to_bytes(4, "little")
    pe[0x40:0x44] = b"PE\0\0"
    pe[0x44:0x46] = (0x14C).to_bytes(2, "little")
    pe[0x46:0x48] = (1).to_bytes(2, "little")
    pe[0x54:0x56] = (0xE0).to_bytes(2, "little")
    pe[0x56:0x58] = (0x0102).to_bytes(2, "little")
    opt = 0x58
    pe[opt:opt + 2] = (0x10B).to_bytes(2, "little")
    for off, value in ((16, 0x200), (28, 0x10000), (32, 0x200), (36, 0x200), (56, 0x400), (60, 0x200), (92, 16)):
        pe[opt + off:opt + off + 4] = value.to_bytes(4, "little")
    pe[opt + 68:opt + 70] = (11).to_bytes(2, "little")
    sec = opt + 0xE0
    pe[sec:sec + 5] = b".text"
    for off, value in ((8, 0x200), (12, 0x200), (16, 0x200), (20, 0x200), (36, 0x60000020)):
        pe[sec + off:sec + off + 4] = value.to_bytes(4, "little")
    pe[0x200] = 0xC3  # ret
    return bytes(pe)


RAW_NAME, OTHER_NAME = "5A5A0001-0002-0003-0405-060708090A0B", "5A5A0002-0002-0003-0405-060708090A0B"
OTHER_PPI = "5A5A0009-0002-0003-0405-060708090A0B"


def three_file_volume():
    """A raw file, another PEIM (its dependency: a PPI nobody installs) and a 4 KiB pad file."""
    depex = b"\x02" + guid_bytes(OTHER_PPI) + b"\x08"
    return volume(0x8000, [ffs_file(guid_bytes(RAW_NAME), 0x01, b"\x5a" * 100),
                           peim(guid_bytes(OTHER_NAME), depex, other_image(), "OtherPei"),
                           ffs_file(PAD_NAME, 0xF0, b"\xff" * (0x1000 - 24), checksum=False)])


def check_inserted(args, work):
    """fvpack insert into volumes built above: UEFIExtract reads each clean, our file is there with its image
    relocated to where it lies and its data checksum set, the other files are kept, and sinksim runs it."""
    base_volume = three_file_volume()
    flash = bytearray(b"\xff" * 0x40000)
    flash[0x10000:0x10000 + len(base_volume)] = base_volume
    cases = [("behind the 4 KiB pad file", base_volume, [], 0xFFF83000, "te"),
             ("after the other PEIM, PE32", base_volume, ["--after", OTHER_NAME], 0xFFF80000, "pe32"),
             ("in a flash image at an offset", bytes(flash), ["--offset", "0x10000"], None, "te")]
    for i, (what, into, extra, base, fmt) in enumerate(cases):
        os.makedirs(os.path.join(work, f"insert{i}"))
        source = os.path.join(work, f"insert{i}", "platform.bin")
        out = os.path.join(work, f"insert{i}", "inserted.bin")
        with open(source, "wb") as f:
            f.write(into)
        command = [args.fvpack, "insert", args.image, "--into", source, "-o", out, "--format", fmt, *extra]
        if base is not None:
            command += ["--base", hex(base)]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            fail(f"{what}: fvpack insert exit {done.returncode}: {done.stderr}")
        print(f"{what}: {done.stdout.strip()}")
        flash_base = base if base is not None else 0x100000000 - len(into)
        read = os.path.join(work, f"insert{i}", "read")
        os.makedirs(read)
        check(args.uefiextract, out, args.image, flash_base, fmt, read)
        rows = report_rows(os.path.join(read, "inserted.bin"))
        for name in (RAW_NAME, OTHER_NAME):
            if not any(name in r["name"] for r in rows):
                fail(f"{what}: the file {name} is gone")
        with open(out, "rb") as f:
            data = f.read()
        offset = 0x10000 if "--offset" in extra else 0
        header = data.find(guid_bytes(FILE_GUID), offset)
        if data[header + 19] & 0x40 == 0 or sum(data[header + 24:header + int.from_bytes(data[header + 20:header + 23], "little")]
                                                   + bytes([data[header + 17]])) & 0xFF:
            fail(f"{what}: our file has no good data checksum")
        vol = data[offset:offset + len(base_volume)]
        volume_path = os.path.join(work, f"insert{i}", "volume.fv")
        with open(volume_path, "wb") as f:
            f.write(vol)
        run = subprocess.run([args.sinksim, "run", "--fv", volume_path, "--fv-base", hex(flash_base + offset)],
                             capture_output=True, text=True)
        listed = [l for l in run.stdout.splitlines() if l.strip().startswith("PEIM ")]
        if run.returncode != 0 or len(listed) != 2 or "does not hold: not run here" not in listed[0]:
            fail(f"{what}: sinksim run exit {run.returncode}, PEIMs {listed}, {run.stderr}")
        print(f"  sinksim runs it: {listed[1].strip()}")
        # A changed image byte: both readers refuse it.
        broken = bytearray(vol)
        broken[header - offset + 200] ^= 1
        with open(volume_path, "wb") as f:
            f.write(broken)
        run = subprocess.run([args.sinksim, "run", "--fv", volume_path, "--fv-base", hex(flash_base + offset)],
                             capture_output=True, text=True)
        if run.returncode != 1 or f"file {FILE_GUID}: bad file checksum" not in run.stderr:
            fail(f"{what}: a changed byte: sinksim exit {run.returncode}: {run.stderr}")
        seen = subprocess.run([args.uefiextract, volume_path, "report"], capture_output=True, text=True,
                              cwd=os.path.join(work, f"insert{i}"))
        if "checksum" not in seen.stdout + seen.stderr:
            fail(f"{what}: UEFIExtract did not notice a changed byte: {seen.stdout}{seen.stderr}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--uefiextract", required=True)
    parser.add_argument("--fvpack", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--fv", required=True)
    parser.add_argument("--base", required=True)
    parser.add_argument("--format", required=True, choices=["te", "pe32"])
    parser.add_argument("--sinksim", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        print(f"{args.fv} ({args.format} at {args.base}):")
        check(args.uefiextract, args.fv, args.image, int(args.base, 0), args.format, work)
        other = "pe32" if args.format == "te" else "te"
        other_base = 0xFF800000
        os.mkdir(os.path.join(work, "packed"))
        packed = os.path.join(work, "packed", f"other_{other}.fv")
        subprocess.run([args.fvpack, args.image, "--base", hex(other_base), "--format", other, "--fv", packed,
                        "--quiet"], check=True)
        print(f"{packed} ({other} at {other_base:#x}):")
        check(args.uefiextract, packed, args.image, other_base, other, work)
        # The check must be able to fail: a file header checksum one off draws a message.
        broken = os.path.join(work, "packed", "broken.fv")
        with open(args.fv, "rb") as f:
            data = bytearray(f.read())
        file_offset = next(r["base"] for r in report_rows(os.path.join(work, os.path.basename(args.fv)))
                           if r["subtype"] == "PEI module")
        data[file_offset + 16] ^= 1
        with open(broken, "wb") as f:
            f.write(data)
        run = subprocess.run([args.uefiextract, broken, "report"], capture_output=True, text=True, cwd=work)
        complaints = [l for l in (run.stdout + run.stderr).splitlines() if l.strip() and l.strip() != ALLOWED_WARNING]
        if not any("checksum" in c for c in complaints):
            fail(f"UEFIExtract did not complain about a broken file header checksum: {complaints}")
        print(f"broken copy: UEFIExtract says {complaints[0]!r}")
        check_inserted(args, work)
    print("PASS")


if __name__ == "__main__":
    main()
