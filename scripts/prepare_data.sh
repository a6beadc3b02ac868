#!/usr/bin/env bash
# Makes the real GBK data the demo and the benchmarks use, under data/ (or $1):
#   dict.gbk.txt      the jieba dictionary ("word freq tag" lines) in GBK; lines holding a
#                     character that GBK cannot encode are dropped, the order is kept
#   fortunes.gbk.txt  the fortunes-zh texts in GBK (terminal colour codes removed, characters
#                     outside GBK as "?"), texts separated by lines holding "%"
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-$here/../data}"
mkdir -p "$out"

dict_source=/usr/lib/python3/dist-packages/jieba/dict.txt
fortunes_source=/usr/share/games/fortunes/chinese
if [ ! -f "$dict_source" ] || [ ! -f "$fortunes_source" ]; then
  bash "$here/install_deps.sh"
fi

if [ ! -s "$out/dict.gbk.txt" ] || [ ! -s "$out/fortunes.gbk.txt" ]; then
  python3 - "$dict_source" "$fortunes_source" "$out" <<'PY'
import re, sys
dict_source, fortunes_source, out = sys.argv[1:4]

kept = dropped = 0
with open(dict_source, encoding="utf-8") as src, open(out + "/dict.gbk.txt", "wb") as dst:
    for line in src:
        try:
            dst.write(line.rstrip("\n").encode("gbk") + b"\n")
            kept += 1
        except UnicodeEncodeError:
            dropped += 1
print(f"dict.gbk.txt: {kept} lines kept, {dropped} dropped (not encodable in GBK)")

texts = 0
with open(fortunes_source, encoding="utf-8") as src, open(out + "/fortunes.gbk.txt", "wb") as dst:
    for line in src:
        line = re.sub(r"\x1b\[[^m]{0,12}m|\x1b", "", line.rstrip("\n"))  # terminal colour codes
        line = line.replace("\xa0", " ")  # no-break spaces, which GBK lacks
        dst.write(line.encode("gbk", errors="replace") + b"\n")
        if line.strip() == "%":
            texts += 1
print(f"fortunes.gbk.txt: {texts + 1} texts")
PY
fi
echo "data: $out/dict.gbk.txt $out/fortunes.gbk.txt"
