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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--uefiextract", required=True)
    parser.add_argument("--fvpack", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--fv", required=True)
    parser.add_argument("--base", required=True)
    parser.add_argument("--format", required=True, choices=["te", "pe32"])
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
    print("PASS")


if __name__ == "__main__":
    main()
