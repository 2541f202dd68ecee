#!/usr/bin/env bash
# Main view of the real program against the demo service: the demo streams play and are reported
# in full, silence moves playing to the next row, a dropped stream shows disconnected; closing the
# window in the main view, the keep-running hint, the tray, logout and quit.
# Usage: tst_mainview.sh PATH-TO-vellacast PATH-TO-vellacast-devservice
GUI_APP=$1
service=$2
source "$(dirname "$0")/harness.sh"

main_title='Vellacast - Vellacast Demo FM Riverton'
# Window coordinates (720x540): lamps of row N (0-based) at x 221, rows 120 apart.
lamp_x=221
playing_lamp_y=138
connection_lamp_y=156
sound_lamp_y=174
# Inside the third row's level meter.
row3_meter=(517 326 136 26)
# A modal dialog dims the whole window, this corner included.
undimmed='^255,255,255$'
dimmed='^(1[0-9][0-9]|[0-9]{1,2}),'
corner=(715 535)
keep_running_ok=(422 333)
do_not_show_again=(255 270)
confirmation_yes=(309 308)
tray_silence_y=683
tray_logout_y=729
about_button=(100 510)
silence_level_plus=(578 107)
silence_duration_minus=(468 157)
failback_hold_minus=(468 257)
tray_close_y=775

# The report's "sourcesInfo" entries carry exactly these keys.
keys="{'streamUrl', 'isActive', 'volumeLevel', 'activityDurationMs', 'isRecordDevice',
 'isPlaying', 'isStalled', 'isConnected', 'connectionDurationMs', 'level', 'levelDb',
 'isSilentSound', 'soundDurationMs', 'isSilentSoundByLevel', 'soundByLevelDurationMs',
 'isHeldBack', 'heldBackRemainingMs'}"
info="(s['sessions'][-1]['lastReport'] or {}).get('sourcesInfo', [])"

gui_start_display
gui_start_service "$service"
# No failover notifications: their messages pop up over the tray menu (tst_desktop shows them).
cat >"$GUI_WORKDIR/vellacast.ini" <<INI
[General]
language=en
outputDeviceIndex=1
username=demo
silenceDetectionStartMs=1000
silenceDetectionEndMs=1000
failoverNotifications=false
INI
gui_start_app LANGUAGE=en VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
window=$(gui_wait_title Vellacast 60)
# A saved user name puts the focus into the password field.
xdotool type --delay 20 demo
xdotool key Return
window=$(gui_wait_title "$main_title" 30)

echo "== the demo streams play with the session as credentials; reports carry every key"
# A source's address is published by its player a moment after the source exists, so the first
# report may still carry an empty one.
gui_wait_service "[x['streamUrl'] for x in $info] == [s['service']['baseUrl'] + t['path'] for t in s['streams']]" 20
gui_service_json "all(set(x) == $keys for x in $info)" || fail "report keys: $(gui_service_json "$info")"
gui_wait_service "all(t['listeners'] == 1 for t in s['streams'])" 20
gui_wait_service "[(x['isActive'], x['isConnected'], x['isSilentSound']) for x in $info] == [(True, True, False), (False, True, False), (False, True, False)]" 20
sid=$(sed -n 's/^sid=//p' "$GUI_WORKDIR/vellacast.ini")
[ -n "$sid" ] || fail "no session id stored"
gui_log | grep -qF -- "$sid" && fail "the session id reached the log"
gui_log | grep -Eq '://[^/ "]*@' && fail "an address with credentials reached the log"
gui_screenshot main-playing-en
[[ "$(gui_pixel main-playing-en $lamp_x $playing_lamp_y)" =~ ^0,1[0-9][0-9],0$ ]] ||
  fail "row 1's playing lamp is not green"

echo "== silencing stream 1 moves playing to row 2; dropping stream 3 disconnects row 3"
gui_service_post /control/stream/1/silent
gui_wait_service "[(x['isActive'], x['isSilentSound']) for x in $info][:2] == [(False, True), (True, False)]" 20
gui_log_has 'Source "KLPlayer #2 [^"]*" isActive changed to true' || fail "no log line for row 2 playing"
gui_service_post /control/stream/3/drop
gui_wait_service "not $info[2]['isConnected']" 20
gui_wait_pixel main-three-states-en $lamp_x $((connection_lamp_y + 240)) '^255,0,0$' 10
[ "$(gui_pixel main-three-states-en $lamp_x $sound_lamp_y)" = 255,0,0 ] || fail "row 1's sound lamp is not red"
# Row 3's meter waits for the connection with a moving bar.
meter_moved() {
  gui_screenshot meter-later
  ! gui_same_box main-three-states-en meter-later "${row3_meter[@]}"
}
gui_wait_cond 5 "row 3's connecting bar does not move" meter_moved
[[ "$(gui_pixel main-three-states-en $lamp_x $((playing_lamp_y + 120)))" =~ ^0,1[0-9][0-9],0$ ]] ||
  fail "row 2's playing lamp is not green"
