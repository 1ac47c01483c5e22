#!/usr/bin/env bash
# Builds everything and runs the whole test suite. With SANITIZE=1 the build
# uses AddressSanitizer and UndefinedBehaviorSanitizer (in build-sanitize/).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMEROVANE_WERROR=ON)
if [ "${SANITIZE:-0}" = 1 ]; then
  dir=build-sanitize
  flags+=(-DMEROVANE_SANITIZE=ON)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir"
cd "$dir"
ctest --output-on-failure --timeout 900 -j2
