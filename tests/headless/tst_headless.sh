#!/usr/bin/env bash
# The program without a display, as a service runs it: --login saves a session from standard
# input (a wrong password is refused with exit code 1), --headless without a session ends with
# exit code 1, and with it plays on a private sound server with the metrics endpoint on. The
# test scrapes /metrics, /healthz and /status.json, drops the heard stream through the demo
# service's switch and sees the heard source, the failover counter and its reason change; no
# page carries the session id, the user id or the password, raw or in Basic form. SIGTERM ends
# the program in order. The dashboard's queries name only metrics that the program exports.
# Usage: tst_headless.sh PATH-TO-vellacast PATH-TO-vellacast-devservice PATH-TO-DASHBOARD
GUI_APP=$1
service=$2
dashboard=$3
source "$(dirname "$0")/../gui/harness.sh"
unset DISPLAY WAYLAND_DISPLAY

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
endpoint="http://127.0.0.1:$port"
fetched="$GUI_WORKDIR/fetched"
mkdir -p "$fetched"
scrapes=0
# fetch PATH: the page's body on stdout, and a copy of it for the credential check.
fetch() {
  scrapes=$((scrapes + 1))
  curl -sS -m 5 -D "$fetched/$scrapes.head" "$endpoint$1" | tee "$fetched/$scrapes.body"
}
metric() {
  fetch /metrics | grep -E "^$1" | awk '{ print $NF }' | head -n1
}
run_app() {
  (cd "$GUI_WORKDIR" && env VELLACAST_SERVICE_URL="$GUI_SERVICE_URL" LANGUAGE=en "$GUI_APP" "$@")
}

gui_start_pulse
gui_start_service "$service" --streams 2 --tones
cat >"$GUI_WORKDIR/vellacast.ini" <<INI
[General]
language=en
silenceDetectionStartMs=1000
silenceDetectionEndMs=1000
failbackHoldMs=0
metricsAddress=127.0.0.1:$port
INI

echo "== --headless without a saved session"
status=0
run_app --headless >"$GUI_WORKDIR/out.txt" 2>"$GUI_WORKDIR/err.txt" || status=$?
[ "$status" = 1 ] || fail "--headless without a session ended with $status"
grep -q 'no saved session' "$GUI_WORKDIR/err.txt" || fail "stderr: $(cat "$GUI_WORKDIR/err.txt")"

echo "== --login with a wrong password, then the right one from standard input"
status=0
echo wrong | run_app --login demo >"$GUI_WORKDIR/out.txt" 2>"$GUI_WORKDIR/err.txt" || status=$?
[ "$status" = 1 ] || fail "a refused login ended with $status"
grep -q 'refused' "$GUI_WORKDIR/err.txt" || fail "stderr: $(cat "$GUI_WORKDIR/err.txt")"
echo demo | run_app --login demo >"$GUI_WORKDIR/out.txt" 2>"$GUI_WORKDIR/err.txt" ||
  fail "login: $(cat "$GUI_WORKDIR/err.txt")"
[ "$(cat "$GUI_WORKDIR/out.txt")" = "Vellacast Demo FM" ] || fail "login printed $(cat "$GUI_WORKDIR/out.txt")"
sid=$(sed -n 's/^sid=//p' "$GUI_WORKDIR/vellacast.ini")
[ -n "$sid" ] || fail "no session saved: $(cat "$GUI_WORKDIR/vellacast.ini")"
grep -q '^2\\streamUrl=.*/stream/2.mp3' "$GUI_WORKDIR/vellacast.ini" || fail "no sources saved"

echo "== --headless, under a stand-in for the service manager's notification socket"
notify_log="$GUI_WORKDIR/notify.txt"
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a") as log:
    while True:
        log.write(s.recv(4096).decode().replace("\n", " ") + "\n")
        log.flush()
' "$GUI_WORKDIR/notify.sock" "$notify_log" &
GUI_PIDS+=($!)
gui_wait_cond 10 "no notification socket" test -S "$GUI_WORKDIR/notify.sock"
GUI_APP_ARGS=(--headless)
gui_start_app VELLACAST_SERVICE_URL="$GUI_SERVICE_URL" LANGUAGE=en \
  NOTIFY_SOCKET="$GUI_WORKDIR/notify.sock" WATCHDOG_USEC=1000000
gui_wait_cond 30 "/healthz never said ok" sh -c "curl -fsS -m 5 $endpoint/healthz | grep -qx ok"
gui_wait_cond 20 "source 1 is not heard" \
  sh -c "curl -sS -m 5 $endpoint/metrics | grep -q '^vellacast_source_heard{address=\"[^\"]*/stream/1.mp3\",source=\"1\"} 1'"
