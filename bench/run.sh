#!/usr/bin/env bash
# Whole-process benchmark: Dyeloom side by side with a Python peer, a sequential read of the
# archive and the floor probe (one page read at each of Dyeloom's sample points, the reads
# issued together), page cache warm and cold, and cold on an emulated hard disk.
#   bench/run.sh DATA_DIR [RUNS]
# Builds in Release, generates the data sets into DATA_DIR (about 8 GiB; keep it outside the
# repository), runs the programs alternately and prints Markdown tables. Cold runs flush each
# file and drop its pages with posix_fadvise(POSIX_FADV_DONTNEED) before every run. The real
# texture sets need ImageMagick and Debian's wallpapers, the hard disk FUSE; they are installed
# when missing (as root).
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
  echo "$dir"
}

need=()
command -v convert >/dev/null && convert -version 2>/dev/null | grep -q ImageMagick ||
  need+=(imagemagick)
[ -d /usr/share/backgrounds/gnome ] || need+=(gnome-backgrounds)
[ -d /usr/share/wallpapers ] || need+=(plasma-workspace-wallpapers)
command -v fusermount3 >/dev/null || need+=(fuse3)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

header() {
  echo
  echo "| data set | page cache | program | median wall time | peak RSS | time relative to Dyeloom |"
  echo "|---|---|---|---|---|---|"
}

# Real textures (bench/make_real_set.py): every size, warm and cold, beside a sequential read.
header
for size in 1024 4096; do
  real=$data/real-$size
  [ -f "$real/archive.asf" ] || python3 "$root/bench/make_real_set.py" "$real" "$size" \
    $((size >= 4096 ? 5000 : 3000)) >/dev/null 2>&1
  for target in 11KB 87KB 350KB 1400KB emblem 5600KB; do
    for cache in warm cold; do
      python3 "$root/bench/measure.py" "$real/targets/$target" "$((size / 1024)) GiB, $target" \
        "$runs" 300 "$cache" "Dyeloom=$bin/src/Dyeloom" \
        "python peer=python3 $root/bench/python_peer.py" \
        "sequential read probe=$root/bench/sequential_read.sh"
    done
  done
done

# Mods of 10, 100 and 1,000 textures drawn from the real sets (and 100 of 64 KiB or more): one
# batch run, the four-file run once per texture, the slowest texture alone, the Python peer.
echo
echo "| set | textures | at least (bytes) | page cache | batch | single runs in sequence (over batch) | slowest single run alone (batch over it) | Python peer (over batch) |"
echo "|---|---|---|---|---|---|---|---|"
for size in 1024 4096; do
  for mod in "10 0 0 1" "100 0 20 1" "100 65536 0 1" "1000 0 20 $((size < 4096))"; do
    read -r count least alone peer <<<"$mod"
    python3 "$root/bench/mod_bench.py" "$data/real-$size" "$count" "$least" "$bin/src/Dyeloom" \
      3 "$alone" "$peer"
  done
done

# The heap of a batch of 1,000 textures at its peak (valgrind massif).
if command -v valgrind >/dev/null; then
  mod=/tmp/mod-real-1024-1000-0
  out=$(mktemp)
  valgrind --tool=massif --massif-out-file="$out" "$bin/src/Dyeloom" "$data/real-1024/archive.asf" \
    "$mod/orig" "$mod/mod" 128 >/dev/null 2>&1 || true
  "$bin/src/Dyeloom" "$data/real-1024/archive.asf" "$mod/mod" "$mod/orig" 128 >/dev/null || true
  peak=$(grep -E '^mem_heap_B=' "$out" | cut -d= -f2 | sort -n | tail -1)
  echo
  echo "Dyeloom peak heap installing 1,000 textures (valgrind massif): $((peak / 1024)) KiB"
  rm -f "$out"
fi

# The same kind of archive, 256 MiB, cold on a hard disk: an 8 ms seek, 150 MB/s in order.
hdd=$data/real-256
[ -f "$hdd/archive.asf" ] || python3 "$root/bench/make_real_set.py" "$hdd" 256 800 >/dev/null 2>&1
mount=$(mktemp -d)
"$bin/bench/slow_disk" "$hdd" "$mount" &
trap 'fusermount3 -u "$mount" 2>/dev/null; rmdir "$mount"' EXIT
sleep 1
cat "$hdd/archive.asf" >/dev/null # the platter itself answers at once; only the model costs
header
for target in 11KB 87KB 350KB 1400KB emblem 5600KB; do
  python3 "$root/bench/measure.py" "$mount/targets/$target" "hard disk 256 MiB, $target" "$runs" \
    300 cold "Dyeloom=$bin/src/Dyeloom" "python peer=python3 $root/bench/python_peer.py" \
    "sequential read probe=$root/bench/sequential_read.sh"
done

# Generated sets: compressed and transparent textures, two-valued masks, and the adversarial
# shape, beside the floor probe.
header
for set in "compressed 1024" "transparent 512" "twovalued 256" "adversarial 64" "adversarial 256"; do
  read -r kind size <<<"$set"
  dir=$(generate "$kind" "$size")
  for cache in warm cold; do
    python3 "$root/bench/measure.py" "$dir" "$kind $size MiB" "$runs" 120 "$cache" \
      "Dyeloom=$bin/src/Dyeloom" "python peer=python3 $root/bench/python_peer.py" \
      "floor probe=$bin/bench/floor_probe"
  done
done

dir=$data/compressed-1024
# What Dyeloom writes: the texture's data span into the archive, and the journal beside it.
if command -v strace >/dev/null; then
  trace=$(mktemp)
  strace -f -e trace=openat,pwrite64 -o "$trace" "$bin/src/Dyeloom" \
    "$dir/archive.asf" "$dir/original.dds" "$dir/modded.dds" 128 >/dev/null
  "$bin/src/Dyeloom" "$dir/archive.asf" "$dir/modded.dds" "$dir/original.dds" 128 >/dev/null
  written() { # the bytes pwrite64 put through the descriptor that openat gave for $1
    local fd
    fd=$(grep -E "openat\(.*$1\", O_RDWR" "$trace" | tail -1 | sed -E 's/.*= ([0-9]+)$/\1/')
    grep -E "pwrite64\($fd," "$trace" | sed -E 's/.*= ([0-9]+)$/\1/' | paste -sd+ | bc
  }
  echo
  echo "Written on compressed 1024 MiB (strace): $(written 'archive.asf') bytes to the archive" \
    "(of $(stat -c %s "$dir/archive.asf")), $(written 'dyeloom-journal') to the journal"
  rm -f "$trace"
fi

# The tool's own heap at its peak (memory maps are not heap), on each kind of data.
if command -v valgrind >/dev/null; then
  echo
  for set in compressed-1024 transparent-512 twovalued-256 adversarial-256; do
    dir=$data/$set
    out=$(mktemp)
    valgrind --tool=massif --massif-out-file="$out" "$bin/src/Dyeloom" "$dir/archive.asf" \
      "$dir/original.dds" "$dir/modded.dds" 128 >/dev/null 2>&1 || true
    "$bin/src/Dyeloom" "$dir/archive.asf" "$dir/modded.dds" "$dir/original.dds" 128 >/dev/null || true
    peak=$(grep -E '^mem_heap_B=' "$out" | cut -d= -f2 | sort -n | tail -1)
    echo "Dyeloom peak heap on $set (valgrind massif): $((peak / 1024)) KiB"
    rm -f "$out"
  done
fi
