#!/usr/bin/env python3
"""Recall and ranking quality of a running server over the demo table, as a person searching
it would see them.

    python3 bench/search_quality.py <sample.db> <dictionary (GBK)> <http port> [words=400] [seed=7]

Samples dictionary words (two characters or more) that stand in the table's texts. For each word W
it asks /search?text=W (words and contains matching) and counts the records found against the
records whose title or body holds W as a substring (lower-cased), then scores the first ten
hits of table order and of order=relevance by nDCG@10 with the gain of a record: 2 when its
title holds W, plus its occurrences in the body up to 3, all divided by 3. Prints the micro
recall, the share of words that find nothing, and the mean nDCG@10 of each order.
"""
import json
import math
import random
import sqlite3
import sys
import urllib.parse
import urllib.request


def search(port, word, **extra):
    arguments = {"text": word, "count": "1000"}
    arguments.update(extra)
    url = "http://127.0.0.1:%d/search?%s" % (port, urllib.parse.urlencode(arguments))
    with urllib.request.urlopen(url, timeout=30) as answer:
        return json.load(answer)


def gain(record, word):
    title, body = record
    return ((2 if word in title.lower() else 0) + min(body.lower().count(word), 3)) / 3.0


def ndcg(gains, ideal):
    def dcg(values):
        return sum(g / math.log2(i + 2) for i, g in enumerate(values[:10]))
    best = dcg(sorted(ideal, reverse=True))
    return dcg(gains) / best if best > 0 else 1.0


def main():
    database, dictionary, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 400
    random.seed(int(sys.argv[5]) if len(sys.argv) > 5 else 7)
    rows = sqlite3.connect(database).execute("select id, title, body from docs").fetchall()
    records = {str(r[0]): (r[1] or "", r[2] or "") for r in rows}
    text = "\n".join((t + "\n" + b).lower() for t, b in records.values())
    with open(dictionary, "rb") as lines:
        words = [line.split()[0].decode("gbk", "replace") for line in lines if line.split()]
    words = [w for w in words if len(w) >= 2 and w.lower() in text]
    sample = random.sample(words, min(count, len(words)))
    total = 0
    found = {"words": 0, "contains": 0}
    none = {"words": 0, "contains": 0}
    quality = {"asc": [], "relevance": []}
    for word in sample:
        low = word.lower()
        holding = [k for k, (t, b) in records.items() if low in t.lower() or low in b.lower()]
        total += len(holding)
        for match in ("words", "contains"):
            page = search(port, word, match=match)
            found[match] += page["total"]
            none[match] += page["total"] == 0
        ideal = [gain(records[k], low) for k in holding]
        for order in ("asc", "relevance"):
            page = search(port, word, match="contains", order=order)
            gains = [gain(records[hit["id"]], low) for hit in page["hits"][:10]]
            quality[order].append(ndcg(gains, ideal))
    for match in ("words", "contains"):
        print("%-8s recall %.3f (%d of %d records), %d of %d words find nothing" %
              (match, found[match] / total, found[match], total, none[match], len(sample)))
    for order in ("asc", "relevance"):
        print("nDCG@10 %-9s %.3f" % (order, sum(quality[order]) / len(quality[order])))


if __name__ == "__main__":
    main()
