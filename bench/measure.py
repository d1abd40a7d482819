#!/usr/bin/env python3
"""Runs programs alternately on one data set and prints a table row per program.

usage: measure.py DATASET_DIR DATASET_NAME RUNS TIME_LIMIT CACHE NAME=COMMAND [NAME=COMMAND ...]

CACHE is "warm" (the files are read once before, and stay cached) or "cold" (before every run
each file is flushed and its pages dropped with posix_fadvise(POSIX_FADV_DONTNEED); a virtual
machine's host may still hold them in its own cache). COMMAND is a program and its leading
arguments; the archive, the two textures and 128 follow. Every patch program must find the
texture: each successful run swaps it, so the next run patches the other way. A program whose
name holds "probe" only reads, and is not asked to patch. The first program is the one the
ratios are taken against.
"""
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from page_cache import drop_cached_pages, warm_up

data_dir, data_name, runs, limit, cache = sys.argv[1:6]
runs, limit = int(runs), float(limit)
programs = [arg.split("=", 1) for arg in sys.argv[6:]]
archive = os.path.join(data_dir, "archive.asf")
textures = [os.path.join(data_dir, "original.dds"), os.path.join(data_dir, "modded.dds")]


def holding_now():
    """Which texture's data the archive holds now: the original's (0) or the modded one's (1).
    Found by a child process, so that this one stays small: a program it starts counts its
    pages in its own peak resident set until it execs."""
    child = os.fork()
    if child == 0:
        with open(textures[0], "rb") as f:
            data = f.read()[128:]
        with open(archive, "rb") as f:
            tail = b""
            while piece := f.read(64 << 20):
                if (tail + piece).find(data) >= 0:
                    os._exit(0)
                tail = piece[-len(data):]
        os._exit(1)
    return os.waitpid(child, 0)[1] >> 8


holding = holding_now()


def run_once(argv):
    """Wall time, peak resident set (KiB), output, timed out."""
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)
        timer = threading.Timer(limit, child.kill)
        timer.start()
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        timer.cancel()
        out.seek(0)
        return elapsed, usage.ru_maxrss, out.read(), elapsed >= limit


if cache == "warm":
    warm_up([archive] + textures)
results = {name: {"times": [], "rss": [], "failed": None} for name, _ in programs}
for _ in range(runs):
    for name, command in programs:
        result = results[name]
        if result["failed"]:
            continue
        if cache == "cold":
            drop_cached_pages([archive] + textures)
        argv = shlex.split(command) + [archive, textures[holding], textures[1 - holding], "128"]
        elapsed, rss, output, timed_out = run_once(argv)
        if timed_out:
            result["failed"] = f"ran out of time (limit {limit:.0f} s)"
            continue
        if "probe" not in name:
            if b"texture data is replaced" not in output:
                result["failed"] = "did not patch: " + output.decode(errors="replace").strip()
                continue
            holding = 1 - holding
        result["times"].append(elapsed)
        result["rss"].append(rss)


def fmt_time(seconds):
    return f"{seconds * 1000:.1f} ms" if seconds < 10 else f"{seconds:.1f} s"


base = statistics.median(results[programs[0][0]]["times"] or [0])
for name, _ in programs:
    result = results[name]
    if not result["times"]:
        print(f"| {data_name} | {cache} | {name} | {result['failed']} | | |")
        continue
    median = statistics.median(result["times"])
    ratio = f"{median / base:.2f}x" if base else ""
    print(f"| {data_name} | {cache} | {name} | {fmt_time(median)} (n={len(result['times'])}) | "
          f"{max(result['rss']) / 1024:.1f} MiB | {ratio} |")
