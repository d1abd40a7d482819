#!/usr/bin/env bash
# Whole-process benchmark: Dyeloom against a Python peer and the plain byte-by-byte baseline.
#   bench/run.sh DATA_DIR [RUNS]
# Builds in Release, generates the data sets into DATA_DIR (about 900 MiB; keep it outside the
# repository), runs the programs alternately and prints a Markdown table. Page cache is warm:
# each data set is read once before timing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
data=${1:?usage: bench/run.sh DATA_DIR [RUNS]}
runs=${2:-7}
mkdir -p "$data"

cmake --preset bench -S "$root" >/dev/null
cmake --build --preset bench >/dev/null
bin=$root/build/bench

generate() { # kind size_mib
  local dir=$data/$1-$2
  if [ ! -f "$dir/archive.asf" ]; then
    mkdir -p "$dir"
    "$bin/bench/make_bench_data" "$1" "$2" "$dir"
  fi
  cat "$dir"/* >/dev/null # warm the page cache
  echo "$dir"
}

echo "| program | data set | median wall time | peak RSS | time relative to Dyeloom |"
echo "|---|---|---|---|---|"
dir=$(generate realistic 512)
python3 "$root/bench/measure.py" "$dir" "realistic 512 MiB" "$runs" 120 \
  "Dyeloom=$bin/src/Dyeloom" "python peer=python3 $root/bench/python_peer.py" \
  "byte-scan baseline=$bin/bench/dyeloom_baseline"
for size in 64 256; do
  dir=$(generate adversarial $size)
  python3 "$root/bench/measure.py" "$dir" "adversarial $size MiB" "$runs" 60 \
    "Dyeloom=$bin/src/Dyeloom" "python peer=python3 $root/bench/python_peer.py" \
    "byte-scan baseline=$bin/bench/dyeloom_baseline"
done

# What Dyeloom writes: the texture's data span and nothing else.
if command -v strace >/dev/null; then
  dir=$data/realistic-512
  trace=$(mktemp)
  strace -f -e trace=write,pwrite64,writev,pwritev -o "$trace" "$bin/src/Dyeloom" \
    "$dir/archive.asf" "$dir/original.dds" "$dir/modded.dds" 128 >/dev/null
  "$bin/src/Dyeloom" "$dir/archive.asf" "$dir/modded.dds" "$dir/original.dds" 128 >/dev/null
  echo
  echo "Bytes Dyeloom wrote to the archive on realistic 512 MiB (strace):" \
    "$(grep -E 'pwrite64\(3' "$trace" | sed -E 's/.*= ([0-9]+)$/\1/' | paste -sd+ | bc)" \
    "of $(stat -c %s "$dir/archive.asf")"
  rm -f "$trace"
fi

# The tool's own heap at its peak (memory maps are not heap), on the largest run.
if command -v valgrind >/dev/null; then
  dir=$data/realistic-512
  out=$(mktemp)
  valgrind --tool=massif --massif-out-file="$out" "$bin/src/Dyeloom" "$dir/archive.asf" \
    "$dir/original.dds" "$dir/modded.dds" 128 >/dev/null 2>&1 || true
  "$bin/src/Dyeloom" "$dir/archive.asf" "$dir/modded.dds" "$dir/original.dds" 128 >/dev/null || true
  peak=$(grep -E '^mem_heap_B=' "$out" | cut -d= -f2 | sort -n | tail -1)
  echo
  echo "Dyeloom peak heap on realistic 512 MiB (valgrind massif): $((peak / 1024)) KiB"
  rm -f "$out"
fi
