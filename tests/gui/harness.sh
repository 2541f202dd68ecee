# GUI test harness: a virtual X display with a system-tray host, the real program in a fresh
# working directory, keys and clicks through xdotool, PNG screenshots.
#
# Source it from a test script, then:
#   gui_start_display [--no-tray]   start Xvfb on a free display (and a tray host)
#   gui_start_app [ENV=VALUE...]    start the program in $GUI_WORKDIR with the arguments in the
#                                   array GUI_APP_ARGS (none by default); sets GUI_APP_PID
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
GUI_APP=$(realpath "$GUI_APP")
# Under ThreadSanitizer the toolkit's own uninstrumented threads (D-Bus, X input) raise reports that
# are not ours; they must not turn an exit code into 66. Reports are still written to stdout.txt.
export TSAN_OPTIONS="${TSAN_OPTIONS:-} exitcode=0"
GUI_SHOTS=${GUI_SHOTS:-$PWD/gui-screenshots}
GUI_WORKDIR=$(mktemp -d /tmp/vellacast-gui.XXXXXX)
GUI_PIDS=()
mkdir -p "$GUI_SHOTS"

fail() {
  trap - ERR
  echo "FAIL: $*" >&2
  if [ -n "${DISPLAY:-}" ]; then gui_screenshot "failure-$(basename "$0" .sh)" || true; fi
  for log in "$GUI_WORKDIR"/*.log; do [ -f "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }; done
  if [ -s "$GUI_WORKDIR/stdout.txt" ]; then
    echo "--- program output (last lines)" >&2
    tail -n 40 "$GUI_WORKDIR/stdout.txt" >&2
  fi
  exit 1
}
# A command of the test script that fails outside a check ends the test with the same report
# (functions and command substitutions keep their own ways).
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

gui_cleanup() {
  local pid i
  # The program first, while its display still exists: a display that dies under it aborts it.
  if [ -n "${GUI_APP_PID:-}" ] && kill "$GUI_APP_PID" 2>/dev/null; then
    for i in $(seq 50); do kill -0 "$GUI_APP_PID" 2>/dev/null || break; sleep 0.1; done
  fi
  for pid in "${GUI_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.2
  for pid in "${GUI_PIDS[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$GUI_WORKDIR"
}
trap gui_cleanup EXIT

gui_start_display() {
  local fdfile attempt i xvfb tray
  fdfile=$(mktemp)
  # Servers started side by side by parallel tests can race for one display number; the loser
  # ends. Such a start is retried on the next free number.
  for attempt in 1 2 3 4 5; do
    : >"$fdfile"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
    xvfb=$!
    GUI_PIDS+=($xvfb)
    for i in $(seq 400); do [ -s "$fdfile" ] && break; sleep 0.05; done
    [ -s "$fdfile" ] || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$fdfile")"
    sleep 0.2
    kill -0 "$xvfb" 2>/dev/null && xdotool getdisplaygeometry >/dev/null 2>&1 && break
    kill "$xvfb" 2>/dev/null || true
    [ "$attempt" -lt 5 ] || fail "Xvfb did not stay up"
  done
  rm -f "$fdfile"
  [ "${1:-}" = "--no-tray" ] && return 0
  for attempt in 1 2 3; do
    trayer --expand false --widthtype request --align right >>"$GUI_WORKDIR/trayer.log" 2>&1 &
    tray=$!
    GUI_PIDS+=($tray)
    # The tray is there once somebody owns the tray selection of screen 0. Under a loaded
    # machine (parallel GUI tests) this takes seconds.
    for i in $(seq 400); do
      xdotool search --classname trayer >/dev/null 2>&1 && return 0
      kill -0 "$tray" 2>/dev/null || break
      sleep 0.05
    done
  done
  fail "the tray host did not start"
}

GUI_APP_ARGS=()
gui_start_app() {
  (cd "$GUI_WORKDIR" && exec env "$@" "$GUI_APP" "${GUI_APP_ARGS[@]}") \
    >"$GUI_WORKDIR/stdout.txt" 2>&1 &
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

# Each test reads its own copy; the shared folder gets the picture by an atomic rename, so tests
# running side by side never read or show a half-written file.
gui_screenshot() {
  mkdir -p "$GUI_WORKDIR/shots"
  import -display "$DISPLAY" -window root "$GUI_WORKDIR/shots/$1.png"
  cp "$GUI_WORKDIR/shots/$1.png" "$GUI_SHOTS/.$1.$$.png"
  mv -f "$GUI_SHOTS/.$1.$$.png" "$GUI_SHOTS/$1.png"
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

# --- The demo service -------------------------------------------------------------------------
#   gui_start_service PROGRAM [ARGS...]  start it on a free port; sets GUI_SERVICE_URL
#   gui_service_post PATH                POST an empty body, e.g. /control/stream/1/silent
#   gui_service_json PYTHON-EXPRESSION   evaluate an expression over status.json (as `s`)
#   gui_wait_service EXPRESSION [TIMEOUT] wait until the expression is true
#   gui_wait_log REGEX [TIMEOUT]         wait until a line of the program's log matches
#   gui_wait_cond TIMEOUT MESSAGE CMD... wait until CMD succeeds, or fail with MESSAGE
#   gui_visible WINDOW                   succeeds while the window is shown

gui_start_service() {
  local program=$1; shift
  local out="$GUI_WORKDIR/devservice.txt"
  "$program" --port 0 "$@" >"$out" 2>&1 &
  GUI_PIDS+=($!)
  local pid=$! i
  for i in $(seq 200); do
    grep -q 'listening on http' "$out" && break
    kill -0 "$pid" 2>/dev/null || fail "the demo service ended: $(cat "$out")"
    sleep 0.05
  done
  GUI_SERVICE_URL=$(sed -n 's/.*listening on \(http[^ ]*\).*/\1/p' "$out" | head -n1)
  [ -n "$GUI_SERVICE_URL" ] || fail "the demo service did not start: $(cat "$out")"
}

