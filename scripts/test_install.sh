#!/usr/bin/env bash
# The installed product end to end (run by ctest as product_install_test):
#   scripts/test_install.sh <build dir>
# Installs the build into a scratch prefix and checks the installed files; indexes a small
# SQLite table with the installed indexer; serves it with the installed SearchServer on
# 127.0.0.1; queries it from examples/query_example.c built through pkg-config and with the
# installed trindle-query; verifies the systemd unit (with its console encoding) and the
# manual pages; stops the server; then makes the Debian package and checks its file list and
# metadata.
set -euo pipefail
build="$(cd "$1" && pwd)"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d /tmp/trindle_install.XXXXXX)"
server=""
cleanup() {
  if [ -n "$server" ]; then kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/indexer bin/SearchServer bin/trindle-query bin/trindle-publish include/TrindleAgentAPI.h \
            lib/systemd/system/trindle-search.service share/doc/trindle/README.md \
            share/doc/trindle/examples/config/SearchServer.xml share/man/man1/indexer.1.gz \
            share/man/man8/SearchServer.8.gz share/man/man1/trindle-query.1.gz; do
  [ -e "$prefix/$file" ] || fail "not installed: $file"
done
# The installed manual pages render and carry the programs' version.
version="$("$prefix/bin/indexer" --version)"
version="${version##* }"
for page in man1/indexer.1.gz man8/SearchServer.8.gz man1/trindle-query.1.gz; do
  rendered="$(MANWIDTH=100 man -l "$prefix/share/man/$page" 2>&1)" || fail "man -l $page: $rendered"
  grep -q "Trindle $version" <<<"$rendered" || fail "$page does not carry version $version"
done
for program in SearchServer trindle-query; do
  [ "$("$prefix/bin/$program" --version)" = "$program (Trindle) $version" ] || fail "$program --version"
done

# The unit sets the console's encoding: run the installed server with the unit's environment
# into a file (as the journal takes it) on a data set that does not load: its Chinese message
# comes out in UTF-8.
unit="$prefix/lib/systemd/system/trindle-search.service"
grep -qx "Environment=TRINDLE_CONSOLE=utf8" "$unit" || fail "the unit does not set TRINDLE_CONSOLE=utf8"
mkdir -p "$work/unit_console"
printf '<ServerIP>127.0.0.1</ServerIP><Port>0</Port><BindAddress>127.0.0.1</BindAddress><Standard>missing</Standard>' \
  > "$work/unit_console/SearchServer.xml"
# shellcheck disable=SC2046
(cd "$work/unit_console" && env -u LANG -u LC_ALL -u LC_CTYPE $(sed -n 's/^Environment=//p' "$unit") \
  "$prefix/bin/SearchServer" > out.txt 2>&1) || true
grep -q "初始化失败" "$work/unit_console/out.txt" || fail "the unit's console is not UTF-8: $(od -c "$work/unit_console/out.txt" | head)"
"$prefix/bin/trindle-publish" --help | grep -q "^Usage: trindle-publish" || fail "trindle-publish --help"
library="$(find "$prefix" -name 'libTrindleAgentAPI.so.1' | head -n 1)"
[ -n "$library" ] || fail "libTrindleAgentAPI.so.1 not installed"
libdir="$(dirname "$library")"
[ -L "$libdir/libTrindleAgentAPI.so" ] || fail "no unversioned link to the library"
[ -e "$libdir/libTrindleAgentAPI.so.$version" ] || fail "the library's version is not $version"
[ -e "$libdir/pkgconfig/TrindleAgentAPI.pc" ] || fail "no pkg-config file"
[ -e "$libdir/cmake/TrindleAgentAPI/TrindleAgentAPIConfig.cmake" ] || fail "no CMake package"

# A small table: every record holds 中国 in its title, every second one 北京 in its body.
data="$work/data"
mkdir -p "$data"
cd "$data"
printf '中国\n北京\n人民\n大学\n' | iconv -f UTF-8 -t GBK > dict.txt
printf '序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n1 id id I 0 1 1 0 编号\n2 title title T 1 0 1 1 标题\n3 body body T 1 0 1 1 正文\n' \
  | iconv -f UTF-8 -t GBK > schema.txt
python3 - <<'PYTHON'
import sqlite3
db = sqlite3.connect("docs.db")
db.execute("create table docs (id integer, title text, body text)")
for i in range(1, 41):
    db.execute("insert into docs values (?, ?, ?)",
               (i, "中国 %d" % i, ("北京 人民 %d" if i % 2 else "大学 %d") % i))
db.commit()
PYTHON
printf '<DBConnectString>sqlite:%s/docs.db</DBConnectString>\n<Table>docs</Table>\n<SortField>id</SortField>\n' "$data" > db.xml
"$prefix/bin/indexer" 1 dict.txt dict.pdat >/dev/null 2>&1 || fail "mode 1"
"$prefix/bin/indexer" 2 dict.txt words.lst dict.pdat >/dev/null || fail "mode 2"
"$prefix/bin/indexer" 4 db.xml docs schema.txt dict.pdat words.lst >/dev/null || fail "mode 4"
[ -s docs.dataline ] && [ -s docs.index_0 ] && [ -s docs.manifest ] || fail "mode 4 wrote no data set"

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
printf '<ServerIP>127.0.0.1</ServerIP>\n<Port>%s</Port>\n<Standard>docs</Standard>\n<FieldInfo>schema.txt.dat</FieldInfo>\n<PDAT>dict.pdat</PDAT>\n<WordList>words.lst</WordList>\n<BindAddress>127.0.0.1</BindAddress>\n' "$port" > SearchServer.xml
printf '<ServerIP>127.0.0.1</ServerIP>\n<Port>%s</Port>\n<FieldInfo>%s/schema.txt.dat</FieldInfo>\n<Timeout>10</Timeout>\n' "$port" "$data" > client.xml
"$prefix/bin/SearchServer" > server.out 2>&1 &
server=$!
for _ in $(seq 1 200); do
  grep -aq "Listen port" server.out && break
  kill -0 "$server" 2>/dev/null || fail "the server ended: $(cat server.out)"
  sleep 0.05
done
grep -aq "Listen port $port" server.out || fail "the server did not start"

# A C application built against the installed header and library through pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc "$source_dir/examples/query_example.c" $(pkg-config --cflags --libs TrindleAgentAPI) \
  -o "$work/query_example" || fail "the example does not build through pkg-config"
query="$(printf '[FIELD] body [AND] 北京' | iconv -f UTF-8 -t GBK)"
LD_LIBRARY_PATH="$libdir" "$work/query_example" client.xml "$query" 0 5 > answer.xml \
  || fail "the example's query failed"
grep -q "<Total-Number>20</Total-Number>" answer.xml || fail "wrong total: $(cat answer.xml)"
grep -q "<Return-Number>5</Return-Number>" answer.xml || fail "wrong page: $(cat answer.xml)"

# The Python module over the installed library.
python_out="$(TRINDLE_AGENT_LIBRARY="$libdir/libTrindleAgentAPI.so.1" PYTHONPATH="$source_dir/examples" \
  python3 -c 'import trindle_agent
r = trindle_agent.query("client.xml", "[FIELD] body [AND] 北京", 0, 3)
print(r.total, r.returned, r.documents[0]["title"])')" || fail "the Python module's query failed"
[ "$python_out" = "20 3 中国 1" ] || fail "Python module: $python_out"

# The installed command-line client finds its library without LD_LIBRARY_PATH.
"$prefix/bin/trindle-query" --utf8 client.xml '[FIELD] title [AND] 中国' 35 10 - > tool.xml \
  || fail "trindle-query failed"
grep -q "<Total-Number>40</Total-Number>" tool.xml || fail "trindle-query: $(cat tool.xml)"
grep -q "<Return-Number>5</Return-Number>" tool.xml || fail "trindle-query: $(cat tool.xml)"

kill -TERM "$server"
wait "$server" || fail "the server did not end with status 0"
server=""
grep -aq "Server is down" server.out || fail "no clean end: $(cat server.out)"

if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze verify "$prefix/lib/systemd/system/trindle-search.service" \
    || fail "systemd-analyze verify"
fi

# The Debian package.
if command -v dpkg-deb >/dev/null 2>&1 && command -v dpkg-shlibdeps >/dev/null 2>&1; then
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null) \
    || fail "cpack -G DEB"
  package="$(ls "$work"/package/*.deb | head -n 1)"
  contents="$(dpkg-deb -c "$package")"
  for file in ./usr/bin/indexer ./usr/bin/SearchServer ./usr/bin/trindle-query ./usr/bin/trindle-publish \
              ./usr/include/TrindleAgentAPI.h ./usr/lib/systemd/system/trindle-search.service \
              ./usr/share/man/man1/indexer.1.gz ./usr/share/man/man8/SearchServer.8.gz \
              ./usr/share/man/man1/trindle-query.1.gz; do
    grep -q " $file\$" <<<"$contents" || fail "package lacks $file"
  done
  grep -q "libTrindleAgentAPI.so.1 " <<<"$contents$(echo)" || grep -q "libTrindleAgentAPI.so.1$" <<<"$contents" \
    || fail "package lacks the library"
  depends="$(dpkg-deb -f "$package" Depends)"
  for dependency in libsqlite3 libodbc libtinyxml libstdc++6; do
    grep -q "$dependency" <<<"$depends" || fail "package does not depend on $dependency: $depends"
  done
  [ "$(dpkg-deb -f "$package" Package)" = "trindle" ] || fail "package name"
  [ "$(dpkg-deb -f "$package" Version)" = "$version" ] || fail "package version is not $version"
fi
echo "product install test: all checks passed"
