#!/usr/bin/env bash
# Byte comparison of two builds: runs indexer modes 1 to 5 with each build's programs on the
# same inputs (the prepared dictionary, the sample table of scripts/make_sample_db.py), then
# serves each data set with that build's SearchServer (binary and HTTP port on 127.0.0.1) and
# asks both the same queries: result documents through trindle-query, JSON pages from
# /search, XML documents from /search.xml, the health check and the search page. Every file
# and every answer must be byte-identical; the first difference ends the run with status 1.
#
#   bash scripts/compare_builds.sh OLD_BUILD NEW_BUILD [WORK_DIR=/tmp/compare_builds]
#
# Needs data/dict.gbk.txt and data/fortunes.gbk.txt (scripts/prepare_data.sh), python3, curl.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
old_build="$(cd "$1" && pwd)"
new_build="$(cd "$2" && pwd)"
work="${3:-/tmp/compare_builds}"
rm -rf "$work"
mkdir -p "$work"
python3 "$root/scripts/make_sample_db.py" "$work/table" > /dev/null

differences=0
same() {  # same NAME FILE_A FILE_B
  if cmp -s "$2" "$3"; then
    echo "same  $1 ($(wc -c < "$2") bytes)"
  else
    echo "DIFFERENT  $1: $2 $3"
    differences=$((differences + 1))
  fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The data set with one build's indexer, in $work/<side>; console output kept per mode.
run_modes() {  # run_modes SIDE BUILD
  local dir="$work/$1" bin="$2/bin"
  mkdir -p "$dir"
  cp "$work/table/"* "$dir/"
  cd "$dir"
  "$bin/indexer" 1 "$root/data/dict.gbk.txt" dict.pdat > mode1.out 2> mode1.err
  "$bin/indexer" 2 "$root/data/dict.gbk.txt" words.lst dict.pdat > mode2.out 2> mode2.err
  "$bin/indexer" 3 sample_schema.txt sample_schema.dat sample_schema.review.txt > mode3.out 2>&1
  "$bin/indexer" 4 sample_db.xml fortunes sample_schema.txt dict.pdat words.lst > mode4.out 2>&1
  "$bin/indexer" 5 x fortunes sample_schema.txt.dat dict.pdat words.lst \
    "$(printf '%s' '[FIELD] * [AND] 朋友 [FIELD] year [AND] 2005 2006' | iconv -f UTF-8 -t GBK)" \
    > mode5.out 2>&1
  "$bin/indexer" 5 x fortunes sample_schema.txt.dat dict.pdat words.lst > mode5_fixed.out 2>&1
  # Mode 4's speed line differs from run to run, the manifest names the side's own folder.
  iconv -f GBK -t UTF-8 mode4.out | grep -v '速度为' > mode4.out.steady
  sed "s#$dir/#<folder>/#" fortunes.manifest > fortunes.manifest.steady
  cd "$root"
}

run_modes old "$old_build"
run_modes new "$new_build"
for file in dict.pdat words.lst sample_schema.dat sample_schema.review.txt \
            sample_schema.txt.dat fortunes.dataline fortunes.index_0 fortunes.index_1 \
            fortunes.index_2 mode1.out mode1.err mode2.out mode2.err mode3.out mode4.out.steady \
            mode5.out mode5_fixed.out fortunes.manifest.steady; do
  [ -e "$work/old/$file" ] || [ -e "$work/new/$file" ] || continue
  same "$file" "$work/old/$file" "$work/new/$file"
done

# Serves one side's data set with that side's server and asks it everything.
queries=(
  '[FIELD] body [AND] 自由 [FIELD] * [AND] 软件'
  '[FIELD] title [AND] 人生'
  '[FIELD] * [AND] 朋友 [FIELD] year [AND] 2005 2006'
  '[FIELD] * [AND] 中国'
  '[FIELD] body [AND] 爱情'
  '[FIELD] nosuch [AND] x'
  ''
)
windows=("0 20" "3 5" "0 0" "-1 5" "100000 10")
ask() {  # ask SIDE BUILD
  local dir="$work/$1" bin="$2/bin" port http
  port="$(free_port)"
  http="$(free_port)"
  cat > "$dir/SearchServer.xml" <<CONFIG
<ServerIP>127.0.0.1</ServerIP>
<Port>$port</Port>
<Standard>fortunes</Standard>
<FieldInfo>sample_schema.txt.dat</FieldInfo>
<PDAT>dict.pdat</PDAT>
<WordList>words.lst</WordList>
<BindAddress>127.0.0.1</BindAddress>
<HttpPort>$http</HttpPort>
<HttpBindAddress>127.0.0.1</HttpBindAddress>
CONFIG
  cat > "$dir/client.xml" <<CONFIG
<ServerIP>127.0.0.1</ServerIP>
<Port>$port</Port>
<FieldInfo>$dir/sample_schema.txt.dat</FieldInfo>
<Timeout>10</Timeout>
CONFIG
  (cd "$dir" && exec "$bin/SearchServer" > "$dir/server.out" 2>&1) &
  local server=$!
  for _ in $(seq 1 400); do
    grep -aq "HTTP port" "$dir/server.out" 2>/dev/null && break
    kill -0 "$server" 2>/dev/null || { cat "$dir/server.out"; return 1; }
    sleep 0.05
  done
  mkdir -p "$dir/answers"
  local number=0 query window start count encoded
  for query in "${queries[@]}"; do
    for window in "${windows[@]}"; do
      number=$((number + 1))
      read -r start count <<< "$window"
      "$bin/trindle-query" --utf8 "$dir/client.xml" "$query" "$start" "$count" \
        "$dir/answers/$number.client.xml" > /dev/null 2>&1 || echo "failed" > "$dir/answers/$number.client.xml"
      encoded="$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$query")"
      curl -s -D "$dir/answers/$number.json.head" -o "$dir/answers/$number.json" \
        "http://127.0.0.1:$http/search?q=$encoded&start=$start&count=$count"
      curl -s -D "$dir/answers/$number.xml.head" -o "$dir/answers/$number.xml" \
        "http://127.0.0.1:$http/search.xml?q=$encoded&start=$start&count=$count"
    done
  done
  curl -s -o "$dir/answers/text.json" "http://127.0.0.1:$http/search?text=%E8%87%AA%E7%94%B1&field=body"
  curl -s -o "$dir/answers/bad.json" "http://127.0.0.1:$http/search?start=x"
  curl -s -o "$dir/answers/nul.json" "http://127.0.0.1:$http/search?q=a%00b"
  curl -s -o "$dir/answers/health.json" "http://127.0.0.1:$http/health"
  curl -s -o "$dir/answers/page.html" "http://127.0.0.1:$http/"
  kill -TERM "$server"
  wait "$server" || true
  # Header lines without the date, which differs by the second.
  for head in "$dir"/answers/*.head; do grep -av '^Date:' "$head" > "$head.nodate"; done
}
ask old "$old_build"
ask new "$new_build"
answers=0
for file in "$work/old/answers/"*; do
  case "$file" in *.head) continue ;; esac
  name="$(basename "$file")"
  if cmp -s "$file" "$work/new/answers/$name"; then
    answers=$((answers + 1))
  else
    echo "DIFFERENT  answer $name"
    differences=$((differences + 1))
  fi
done
echo "same  $answers answers (result documents, JSON, XML, headers, health, page)"
if [ "$differences" -ne 0 ]; then
  echo "$differences differences"
  exit 1
fi
echo "no differences"
