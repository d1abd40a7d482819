#!/usr/bin/env python3
"""Times a mod of every texture of a set made by make_game_set.py, cold and warm, beside reading
the archive and the mod's files once in order.

usage: every_texture_bench.py SET_DIR DYELOOM [CACHE...]

The mod goes to SET_DIR/every/: orig/ holds hard links to the set's textures, mod/ each one with
its data inverted (made once, 3.6 GiB for the 4-copy set). Before each run the archive is copied
back from SET_DIR/archive.orig (made from the archive on the first call): a mod of every texture
of a game-like set holds textures nested in one another, whose install cannot be undone by
swapping the folders. CACHE is cold or warm (default: both).
"""
import os
import shutil
import subprocess
import sys
import time

from page_cache import drop_cached_pages, warm_up

set_dir, dyeloom = sys.argv[1], sys.argv[2]
caches = sys.argv[3:] or ["cold", "warm"]
archive, backup = os.path.join(set_dir, "archive.asf"), os.path.join(set_dir, "archive.orig")
orig, mod = os.path.join(set_dir, "every", "orig"), os.path.join(set_dir, "every", "mod")
if not os.path.exists(backup):
    shutil.copyfile(archive, backup)
if not os.path.isdir(mod):
    os.makedirs(orig)
    os.makedirs(mod)
    inverted = bytes(255 - b for b in range(256))
    textures = os.path.join(set_dir, "textures")
    for name in sorted(os.listdir(textures)):
        os.link(os.path.join(textures, name), os.path.join(orig, name))
        data = open(os.path.join(textures, name), "rb").read()
        open(os.path.join(mod, name), "wb").write(data[:128] + data[128:].translate(inverted))
files = [os.path.join(d, f) for d in (orig, mod) for f in os.listdir(d)]
print(len(files) // 2, "textures")


def ready(cache):
    shutil.copyfile(backup, archive)
    (drop_cached_pages if cache == "cold" else warm_up)([archive] + files)


for cache in caches:
    ready(cache)
    start = time.perf_counter()
    out = subprocess.run([dyeloom, archive, orig, mod, "128"], capture_output=True).stdout
    print(f"{cache} install {time.perf_counter() - start:.1f} s: {out.decode().splitlines()[-1]}")
    ready(cache)
    start = time.perf_counter()
    subprocess.run(["dd", f"if={archive}", "of=/dev/null", "bs=1M"], capture_output=True)
    read_archive = time.perf_counter() - start
    start = time.perf_counter()
    for path in files:
        with open(path, "rb") as f:
            while f.read(1 << 20):
                pass
    print(f"{cache} read: archive {read_archive:.2f} s, textures {time.perf_counter() - start:.2f} s")
shutil.copyfile(backup, archive)
