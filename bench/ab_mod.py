#!/usr/bin/env python3
"""Times two builds installing the same mod, cold and warm, alternating run by run so that both
see the same machine, and prints each one's median and fastest.

usage: ab_mod.py MOD_DIR ARCHIVE RUNS NEW_BUILD OLD_BUILD

MOD_DIR holds orig/ and mod/ (as mod_bench.py or make_small_set.py leave them). Every install is
undone by NEW_BUILD before the next run.
"""
import os
import statistics
import subprocess
import sys
import time

from page_cache import drop_cached_pages, warm_up

work, archive, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
bins = {"new": sys.argv[4], "old": sys.argv[5]}
orig, mod = os.path.join(work, "orig"), os.path.join(work, "mod")
files = [archive] + [os.path.join(r, f) for d in (orig, mod) for r, _, fs in os.walk(d) for f in fs]
times = {name: {"cold": [], "warm": []} for name in bins}
for run in range(runs):
    for cache in ("cold", "warm"):
        # Which build goes first alternates, so that neither always follows the other's writes.
        for name, build in (list if run % 2 == 0 else reversed)(list(bins.items())):
            (drop_cached_pages if cache == "cold" else warm_up)(files)
            start = time.perf_counter()
            out = subprocess.run([build, archive, orig, mod, "128"], capture_output=True).stdout
            times[name][cache].append(time.perf_counter() - start)
            if b"is patched" not in out:
                sys.exit(f"{name} did not install: " + out.decode(errors="replace")[-300:])
            subprocess.run([bins["new"], archive, mod, orig, "128"], capture_output=True,
                           check=True)
for name in bins:
    print(name, ", ".join(f"{cache} {statistics.median(v) * 1000:.0f} ms (fastest "
                          f"{min(v) * 1000:.0f})" for cache, v in times[name].items()))
