#!/usr/bin/env python3
"""The peer Dyeloom is measured against: the same patch in a few lines of Python."""
import sys

archive_path, original_path, modded_path, header = sys.argv[1:5]
h = int(header)
with open(archive_path, "rb") as f:
    archive = f.read()
with open(original_path, "rb") as f:
    original = f.read()
with open(modded_path, "rb") as f:
    modded = f.read()
at = archive.find(original[h:], h)
if at < 0:
    print("texture data is not found")
    sys.exit(0)
with open(archive_path, "r+b") as f:
    f.seek(at)
    f.write(modded[h:len(original)])
print("texture data is replaced")
