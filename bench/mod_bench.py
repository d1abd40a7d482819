#!/usr/bin/env python3
"""Installs a mod of textures drawn from a real set (make_real_set.py) and prints a table row per
way of installing it, cold and warm, side by side in one run.

usage: mod_bench.py SET_DIR COUNT MIN_BYTES DYELOOM [RUNS] [ALONE] [PEER]

COUNT textures of at least MIN_BYTES bytes each are drawn at random from the set (MIN_BYTES 0:
the set's own spread of sizes), and each is given a modded texture of the same size: its data
with every bit inverted. The ways measured:
  batch     one run of DYELOOM ARCHIVE ORIGINALS MODDED 128
  singles   the four-file run once per texture, one after another
  alone     each texture's four-file run by itself (the ALONE smallest textures, the hardest to
            sample, and as many others at random; all of them when ALONE is 0): the slowest
  peer      python_mod_peer.py: the archive read once, each texture found and written in turn
            (PEER 0 leaves it out)
"Cold" drops the archive's and the textures' pages before each timed run (fsync, then
posix_fadvise(POSIX_FADV_DONTNEED)); a virtual machine's host may still hold them. Every timed
install is undone by an untimed batch run with the folders swapped, and checked.
"""
import os
import statistics
import subprocess
import sys
import time

from mod_folders import make_mod
from page_cache import drop_cached_pages, warm_up

set_dir, count, min_bytes, dyeloom = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
runs = int(sys.argv[5]) if len(sys.argv) > 5 else 3
alone_count = int(sys.argv[6]) if len(sys.argv) > 6 else 0
with_peer = int(sys.argv[7]) if len(sys.argv) > 7 else 1
archive = os.path.join(set_dir, "archive.asf")
peer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "python_mod_peer.py")

work, names = make_mod(set_dir, count, min_bytes, dyeloom)
orig, mod = os.path.join(work, "orig"), os.path.join(work, "mod")
all_files = [archive] + [os.path.join(d, n) for d in (orig, mod) for n in names]


def timed(argv_list, cache):
    if cache == "cold":
        drop_cached_pages(all_files)
    start = time.perf_counter()
    outputs = [subprocess.run(argv, capture_output=True, check=False).stdout for argv in argv_list]
    return time.perf_counter() - start, outputs


def undo():
    out = subprocess.run([dyeloom, archive, mod, orig, "128"], capture_output=True).stdout
    if f"{count} textures: ".encode() not in out or b" 0 not found" not in out:
        sys.exit("undo failed: " + out.decode(errors="replace")[-400:])


def replaced_all(outputs):
    text = b"".join(outputs)
    return text.count(b"replaced") - text.count(b"already replaced") >= count


rows = []
for cache in ("cold", "warm"):
    if cache == "warm":
        warm_up(all_files)
    batch = []
    for _ in range(runs):
        seconds, out = timed([[dyeloom, archive, orig, mod, "128"]], cache)
        if f"{count} replaced".encode() not in out[0]:
            sys.exit("batch did not install: " + out[0].decode(errors="replace")[-400:])
        batch.append(seconds)
        undo()
    singles, out = timed([[dyeloom, archive, os.path.join(orig, n), os.path.join(mod, n), "128"]
                          for n in names], cache)
    if not replaced_all(out):
        sys.exit("single runs did not install the mod")
    undo()
    measured = names if alone_count == 0 else (
        sorted(names, key=lambda n: os.path.getsize(os.path.join(orig, n)))[:alone_count] +
        random.Random(1).sample(names, min(alone_count, len(names))))
    slowest, slowest_name = 0.0, ""
    for name in dict.fromkeys(measured):
        seconds, out = timed([[dyeloom, archive, os.path.join(orig, name),
                               os.path.join(mod, name), "128"]], cache)
        if b"replaced" not in out[0]:
            sys.exit(f"{name} alone was not replaced")
        subprocess.run([dyeloom, archive, os.path.join(mod, name), os.path.join(orig, name),
                        "128"], capture_output=True)
        if seconds > slowest:
            slowest, slowest_name = seconds, name
    peer_seconds = None
    if with_peer:
        peer_seconds, out = timed([["python3", peer, archive, orig, mod, "128"]], cache)
        if f"{count} replaced".encode() not in out[0]:
            sys.exit("peer did not install: " + out[0].decode(errors="replace")[-400:])
        undo()
    median = statistics.median(batch)
    peer_text = f"{peer_seconds:.2f} s ({peer_seconds / median:.1f}x)" if peer_seconds else "-"
    print(f"| {os.path.basename(set_dir.rstrip('/'))} | {count} | {min_bytes} | {cache} | "
          f"{median * 1000:.0f} ms | {singles:.2f} s ({singles / median:.1f}x) | "
          f"{slowest * 1000:.0f} ms {slowest_name} ({median / slowest:.2f}) | {peer_text} |",
          flush=True)
