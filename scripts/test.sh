#!/usr/bin/env bash
# Installs what is needed, starts a throwaway PostgreSQL server, then builds and runs every test
# twice: a plain build, and a build under AddressSanitizer and UndefinedBehaviorSanitizer; then
# the suites that start threads once more under ThreadSanitizer.
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
# ThreadSanitizer: only the threaded suites are built and run (the others are "_NOT_BUILT").
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DKQ_TSAN=ON -DKQ_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build-tsan" --parallel "$jobs" --target threaded_tests
(cd "$root/build-tsan" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure --parallel "$jobs" --timeout 600 -E '_NOT_BUILT$')
