#!/usr/bin/env bash
# Frame-time benchmark of the real vyre3d in batch mode under one Xvfb: 600 frames
# of curve 3 (fixed 0.04 s step) with the three shadow-casting lights, and the same
# with --lighting off, run in turns so both see the same machine. With several
# builds, every round runs each of them in turn (A lights, A off, B lights, B off,
# A lights, ...), so builds are compared side by side in one run.
# Each run's bench line gives its median wall-clock frame time and its processor
# time per frame (all threads, start-up left out), which a loaded machine disturbs
# far less than the wall clock. Per build the script prints the medians of both and
# the ratio three lights / lighting off of each round's pair: the median over the
# rounds and, in brackets, the lowest and highest (the spread). The machine's load
# (uptime: load averages over 1, 5 and 15 minutes, and the processor count) is
# printed before and after the runs: figures taken under load say so.
#   bash bench/vyre3d/vyre3d/frame_times.sh [ROUNDS] [VYRE3D ...] [-- EXTRA OPTIONS]
# ROUNDS defaults to 5, VYRE3D to build/release/vyre3d/vyre3d; extra options (such
# as --bench-passes) go to every run. Runs in a scratch folder holding a link to
# the get/ beside the first build.
set -euo pipefail
cd "$(dirname "$0")/../../.."
rounds=5
[[ "${1:-}" =~ ^[0-9]+$ ]] && rounds=$1 && shift
exes=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do exes+=("$(realpath "$1")") && shift; done
[ "${1:-}" = -- ] && shift
[ ${#exes[@]} -gt 0 ] || exes=("$(realpath build/release/vyre3d/vyre3d)")
get=$(dirname "$(dirname "${exes[0]}")")/get
for exe in "${exes[@]}"; do
  [ -x "$exe" ] || { echo "frame_times: no program $exe; build first" >&2; exit 1; }
done
[ -d "$get" ] || { echo "frame_times: no $get beside ${exes[0]}; build first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$get" "$work/get"
cd "$work"
load() { echo "load $1: $(uptime | sed 's/.*load average: //') on $(nproc) processors"; }
load before
xvfb-run -a -s "-screen 0 1280x1024x24 +extension GLX" bash -c '
  rounds=$1 builds=$2; shift 2
  exes=("${@:1:builds}"); shift "$builds"
  for r in $(seq "$rounds"); do
    for b in "${!exes[@]}"; do
      for mode in lights off; do
        extra=(); [ $mode = off ] && extra=(--lighting off)
        "${exes[$b]}" --play 3 --step 0.04 --frames 600 --bench "${extra[@]}" "$@" 2>/dev/null >out.txt
        echo "$b $mode $(grep "^bench frames" out.txt)"
        grep "^bench pass" out.txt | sed "s/^/$b $mode /" || true
      done
    done
  done' frame_times "$rounds" "${#exes[@]}" "${exes[@]}" "$@" | tee runs.txt
for b in "${!exes[@]}"; do
  echo "build $b: ${exes[$b]}"
  awk -v build="$b" '
    $1 == build && $3 == "bench" && $4 ~ /^frames=/ {
      for (i = 4; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] == "median_ms") m = kv[2]
        if (kv[1] == "cpu_ms") c = kv[2]
      }
      if ($2 == "lights") { wa[++na] = m; ca[na] = c }
      else { wb[++nb] = m; cb[nb] = c; wr[nb] = wa[nb] / m; cr[nb] = ca[nb] / c }
    }
    function sort(v, n,   i, j, t) {
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    }
    function median(v, n) { sort(v, n); return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
    function line(what, a, b, r, n,   ma, mb, mr) {
      ma = median(a, n); mb = median(b, n); mr = median(r, n)
      printf "  %s: three lights %.3f ms, lighting off %.3f ms, ratio %.2f (%.2f to %.2f over %d rounds)\n",
        what, ma, mb, mr, r[1], r[n], n
    }
    END {
      line("processor time per frame", ca, cb, cr, nb)
      line("wall-clock median frame   ", wa, wb, wr, nb)
    }' runs.txt
done
load after
