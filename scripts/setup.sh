#!/usr/bin/env bash
# Installs the Debian packages the engine, its tools and its tests need
# (when missing), then configures and builds incrementally into build/.
#   scripts/setup.sh [--werror] [--sanitize=address|thread] [--fuzz]
# A sanitizer build goes to build-asan/ (ASan + UBSan) or build-tsan/, the
# fuzzers (clang, libFuzzer) to build-fuzz/; each has its own folder so that
# the plain build is never rebuilt for them.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config g++ clang
  libavcodec-dev libavutil-dev libswscale-dev libx264-dev libopus-dev
  libusbmuxd-dev libplist-dev libavahi-compat-libdnssd-dev avahi-daemon dbus
  googletest libgtest-dev libbenchmark-dev iproute2 util-linux
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber gstreamer1.0-tools gstreamer1.0-pipewire
  libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

werror=OFF
build=build
target=all
options=()
for arg in "$@"; do
  case "$arg" in
    --werror) werror=ON ;;
    --sanitize=address) build=build-asan; options+=(-DENGINE_SANITIZE=address) ;;
    --sanitize=thread) build=build-tsan; options+=(-DENGINE_SANITIZE=thread) ;;
    --fuzz)
      build=build-fuzz target=fuzzers
      options+=(-DENGINE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "setup: unknown argument $arg" >&2; exit 2 ;;
  esac
done
[ "${CI:-}" = "true" ] && werror=ON
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENGINE_WERROR=$werror "${options[@]}" >/dev/null
ninja -C "$build" --quiet "$target"
