#!/usr/bin/env python3
"""Builds a mod of tiny textures, each of a 128-byte header and DATA_BYTES bytes of data, and an
archive of ARCHIVE_MIB that holds each one once: the case where a search per texture scales with
textures times archive.

usage: make_tiny_set.py OUT_DIR TEXTURES DATA_BYTES ARCHIVE_MIB FILLER [SEED]

The archive is FILLER's first ARCHIVE_MIB MiB (an archive of real textures, so that the data
around the tiny ones is like a game's), with each texture's data written over it at a random
offset. The textures' data are cut from FILLER too, further on, so that they look like the
archive's own bytes. Written into OUT_DIR: archive.asf, orig/ and mod/ (each modded texture's
data inverted, header kept).
"""
import os
import random
import sys

out_dir, count, data_bytes, archive_mib, filler = sys.argv[1], int(sys.argv[2]), \
    int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
rng = random.Random(int(sys.argv[6]) if len(sys.argv) > 6 else 1)
size = archive_mib << 20
with open(filler, "rb") as f:
    archive = bytearray(f.read(size))
    f.seek(size)
    source = f.read(count * data_bytes * 4)
if len(archive) < size or len(source) < count * data_bytes * 4:
    sys.exit("FILLER is too small")
header = b"DDS " + bytes(124)
for sub in ("orig", "mod"):
    os.makedirs(os.path.join(out_dir, sub), exist_ok=True)
used = set()
for i in range(count):
    data = source[i * 4 * data_bytes:i * 4 * data_bytes + data_bytes]
    while True:
        at = rng.randrange(0, size - data_bytes) // data_bytes * data_bytes
        if at not in used:
            used.add(at)
            break
    archive[at:at + data_bytes] = data
    name = f"t{i:05}.dds"
    with open(os.path.join(out_dir, "orig", name), "wb") as f:
        f.write(header + data)
    with open(os.path.join(out_dir, "mod", name), "wb") as f:
        f.write(header + bytes(b ^ 0xFF for b in data))
with open(os.path.join(out_dir, "archive.asf"), "wb") as f:
    f.write(archive)
