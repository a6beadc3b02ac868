#!/usr/bin/env bash
# Runs two SearchServer builds at once over one bench data set and alternates the same load
# generators between them, so that both see the same machine load. Before the load runs,
# answer_compare_bench compares both servers' answers byte for byte.
# Usage: bench/compare_servers.sh <build before> <build after> <bench data dir> [rounds=6] [seconds=3]
#                                 [clients=4] [interfaces=binary,http]
#   <bench data dir> holds set.*, bench_schema.txt.dat, trie.dat and words.dat (see "Setting
#   up"); the servers listen on 127.0.0.1:19640/19641 (before) and 19650/19651 (after), or from
#   $COMPARE_PORT on (before: it and the next, after: 10 and 11 above it), so that two runs on
#   one machine do not meet; their working folders are <bench data dir>/srv-before and
#   srv-after.
set -euo pipefail
before="$(cd "$1" && pwd)"
after="$(cd "$2" && pwd)"
data="$(cd "$3" && pwd)"
rounds="${4:-6}"
seconds="${5:-3}"
clients="${6:-4}"
interfaces="${7:-binary,http}"
port="${COMPARE_PORT:-19640}"
cd "$data"
for tree in before after; do
  mkdir -p "srv-$tree"
  for f in set.dataline set.index_* set.chars_* set.lengths set.keys set.deleted set.delta.* set.manifest bench_schema.txt.dat trie.dat words.dat; do
    [ -e "$f" ] && ln -sf "../$f" "srv-$tree/$f"
  done
done
config() {
  printf '<ServerIP>127.0.0.1</ServerIP><Port>%s</Port><HttpPort>%s</HttpPort>\n' "$1" "$2"
  printf '<Standard>set</Standard><FieldInfo>bench_schema.txt.dat</FieldInfo>\n'
  printf '<PDAT>trie.dat</PDAT><WordList>words.dat</WordList><BindAddress>127.0.0.1</BindAddress>\n'
}
config "$port" $((port + 1)) > srv-before/SearchServer.xml
config $((port + 10)) $((port + 11)) > srv-after/SearchServer.xml
(cd srv-before && exec "$before/bin/SearchServer" > out.txt 2>&1) &
before_pid=$!
(cd srv-after && exec "$after/bin/SearchServer" > out.txt 2>&1) &
after_pid=$!
trap 'kill -TERM $before_pid $after_pid 2>/dev/null; wait $before_pid $after_pid 2>/dev/null' EXIT
for _ in $(seq 1 900); do
  grep -q "HTTP port" srv-before/out.txt && grep -q "HTTP port" srv-after/out.txt && break
  sleep 0.1
done
for pid in $before_pid $after_pid; do
  kill -0 "$pid" 2>/dev/null || { echo "a server did not start (port taken?): see srv-*/out.txt"; exit 1; }
done
C="$after/bench"
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # user + system clock ticks
# Every answer byte for byte first (4,800 answers: four windows of the 1,200 queries).
"$C/answer_compare_bench" set bench_schema.txt.dat trie.dat words.dat "$port" $((port + 10)) | tail -3
for round in $(seq 1 "$rounds"); do
  echo "== round $round, load $(cut -d' ' -f1 /proc/loadavg)"
  for count in ${clients//,/ }; do
    if [[ ",$interfaces," == *,binary,* ]]; then
      for side in "before $port $((port + 1)) $before_pid" "after $((port + 10)) $((port + 11)) $after_pid"; do
        set -- $side
        echo -n "$1 binary $count "
        cpu_before=$(cpu_ticks "$4")
        # A run with failures still prints its line (the failure columns say what failed).
        line=$("$C/server_bench" set bench_schema.txt.dat trie.dat words.dat "$2" "$count" "$seconds" | tail -1) || true
        cpu_after=$(cpu_ticks "$4")
        # The server's CPU time (user + system) per answer: steadier than q/s on a shared machine.
        echo "$line $(awk -v t=$((cpu_after - cpu_before)) -v hz="$(getconf CLK_TCK)" -v n="$(echo "$line" | awk '{print $2}')" 'BEGIN { printf "cpu/answer %.0f us", (n > 0) ? t * 1e6 / hz / n : 0 }')"
      done
    fi
    if [[ ",$interfaces," == *,http,* ]]; then
      for side in "before $port $((port + 1))" "after $((port + 10)) $((port + 11))"; do
        set -- $side
        echo -n "$1 http   $count "
        "$C/http_bench" set bench_schema.txt.dat trie.dat words.dat "$3" "$count" "$seconds" | tail -1
      done
    fi
  done
done
