#!/usr/bin/env bash
# The main job: set-up, build, run. Until the scene program exists this builds
# everything and says what can be run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)"
echo
echo "Built into build/release. Runnable today:"
echo "  ctest --test-dir build/release          the unit tests"
ls build/release/bench/*/bench_* 2>/dev/null | sed 's/^/  /;s/$/   benchmark/' || true
