#!/usr/bin/env bash
# Short libFuzzer runs of every parser: builds the fuzz_* targets with clang and
# runs each for FUZZ_SECONDS (default 20) on an empty corpus.
set -euo pipefail
cd "$ROOT"
CC=clang CXX=clang++ configure_build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_FUZZERS=ON -DENABLE_BENCHMARKS=OFF
shopt -s nullglob
for f in $(find build/fuzz -maxdepth 4 -type f -name 'fuzz_*' -perm -u+x | sort); do
  echo "== fuzz $(basename "$f")"
  corpus=$(mktemp -d)
  "$f" -max_total_time="${FUZZ_SECONDS:-20}" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" 2>&1 | tail -n 3
  rm -rf "$corpus"
done
