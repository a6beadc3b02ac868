#!/usr/bin/env bash
# Copies the benchmark table docs of an SQLite database (scripts/make_bench_db.py), row for
# row, as table bench_docs into the private PostgreSQL and MariaDB test servers, and writes a
# database configuration for each beside it, so that indexer mode 4 can be timed on the same
# rows from all three databases (bench/README.md, "index_mode_bench").
#   scripts/copy_bench_table.sh BENCHDIR
# BENCHDIR holds bench.db; the servers are the ones of scripts/pg_test_cluster.sh and
# scripts/mariadb_test_cluster.sh (started first; TRINDLE_PG_DIR, TRINDLE_PG_PORT and
# TRINDLE_MARIADB_DIR as for them). Writes BENCHDIR/bench_pg_db.xml and
# BENCHDIR/bench_mariadb_db.xml.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$(cd "${1:?usage: $0 BENCHDIR}" && pwd)"

sqlite3 -csv "$dir/bench.db" "select id, title, body, year from docs order by id" >"$dir/docs.csv"

eval "$(bash "$root/scripts/pg_test_cluster.sh" env)"
eval "$(bash "$root/scripts/mariadb_test_cluster.sh" env)"

# PostgreSQL: the port and credentials from the connection string.
pg_port="$(sed -n 's/.*Port=\([0-9]*\).*/\1/p' <<<"$TRINDLE_PG_ODBC")"
pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
PGPASSWORD=trindle "$pg_bin/psql" -q -h 127.0.0.1 -p "$pg_port" -U trindle -d trindle_test <<SQL
drop table if exists bench_docs;
create table bench_docs (id integer primary key, title text, body text, year integer);
\copy bench_docs from '$dir/docs.csv' with (format csv)
SQL

mariadb_dir="${TRINDLE_MARIADB_DIR:-$root/build/mariadb-test}"
mariadb --no-defaults --socket="$mariadb_dir/mysqld.sock" -uroot --local-infile=1 \
  --default-character-set=utf8mb4 trindle_test <<SQL
set global local_infile = 1;
drop table if exists bench_docs;
create table bench_docs (id integer primary key, title text, body mediumtext, year integer)
  character set utf8mb4 collate utf8mb4_bin;
load data local infile '$dir/docs.csv' into table bench_docs character set utf8mb4
  fields terminated by ',' optionally enclosed by '"' escaped by '' lines terminated by '\n';
SQL

write_config() {
  printf '<DBConnectString>%s</DBConnectString>\n<Table>bench_docs</Table>\n<SortField>id</SortField>\n' \
    "$2" >"$dir/$1"
}
write_config bench_pg_db.xml "$TRINDLE_PG_ODBC;UseDeclareFetch=1;Fetch=10000"
write_config bench_mariadb_db.xml "$TRINDLE_MARIADB_ODBC"
echo "wrote $dir/bench_pg_db.xml and $dir/bench_mariadb_db.xml"
