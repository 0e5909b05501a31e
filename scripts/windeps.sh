#!/usr/bin/env bash
# Third-party libraries of the Windows builds, cross-built with mingw-w64 from
# Debian's source packages (never copied into the repository, fetched from
# nothing but Debian's registry):
#   bash scripts/windeps.sh ARCH...      ARCH: i686 (32-bit) or x86_64 (64-bit)
# Each ARCH gets the prefix $VY_WINDEPS_DIR/ARCH (default
# ${XDG_CACHE_HOME:-~/.cache}/vyre-windeps/ARCH) with include/, lib/ and
# share/licenses/PACKAGE/copyright. A package is rebuilt only when its Debian
# version or its recipe (its build_* function) changed; a stamp file in
# PREFIX/stamps/ records both. The deb-src entry of the machine's Debian release is
# added when no source index is configured. A package of `suite_of` comes from
# another Debian suite instead, through a source index of its own in
# $VY_WINDEPS_DIR/apt-SUITE (the machine's apt configuration is left alone).
# Every fetched file must match the SHA-256 sum of the (signed) source index;
# where the registry serves a package's upstream tarball but not its .dsc or
# Debian tarball, the package is built from the upstream tarball alone.
# Exit status: 0 when every prefix is complete; 3 when a source package cannot be
# fetched or built (one line names it and says why; the other packages are still
# built, and each Windows build checks PREFIX/stamps/ for the packages it needs);
# 1 on any other failure.
# Packages: one build_PACKAGE function each, listed in `packages`.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
source scripts/lib/wine.sh
CACHE=$(windeps_dir VY_WINDEPS_DIR)
packages=(freeglut glew glfw3 imgui kissfft edflib zeromq3 czmq)
# edflib: bookworm's 1.23 is no longer served; trixie's 1.27 is.
declare -A suite_of=([edflib]=trixie)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
deb_src_list=/etc/apt/sources.list.d/vyre-deb-src.list

# apt_opts PACKAGE: sets opts to the apt options that select the package's
# source index (none for the machine's own).
apt_opts() {
  opts=()
  local suite=${suite_of[$1]:-}
  [ -n "$suite" ] || return 0
  local dir=$CACHE/apt-$suite
  opts=(-o Dir::Etc::sourcelist="$dir/sources.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$dir/lists"
    -o Dir::Cache="$dir/cache")
}

# The newest version of a source package in its source index; empty when unknown.
source_version() {
  apt_opts "$1"
  apt-cache "${opts[@]}" showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1
}

# source_sums PACKAGE VERSION: "SHA256 SIZE NAME" for each file of that version
# of the source package, as its source index lists them.
source_sums() {
  apt_opts "$1"
  apt-cache "${opts[@]}" showsrc --only-source "$1" 2>/dev/null | awk -v version="$2" '
    /^Package: / { this = 0 }
    /^Version: / { this = ($2 == version) }
    /^[^ ]/ { sums = this && /^Checksums-Sha256:/; next }
    sums && NF == 3 { print }' | sort -u
}

# suite_index SUITE: a source index of that suite alone in $CACHE/apt-SUITE, on
# the mirror of the machine's Debian entries, refreshed when a day old (an old
# one stays in use when the refresh fails).
suite_index() {
  local dir=$CACHE/apt-$1 uri
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  [ -n "$(find "$dir" -maxdepth 1 -name refreshed -mmin -1440)" ] && return 0
  uri=$(apt-get indextargets --format '$(TARGET_OF) $(REPO_URI)' | awk '$1 == "deb" && $2 ~ /debian\/$/ { print $2; exit }')
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${uri:-http://deb.debian.org/debian/} $1 main" \
    >"$dir/sources.list"
  local opts=(-o Dir::Etc::sourcelist="$dir/sources.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$dir/lists"
    -o Dir::Cache="$dir/cache")
  if $SUDO apt-get "${opts[@]}" update -qq >/dev/null 2>&1; then
    touch "$dir/refreshed"
  else
    echo "windeps: cannot refresh the source index of $1"
  fi
}

# A source index for the configured Debian suites: without any deb-src entry, one
# deb-src line per configured deb suite of the Debian archive goes into
# $deb_src_list; the index of that list alone is then fetched.
ensure_source_index() {
  [ -n "$(source_version "${packages[0]}")" ] && return 0
  if ! apt-get indextargets --format '$(TARGET_OF)' | grep -qx deb-src; then
    echo "windeps: adding the deb-src entries of this Debian release ($deb_src_list)"
    apt-get indextargets --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)' |
      awk '$1 == "deb" && $2 ~ /debian/ { print "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] " $2 " " $3 " " $4 }' |
      sort -u | $SUDO tee "$deb_src_list" >/dev/null
  fi
  if [ -f "$deb_src_list" ]; then
    $SUDO apt-get update -qq -o Dir::Etc::sourcelist="$deb_src_list" -o Dir::Etc::sourceparts=- \
      -o APT::Get::List-Cleanup=0 >/dev/null
  else
    $SUDO apt-get update -qq >/dev/null
  fi
}

