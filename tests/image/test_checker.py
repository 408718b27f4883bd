#!/usr/bin/python3
"""The image checker must reject an image with a writable global and
floating-point code, and say why."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402

image, objdump = sys.argv[1], sys.argv[2]
failures = check_image.check(image, objdump)
wanted = ["is writable and not empty", "floating-point or vector instructions"]
missing = [w for w in wanted if not any(w in f for f in failures)]
if missing:
    print("checker missed:", missing, "it said:", failures)
    sys.exit(1)
print("checker rejected the bad image:", len(failures), "findings")