gui_wait_cond 20 "source 1 has no bitrate or received bytes" \
  sh -c "curl -sS -m 5 $endpoint/metrics | grep -q '^vellacast_source_bitrate_bytes_per_second{address=\"[^\"]*/stream/1.mp3\",source=\"1\"} 16000$' &&
    curl -sS -m 5 $endpoint/metrics | grep -Eq '^vellacast_source_received_bytes_total\{address=\"[^\"]*/stream/1.mp3\",source=\"1\"\} [1-9]'"
gui_wait_cond 20 "source 1 has no loudness" \
  sh -c "curl -sS -m 5 $endpoint/metrics | grep -Eq '^vellacast_source_loudness_lufs\{address=\"[^\"]*/stream/1.mp3\",source=\"1\"\} -[0-9]'"
grep -q 'READY=1' "$notify_log" || fail "no readiness sent: $(cat "$notify_log")"
gui_wait_cond 10 "the watchdog is not fed" sh -c "[ \$(grep -c 'WATCHDOG=1' $notify_log) -ge 3 ]"
fetch /metrics >"$GUI_WORKDIR/metrics.txt"
fetch /healthz >/dev/null
fetch /status.json >"$GUI_WORKDIR/status.json"
python3 -c 'import json, sys; s = json.load(open(sys.argv[1])); assert s["heardSource"] == 1 and s["isLoggedIn"] and len(s["sourcesInfo"]) == 2, s' \
  "$GUI_WORKDIR/status.json" || fail "status.json: $(cat "$GUI_WORKDIR/status.json")"
for name in vellacast_source_playing vellacast_source_level_dbfs vellacast_failovers_total \
  vellacast_output_device_present vellacast_build_info vellacast_start_time_seconds \
  vellacast_state_reports_sent_total vellacast_logged_in; do
  grep -q "^$name" "$GUI_WORKDIR/metrics.txt" || fail "no $name in: $(cat "$GUI_WORKDIR/metrics.txt")"
done
if command -v promtool >/dev/null; then
  promtool check metrics <"$GUI_WORKDIR/metrics.txt" || fail "promtool found faults in the names"
else
  echo "promtool is not installed: names not checked"
fi

echo "== the dashboard loads and names exported metrics only"
python3 - "$dashboard" "$GUI_WORKDIR/metrics.txt" <<'PY' || fail "the dashboard does not fit the metrics"
import json, re, sys
dashboard = json.load(open(sys.argv[1]))
exported = set(re.findall(r"^# TYPE (\S+)", open(sys.argv[2]).read(), re.M))
exprs = [t["expr"] for p in dashboard["panels"] for t in p.get("targets", [])]
exprs += [v["query"] for v in dashboard.get("templating", {}).get("list", []) if "query" in v]
named = set(n for e in exprs for n in re.findall(r"\bvellacast_[a-z_]+", e))
assert exprs and named, "no queries"
missing = sorted(named - exported)
assert not missing, "not exported: %s" % missing
print("dashboard: %d queries over %d metrics" % (len(exprs), len(named)))
PY

echo "== the heard stream drops"
gui_service_post /control/stream/1/drop
dropped=$SECONDS
gui_wait_cond 10 "source 2 was not heard after the drop" \
  sh -c "curl -sS -m 5 $endpoint/metrics | grep -q '^vellacast_source_heard{address=\"[^\"]*/stream/2.mp3\",source=\"2\"} 1'"
fetch /metrics >"$GUI_WORKDIR/metrics-after.txt"
grep -E '^vellacast_failovers_total\{reason="(disconnected|stalled)"\} 1$' "$GUI_WORKDIR/metrics-after.txt" ||
  fail "no failover counted: $(grep failovers "$GUI_WORKDIR/metrics-after.txt")"
grep -q '^vellacast_source_heard{address="[^"]*/stream/1.mp3",source="1"} 0' "$GUI_WORKDIR/metrics-after.txt" ||
  fail "source 1 is still heard"
echo "failover seen $((SECONDS - dropped)) s after the drop"
fetch /status.json >/dev/null
fetch /healthz >/dev/null

echo "== no credential in anything fetched"
basic_session=$(printf '4217:%s' "$sid" | base64 -w0)
basic_login=$(printf 'demo:demo' | base64 -w0)
for secret in "$sid" "4217:" "4217@" ":demo" "$basic_session" "$basic_login" "Authorization"; do
  if grep -rqF -- "$secret" "$fetched"; then
    fail "a fetched page carries a credential: $(grep -rlF -- "$secret" "$fetched")"
  fi
done

echo "== SIGTERM ends it in order"
kill -TERM "$GUI_APP_PID"
gui_wait_exit "$GUI_APP_PID" 20
[ "$GUI_EXIT_CODE" = 0 ] || fail "the program ended with $GUI_EXIT_CODE"
gui_log_has 'Headless stop' || fail "no orderly stop in the log"
grep -q 'STOPPING=1' "$notify_log" || fail "no stop sent: $(cat "$notify_log")"
[ ! -e "$GUI_WORKDIR/vellacast.lock" ] || fail "the lock file stayed"
echo "PASS"
