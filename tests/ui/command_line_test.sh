#!/bin/sh
# The editor's command line, run as a user would and with no display: --help,
# --version and an unknown option answer without a window; a file given to
# it is ignored with a note and the window opens; without a display one line
# says so. Both programs give the project's version.
# Usage: command_line_test.sh QAXEDIT QAXTOOL VERSION
set -u
editor=$1 tool=$2 version=$3
failures=0 cases=0
nodisplay="-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM"

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect STATUS WORDS... -- ENV-AND-COMMAND...: runs the command under env,
# checks its status and that each of WORDS appears in what it printed.
expect() {
    cases=$((cases + 1))
    status=$1
    shift
    words=
    while [ "$1" != "--" ]; do
        words="$words$1
"
        shift
    done
    shift
    out=$(env "$@" 2>&1)
    got=$?
    [ "$got" -eq "$status" ] || fail "$*: status $got, not $status; printed: $out"
    printf '%s' "$words" | while IFS= read -r word; do
        case $out in
            *"$word"*) ;;
            *) echo "no \"$word\"" ;;
        esac
    done | grep -q . && fail "$*: missing words in: $out"
}

# exactly STATUS TEXT -- ENV-AND-COMMAND...: the whole output is TEXT.
exactly() {
    cases=$((cases + 1))
    status=$1 text=$2
    shift 3
    out=$(env "$@" 2>&1)
    got=$?
    [ "$got" -eq "$status" ] || fail "$*: status $got, not $status"
    [ "$out" = "$text" ] || fail "$*: printed \"$out\", not \"$text\""
}

# shellcheck disable=SC2086 # $nodisplay is a list of env arguments
{
expect 0 "Usage: qaxedit [OPTION]..." "-V, --version" -- $nodisplay "$editor" --help
expect 0 "Usage: qaxedit [OPTION]..." -- $nodisplay "$editor" notes.txt -h --frobnicate
exactly 0 "qaxedit $version" -- $nodisplay "$editor" --version
exactly 0 "qaxedit $version" -- $nodisplay "$editor" -V
exactly 0 "qaxtool $version" -- $nodisplay "$tool" --version
exactly 2 "qaxedit: unknown option '--frobnicate'
Try 'qaxedit --help'." -- $nodisplay "$editor" --frobnicate
# -v is qaxtool's --verbose, never the editor's version; Qt's own help is not offered.
exactly 2 "qaxedit: unknown option '-v'
Try 'qaxedit --help'." -- $nodisplay "$editor" -v
exactly 2 "qaxedit: unknown option '--help-all'
Try 'qaxedit --help'." -- $nodisplay "$editor" --help-all
exactly 1 "qaxedit: needs a display for its window, and neither DISPLAY nor WAYLAND_DISPLAY is set" \
    -- $nodisplay "$editor"
exactly 1 "qaxedit: needs a display for its window, and none could be opened (DISPLAY=:9999)" \
    -- $nodisplay DISPLAY=:9999 "$editor" -style Fusion
# A file manager's "Open with": the file is named as ignored, Qt's options
# and their values are not, and the window opens (here on Qt's offscreen
# platform, until it is stopped).
expect 1 "qaxedit: takes no files, so ignores 'notes.txt' '-'; it opens" "neither DISPLAY" \
    -- $nodisplay "$editor" notes.txt - -reverse
expect 143 "ignores 'notes.txt' '--x'; it opens" "qaxedit: stopped by a signal" \
    -- $nodisplay timeout -s TERM --preserve-status 6 "$editor" -platform offscreen notes.txt -- --x
}
if out=$(env $nodisplay "$editor" --help 2>&1); then
    cases=$((cases + 1))
    case $out in *help-all*) fail "--help offers --help-all" ;; esac
fi

echo "$cases cases, $failures failed checks"
[ "$failures" -eq 0 ]
