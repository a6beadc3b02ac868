#!/usr/bin/env python3
"""Builds the benchmark table of indexer mode 4 (standard library only; 100,000 records unless
--records says otherwise, e.g. 1,000,000 or 10,000,000; rows are generated one at a time).

Writes into OUTDIR (default: data/bench beside this script's folder):
  bench.db          SQLite database, table docs(id, title, body, year), text in UTF-8
  bench_schema.txt  the field schema text (GBK; same fields as the sample)
  bench_db.xml      the database configuration (sqlite:<path of bench.db>)
  bench.tsv         with --tsv: the same rows for PostgreSQL's COPY (UTF-8, tab-separated)

--copies N repeats the generated rows N times in all (copy k has the ids shifted by k times
--records), so that a 10,000,000-row table takes one million generated rows and minutes
instead of hours; the indexes then hold ten times the postings of the same words.
--body-not-stored writes the schema with the body indexed but not stored: the stored texts
of a data set are counted in 32 bits (2 GiB), which about six million of these bodies pass.

About 30 MB of field text (counted in GBK bytes): a third of the bodies are real fortunes
texts, the rest are sentences of dictionary words drawn by their frequency from the
dictionary's second column, with punctuation; titles are the first words of the body. The
generator is seeded, so the table is the same on every run.

The same table in PostgreSQL (for the ODBC figures), with the server of
scripts/pg_test_cluster.sh:
  PGPASSWORD=trindle psql -h 127.0.0.1 -p 55432 -U trindle -d trindle_test \
    -c "create table bench_docs (id integer primary key, title text, body text, year integer)" \
    -c "\\copy bench_docs from 'OUTDIR/bench.tsv'"
and a configuration whose DBConnectString is the printed TRINDLE_PG_ODBC string (add
";UseDeclareFetch=1;Fetch=10000" so the driver does not hold the whole result in memory)
and whose Table is bench_docs.
"""
import argparse
import bisect
import itertools
import os
import random
import sqlite3
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from make_sample_db import SCHEMA, read_texts, title_of  # noqa: E402

PUNCTUATION = ["，"] * 6 + ["。"] * 3 + ["；", "！", "？", "、"]


def read_dictionary(path):
    words, weights = [], []
    with open(path, encoding="gbk", errors="replace") as source:
        for line in source:
            parts = line.split()
            if len(parts) >= 2 and parts[1].isdigit():
                words.append(parts[0])
                weights.append(int(parts[1]))
    return words, list(itertools.accumulate(weights))


def make_body(rng, words, cumulative, fortunes):
    if fortunes and rng.random() < 1 / 3:
        return rng.choice(fortunes)
    count = rng.randint(30, 150)
    drawn = rng.choices(words, cum_weights=cumulative, k=count)
    pieces = []
    for index, word in enumerate(drawn):
        pieces.append(word)
        if index % 7 == 6:
            pieces.append(rng.choice(PUNCTUATION))
    return "".join(pieces) + "。"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", nargs="?", default=os.path.join(ROOT, "data", "bench"))
    parser.add_argument("--records", type=int, default=100000)
    parser.add_argument("--dictionary", default=os.path.join(ROOT, "data", "dict.gbk.txt"))
    parser.add_argument("--tsv", action="store_true", help="also write bench.tsv for COPY")
    parser.add_argument("--copies", type=int, default=1,
                        help="the generated rows this many times, ids shifted (no --tsv)")
    parser.add_argument("--body-not-stored", action="store_true",
                        help="schema with the body indexed but not stored")
    arguments = parser.parse_args()
    if arguments.copies > 1 and arguments.tsv:
        parser.error("--copies and --tsv do not go together")
    outdir = os.path.abspath(arguments.outdir)
    os.makedirs(outdir, exist_ok=True)

    rng = random.Random(20240229)
    words, cumulative = read_dictionary(arguments.dictionary)
    fortunes = read_texts()
    totals = {"rows": 0, "text_bytes": 0}

    def rows():
        # Generated one at a time: the 10-million-row table does not fit in memory.
        for number in range(1, arguments.records + 1):
            body = make_body(rng, words, cumulative, fortunes)
            title = title_of(body)
            if number % 20 == 0:
                body = "<p>" + body + "</p>"
            year = 1980 + rng.randrange(45)
            totals["rows"] += 1
            totals["text_bytes"] += len(title.encode("gbk", "replace")) + \
                len(body.encode("gbk", "replace"))
            yield (number, title, body, year)

    def escape(text):
        return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n") \
                   .replace("\r", "\\r")

    database = os.path.join(outdir, "bench.db")
    if os.path.exists(database):
        os.remove(database)
    connection = sqlite3.connect(database)
    connection.execute("pragma journal_mode = off")
    connection.execute("pragma synchronous = off")
    connection.execute(
        "create table docs (id integer primary key, title text, body text, year integer)")
    tsv = open(os.path.join(outdir, "bench.tsv"), "w", encoding="utf-8") \
        if arguments.tsv else None

    def inserted():
        for row in rows():
            if tsv is not None:
                number, title, body, year = row
                tsv.write("%d\t%s\t%s\t%d\n" % (number, escape(title), escape(body), year))
            yield row

    connection.executemany("insert into docs values (?, ?, ?, ?)", inserted())
    connection.commit()
    for copy in range(1, arguments.copies):
        connection.execute("insert into docs select id + ?, title, body, year from docs "
                           "where id <= ?", (copy * arguments.records, arguments.records))
        connection.commit()
    totals["rows"] *= max(arguments.copies, 1)
    totals["text_bytes"] *= max(arguments.copies, 1)
    connection.close()
    if tsv is not None:
        tsv.close()
    text_bytes = totals["text_bytes"]

    with open(os.path.join(outdir, "bench_schema.txt"), "wb") as schema:
        text = SCHEMA
        if arguments.body_not_stored:
            text = text.replace("3 body body T 1 0 1 1", "3 body body T 1 0 0 1")
        schema.write(text.encode("gbk"))
    with open(os.path.join(outdir, "bench_db.xml"), "wb") as config:
        config.write(("<DBConnectString>sqlite:%s</DBConnectString>\n<Table>docs</Table>\n"
                      "<SortField>id</SortField>\n"
                      "<SourceEncoding>UTF-8</SourceEncoding>\n" % database).encode("gbk"))
    print("%s: %d rows, %.1f MB of field text (GBK)" % (database, totals["rows"],
                                                        text_bytes / 1e6))


if __name__ == "__main__":
    main()
