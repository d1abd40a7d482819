#!/usr/bin/env python3
"""Runs patch programs alternately on one data set and prints a table row per program.

Every run must find the texture: the archive holds the original texture's data before the
first run, and each successful run swaps it, so the next run patches the other way.

usage: measure.py DATASET_DIR DATASET_NAME RUNS TIME_LIMIT NAME=COMMAND [NAME=COMMAND ...]
COMMAND is a program and its leading arguments; the archive, the two textures and 128 follow.
The first program is the one the ratios are taken against.
"""
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import threading
import time

data_dir, data_name, runs, limit = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
programs = [arg.split("=", 1) for arg in sys.argv[5:]]
archive = os.path.join(data_dir, "archive.asf")
textures = [os.path.join(data_dir, "original.dds"), os.path.join(data_dir, "modded.dds")]
holding = 0  # which texture's data the archive holds now


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
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        return elapsed, usage.ru_maxrss, out.read(), elapsed >= limit


results = {name: {"times": [], "rss": [], "failed": None} for name, _ in programs}
for _ in range(runs):
    for name, command in programs:
        result = results[name]
        if result["failed"]:
            continue
        argv = shlex.split(command) + [archive, textures[holding], textures[1 - holding], "128"]
        elapsed, rss, output, timed_out = run_once(argv)
        if timed_out:
            result["failed"] = f"ran out of time (limit {limit:.0f} s)"
        elif b"texture data is replaced" not in output:
            result["failed"] = "did not patch: " + output.decode(errors="replace").strip()
        else:
            holding = 1 - holding
            result["times"].append(elapsed)
            result["rss"].append(rss)


def fmt_time(seconds):
    return f"{seconds * 1000:.1f} ms" if seconds < 10 else f"{seconds:.1f} s"


def fmt_mib(size):
    return f"{size / 2**20:.1f} MiB"


base = statistics.median(results[programs[0][0]]["times"] or [0])
for name, _ in programs:
    result = results[name]
    if not result["times"]:
        print(f"| {name} | {data_name} | {result['failed']} | | |")
        continue
    median = statistics.median(result["times"])
    ratio = f"{median / base:.1f}x" if base else ""
    print(f"| {name} | {data_name} | {fmt_time(median)} (n={len(result['times'])}) | "
          f"{fmt_mib(max(result['rss']) * 1024)} | {ratio} |")
