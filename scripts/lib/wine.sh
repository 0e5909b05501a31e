# Sourced by the Windows stages (after common.sh): which wine runs the Windows
# programs on this machine, the third-party libraries of the Windows builds
# (scripts/windeps.sh) and a wine prefix to run the programs in.

# windeps_dir [VARIABLE...]: the folder scripts/windeps.sh builds into: the
# first of the named environment variables that is set, else its default.
windeps_dir() {
  local v
  for v in "$@"; do
    [ -n "${!v:-}" ] && { echo "${!v}"; return; }
  done
  echo "${XDG_CACHE_HOME:-$HOME/.cache}/vyre-windeps"
}

# wine_select [BITS]: sets WINE (the command), WINE_ARCH (i686 or x86_64) and
# WINE_BITS (32 or 64) and says which. Without BITS: the 32-bit build where this
# machine can execute 32-bit programs, else the 64-bit build under wine64. With
# BITS (32 or 64): that one. Returns 1, saying why, when it cannot run.
wine_select() {
  local want=${1:-} reason=""
  case $want in
    "" | 32 | 64) ;;
    *) echo "wine: asked for $want-bit programs: 32 or 64" && return 1 ;;
  esac
  if [ "$want" != 64 ]; then
    if wine --version >/dev/null 2>&1; then
      WINE=wine WINE_ARCH=i686 WINE_BITS=32
      echo "wine: the 32-bit build runs under wine ($(wine --version))"
      return 0
    fi
    reason=$(wine --version 2>&1 | tail -n 1 || true)
    [ "$want" = 32 ] && echo "wine: 32-bit programs cannot run here ($reason)" && return 1
  fi
  WINE=/usr/lib/wine/wine64 WINE_ARCH=x86_64 WINE_BITS=64
  if ! [ -x "$WINE" ] || ! "$WINE" --version >/dev/null 2>&1; then
    echo "wine: wine64 cannot run here${reason:+, nor wine ($reason)}"
    return 1
  fi
  if [ "$want" = 64 ]; then
    echo "wine: the 64-bit build runs under wine64, as asked"
  else
    echo "wine: 32-bit Windows programs cannot run here ($reason): the 64-bit build runs under wine64"
  fi
}

# wine_prefix DIR: runs the following wine commands in the prefix DIR (made on
# first use, which takes a while); its wineserver is stopped when the stage ends.
wine_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  echo "== wine prefix $WINEPREFIX (the first start takes a while)"
  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || true
}

# windows_deps DIR [BITS]: sets runs (1 when a wine runs here; wine_select
# BITS) and arches (i686, and the architecture that runs when it is another) and
# builds their third-party libraries into DIR with scripts/windeps.sh. BITS
# asked for and not runnable ends the stage. A package the registry does not
# serve (windeps' exit 3) is left to each stage to check; any other failure ends it.
windows_deps() {
  local dir=$1 bits=${2:-}
  runs=1
  wine_select "$bits" || runs=0
  [ "$runs" = 1 ] || [ -z "$bits" ] || exit 1
  arches=(i686)
  [ "$runs" = 1 ] && [ "$WINE_ARCH" != i686 ] && arches+=("$WINE_ARCH")
  local rc=0
  VY_WINDEPS_DIR=$dir bash scripts/windeps.sh "${arches[@]}" || rc=$?
  [ "$rc" = 0 ] || [ "$rc" = 3 ] || exit "$rc"
}
