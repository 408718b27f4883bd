#!/usr/bin/python3
"""Writes a firmware volume of SIZE MiB filled with the smallest files there
are (raw files of a header only, 24 bytes, each of its own name) and no
PEIM: the input that measures how the volume walk grows with the number of
files. For the closing figures:
  python3 bench/small_files_volume.py 16 small16.fv
  /usr/bin/time -v build/host64/tools/sinksim run --fv small16.fv --fv-base 0xFEF40000
(the walk ends in "holds no PEIM named ...", exit status 1).
"""
import struct
import sys

size = int(sys.argv[1]) << 20
out = sys.argv[2]
FFS2 = bytes([0x78,0xE5,0x8C,0x8C,0x3D,0x8A,0x1C,0x4F,0x99,0x35,0x89,0x61,0x85,0xC3,0x2D,0xD3])
hdr = bytearray(72)
hdr[16:32] = FFS2
struct.pack_into("<Q", hdr, 32, size)
hdr[40:44] = b"_FVH"
struct.pack_into("<I", hdr, 44, 0x00040E06)  # read, memory mapped, erase polarity 1, alignment 16
struct.pack_into("<H", hdr, 48, 72)
hdr[55] = 2
struct.pack_into("<II", hdr, 56, size // 4096, 4096)
s = sum(struct.unpack_from("<36H", hdr)) & 0xFFFF
struct.pack_into("<H", hdr, 50, (0x10000 - s) & 0xFFFF)
v = bytearray(b"\xff" * size)
v[:72] = hdr
at = 72
n = 0
while at + 24 <= size:
    h = bytearray(24)
    h[0:16] = struct.pack("<QQ", n, 0x5A5A5A5A5A5A5A5A)
    h[18] = 0x01; h[19] = 0; h[20:23] = (24).to_bytes(3, "little")
    h[17] = 0xAA
    hs = (sum(h[0:16]) + sum(h[18:23])) & 0xFF
    h[16] = (0x100 - hs) & 0xFF
    h[23] = 0xF8
    v[at:at+24] = h
    at += 24
    n += 1
open(out, "wb").write(v)
print(n, "files")
