#!/usr/bin/env bash
# The main job end to end on the built-in default: real Chinese data from Debian packages in an
# SQLite table. Installs what is missing, builds, prepares the dictionary and the sample table,
# builds the data set with indexer modes 1 to 4, starts SearchServer on 127.0.0.1 with a free
# port, sends queries through libTrindleAgentAPI with the trindle-query client, shows the hits
# and one XML result document, and stops the server. Everything it makes goes under demo/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target indexer SearchServer TrindleAgentAPI trindle-query
bash scripts/prepare_data.sh data

out="$root/demo"
mkdir -p "$out"
bin="$root/build/bin"
# Console messages are GBK; shown through iconv on a UTF-8 terminal.
show() { iconv -f GBK -t UTF-8 -c; }

echo "== mode 1: dictionary trie"
"$bin/indexer" 1 data/dict.gbk.txt "$out/dict.pdat" 2> "$out/mode1_warnings.txt" | tail -n 2 | show
echo "($(wc -l < "$out/mode1_warnings.txt") warnings about dictionary words, in demo/mode1_warnings.txt)"
echo "== mode 2: word list"
"$bin/indexer" 2 data/dict.gbk.txt "$out/words.lst" "$out/dict.pdat" | tail -n 1 | show

echo "== sample table: fortunes-zh texts in SQLite"
python3 scripts/make_sample_db.py "$out"
echo "== mode 3: field schema"
"$bin/indexer" 3 "$out/sample_schema.txt" "$out/sample_schema.dat" "$out/sample_schema.review.txt" | show
echo "== mode 4: scan the table into the data set demo/fortunes"
(cd "$out" && "$bin/indexer" 4 sample_db.xml fortunes sample_schema.txt dict.pdat words.lst) \
  | LC_ALL=C grep -av $'^\xD2\xD1\xCD\xEA\xB3\xC9' | show  # progress lines left out

echo "== search server"
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
cat > "$out/SearchServer.xml" <<CONFIG
<ServerIP>127.0.0.1</ServerIP>
<Port>$port</Port>
<Standard>fortunes</Standard>
<FieldInfo>sample_schema.txt.dat</FieldInfo>
<PDAT>dict.pdat</PDAT>
<WordList>words.lst</WordList>
<BindAddress>127.0.0.1</BindAddress>
CONFIG
cat > "$out/client.xml" <<CONFIG
<ServerIP>127.0.0.1</ServerIP>
<Port>$port</Port>
<FieldInfo>$out/sample_schema.txt.dat</FieldInfo>
<Timeout>10</Timeout>
CONFIG
(cd "$out" && exec "$bin/SearchServer" > "$out/server.out" 2>&1) &
server=$!
trap 'kill -TERM $server 2>/dev/null || true; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 1 200); do
  grep -aq "Listen port" "$out/server.out" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { show < "$out/server.out"; exit 1; }
  sleep 0.05
done
head -n 1 "$out/server.out" | show

# Hits as a table: the document the library wrote (GBK XML), one line per hit.
table() {
  python3 - "$1" <<'PYTHON'
import sys
import unicodedata
import xml.etree.ElementTree as ElementTree

def cut(text, columns):
    """`text` cut and padded to `columns` terminal columns (CJK characters take two)."""
    out, used = "", 0
    for char in text.replace("\n", " "):
        width = 2 if unicodedata.east_asian_width(char) in "WF" else 1
        if used + width > columns:
            break
        out, used = out + char, used + width
    return out + " " * (columns - used)

text = open(sys.argv[1], "rb").read().decode("gb18030")  # GBK, or GB2312 as declared
root = ElementTree.fromstring(text[text.index("?>") + 2:])
numbers = root.find("Result-Number")
print("   total %s, returned %s, from %s" % tuple(
    numbers.find(name).text for name in ("Total-Number", "Return-Number", "Start-Position")))
print("   %s %s %s" % (cut("id", 6), cut("year", 5), "body"))
for document in root.iter("Document"):
    values = {child.tag: child.text or "" for child in document}
    print("   %s %s %s" % (cut(values.get("id", ""), 6), cut(values.get("year", ""), 5),
                          cut(values.get("body", ""), 70)))
PYTHON
}
queries=(
  '[FIELD] body [AND] 自由 [FIELD] * [AND] 软件'
  '[FIELD] title [AND] 人生'
  '[FIELD] * [AND] 朋友 [FIELD] year [AND] 2005 2006'
)
number=0
for query in "${queries[@]}"; do
  number=$((number + 1))
  echo "== query $number: $query"
  "$bin/trindle-query" --utf8 "$out/client.xml" "$query" 0 5 "$out/result_$number.xml"
  table "$out/result_$number.xml"
done
echo "== the XML result document of query 2 (GBK on disk, shown in UTF-8)"
"$bin/trindle-query" --utf8 "$out/client.xml" "${queries[1]}" 0 2 - | cut -c 1-120

kill -TERM "$server"
wait "$server" || true
trap - EXIT
echo "== server stopped; its last lines:"
tail -n 2 "$out/server.out" | show

echo
echo "Where the files went:"
echo "  dictionary trie and word list:  $out/dict.pdat, $out/words.lst"
echo "  sample table and its schema:    $out/sample.db, $out/sample_schema.txt(.dat)"
echo "  data set:                       $out/fortunes.dataline, $out/fortunes.index_*, $out/fortunes.manifest"
echo "  server configuration and log:   $out/SearchServer.xml, $out/server.out, $out/$(date +%Y%m%d).log"
echo "  client configuration:           $out/client.xml"
echo "  result documents:               $out/result_1.xml .. result_$number.xml"
