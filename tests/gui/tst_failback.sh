#!/usr/bin/env bash
# Failover on a congested primary, heard on a private sound server: the primary stream (440 Hz)
# trickles at 70 % of real time for 45 s while the backup (880 Hz) is healthy. The station goes
# to the backup at most once and does not come back while the congestion lasts; the primary is
# heard again once it has played for the hold time after the congestion; no switch leaves dead
# air. The main view shows the held-back row with the time left, and the reports carry it.
# Usage: tst_failback.sh PATH-TO-vellacast PATH-TO-vellacast-devservice
GUI_APP=$1
service=$2
source "$(dirname "$0")/harness.sh"

# Longer than the primary plays between two stalls of the congestion (about 10 s), and the longest
# hold too, so that it does not double.
hold_ms=15000
congestion_s=45
main_title='Vellacast - Vellacast Demo FM Riverton'
info="(s['sessions'][-1]['lastReport'] or {}).get('sourcesInfo', [])"
timeline="$(cd "$(dirname "$0")/../support" && pwd)/tone-timeline.py"

gui_start_pulse
gui_start_display
gui_start_service "$service" --streams 2 --tones
cat >"$GUI_WORKDIR/vellacast.ini" <<INI
[General]
language=en
outputDeviceIndex=3
username=demo
silenceDetectionStartMs=1000
silenceDetectionEndMs=1000
failbackHoldMs=$hold_ms
failbackHoldMaxMs=$hold_ms

[sources]
1\\streamUrl=$GUI_SERVICE_URL/stream/1.mp3
1\\volumeLevel=1
2\\streamUrl=$GUI_SERVICE_URL/stream/2.mp3
2\\volumeLevel=1
size=2
INI
gui_start_app LANGUAGE=en VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
gui_wait_title Vellacast 60 >/dev/null
xdotool type --delay 20 demo
xdotool key Return
window=$(gui_wait_title "$main_title" 30)
gui_wait_service "[(x['isActive'], x['isConnected'], x['isSilentSound']) for x in $info] == [(True, True, False), (False, True, False)]" 30

echo "== the primary trickles for ${congestion_s}s; what the listener hears is recorded"
capture="$GUI_WORKDIR/heard.raw"
parec -d vsink.monitor --raw --format=s16le --rate=44100 --channels=2 >"$capture" &
GUI_PIDS+=($!)
capture_pid=$!
capture_start=$(date +%s.%N)
sleep 1
gui_service_post /control/stream/1/trickle
congestion_start=$(date +%s.%N)
gui_wait_log 'KLPlayer #2 [^"]*" isActive changed to true' 40
# The engine raised the backup itself in the period that the primary ran dry.
gui_wait_log 'KLPlayer #1 [^"]*" Ran dry, the next source took over at once' 10
echo "== the primary plays again but is held back; the view and the reports tell how long"
gui_wait_service "$info[0]['isHeldBack'] and $info[0]['isConnected']" 30
gui_service_json "0 < $info[0]['heldBackRemainingMs'] <= $hold_ms and $info[1]['isActive']" ||
  fail "report: $(gui_service_json "$info")"
gui_screenshot main-held-back-en
left=$((congestion_s - (${EPOCHREALTIME%.*} - ${congestion_start%.*})))
if [ "$left" -gt 0 ]; then sleep "$left"; fi
gui_service_post /control/stream/1/normal
congestion_end=$(date +%s.%N)

echo "== after the congestion the primary comes back after its hold"
gui_wait_cond $((hold_ms / 1000 + 20)) "the primary was not heard again" \
  gui_service_json "$info[0]['isActive'] and not $info[0]['isHeldBack']"
sleep 2
kill "$capture_pid"
wait "$capture_pid" 2>/dev/null || true
python3 "$timeline" "$capture" 440 880 >"$GUI_WORKDIR/timeline.json"
# The primary's last return to play, from the log (whole seconds), on the recording's clock.
last_return=$(gui_log | grep -E 'KLPlayer #1 [^"]*" isConnected changed to true' | tail -n1 |
  cut -c1-19)
last_return=$(date -d "$(echo "$last_return" | sed -E 's/^(..)\.(..)\.(....) /\3-\2-\1 /')" +%s)
python3 - "$GUI_WORKDIR/timeline.json" "$capture_start" "$congestion_start" "$congestion_end" \
  "$last_return" "$hold_ms" <<'PY' || fail "what was heard: $(cat "$GUI_WORKDIR/timeline.json")"
import json, sys
t = json.load(open(sys.argv[1]))
start, c0, c1, back = (float(x) for x in sys.argv[2:6])
hold = int(sys.argv[6])
c0, c1, back = ((x - start) * 1000 for x in (c0, c1, back))
switches = t["switches"]
for sw in switches:
    print("switch at %.2f s: %s -> %s Hz, dead air %d ms" % (sw["atMs"] / 1000, sw["from"], sw["to"], sw["deadAirMs"]))
print("congestion %.2f to %.2f s; the primary last came back at %.0f s; dead air in all %d ms"
      % (c0 / 1000, c1 / 1000, back / 1000, t["deadAirMs"]))
during = [sw for sw in switches if c0 <= sw["atMs"] <= c1]
assert len(during) <= 1 and all(sw["to"] == 880 for sw in during), "the station flapped"
assert [sw["to"] for sw in switches] == [880, 440], "expected one switch away and one back"
# Log times are whole seconds: the return may lie up to 1 s before the logged second.
assert switches[1]["atMs"] >= back + hold - 1000, "the primary came back before its hold"
assert switches[1]["atMs"] > c1, "the primary came back during the congestion"
# A starved machine (parallel builds and tests on two cores) underruns the output now and then;
# where the recording shows that away from the switches, one such 20 ms window at a switch is
# not laid at the switch's door. A quiet machine gets no dead air at all.
starved = t["deadAirMs"] > sum(sw["deadAirMs"] for sw in switches)
allowed = t["windowMs"] if starved else 0
assert all(sw["deadAirMs"] <= allowed for sw in switches), "dead air at a switch"
PY
echo "PASS"
