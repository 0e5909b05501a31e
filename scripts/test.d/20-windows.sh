#!/usr/bin/env bash
# Amvex on Windows. The host tools' libraries come from scripts/windeps.sh
# (edflib, libzmq, GLFW, Dear ImGui, kissfft; one the registry does not serve
# is left out, and the programs go without what needs it). Cross-builds the 32-bit DLL,
# its tests, the example, amxctl and amxview into build/win32, checks that the
# DLL exports exactly the names of Amvex.def, packs the developer's zip
# (cpack -G ZIP) and links the example from the zip's header and each of its
# import libraries. Then under wine: the 32-bit build where this machine can
# execute 32-bit programs, else the 64-bit build (build/win64) under wine64, so
# the Windows code paths are always exercised. The library's tests run in the
# build; the zip, unpacked into an empty folder, lists, streams and records with
# its amxctl.exe (the recording must read as the Linux amxctl's of the same
# stream), takes a screenshot of each view with its amxview.exe on Xvfb (and
# records with it), runs the example built from it against each import
# library, and serves an emulated amplifier with amxctl.exe serve to the Linux
# amxctl and Python Inlet, also with keys made by amxctl.exe keygen; streams
# are found by name both ways across two network namespaces (root); its hosts,
# run after run, end with their own exit status. Each build has its own wine prefix under its build directory.
# Runs alone: bash scripts/test.d/20-windows.sh (the recording comparison uses
# build/release's amxctl). AMVEX_WINE_BITS=32 or 64 runs that build or fails;
# AMVEX_REQUIRE_WINE=1 fails where no wine runs; AMVEX_WINDEPS_DIR is the
# third-party cache (VY_WINDEPS_DIR, its old name here, is read until the next release).
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
source scripts/lib/wine.sh
started=$SECONDS
deps=$(windeps_dir AMVEX_WINDEPS_DIR VY_WINDEPS_DIR)

# check_exports DLL OBJDUMP PE-FORMAT: the DLL's export table against Amvex.def.
check_exports() {
  local dll=$1 objdump=$2 format=$3
  "$objdump" -f "$dll" | grep -q "file format $format" || { echo "$dll is not a $format DLL"; exit 1; }
  local actual
  actual=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | awk '{print $NF}' | sort)
  if [ "$def_names" != "$actual" ]; then
    echo "$dll exports differ from Amvex.def:"
    diff <(echo "$def_names") <(echo "$actual") || true
    exit 1
  fi
  echo "$dll exports the $(echo "$def_names" | wc -l) names of Amvex.def"
}
def_names=$(sed -E 's/^[[:space:]]+|[[:space:]]+$//g' amvex/Amvex.def | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | grep -vx EXPORTS | sort)

# build ARCH BITS: build/winBITS, its export check and the zip packages/amvex-*-winBITS.zip.
build() {
  local dir=build/win$2 format=pei-i386
  [ "$1" = x86_64 ] && format=pei-x86-64
  configure_build "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$1.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DENABLE_BENCHMARKS=OFF -DENABLE_WERROR=ON -DAMX_WINDEPS="$deps/$1"
  check_exports "$dir/bin/Amvex.dll" "$1-w64-mingw32-objdump" "$format"
  rm -rf "$dir/packages"
  (cd "$dir" && cpack -G ZIP >/dev/null)
  ls "$dir"/packages/amvex-*-win"$2".zip
}

# unpack BITS: the zip of build/winBITS into the empty folder build/winBITS/zip;
# APP is its one folder.
unpack() {
  local dir=$ROOT/build/win$1 zip
  zip=$(ls "$dir"/packages/amvex-*-win"$1".zip)
  rm -rf "$dir/zip"
  mkdir -p "$dir/zip"
  (cd "$dir/zip" && cmake -E tar xf "$zip")
  APP=$(ls -d "$dir"/zip/amvex-*)
  local f
  for f in Amvex.dll amxctl.exe amx_stream.exe README-windows.txt include/amvex.h include/amvex_clock.h \
    lib/libamvex.dll.a lib/Amvex.lib lib/Amvex.def example/amx_stream.c; do
    [ -e "$APP/$f" ] || { echo "the zip lacks $f"; exit 1; }
  done
}