gui_service_post /control/stream/1/normal
gui_service_post /control/stream/3/normal
gui_wait_service "[x['isActive'] for x in $info] == [True, False, False] and $info[2]['isConnected']" 30

echo "== closing the main view opens the keep-running hint; Escape keeps the window"
gui_close "$window"
gui_wait_pixel keep-running-dialog-en "${corner[@]}" "$dimmed"
xdotool key Escape
gui_wait_pixel after-escape "${corner[@]}" "$undimmed"
gui_visible "$window" || fail "Escape on the hint hid the window"

echo "== OK on the hint hides the window; the tray brings it back"
gui_close "$window"
gui_wait_pixel keep-running-dialog-again "${corner[@]}" "$dimmed"
gui_click "$window" "${keep_running_ok[@]}"
gui_wait_cond 5 "the window stayed after OK" eval '! gui_visible $window'
kill -0 "$GUI_APP_PID" || fail "the program ended instead of hiding"
gui_tray_click
gui_wait_cond 5 "the tray did not bring the window back" gui_visible "$window"
# Hidden, the list let go of its rows; shown again, they are back with their lamps.
gui_wait_pixel shown-again-en $lamp_x $((connection_lamp_y + 120)) '^0,1[0-9][0-9],0$' 5

echo "== with 'Do not show again' the next close hides at once"
gui_close "$window"
gui_wait_pixel keep-running-dialog-checked "${corner[@]}" "$dimmed"
gui_click "$window" "${do_not_show_again[@]}"
gui_wait_cond 5 "the hint setting was not stored" gui_ini '^showKeepRunningDialog=false$'
gui_screenshot keep-running-dialog-checked-en
gui_click "$window" "${keep_running_ok[@]}"
gui_wait_cond 5 "the window stayed after OK" eval '! gui_visible $window'
gui_tray_click
gui_wait_cond 5 "the tray did not bring the window back" gui_visible "$window"
gui_close "$window"
gui_wait_cond 5 "the window did not hide" eval '! gui_visible $window'
gui_tray_click
gui_wait_cond 5 "the tray did not bring the window back" gui_visible "$window"
gui_wait_pixel no-dialog "${corner[@]}" "$undimmed" 3

echo "== About and the silence detection settings open from the view and the tray"
gui_click "$window" "${about_button[@]}"
gui_wait_pixel about-dialog-en "${corner[@]}" "$dimmed"
xdotool key Escape
gui_wait_pixel no-dialog "${corner[@]}" "$undimmed" 3
gui_tray_menu_open tray-menu-main-en
xdotool mousemove 1150 $tray_silence_y click 1
gui_wait_pixel silence-settings-dialog-en "${corner[@]}" "$dimmed"

echo "== the silence duration box stops at 0.10 s; the level box steps by 1 dB; the hold by 1 s"
gui_click "$window" "${silence_duration_minus[@]}"
gui_wait_cond 5 "1.00 s minus 1.00 did not stop at 0.10 s" gui_ini '^silenceDetectionStartMs=100$'
gui_click "$window" "${silence_duration_minus[@]}"
gui_click "$window" "${silence_level_plus[@]}"
gui_wait_cond 5 "the level did not go from -50 to -49 dB" gui_ini '^silenceDetectionLevelDb=-49$'
gui_ini '^silenceDetectionStartMs=100$' >/dev/null || fail "the duration went below 0.10 s"
gui_click "$window" "${failback_hold_minus[@]}"
gui_wait_cond 5 "the failback hold did not go from 30 to 29 s" gui_ini '^failbackHoldMs=29000$'
gui_screenshot silence-settings-dialog-changed-en
xdotool key Escape
gui_wait_pixel no-dialog "${corner[@]}" "$undimmed" 3

echo "== tray Logout asks, then the login view; every source stops"
gui_tray_menu_choose $tray_logout_y
gui_wait_pixel logout-confirmation-en "${corner[@]}" "$dimmed"
gui_click "$window" "${confirmation_yes[@]}"
gui_wait_title Vellacast 10 >/dev/null
gui_wait_log 'User logged out, stop all sources' 5
gui_wait_service "not s['sessions'][-1]['active'] and all(t['listeners'] == 0 for t in s['streams'])" 10

echo "== tray Close asks and quits"
gui_tray_menu_open tray-menu-login-en
xdotool mousemove 1150 $tray_close_y click 1
gui_wait_pixel quit-confirmation-en "${corner[@]}" "$dimmed"
gui_click "$window" "${confirmation_yes[@]}"
gui_wait_exit "$GUI_APP_PID" 10
[ "$GUI_EXIT_CODE" = 0 ] || fail "exit code $GUI_EXIT_CODE after tray Close"

gui_log | grep -E '\(W\): qrc:/qt/qml/Vellacast/' && fail "the documents logged warnings"
echo "PASS"
