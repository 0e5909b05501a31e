#!/usr/bin/env bash
# Amvex as a host developer and a Debian user get it, from a copy of this
# checkout (tracked and new files), inside throwaway roots: a private mount
# namespace with an overlay over / whose changes stay in memory, chrooted, so
# nothing is installed on the machine itself.
#  1. docs/amvex.md's "Building" and "Install and find" sections and
#     docs/python.md's "Install" section, run as written (their sh blocks, in
#     order, from the copy's root, as root with a plain PATH): the library-only
#     build, the /usr/local install with ldconfig, the example streaming from the
#     emulator with CMake and with pkg-config, the install into ~/amvex, the four
#     Debian packages; the example's and the Python example's printed output
#     compared with the pages';
#  2. the example as C and C++ with gcc and clang (-Werror -pedantic, -std=c11
#     for C) and both headers alone, against the installed files;
#  3. the ~/amvex prefix moved: hosts rebuilt with CMake and pkg-config load the
#     moved library, and so does the moved amxctl;
#  4. the packages' file lists, dependencies, symbols file, hardening and lintian;
#  5. in a second throwaway root: the packages installed with apt-get, used (tools,
#     example from the -dev package, Python with Debian's python3), purged, and
#     the root checked for anything of theirs left behind.
# Runs alone from the repository's root: bash scripts/test.d/10-amvex-install.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" -eq 0 ]; then
  isolate=(unshare --mount --propagation private)
else
  isolate=(unshare --map-root-user --mount --propagation private)
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/amvex-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/src
out=$work/out
mkdir -p "$src" "$out"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  [ -e "$f" ] && printf '%s\0' "$f"
done | tar -c --null -T - | tar -x -C "$src"
debs=$src/build/release/packages
fail() { echo "FAIL: $*" >&2; exit 1; }
# (Pipes into grep let it read to the end, no -q: under pipefail, grep leaving
# early would fail the pipe with its writer's SIGPIPE.)

