#!/usr/bin/env python3
"""The peer a mod install is measured against: the archive read once, then each texture of the
mod found and written in turn, in a few lines of Python.

usage: python_mod_peer.py ARCHIVE ORIGINALS MODDED HEADER_BYTES
"""
import os
import sys

archive_path, originals, modded_dir, header = sys.argv[1:5]
h = int(header)
with open(archive_path, "rb") as f:
    archive = f.read()
names = sorted(os.path.relpath(os.path.join(root, name), modded_dir)
               for root, _, files in os.walk(modded_dir) for name in files)
replaced = 0
with open(archive_path, "r+b") as out:
    for name in names:
        with open(os.path.join(originals, name), "rb") as f:
            original = f.read()
        with open(os.path.join(modded_dir, name), "rb") as f:
            modded = f.read()
        at = archive.find(original[h:], h)
        if at < 0:
            print("not found:", name)
            continue
        out.seek(at)
        out.write(modded[h:len(original)])
        replaced += 1
        print("replaced:", name)
print(f"{len(names)} textures: {replaced} replaced")
