#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
# Runs apt-get update once, and only if something has to be installed. --bench adds what the
# benchmarks compare against, --fuzz the clang toolchain of scripts/run_fuzzers.sh.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 unixodbc-dev unixodbc odbcinst
  postgresql odbc-postgresql
  mariadb-server mariadb-client odbc-mariadb
  python3 python3-jieba fortunes-zh
  time clang-format
  libtinyxml-dev libxml2-dev libxml2-utils
  libmicrohttpd-dev nlohmann-json3-dev
  man-db
  rsync haproxy
)
for option in "$@"; do
  case "$option" in
    --bench) packages+=(darts libxapian-dev hyperfine) ;;
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;  # scripts/run_fuzzers.sh
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
