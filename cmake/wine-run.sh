#!/bin/sh
# Runs a Windows program under Wine for CTest and the test discovery, in a
# Wine prefix of the build's own (made once, quietly, whichever test comes
# first), with Wine's own chatter switched off.
set -eu
: "${WINEPREFIX:=$(cd "$(dirname "$0")" && pwd)/wine}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# Wine's server, and the services a Wine session starts with, outlive the
# program that started them and would keep its output open: CTest would
# wait for them to end. They are started here, one at a time and detached
# from any test's output (nor holding this lock: -o), and kept for a few
# seconds after the last program.
flock -o "$WINEPREFIX" sh -c '
  [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1
  if wineserver -p5 </dev/null >/dev/null 2>&1; then wine cmd /c exit </dev/null >/dev/null 2>&1; fi'
exec wine "$@"
