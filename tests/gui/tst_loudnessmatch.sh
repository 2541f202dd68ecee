#!/usr/bin/env bash
# Loudness matching heard on a private sound server: a quiet primary (440 Hz, about -27 LUFS)
# and a loud backup (880 Hz, about -14 LUFS) with "Match loudness" on. The primary drops; the
# station's loudness (ffmpeg's EBU R128 filter on the recording) steps by at most 1 LU at the
# switch, without dead air. The main view shows each source's loudness.
# Usage: tst_loudnessmatch.sh PATH-TO-vellacast PATH-TO-vellacast-devservice
GUI_APP=$1
service=$2
source "$(dirname "$0")/harness.sh"

main_title='Vellacast - Vellacast Demo FM Riverton'
info="(s['sessions'][-1]['lastReport'] or {}).get('sourcesInfo', [])"
timeline="$(cd "$(dirname "$0")/../support" && pwd)/tone-timeline.py"

gui_start_pulse
gui_start_display
gui_start_service "$service" --streams 2 --tones --burst-ms 5000 --tone-gain-db 1:-20 \
  --tone-gain-db 2:-7
cat >"$GUI_WORKDIR/vellacast.ini" <<INI
[General]
language=en
outputDeviceIndex=3
username=demo
silenceDetectionStartMs=1000
silenceDetectionEndMs=1000
loudnessMatch=true
INI
gui_start_app LANGUAGE=en VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
gui_wait_title Vellacast 60 >/dev/null
xdotool type --delay 20 demo
xdotool key Return
gui_wait_title "$main_title" 30 >/dev/null
gui_wait_service "[(x['isActive'], x['isConnected'], x['isSilentSound']) for x in $info] == [(True, True, False), (False, True, False)]" 30

# Both gains settle within a few seconds of measured audio.
sleep 6
gui_screenshot main-loudness-en
capture="$GUI_WORKDIR/heard.raw"
parec -d vsink.monitor --raw --format=s16le --rate=44100 --channels=2 --latency-msec=50 \
  >"$capture" &
capture_pid=$!
GUI_PIDS+=($capture_pid)
sleep 5
echo "== the primary drops"
on_air() { [ "$(gui_log | grep -cE 'KLPlayer #2 [^"]*" isActive changed to true')" -ge "$1" ]; }
heard_before=$(gui_log | grep -cE 'KLPlayer #2 [^"]*" isActive changed to true' || true)
gui_service_post /control/stream/1/drop
gui_wait_cond 30 "the backup did not go on air" on_air $((heard_before + 1))
# The engine raised the backup itself in the period that the primary ran dry.
gui_wait_log 'KLPlayer #1 [^"]*" Ran dry, the next source took over at once' 10
sleep 6
kill "$capture_pid"
wait "$capture_pid" 2>/dev/null || true
python3 "$timeline" "$capture" 440 880 >"$GUI_WORKDIR/timeline.json"
ffmpeg -nostats -v verbose -f s16le -ar 44100 -ac 2 -i "$capture" -af ebur128=framelog=verbose -f null - \
  2>"$GUI_WORKDIR/ebur128.txt" || fail "ffmpeg could not measure the recording"
python3 - "$GUI_WORKDIR/timeline.json" "$GUI_WORKDIR/ebur128.txt" <<'PY' || fail "what was heard: $(cat "$GUI_WORKDIR/timeline.json")"
import json, re, statistics, sys
t = json.load(open(sys.argv[1]))
switches = t["switches"]
assert [(s["from"], s["to"]) for s in switches] == [(440, 880)], "expected one switch to the backup"
at = switches[0]["atMs"] / 1000
frames = [(float(a), float(b)) for a, b in
          re.findall(r"t:\s*([0-9.]+)\s+TARGET:\S+\s+LUFS\s+M:\s*(-?[0-9.]+)", open(sys.argv[2]).read())]
# Momentary loudness (400 ms) away from the switch on both sides.
before = [m for s, m in frames if at - 3 <= s <= at - 0.2]
after = [m for s, m in frames if at + 0.8 <= s <= at + 3.5]
assert before and after, "the recording is too short around the switch"
before, after = statistics.median(before), statistics.median(after)
print("switch at %.2f s, dead air %d ms; loudness before %.2f LUFS, after %.2f LUFS, step %.2f LU"
      % (at, switches[0]["deadAirMs"], before, after, after - before))
assert abs(after - before) <= 1.0, "the loudness stepped at the switch"
assert abs(before + 23) <= 1.5, "the primary was not brought to the target"
# A starved machine underruns the output now and then; where the recording shows that away from
# the switch, one such window at the switch is not laid at its door.
starved = t["deadAirMs"] > switches[0]["deadAirMs"]
assert switches[0]["deadAirMs"] <= (t["windowMs"] if starved else 0), "dead air at the switch"
PY
echo "PASS"
