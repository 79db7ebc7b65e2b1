#!/usr/bin/env bash
# Installs what is needed, starts a throwaway PostgreSQL server, then builds and runs every test
# twice: a plain build, and a build under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
jobs=$(nproc)

pgdir=$(mktemp -d /tmp/kqpg.XXXXXX)
trap '"$root/scripts/pg.sh" stop "$pgdir"' EXIT
eval "$("$root/scripts/pg.sh" start "$pgdir")"

run() {
  local dir=$1; shift
  "$root/scripts/build.sh" "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure --parallel "$jobs" --timeout 600)
}
run "$root/build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run "$root/build-asan" -DKQ_SANITIZE=ON -DKQ_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
