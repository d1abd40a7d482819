#!/usr/bin/env python3
"""Times a mod installed across the archives of a game, cold and warm: in one run with a pattern,
against the folder form run once per archive, and against reading every archive once in order.

usage: game_bench.py SET_DIR MOD_DIR DYELOOM [RUNS] [ARCHIVES]

SET_DIR is a set made by make_game_set.py (archive.asf and index.tsv); its archive is cut at
texture boundaries into ARCHIVES (10) archives of about the same size, in SET_DIR/game/data (made
once, from archive.orig when every_texture_bench.py left one). MOD_DIR holds orig/ and mod/ as
mod_bench.py leaves them, for textures of that set: they end up spread over the archives. Each
install is undone (the folders swapped, in the same form) before the next run; RUNS (3) runs of
each, the median reported.
"""
import glob
import os
import statistics
import subprocess
import sys
import time

from page_cache import drop_cached_pages, warm_up

set_dir, mod_dir, dyeloom = sys.argv[1], sys.argv[2], sys.argv[3]
runs = int(sys.argv[4]) if len(sys.argv) > 4 else 3
count = int(sys.argv[5]) if len(sys.argv) > 5 else 10
data = os.path.join(set_dir, "game", "data")
orig, mod = os.path.join(mod_dir, "orig"), os.path.join(mod_dir, "mod")


def split_archive():
    source = os.path.join(set_dir, "archive.orig")
    source = source if os.path.exists(source) else os.path.join(set_dir, "archive.asf")
    size = os.path.getsize(source)
    cuts = [0]
    with open(os.path.join(set_dir, "index.tsv")) as index:
        for line in index:
            offset = int(line.split("\t")[0])
            if offset >= size * len(cuts) // count and len(cuts) < count:
                cuts.append(offset)
    cuts.append(size)
    os.makedirs(data)
    with open(source, "rb") as f:
        for i in range(count):
            with open(os.path.join(data, f"data{i}.asf"), "wb") as out:
                left = cuts[i + 1] - cuts[i]
                while left > 0:
                    piece = f.read(min(left, 1 << 24))
                    out.write(piece)
                    left -= len(piece)


if not os.path.isdir(data):
    split_archive()
archives = sorted(glob.glob(os.path.join(data, "*.asf")))
textures = [os.path.join(r, f) for d in (orig, mod) for r, _, fs in os.walk(d) for f in fs]


def prepare(cache, files):
    (drop_cached_pages if cache == "cold" else warm_up)(files)


def game_form(cache):
    prepare(cache, archives + textures)
    start = time.perf_counter()
    out = subprocess.run([dyeloom, os.path.join(data, "*.asf"), orig, mod, "128"],
                         capture_output=True, check=True).stdout.decode()
    took = time.perf_counter() - start
    subprocess.run([dyeloom, os.path.join(data, "*.asf"), mod, orig, "128"],
                   capture_output=True, check=True)
    return took, out.splitlines()[-1]


def each_archive(cache):
    prepare(cache, archives + textures)
    start = time.perf_counter()
    for archive in archives:
        subprocess.run([dyeloom, archive, orig, mod, "128"], capture_output=True, check=True)
    took = time.perf_counter() - start
    for archive in archives:
        subprocess.run([dyeloom, archive, mod, orig, "128"], capture_output=True, check=True)
    return took, ""


def read_once(cache):
    prepare(cache, archives)
    start = time.perf_counter()
    for archive in archives:
        with open(archive, "rb") as f:
            while f.read(1 << 20):
                pass
    return time.perf_counter() - start, ""


total = sum(os.path.getsize(a) for a in archives)
print(f"{len(archives)} archives, {total / (1 << 30):.2f} GiB; mod of "
      f"{len(os.listdir(orig))} textures; median of {runs}")
for cache in ("cold", "warm"):
    for name, measure in (("read every archive once", read_once),
                          ("one run, pattern", game_form),
                          ("folder form once per archive", each_archive)):
        results = [measure(cache) for _ in range(runs)]
        median = statistics.median(t for t, _ in results)
        print(f"{cache:4} {name:30} {median:7.2f} s   {results[-1][1]}", flush=True)
