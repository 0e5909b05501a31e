#!/usr/bin/env bash
# vyre3d on Windows: cross-builds vyre3d.exe for 32-bit Windows (and for 64-bit
# where only wine64 runs here) against freeglut and GLEW from scripts/windeps.sh,
# checks that it needs no mingw DLLs and packs the zip (cpack -G ZIP). Then, on
# one Xvfb server: the zip unpacked into an empty folder plays curve 3 in batch
# mode under wine and its captures must be the bytes the Linux build
# (build/release, which also wrote get/) captures in the same run; a damaged ball
# file must not end the program; --video without ffmpeg.exe must say so and exit 1.
# A source package of vyre3d's (freeglut, GLEW) the registry does not serve skips
# this stage with the reason (an error with VY_REQUIRE_WINDOWS_GUI=1).
# Runs alone after the Release build: bash scripts/test.d/22-vyre3d-windows.sh.
# VY_WINE_BITS=32 or 64 runs that build or fails; VY_WINDEPS_DIR is the
# third-party cache.
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
source scripts/lib/wine.sh
started=$SECONDS
host=$ROOT/build/release
batch=(--play 3 --step 0.04 --frames 600 --capture 200)
need_release vyre3d/vyre3d vyre3d/make_assets/make_assets get

deps=$(windeps_dir VY_WINDEPS_DIR)
windows_deps "$deps" "${VY_WINE_BITS:-}"
for arch in "${arches[@]}"; do
  for pkg in freeglut glew; do
    [ -f "$deps/$arch/stamps/$pkg" ] && continue
    echo "vyre3d for Windows skipped: the source package $pkg is missing (above)"
    [ "${VY_REQUIRE_WINDOWS_GUI:-0}" = 1 ] && exit 1
    exit 0
  done
done

# build ARCH BITS: vyre3d.exe, get/ and the zip in build/vyre3d-winBITS.
build() {
  local dir=build/vyre3d-win$2
  echo "== build $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$1.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DENABLE_BENCHMARKS=OFF -DENABLE_WERROR=ON -DVY_WINDEPS="$deps/$1" \
    -DVY_HOST_MAKE_ASSETS="$host/vyre3d/make_assets/make_assets" >/dev/null
  cmake --build "$dir" -j"$JOBS" --target vyre3d assets
  local dlls
  dlls=$("$1-w64-mingw32-objdump" -p "$dir/bin/vyre3d.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
    grep -vxE 'advapi32.dll|gdi32.dll|glu32.dll|kernel32.dll|msvcrt.dll|opengl32.dll|user32.dll|winmm.dll' || true)
  [ -z "$dlls" ] || { echo "vyre3d.exe needs DLLs Windows does not have: $dlls"; exit 1; }
  (cd "$dir" && cpack -G ZIP >/dev/null)
  ls "$dir"/packages/vyre3d-*-win"$2".zip
}
build i686 32
[ "$runs" = 1 ] || { echo "vyre3d.exe built but not run: no wine runs here (above)"; exit 0; }
[ "$WINE_BITS" = 32 ] || build "$WINE_ARCH" "$WINE_BITS"

dir=$ROOT/build/vyre3d-win$WINE_BITS
work=$dir/runs
rm -rf "$work"
mkdir -p "$work/linux" "$work/zip" "$work/damaged"
wine_prefix "$dir/wineprefix"
Xvfb -displayfd 3 -screen 0 1280x1024x24 +extension GLX -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.2; done
export DISPLAY=:$(cat "$work/display")

# The console of a run without carriage returns and with the data addresses masked.
console() { tr -d '\r' <"$1" | sed -E 's/,[0-9a-f]{8}\)$/,ADDRESS)/'; }

echo "== curve 3 on Linux and from the unpacked zip under wine"
cp -r "$host/get" "$work/linux/"
(cd "$work/linux" && timeout 600 "$host/vyre3d/vyre3d" "${batch[@]}" >console.txt 2>&1)
(cd "$work/zip" && cmake -E tar xf "$(ls "$dir"/packages/vyre3d-*-win"$WINE_BITS".zip)")
app=$(ls -d "$work"/zip/vyre3d-*)
for f in vyre3d.exe README-windows.txt licenses/freeglut.txt licenses/glew.txt get/tensor/curve3.arr; do
  [ -e "$app/$f" ] || { echo "the zip lacks $f"; exit 1; }
