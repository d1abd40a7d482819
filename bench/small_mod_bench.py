#!/usr/bin/env python3
"""Installs and undoes a mod of many small textures (make_small_set.py), cold and warm, beside a
sequential read of the archive and the Python peer, and prints a table row per measure.

usage: small_mod_bench.py SET_DIR DYELOOM [RUNS] [PEER_SAMPLE] [MASSIF]

Each install is checked (every texture replaced) and undone (every texture put back, the archive
byte for byte as before, by its SHA-1). The peer (python_mod_peer.py: the archive read once, a
bytes.find and a write per texture) would take hours on a mod this large; it is timed on
PEER_SAMPLE textures drawn at random (default 1,000) and its cost a texture given as measured.
MASSIF=1 also runs an install and an undo under valgrind --tool=massif and prints their peak heap.
"""
import hashlib
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

from page_cache import drop_cached_pages

set_dir, dyeloom = sys.argv[1], sys.argv[2]
runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
peer_sample = int(sys.argv[4]) if len(sys.argv) > 4 else 1000
with_massif = len(sys.argv) > 5 and sys.argv[5] == "1"
archive = os.path.join(set_dir, "archive.asf")
orig, mod = os.path.join(set_dir, "orig"), os.path.join(set_dir, "mod")
peer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "python_mod_peer.py")
names = sorted(os.path.relpath(os.path.join(root, name), mod)
               for root, _, files in os.walk(mod) for name in files)
count = len(names)


def sha1(path):
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            digest.update(chunk)
    return digest.hexdigest()


def all_files():
    yield archive
    for folder in (orig, mod):
        for name in names:
            yield os.path.join(folder, name)


def timed(argv, cache):
    if cache == "cold":
        drop_cached_pages(all_files())
    start = time.perf_counter()
    result = subprocess.run(argv, capture_output=True, check=False)
    return time.perf_counter() - start, result.stdout.decode(errors="replace")


def expect(out, replaced, what):
    if f"{count} textures: {replaced} replaced" not in out:
        sys.exit(f"{what} failed: " + out[-600:])


before = sha1(archive)
rows = []
for cache in ("cold", "warm"):
    installs, undos = [], []
    for _ in range(runs):
        seconds, out = timed([dyeloom, archive, orig, mod, "128"], cache)
        expect(out, count, "install")
        installs.append(seconds)
        seconds, out = timed([dyeloom, archive, mod, orig, "128"], cache)
        expect(out, count, "undo")
        undos.append(seconds)
        if sha1(archive) != before:
            sys.exit("the undo did not restore the archive")
    if cache == "cold":
        drop_cached_pages(all_files())
    start = time.perf_counter()
    with open(archive, "rb") as f:
        while f.read(1 << 24):
            pass
    read_seconds = time.perf_counter() - start
    rows.append((cache, statistics.median(installs), statistics.median(undos), read_seconds))

# The peer on a sample, in a mod folder of its own.
sample = random.Random(1).sample(names, min(peer_sample, count))
work = os.path.join("/tmp", "small-mod-peer")
shutil.rmtree(work, ignore_errors=True)
for folder in ("orig", "mod"):
    for name in sample:
        os.makedirs(os.path.dirname(os.path.join(work, folder, name)), exist_ok=True)
        shutil.copy(os.path.join(set_dir, folder, name), os.path.join(work, folder, name))
start = time.perf_counter()
subprocess.run(["python3", peer, archive, os.path.join(work, "orig"), os.path.join(work, "mod"),
                "128"], capture_output=True, check=True)
peer_each = (time.perf_counter() - start) / len(sample)
subprocess.run([dyeloom, archive, os.path.join(work, "mod"), os.path.join(work, "orig"), "128"],
               capture_output=True, check=True)
if sha1(archive) != before:
    sys.exit("the peer's install was not undone")

size_mib = os.path.getsize(archive) >> 20
print(f"| textures | archive | cache | install | undo | read of the archive | Python peer |")
print(f"|---|---|---|---|---|---|---|")
for cache, install, undo, read_seconds in rows:
    print(f"| {count} | {size_mib} MiB | {cache} | {install:.2f} s | {undo:.2f} s | "
          f"{read_seconds:.2f} s | {peer_each * 1000:.1f} ms a texture on {len(sample)}: "
          f"{peer_each * count / install:.0f}x the install |")

if with_massif:
    for label, folders in (("install", (orig, mod)), ("undo", (mod, orig))):
        out_file = f"/tmp/massif-small-{label}.out"
        subprocess.run(["valgrind", "--tool=massif", f"--massif-out-file={out_file}", dyeloom,
                        archive, *folders, "128"], capture_output=True, check=True)
        peak = max(int(m) for m in re.findall(r"mem_heap_B=(\d+)", open(out_file).read()))
        print(f"peak heap, {label}: {peak / (1 << 20):.1f} MiB (valgrind --tool=massif)")
    if sha1(archive) != before:
        sys.exit("the massif runs did not leave the archive as before")
