#!/usr/bin/env bash
# Configures and builds one CMake preset (default: "default"). The windows
# preset's Qt is built first where it is not yet in its cache folder (once,
# for a long while: scripts/build-windows-qt.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
if [[ "$preset" == windows ]]; then
  scripts/build-windows-qt.sh >/dev/null
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
