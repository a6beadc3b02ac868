#!/usr/bin/env bash
# A private PostgreSQL server for the ODBC integration tests.
#   scripts/pg_test_cluster.sh start   initialise (first time) and start the cluster, create
#                                       the test database, print the ODBC connection string
#   scripts/pg_test_cluster.sh env     print "export TRINDLE_PG_ODBC=..." for a running cluster
#   scripts/pg_test_cluster.sh stop    stop it and remove its directory
# The cluster lives in $TRINDLE_PG_DIR (default /tmp/trindle-pg), listens on 127.0.0.1 at
# $TRINDLE_PG_PORT (default 55432) with its socket in that directory, and takes the user
# trindle with the password trindle. PostgreSQL refuses to run as root: as root the server
# runs as the "postgres" system user that the Debian packages create.
set -euo pipefail

dir="${TRINDLE_PG_DIR:-/tmp/trindle-pg}"
port="${TRINDLE_PG_PORT:-55432}"
database=trindle_test
user=trindle
password=trindle

bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)"
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "PostgreSQL server binaries not found (apt-get install postgresql)" >&2
  exit 1
fi

as_owner() {
  if [ "$(id -u)" = 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

driver() {
  if odbcinst -q -d -n "PostgreSQL Unicode" >/dev/null 2>&1; then
    echo "PostgreSQL Unicode"
  else
    echo "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so"
  fi
}

connect_string() {
  echo "Driver=$(driver);Server=127.0.0.1;Port=$port;Database=$database;Uid=$user;Pwd=$password"
}

running() {
  [ -f "$dir/data/postmaster.pid" ] && as_owner "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1
}

start() {
  if ! running; then
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      rm -rf "$dir"
      mkdir -p "$dir"
      printf '%s\n' "$password" >"$dir/password"
      if [ "$(id -u)" = 0 ]; then chown -R postgres "$dir"; fi
      as_owner "$bin/initdb" -D "$dir/data" -U "$user" --pwfile="$dir/password" \
        --auth=scram-sha-256 --encoding=UTF8 --locale=C >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    fi
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1" start >/dev/null ||
      { cat "$dir/server.log" >&2; exit 1; }
  fi
  if ! PGPASSWORD="$password" "$bin/psql" -h 127.0.0.1 -p "$port" -U "$user" -d postgres -tAc \
       "select 1 from pg_database where datname = '$database'" | grep -q 1; then
    PGPASSWORD="$password" "$bin/createdb" -h 127.0.0.1 -p "$port" -U "$user" "$database"
  fi
  echo "export TRINDLE_PG_ODBC='$(connect_string)'"
}

stop() {
  if running; then as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null; fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  env) running && echo "export TRINDLE_PG_ODBC='$(connect_string)'" ;;
  *) echo "usage: $0 start|stop|env" >&2; exit 2 ;;
esac
