#!/bin/sh
# Runs a Windows program under Wine for CTest and the test discovery, in a
# Wine prefix of the build's own (made once, quietly, whichever test comes
# first), with Wine's own chatter switched off.
set -eu
: "${WINEPREFIX:=$(cd "$(dirname "$0")" && pwd)/wine}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  flock "$WINEPREFIX" sh -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1; wineserver --wait'
fi
exec wine "$@"
