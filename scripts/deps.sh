#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent and quiet: packages
# already present are skipped, so a second run costs a dpkg query and nothing else.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libeigen3-dev
  freeglut3-dev libglew-dev libglu1-mesa-dev libgl1-mesa-dri mesa-utils
  xvfb xauth xdotool imagemagick ffmpeg
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 lld llvm
  libgl1-mesa-dri:i386 libglx-mesa0:i386 libgl1:i386
  libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386 libxcomposite1:i386 libxinerama1:i386
  libedf-dev libliquid-dev
  libzmq3-dev cppzmq-dev python3-zmq iproute2 iputils-ping libczmq-dev nftables tcpdump
  libimgui-dev libglfw3-dev libstb-dev libkissfft-dev
  python3-numpy python3-pytest python3-mne python3-setuptools python3-venv
  lintian help2man
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "deps: installing ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
