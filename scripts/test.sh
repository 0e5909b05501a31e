#!/usr/bin/env bash
# Set-up, build and every test. Exits non-zero on the first failure.
#   bash scripts/test.sh           everything (what CI runs)
# Stages: install packages, Release build + tests, ASan+UBSan build + tests, then
# every scripts/test.d/*.sh in name order (GL, Windows/wine, fuzzing, ...); each
# of those also runs alone (docs/testing.md). The shared functions are in scripts/lib/.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"

bash scripts/deps.sh

configure_build build/release -DCMAKE_BUILD_TYPE=Release -DENABLE_WERROR=ON
run_tests build/release

configure_build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_SANITIZERS=ON -DENABLE_BENCHMARKS=OFF -DENABLE_WERROR=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build/asan

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== stage $stage"
  bash "$stage"
done
echo "== all tests passed"