done
(cd "$app" && timeout 600 "$WINE" vyre3d.exe "${batch[@]}" >console.txt 2>stderr.txt) ||
  { echo "the $WINE_BITS-bit vyre3d.exe batch run ended with code $?:"; console "$app/console.txt"; cat "$app/stderr.txt"; exit 1; }

captures=$(cd "$work/linux/out" && ls)
[ "$(echo "$captures" | wc -l)" = 6 ] || { echo "Linux run: expected 3 pairs of captures, got: $captures"; exit 1; }
# The 64-bit build's captures are the Linux build's bytes. The 32-bit build's
# world points are too, but 32-bit Mesa rounds the odd pixel of a colour
# gradient to the other level (measured: one pixel, one level, the same spot
# of the floor in every capture): its pictures may differ by at most 1 level in
# at most 48 pixels (0.01%).
bound=0
[ "$WINE_BITS" = 32 ] && bound=48
python3 - "$work/linux/out" "$app/out" "$bound" $captures <<'EOF'
import struct, sys
linux, windows, bound, names = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
failed = False
for name in names:
    a, b = (open(f"{d}/{name}", "rb").read() for d in (linux, windows))
    if a == b:
        continue
    says = "differs from the Linux capture"
    if len(a) == len(b) and name.endswith(".bmp") and a[:54] == b[:54]:
        at = struct.unpack_from("<I", a, 10)[0]
        pixels = [max(abs(a[i + k] - b[i + k]) for k in range(4)) for i in range(at, len(a), 4)]
        differ = [d for d in pixels if d]
        says += f": {len(differ)} pixels, largest difference {max(differ)}"
        if max(differ) <= 1 and len(differ) <= bound:
            print(f"{windows}/{name}: {says} (within 1 level in {bound} pixels)")
            continue
    print(f"{windows}/{name}: {says}")
    failed = True
sys.exit(failed)
EOF
if [ "$bound" = 0 ]; then
  echo "captures: the $(echo "$captures" | wc -l) files of the $WINE_BITS-bit Windows run are byte-identical to the Linux run's"
else
  echo "captures: the $WINE_BITS-bit Windows run's world points are the Linux run's bytes, its pictures within the bound"
fi
if ! diff <(console "$work/linux/console.txt" | sort) <(console "$app/console.txt" | sort); then
  echo "the console lines of vyre3d.exe differ from the Linux program's"
  exit 1
fi
grep -qx '\[1=--play\] \[2=3\] \[3=--step\] \[4=0.04\] \[5=--frames\] \[6=600\] \[7=--capture\] \[8=200\] ' \
  <(console "$app/console.txt") || { echo "vyre3d.exe did not echo its arguments"; exit 1; }
echo "console: the lines of vyre3d.exe are the Linux program's (every argument echoed)"

echo "== a damaged ball file under wine"
cp -r "$host/get" "$work/damaged/"
head -c 1000 "$host/get/mesh/sphere_896_tnv.arr" >"$work/damaged/get/mesh/sphere_896_tnv.arr"
(cd "$work/damaged" && timeout 300 "$WINE" "$app/vyre3d.exe" --play 3 --step 0.04 --frames 25 >console.txt 2>&1) ||
  { echo "vyre3d.exe ended with code $? on a damaged ball file"; console "$work/damaged/console.txt"; exit 1; }
grep -q '^error.*sphere_896_tnv' <(console "$work/damaged/console.txt") ||
  { echo "vyre3d.exe did not report the damaged ball file"; exit 1; }

echo "== --video without ffmpeg.exe on PATH"
rc=0
(cd "$work/damaged" && timeout 60 "$WINE" "$app/vyre3d.exe" --step 0.04 --video out/v.mp4 >video.txt 2>&1) || rc=$?
[ "$rc" = 1 ] && grep -q '^error --video: cannot start ffmpeg' "$work/damaged/video.txt" ||
  { echo "vyre3d.exe --video without ffmpeg: exit $rc, expected 1 and the message"; exit 1; }
echo "vyre3d.exe under wine: as on Linux ($((SECONDS - started)) s)"
