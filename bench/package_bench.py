#!/usr/bin/env python3
"""A mod installed from its package against the same mod installed from its folders, and what the
package and its undo package cost.

usage: package_bench.py SET_DIR COUNT MIN_BYTES DYELOOM [RUNS]

Draws the mod as mod_bench.py does (mod_folders.py; COUNT 0: every texture of the set) and packs
it. Reports the package's size against the modded data it carries and the goal (that data plus
1%, or 4 KiB a texture, whichever is more). Then, cold (the pages of the archive, the folders and
the package dropped) and warm, alternately, run after run: `dd bs=1M` of the archive, the install
from the folders, and the install from the package, each timed, and each install undone untimed
(the folders swapped; the undo package). The undo package's cost: a warm install from the package
less its check, against the same for the folders, beside writing and flushing the replaced bytes
once.
"""
import glob
import os
import statistics
import subprocess
import sys
import time

from mod_folders import make_mod
from page_cache import drop_cached_pages, warm_up

set_dir, count, min_bytes, dyeloom = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
runs = int(sys.argv[5]) if len(sys.argv) > 5 else 3
archive = os.path.join(set_dir, "archive.asf")
if count == 0:
    count = sum(1 for _ in open(os.path.join(set_dir, "index.tsv")))
work, names = make_mod(set_dir, count, min_bytes, dyeloom)
orig, mod = os.path.join(work, "orig"), os.path.join(work, "mod")
package = os.path.join(work, "mod.pkg")
mod_files = [os.path.join(d, n) for d in (orig, mod) for n in names]


def timed(argv):
    start = time.perf_counter()
    out = subprocess.run(argv, capture_output=True, check=False).stdout
    return time.perf_counter() - start, out


def expect_whole(out, what):
    if b" 0 not found" not in out or b" 0 skipped" not in out:
        sys.exit(what + " did not find the mod: " + out.decode(errors="replace")[-300:])


def remove_undo_packages():
    for path in glob.glob(os.path.join(work, "mod.undo-*")):
        os.remove(path)


def from_folders(check=False):
    seconds, out = timed([dyeloom] + (["--check"] if check else []) + [archive, orig, mod, "128"])
    expect_whole(out, "the install from folders")
    if not check:
        timed([dyeloom, archive, mod, orig, "128"])
    return seconds


def from_package(check=False):
    seconds, out = timed([dyeloom, "--check" if check else "--install", archive, package])
    expect_whole(out, "the install from the package")
    if not check:
        _, undo = timed([dyeloom, "--install", archive, os.path.join(work, "mod.undo-1.pkg")])
        expect_whole(undo, "the undo package")
        remove_undo_packages()
    return seconds


pack_seconds, packed = timed([dyeloom, "--pack", package, orig, mod, "128"])
if b" 0 skipped" not in packed:
    sys.exit("pack skipped textures: " + packed.decode(errors="replace")[-300:])
modded_data = sum(os.path.getsize(os.path.join(mod, n)) - 128 for n in names)
size = os.path.getsize(package)
goal = modded_data + max(modded_data // 100, 4096 * len(names))
print(f"mod of {len(names)} textures of at least {min_bytes} bytes: packed in {pack_seconds:.2f} s; "
      f"package {size} bytes, modded data {modded_data} bytes: {100 * (size / modded_data - 1):.3f}% "
      f"more, {(size - modded_data) / len(names):.0f} bytes a texture (goal: at most {goal})")

files = [archive, package] + mod_files
timings = {"read": [], "folders": [], "package": []}
for run in range(runs):
    for name, work_of in (("read", lambda: timed(["dd", f"if={archive}", "of=/dev/null",
                                                    "bs=1M"])[0]),
                          ("folders", from_folders), ("package", from_package)):
        drop_cached_pages(files)
        timings[name].append(work_of())
read = statistics.median(timings["read"])
print(f"cold (median of {runs}): reading the archive {read:.2f} s; from folders "
      f"{statistics.median(timings['folders']):.2f} s; from the package "
      f"{statistics.median(timings['package']):.2f} s "
      f"(folders {', '.join(f'{x:.2f}' for x in timings['folders'])}; "
      f"package {', '.join(f'{x:.2f}' for x in timings['package'])})")

warm_up(files)
warm = {key: [] for key in ("folders", "package", "folders check", "package check")}
for run in range(runs):
    warm["folders"].append(from_folders())
    warm["package"].append(from_package())
    warm["folders check"].append(from_folders(True))
    warm["package check"].append(from_package(True))
w = {key: statistics.median(values) for key, values in warm.items()}
print(f"warm (median of {runs}): install from folders {w['folders']:.3f} s, from the package "
      f"{w['package']:.3f} s; check from folders {w['folders check']:.3f} s, from the package "
      f"{w['package check']:.3f} s")

# Writing the replaced bytes once, flushed, beside the archive, as the undo package is written.
scratch = os.path.join(work, "replaced-once")
data = b"\x5a" * (1 << 20)
start = time.perf_counter()
with open(scratch, "wb") as f:
    left = modded_data
    while left > 0:
        f.write(data[:min(left, len(data))])
        left -= len(data)
    f.flush()
    os.fsync(f.fileno())
once = time.perf_counter() - start
os.remove(scratch)
print(f"writing: from the package {w['package'] - w['package check']:.3f} s past its check, from "
      f"folders {w['folders'] - w['folders check']:.3f} s past theirs; the difference, the undo "
      f"package, {w['package'] - w['package check'] - w['folders'] + w['folders check']:.3f} s; "
      f"writing and flushing the {modded_data} replaced bytes once {once:.3f} s")
