#!/bin/sh
# The README's qaxtool examples, taken from README.md itself and run exactly as
# printed, one line at a time, on a freshly generated sample data set, with
# qaxtool installed beside it as the README lays it out and on the PATH: each
# line must end with status 0. An example block is an indented block of the
# README with a line that starts with "qaxtool "; every line of it runs, in
# order, in the product's QaxEdit directory, where the README runs them;
# the Windows section's blocks are left out. The manual's EXAMPLES, when it
# is given, run the same way on a sample data set of their own.
# Usage: readme_examples_test.sh README MAKE_SAMPLE_DATASET QAXTOOL WORK_DIR [MANUAL]
set -u
readme=$1 generator=$2 tool=$3 work=$4 manual=${5:-}

rm -rf "$work" && mkdir -p "$work" || exit 1
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
' "$readme" >"$work/readme-examples" || exit 1
# The manual's, its roff escapes for a minus and a backslash undone.
if [ -n "$manual" ]; then
    awk '
        /^\.SH / { examples = ($0 ~ /EXAMPLES/) }
        examples && /^\.nf/ { taking = 1; next }
        /^\.fi/ { taking = 0 }
        taking { gsub(/\\-/, "-"); gsub(/\\e/, "\\"); print }
    ' "$manual" >"$work/manual-examples" || exit 1
fi

lines=0 tools=0 failures=0
# Runs the lines of $1 in order, in the QaxEdit directory of a product of
# their own.
run_examples() {
    product=$work/product-$(basename "$1")
    mkdir -p "$product/QaxEdit" || exit 1
    "$generator" "$product" >/dev/null || exit 1
    # A copy, not a link: qaxtool follows a link back to the build tree and
    # would look for the data set there.
    cp "$tool" "$product/QaxEdit/qaxtool" || exit 1
    while IFS= read -r line; do
        lines=$((lines + 1))
        case $line in qaxtool\ *) tools=$((tools + 1)) ;; esac
        if ! (cd "$product/QaxEdit" && PATH="$product/QaxEdit:$PATH" sh -c "$line" </dev/null >"$work/out" 2>&1); then
            printf 'FAIL: %s\n' "$line"
            sed 's/^/    /' "$work/out"
            failures=$((failures + 1))
        fi
    done <"$1"
}
run_examples "$work/readme-examples"
if [ "$tools" -eq 0 ]; then
    echo "FAIL: no qaxtool example found in $readme"
    exit 1
fi
if [ -n "$manual" ]; then
    readme_tools=$tools
    run_examples "$work/manual-examples"
    if [ "$tools" -eq "$readme_tools" ]; then
        echo "FAIL: no qaxtool example found in $manual"
        exit 1
    fi
fi
echo "$lines example lines ($tools of qaxtool), $failures failed"
[ "$failures" -eq 0 ]
