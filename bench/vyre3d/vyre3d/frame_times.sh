#!/usr/bin/env bash
# Frame-time benchmark of the real vyre3d in batch mode under one Xvfb: 600 frames
# of curve 3 (fixed 0.04 s step) with the three shadow-casting lights, and the same
# with --lighting off, run in turns (A B A B ...) so both see the same machine.
# Prints each run's bench line, then both medians (the median over the runs of
# each run's median frame time), the frames per second at those medians and the
# median of the pair-by-pair ratios (three lights / lighting off); also each run's
# processor time per frame (all threads), which a loaded machine disturbs less.
# The machine's load (uptime: load averages over 1, 5 and 15 minutes, and the
# processor count) is printed before and after the runs: figures taken under load
# say so.
#   bash bench/vyre3d/vyre3d/frame_times.sh [ROUNDS] [VYRE3D] [-- EXTRA OPTIONS]
# ROUNDS defaults to 3, VYRE3D to build/release/vyre3d/vyre3d; extra options (such
# as --bench-passes) go to every run. Runs in a scratch folder holding a link to
# the build's get/.
set -euo pipefail
cd "$(dirname "$0")/../../.."
rounds=${1:-3}
exe=$(realpath "${2:-build/release/vyre3d/vyre3d}")
shift $(( $# < 2 ? $# : 2 ))
[ "${1:-}" = -- ] && shift
get=$(dirname "$(dirname "$exe")")/get
[ -x "$exe" ] && [ -d "$get" ] || { echo "frame_times: no $exe with $get beside it; build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$get" "$work/get"
cd "$work"
load() { echo "load $1: $(uptime | sed 's/.*load average: //') on $(nproc) processors"; }
load before
xvfb-run -a -s "-screen 0 1280x1024x24 +extension GLX" bash -c '
  exe=$1 rounds=$2; shift 2
  for r in $(seq "$rounds"); do
    for mode in lights off; do
      extra=(); [ $mode = off ] && extra=(--lighting off)
      TIMEFORMAT="%U %S"
      { time "$exe" --play 3 --step 0.04 --frames 600 --bench "${extra[@]}" "$@" 2>/dev/null >out.txt; } 2>cpu.txt
      echo "$mode $(grep "^bench" out.txt) cpu_s=$(awk "{ print \$1 + \$2 }" cpu.txt)"
      grep "^bench pass" out.txt || true
    done
  done' frame_times "$exe" "$rounds" "$@" | tee runs.txt
awk '
  /^(lights|off) bench frames=/ {
    for (i = 3; i <= NF; i++) {
      split($i, kv, "=")
      if (kv[1] == "median_ms") m = kv[2]
      if (kv[1] == "cpu_s") c = kv[2] / 600 * 1000
    }
    if ($1 == "lights") { a[++na] = m; ca[na] = c }
    else { b[++nb] = m; r[nb] = a[nb] / m; cb[nb] = c; cr[nb] = ca[nb] / c }
  }
  function median(v, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  END {
    ma = median(a, na); mb = median(b, nb); mr = median(r, nb)
    printf "three lights:  median %.3f ms (%.0f frames/s)\n", ma, 1000 / ma
    printf "lighting off:  median %.3f ms (%.0f frames/s)\n", mb, 1000 / mb
    printf "ratio (three lights / lighting off, median of %d pairs): %.2f\n", nb, mr
    printf "processor time per frame (all threads, start-up included): three lights %.2f ms, lighting off %.2f ms, ratio %.2f\n", median(ca, na), median(cb, nb), median(cr, nb)
  }' runs.txt
load after
