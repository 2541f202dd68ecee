#!/usr/bin/env bash
# Starts or stops a private sound server with a null output ("vsink", 48000 Hz) and a null
# input ("vmic") for tests that need real devices. No systemd, no D-Bus; works as root.
#
#   pulse-daemon.sh start DIR   starts it with its state in DIR and prints the server address
#                               (unix:DIR/native); exit status 1 when it cannot start
#   pulse-daemon.sh stop DIR    stops the server and its keep-alive player
#
# Use the printed address as PULSE_SERVER for the programs under test.
set -u
cmd=${1:-}
dir=${2:-}
if [ -z "$cmd" ] || [ -z "$dir" ]; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi

case "$cmd" in
start)
  command -v pulseaudio >/dev/null || { echo "pulseaudio is not installed" >&2; exit 1; }
  mkdir -p "$dir/run" "$dir/state" "$dir/cfg"
  cat >"$dir/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=vsink rate=48000 sink_properties=device.description=VirtualSink
load-module module-null-source source_name=vmic description=VirtualMic
set-default-sink vsink
set-default-source vsink.monitor
PA
  PULSE_RUNTIME_PATH=$dir/run PULSE_STATE_PATH=$dir/state PULSE_CONFIG_PATH=$dir/cfg \
    pulseaudio --daemonize=yes --system=no --disallow-exit --exit-idle-time=-1 \
    --disable-shm=yes -n -F "$dir/default.pa" --log-target="file:$dir/pa.log" 2>>"$dir/start.log"
  export PULSE_SERVER="unix:$dir/native"
  for _ in $(seq 1 50); do
    if pactl info >/dev/null 2>&1; then
      # Keeps the null sink running, so that a new stream starts playing at once.
      pacat --playback --raw --latency-msec=20 --device=vsink /dev/zero \
        </dev/null >/dev/null 2>&1 &
      echo $! >"$dir/keepalive.pid"
      echo "$PULSE_SERVER"
      exit 0
    fi
    sleep 0.1
  done
  echo "the sound server did not start; see $dir/pa.log" >&2
  exit 1
  ;;
stop)
  if [ -f "$dir/keepalive.pid" ]; then
    kill "$(cat "$dir/keepalive.pid")" 2>/dev/null
    rm -f "$dir/keepalive.pid"
  fi
  if [ -f "$dir/run/pid" ]; then
    pid=$(head -n1 "$dir/run/pid")
    kill "$pid" 2>/dev/null
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
  exit 0
  ;;
*)
  echo "usage: $0 start|stop DIR" >&2
  exit 2
  ;;
esac
