#!/usr/bin/env bash
# The first programme heard at start is the first source's, also when the second source answers
# first: the program starts five times (the first time through the login) with two healthy
# sources whose first (440 Hz) answers a second late; a recording of the private sound server
# must never hold the second source's tone (880 Hz). Default settings.
# Usage: tst_startorder.sh PATH-TO-vellacast PATH-TO-vellacast-devservice
GUI_APP=$1
service=$2
source "$(dirname "$0")/harness.sh"

starts=5
main_title='Vellacast - Vellacast Demo FM Riverton'
timeline="$(cd "$(dirname "$0")/../support" && pwd)/tone-timeline.py"

gui_start_pulse
gui_start_display
# Stations send a few seconds at once to a new listener, as most do, so that a start takes about
# as long as the connection; the first source answers a second late.
gui_start_service "$service" --streams 2 --tones --burst-ms 5000 --late 1:1000
cat >"$GUI_WORKDIR/vellacast.ini" <<INI
[General]
language=en
outputDeviceIndex=3
username=demo
INI

connected() {
  [ "$(gui_log | grep -cE "KLPlayer #$1 [^\"]*\" isConnected changed to true")" -ge "$2" ]
}

for run in $(seq "$starts"); do
  echo "== start $run"
  capture="$GUI_WORKDIR/heard-$run.raw"
  parec -d vsink.monitor --raw --format=s16le --rate=44100 --channels=2 >"$capture" &
  capture_pid=$!
  GUI_PIDS+=($capture_pid)
  gui_start_app LANGUAGE=en VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
  if [ "$run" = 1 ]; then
    gui_wait_title Vellacast 60 >/dev/null
    xdotool type --delay 20 demo
    xdotool key Return
  fi
  gui_wait_title "$main_title" 60 >/dev/null
  gui_wait_cond 30 "the second source did not connect" connected 2 "$run"
  gui_wait_cond 30 "the first source did not connect" connected 1 "$run"
  # The first source is heard for a while before the recording ends.
  sleep 1
  kill "$GUI_APP_PID"
  gui_wait_exit "$GUI_APP_PID" 30
  kill "$capture_pid"
  wait "$capture_pid" 2>/dev/null || true
  python3 "$timeline" "$capture" 440 880 >"$GUI_WORKDIR/timeline-$run.json"
  python3 - "$GUI_WORKDIR/timeline-$run.json" <<'PY' || fail "start $run heard: $(cat "$GUI_WORKDIR/timeline-$run.json")"
import json, sys
t = json.load(open(sys.argv[1]))
tones = [s for s in t["segments"] if not isinstance(s[0], str)]
print("heard:", ", ".join("%g Hz from %d ms" % (s[0], s[1]) for s in tones))
assert tones and tones[0][0] == 440, "the first programme heard was not the first source's"
assert all(s[0] != 880 for s in tones), "the second source was heard"
PY
done
gui_log | grep -q 'KLPlayer #2 [^"]*" isActive changed to true' && fail "the second source went on air"
echo "PASS"
