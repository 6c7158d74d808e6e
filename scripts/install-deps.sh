#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those missing.
# Runs as root on a fresh machine (uses sudo when not root).
set -euo pipefail

packages=(
  cmake g++ make pkg-config              # the toolchain
  zlib1g-dev                             # the checksum of the crash record
  libgtest-dev libbenchmark-dev          # core tests and benchmarks
  qt6-base-dev                           # the window (Qt 6 Widgets) and Qt Test
  qt6-base-private-dev                   # bench/window_bench: switching accessibility on offscreen
  fonts-dejavu-core fonts-liberation2    # a monospace and a sans font for the window
  xvfb xdotool x11-utils imagemagick     # real-window tests and screenshots
  xclip                                  # the real-window tests read what the editor copies
  openbox                                # a window manager for the framed-window tests
  clang libclang-rt-14-dev               # fuzz targets (libFuzzer)
  strace                                 # sees the directory flush reach the system
  xfsprogs                               # bench/reflink-bench.sh: an XFS image with reflinks
  g++-mingw-w64-x86-64 libz-mingw-w64-dev # the Windows cross build (core, qaxtool, their tests)
  googletest                             # GoogleTest's sources, built with the cross compiler
  groff-base                             # lays out qaxtool's manual as text for the Windows zip
  wine wine64                            # runs the Windows tests
)

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
