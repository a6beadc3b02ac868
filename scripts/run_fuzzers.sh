#!/usr/bin/env bash
# Builds the fuzz targets (clang-14 with libFuzzer, ASan and UBSan, in build-fuzz/) and runs
# each for a bounded time, one after the other.
# Usage: scripts/run_fuzzers.sh [seconds per target, default 20] [target ...]
#   e.g. scripts/run_fuzzers.sh 600 query trie   (ten minutes each for two targets)
# The inputs each run finds are kept in build-fuzz/corpus-work/<target>/ and reused by the next
# run. An input that crashes, leaks, hangs (10 s) or runs out of memory (2 GiB) is copied to
# fuzz/regressions/<target>/, where the normal build's fuzz_regression_test replays it; the
# script then ends with status 1 after running every target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-20}"
shift || true

bash scripts/install_deps.sh --fuzz
build="$root/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzzers
bash scripts/make_fuzz_corpus.sh "$build" "$build/corpus"

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for program in "$build"/bin/*_fuzzer; do
    name="$(basename "$program")"
    targets+=("${name%_fuzzer}")
  done
fi

failed=()
for target in "${targets[@]}"; do
  program="$build/bin/${target}_fuzzer"
  work="$build/corpus-work/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  echo "== $target: ${seconds}s"
  status=0
  "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$build/corpus/$target" \
    > "$findings/log.txt" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb)" "$findings/log.txt" | tr '\n' ' '
  echo
  found=0
  for artifact in "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* "$findings"/oom-*; do
    [ -e "$artifact" ] || continue
    mkdir -p "fuzz/regressions/$target"
    cp "$artifact" "fuzz/regressions/$target/"
    echo "finding: fuzz/regressions/$target/$(basename "$artifact")"
    found=1
  done
  if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    tail -n 30 "$findings/log.txt"
    failed+=("$target")
    rm -f "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* "$findings"/oom-*
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, ${seconds}s each, no findings"