# fetch PACKAGE VERSION DIR: unpacks the source package into DIR/src; false
# (the reason in DIR/fetch.log) when the registry does not serve it or a file
# does not match the index. With the .dsc and every file it lists the Debian
# source is unpacked; with the upstream tarball alone, that tarball.
fetch() {
  local pkg=$1 version=$2 dir=$3 log=$3/fetch.log sum name dsc="" orig="" all=1
  apt_opts "$pkg"
  (cd "$dir" && apt-get "${opts[@]}" source --download-only -qq "$pkg=$version" >"$log" 2>&1) || true
  while read -r sum _ name; do
    if ! [ -f "$dir/$name" ]; then
      all=0
      continue
    fi
    if ! echo "$sum  $dir/$name" | sha256sum -c --status -; then
      { echo "E: $name does not match the SHA-256 sum of the source index"; cat "$log"; } >"$log.new"
      mv "$log.new" "$log"
      return 1
    fi
    case $name in
      *.dsc) dsc=$name ;;
      *.orig.tar.*) orig=$name ;;
    esac
  done < <(source_sums "$pkg" "$version")
  if [ -n "$dsc" ] && [ "$all" = 1 ]; then
    dpkg-source --no-check -x "$dir/$dsc" "$dir/src" >>"$log" 2>&1
  elif [ -n "$orig" ]; then
    echo "windeps: $pkg: the registry serves only ${orig} (verified); built from it without Debian's changes"
    mkdir "$dir/src" && tar -xf "$dir/$orig" -C "$dir/src" --strip-components=1
  else
    [ -s "$log" ] || echo "E: no file of $pkg $version was fetched" >"$log"
    return 1
  fi
}

# The licence text of an unpacked source: Debian's copyright file, else upstream's.
licence_of() {
  local f
  for f in debian/copyright LICENSE COPYING LICENSE.txt; do
    [ -f "$1/$f" ] && { echo "$1/$f"; return 0; }
  done
  return 1
}

# build_PACKAGE SOURCE-DIR ARCH PREFIX: cross-builds one package into PREFIX.

# freeglut: its own CMake build, the static library only (libfreeglut_static.a;
# users define FREEGLUT_STATIC and link winmm and gdi32).
build_freeglut() {
  local src=$1 arch=$2 prefix=$3
  cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DFREEGLUT_BUILD_SHARED_LIBS=OFF \
    -DFREEGLUT_BUILD_STATIC_LIBS=ON -DFREEGLUT_BUILD_DEMOS=OFF >/dev/null
  cmake --build "$src/build" -j"$JOBS" >/dev/null
  cmake --install "$src/build" >/dev/null
}

# GLEW: the one source file as a static library (libglew32.a; users define GLEW_STATIC).
build_glew() {
  local src=$1 arch=$2 prefix=$3
  "$arch-w64-mingw32-gcc-posix" -O2 -DGLEW_STATIC -I"$src/include" -c "$src/src/glew.c" -o "$src/glew.o"
  mkdir -p "$prefix/lib" "$prefix/include/GL"
  rm -f "$prefix/lib/libglew32.a"
  "$arch-w64-mingw32-ar" rcs "$prefix/lib/libglew32.a" "$src/glew.o"
  cp "$src/include/GL/glew.h" "$src/include/GL/wglew.h" "$prefix/include/GL/"
}

