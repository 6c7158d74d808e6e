#!/usr/bin/env bash
# The Windows editor in a real window: qaxedit.exe, installed as the zip
# lays it out, under Wine on Xvfb with a window manager, used by key presses
# alone. It extracts a Shp member (the .SHP beside the program holds exactly
# the member's bytes) and replaces a Txt member through the file dialog (the
# data set then holds exactly what the Linux qaxtool makes of the same
# replacement), the latter first refused while the Linux build holds the
# data set's lock; then the Linux build is refused while the Windows editor
# rebuilds shp.qax. A screenshot of the window is kept in ARTEFACTS.
# Usage: wine_window_test.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR WINE_RUN X_DISPLAY_SCRIPT ARTEFACTS
set -u
linux=$1 windows=$2 wine_run=$3 x_display=$4 artefacts=$5
for program in "$linux/cli/qaxtool" "$linux/tools/make_sample_dataset" "$linux/tests/cli/hold_data_set_lock"; do
  [ -x "$program" ] || { echo "SKIP: the Linux build ($program) is not built"; exit 77; }
done
for tool in Xvfb openbox xdotool import; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
# A Wine prefix of its own: the build's prefix serves the console tests that
# run beside this one, and a Wine session first started without a display
# would open no window for this one.
export WINEPREFIX="$work/wine"
editor_pid=
finish() {
  [ -n "${stopper_pid:-}" ] && kill "$stopper_pid" 2>/dev/null
  pkill -CONT -x qaxedit.exe 2>/dev/null
  [ -n "$editor_pid" ] && kill "$editor_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  [ -n "${openbox_pid:-}" ] && kill "$openbox_pid" 2>/dev/null
  wait 2>/dev/null
  sh "$x_display" stop "$work/x" >/dev/null 2>&1
  [ "$failures" -gt 0 ] && mkdir -p "$artefacts" && cp "$work"/*.png "$artefacts/" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
failures=0 passes=0
check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; passes=$((passes + 1)); else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
# Waits up to SECONDS for COMMAND to succeed.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq 1 $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
tool() { "$linux/cli/qaxtool" "$@"; }

# The product as a Windows modder has it: the data set, and beside it the
# folder the zip unpacks.
product=$work/product
"$linux/tools/make_sample_dataset" "$product" --txt 6 --shp 4 >/dev/null || exit 1
for component in qaxedit qaxtool; do
  cmake --install "$windows" --prefix "$product" --component "$component" >/dev/null || exit 1
done
cp -r "$product/data" "$work/reference-data"
cp -r "$product/data" "$work/data-before"

# What the editor must leave: the first Shp member's bytes, and the data
# set after the first Txt member is replaced, as the Linux build makes them.
first_shp=$(tool --data "$product/data" list shp --names | head -n1)
first_txt=$(tool --data "$product/data" list txt --names | head -n1)
tool --data "$product/data" extract shp "$first_shp" -o "$work/expected" >/dev/null || exit 1
printf 'New orders from the Windows editor: hold the bridge until dawn.\r\n' >"$work/orders.txt"
tool --data "$work/reference-data" replace txt "$first_txt=$work/orders.txt" >/dev/null || exit 1

sh "$x_display" start "$work/x" >/dev/null || exit 1
DISPLAY=$(cat "$work/x/display")
export DISPLAY
openbox --sm-disable >/dev/null 2>&1 &
openbox_pid=$!
"$wine_run" "$product/QaxEdit/qaxedit.exe" >"$work/editor.log" 2>&1 &
editor_pid=$!
window=
find_window() { window=$(xdotool search --onlyvisible --name '^Qax Edit$' 2>/dev/null | head -n1) && [ -n "$window" ]; }
if ! wait_for 180 find_window; then
  echo "FAIL: the editor's window never opened; its output:"; cat "$work/editor.log"
  exit 1
fi
xdotool windowactivate --sync "$window" 2>/dev/null
sleep 2
keys() { xdotool key --delay 150 "$@"; sleep 0.5; }

# Shp: from the pane to the list, to the checked type (Txt), down to Shp;
# back to the list, its first line (Down and Home select it), and on past
# the type group and two buttons to Extract File.
keys Tab Tab Down
keys shift+Tab Down Home
keys Tab Tab Tab Tab space
shp_file=$product/QaxEdit/$first_shp.SHP
same_shp() { [ -f "$shp_file" ] && cmp -s "$shp_file" "$work/expected/$first_shp.SHP"; }
check "Extract File writes the selected Shp member's bytes beside the program" wait_for 20 same_shp

# Txt: back past the buttons to the type group, up to Txt; the list's first
# line; Load New File, the file's Windows path typed into the dialog.
keys shift+Tab shift+Tab shift+Tab Up
keys shift+Tab Down Home
keys Tab Tab space
sleep 2
windows_orders=$("$wine_run" winepath -w "$work/orders.txt" 2>/dev/null | tr -d '\r')
xdotool type --delay 20 "$windows_orders"
keys Return

# While the Linux build changes the data set, the Windows editor's
# replacement is refused as busy and changes nothing; once it lets go, the
# same key press replaces.
rm -f "$work/release"; mkfifo "$work/release"
"$linux/tests/cli/hold_data_set_lock" "$product/data" exclusive <"$work/release" >"$work/held" 2>&1 &
holder_pid=$!
exec 8>"$work/release"
held() { grep -q held "$work/held"; }
wait_for 30 held || { echo "FAIL: the Linux holder never held the lock"; cat "$work/held"; exit 1; }
keys Tab space
busy_box() { xdotool search --onlyvisible --name '^Data Set Busy$' >/dev/null 2>&1; }
check "the Windows editor's replacement is refused while the Linux build changes the data set" wait_for 20 busy_box
untouched() { cmp -s "$product/data/txt.qax" "$work/data-before/txt.qax" &&
              cmp -s "$product/data/qaxdata.idx" "$work/data-before/qaxdata.idx"; }
check "the refused replacement changed nothing" untouched
keys Return
no_busy_box() { ! busy_box; }
wait_for 10 no_busy_box
exec 8>&-
wait "$holder_pid"
# The refusal leaves the keyboard on the list, its line unselected: the
# line again, then on past the type group and Load New File.
keys Down Home Tab Tab Tab space
same_data() {
  local file
  for file in qaxdata.idx txt.qax shp.qax ext.idx pal.qax; do
    cmp -s "$product/data/$file" "$work/reference-data/$file" || return 1
  done
}
check "Replace Selection leaves the data set the Linux build makes" wait_for 30 same_data

# The other way round: while the Windows editor rebuilds shp.qax, the Linux
# build neither changes nor reads the data set, nor takes the half-written
# rebuild for one to recover. A 48 MB member makes the rebuild long enough
# to catch: the editor is stopped as soon as its rebuild record appears.
head -c 48M /dev/urandom >"$work/huge.SHP"
tool --data "$work/reference-data" replace shp "$first_shp=$work/huge.SHP" >/dev/null || exit 1
# The Replace Selection above gave the keyboard to the list: on to the type
# group, down to Shp; the list's first line; Load New File, the path typed.
keys Tab Down
keys shift+Tab Down Home
keys Tab Tab space
sleep 2
windows_huge=$("$wine_run" winepath -w "$work/huge.SHP" 2>/dev/null | tr -d '\r')
xdotool type --delay 20 "$windows_huge"
keys Return
record=$product/data/~qaxedit.rec
(until [ -e "$record" ]; do :; done; pkill -STOP -x qaxedit.exe) &
stopper_pid=$!
keys Tab space
stopped() { ps -o stat= -C qaxedit.exe | grep -q T; }
if wait_for 60 stopped; then
  snapshot() { (cd "$product/data" && ls -la --time-style=full-iso && find . -type f | sort | xargs md5sum); }
  snapshot >"$work/while-stopped"
  refused() {  # refused EXPECTED_STATUS COMMAND...
    local expected=$1 status
    shift
    tool --data "$product/data" "$@" >/dev/null 2>"$work/refusal"
    status=$?
    [ "$status" -eq "$expected" ] || { echo "qaxtool $* exited with $status:"; cat "$work/refusal"; return 1; }
  }
  check "the Linux build's replacement is refused while the Windows editor rebuilds" \
    refused 3 replace txt "$first_txt=$work/orders.txt"
  check "the Linux build's listing is refused while the Windows editor rebuilds" refused 3 list shp
  same_as_stopped() { snapshot | cmp -s - "$work/while-stopped"; }
  check "the Linux build left the Windows editor's half-done rebuild as it was" same_as_stopped
  pkill -CONT -x qaxedit.exe
else
  kill "$stopper_pid" 2>/dev/null
  check "the Windows editor was caught in the middle of its rebuild" false
fi
wait "$stopper_pid" 2>/dev/null
check "the Windows editor's Shp replacement, let go on, leaves the data set the Linux build makes" \
  wait_for 120 same_data

mkdir -p "$artefacts"
import -window root "$artefacts/wine-window.png" 2>/dev/null
check "a screenshot of the window is kept" test -s "$artefacts/wine-window.png"
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
