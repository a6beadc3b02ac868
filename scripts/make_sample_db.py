#!/usr/bin/env python3
"""Builds the sample table of the README's indexer run (standard library only).

Writes into OUTDIR (default: data/ beside this script's folder):
  sample.db          SQLite database, table docs(id, title, body, year), text in UTF-8,
                     one row per fortunes text; a few rows carry HTML markup
  sample_schema.txt  the field schema text (GBK): id, title, body, year
  sample_db.xml      the database configuration (DBConnectString sqlite:<path of sample.db>,
                     SourceEncoding UTF-8)

The texts come from data/fortunes.gbk.txt (made by scripts/prepare_data.sh) or, when it is
missing, from the UTF-8 original /usr/share/games/fortunes/chinese.
"""
import argparse
import os
import re
import sqlite3
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SCHEMA = (
    "序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n"
    "1 id id I 0 1 1 0 编号\n"
    "2 title title T 1 0 1 1 标题\n"
    "3 body body T 1 0 1 1 正文\n"
    "4 year year I 0 1 1 0 年份\n"
)


def read_texts(path=None):
    """The fortunes texts, each a string, in file order."""
    candidates = [path] if path else [
        os.path.join(ROOT, "data", "fortunes.gbk.txt"),
        "/usr/share/games/fortunes/chinese",
    ]
    for candidate in candidates:
        if candidate and os.path.exists(candidate):
            encoding = "gbk" if candidate.endswith(".gbk.txt") else "utf-8"
            with open(candidate, encoding=encoding, errors="replace") as source:
                content = source.read()
            content = re.sub(r"\x1b\[[0-9;]*m", "", content)  # terminal colour codes
            texts = [text.strip("\n") for text in re.split(r"^%\n", content, flags=re.M)]
            return [text for text in texts if text.strip()]
    sys.exit("no fortunes text found: run scripts/prepare_data.sh first")


def title_of(text):
    """The first non-blank line, or its first 12 characters when it is long."""
    for line in text.splitlines():
        line = line.strip()
        if line:
            return line if len(line) <= 24 else line[:12]
    return ""


def rows_of(texts):
    for number, text in enumerate(texts, start=1):
        title, body = title_of(text), text
        if number % 10 == 0:  # some rows hold markup, which the indexer cleans
            body = "<p>" + body.replace("\n\n", "</p>\n<p>") + "</p>"
        if number % 25 == 0:
            title = "<b>" + title + "</b>&nbsp;"
        yield number, title, body, 1990 + number % 35


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", nargs="?", default=os.path.join(ROOT, "data"))
    parser.add_argument("--texts", help="fortunes file (GBK if named *.gbk.txt, else UTF-8)")
    arguments = parser.parse_args()
    outdir = os.path.abspath(arguments.outdir)
    os.makedirs(outdir, exist_ok=True)

    database = os.path.join(outdir, "sample.db")
    if os.path.exists(database):
        os.remove(database)
    connection = sqlite3.connect(database)
    connection.execute(
        "create table docs (id integer primary key, title text, body text, year integer)")
    rows = list(rows_of(read_texts(arguments.texts)))
    connection.executemany("insert into docs values (?, ?, ?, ?)", rows)
    connection.commit()
    connection.close()

    with open(os.path.join(outdir, "sample_schema.txt"), "wb") as schema:
        schema.write(SCHEMA.encode("gbk"))
    with open(os.path.join(outdir, "sample_db.xml"), "wb") as config:
        config.write((
            "<DBConnectString>sqlite:%s</DBConnectString>\n"
            "<Table>docs</Table>\n"
            "<SortField>id</SortField>\n"
            "<SourceEncoding>UTF-8</SourceEncoding>\n" % database).encode("gbk"))
    print("%s: %d rows; schema %s; configuration %s" % (
        database, len(rows), os.path.join(outdir, "sample_schema.txt"),
        os.path.join(outdir, "sample_db.xml")))


if __name__ == "__main__":
    main()
