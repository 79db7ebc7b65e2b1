#!/usr/bin/env bash
# Installs what is needed, builds the library and runs its main road on an example cache.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$root/build"
"$root/build/examples/kq_example" "$@"
