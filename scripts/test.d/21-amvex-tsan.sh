#!/usr/bin/env bash
# Amvex's threads under ThreadSanitizer: the transport, device and public-API
# suites (reader threads, notification thread, concurrent host threads) and the
# calibration and impedance suites (measurements fed on the reader thread), and the
# faults on cue, every key (notifications posted from reader threads and the
# emulator's timer, devices created side by side).
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
echo "== build build/tsan (amvex tests only)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_TSAN=ON -DENABLE_BENCHMARKS=OFF >/dev/null
cmake --build build/tsan -j"$JOBS" --target test_amvex_transport test_amvex_device test_amvex_api test_amvex_faults test_amvex_calib \
  test_amvex_calib_api
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests build/tsan -R '^test_amvex_(transport|device|api|faults|faults_plug|faults_power|faults_keys|calib|calib_api)$'
