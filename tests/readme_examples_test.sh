#!/bin/sh
# The README's qaxtool examples, taken from README.md itself and run exactly as
# printed, one line at a time, on a freshly generated sample data set, with
# qaxtool installed beside it as the README lays it out and on the PATH: each
# line must end with status 0. An example block is an indented block of the
# README with a line that starts with "qaxtool "; every line of it runs, in
# order, in the product's QaxEdit directory, where the README runs them;
# the Windows section's blocks are left out.
# Usage: readme_examples_test.sh README MAKE_SAMPLE_DATASET QAXTOOL WORK_DIR
set -u
readme=$1 generator=$2 tool=$3 work=$4

rm -rf "$work" && mkdir -p "$work/product/QaxEdit" || exit 1
"$generator" "$work/product" >/dev/null || exit 1
# A copy, not a link: qaxtool follows a link back to the build tree and
# would look for the data set there.
cp "$tool" "$work/product/QaxEdit/qaxtool" || exit 1

# The blocks of the section on Windows are for cmd.exe and PowerShell.
awk '
    /^## / { windows = ($0 ~ /Windows/) }
    /^    / {
        block = block substr($0, 5) "\n"
        if ($0 ~ /^    qaxtool /) hasTool = 1
        next
    }
    { if (hasTool && !windows) printf "%s", block; block = ""; hasTool = 0 }
    END { if (hasTool && !windows) printf "%s", block }
' "$readme" >"$work/examples" || exit 1

lines=0 tools=0 failures=0
cd "$work/product/QaxEdit" || exit 1
while IFS= read -r line; do
    lines=$((lines + 1))
    case $line in qaxtool\ *) tools=$((tools + 1)) ;; esac
    if ! PATH="$work/product/QaxEdit:$PATH" sh -c "$line" </dev/null >"$work/out" 2>&1; then
        echo "FAIL: $line"
        sed 's/^/    /' "$work/out"
        failures=$((failures + 1))
    fi
done <"$work/examples"

if [ "$tools" -eq 0 ]; then
    echo "FAIL: no qaxtool example found in $readme"
    exit 1
fi
echo "$lines example lines ($tools of qaxtool), $failures failed"
[ "$failures" -eq 0 ]
