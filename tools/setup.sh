#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks use.
# Safe to rerun; does nothing when everything is already there.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libsqlite3-dev libcrypt-dev libgtest-dev
          curl socat microsocks dante-server tinyproxy privoxy chromium clang libclang-rt-14-dev
          python3)
# Node.js drives the browser tests; the machine image usually brings it.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
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

# The panel's browser tests drive the installed Chromium with playwright-core,
# pinned by tests/browser/package-lock.json (node comes with the machine).
browser_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
wanted=$(sed -n 's/.*"playwright-core": "\([0-9.]*\)".*/\1/p' "$browser_tests/package.json")
installed=$(sed -n 's/^  "version": "\([0-9.]*\)".*/\1/p' \
            "$browser_tests/node_modules/playwright-core/package.json" 2>/dev/null || true)
if [ "$installed" != "$wanted" ]; then
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
