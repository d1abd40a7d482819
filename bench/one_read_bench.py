#!/usr/bin/env python3
"""How many reads of the archive a mod's install costs, and how it stands against the Python peer.

usage: one_read_bench.py SET_DIR COUNT MIN_BYTES DYELOOM [RUNS] [PEER] [OLD_DYELOOM]

Draws the mod as mod_bench.py does (mod_folders.py; COUNT 0: every texture of the set). Cold,
run after run: the pages of the archive and the mod's files dropped, `dd bs=1M` of the archive
(and, for a mod of every texture, a read of each of the mod's files) timed; the pages dropped
again, the install timed. Warm: the files read once, the install timed; the peer
(python_mod_peer.py) once, warm, when PEER is 1. The new build is timed with every processor and
with one thread (DYELOOM_THREADS=1); OLD_DYELOOM, if given, the same way, alternately. Every
install is undone, untimed, and must replace the whole mod.
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
with_peer = len(sys.argv) > 6 and sys.argv[6] == "1"
# Each build with its environment: the new one with every processor and with one thread.
builds = {"new": (dyeloom, {}), "new, one thread": (dyeloom, {"DYELOOM_THREADS": "1"})}
if len(sys.argv) > 7:
    builds["old"] = (sys.argv[7], {})
archive = os.path.join(set_dir, "archive.asf")
if count == 0:
    count = sum(1 for _ in open(os.path.join(set_dir, "index.tsv")))
work, names = make_mod(set_dir, count, min_bytes, dyeloom)
count = len(names)
orig, mod = os.path.join(work, "orig"), os.path.join(work, "mod")
mod_files = [os.path.join(d, n) for d in (orig, mod) for n in names]
every = count >= 5000


def timed(argv, env=None):
    start = time.perf_counter()
    out = subprocess.run(argv, capture_output=True, check=False,
                         env=dict(os.environ, **(env or {}))).stdout
    return time.perf_counter() - start, out


def install(build):
    seconds, out = timed([build[0], archive, orig, mod, "128"], build[1])
    if b" 0 not found" not in out or b" 0 skipped" not in out:
        sys.exit("install did not find the mod: " + out.decode(errors="replace")[-300:])
    _, undo = timed([dyeloom, archive, mod, orig, "128"])
    if b" 0 not found" not in undo:
        sys.exit("undo failed: " + undo.decode(errors="replace")[-300:])
    return seconds


def read_once():
    seconds, _ = timed(["dd", f"if={archive}", "of=/dev/null", "bs=1M"])
    if every:
        start = time.perf_counter()
        for path in mod_files:
            with open(path, "rb") as f:
                while f.read(1 << 20):
                    pass
        seconds += time.perf_counter() - start
    return seconds


cold = {name: [] for name in builds}
reads = []
for run in range(runs):
    drop_cached_pages([archive] + mod_files)
    reads.append(read_once())
    for name, build in builds.items():
        drop_cached_pages([archive] + mod_files)
        cold[name].append(install(build))
warm_up([archive] + mod_files)
warm = {name: [install(build) for _ in range(runs)] for name, build in builds.items()}
read = statistics.median(reads)
what = "the archive and the mod's files" if every else "the archive"
print(f"mod of {count} textures of at least {min_bytes} bytes; reading {what} once, cold: "
      f"{read:.2f} s (median of {runs})")
for name in builds:
    c, w = statistics.median(cold[name]), statistics.median(warm[name])
    print(f"{name}: cold {c:.2f} s ({c / read:.2f} reads), warm {w:.3f} s "
          f"(cold runs {', '.join(f'{x:.2f}' for x in cold[name])})")
if with_peer:
    seconds, _ = timed([sys.executable, os.path.join(os.path.dirname(__file__),
                                                     "python_mod_peer.py"),
                        archive, orig, mod, "128"])
    timed([dyeloom, archive, mod, orig, "128"])
    print(f"python peer, warm: {seconds:.1f} s, "
          f"{seconds / statistics.median(warm['new']):.0f} times the new build")