gui_service_post() {
  curl -fsS -m 5 -X POST -d '' "$GUI_SERVICE_URL$1" >/dev/null || fail "POST $1 failed"
}

gui_service_json() {
  curl -fsS -m 5 "$GUI_SERVICE_URL/status.json" |
    python3 -c 'import json, sys; s = json.load(sys.stdin); r = eval(sys.argv[1]); print(r if not isinstance(r, bool) else ""); sys.exit(0 if r else 1)' "$1"
}

gui_wait_cond() {
  local timeout=$1 message=$2; shift 2
  local end=$((SECONDS + timeout))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || fail "$message (waited ${timeout}s)"
    sleep 0.2
  done
}

gui_wait_service() {
  gui_wait_cond "${2:-20}" "the demo service never showed: $1" gui_service_json "$1"
}

gui_log_has() {
  gui_log | grep -Eq -- "$1"
}

gui_wait_log() {
  gui_wait_cond "${2:-20}" "no log line matching: $1" gui_log_has "$1"
}

gui_visible() {
  xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'
}

# --- Pixels -----------------------------------------------------------------------------------
#   gui_red_pixels NAME X Y W H   how many clearly red pixels the screenshot NAME has in that box
gui_red_pixels() {
  convert "$GUI_WORKDIR/shots/$1.png" -crop "${4}x${5}+${2}+${3}" +repage \
    -fx '(r > 0.6 && g < 0.35 && b < 0.35) ? 1 : 0' -format '%[fx:round(mean*w*h)]' info:
}

# --- Window manager requests (no window manager runs) -----------------------------------------
#   gui_close WINDOW   ask a window to close, as a window manager's close button does
gui_close() {
  python3 - "$1" <<'PY' || fail "could not send the close request"
import ctypes, sys
x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                           ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]

class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit(1)
window = int(sys.argv[1])
event = Event()
event.xclient.type = 33  # ClientMessage
event.xclient.window = window
event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.xclient.format = 32
event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
if not x11.XSendEvent(display, window, 0, 0, ctypes.byref(event)):
    sys.exit(1)
x11.XFlush(display)
x11.XCloseDisplay(display)
PY
}

#   gui_wait_red NAME X Y W H [TIMEOUT]   take screenshots as NAME until the box shows red text
gui_wait_red() {
  local name=$1 end=$((SECONDS + ${6:-10}))
  while :; do
    gui_screenshot "$name"
    [ "$(gui_red_pixels "$name" "$2" "$3" "$4" "$5")" -gt 20 ] && return 0
    [ $SECONDS -lt $end ] || fail "no red text in ${4}x${5}+${2}+${3} of $name"
    sleep 0.2
  done
}

#   gui_wait_no_red NAME X Y W H [TIMEOUT]  the same until the box has no red left
gui_wait_no_red() {
  local name=$1 end=$((SECONDS + ${6:-10}))
  while :; do
    gui_screenshot "$name"
    [ "$(gui_red_pixels "$name" "$2" "$3" "$4" "$5")" -le 20 ] && return 0
    [ $SECONDS -lt $end ] || fail "red text stayed in ${4}x${5}+${2}+${3} of $name"
    sleep 0.2
  done
}

