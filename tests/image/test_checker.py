#!/usr/bin/python3
"""The image checker must reject an image with a writable global and
floating-point code, and say why: reading all of the executable section, and
reading only the code its linker map lists."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402

image, objdump, map_path = sys.argv[1], sys.argv[2], sys.argv[3]
wanted = ["is writable and not empty", "floating-point or vector instructions"]
for how, with_map in (("whole section", None), ("code from the map", map_path)):
    failures = check_image.check(image, objdump, with_map)
    missing = [w for w in wanted if not any(w in f for f in failures)]
    if missing or (with_map and len(failures) != len(wanted)):
        print(f"{how}: checker missed:", missing, "it said:", failures)
        sys.exit(1)
    print(f"{how}: checker rejected the bad image:", len(failures), "findings")
