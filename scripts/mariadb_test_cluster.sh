#!/usr/bin/env bash
# A private MariaDB server for the ODBC integration tests.
#   scripts/mariadb_test_cluster.sh start   initialise (first time) and start the server as a
#                                            background process, create the test database and
#                                            user, print the ODBC connection string
#   scripts/mariadb_test_cluster.sh env     print "export TRINDLE_MARIADB_ODBC=..." for a
#                                            running server
#   scripts/mariadb_test_cluster.sh stop    stop it (by its process id) and remove its folder
# The server is Debian's mariadbd (package mariadb-server) started directly, never the system
# service. Its data folder, socket, process-id file and log live in $TRINDLE_MARIADB_DIR
# (default build/mariadb-test under the source tree); it listens on 127.0.0.1 only, at
# $TRINDLE_MARIADB_PORT or else a free port chosen at the first start (kept in the folder),
# and takes the user trindle with the password trindle. Text is utf8mb4.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${TRINDLE_MARIADB_DIR:-$root/build/mariadb-test}"
database=trindle_test
user=trindle
password=trindle

server=/usr/sbin/mariadbd
if [ ! -x "$server" ] || ! command -v mariadb-install-db >/dev/null 2>&1; then
  echo "MariaDB server binaries not found (apt-get install mariadb-server)" >&2
  exit 1
fi

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

port() {
  if [ -n "${TRINDLE_MARIADB_PORT:-}" ]; then
    echo "$TRINDLE_MARIADB_PORT"
  else
    cat "$dir/port"
  fi
}

driver() {
  if odbcinst -q -d -n "MariaDB Unicode" >/dev/null 2>&1; then
    echo "{MariaDB Unicode}"
  else
    echo "/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so"
  fi
}

connect_string() {
  echo "Driver=$(driver);Server=127.0.0.1;Port=$(port);Database=$database;Uid=$user;Pwd=$password;CharSet=utf8mb4"
}

client() {
  mariadb --no-defaults --socket="$dir/mysqld.sock" -uroot "$@"
}

running() {
  [ -f "$dir/mariadbd.pid" ] && kill -0 "$(cat "$dir/mariadbd.pid")" 2>/dev/null
}

start() {
  if ! running; then
    if [ ! -d "$dir/data/mysql" ]; then
      rm -rf "$dir"
      mkdir -p "$dir"
      mariadb-install-db --no-defaults --datadir="$dir/data" --user="$(id -un)" \
        --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 ||
        { cat "$dir/install.log" >&2; exit 1; }
    fi
    [ -n "${TRINDLE_MARIADB_PORT:-}" ] || [ -s "$dir/port" ] || free_port >"$dir/port"
    [ -z "${TRINDLE_MARIADB_PORT:-}" ] || echo "$TRINDLE_MARIADB_PORT" >"$dir/port"
    # setsid: the server outlives this script and is stopped by its process id.
    setsid "$server" --no-defaults --datadir="$dir/data" --socket="$dir/mysqld.sock" \
      --port="$(port)" --bind-address=127.0.0.1 --pid-file="$dir/mariadbd.pid" \
      --log-error="$dir/server.log" --user="$(id -un)" --skip-name-resolve \
      --character-set-server=utf8mb4 --collation-server=utf8mb4_bin \
      --innodb-buffer-pool-size=64M --innodb-log-file-size=48M </dev/null >/dev/null 2>&1 &
    for _ in $(seq 1 300); do
      if client -e "select 1" >/dev/null 2>&1; then break; fi
      sleep 0.1
    done
    if ! client -e "select 1" >/dev/null 2>&1; then
      cat "$dir/server.log" >&2 || true
      echo "MariaDB did not start" >&2
      exit 1
    fi
  fi
  client -e "create database if not exists $database character set utf8mb4 collate utf8mb4_bin;
    create user if not exists '$user'@'127.0.0.1' identified by '$password';
    create user if not exists '$user'@'localhost' identified by '$password';
    grant all on $database.* to '$user'@'127.0.0.1';
    grant all on $database.* to '$user'@'localhost';"
  echo "export TRINDLE_MARIADB_ODBC='$(connect_string)'"
}

stop() {
  if running; then
    local pid
    pid="$(cat "$dir/mariadbd.pid")"
    kill "$pid"
    for _ in $(seq 1 300); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  env) running && echo "export TRINDLE_MARIADB_ODBC='$(connect_string)'" ;;
  *) echo "usage: $0 start|stop|env" >&2; exit 2 ;;
esac
