#!/usr/bin/env python3
"""Builds a mod of many small textures made by a real encoder from real pictures, and an archive
that holds them as a game packs its small textures (icons, decals, font pages, UI pieces).

usage: make_small_set.py OUT_DIR TEXTURES [ARCHIVE_MIB] [SEED]

The pictures are the photographs and artwork of Debian's wallpaper packages (gnome-backgrounds,
plasma-workspace-wallpapers). ImageMagick scales each one and cuts it into tiles of 32 or 64
pixels a side, each encoded as a DDS file with its mip chain (DXT1 or DXT5: 824 to 5,616 bytes),
in one call per picture. Tiles whose bytes another tile already has (flat sky, black margins) are
left out of the mod, as a mod names each texture once; so is a tile whose data inverted (as its
modded texture will be) is another tile's, and a tile of nearly one colour.

The archive holds every texture back to back behind a 32-byte entry record, a tenth of them a
second time further on under another name, between blobs of other data, until it is ARCHIVE_MIB
large (at least the textures' size). Written into OUT_DIR: archive.asf, index.tsv (offset, size,
name of every texture stored), and the mod: orig/ (the textures as stored) and mod/ (each with its
data inverted, header kept), in a subfolder per picture.
"""
import concurrent.futures
import glob
import hashlib
import os
import random
import shutil
import subprocess
import sys

out_dir, texture_count = sys.argv[1], int(sys.argv[2])
archive_mib = int(sys.argv[3]) if len(sys.argv) > 3 else 0
rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
HEADER = 128

# The real ImageMagick: some machines put a stand-in named convert first on the PATH.
IM = next((p for p in ("/usr/bin/convert-im6.q16", "/usr/bin/convert") if os.path.exists(p)),
          shutil.which("convert"))
PICTURE_DIRS = ["/usr/share/backgrounds", "/usr/share/wallpapers"]
pictures = sorted(p for d in PICTURE_DIRS for p in glob.glob(d + "/**/*", recursive=True)
                  if p.lower().endswith((".jpg", ".jpeg", ".png", ".webp")))
if not pictures or IM is None:
    sys.exit("needs: apt-get install imagemagick gnome-backgrounds plasma-workspace-wallpapers")

# (weight, side, format): 32x32 DXT1 with mips is 824 bytes, 64x64 DXT5 5,616.
SHAPES = [(3, 32, "dxt1"), (3, 32, "dxt5"), (2, 64, "dxt1"), (2, 64, "dxt5")]


def cut(job):
    """Cuts one picture, scaled to `across` tiles a side, into tiles in one ImageMagick call."""
    index, picture, side, fmt, across = job
    folder = os.path.join(out_dir, "tiles", f"p{index:04d}")
    if not os.path.isdir(folder):
        os.makedirs(folder + ".part", exist_ok=True)
        scaled = side * across
        subprocess.run([IM, picture, "-resize", f"{scaled}x{scaled}^", "-gravity", "center",
                        "-extent", f"{scaled}x{scaled}", "+repage", "+gravity", "-crop",
                        f"{side}x{side}", "+repage", "-define", f"dds:compression={fmt}",
                        "-define", "dds:mipmaps=8", os.path.join(folder + ".part", "t%04d.dds")],
                       check=True, stderr=subprocess.DEVNULL)
        os.rename(folder + ".part", folder)
    return sorted(glob.glob(os.path.join(folder, "*.dds")))


def flat(data):
    """Whether a tile is nearly one colour: fewer than a quarter of its first level's blocks
    differ. Games hold a few such textures, not thousands; cut from skies and margins, they would
    be most of the set."""
    side = int.from_bytes(data[16:20], "little")
    block = 8 if data[84:88] == b"DXT1" else 16
    level = data[HEADER:HEADER + (side // 4) ** 2 * block]
    blocks = {level[i:i + block] for i in range(0, len(level), block)}
    return len(blocks) * 4 < len(level) // block


# Pictures are cut at several scales, round after round, until there are enough distinct tiles:
# flat areas (sky, margins) give the same tile many times over.
seen, chosen, jobs_done = set(), [], 0
weights = [w for w, _, _ in SHAPES]
while len(chosen) < texture_count:
    jobs = []
    for index in range(jobs_done, jobs_done + max(2, (texture_count - len(chosen)) // 400)):
        _, side, fmt = rng.choices(SHAPES, weights)[0]
        jobs.append((index, pictures[index % len(pictures)], side, fmt,
                     rng.choice([24, 28, 32, 36, 40])))
    jobs_done += len(jobs)
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        tiles = [t for batch in pool.map(cut, jobs) for t in batch]
    for path in tiles:
        with open(path, "rb") as f:
            data = f.read()
        # A tile whose data, inverted as its modded texture will be, is another tile's (black
        # and white flat tiles) would make the mod's undo find the wrong one.
        digest = hashlib.sha1(data[HEADER:]).digest()
        inverted = hashlib.sha1(bytes(255 - b for b in data[HEADER:])).digest()
        if (digest not in seen and inverted not in seen and len(chosen) < texture_count and
                not flat(data)):
            seen.update((digest, inverted))
            chosen.append((path, data))

for folder in ("orig", "mod"):
    shutil.rmtree(os.path.join(out_dir, folder), ignore_errors=True)
names = []
for path, data in chosen:
    name = os.path.join(os.path.basename(os.path.dirname(path)), os.path.basename(path))
    names.append(name)
    for folder, body in (("orig", data), ("mod", data[:HEADER] + bytes(255 - b for b in data[HEADER:]))):
        os.makedirs(os.path.join(out_dir, folder, os.path.dirname(name)), exist_ok=True)
        with open(os.path.join(out_dir, folder, name), "wb") as f:
            f.write(body)

# The archive: the textures in random order, a tenth stored twice, blobs of other data between.
fillers = [p for pattern in ["/usr/lib/x86_64-linux-gnu/*.so*", "/usr/share/doc/*/*.gz"]
           for p in glob.glob(pattern) if os.path.isfile(p) and os.path.getsize(p) > 4096]
rng.shuffle(fillers)
order = list(range(len(chosen)))
rng.shuffle(order)
order += rng.sample(range(len(chosen)), len(chosen) // 10)
texture_bytes = sum(len(chosen[i][1]) + 32 for i in order)
filler_budget = max(0, (archive_mib << 20) - texture_bytes)
filler_every = max(1, len(order) // 200)
rows = []
with open(os.path.join(out_dir, "archive.asf"), "wb") as archive:
    written, filler_at = 0, 0
    for n, i in enumerate(order):
        slot_bytes = filler_budget // max(1, (len(order) - n) // filler_every)
        while n % filler_every == 0 and slot_bytes > 0 and fillers:
            with open(fillers[filler_at % len(fillers)], "rb") as f:
                blob = f.read(min(slot_bytes, 4 << 20))
            filler_at += 1
            filler_budget -= len(blob)
            slot_bytes -= len(blob)
            archive.write(blob)
            written += len(blob)
        data = chosen[i][1]
        archive.write(len(data).to_bytes(8, "little") + rng.randbytes(24))
        rows.append(f"{written + 32}\t{len(data)}\t{names[i]}{'' if n < len(chosen) else ' (copy)'}")
        archive.write(data)
        written += 32 + len(data)
with open(os.path.join(out_dir, "index.tsv"), "w") as index:
    index.write("\n".join(rows) + "\n")
print(f"{len(chosen)} textures, {sum(len(d) for _, d in chosen) >> 20} MiB a side; archive "
      f"{written >> 20} MiB")