#   gui_wait_new_red NAME PREVIOUS X Y W H [TIMEOUT]  like gui_wait_red, until the red text in
#                                   the box is not what the screenshot PREVIOUS showed there
gui_wait_new_red() {
  local name=$1 previous=$2 end=$((SECONDS + ${7:-10}))
  shift 2
  while :; do
    gui_wait_red "$name" "$@"
    gui_same_box "$previous" "$name" "$1" "$2" "$3" "$4" || return 0
    [ $SECONDS -lt $end ] || fail "the text in ${3}x${4}+${1}+${2} stayed as in $previous"
    sleep 0.2
  done
}

#   gui_same_box A B X Y W H   succeeds when two screenshots are equal in that box
gui_same_box() {
  local crop="${5}x${6}+${3}+${4}"
  [ "$(compare -metric AE "$GUI_WORKDIR/shots/$1.png[$crop]" "$GUI_WORKDIR/shots/$2.png[$crop]" null: 2>&1)" = 0 ]
}

gui_ini() {
  grep -E -- "$1" "$GUI_WORKDIR/vellacast.ini"
}

#   gui_pixel NAME X Y                    "R,G,B" (0-255) of a screenshot's pixel
#   gui_wait_pixel NAME X Y REGEX [TIMEOUT]  take screenshots as NAME until that pixel matches
gui_pixel() {
  convert "$GUI_WORKDIR/shots/$1.png" -format \
    "%[fx:round(255*p{$2,$3}.r)],%[fx:round(255*p{$2,$3}.g)],%[fx:round(255*p{$2,$3}.b)]" info:
}

gui_wait_pixel() {
  local name=$1 end=$((SECONDS + ${5:-10})) rgb
  while :; do
    gui_screenshot "$name"
    rgb=$(gui_pixel "$name" "$2" "$3")
    [[ "$rgb" =~ $4 ]] && return 0
    [ $SECONDS -lt $end ] || fail "pixel $2,$3 of $name is $rgb, not $4"
    sleep 0.2
  done
}

# --- The tray (trayer puts the icon into the bottom-right corner of the 1280x800 screen) ------
GUI_TRAY_X=1267
GUI_TRAY_Y=787

gui_tray_click() {
  xdotool mousemove "$GUI_TRAY_X" "$GUI_TRAY_Y" click 1
}

#   gui_tray_menu_open [NAME]   open the tray menu; the screenshot NAME shows it
#   gui_tray_menu_choose Y      open the tray menu and click the entry at screen height Y
gui_tray_menu_open() {
  xdotool mousemove "$GUI_TRAY_X" "$GUI_TRAY_Y" click 3
  # The menu opens above the icon and covers the black screen there.
  gui_wait_pixel "${1:-tray-menu}" 1272 700 '^2[0-9][0-9],2[0-9][0-9],2[0-9][0-9]$' 5
}

gui_tray_menu_close() {
  xdotool key Escape
  gui_wait_pixel tray-menu-closed 1272 700 '^0,0,0$' 5
}

gui_tray_menu_choose() {
  gui_tray_menu_open
  xdotool mousemove 1150 "$1" click 1
}

# --- A private sound server (tests/support/pulse-daemon.sh) -----------------------------------
#   gui_start_pulse   start it in the work directory and export PULSE_SERVER
gui_start_pulse() {
  local script dir="$GUI_WORKDIR/pulse"
  script="$(cd "$(dirname "${BASH_SOURCE[0]}")/../support" && pwd)/pulse-daemon.sh"
  PULSE_SERVER=$(bash "$script" start "$dir") || fail "the sound server did not start"
  export PULSE_SERVER
  GUI_PIDS+=($(head -n1 "$dir/run/pid") $(cat "$dir/keepalive.pid"))
}

#   gui_ink_width NAME X Y W H    width of what is drawn on the box's plain background
#   gui_wait_ink_change NAME WIDTH X Y W H [TIMEOUT]  take screenshots as NAME until that width
#                                 is no longer WIDTH; prints the new width
gui_ink_width() {
  convert "$GUI_WORKDIR/shots/$1.png" -crop "${4}x${5}+${2}+${3}" +repage -fuzz 10% -trim -format '%w' info:
}

gui_wait_ink_change() {
  local name=$1 width=$2 end=$((SECONDS + ${7:-10})) now
  while :; do
    gui_screenshot "$name"
    now=$(gui_ink_width "$name" "$3" "$4" "$5" "$6")
    [ "$now" != "$width" ] && { echo "$now"; return 0; }
    [ $SECONDS -lt $end ] || fail "the drawing in ${5}x${6}+${3}+${4} of $name did not change"
    sleep 0.2
  done
}
