#!/usr/bin/env bash
# The program on the desktop: "Start at login" in the tray menu and the main view writes and
# removes this working directory's autostart entry (under XDG_CONFIG_HOME), which starts the
# program minimised in this directory; a failover against the demo service shows a tray
# notification naming the source on air and why, and the next change within the rate limit's
# interval is held back; then the same in Russian, started as the autostart entry starts it.
# Usage: tst_desktop.sh PATH-TO-vellacast PATH-TO-vellacast-devservice
GUI_APP=$1
service=$2
source "$(dirname "$0")/harness.sh"

main_title='Vellacast - Vellacast Demo FM Riverton'
info="(s['sessions'][-1]['lastReport'] or {}).get('sourcesInfo', [])"
tray_autostart_y=639
autostart_check_box=(30 377)
export XDG_CONFIG_HOME="$GUI_WORKDIR/config"
autostart_entry() {
  ls "$XDG_CONFIG_HOME"/autostart/vellacast-*.desktop 2>/dev/null
}
# The tray's message pops up above the icon, in the screen's bottom right corner, which is black
# without it.
notification_box=(880 560 390 210)
notification_shown() {
  gui_screenshot "$1"
  [ "$(convert "$GUI_WORKDIR/shots/$1.png" -crop "${notification_box[2]}x${notification_box[3]}+${notification_box[0]}+${notification_box[1]}" +repage -format '%[fx:round(100*mean)]' info:)" -gt 10 ]
}

gui_start_display
gui_start_service "$service" --streams 2
cat >"$GUI_WORKDIR/vellacast.ini" <<INI
[General]
language=en
outputDeviceIndex=1
username=demo
silenceDetectionStartMs=1000
silenceDetectionEndMs=1000
INI
gui_start_app LANGUAGE=en VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
window=$(gui_wait_title Vellacast 60)
xdotool type --delay 20 demo
xdotool key Return
window=$(gui_wait_title "$main_title" 30)
gui_wait_service "[(x['isActive'], x['isConnected'], x['isSilentSound']) for x in $info] == [(True, True, False), (False, True, False)]" 30

echo "== 'Start at login' in the tray writes the entry; the main view's box removes it"
[ -z "$(autostart_entry)" ] || fail "an autostart entry before anybody asked"
gui_tray_menu_open tray-menu-autostart-off-en
xdotool mousemove 1150 $tray_autostart_y click 1
gui_wait_cond 5 "no autostart entry was written" autostart_entry
entry=$(autostart_entry)
grep -qxF "Path=$GUI_WORKDIR" "$entry" || fail "the entry does not start in $GUI_WORKDIR: $(cat "$entry")"
grep -qxF "Exec=\"$GUI_APP\" --minimized" "$entry" || fail "the entry's Exec: $(cat "$entry")"
desktop-file-validate "$entry" || fail "the entry is not a valid desktop entry"
gui_tray_menu_open tray-menu-autostart-on-en
gui_tray_menu_close
gui_screenshot main-autostart-on-en
gui_click "$window" "${autostart_check_box[@]}"
gui_wait_cond 5 "the box did not remove the entry" eval '[ -z "$(autostart_entry)" ]'
# And writes it again.
gui_click "$window" "${autostart_check_box[@]}"
gui_wait_cond 5 "the box did not write the entry" autostart_entry

echo "== a failover shows a notification; the next change within the interval waits"
gui_service_post /control/stream/1/silent
gui_wait_log 'Notification: "Now on air: 2\. http://127\.0\.0\.1:[0-9]+/stream/2\.mp3" "1\. http://127\.0\.0\.1:[0-9]+/stream/1\.mp3 went silent\."' 20
gui_wait_cond 5 "no notification near the tray" notification_shown notification-en
gui_service_post /control/stream/1/normal
gui_wait_service "$info[0]['isActive']" 20
gui_wait_log 'Notification held back: "Now on air: 1\. [^"]*" "1\. [^"]* came back\."' 10
[ "$(gui_log | grep -c 'Notification: ')" = 1 ] || fail "more than one notification: $(gui_log | grep 'Notification')"

echo "== started as the autostart entry starts it: hidden in the tray, in Russian"
kill "$GUI_APP_PID"
gui_wait_exit "$GUI_APP_PID" 20
sed -i 's/^language=en$/language=ru/' "$GUI_WORKDIR/vellacast.ini"
exec_line=$(sed -n 's/^Exec=//p' "$entry")
[ "$exec_line" = "\"$GUI_APP\" --minimized" ] || fail "Exec changed: $exec_line"
# A tray host of its own: trayer does not take in an icon after its last one went.
gui_start_display
GUI_APP_ARGS=(--minimized)
gui_start_app LANGUAGE=ru VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
# The saved session puts the saved sources on air without a window.
gui_wait_service "s['sessions'][-1]['active'] and [x['isActive'] for x in $info] == [True, False] and all(x['isConnected'] for x in $info)" 30
gui_wait_log 'Saved login, playing the saved sources' 5
# Only the tray icon, a small window of the program too, is shown.
for w in $(xdotool search --onlyvisible --pid "$GUI_APP_PID" 2>/dev/null); do
  width=$(xwininfo -id "$w" | sed -n 's/^ *Width: //p')
  [ "$width" -lt 100 ] || fail "a window ${width} pixels wide showed although --minimized"
done
# The icon is in the tray once the tray host has made room for it.
gui_wait_pixel tray-icon-ru "$GUI_TRAY_X" "$GUI_TRAY_Y" '[1-9]' 10
gui_tray_menu_open tray-menu-ru
# A click beside the menu closes it (the window that the tray brought back has no focus yet).
xdotool mousemove 1000 300 click 1
gui_wait_pixel tray-menu-ru-closed 1272 700 '^0,0,0$' 5

echo "== a failover in Russian"
gui_service_post /control/stream/1/silent
gui_wait_log 'Notification: "Сейчас в эфире: 2\. [^"]*" "1\. [^"]* замолчал\."' 20
gui_wait_cond 5 "no notification near the tray" notification_shown notification-ru
echo "PASS"
