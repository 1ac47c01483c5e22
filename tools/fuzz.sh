#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for N
# seconds (first argument, default 30) over a scratch copy of its seed corpus
# under tests/fuzz/corpus/<name>/, so the repository's corpus stays as it is.
# Fails on the first target that crashes, leaks, times out or trips a
# sanitizer; the reproducer and the log stay in the scratch directory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac
root="$(pwd)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DMEROVANE_FUZZ=ON \
  -DMEROVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz

work="$(mktemp -d /tmp/merovane-fuzz-run-XXXXXX)"
status=0
passed=0
failed=0
for src in tests/fuzz/fuzz_*.cc; do
  name="$(basename "$src" .cc)"
  target="${name#fuzz_}"
  corpus="$work/$target"
  mkdir -p "$corpus"
  if [ -d "tests/fuzz/corpus/$target" ]; then
    cp -r "tests/fuzz/corpus/$target/." "$corpus/"
  fi
  echo "== $name: ${seconds}s"
  if (cd "$work" && TMPDIR="$work" "$root/build-fuzz/$name" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$target-" \
        "$corpus" >"$work/$target.log" 2>&1); then
    grep -E '^stat::number_of_executed_units|^Done' "$work/$target.log" || true
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "!! $name failed; log: $work/$target.log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$work/$target.log" >&2 || tail -n 30 "$work/$target.log" >&2
    status=1
  fi
done
if [ "$status" -eq 0 ]; then
  rm -rf "$work"
fi
echo "fuzz: $passed passed, $failed failed"
exit "$status"