# link_example ARCH: the zip's example against its header and each import
# library: host_mingw.exe (libamvex.dll.a, GNU ld) and host_msvc.exe (Amvex.lib,
# Microsoft's format, linked by lld). Each must import only names of Amvex.def
# from Amvex.dll, undecorated.
link_example() {
  local lib imports
  for lib in mingw:libamvex.dll.a msvc:Amvex.lib; do
    local exe=$APP/host_${lib%%:*}.exe linker=()
    [ "${lib%%:*}" = msvc ] && linker=(-fuse-ld=lld)
    "$1-w64-mingw32-gcc-posix" -O2 -Wall -Werror -static "${linker[@]}" -I"$APP/include" "$APP/example/amx_stream.c" \
      "$APP/lib/${lib#*:}" -o "$exe"
    imports=$("$1-w64-mingw32-objdump" -p "$exe" | sed -n '/DLL Name: Amvex.dll/,/^$/p' | awk 'NR > 2 && NF {print $NF}' | sort)
    [ -n "$imports" ] && [ -z "$(comm -23 <(echo "$imports") <(echo "$def_names"))" ] ||
      { echo "$exe imports from Amvex.dll names outside Amvex.def: $imports"; exit 1; }
  done
  echo "the zip's example links against include/amvex.h with lib/libamvex.dll.a and with lib/Amvex.lib ($1)"
}

# in_app COMMAND...: runs a program of the unpacked zip under wine in its folder.
in_app() { (cd "$APP" && timeout 120 "$WINE" "$@"); }