# doc_blocks FILE SECTION LANG: the LANG code blocks of the section "## SECTION"
# (its ### parts included), in order, a blank line after each.
doc_blocks() {
  awk -v section="## $2" -v fence='```'"$3" '
    /^## / { inside = ($0 == section) }
    inside && !block && $0 == fence { block = 1; next }
    block && /^```/ { block = 0; print ""; next }
    block { print }' "$1"
}

# throwaway_root NAME SCRIPT: runs the bash SCRIPT (text) as root in a throwaway
# root, from the copy's root, with a fresh machine's PATH and HOME=/root; $work
# is the machine's own (bound in), so builds and packages outlive the root.
# The files the root changed are listed in $out/NAME.changes.
throwaway_root() {
  local name=$1
  {
    echo "set -euo pipefail; cd '$src'"
    echo "work='$work'; src='$src'; out='$out'"
    for v in CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DIR CCACHE_NOHASHDIR; do
      if [ -n "${!v:-}" ]; then echo "export $v='${!v}'"; fi
    done
    # (paths relative to the copy's root hit what the checkout's builds cached)
    if [ -n "${CCACHE_DIR:-}" ]; then echo "export CCACHE_BASEDIR='$src'"; fi
    declare -f fail doc_blocks
    echo "$2"
  } >"$work/$name.sh"
  "${isolate[@]}" bash -s "$work" "$name" <<'EOF'
set -euo pipefail
work=$1 name=$2 base=$1/$2.root
mkdir -p "$base"
mount -t tmpfs tmpfs "$base"
mkdir -p "$base/upper" "$base/scratch" "$base/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/scratch" "$base/root"
for fs in proc sys dev; do mount --rbind "/$fs" "$base/root/$fs"; done
mkdir -p "$base/root$work"
mount --bind "$work" "$base/root$work"
rc=0
chroot "$base/root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash "$work/$name.sh" || rc=$?
(cd "$base/upper" && find . ! -type d -printf '%P %y\n' | sort) >"$work/out/$name.changes"
exit $rc
EOF
}

echo "== docs followed literally, the example and headers, a moved prefix (throwaway root 1)"
throwaway_root docs '
doc_blocks docs/amvex.md "Building" sh >"$out/amvex-docs.sh"
doc_blocks docs/amvex.md "Install and find" sh >>"$out/amvex-docs.sh"
bash -ex "$out/amvex-docs.sh" >"$out/amvex-docs.log"
# The library-only build looked for none of the full build'"'"'s packages.
! grep -E "^(GTest|GLUT|GLEW|OPENGL|IMGUI|GLFW|KISSFFT|benchmark)[A-Za-z_]*:" build/amvex/CMakeCache.txt ||
  fail "the AMVEX_LIBRARY_ONLY build searched for the full build'"'"'s packages"
# The example'"'"'s output as the page shows it; the identifier and the sample
# numbers vary, the rest must match.
doc_blocks docs/amvex.md "Install and find" text >"$out/amvex-docs.expected"
mask() { sed -E "s/ id [0-9]+:/ id N:/; s/^[0-9]+ frames \(samples 1 to [0-9]+\)/N frames (samples 1 to N)/" "$1" | grep -v "^sample " | grep -v "^\$" || true; }
awk "/^Amvex 1/ { p = 1 } p { print } p && / frames \\(samples/ { exit }" "$out/amvex-docs.log" >"$out/amvex-docs.got"
diff <(mask "$out/amvex-docs.expected") <(mask "$out/amvex-docs.got") || fail "docs/amvex.md: the example prints other lines"

doc_blocks docs/python.md "Install" sh >"$out/python-docs.sh"
bash -ex "$out/python-docs.sh"
doc_blocks docs/python.md "Two seconds from the emulator" python >"$out/example.py"
doc_blocks docs/python.md "Two seconds from the emulator" text | sed "/^\$/d" >"$out/example.expected"
(cd "$out" && AMVEX_EMULATE=kind=7 ~/amvex-env/bin/python -X dev -W error example.py >example.got)
diff "$out/example.expected" "$out/example.got" || fail "docs/python.md: the example prints other lines"
# AMVEX_LIBRARY comes first: the pip-installed package loads the one it names.
lib=$HOME/amvex/lib/$(gcc -print-multiarch)/libamvex.so.1
loaded=$(cd "$out" && AMVEX_LIBRARY=$lib ~/amvex-env/bin/python -c "import amvex._lib as l; print(l.lib()._name)")
[ "$loaded" = "$lib" ] || fail "AMVEX_LIBRARY=$lib loaded $loaded"

echo "== the example with gcc and clang, as C and C++; the headers alone"
for compiler in gcc:c11 clang:c11 g++:c++17 clang++:c++17; do
  cc=${compiler%:*} std=${compiler#*:}
  lang=c; [ "${std#c++}" != "$std" ] && lang=c++
  $cc -std=$std -pedantic -Wall -Wextra -Werror -x $lang examples/amvex/amx_stream.c -x none \
    -o "$out/amx_stream_$cc" $(pkg-config --cflags --libs amvex)
  AMVEX_EMULATE=kind=2 "$out/amx_stream_$cc" 0 1 250 >/dev/null || fail "$cc: the example did not stream"
  for header in amvex.h amvex_clock.h; do
    for s in c99 c11 c++11 c++20; do
      l=c; [ "${s#c++}" != "$s" ] && l=c++
      [ "$l" = "$lang" ] || continue
      echo "#include <$header>" | $cc -std=$s -pedantic -Wall -Wextra -Werror -fsyntax-only -x $l - \
        || fail "$header alone does not compile with $cc -std=$s"
    done
  done
done

echo "== the prefix ~/amvex moved"
mv ~/amvex ~/moved
multiarch=$(gcc -print-multiarch)
export PKG_CONFIG_PATH=$HOME/moved/lib/$multiarch/pkgconfig
cc -std=c11 -o "$out/moved_pc" examples/amvex/amx_stream.c $(pkg-config --cflags --libs amvex) \
  -Wl,-rpath,$(pkg-config --variable=libdir amvex)
cmake -S ~/moved/share/doc/libamvex-dev/examples -B "$out/moved_cmake" -G Ninja -DCMAKE_PREFIX_PATH=$HOME/moved >/dev/null
cmake --build "$out/moved_cmake" >/dev/null
grep -qx "Amvex_DIR:PATH=$HOME/moved/lib/$multiarch/cmake/Amvex" "$out/moved_cmake/CMakeCache.txt" \
  || fail "find_package did not find the moved prefix"
for program in "$out/moved_pc" "$out/moved_cmake/amx_stream" ~/moved/bin/amxctl; do
  ldd "$program" | grep "libamvex.so.1 => $HOME/moved/" >/dev/null || fail "$program does not load the moved library"
done
AMVEX_EMULATE=kind=7 "$out/moved_pc" 0 1 500 >/dev/null
AMVEX_EMULATE=kind=7 "$out/moved_cmake/amx_stream" 0 1 500 >/dev/null
AMVEX_EMULATE=kind=7 ~/moved/bin/amxctl list | grep -x "1 device(s)" >/dev/null || fail "the moved amxctl lists no device"
'

echo "== the Debian packages"
# package NAME: the .deb of that package.
package() { ls "$debs/$1"_*.deb; }
# Each package's files, exactly (directories left out).
contents() { dpkg-deb -c "$(package "$1")" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./##' | sort; }
doc() { printf 'usr/share/doc/%s/changelog.gz\nusr/share/doc/%s/copyright\n' "$1" "$1"; }
multiarch=$(gcc -print-multiarch)
lib=usr/lib/$multiarch
diff <(contents libamvex1) <({ doc libamvex1; printf '%s\n' $lib/libamvex.so.1 $lib/libamvex.so.1.0.0; } | sort)
diff <(contents libamvex-dev) <({
  doc libamvex-dev
  printf '%s\n' usr/include/amvex.h usr/include/amvex_clock.h $lib/libamvex.so $lib/pkgconfig/amvex.pc \
    usr/share/doc/libamvex-dev/examples/CMakeLists.txt usr/share/doc/libamvex-dev/examples/amx_stream.c
  for f in AmvexConfig AmvexConfigVersion AmvexTargets AmvexTargets-release; do echo "$lib/cmake/Amvex/$f.cmake"; done
} | sort)
diff <(contents amvex-tools) <({
  doc amvex-tools
  printf '%s\n' usr/bin/amxctl usr/bin/amxview usr/share/man/man1/amxctl.1.gz usr/share/man/man1/amxview.1.gz
} | sort)
diff <(contents python3-amvex) <({
  doc python3-amvex
  for f in __init__ _lib clock device filters net; do echo "usr/lib/python3/dist-packages/amvex/$f.py"; done
} | sort)
for p in libamvex1 libamvex-dev amvex-tools python3-amvex; do
  echo "$p: Depends: $(dpkg-deb -f "$(package $p)" Depends)"
done
dpkg-deb -f "$(package libamvex1)" Depends | grep 'libstdc++6' >/dev/null || fail "libamvex1 does not depend on the C++ runtime"
dpkg-deb -f "$(package libamvex-dev)" Depends | grep -x 'libamvex1 (= 1.0.0)' >/dev/null || fail "libamvex-dev: wrong Depends"
dpkg-deb -f "$(package amvex-tools)" Depends | grep 'libamvex1 (>= 1.0.0).*libedf' >/dev/null || fail "amvex-tools: wrong Depends"
dpkg-deb -f "$(package python3-amvex)" Depends | grep 'libamvex1 (>= 1.0.0)' >/dev/null || fail "python3-amvex: wrong Depends"

# The symbols file lists exactly what the packaged library exports, each name
# under its version node.
x=$work/extract
dpkg-deb -x "$(package libamvex1)" "$x"
dpkg-deb -e "$(package libamvex1)" "$x/DEBIAN"
exported=$(nm -D --defined-only --with-symbol-versions "$x/$lib/libamvex.so.1.0.0" |
  awk '$2 == "A" { print $3 "@" $3; next } { sub("@@", "@", $3); print $3 }' | sort)
[ "$(wc -l <<<"$exported")" -eq 58 ] || fail "libamvex.so.1 exports $(wc -l <<<"$exported") symbols, not 57 and the version"
diff <(sed -n 's/^ \([^ ]*\) 1\.0\.0$/\1/p' "$x/DEBIAN/symbols" | sort) <(echo "$exported") ||
  fail "the symbols file differs from the library's exports"
head -1 "$x/DEBIAN/symbols" | grep -x 'libamvex.so.1 libamvex1 #MINVER#' >/dev/null || fail "symbols file: wrong header"

# Hardening of every program and library shipped: read-only relocations bound
# at load, and fortified C library calls.
dpkg-deb -x "$(package amvex-tools)" "$x"
for elf in "$x/$lib/libamvex.so.1.0.0" "$x/usr/bin/amxctl" "$x/usr/bin/amxview"; do
  readelf -lW "$elf" | grep GNU_RELRO >/dev/null || fail "$elf: no RELRO"
  readelf -dW "$elf" | grep 'BIND_NOW\|FLAGS_1.*NOW' >/dev/null || fail "$elf: no BIND_NOW"
  nm -D "$elf" | grep '__[a-z_]*_chk' >/dev/null || fail "$elf: no fortified calls"
done

# lintian: any error or warning fails, except the warnings kept here:
#  maintscript-calls-ldconfig: CPack writes libamvex1's postinst and postrm,
#    which call ldconfig for a library below /usr/lib, beside the package's
#    ldconfig trigger; supplying scripts of our own only to silence it would add
#    two maintainer scripts that do nothing.
lintian --fail-on error,warning --suppress-tags maintscript-calls-ldconfig "$debs"/*.deb >"$out/lintian" 2>&1 ||
  { cat "$out/lintian"; fail "lintian found errors or warnings not kept above"; }

echo "== the packages installed, used and purged (throwaway root 2)"
throwaway_root packages '
apt-get install -y -qq ./build/release/packages/*.deb >/dev/null  # as docs/amvex.md says
AMVEX_EMULATE="kind=7;kind=2" amxctl list
amxview --help >/dev/null
hosts=/tmp/amvex-hosts
mkdir -p "$hosts"
cmake -S /usr/share/doc/libamvex-dev/examples -B "$hosts/cmake" -G Ninja >/dev/null
cmake --build "$hosts/cmake" >/dev/null
AMVEX_EMULATE=kind=7 "$hosts/cmake/amx_stream" 0 1 500 | tail -1
cc -std=c11 -pedantic -Wall -Wextra -Werror -o "$hosts/pc" /usr/share/doc/libamvex-dev/examples/amx_stream.c $(pkg-config --cflags --libs amvex)
AMVEX_EMULATE=kind=6 "$hosts/pc" 0 1 250 | tail -1
(cd "$hosts" && AMVEX_EMULATE=kind=7 /usr/bin/python3 -X dev -W error "$out/example.py" >python.got)
diff "$out/example.expected" "$hosts/python.got" || fail "python3-amvex: the example prints other lines"
rm -rf "$hosts"
apt-get purge -y -qq libamvex1 libamvex-dev amvex-tools python3-amvex >/dev/null
'
# Nothing of the packages may remain: no file whose path names them, no file of
# the machine removed (an overlay marks a removed file as a character device).
left=$(awk '$1 !~ /ccache/ && /amvex|amx/' "$out/packages.changes")
[ -z "$left" ] || fail "left behind after the purge: $left"
removed=$(awk '$2 == "c" { print $1 }' "$out/packages.changes")
[ -z "$removed" ] || fail "removed from the machine by install and purge: $removed"
echo "left after the purge (caches aside): $(awk '$1 !~ /^var\/cache\/|ccache/ { print $1 }' "$out/packages.changes" | tr '\n' ' ')"
echo "== Amvex install stage passed (${SECONDS} s)"
