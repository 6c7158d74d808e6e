#!/bin/sh
# The editor's command line, run as a user would: --help and --version answer
# without a window, even with no display at all; any other argument is
# refused with a usage line and status 2, before a window appears.
# Usage: command_line_test.sh QAXEDIT
set -u
editor=$1
failures=0

# expect STATUS WORDS [ENV...] -- ARGS...: runs the editor, checks its status
# and that WORDS appear in what it printed.
expect() {
    status=$1 words=$2
    shift 2
    out=$(env "$@" 2>&1)
    got=$?
    case $out in
        *"$words"*) ;;
        *) echo "FAIL: $*: no \"$words\" in: $out"; failures=$((failures + 1)); return ;;
    esac
    [ "$got" -eq "$status" ] || { echo "FAIL: $*: status $got, not $status"; failures=$((failures + 1)); }
}

expect 0 "Usage: qaxedit [options]" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$editor" --help
expect 0 "qaxedit 0.1" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$editor" --version
expect 0 "qaxedit 0.1" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$editor" -v
expect 2 "Usage: qaxedit [--help] [--version]" QT_QPA_PLATFORM=offscreen "$editor" extra words
expect 2 "Unknown option 'bogus'" QT_QPA_PLATFORM=offscreen "$editor" --bogus

[ "$failures" -eq 0 ] && echo "5 passed, 0 failed"
exit "$failures"
