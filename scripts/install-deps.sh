#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those missing:
#   install-deps.sh editor   what the editor, qaxtool and the sample generator need to build and run
#   install-deps.sh          that and the test bench: the tests, benchmarks, fuzz and Windows builds
#                            (Qt for Windows is built, not installed: scripts/build-windows-qt.sh)
# Runs as root on a fresh machine (uses sudo when not root).
set -euo pipefail

editor_packages=(
  cmake g++ make pkg-config              # the toolchain
  zlib1g-dev                             # the checksum of the crash record
  qt6-base-dev                           # the window (Qt 6 Widgets)
  fonts-dejavu-core fonts-liberation2    # a monospace and a sans font for the window
)
test_bench_packages=(
  libgtest-dev libbenchmark-dev          # core tests and benchmarks
  qt6-base-private-dev                   # bench/window_bench: switching accessibility on offscreen
  xvfb xdotool x11-utils imagemagick     # real-window tests and screenshots
  xclip                                  # the real-window tests read what the editor copies
  openbox                                # a window manager for the framed-window tests
  clang libclang-rt-14-dev               # fuzz targets (libFuzzer)
  strace                                 # sees the directory flush reach the system
  xfsprogs                               # bench/reflink-bench.sh: an XFS image with reflinks
  g++-mingw-w64-x86-64 libz-mingw-w64-dev # the Windows cross build (core, qaxtool, their tests)
  dpkg-dev xz-utils ninja-build          # Qt for Windows, built from Debian's source (build-windows-qt.sh)
  googletest                             # GoogleTest's sources, built with the cross compiler
  groff-base                             # lays out qaxtool's manual as text for the Windows zip
  wine wine64                            # runs the Windows tests
)

case "${1:-all}" in
  editor) packages=("${editor_packages[@]}") ;;
  all) packages=("${editor_packages[@]}" "${test_bench_packages[@]}") ;;
  *) echo "usage: scripts/install-deps.sh [editor]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then as_root=(sudo); fi

echo "Installing missing packages: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
