#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the tests, on 127.0.0.1 and a free port.
#   eval "$(scripts/pg.sh start <dir>)"   starts it and prints the export of KQ_PG_CONNINFO
#   scripts/pg.sh stop <dir>              stops it and removes the folder
# The server refuses to run as root, so it runs as the "postgres" account when we are root.
# Only an empty folder or one that this script made is removed; start refuses a folder whose
# server still runs (stop it first).
set -euo pipefail
cmd=$1; dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
# Refuses (exit 1) a folder that is neither missing, nor empty, nor one of this script's.
check_ours() {
  if [ -z "$dir" ] || [ "$(cd "$dir" 2>/dev/null && pwd -P)" = "/" ]; then
    echo "$0: refusing folder [$dir]" >&2; exit 1
  fi
  if [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ] && [ ! -f "$dir/initdb.log" ]; then
    echo "$0: [$dir] is not empty and was not made by this script; not removed" >&2; exit 1
  fi
}
case "$cmd" in
  start)
    check_ours
    if [ -d "$dir/data" ] && as_pg "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; then
      echo "$0: a server still runs in [$dir]; stop it first ($0 stop $dir)" >&2; exit 1
    fi
    rm -rf "$dir"; mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    as_pg "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 >"$dir/initdb.log" 2>&1
    as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
      -o "-h 127.0.0.1 -p $port -k $dir -c max_connections=200 -c fsync=off" start >/dev/null
    as_pg "$bin/createdb" -h 127.0.0.1 -p "$port" -U postgres kqtest
    echo "export KQ_PG_CONNINFO='host=127.0.0.1 port=$port user=postgres dbname=kqtest'"
    ;;
  stop)
    check_ours
    if [ -d "$dir/data" ]; then as_pg "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true; fi
    rm -rf "$dir"
    ;;
  *) echo "usage: $0 start|stop <dir>" >&2; exit 2 ;;
esac
