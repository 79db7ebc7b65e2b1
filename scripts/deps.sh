#!/usr/bin/env bash
# Installs what the build, the tests and the example need (Debian packages).
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
      libboost-dev libpugixml-dev libisal-dev libsqlite3-dev sqlite3 libpq-dev postgresql
      p7zip-full rhash libssl-dev libcurl4-openssl-dev python3-pyftpdlib openssl curl libtsan2)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