# GLFW: its own CMake build, the static library (libglfw3.a; users link gdi32).
build_glfw3() {
  local src=$1 arch=$2 prefix=$3
  cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DGLFW_BUILD_EXAMPLES=OFF -DGLFW_BUILD_TESTS=OFF -DGLFW_BUILD_DOCS=OFF >/dev/null
  cmake --build "$src/build" -j"$JOBS" >/dev/null
  cmake --install "$src/build" >/dev/null
}

# Dear ImGui with its GLFW and OpenGL 3 backends as one static library
# (libimgui.a, on GLFW's headers), headers in include/imgui/ as Debian installs
# them; the font rasteriser and rectangle packer are the copies it carries
# (warnings off: third-party code, a false alarm of GCC 12 in imgui_draw.cpp).
build_imgui() {
  local src=$1 arch=$2 prefix=$3 f objs=()
  for f in imgui imgui_draw imgui_tables imgui_widgets imgui_demo backends/imgui_impl_glfw backends/imgui_impl_opengl3; do
    "$arch-w64-mingw32-g++-posix" -O2 -w -I"$src" -I"$prefix/include" -c "$src/$f.cpp" -o "$src/${f//\//_}.o"
    objs+=("$src/${f//\//_}.o")
  done
  mkdir -p "$prefix/lib" "$prefix/include/imgui/backends"
  rm -f "$prefix/lib/libimgui.a"
  "$arch-w64-mingw32-ar" rcs "$prefix/lib/libimgui.a" "${objs[@]}"
  cp "$src"/im*.h "$prefix/include/imgui/"
  cp "$src"/backends/imgui_impl_{glfw,opengl3,opengl3_loader}.h "$prefix/include/imgui/backends/"
}

# kissfft: the real transforms in float (libkissfft-float.a, headers in
# include/kissfft/; users define kiss_fft_scalar=float).
build_kissfft() {
  local src=$1 arch=$2 prefix=$3 f
  for f in kiss_fft kiss_fftr; do
    "$arch-w64-mingw32-gcc-posix" -O2 -Dkiss_fft_scalar=float -c "$src/$f.c" -o "$src/$f.o"
  done
  mkdir -p "$prefix/lib" "$prefix/include/kissfft"
  rm -f "$prefix/lib/libkissfft-float.a"
  "$arch-w64-mingw32-ar" rcs "$prefix/lib/libkissfft-float.a" "$src/kiss_fft.o" "$src/kiss_fftr.o"
  cp "$src"/kiss_fft.h "$src"/kiss_fftr.h "$src"/kiss_fft_log.h "$prefix/include/kissfft/"
}

# edflib: the one source file as a static library (libedf.a), with large-file offsets.
build_edflib() {
  local src=$1 arch=$2 prefix=$3
  "$arch-w64-mingw32-gcc-posix" -O2 -D_LARGEFILE64_SOURCE -D_LARGEFILE_SOURCE -c "$src/edflib.c" -o "$src/edflib.o"
  mkdir -p "$prefix/lib" "$prefix/include"
  rm -f "$prefix/lib/libedf.a"
  "$arch-w64-mingw32-ar" rcs "$prefix/lib/libedf.a" "$src/edflib.o"
  cp "$src/edflib.h" "$prefix/include/"
}

# ZeroMQ: its own CMake build, the static library libzmq.a with CURVE on its
# bundled crypto (users define ZMQ_STATIC and link ws2_32 and iphlpapi). The
# bundled crypto needs Windows 7's API level; mingw's afunix.h would turn on an
# IPC transport that does not compile, so that stays off.
build_zeromq3() {
  local src=$1 arch=$2 prefix=$3
  cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_FLAGS=-D_WIN32_WINNT=0x0601 \
    -DCMAKE_CXX_FLAGS=-D_WIN32_WINNT=0x0601 -DBUILD_SHARED=OFF -DBUILD_STATIC=ON -DBUILD_TESTS=OFF \
    -DWITH_LIBSODIUM=OFF -DENABLE_CURVE=ON -DPOLLER=select -DZMQ_HAVE_IPC=OFF -DWITH_PERF_TOOL=OFF -DWITH_DOCS=OFF \
    -DENABLE_DRAFTS=OFF >/dev/null
  cmake --build "$src/build" -j"$JOBS" >/dev/null
  cmake --install "$src/build" >/dev/null
}

