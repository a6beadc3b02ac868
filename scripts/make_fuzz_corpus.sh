#!/usr/bin/env bash
# Writes the seed corpus of every fuzz target into <corpus dir>/<target>/: the valid files and
# texts that fuzz_seeds makes with the engine itself (trie, word list, schema, index and
# data-line files of a small data set, dictionary, schema and configuration texts, queries),
# plus pieces of the real data when they are there (the dictionary's head, fortunes texts,
# the sample table's schema and configuration).
# Usage: scripts/make_fuzz_corpus.sh <fuzz build dir> <corpus dir>
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
corpus="$2"
mkdir -p "$corpus"
corpus="$(cd "$corpus" && pwd)"

"$build/bin/fuzz_seeds" "$corpus"

if [ -f "$root/data/dict.gbk.txt" ]; then
  head -n 300 "$root/data/dict.gbk.txt" > "$corpus/dictionary_text/real_head"
  head -n 40 "$root/data/dict.gbk.txt" | awk '{print $1}' | tr '\n' ' ' \
    > "$corpus/clean_segment/real_words"
fi
if [ -f "$root/data/fortunes.gbk.txt" ]; then
  head -c 3000 "$root/data/fortunes.gbk.txt" > "$corpus/clean_segment/real_fortunes"
fi
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
if python3 "$root/scripts/make_sample_db.py" "$scratch" >/dev/null 2>&1; then
  cp "$scratch/sample_schema.txt" "$corpus/schema_text/real_sample_schema"
  cp "$scratch/sample_db.xml" "$corpus/db_config/real_sample_config"
  cp "$scratch/sample_db.xml" "$corpus/tag_value/real_sample_config"
fi
echo "corpus: $(find "$corpus" -type f | wc -l) files in $corpus"
