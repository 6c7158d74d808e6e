#!/usr/bin/env bash
# The Linux and the Windows build on one data set, the Windows one under
# Wine (as a Linux modder running Windows tools would): whichever holds the
# data set's lock keeps the other's changes out, and a shared holder of
# either keeps the other's replacement out but lets its reader in.
# Usage: both_builds_lock_test.sh LINUX_BUILD_DIR QAXTOOL_EXE HOLDER_EXE WINE_RUN
set -u
linux=$1 tool_exe=$2 holder_exe=$3 wine_run=$4
for program in "$linux/cli/qaxtool" "$linux/tests/cli/hold_data_set_lock" "$linux/tools/make_sample_dataset"; do
  [ -x "$program" ] || { echo "SKIP: the Linux build ($program) is not built"; exit 77; }
done
work=$(mktemp -d)
trap 'exec 8>&- 2>/dev/null; wait; chattr -i "$work/product/data/~qaxedit.lck" 2>/dev/null; rm -rf "$work"' EXIT
"$linux/tools/make_sample_dataset" "$work/product" >/dev/null || exit 1
data=$work/product/data
windows_data=$("$wine_run" winepath -w "$data" 2>/dev/null | tr -d '\r')
printf 'new text\n' > "$work/em.txt"
windows_em=$("$wine_run" winepath -w "$work/em.txt" 2>/dev/null | tr -d '\r')
failures=0 passes=0

expect() {  # expect STATUS WHAT COMMAND...
  local want=$1 what=$2
  shift 2
  "$@" >"$work/out" 2>&1
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: exit $got, expected $want"; sed 's/^/  | /' "$work/out"; failures=$((failures + 1))
  else
    echo "ok: $what"; passes=$((passes + 1))
  fi
}

# A change refused because the lock file cannot be locked for writing: it
# fails (not busy: waiting would not help) and names the file.
expect_refusal() {  # expect_refusal WHAT COMMAND...
  local what=$1
  shift
  expect 1 "$what" "$@"
  if ! grep -q 'qaxedit.lck cannot be locked for writing' "$work/out"; then
    echo "FAIL: $what: the lock file is not named as the reason"; failures=$((failures + 1))
  fi
}

# Starts a holder (a command line) whose standard input is fd 8; waits for "held".
hold() {
  rm -f "$work/release"; mkfifo "$work/release"
  "$@" <"$work/release" >"$work/held" 2>&1 &
  exec 8>"$work/release"
  for _ in $(seq 1 300); do grep -q held "$work/held" && return 0; sleep 0.1; done
  echo "FAIL: the holder never held the lock"; cat "$work/held"; exit 1
}
release() { exec 8>&-; wait; }

linux_tool() { "$linux/cli/qaxtool" --data "$data" "$@"; }
windows_tool() { "$wine_run" "$tool_exe" --data "$windows_data" "$@"; }

hold "$wine_run" "$holder_exe" "$windows_data" exclusive
expect 3 "Linux replace while the Windows build changes the data set" linux_tool replace txt EM="$work/em.txt"
expect 3 "Linux list while the Windows build changes the data set" linux_tool list txt
release

hold "$wine_run" "$holder_exe" "$windows_data" shared
expect 3 "Linux replace while the Windows build reads" linux_tool replace txt EM="$work/em.txt"
expect 0 "Linux list while the Windows build reads" linux_tool list txt
release

hold "$linux/tests/cli/hold_data_set_lock" "$data" exclusive
expect 3 "Windows replace while the Linux build changes the data set" windows_tool replace txt "EM=$windows_em"
expect 3 "Windows list while the Linux build changes the data set" windows_tool list txt
release

hold "$linux/tests/cli/hold_data_set_lock" "$data" shared
expect 3 "Windows replace while the Linux build reads" windows_tool replace txt "EM=$windows_em"
expect 0 "Windows list while the Linux build reads" windows_tool list txt
release

# A lock file that neither build may write (here marked unchangeable, as
# another user's file of mode 0644 or one on a read-only medium is to this
# user) can only be locked for reading, which keeps no other editor out:
# neither build changes the data set under it, and both still read.
if chattr +i "$data/~qaxedit.lck" 2>/dev/null; then
  expect_refusal "Linux replace when the lock file cannot be written" linux_tool replace txt EM="$work/em.txt"
  expect_refusal "Windows replace when the lock file cannot be written" windows_tool replace txt "EM=$windows_em"
  hold "$linux/tests/cli/hold_data_set_lock" "$data" shared
  expect_refusal "Windows replace while the Linux build reads an unwritable lock file" \
    windows_tool replace txt "EM=$windows_em"
  expect 0 "Windows list while the Linux build reads an unwritable lock file" windows_tool list txt
  release
  hold "$wine_run" "$holder_exe" "$windows_data" shared
  expect_refusal "Linux replace while the Windows build reads an unwritable lock file" \
    linux_tool replace txt EM="$work/em.txt"
  expect 0 "Linux list while the Windows build reads an unwritable lock file" linux_tool list txt
  release
  chattr -i "$data/~qaxedit.lck"
else
  echo "skip: no file can be marked unchangeable here (chattr +i), so no lock file both builds may only read"
fi

# Neither left anything to recover, and both replace once the other is gone.
expect 0 "Windows replace once the Linux build let go" windows_tool replace txt "EM=$windows_em"
expect 0 "Linux replace after it" linux_tool replace txt EM="$work/em.txt"
expect 0 "the data set is sound" linux_tool check
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