# statuses TIMES STATUS COMMAND...: runs a program of the unpacked zip TIMES
# times, three at a time, its output through a pipe; each run must end with STATUS.
statuses() {
  local times=$1 want=$2 out=$APP/statuses rc wrong=() i
  shift 2
  rm -rf "$out"
  mkdir "$out"
  for ((i = 0; i < times; ++i)); do
    (
      set +e
      cd "$APP" && timeout 120 "$WINE" "$@" 2>&1 | cat >/dev/null
      echo "${PIPESTATUS[0]}" >"$out/$i"
    ) &
    (((i + 1) % 3)) || wait
  done
  wait
  for ((i = 0; i < times; ++i)); do
    rc=$(cat "$out/$i")
    [ "$rc" = "$want" ] || wrong+=("$rc")
  done
  echo "$* (AMVEX_EMULATE ${AMVEX_EMULATE:-unset}): $times runs, ${#wrong[@]} not ending with $want${wrong[*]:+ (${wrong[*]})}"
  [ ${#wrong[@]} = 0 ]
}

# exit_statuses ARCH: hosts that end while the library still runs, on either
# bus: exit_host.exe, built from the zip like the example, returns 7 from main
# with an emulated amplifier started and left open (30 runs), and with none
# (the system's bus, 10 runs); amxctl.exe --help and list (10 runs each).
exit_statuses() {
  echo "== exit statuses of the zip's hosts under wine"
  local started=$SECONDS
  "$1-w64-mingw32-gcc-posix" -O2 -Wall -Werror -static -I"$APP/include" tests/amvex/device/exit_host.c \
    "$APP/lib/libamvex.dll.a" -o "$APP/exit_host.exe"
  local ok=0
  AMVEX_EMULATE=kind=7 statuses 30 7 exit_host.exe 7 || ok=1
  (unset AMVEX_EMULATE && statuses 10 5 exit_host.exe 5) || ok=1
  (unset AMVEX_EMULATE && statuses 10 0 amxctl.exe --help) || ok=1
  AMVEX_EMULATE="kind=7;kind=2" statuses 10 0 amxctl.exe list || ok=1
  [ "$ok" = 0 ] || { echo "a host of Amvex.dll ended with another status than its own"; exit 1; }
  echo "exit statuses: $((SECONDS - started)) s"
}

# zip_under_wine: amxctl.exe, the example and amxview.exe of the unpacked zip.
zip_under_wine() {
  echo "== the zip's programs under wine"
  export AMVEX_EMULATE="kind=7,rev=64;kind=2"
  local listed last
  listed=$(in_app amxctl.exe list | tr -d '\r')
  echo "$listed"
  grep -q '2 device(s)' <<<"$listed" || { echo "amxctl.exe list: expected 2 devices"; exit 1; }
  last=$(in_app amxctl.exe stream @0 --rate 1000 --seconds 2 --quiet | tr -d '\r' | tail -n 1 | cut -d' ' -f1)
  [ "$last" = 2000 ] || { echo "amxctl.exe stream: last sample number \"$last\", expected 2000"; exit 1; }
  in_app amxctl.exe stream @0 --rate 333 >/dev/null 2>&1 && { echo "amxctl.exe accepted rate 333"; exit 1; }
  echo "amxctl.exe: list, a 2 s stream and a refused rate as expected"
  for exe in amx_stream.exe host_mingw.exe host_msvc.exe; do
    in_app "$exe" 0 1 1000 >/dev/null || { echo "$exe failed"; exit 1; }
  done
  echo "the example ran as built in the zip and as linked from it with each import library"

  export AMVEX_EMULATE=kind=2
  local record=(record @0 --rate 500 --seconds 1.25 --quiet)
  local help out rc=0
  help=$(in_app amxctl.exe --help)
  if grep -q 'no BDF+ writer' <<<"$help"; then
    out=$(in_app amxctl.exe "${record[@]:0:2}" x.bdf 2>&1) || rc=$?
    [ "$rc" = 1 ] && grep -q 'no BDF+ writer' <<<"$out" && [ ! -e "$APP/x.bdf" ] ||
      { echo "amxctl.exe without edflib: record gave exit $rc: $out"; exit 1; }
    grep -q 'THIS BUILD CANNOT RECORD' "$APP/README-windows.txt" || { echo "README-windows.txt hides that"; exit 1; }
    echo "amxctl.exe records nothing: edflib was not built (above); --help, record and the README say so"
    if [ "${AMVEX_REQUIRE_WINE:-0}" = 1 ]; then exit 1; fi
  else
    need_release amxtools/amxctl/amxctl
    in_app amxctl.exe "${record[@]:0:2}" windows.bdf "${record[@]:2}"
    build/release/amxtools/amxctl/amxctl "${record[@]:0:2}" "$APP/linux.bdf" "${record[@]:2}"
    /usr/bin/python3 tests/amvex/amxctl/compare_bdf_mne.py "$APP/windows.bdf" "$APP/linux.bdf"
  fi

  [ -e "$APP/amxview.exe" ] || { echo "amxview.exe is not in the zip (GLFW, Dear ImGui or kissfft missing, above)"; return; }
  export AMVEX_EMULATE="kind=7,rev=64"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 +extension GLX -nolisten tcp 3>"$APP/display" 2>"$APP/xvfb.log" &
  xvfb=$!
  trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
  for _ in $(seq 50); do [ -s "$APP/display" ] && break; sleep 0.2; done
  # The prefix's desktop started without a display: restart wine on this one.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w || true
  export DISPLAY=:$(cat "$APP/display")
  local view colours record=()
  for view in traces spectrum impedance; do
    # The traces view also records, where the build can.
    [ "$view" = traces ] && ! grep -q 'THIS BUILD CANNOT RECORD' "$APP/README-windows.txt" && record=(--record view.bdf)
    in_app amxview.exe --screenshot "$view.png" --seconds 3 --view "$view" "${record[@]}" | tr -d '\r'
    record=()
    # The plot area (right of the controls) holds more than its background and grid.
    colours=$(convert "$APP/$view.png" -crop 920x750+345+10 +repage -format '%wx%h %k' info:)
    [ "${colours%% *}" = 920x750 ] && [ "${colours#* }" -ge 6 ] ||
      { echo "amxview.exe --view $view: $colours (plot area and its colours) in $APP/$view.png"; exit 1; }
  done
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w || true
  kill $xvfb
  echo "amxview.exe: a screenshot of each view (in $APP)"
  if [ -e "$APP/view.bdf" ]; then
    /usr/bin/python3 - "$APP/view.bdf" <<'PY'
import sys, mne
raw = mne.io.read_raw_bdf(sys.argv[1], preload=True, verbose="error")
notes = list(raw.annotations.description)
assert len(raw.ch_names) == 40 and raw.n_times >= 1000 and notes == ["Recording start", "Recording stop"], (
    raw.ch_names, raw.n_times, notes)
print("amxview.exe recorded %s: %d channels, %.1f s, annotations %s" % (sys.argv[1], len(raw.ch_names), raw.n_times / raw.info["sfreq"], notes))
PY
  fi
}

# --- amxctl.exe serve -------------------------------------------------------

# serve_start N [ARGS...]: the zip's amxctl.exe serves the emulated amplifier
# @0 at 500/s on $at under wine, in the background (its process id in served,
# its messages in $APP/serveN.log); bounded by --seconds.
serve_start() {
  (cd "$APP" && exec "$WINE" amxctl.exe serve @0 --rate 500 --bind "$at" --seconds 120 "${@:2}" >"$APP/serve$1.log" 2>&1) &
  served=$!
}

# wait_for PATTERN FILE SECONDS: true once FILE holds a line matching PATTERN.
wait_for() {
  local i
  for ((i = 0; i < $3 * 5; i++)); do
    { tr -d '\r' <"$2"; } 2>/dev/null | grep -q "$1" && return 0
    sleep 0.2
  done
  echo "no \"$1\" in $2 after $3 s:"
  tr -d '\r' <"$2"
  return 1
}

# serve_under_wine: amxctl.exe serve of the unpacked zip publishes an emulated
# amplifier on loopback. The Linux amxctl records it into the same file as its
# own recording of that stream, a Linux Python Inlet reads it without a gap,
# and a publisher killed and started again appears in a Linux recording as a
# new annotated segment.
serve_under_wine() {
  echo "== amxctl.exe serve under wine, received by Linux"
  local amxctl=$ROOT/build/release/amxtools/amxctl/amxctl rec help
  help=$(in_app amxctl.exe --help)
  if ! grep -q 'amxctl serve' <<<"$help"; then
    grep -q 'THIS BUILD CANNOT SERVE' "$APP/README-windows.txt" || { echo "README-windows.txt hides that"; exit 1; }
    echo "amxctl.exe cannot serve: libzmq was not built (above); --help and the README say so"
    if [ "${AMVEX_REQUIRE_WINE:-0}" = 1 ]; then exit 1; fi
    return 0
  fi
  export AMVEX_EMULATE=kind=2
  at=tcp://127.0.0.1:$((30000 + $$ % 20000))
  serve_start 1
  # From the start of the publisher's buffer: the same frames as a local recording.
  timeout 120 "$amxctl" record "$at/amx0" "$APP/served.bdf" --seconds 1.25 --back all --quiet
  "$amxctl" record @0 "$APP/local.bdf" --rate 500 --seconds 1.25 --quiet
  /usr/bin/python3 tests/amvex/amxctl/compare_bdf_mne.py "$APP/served.bdf" "$APP/local.bdf"
  # A Linux Python Inlet reads the same stream from its start without a gap.
  PYTHONPATH=$ROOT/python timeout 120 /usr/bin/python3 - "$at/amx0" "$APP/local.bdf" <<'PY'
import sys
import mne
import numpy as np
from amvex import net
with net.Inlet(sys.argv[1]) as inlet:
    inlet.start(back="all")
    block = inlet.read(frames=1500)
    assert (inlet.lost_frames, inlet.missing_frames, inlet.segments) == (0, 0, 1)
np.testing.assert_array_equal(block.sample_numbers, np.arange(1, 1501))
# The recording's 625 frames (its last data record is padded).
local = mne.io.read_raw_bdf(sys.argv[2], verbose="error").get_data()[:, :625]
np.testing.assert_allclose(block.samples[:, :625] * 1e-6, local, rtol=1e-7, atol=1e-12)
print("a Linux Inlet read frames 1-1500 of %s without a gap, as recorded locally" % sys.argv[1])
PY

  timeout 120 "$amxctl" record "$at" "$APP/restart.bdf" --seconds 6 2>"$APP/restart.log" &
  rec=$!
  wait_for "recorded [1-9]" "$APP/restart.log" 60
  kill -KILL "$served"
  { wait "$served"; } 2>/dev/null || true
  serve_start 2
  wait "$rec" || { echo "the Linux recording across the restart failed:"; cat "$APP/restart.log"; exit 1; }
  kill -INT "$served"
  wait_for "left" "$APP/serve2.log" 30
  wait "$served" || true
  /usr/bin/python3 - "$APP/restart.bdf" <<'PY'
import sys, mne
raw = mne.io.read_raw_bdf(sys.argv[1], verbose="error")
notes = list(raw.annotations.description)
assert raw.n_times == 3000 and "New segment (stream restarted)" in notes, (raw.n_times, notes)
print("%s: 6 s across a killed and restarted amxctl.exe serve, annotations %s" % (sys.argv[1], notes))
PY
}

# keys_under_wine: amxctl.exe keygen writes a key pair (its fingerprint the
# one Python computes from public.key, secret.key for its owner alone) and
# refuses to replace it; amxctl.exe
# serve --keys on loopback is recorded by the Linux amxctl with a Linux key it
# allows (the same file as the local recording of serve_under_wine), and a
# Linux subscriber with another key is refused on both ends, with no file.
keys_under_wine() {
  grep -q 'THIS BUILD CANNOT SERVE' "$APP/README-windows.txt" && return 0
  echo "== keys: amxctl.exe keygen and serve --keys under wine, recorded by Linux"
  local amxctl=$ROOT/build/release/amxtools/amxctl/amxctl k=$APP/keys out print rc=0 started=$SECONDS
  rm -rf "$k"
  out=$(in_app amxctl.exe keygen keys/srv | tr -d '\r')
  print=$(PYTHONPATH=$ROOT/python /usr/bin/python3 -c \
    'import sys; from amvex import net; print(net.fingerprint(open(sys.argv[1], "rb").read().strip()))' "$k/srv/public.key")
  [[ "$out" == *"public key fingerprint $print" ]] && [ -s "$k/srv/secret.key" ] ||
    { echo "amxctl.exe keygen: \"$out\", Python's fingerprint of its public.key $print"; exit 1; }
  # wine turns the owner-only access list of secret.key into owner and group
  # bits: a key file that inherited its folder's list would read 644 here.
  [ $((0$(stat -c %a "$k/srv/secret.key") & 7)) = 0 ] ||
    { echo "amxctl.exe keygen: every user may read secret.key (mode $(stat -c %a "$k/srv/secret.key") under wine)"; exit 1; }
  out=$(in_app amxctl.exe keygen keys/srv 2>&1 | tr -d '\r') && rc=0 || rc=$?
  [ "$rc" = 1 ] && grep -q exists <<<"$out" || { echo "a second amxctl.exe keygen gave exit $rc: $out"; exit 1; }
  "$amxctl" keygen "$k/linux" >/dev/null
  "$amxctl" keygen "$k/other" >/dev/null
  mkdir "$k/srv/allowed"
  cp "$k/linux/public.key" "$k/srv/allowed/linux.key"
  cp "$k/srv/public.key" "$k/linux/server.key"
  cp "$k/srv/public.key" "$k/other/server.key"

  export AMVEX_EMULATE=kind=2
  at=tcp://127.0.0.1:$((30000 + ($$ + 1) % 20000))
  : >"$APP/serve3.log"
  serve_start 3 --keys keys/srv
  wait_for "serving with key $print to 1 allowed" "$APP/serve3.log" 60
  rm -f "$APP/other.bdf"
  rc=0
  out=$(timeout 120 "$amxctl" record "$at/amx0" "$APP/other.bdf" --seconds 1.25 --keys "$k/other" 2>&1) || rc=$?
  [ "$rc" = 1 ] && grep -q "refused this subscriber's key" <<<"$out" && [ ! -e "$APP/other.bdf" ] ||
    { echo "a Linux subscriber with another key: exit $rc, $out"; exit 1; }
  wait_for "is not among the allowed keys" "$APP/serve3.log" 30
  timeout 120 "$amxctl" record "$at/amx0" "$APP/secure.bdf" --seconds 1.25 --back all --quiet --force --keys "$k/linux"
  /usr/bin/python3 tests/amvex/amxctl/compare_bdf_mne.py "$APP/secure.bdf" "$APP/local.bdf"
  kill -INT "$served"
  wait "$served" || { echo "amxctl.exe serve --keys ended with an error:"; tr -d '\r' <"$APP/serve3.log"; exit 1; }
  echo "keys under wine: keygen, a secure stream recorded on Linux, another key refused ($((SECONDS - started)) s)"
}

# names_under_wine: streams found by name between Windows and Linux. Loopback
# is never announced (it cannot broadcast), so this runs across two network
# namespaces of its own joined by a veth pair: amxctl.exe serve --keys, bound
# to the address in A, announces its stream; in B the Linux amxctl lists it
# with `amxctl streams` (secure, with its key's fingerprint) and records it by
# its bare name. The other way round, a Linux publisher with keys in B is
# listed by amxctl.exe streams in A and recorded by name with amxctl.exe and a
# subscriber key. All three recordings hold the local recording's samples.
# wine's server runs in A as well: it answers the programs' questions about
# network interfaces. Needs root and `ip netns`: skipped with a line
# otherwise, a failure with AMX_REQUIRE_NETNS=1.
names_under_wine() {
  grep -q 'THIS BUILD CANNOT SERVE' "$APP/README-windows.txt" && return 0
  if grep -q 'THIS BUILD DOES NOT ANNOUNCE' "$APP/README-windows.txt"; then
    echo "amxctl.exe announces no stream: CZMQ was not built (above); the README says so"
    [ "${AMVEX_REQUIRE_WINE:-0}" = 1 ] && exit 1
    return 0
  fi
  echo "== names under wine: amxctl.exe and the Linux amxctl find each other's streams"
  local amxctl=$ROOT/build/release/amxtools/amxctl/amxctl k=$APP/keys started=$SECONDS
  local A=amxwA$$ B=amxwB$$ IPA=10.231.8.1 IPB=10.231.8.2 err=$APP/netns.err
  if ! ip netns add $A 2>"$err"; then
    echo "names under wine: skipped: ip netns add refused ($(head -c 120 "$err" | tr '\n' ' '))"
    [ "${AMX_REQUIRE_NETNS:-0}" = 1 ] && exit 1
    return 0
  fi
  trap "wineserver -k >/dev/null 2>&1 || true; ip netns del $A 2>/dev/null || true; ip netns del $B 2>/dev/null || true" EXIT
  ip netns add $B
  ip link add vxw$$ netns $A type veth peer name vyw$$ netns $B
  ip -n $A addr add $IPA/24 broadcast 10.231.8.255 dev vxw$$
  ip -n $B addr add $IPB/24 broadcast 10.231.8.255 dev vyw$$
  ip -n $A link set vxw$$ up && ip -n $B link set vyw$$ up && ip -n $A link set lo up && ip -n $B link set lo up
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w || true
  export AMVEX_EMULATE=kind=2

  : >"$APP/serve4.log"
  (cd "$APP" && exec ip netns exec $A "$WINE" amxctl.exe serve @0 --rate 500 --name winamp --bind tcp://$IPA:5600 \
    --keys keys/srv --seconds 120 >"$APP/serve4.log" 2>&1) &
  local wserve=$! lserve out line print
  wait_for "as tcp://$IPA:5600/winamp" "$APP/serve4.log" 60
  print=$(tr -d '\r' <"$APP/serve4.log" | sed -n 's/^serving with key \([^ ]*\) .*/\1/p')
  out=$(ip netns exec $B timeout 60 "$amxctl" streams --seconds 3)
  echo "$out"
  line=$(awk '$1 == "winamp"' <<<"$out")
  [ "$(awk '{print $5, $6, $7}' <<<"$line")" = "secure tcp://$IPA:5600 $print" ] ||
    { echo "amxctl streams did not list amxctl.exe's stream as secure at tcp://$IPA:5600 with key $print"; exit 1; }
  ip netns exec $B timeout 120 "$amxctl" record winamp "$APP/byname.bdf" --seconds 1.25 --back all --quiet --force \
    --keys "$k/linux"
  /usr/bin/python3 tests/amvex/amxctl/compare_bdf_mne.py "$APP/byname.bdf" "$APP/local.bdf"

  rm -rf "$k/lpub" "$k/wsub"
  "$amxctl" keygen "$k/lpub" --subscriber "$k/wsub" >/dev/null
  : >"$APP/serve5.log"
  ip netns exec $B "$amxctl" serve @0 --rate 500 --name linuxamp --bind tcp://$IPB:5601 --keys "$k/lpub" \
    --seconds 120 2>"$APP/serve5.log" &
  lserve=$!
  wait_for "as tcp://$IPB:5601/linuxamp" "$APP/serve5.log" 30
  out=$(cd "$APP" && ip netns exec $A timeout 60 "$WINE" amxctl.exe streams --seconds 3 | tr -d '\r')
  echo "$out"
  [ "$(awk '$1 == "linuxamp" {print $5, $6}' <<<"$out")" = "secure tcp://$IPB:5601" ] ||
    { echo "amxctl.exe streams did not list the Linux stream as secure at tcp://$IPB:5601"; exit 1; }
  (cd "$APP" && ip netns exec $A timeout 120 "$WINE" amxctl.exe record linuxamp fromlinux.bdf --seconds 1.25 \
    --back all --quiet --force --keys keys/wsub)
  /usr/bin/python3 tests/amvex/amxctl/compare_bdf_mne.py "$APP/fromlinux.bdf" "$APP/local.bdf"

  kill -INT $lserve "$wserve"
  wait $lserve || { echo "the Linux publisher ended with an error:"; cat "$APP/serve5.log"; exit 1; }
  wait "$wserve" || { echo "amxctl.exe serve ended with an error:"; tr -d '\r' <"$APP/serve4.log"; exit 1; }
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w || true
  ip netns del $A
  ip netns del $B
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  echo "names under wine: each side listed and recorded the other's stream by name ($((SECONDS - started)) s)"
}

# --- the stage ---------------------------------------------------------------

windows_deps "$deps" "${AMVEX_WINE_BITS:-}"

build i686 32
unpack 32
link_example i686
if [ "$runs" = 0 ]; then
  echo "Windows tests built but not run: no wine runs here (above)"
  [ "${AMVEX_REQUIRE_WINE:-0}" = 1 ] && exit 1
  exit 0
fi
if [ "$WINE_BITS" = 64 ]; then
  build x86_64 64
  unpack 64
  link_example x86_64
fi
dir=build/win$WINE_BITS
echo "== Windows tests: $WINE_BITS-bit build under $WINE"
wine_prefix "$ROOT/$dir/wineprefix"
# One test program at a time: the device tests wait for replies with deadlines,
# and wine's thread start-up is slow enough on two loaded cores to miss them.
run_tests "$dir" -j1
zip_started=$SECONDS
exit_statuses "$WINE_ARCH"
zip_under_wine
serve_under_wine
keys_under_wine
names_under_wine
echo "Amvex on Windows: $WINE_BITS-bit build under $WINE ($((SECONDS - started)) s, the zip's programs $((SECONDS - zip_started)) s)"
