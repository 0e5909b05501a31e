#!/usr/bin/env bash
# Amvex on Windows: cross-builds the 32-bit DLL, its tests and the example into
# build/win32 and checks that the DLL exports exactly the names of Amvex.def. The
# Windows tests, the example and amxctl then run under wine: the 32-bit build where this
# machine can execute 32-bit programs, else the 64-bit build (build/win64) under
# wine64, so the Windows code paths are always exercised. Each build has its own
# wine prefix under its build directory.
set -euo pipefail
cd "$ROOT"
source scripts/lib/wine.sh

# check_exports DLL OBJDUMP PE-FORMAT: the DLL's export table against Amvex.def.
check_exports() {
  local dll=$1 objdump=$2 format=$3
  "$objdump" -f "$dll" | grep -q "file format $format" || { echo "$dll is not a $format DLL"; exit 1; }
  local expected actual
  expected=$(sed -E 's/^[[:space:]]+|[[:space:]]+$//g' amvex/Amvex.def | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | grep -vx EXPORTS | sort)
  actual=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | awk '{print $NF}' | sort)
  if [ "$expected" != "$actual" ]; then
    echo "$dll exports differ from Amvex.def:"
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
  fi
  echo "$dll exports the $(echo "$expected" | wc -l) names of Amvex.def"
}

# run_under_wine BUILD-DIR: the tests (label soak excluded) and the example.
# One test program at a time: the device tests wait for replies with deadlines,
# and wine's thread start-up is slow enough on two loaded cores to miss them.
run_under_wine() {
  local dir=$1
  wine_prefix "$ROOT/$dir/wineprefix"
  run_tests "$dir" -j1
  echo "== example under wine"
  (cd "$dir/bin" && AMVEX_EMULATE="kind=7,rev=64" timeout 60 "$WINE" amx_stream.exe 0 2 1000)
  echo "== amxctl under wine"
  (
    cd "$dir/bin"
    export AMVEX_EMULATE="kind=7,rev=64;kind=2"
    listed=$(timeout 60 "$WINE" amxctl.exe list | tr -d '\r')
    echo "$listed"
    grep -q '2 device(s)' <<<"$listed" || { echo "amxctl.exe list: expected 2 devices"; exit 1; }
    last=$(timeout 60 "$WINE" amxctl.exe stream @0 --rate 1000 --seconds 2 --quiet | tr -d '\r' | tail -n 1 | cut -d' ' -f1)
    [ "$last" = 2000 ] || { echo "amxctl.exe stream: last sample number \"$last\", expected 2000"; exit 1; }
    timeout 60 "$WINE" amxctl.exe stream @0 --rate 333 >/dev/null 2>&1 && { echo "amxctl.exe accepted rate 333"; exit 1; }
    echo "amxctl.exe: list, a 2 s stream and a refused rate as expected"
  )
}

configure_build build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DENABLE_BENCHMARKS=OFF -DENABLE_WERROR=ON
check_exports build/win32/bin/Amvex.dll i686-w64-mingw32-objdump pei-i386

if ! wine_select; then
  echo "Windows tests built but not run"
  [ "${AMVEX_REQUIRE_WINE:-0}" = 1 ] && exit 1
  exit 0
fi
if [ "$WINE_BITS" = 64 ]; then
  configure_build build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DENABLE_BENCHMARKS=OFF -DENABLE_WERROR=ON
  check_exports build/win64/bin/Amvex.dll x86_64-w64-mingw32-objdump pei-x86-64
fi
echo "== Windows tests: $WINE_BITS-bit build under $WINE"
run_under_wine "build/win$WINE_BITS"
