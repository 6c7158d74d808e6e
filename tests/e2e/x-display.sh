#!/bin/sh
# The X server of an end-to-end test run, started and ended by the run's
# test fixture:
#   x-display.sh start DIR   starts Xvfb on the first free display number and
#                            writes its name (":N") to DIR/display
#   x-display.sh stop DIR    ends it
# The server's output goes to DIR/xvfb.log, its pid to DIR/xvfb.pid.
set -eu

if [ $# -ne 2 ] || { [ "$1" != start ] && [ "$1" != stop ]; }; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi
dir=$2

# Running and not a zombie: a server that ended stays a zombie until its
# parent, which may be no longer this script, collects it.
alive() {
  [ -r "/proc/$1/stat" ] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat" 2>/dev/null
}

stop() {
  if [ -f "$dir/xvfb.pid" ]; then
    pid=$(cat "$dir/xvfb.pid")
    # Only the server this script started: the number may belong to
    # another process by now.
    if alive "$pid" && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ]; then
      kill "$pid"
      tries=0
      while alive "$pid" && [ "$tries" -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
      done
      if alive "$pid"; then kill -KILL "$pid"; fi
    fi
  fi
  rm -f "$dir/display" "$dir/display-number" "$dir/xvfb.pid"
}

start() {
  mkdir -p "$dir"
  stop  # a server left by an interrupted run
  : >"$dir/display-number"
  # -displayfd: the server takes the first free display number and writes it
  # to descriptor 3 once it accepts connections. Its output goes to the log,
  # not to the test runner, which would otherwise wait for it to end.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp -noreset \
    3>"$dir/display-number" </dev/null >"$dir/xvfb.log" 2>&1 &
  pid=$!
  echo "$pid" >"$dir/xvfb.pid"
  tries=0
  until grep -q '^[0-9][0-9]*$' "$dir/display-number"; do
    if ! alive "$pid"; then
      echo "Xvfb ended before it announced a display; its output:" >&2
      cat "$dir/xvfb.log" >&2
      exit 1
    fi
    if [ "$tries" -ge 200 ]; then
      echo "Xvfb announced no display within 20 s; its output:" >&2
      cat "$dir/xvfb.log" >&2
      stop
      exit 1
    fi
    sleep 0.1
    tries=$((tries + 1))
  done
  echo ":$(cat "$dir/display-number")" >"$dir/display"
  echo "Xvfb (pid $pid) on display $(cat "$dir/display")"
}

"$1"
