#!/usr/bin/env bash
# Start-up of the real program: log header, single instance, tray check, language choice.
# Usage: tst_startup.sh PATH-TO-vellacast
GUI_APP=$1
source "$(dirname "$0")/harness.sh"

stamp='[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}'

start_and_wait_title() {
  local title=$1; shift
  gui_start_app "$@"
  gui_wait_title "$title" >/dev/null
}

# SIGTERM quits cleanly: exit code 0, lock file released (checked by the callers).
stop_app() {
  kill -TERM "$GUI_APP_PID"
  gui_wait_exit "$GUI_APP_PID"
  [ "$GUI_EXIT_CODE" = 0 ] || fail "exit code $GUI_EXIT_CODE after SIGTERM, expected 0"
  rm -f "$GUI_WORKDIR"/*.log "$GUI_WORKDIR"/vellacast.ini
}

echo "== an unwritable log file stops the program before anything else"
mkdir "$GUI_WORKDIR/vellacast_$(date +%d.%m.%Y).log"
(cd "$GUI_WORKDIR" && "$GUI_APP" >"$GUI_WORKDIR/fatal.txt" 2>&1) && fail "started without a log file"
grep -q 'Can not open log file: vellacast' "$GUI_WORKDIR/fatal.txt" || fail "no fatal message: $(cat "$GUI_WORKDIR/fatal.txt")"
rmdir "$GUI_WORKDIR/vellacast_$(date +%d.%m.%Y).log"

echo "== without a tray host: the no-tray box, exit code -1"
gui_start_display --no-tray
gui_start_app LANGUAGE=en LANG=en_US.UTF-8
box=$(gui_wait_window "$GUI_APP_PID")
gui_screenshot no-tray-box
gui_key "$box" Return
gui_wait_exit "$GUI_APP_PID"
[ "$GUI_EXIT_CODE" = 255 ] || fail "no-tray exit code $GUI_EXIT_CODE, expected 255 (-1)"
rm -f "$GUI_WORKDIR"/*.log
kill "${GUI_PIDS[@]}" 2>/dev/null || true
GUI_PIDS=()

echo "== with a tray host: the log begins with the separator and the start line"
gui_start_display
cat >"$GUI_WORKDIR/vellacast.ini" <<INI
[General]
language=en
INI
start_and_wait_title Vellacast
gui_screenshot main-window
mapfile -t lines < <(gui_log)
[[ "${lines[0]}" =~ ^$stamp\ \(W\):\ -{50}\ \(\|0\)$ ]] || fail "first line: ${lines[0]}"
[[ "${lines[1]}" =~ ^$stamp\ \(W\):\ Vellacast\ 1\.1\.15\ startup\ \(\|0\)$ ]] || fail "second line: ${lines[1]}"
gui_log | grep -q 'Can not load translator' && fail "English translation did not load"
[ -e "$GUI_WORKDIR/vellacast.lock" ] || fail "no lock file while running"

echo "== a second start in the same directory: the already-running box, exit code 1"
ini_before=$(stat -c '%Y %s' "$GUI_WORKDIR/vellacast.ini"; md5sum <"$GUI_WORKDIR/vellacast.ini")
first_pid=$GUI_APP_PID
gui_start_app LANGUAGE=en
box=$(gui_wait_window "$GUI_APP_PID")
[ "$(xdotool getwindowname "$box")" != Vellacast ] || true
gui_screenshot already-running-box
xdotool search --onlyvisible --pid "$GUI_APP_PID" | wc -l | grep -qx 1 || fail "second instance showed more than its box"
gui_key "$box" Return
gui_wait_exit "$GUI_APP_PID"
[ "$GUI_EXIT_CODE" = 1 ] || fail "second instance exit code $GUI_EXIT_CODE, expected 1"
ini_after=$(stat -c '%Y %s' "$GUI_WORKDIR/vellacast.ini"; md5sum <"$GUI_WORKDIR/vellacast.ini")
[ "$ini_before" = "$ini_after" ] || fail "the second instance changed vellacast.ini"
kill -0 "$first_pid" || fail "the first instance ended"
GUI_APP_PID=$first_pid
stop_app
[ -e "$GUI_WORKDIR/vellacast.lock" ] && fail "the lock file stayed after the program ended"

echo "== language=fr loads Russian"
printf '[General]\nlanguage=fr\n' >"$GUI_WORKDIR/vellacast.ini"
start_and_wait_title 'Веллакаст' LANGUAGE=en
gui_screenshot russian-window
gui_log | grep -q 'Can not load translator' && fail "Russian translation did not load"
stop_app

echo "== no language key and a German system: no translation, English texts"
start_and_wait_title Vellacast LANGUAGE=de_DE LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8
gui_log | grep -q '(D): System language "de-DE" (|0)' || fail "no system language line"
gui_log | grep -q '(W): Can not load translator (|0)' || fail "no translator warning"
stop_app

echo "PASS"
