#!/usr/bin/env bash
# Times indexer modes 1 and 2 on the real dictionary (median of 5 wall-clock runs, output
# to a file) and the reference double-array builder mkdarts on the same words.
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

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
wall() {  # wall seconds of one run of "$@", stdout to a file
  local start end
  start=$(date +%s.%N)
  "$@" > "$work/stdout.txt" 2> "$work/stderr.txt"
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

for run in $(seq "$runs"); do wall "$indexer" 1 "$dict" "$work/dict.trie"; done | median |
  awk '{printf "mode 1 (indexer 1 dict.gbk.txt dict.trie > file): median %.3f s\n", $1}'
for run in $(seq "$runs"); do wall "$indexer" 2 "$dict" "$work/dict.words" "$work/dict.trie"; done |
  median | awk '{printf "mode 2 (indexer 2 dict.gbk.txt dict.words dict.trie > file): median %.3f s\n", $1}'

awk '{print $1}' "$dict" | LC_ALL=C sort -u > "$work/keys.txt"
for run in $(seq "$runs"); do wall mkdarts "$work/keys.txt" "$work/keys.da"; done | median |
  awk '{printf "mkdarts (sorted unique keys): median %.3f s\n", $1}'

/usr/bin/time -v "$indexer" 1 "$dict" "$work/dict.trie" > "$work/stdout.txt" 2> "$work/time.txt" || true
grep -E 'Maximum resident|Elapsed' "$work/time.txt" | sed 's/^\s*/mode 1 /'
ls -l "$work/dict.trie" "$work/keys.da" | awk '{print $5, $9}'
