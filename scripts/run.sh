#!/usr/bin/env bash
# The main job: set-up, build, run. Until the scene program exists this builds
# everything and says what can be run. `run.sh amvex` instead streams live
# samples from an emulated 40-channel amplifier through amxctl for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
if [ "${1:-}" = amvex ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j"$(nproc)" --target amxctl
  export AMVEX_EMULATE="kind=7,rev=64"
  amxctl=build/release/tools/amxctl/amxctl
  "$amxctl" list
  echo "== 5 s of live samples at 1000/s (sample, status, first channels in microvolts)"
  "$amxctl" stream @0 --rate 1000 --seconds 5 --uv | awk 'NR % 100 == 1 { printf "%s", $1 "  " $2; for (i = 3; i <= 8; ++i) printf "  %10s", $i; print "  ..." ; fflush() }'
  exit 0
fi
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)"
echo
echo "Built into build/release. Runnable today:"
echo "  ctest --test-dir build/release          the unit tests"
ls build/release/bench/*/bench_* 2>/dev/null | sed 's/^/  /;s/$/   benchmark/' || true
