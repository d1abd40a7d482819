#!/usr/bin/env python3
"""Packs the real-encoded textures of a set made by make_real_set.py into an archive laid out as
games lay theirs out, for the mod benchmarks.

usage: make_game_set.py REAL_SET_DIR OUT_DIR COPIES [SEED]

What makes it like a game's archive rather than like make_real_set.py's:
  - the textures stand back to back (16-byte aligned), whole DDS files, with nothing between;
  - mip chains: for a third of the textures that have one, the chain from the second level on
    is stored too, as a texture of its own (half the size, one level fewer), so that its data is
    the last part of the larger texture's;
  - the same image under several names: a tenth of the textures are stored a second time,
    somewhere in the later half of their copy, under another name;
  - the size spread of the encoded set (a tenth under 16 KB, half under 100 KB).
COPIES packs the set that many times, each copy after the first with every data byte XORed
with a constant of its own (another palette of the same pictures: flat areas stay flat, blocks
stay blocks), to reach a multi-GB archive from one set of encodings.
Written into OUT_DIR: archive.asf, index.tsv (offset, size, path of each texture stored) and
textures/ (each texture once, under its name), so that mod_bench.py can draw mods from it.
"""
import glob
import os
import random
import struct
import sys

real_dir, out_dir, copies = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
HEADER = 128


def next_level(dds):
    """The texture of a DDS file's mip chain from its second level on, or None."""
    height, width, _, _, mips = struct.unpack_from("<5I", dds, 12)
    four_cc, bits = dds[84:88], struct.unpack_from("<I", dds, 88)[0]
    if mips < 2 or width < 8 or height < 8:
        return None
    block = {b"DXT1": 8, b"DXT5": 16}.get(four_cc)
    top = ((width + 3) // 4) * ((height + 3) // 4) * block if block else width * height * bits // 8
    if HEADER + top >= len(dds):
        return None
    header = bytearray(dds[:HEADER])
    struct.pack_into("<2I", header, 12, height // 2, width // 2)
    struct.pack_into("<I", header, 28, mips - 1)
    return bytes(header) + dds[HEADER + top:]


os.makedirs(os.path.join(out_dir, "textures"), exist_ok=True)
sources = sorted(glob.glob(os.path.join(real_dir, "textures", "*.dds")))
stored = []  # (name, bytes), in archive order
for copy in range(copies):
    key = (copy * 0x5B) & 0xFF
    entries = []
    for path in sources:
        dds = open(path, "rb").read()
        if key:
            dds = dds[:HEADER] + dds[HEADER:].translate(bytes(b ^ key for b in range(256)))
        name = f"c{copy}_{os.path.basename(path)[:-4]}"
        entries.append((name + ".dds", dds))
        lower = next_level(dds) if rng.random() < 1 / 3 else None
        if lower:
            entries.append((name + "_mip1.dds", lower))
    rng.shuffle(entries)
    again = [(name[:-4] + "_again.dds", dds) for name, dds in rng.sample(entries, len(entries) // 10)]
    for item in again:
        entries.insert(rng.randrange(len(entries) // 2, len(entries) + 1), item)
    stored += entries

with open(os.path.join(out_dir, "archive.asf"), "wb") as archive, \
        open(os.path.join(out_dir, "index.tsv"), "w") as index:
    offset = 0
    for name, dds in stored:
        path = os.path.join(out_dir, "textures", name)
        with open(path, "wb") as f:
            f.write(dds)
        pad = -len(dds) % 16
        archive.write(dds + bytes(pad))
        index.write(f"{offset}\t{len(dds)}\t{path}\n")
        offset += len(dds) + pad
print(f"{len(stored)} textures, {offset / 2**30:.2f} GiB")
