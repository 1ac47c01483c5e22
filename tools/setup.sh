#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks use.
# Safe to rerun; does nothing when everything is already there.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libsqlite3-dev libgtest-dev
          curl socat microsocks dante-server tinyproxy chromium clang)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
