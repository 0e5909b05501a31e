#!/usr/bin/env bash
# Short libFuzzer runs of every parser: builds the fuzz_* targets with clang and
# runs each for FUZZ_SECONDS (default 20) on an empty corpus.
set -euo pipefail
cd "$ROOT"
echo "== build build/fuzz"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_FUZZERS=ON -DENABLE_BENCHMARKS=OFF -DENABLE_WERROR=ON >/dev/null
# The Amvex targets too (the stream service where libzmq is found): clang keeps
# them warning-free as gcc and mingw do.
cmake --build build/fuzz -j"$JOBS" --target fuzzers amvex amxctl amx_stream amxnet
shopt -s nullglob
for f in $(find build/fuzz -maxdepth 6 -type f -name 'fuzz_*' -perm -u+x | sort); do
  echo "== fuzz $(basename "$f")"
  work=$(mktemp -d) && mkdir "$work/corpus"
  if ! (cd "$work" && "$ROOT/$f" -max_total_time="${FUZZ_SECONDS:-20}" -rss_limit_mb=2048 corpus >log 2>&1); then
    cat "$work/log"; echo "fuzz: $(basename "$f") failed; crash input kept in $work"; exit 1
  fi
  tail -n 1 "$work/log"
  rm -rf "$work"
done
