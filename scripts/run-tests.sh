#!/usr/bin/env bash
# Builds everything (installing what is missing, the test bench's packages
# included) in the normal and the
# sanitizer build and runs every test in both, runs each fuzz target for a
# bounded time in the clang fuzz build, and cross-builds the core, qaxtool
# and their tests for Windows and runs those under Wine. Fails when any of
# it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Qt for Windows, the first time, takes longer than anything else here. It
# builds beside the Linux builds and their tests, at the lowest priority, so
# that it takes only the processor time they leave idle (linking, waiting
# tests); where it is built already this returns at once. It runs in a
# process group of its own, ended with this script whatever way that ends:
# a build left behind would go on for half an hour in a folder that the
# next run starts afresh.
qt_log=$(mktemp)
set -m
nice -n 19 scripts/build-windows-qt.sh >/dev/null 2>"$qt_log" &
qt_build=$!
set +m
trap 'kill -- -"$qt_build" 2>/dev/null || true; rm -f "$qt_log"' EXIT

status=0
for preset in default sanitize fuzz windows; do
  if [[ "$preset" == windows ]]; then
    echo "=== Qt for Windows"
    qt_built=0
    wait "$qt_build" || qt_built=$?
    cat "$qt_log"
    if ((qt_built != 0)); then
      echo "Qt for Windows could not be built: the Windows build and its tests are left out" >&2
      status=1
      break
    fi
    [[ -s "$qt_log" ]] || echo "built already: $(scripts/build-windows-qt.sh --where)"
  fi
  echo "=== build: $preset"
  scripts/build.sh "$preset"
  echo "=== tests: $preset"
  ctest --preset "$preset" -j"$(nproc)" || status=1
done
exit "$status"
