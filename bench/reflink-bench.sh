#!/usr/bin/env bash
# Runs archive_bench on a file system that shares extents between copies: an
# XFS image with reflinks, loop-mounted for the run and removed afterwards.
# There the kernel copies of a replacement share extents where they can:
# only bytes that stay on block boundaries can be shared, so the benchmark's
# two kinds of Shp replacement differ by an order of magnitude there, the
# arbitrary size (300,000 bytes: the tail moves off the boundaries and is
# copied) and the aligned one (4 MiB: the tail is shared). Targets, against
# two durable copies: at most 0.25 x for the middle member of arbitrary
# size, 0.05 x for the aligned one.
#
#   bench/reflink-bench.sh [ARCHIVE_BENCH] [ROUNDS]
#
# ARCHIVE_BENCH defaults to build/default/bench/archive_bench. The image
# (sparse, 8 GiB at most, about 3 GB used at the peak) lives in a temporary
# directory under build/. Needs mkfs.xfs (xfsprogs) and the right to mount a
# loop device (root); where either is missing it says so and exits with 77,
# the usual "skipped" status, having changed nothing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bench=${1:-$root/build/default/bench/archive_bench}
rounds=${2:-3}

skip() {
  echo "reflink-bench: skipped: $*" >&2
  exit 77
}

[[ -x $bench ]] || { echo "reflink-bench: no benchmark program at $bench (build it first)" >&2; exit 1; }
command -v mkfs.xfs >/dev/null || skip "mkfs.xfs is not installed (Debian package xfsprogs)"
[[ $(id -u) -eq 0 ]] || skip "mounting a loop device needs root"

mkdir -p "$root/build"
work=$(mktemp -d "$root/build/reflink-bench.XXXXXX")
mounted=
cleanup() {
  if [[ -n $mounted ]]; then umount "$work/mnt" || echo "reflink-bench: could not unmount $work/mnt" >&2; fi
  rm -rf "$work"
}
trap cleanup EXIT

truncate -s 8G "$work/xfs.img"
mkfs.xfs -q -m reflink=1 "$work/xfs.img"
mkdir "$work/mnt"
if ! mount -o loop "$work/xfs.img" "$work/mnt" 2>"$work/mount.err"; then
  reason=$(cat "$work/mount.err")
  skip "cannot mount a loop device here (${reason:-no reason given})"
fi
mounted=yes

echo "XFS with reflinks, loop-mounted from an image in $work"
"$bench" --dir "$work/mnt" "$rounds"
