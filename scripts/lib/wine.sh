# Sourced by the Windows stages of scripts/test.sh: which wine runs the Windows
# programs on this machine, and a wine prefix to run them in.

# wine_select: sets WINE (the command), WINE_ARCH (i686 or x86_64) and WINE_BITS
# (32 or 64): the 32-bit build where this machine can execute 32-bit programs,
# else the 64-bit build under wine64. Says which; returns 1 when neither runs.
wine_select() {
  if wine --version >/dev/null 2>&1; then
    WINE=wine WINE_ARCH=i686 WINE_BITS=32
    return 0
  fi
  local reason
  reason=$(wine --version 2>&1 | tail -n 1 || true)
  WINE=/usr/lib/wine/wine64 WINE_ARCH=x86_64 WINE_BITS=64
  if ! [ -x "$WINE" ] || ! "$WINE" --version >/dev/null 2>&1; then
    echo "neither wine ($reason) nor wine64 can run here"
    return 1
  fi
  echo "32-bit Windows programs cannot run here ($reason): the 64-bit build runs under wine64"
}

# wine_prefix DIR: runs the following wine commands in the prefix DIR (made on
# first use, which takes a while); its wineserver is stopped when the stage ends.
wine_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  echo "== wine prefix $WINEPREFIX (the first start takes a while)"
  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || true
}

# windows_deps: sets runs (1 when a wine runs here), arches (i686, and the
# architecture that runs when it is another) and builds their third-party
# libraries with scripts/windeps.sh. A package the registry does not serve
# (windeps' exit 3) is left to each stage to check; any other failure ends it.
windows_deps() {
  runs=1
  wine_select || runs=0
  arches=(i686)
  [ "$runs" = 1 ] && [ "$WINE_ARCH" != i686 ] && arches+=("$WINE_ARCH")
  local rc=0
  bash scripts/windeps.sh "${arches[@]}" || rc=$?
  [ "$rc" = 0 ] || [ "$rc" = 3 ] || exit "$rc"
}
