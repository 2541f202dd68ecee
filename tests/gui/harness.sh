# GUI test harness: a virtual X display with a system-tray host, the real program in a fresh
# working directory, keys and clicks through xdotool, PNG screenshots.
#
# Source it from a test script, then:
#   gui_start_display [--no-tray]   start Xvfb on a free display (and a tray host)
#   gui_start_app [ENV=VALUE...]    start the program in $GUI_WORKDIR; sets GUI_APP_PID
#   gui_wait_window PID [TIMEOUT]   wait until PID shows a window; prints its id
#   gui_wait_title TITLE [TIMEOUT]  wait for a window with exactly that title; prints its id
#   gui_key WINDOW KEY...           send keys to a window
#   gui_click WINDOW X Y            click at window-relative coordinates
#   gui_screenshot NAME             save the whole screen as $GUI_SHOTS/NAME.png
#   gui_wait_exit PID [TIMEOUT]     wait for the process to end; sets GUI_EXIT_CODE
#   fail MESSAGE                    report and stop
# Everything started here is stopped when the script exits.

set -euo pipefail

GUI_APP=${GUI_APP:?GUI_APP must name the program to test}
GUI_SHOTS=${GUI_SHOTS:-$PWD/gui-screenshots}
GUI_WORKDIR=$(mktemp -d /tmp/vellacast-gui.XXXXXX)
GUI_PIDS=()
mkdir -p "$GUI_SHOTS"

fail() {
  echo "FAIL: $*" >&2
  if [ -n "${DISPLAY:-}" ]; then gui_screenshot "failure-$(basename "$0" .sh)" || true; fi
  for log in "$GUI_WORKDIR"/*.log; do [ -f "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }; done
  exit 1
}

gui_cleanup() {
  local pid
  for pid in "${GUI_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.2
  for pid in "${GUI_PIDS[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$GUI_WORKDIR"
}
trap gui_cleanup EXIT

gui_start_display() {
  local fdfile
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  GUI_PIDS+=($!)
  local i
  for i in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.05; done
  [ -s "$fdfile" ] || fail "Xvfb did not start"
  export DISPLAY=":$(head -n1 "$fdfile")"
  rm -f "$fdfile"
  if [ "${1:-}" != "--no-tray" ]; then
    trayer --expand false --widthtype request --align right >/dev/null 2>&1 &
    GUI_PIDS+=($!)
    # The tray is there once somebody owns the tray selection of screen 0.
    for i in $(seq 100); do
      xdotool search --classname trayer >/dev/null 2>&1 && return 0
      sleep 0.05
    done
    fail "the tray host did not start"
  fi
}

gui_start_app() {
  (cd "$GUI_WORKDIR" && exec env "$@" "$GUI_APP") >"$GUI_WORKDIR/stdout.txt" 2>&1 &
  GUI_APP_PID=$!
  GUI_PIDS+=($GUI_APP_PID)
}

gui_wait_window() {
  local pid=$1 timeout=${2:-20} id
  local end=$((SECONDS + timeout))
  while [ $SECONDS -lt $end ]; do
    id=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -n1 || true)
    # Let the toolkit finish showing it before anyone types into it.
    [ -n "$id" ] && { sleep 0.5; echo "$id"; return 0; }
    kill -0 "$pid" 2>/dev/null || fail "process $pid ended before it showed a window"
    sleep 0.1
  done
  fail "process $pid showed no window within ${timeout}s"
}

gui_wait_title() {
  local title=$1 timeout=${2:-20} id
  local end=$((SECONDS + timeout))
  while [ $SECONDS -lt $end ]; do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && { sleep 0.5; echo "$id"; return 0; }
    sleep 0.1
  done
  fail "no window titled '$title' within ${timeout}s"
}

gui_key() {
  local window=$1; shift
  # No window manager runs: give the window the input focus and type through XTEST.
  xdotool windowfocus --sync "$window"
  xdotool key "$@"
}

gui_click() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
}

gui_screenshot() {
  import -display "$DISPLAY" -window root "$GUI_SHOTS/$1.png"
}

gui_wait_exit() {
  local pid=$1 timeout=${2:-20}
  local end=$((SECONDS + timeout))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt $end ] || fail "process $pid did not exit within ${timeout}s"
    sleep 0.1
  done
  GUI_EXIT_CODE=0
  wait "$pid" || GUI_EXIT_CODE=$?
}

gui_log() {
  cat "$GUI_WORKDIR"/vellacast_*.log 2>/dev/null
}
