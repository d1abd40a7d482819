#!/usr/bin/env python3
"""Builds a benchmark archive of textures made by a real encoder from real pictures.

usage: make_real_set.py OUT_DIR ARCHIVE_MIB [TEXTURES] [SEED]

The pictures are the photographs and artwork of Debian's wallpaper packages (gnome-backgrounds,
plasma-workspace-wallpapers); ImageMagick crops and scales them and encodes each crop as a DDS
file with its mip chain: DXT1, DXT5, or uncompressed 32-bit, some of them round emblems on a
transparent field (every row transparent at both ends, the first and last rows wholly so). Sizes
spread as in real games: a tenth under 16 KB, half under 100 KB, a few of several MB.

The archive holds the textures in random order, each behind a 32-byte entry record and padded to
2 KiB, between blobs of other data (libraries, compressed files, text) as models, sounds and
scripts would sit between them, until it is ARCHIVE_MIB large. Written into OUT_DIR:
  archive.asf, index.tsv (offset, size and name of every texture in it),
  textures/*.dds, and targets/NAME/{archive.asf,original.dds,modded.dds}: textures of the sizes
  the benchmarks measure, whose first copies lie late in the archive, so that a search reads
  much of it, each with a modded texture of the same size and format (archive.asf links to ../..).
"""
import concurrent.futures
import glob
import os
import random
import subprocess
import sys

out_dir, archive_mib = sys.argv[1], int(sys.argv[2])
texture_count = int(sys.argv[3]) if len(sys.argv) > 3 else archive_mib * 3
rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
os.makedirs(os.path.join(out_dir, "textures"), exist_ok=True)

PICTURE_DIRS = ["/usr/share/backgrounds", "/usr/share/wallpapers"]
pictures = sorted(p for d in PICTURE_DIRS for p in glob.glob(d + "/**/*", recursive=True)
                  if p.lower().endswith((".jpg", ".jpeg", ".png", ".webp")))
if not pictures:
    sys.exit("no pictures: apt-get install gnome-backgrounds plasma-workspace-wallpapers")

# Each picture decoded once, at most 2048 pixels wide, into a format quick to read again.
source_dir = os.path.join(out_dir, "sources")
os.makedirs(source_dir, exist_ok=True)


def prepare(index_and_path):
    index, path = index_and_path
    target = os.path.join(source_dir, f"{index:03d}.ppm")
    if not os.path.exists(target):
        subprocess.run(["convert", path, "-resize", "2048x2048>", target], check=True)
    return target


with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
    sources = list(pool.map(prepare, enumerate(pictures)))

# (weight, side, format): DXT1 64x64 with mips is 2.7 KB, DXT5 256x256 87 KB, DXT5 2048x2048
# 5.6 MB; uncompressed 32-bit is four times DXT5.
SHAPES = [(4, 64, "dxt1"), (4, 128, "dxt1"), (4, 64, "dxt5"), (12, 128, "dxt5"),
          (14, 256, "dxt1"), (16, 256, "dxt5"), (6, 128, "none"), (12, 512, "dxt1"),
          (10, 512, "dxt5"), (4, 256, "none"), (5, 1024, "dxt1"), (4, 1024, "dxt5"),
          (1, 512, "none"), (2, 2048, "dxt1"), (1, 2048, "dxt5")]


def texture_args(recipe):
    """The convert command for one texture: a crop of a picture, scaled, maybe an emblem."""
    side, fmt, source, seed = recipe
    r = random.Random(seed)
    width = side * r.choice([1, 1, 1, 2]) // r.choice([1, 1, 2])
    height = side
    # A crop of 15% to 90% of the picture, once it is scaled to at least 1200 pixels a side.
    crop = int(1200 * r.uniform(0.15, 0.9))
    args = ["convert", source, "-resize", "1200x1200^", "-crop",
            f"{crop}x{crop}+{r.randint(0, 1200 - crop)}+{r.randint(0, 1200 - crop)}",
            "+repage", "-resize", f"{width}x{height}!"]
    if r.random() < 0.2:  # a variation of colour, as textures of one family differ
        args += ["-modulate", f"{r.randint(70, 130)},{r.randint(60, 140)},{r.randint(80, 120)}"]
    if fmt != "dxt1" and r.random() < 0.35:  # a round emblem on a transparent field
        radius = min(width, height) * r.uniform(0.3, 0.47)
        args += ["-alpha", "set", "(", "+clone", "-alpha", "transparent", "-fill", "white",
                 "-draw", f"circle {width / 2},{height / 2} {width / 2},{height / 2 - radius}",
                 ")", "-compose", "DstIn", "-composite", "-background", "none", "-alpha",
                 "background"]
    args += ["-define", f"dds:compression={fmt}", "-define", "dds:mipmaps=12"]
    return args


