#!/usr/bin/env bash
# Builds everything twice (plain and with AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs the whole test suite in both builds, including the SQLite, PostgreSQL and MariaDB
# integration tests. Installs the Debian packages it needs and starts (and stops) a private
# PostgreSQL cluster and a private MariaDB server of its own. Before the suites: every fuzz
# target for a bounded time (a finding fails the run), and the tests that run threads in a
# ThreadSanitizer build. The sanitizer
# suite runs the server soak test for TRINDLE_SOAK_SECONDS (60 unless set).
# TRINDLE_FUZZ_SECONDS sets the time per fuzz target (12 unless set). The ctest summary of
# the sanitizer suite is the last output.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="$(nproc)"

bash scripts/install_deps.sh
# The browser test of the search page needs Chromium and a CJK font; without them it skips.
if ! command -v chromium >/dev/null 2>&1 ||
  ! dpkg-query -W -f='${Status}' fonts-wqy-zenhei 2>/dev/null | grep -q "install ok installed"; then
  (export DEBIAN_FRONTEND=noninteractive && apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends chromium fonts-wqy-zenhei) ||
    echo "chromium could not be installed: the browser test of the search page skips"
fi
# The real dictionary lets one test compare the fast trie build with the literal one.
bash scripts/prepare_data.sh data >/dev/null

echo "== format check"
if command -v clang-format >/dev/null 2>&1; then
  git ls-files '*.h' '*.cc' | xargs clang-format --dry-run --Werror
fi

echo "== build (plain)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

echo "== build (sanitizers)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DENABLE_SANITIZERS=ON >/dev/null
cmake --build build-asan -j"$jobs"

echo "== PostgreSQL test cluster and MariaDB test server"
eval "$(bash scripts/pg_test_cluster.sh start)"
trap 'bash scripts/pg_test_cluster.sh stop >/dev/null 2>&1 || true' EXIT
eval "$(bash scripts/mariadb_test_cluster.sh start)"
trap 'bash scripts/pg_test_cluster.sh stop >/dev/null 2>&1 || true
  bash scripts/mariadb_test_cluster.sh stop >/dev/null 2>&1 || true' EXIT

status=0
echo "== demo (the README's main command)"
if bash scripts/demo.sh > build/demo.log 2>&1 && grep -q "returned [1-9]" build/demo.log &&
    grep -q "<Document>" build/demo.log; then
  grep -c "returned [1-9]" build/demo.log | xargs echo "demo: queries answered with hits:"
else
  tail -n 30 build/demo.log
  echo "demo failed"
  status=1
fi
echo "== fuzzing (${TRINDLE_FUZZ_SECONDS:-12} s per target)"
bash scripts/run_fuzzers.sh "${TRINDLE_FUZZ_SECONDS:-12}" || status=1

# The tests that run threads: queries over one data set, the daily log's writers, index
# lookups, the server in-process and as a program, the soak test, the broker over in-process
# shards, the client library's first call from many threads, the threaded scan of mode 4, and
# its spills written beside the scan and the files of its save written side by side.
echo "== build (thread sanitizer) and concurrency tests"
tsan_tests=(query_test helpers_test indexer_test server_test server_soak_test
  search_server_program_test query_client_test agent_api_test broker_test scan_database_test
  bounded_build_test)
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_tests[@]}"
TSAN_OPTIONS=second_deadlock_stack=1 ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
  -R '^(ServerTest|SearchServerProgramTest|ServerSoakTest|BrokerTest|ScanDatabaseTest|RunTasksTest)\.|BoundedBuildTest\.GeneratedTable|Concurrent|ManyThreadsMakeTheFirstCallAtOnce|FirstSuccessfulConfigurationServesEveryLaterCall' ||
  status=1

echo "== tests (plain)"
ctest --test-dir build --output-on-failure -j"$jobs" || status=1
echo "== tests (sanitizers)"
TRINDLE_SOAK_SECONDS="${TRINDLE_SOAK_SECONDS:-60}" \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" || status=1
exit $status