# CZMQ (for its UDP beacon): the static library libczmq.a and its headers, on
# the libzmq above (so zeromq3 comes first in `packages`); without drafts and
# without its optional libraries, as Debian builds it but for uuid and systemd,
# which Windows does not have. Its programs and self-test are not built. Users
# define CZMQ_STATIC and ZMQ_STATIC and link iphlpapi, rpcrt4 and ws2_32.
build_czmq() {
  local src=$1 arch=$2 prefix=$3 with
  [ -f "$prefix/lib/libzmq.a" ] || { echo "czmq needs libzmq.a in $prefix"; return 1; }
  local off=()
  for with in UUID SYSTEMD LZ4 LIBCURL NSS LIBMICROHTTPD; do off+=(-DCZMQ_WITH_$with=OFF); done
  PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig cmake -S "$src" -B "$src/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS="-D_WIN32_WINNT=0x0601 -DZMQ_STATIC -DCZMQ_STATIC" -DENABLE_DRAFTS=OFF -DCZMQ_BUILD_SHARED=OFF \
    -DCZMQ_BUILD_STATIC=ON -DLIBZMQ_INCLUDE_DIRS="$prefix/include" -DLIBZMQ_LIBRARIES="$prefix/lib/libzmq.a" \
    -Wno-dev "${off[@]}" >/dev/null
  cmake --build "$src/build" --target czmq-static -j"$JOBS" >/dev/null
  mkdir -p "$prefix/lib" "$prefix/include"
  install -m 644 "$src/build/libczmq.a" "$prefix/lib/"
  install -m 644 "$src"/include/*.h "$prefix/include/"
}

# The stamp of a package: its Debian version and a digest of its recipe.
stamp_of() { echo "$1 $2 $(declare -f "build_$1" | sha1sum | cut -c1-12)"; }

# build_all ARCH: every package of the prefix that is missing or out of date.
build_all() {
  local arch=$1 prefix=$CACHE/$1 pkg version stamp work
  mkdir -p "$prefix/stamps"
  for pkg in "${packages[@]}"; do
    version=$(source_version "$pkg")
    if [ -z "$version" ]; then
      missing_package "$pkg" "no such source package in the source index"
      continue
    fi
    stamp=$(stamp_of "$pkg" "$version")
    [ "$(cat "$prefix/stamps/$pkg" 2>/dev/null)" = "$stamp" ] && continue
    echo "windeps: building $pkg $version for $arch-w64-mingw32 into $prefix"
    work=$(mktemp -d "$CACHE/work.XXXXXX")
    if ! fetch "$pkg" "$version" "$work"; then
      missing_package "$pkg" "the registry does not serve it: $(grep -m 1 '^E:' "$work/fetch.log" || tail -n 1 "$work/fetch.log")"
      rm -rf "$work"
      continue
    fi
    rm -f "$prefix/stamps/$pkg"
    # A failed build leaves that package out, as a missing one does.
    if ! ("build_$pkg" "$work/src" "$arch" "$prefix" && install -D -m 644 "$(licence_of "$work/src")" \
      "$prefix/share/licenses/$pkg/copyright") >"$CACHE/$pkg-$arch.log" 2>&1; then
      missing_package "$pkg" "its build for $arch failed: $(tail -n 1 "$CACHE/$pkg-$arch.log"); log in $CACHE/$pkg-$arch.log"
      rm -rf "$work"
      continue
    fi
    echo "$stamp" >"$prefix/stamps/$pkg"
    rm -rf "$work"
  done
}

missing=""
missing_package() {
  echo "windeps: $1 is left out ($2)"
  [[ " $missing " == *" $1 "* ]] || missing+=" $1"
}

[ $# -gt 0 ] || { echo "usage: scripts/windeps.sh ARCH... (i686, x86_64)" >&2; exit 1; }
for arch in "$@"; do
  [ -f "$ROOT/cmake/mingw-$arch.cmake" ] || { echo "windeps: no toolchain file cmake/mingw-$arch.cmake" >&2; exit 1; }
done
mkdir -p "$CACHE"
ensure_source_index
for suite in $(printf '%s\n' "${suite_of[@]}" | sort -u); do
  suite_index "$suite"
done
for arch in "$@"; do
  build_all "$arch"
done
[ -z "$missing" ] || exit 3
