#!/usr/bin/env bash
# A keyboard with its own key map plays the panel: the symbols 1 to 7 and Q
# sit on key codes that are not theirs (1 where Escape is, Q where Tab is,
# 2 to 7 on spare codes, set with xmodmap) and XTest presses those codes,
# as on-screen, remote and virtual keyboards do. Seven chords sound, then
# Ctrl+Q quits with status 0. Same X11 session as desktop_test.sh.
#
# Usage: tests/desktop/foreign_keys_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
begin_test "foreign keys" "$@"
press_codes=(/usr/bin/python3 "$here/tests/desktop/press_keys.py")
start_session

# The key map first, so the program reads it as it starts. Control stays.
keymap=$(xmodmap -pke)
spare=($(awk 'NF == 3 && n < 6 { print $2; n++ }' <<<"$keymap"))
[ ${#spare[@]} -eq 6 ] || fail "fewer than 6 spare key codes: ${spare[*]}"
codes=(9 "${spare[@]}")  # the codes of 1 … 7
xmodmap -e "keycode 9 = 1" -e "keycode 23 = q"
for i in 1 2 3 4 5 6; do xmodmap -e "keycode ${spare[$((i - 1))]} = $((i + 1))"; done
q_code=23 control=37
grep -q "^keycode  *37 = Control_L" <<<"$keymap" || fail "Control_L is not on key code 37"

write_pads

start_app quimbel.log
find_icon
open_panel
focus_panel
sleep 0.5

echo "foreign keys: codes of 1 to 7: ${codes[*]}, Q on $q_code"
for pad in 1 2 3 4 5 6 7; do
  code=${codes[$((pad - 1))]}
  record "$work/key$pad.wav" "${press_codes[@]}" "down:$code" wait:0.5 "up:$code"
  got=$(heard "$work/key$pad.wav" "$work/pads.json")
  [ "$got" != "-" ] || fail "$pad on key code $code played nothing"
  [ "$got" = $((pad - 1)) ] || fail "$pad on key code $code played pad $((got + 1))'s chord"
  panel_window >/dev/null || fail "$pad on key code $code hid the panel"
done
shot played || true

"${press_codes[@]}" "down:$control" "down:$q_code" "up:$q_code" "up:$control"
wait_for 10 bash -c "! kill -0 $app" || fail "still running after Ctrl+Q on key code $q_code"
status=0
wait $app || status=$?
[ $status -eq 0 ] || fail "exit status $status after Ctrl+Q"
echo "foreign keys: 7 chords and Ctrl+Q, passed"
