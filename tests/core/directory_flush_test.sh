#!/bin/sh
# Runs one real replacement under strace and checks that an fsync of the
# data directory follows the rename of the new index into it. The fault
# layer only sees that the directory flush is asked for; this sees that it
# reaches the disk. Skipped (exit 77) where strace is missing or may not trace.
# Usage: directory_flush_test.sh CORE_TESTS GTEST_FILTER
set -u
core_tests=$1
filter=$2

command -v strace >/dev/null 2>&1 || { echo "strace is not installed"; exit 77; }
strace -qq -o /dev/null true 2>/dev/null || { echo "strace may not trace here"; exit 77; }
log=$(mktemp) || exit 1
trap 'rm -f "$log"' EXIT

# LeakSanitizer cannot run under a tracer.
if ! ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    strace -f -qq -y -o "$log" -e trace=fsync,rename,renameat,renameat2 \
    "$core_tests" --gtest_filter="$filter" >/dev/null; then
    echo "the traced replacement failed"
    exit 1
fi

# rename("DIR/qaxdata.idx.new", "DIR/qaxdata.idx") = 0 names the directory
# (its last quoted argument); with -y a later fsync of it reads fsync(N<DIR>) = 0.
awk '
    /rename/ && /\/qaxdata\.idx"/ && / = 0$/ {
        n = split($0, part, "\"")
        dir = part[n - 1]
        sub(/\/qaxdata\.idx$/, "", dir)
        next
    }
    dir != "" && index($0, "fsync(") && index($0, "<" dir ">) = 0") { flushed = 1 }
    END {
        if (dir == "") { print "no rename of the index was seen"; exit 1 }
        if (!flushed) { print "no fsync of " dir " after the index was renamed into it"; exit 1 }
    }' "$log" || { cat "$log"; exit 1; }
