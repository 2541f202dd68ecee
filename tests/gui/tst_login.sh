#!/usr/bin/env bash
# Login view of the real program against the demo service: closing quits, the checks of empty
# fields, a refused password, and a login that reaches the main state.
# Usage: tst_login.sh PATH-TO-vellacast PATH-TO-vellacast-devservice
GUI_APP=$1
service=$2
source "$(dirname "$0")/harness.sh"

# Where the login view puts things in the 720x540 window.
username_field=(360 268)
password_field=(360 333)
login_button=(360 413)
message_box=(240 360 240 26)

gui_start_display
gui_start_service "$service"
printf '[General]\nlanguage=en\noutputDeviceIndex=1\n' >"$GUI_WORKDIR/vellacast.ini"
start() {
  gui_start_app LANGUAGE=en VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
  window=$(gui_wait_title Vellacast 60)
}

echo "== closing the window in the login view quits without a question"
start
gui_close "$window"
gui_wait_exit "$GUI_APP_PID"
[ "$GUI_EXIT_CODE" = 0 ] || fail "exit code $GUI_EXIT_CODE after closing the login view"

start
gui_screenshot login-en

echo "== an empty user name stops the login even with a password typed"
gui_click "$window" "${password_field[@]}"
xdotool type --delay 20 secret
gui_click "$window" "${login_button[@]}"
gui_wait_red login-username-required "${message_box[@]}"
gui_service_json 's["sessions"] == []' || fail "a login went out without a user name"

echo "== the user name field has the focus; an empty password stops the login"
xdotool type --delay 20 demo
gui_click "$window" "${password_field[@]}"
xdotool key ctrl+a BackSpace Return
gui_wait_cond 5 "the user name was not stored" gui_ini '^username=demo$'
# The message changes its text in place; wait until it is not the previous one.
gui_wait_new_red login-password-required login-username-required "${message_box[@]}"
gui_service_json 's["sessions"] == []' || fail "a login went out without a password"

echo "== a refused password: Authentication error, and the typed texts stay"
gui_wait_no_red login-message-expired "${message_box[@]}" 6
# The password field has the focus now.
xdotool type --delay 20 wrong
xdotool key Return
# The message stays for 3 s only: look for it first, then at the log.
gui_wait_red login-authentication-error "${message_box[@]}" 20
gui_same_box login-password-required login-authentication-error "${message_box[@]}" &&
  fail "the message is 'Password required' again"
gui_wait_log 'Vellacast server replied forbidden, auth error' 5
grep -q 'Login refused' "$GUI_WORKDIR/devservice.txt" || fail "the service saw no refused login"
gui_wait_no_red login-message-gone "${message_box[@]}" 6
[ "$(xdotool getwindowname "$window")" = Vellacast ] || fail "logged in with a wrong password"

echo "== demo/demo logs in"
gui_click "$window" "${password_field[@]}"
xdotool key ctrl+a
xdotool type --delay 20 demo
xdotool key Return
gui_wait_title 'Vellacast - Vellacast Demo FM Riverton' 20 >/dev/null
gui_wait_cond 5 "no session id stored" gui_ini '^sid=.'
gui_service_json 'len(s["sessions"]) == 1 and s["sessions"][0]["active"]' ||
  fail "the service has no active session"
gui_log | grep -qi 'wrong\|secret' && fail "a typed password reached the log"
grep -qi 'wrong\|secret\|pass' "$GUI_WORKDIR/vellacast.ini" && fail "a password reached the settings"

echo "== the next start remembers the session and the user name"
kill "$GUI_APP_PID"
gui_wait_exit "$GUI_APP_PID"
gui_start_app LANGUAGE=en VELLACAST_SERVICE_URL="$GUI_SERVICE_URL"
gui_wait_title 'Vellacast - Vellacast Demo FM Riverton' 30 >/dev/null

echo "PASS"
