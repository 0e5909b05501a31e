# Sourced by scripts/test.sh and by each stage of scripts/test.d/, which then
# runs alone from anywhere: moves to the repository root (ROOT), sets JOBS and
# the configure/build and test helpers.
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

# configure_build DIR [cmake options...]
configure_build() {
  local dir=$1
  shift
  echo "== build $dir"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

# run_tests DIR [ctest options...]: the soak label is kept for explicit runs.
run_tests() {
  local dir=$1
  shift
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" -LE soak "$@"
}

# need_release FILE...: a stage that uses files of build/release stops with one
# clear line when it runs alone before the Release build made them.
need_release() {
  local f
  for f in "$@"; do
    [ -e "build/release/$f" ] && continue
    echo "$(basename "$0"): build/release/$f is missing: build the Release tree first" \
      "(cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build/release)"
    exit 1
  done
}
