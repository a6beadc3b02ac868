#!/usr/bin/env bash
# Times indexer modes 1 and 2 on the real dictionary and the double-array builder mkdarts
# (Debian package darts) on the same words: medians of N runs of wall-clock time and of CPU
# time (user + system; on a shared machine the wall clock also counts waiting for a core).
# Standard output of each run goes to a file. Ends with mode 1's peak memory.
#   bash scripts/bench_dictionary_modes.sh [build directory] [runs]
# Needs data/dict.gbk.txt (scripts/prepare_data.sh) and the indexer binary.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
runs="${2:-5}"
indexer="$build/bin/indexer"
dict="$here/data/dict.gbk.txt"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Prints "median wall, median CPU" of `runs` runs of "$@".
measure() {
  : > "$work/times.txt"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S" -a -o "$work/times.txt" "$@" > "$work/stdout.txt" 2> /dev/null
  done
  local wall cpu
  wall=$(awk '{print $1}' "$work/times.txt" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')
  cpu=$(awk '{print $2 + $3}' "$work/times.txt" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')
  printf "median %.3f s wall, %.3f s CPU" "$wall" "$cpu"
}

echo "mode 1 (indexer 1 dict.gbk.txt dict.trie > file): $(measure "$indexer" 1 "$dict" "$work/dict.trie")"
echo "mode 2 (indexer 2 dict.gbk.txt dict.words dict.trie > file): $(measure "$indexer" 2 "$dict" "$work/dict.words" "$work/dict.trie")"
awk '{print $1}' "$dict" | LC_ALL=C sort -u > "$work/keys.txt"
echo "mkdarts keys.txt keys.da (sorted unique first column): $(measure mkdarts "$work/keys.txt" "$work/keys.da")"
/usr/bin/time -v "$indexer" 1 "$dict" "$work/dict.trie" > "$work/stdout.txt" 2> "$work/time.txt" || true
grep -E 'Maximum resident' "$work/time.txt" | sed 's/^\s*/mode 1 /'
echo "trie file $(stat -c %s "$work/dict.trie") bytes, mkdarts file $(stat -c %s "$work/keys.da") bytes"
