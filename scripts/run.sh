#!/usr/bin/env bash
# The main job: set-up, build, run. With a display it opens the vyre3d window in
# the build folder (which holds get/). Without one it runs vyre3d under Xvfb in
# batch mode: curve 3 with a fixed time step, four captures converted to PNG and
# an MP4 of the whole curve under out/, and prints their paths. Two runs on one
# machine give the same pictures.
# `run.sh amvex` instead streams live samples from an emulated 40-channel
# amplifier with an EEG-like input through amxctl for a few seconds, serves it
# over loopback to a subscriber that records 3 s of it (one line: frames,
# losses, clock offset and bound), then opens the amxview window on it; without
# a display it runs amxview under Xvfb and prints the paths of PNG pictures of
# its traces, spectrum and impedance views.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = amvex ]; then
  bash scripts/deps.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j"$(nproc)" --target amxctl amxview
  export AMVEX_EMULATE="kind=7,rev=64,signal=eeg"
  amxctl=build/release/amxtools/amxctl/amxctl
  "$amxctl" list
  echo "== 5 s of live samples at 1000/s (sample, status, first channels in microvolts)"
  "$amxctl" stream @0 --rate 1000 --seconds 5 --uv | awk 'NR % 100 == 1 { printf "%s", $1 "  " $2; for (i = 3; i <= 8; ++i) printf "  %10s", $i; print "  ..." ; fflush() }'
  echo "== the same amplifier served over loopback (amxctl serve) and 3 s of it recorded by a subscriber"
  served=$(mktemp -d)
  "$amxctl" serve @0 --rate 1000 --bind tcp://127.0.0.1:5600 --seconds 6 --quiet &
  "$amxctl" record tcp://127.0.0.1:5600/amx0 "$served/remote.bdf" --seconds 3 --back all --quiet 2>&1 | tail -n 1
  wait
  rm -rf "$served"
  amxview=$PWD/build/release/amxtools/amxview/amxview
  if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
    echo "run: opening amxview on $DISPLAY (close the window to quit)"
    exec "$amxview" --device @0 --rate 1000
  fi
  echo "== no display: amxview under Xvfb, one picture of each view"
  mkdir -p build/release/out
  # Traces with the filters on (band-pass, notch, baseline); the spectrum raw, so
  # the 50 Hz hum shows beside the alpha peak and the 1/f background.
  for view in "traces --filters" spectrum impedance; do
    png=$PWD/build/release/out/amxview_${view%% *}.png
    # shellcheck disable=SC2086
    xvfb-run -a -s "-screen 0 1280x1024x24 +extension GLX" \
      "$amxview" --screenshot "$png" --seconds 5 --rate 1000 --view $view
    echo "$png"
  done
  exit 0
fi
if [ -z "${VY_SKIP_BUILD:-}" ]; then
  bash scripts/deps.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j"$(nproc)"
fi

if [ ! -x build/release/vyre3d/vyre3d ]; then
  echo "run: vyre3d was not built; see the build output above" >&2
  exit 1
fi
cd build/release
mkdir -p get out
if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
  echo "run: opening vyre3d on $DISPLAY in $PWD (keys 1-6 play a curve, g shows the menu, release Escape to quit)"
  exec ./vyre3d/vyre3d "$@"
fi

echo "run: no display; playing curve 3 in vyre3d under Xvfb in $PWD (batch mode, 3000 frames of 0.04 s)"
rm -f out/opengl_*_rgba.bmp out/opengl_*_pnt3.mat out/scene_*.png out/scene_curve3.mp4
# A fixed step makes the frames the same on every run: four captures spread over
# the two minutes of the curve and a video of all of it.
if ! xvfb-run -a -s "-screen 0 1280x1024x24 +extension GLX" ./vyre3d/vyre3d --play 3 --step 0.04 --frames 3000 \
    --capture 750 --video out/scene_curve3.mp4 "$@" > out/vyre3d_console.txt 2>&1; then
  echo "run: vyre3d failed (see $PWD/out/vyre3d_console.txt)" >&2
  exit 1
fi

for f in out/opengl_*_rgba.bmp; do
  [ -e "$f" ] || { echo "run: no captures were written (see out/vyre3d_console.txt)" >&2; exit 1; }
  png="out/scene_$(basename "$f" _rgba.bmp | sed 's/^opengl_//').png"
  convert "$f" -alpha off -define png:exclude-chunks=date,time "$png"  # no time stamps: same bytes every run
  echo "$PWD/$png"
done
echo "$PWD/out/scene_curve3.mp4"