def make_texture(index_and_recipe):
    index, recipe = index_and_recipe
    path = os.path.join(out_dir, "textures", f"{index:05d}.dds")
    if not os.path.exists(path):
        subprocess.run(texture_args(recipe) + [path], check=True)
    return path


weights = [w for w, _, _ in SHAPES]
recipes = []
for i in range(texture_count):
    _, side, fmt = rng.choices(SHAPES, weights)[0]
    recipes.append((side, fmt, rng.choice(sources), rng.getrandbits(32)))
with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
    textures = list(pool.map(make_texture, enumerate(recipes)))

# Blobs of other data, as models, sounds and scripts sit between textures.
fillers = [p for pattern in ["/usr/lib/x86_64-linux-gnu/*.so*", "/usr/share/doc/*/*.gz",
                             "/usr/share/locale/*/LC_MESSAGES/*.mo", "/usr/bin/*"]
           for p in glob.glob(pattern) if os.path.isfile(p) and os.path.getsize(p) > 4096]
rng.shuffle(fillers)

archive_path = os.path.join(out_dir, "archive.asf")
target_bytes = archive_mib << 20
order = textures[:]
rng.shuffle(order)
index_rows = []
with open(archive_path, "wb") as archive:
    written = 0
    filler_at = 0

    def put(data):
        global written
        archive.write(data)
        written += len(data)

    while written < target_bytes:
        for _ in range(rng.randint(0, 2)):
            with open(fillers[filler_at % len(fillers)], "rb") as f:
                blob = f.read(min(target_bytes - written, rng.randint(4096, 2 << 20)))
            filler_at += 1
            put(blob)
        if written >= target_bytes:
            break
        texture = order[len(index_rows) % len(order)]
        with open(texture, "rb") as f:
            data = f.read()
        record = len(data).to_bytes(8, "little") + os.path.basename(texture).encode().ljust(24, b"\0")
        put(record)
        index_rows.append((written, len(data), texture))
        put(data)
        put(b"\0" * (-written % 2048))
    archive.truncate(target_bytes)

with open(os.path.join(out_dir, "index.tsv"), "w") as index:
    for offset, size, texture in index_rows:
        if offset + size <= target_bytes:
            index.write(f"{offset}\t{size}\t{texture}\n")

# The benchmark's targets: the texture nearest each size among those whose first copy lies
# latest in the archive (the last 30% of first copies), or an emblem for the transparent one.
stored = [(o, s, t) for o, s, t in index_rows if o + s <= target_bytes]
first = {}
for o, s, t in stored:
    first.setdefault(t, (o, s, t))
by_offset = sorted(first.values())
late = by_offset[len(by_offset) * 7 // 10:]


def is_emblem(texture):
    with open(texture, "rb") as f:
        data = f.read(256 << 10)
    return data[84:88] != b"DXT1" and data[128:160] == bytes(32)


def pick(name, size, emblem=False):
    candidates = [(abs(s - size), o, s, t) for o, s, t in late if not emblem or is_emblem(t)]
    if not candidates:
        return
    _, _, _, texture = min(candidates)
    recipe = recipes[int(os.path.basename(texture)[:5])]
    folder = os.path.join(out_dir, "targets", name)
    os.makedirs(folder, exist_ok=True)
    with open(texture, "rb") as f:
        original = f.read()
    with open(os.path.join(folder, "original.dds"), "wb") as f:
        f.write(original)
    modded = os.path.join(folder, "modded.dds")
    subprocess.run(texture_args(recipe)[:2] + ["-negate"] + texture_args(recipe)[2:] + [modded],
                   check=True)
    if os.path.getsize(modded) != len(original):
        sys.exit(f"modded {name} differs in size")
    link = os.path.join(folder, "archive.asf")
    if not os.path.lexists(link):
        os.symlink("../../archive.asf", link)
    print(f"{name}: {len(original)} bytes, {os.path.basename(texture)}")


pick("11KB", 11064)
pick("87KB", 87536)
pick("350KB", 350000)
pick("1400KB", 1398256)
pick("5600KB", 5592576)
pick("emblem", 1398256, emblem=True)
