#!/usr/bin/env bash
# Builds the program and runs the server in the foreground with its data
# (registry file, database, lock) under ./data.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target merovane
mkdir -p data
export MEROVANE_HOME="${MEROVANE_HOME:-$PWD/data}"
exec build/merovane /run
