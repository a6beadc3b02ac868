#!/usr/bin/env bash
# The main job end to end on the built-in default: real Chinese data from Debian packages and
# an SQLite table. Installs what is missing, builds, prepares the dictionary and the sample
# table, and runs indexer modes 1 to 5. Everything it makes goes under demo/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target indexer
bash scripts/prepare_data.sh data

out="$root/demo"
mkdir -p "$out"
indexer="$root/build/bin/indexer"
# Console messages are GBK; shown through iconv on a UTF-8 terminal.
show() { iconv -f GBK -t UTF-8 -c; }

echo "== mode 1: dictionary trie"
"$indexer" 1 data/dict.gbk.txt "$out/dict.pdat" | tail -n 2 | show
echo "== mode 2: word list"
"$indexer" 2 data/dict.gbk.txt "$out/words.lst" "$out/dict.pdat" | tail -n 1 | show

echo "== sample table: fortunes-zh texts in SQLite"
python3 scripts/make_sample_db.py "$out"
echo "== mode 3: field schema"
"$indexer" 3 "$out/sample_schema.txt" "$out/sample_schema.dat" "$out/sample_schema.review.txt" | show
echo "== mode 4: scan the table into the data set demo/fortunes"
(cd "$out" && "$indexer" 4 sample_db.xml fortunes sample_schema.txt dict.pdat words.lst) \
  | LC_ALL=C grep -av $'^\xD2\xD1\xCD\xEA\xB3\xC9' | show  # progress lines left out
echo "== mode 5: query the data set"
query='[FIELD] body [AND] 自由 [FIELD] * [AND] 软件'
echo "query: $query"
(cd "$out" && "$indexer" 5 - fortunes sample_schema.dat dict.pdat words.lst \
   "$(printf '%s' "$query" | iconv -f UTF-8 -t GBK)") | head -n 8 | cut -b 1-150 | show

echo
echo "Outputs:"
ls -l "$out"
