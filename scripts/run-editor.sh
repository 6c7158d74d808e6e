#!/usr/bin/env bash
# Builds the editor, qaxtool and the sample generator (installing only the
# packages they need) and opens the editor on a generated sample data set:
# build/demo/data is the data set, and the editor runs from
# build/demo/QaxEdit, one level below it, as a user would place it. The
# tests and benchmarks are scripts/run-tests.sh's.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/install-deps.sh editor
scripts/build.sh editor

demo="$root/build/demo"
if [[ ! -f "$demo/data/qaxdata.idx" ]]; then
  build/editor/tools/make_sample_dataset "$demo"
else
  echo "Using the existing sample data set in build/demo/data (delete it for a fresh one)."
fi
cmake --install build/editor --prefix "$demo" >/dev/null

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "No display: neither DISPLAY nor WAYLAND_DISPLAY is set, so the editor window cannot open here." >&2
  echo "The editor is built and the sample data set is ready; from a desktop session run:" >&2
  echo "  build/demo/QaxEdit/qaxedit" >&2
  echo "(or, without a desktop, with the xvfb package: xvfb-run build/demo/QaxEdit/qaxedit)" >&2
  exit 1
fi
exec "$demo/QaxEdit/qaxedit"
