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

status=0
for preset in default sanitize fuzz windows; do
  echo "=== build: $preset"
  scripts/build.sh "$preset"
  echo "=== tests: $preset"
  ctest --preset "$preset" -j"$(nproc)" || status=1
done
exit "$status"
