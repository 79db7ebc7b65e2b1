#!/usr/bin/env bash
# Installs what is needed, builds the library and runs its main road on an example cache (its
# working folder is removed at the end unless --keep is given, see examples/main_road.cpp). The
# download centers of the update-alert step and of the download job are served over http on
# 127.0.0.1 meanwhile (the example writes them into the served folder).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$root/build"
center=$(mktemp -d /tmp/kq-center.XXXXXX)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$center"' EXIT
mkdir -p "$center/served"
/usr/bin/python3 "$root/tests/support/loopback_server.py" --protocol http --root "$center/served" \
  --port-file "$center/port" --parent-pid $$ --timeout 600 &
server=$!
for _ in $(seq 100); do [ -s "$center/port" ] && break; sleep 0.1; done
KQ_DEMO_CENTER_ROOT="$center/served" KQ_DEMO_CENTER_PORT=$(cat "$center/port") \
  "$root/build/examples/kq_example" "$@"
