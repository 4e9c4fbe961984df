#!/usr/bin/env bash
# The instrument end to end, as a person uses it, on a real X11 session:
# Xvfb with a tray (trayer), sound through a PulseAudio null sink whose
# monitor is recorded, a fresh home folder, and the program as `cmake
# --install` lays it out. xdotool clicks and types; listen.py checks what
# came out of the speakers. Screenshots of every step go to out/desktop/.
#
# Usage: tests/desktop/desktop_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
begin_test desktop "$@"
step_name=set-up

# --- The session: display, tray, sound, a fresh home ---
start_session

step "install"
cmake --install "$build" --prefix "$work/prefix" >/dev/null || fail "cmake --install"
quimbel=$work/prefix/bin/quimbel
desktop-file-validate "$work/prefix/share/applications/app.quimbel.Quimbel.desktop" ||
  fail "desktop entry"
appstreamcli validate --no-net "$work/prefix/share/metainfo/app.quimbel.Quimbel.metainfo.xml" \
  >/dev/null || fail "AppStream data"

# The chords the panel must play, from the installed program's own command line.
write_pads

step "start"
QUIMBEL_TRACE=1 start_app quimbel.log
find_icon
shot "01-tray-icon"

step "tray click shows the panel"
open_panel
[ "$WIDTH" -eq 328 ] && [ "$HEIGHT" -eq 684 ] || fail "panel is ${WIDTH}x${HEIGHT}, not 328x684"
[ $((Y - icon_bottom)) -ge 0 ] && [ $((Y - icon_bottom)) -le 12 ] ||
  fail "panel top $Y is not just under the icon ($icon_bottom)"
sleep 0.5
shot "02-panel"

step "a second click hides it, a third shows it"
toggle_panel
wait_for 5 bash -c "! xdotool search --onlyvisible --pid $app 2>/dev/null | grep -qx $panel" ||
  fail "the panel did not hide"
sleep 0.4
toggle_panel
wait_for 5 panel_window || fail "the panel did not open again"
sleep 0.5

step "pads 1 to 7 by key"
for pad in 1 2 3 4 5 6 7; do
  record "$work/key$pad.wav" press $pad
  got=$(heard "$work/key$pad.wav" "$work/pads.json")
  [ "$got" != "-" ] || fail "key $pad played nothing"
  [ "$got" = $((pad - 1)) ] ||
    fail "key $pad played pad $((got + 1))'s chord ($("${listen[@]}" chord "$work/key$pad.wav" "$work/pads.json"))"
done
shot "03-played"

step "the panel's screen is the command line's screen for the same state"
# Pad 7's chord, as the screen shows it after the key went up.
echo '{"hits":[{"pad":6,"t":0,"hold":0.2}],"length":1}' >"$work/pad7.json"
"$quimbel" render "$work/pad7.json" --events >"$work/pad7-events.json"
/usr/bin/python3 -c '
import json, sys
event = json.load(open(sys.argv[1]))["events"][0]
snapshot = {"key": {"tonic": 1, "mode": "minor"},
            "shown": {"notes": event["notes"], "name": event["name"], "color": event["color"]},
            "state": "ready", "countN": 0, "recAt": -1e9, "knob": None, "volume": None,
            "sheet": [], "legend": None}
json.dump(snapshot, open(sys.argv[2], "w"))' "$work/pad7-events.json" "$work/pad7-snapshot.json"
"$quimbel" screen "$work/pad7-snapshot.json" --now 0 --png "$out/screen-reference.png" --scale 10 >/dev/null
sleep 2.5
shot "03-screen"
/usr/bin/python3 "$here/tests/desktop/look.py" "$out/03-screen.png" $((panel_x + 12)) $((panel_y + 12)) 304 \
  "$out/screen-reference.png" 10 || fail "the panel's screen differs from quimbel screen --png"

step "Tab with 5 plays the seventh, Shift with 1 the ninth"
# Candidates: pad $1's plain chord and the same pad with `quimbel chords` options $3…, into $2.
plain_or() {
  local pad=$1 file=$2
  shift 2
  "$quimbel" chords --json "$@" | /usr/bin/python3 -c '
import json, sys
plain = json.load(open(sys.argv[1]))[int(sys.argv[2])]
other = json.load(sys.stdin)[int(sys.argv[2])]["notes"]
json.dump([plain, other], open(sys.argv[3], "w"))' "$work/pads.json" "$pad" "$file"
}
plain_or 4 "$work/seventh.json" --sevenths
record "$work/seventh.wav" bash -c "xdotool keydown Tab; sleep 0.1; xdotool keydown 5; sleep 0.5; xdotool keyup 5; xdotool keyup Tab"
[ "$(heard "$work/seventh.wav" "$work/seventh.json")" = 1 ] || fail "Tab+5 did not sound V7"
plain_or 0 "$work/ninth.json" --ninths
record "$work/ninth.wav" bash -c "xdotool keydown shift; sleep 0.1; xdotool keydown 1; sleep 0.5; xdotool keyup 1; xdotool keyup shift"
[ "$(heard "$work/ninth.wav" "$work/ninth.json")" = 1 ] || fail "Shift+1 did not sound I9"

step "the knob turns with the arrows"
plain_or 0 "$work/knob.json" --knob -2
xdotool key Up
record "$work/knob.wav" press 1
[ "$(heard "$work/knob.wav" "$work/knob.json")" = 1 ] || fail "Up did not move pad 1 to the next inversion"
xdotool key Down

step "pads 1, 4 and 5 by mouse"
for pad in 1 4 5; do
  name=$(grep -a "trace widget [IV]*, key $pad|" "$work/quimbel.log" | tail -1 | sed 's/.*widget \(.*\)|.*/\1/')
  at=$(control "$name") || fail "no pad $pad on the panel"
  record "$work/mouse$pad.wav" bash -c "xdotool mousemove $at mousedown 1; sleep 0.5; xdotool mouseup 1"
  got=$(heard "$work/mouse$pad.wav" "$work/pads.json")
  [ "$got" = $((pad - 1)) ] || fail "a click on pad $pad played pad $got's chord (counted from 0)"
done

step "the knob turns with the mouse wheel"
at=$(control "Inversion") || fail "no knob"
xdotool mousemove $at click 4
sleep 0.2
focus_panel
record "$work/wheel.wav" press 1
[ "$(heard "$work/wheel.wav" "$work/knob.json")" = 1 ] || fail "the wheel did not move pad 1 to the next inversion"
xdotool mousemove $at click 5
sleep 0.2
focus_panel

step "a take: count-in, four chords, stop"
# Four clicks at 120 BPM, then pads 1, 4, 5, 1 half a second apart.
(
  parecord -d "$sink.monitor" --rate=48000 --channels=2 --format=s16le --file-format=wav \
    "$work/take.wav" &
  rec=$!
  sleep 0.3
  click_control Record
  sleep 0.3
  focus_panel
  sleep 1.95
  for pad in 1 4 5 1; do
    xdotool keydown $pad
    sleep 0.25
    xdotool keyup $pad
    sleep 0.25
  done
  # Stop straight away: a take is a whole number of bars, and a Stop that
  # comes more than a bar and a half after the downbeat makes it two.
  click_control Stop
  sleep 0.3
  kill -INT $rec
  wait $rec || true
)
sleep 0.5
clicks=$("${listen[@]}" onsets "$work/take.wav")
echo "desktop:   onsets of count-in and take: $clicks"
# The count-in: four onsets half a second apart; then the chords (a chord
# that follows the same notes may not stand out, so at least two).
/usr/bin/python3 -c '
import sys
t = [float(v) for v in sys.argv[1:]]
clicks = t[:4]
ok = len(t) >= 6 and all(abs(b - a - 0.5) < 0.02 for a, b in zip(clicks, clicks[1:]))
sys.exit(0 if ok else 1)' $clicks || fail "expected 4 clicks 0.5 s apart and the chords, heard onsets at: $clicks"
shot "04-done"

step "the take loops at the same spacing"
focus_panel
# A take is a whole number of bars: one (2 s at 120 BPM), or two where a
# loaded machine's keys came late enough that the Stop fell past a bar and a half.
record "$work/loop.wav" bash -c "xdotool key space; sleep 6.6; xdotool key space"
cp "$work/loop.wav" "$out/loop-recording.wav"
# A sound server that underruns once shifts what follows in the recording by
# its buffer (21 ms here), though the program's passes stay exact: heard
# once more before it counts.
if ! "${listen[@]}" loop "$work/loop.wav" 2.0,4.0; then
  echo "desktop:   the loop heard once more"
  record "$work/loop.wav" bash -c "xdotool key space; sleep 6.6; xdotool key space"
  cp "$work/loop.wav" "$out/loop-recording-2.wav"
  "${listen[@]}" loop "$work/loop.wav" 2.0,4.0 || fail "the loop's second pass is not the first one again"
fi

step "Escape drops the take and Ctrl+Z brings it back"
focus_panel
xdotool key Escape
sleep 0.3
record "$work/dropped.wav" bash -c "xdotool key space; sleep 1.5; xdotool key space"
[ "$(heard "$work/dropped.wav" "$work/pads.json")" = "-" ] || fail "a dropped take still plays"
xdotool key ctrl+z
sleep 0.3
record "$work/undone.wav" bash -c "xdotool key space; sleep 1.5; xdotool key space"
[ "$(heard "$work/undone.wav" "$work/pads.json")" != "-" ] || fail "Ctrl+Z did not bring the take back"

# Saves through the Save dialog that a click on an export key opens.
dialog_open() { xdotool search --all --onlyvisible --pid "$app" --name "^Save" >/dev/null 2>&1; }
save_through_dialog() {
  local name=$1 target=$2
  click_control "$name"
  # The video's dialog opens once its render is done.
  wait_for 90 dialog_open || fail "no Save dialog for $name"
  sleep 0.5
  xdotool key ctrl+a
  xdotool type --delay 5 "$target"
  xdotool key Return
  wait_for 10 test -s "$target" || fail "$name wrote nothing to $target"
  wait_for 10 bash -c "! xdotool search --all --onlyvisible --pid $app --name '^Save' >/dev/null 2>&1" ||
    fail "the Save dialog for $name stayed open: $(for w in $(xdotool search --all --onlyvisible --pid $app --name '^Save'); do xdotool getwindowname $w; xdotool getwindowgeometry $w; done | tr '\n' ' ')"
  sleep 0.3
}

step "export MIDI, WAV and video through the Save dialogs"
save_through_dialog "Save MIDI" "$out/take.mid"
midicsv "$out/take.mid" >"$work/take.csv" || fail "midicsv cannot read the MIDI file"
# Pads 1, 4, 5 and 1, every note of each chord.
notes=$(/usr/bin/python3 -c '
import json, sys
pads = json.load(open(sys.argv[1]))
print(sum(len(pads[p]) for p in (0, 3, 4, 0)))' "$work/pads.json")
on=$(awk -F', ' '$3 == "Note_on_c" && $6 > 0' "$work/take.csv" | wc -l)
[ "$on" -eq "$notes" ] || fail "the MIDI file holds $on notes, the take played $notes"
save_through_dialog "Save audio" "$out/take.wav"
seconds=$(soxi -D "$out/take.wav")
[ "$(echo "$seconds > 3" | bc)" = 1 ] || fail "the WAV file is only $seconds s long"
peak=$(sox "$out/take.wav" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')
[ "$(echo "$peak > 0.05" | bc)" = 1 ] || fail "the WAV file is silent (peak $peak)"
save_through_dialog "Save video" "$out/take.mp4"
ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$out/take.mp4" \
  >"$work/probe.txt" || fail "ffprobe cannot read the video"
grep -q '^h264,1080,1920' "$work/probe.txt" || fail "the video is not 1080x1920 H.264: $(cat "$work/probe.txt")"
grep -q '^aac' "$work/probe.txt" || fail "the video has no AAC sound"

step "a Save into a folder without write permission says so"
# Root writes anywhere it may chmod; /sys refuses even root.
if [ "$(id -u)" = 0 ]; then
  locked=/sys
else
  locked="$work/locked"
  mkdir -p "$locked" && chmod 0555 "$locked"
fi
named_windows() { xdotool search --all --onlyvisible --pid "$app" --name "^Quimbel$" 2>/dev/null || true; }
before=" $(named_windows | tr '\n' ' ') "
# A window named as the program that was not there before the save.
message_window() {
  for w in $(named_windows); do
    [[ "$before" != *" $w "* ]] && echo "$w" && return 0
  done
  return 1
}
click_control "Save MIDI"
wait_for 30 dialog_open || fail "no Save dialog for the locked folder"
sleep 0.5
xdotool key ctrl+a
xdotool type --delay 5 "$locked/take.mid"
xdotool key Return
wait_for 10 grep -aq "saving an export failed: $locked/" "$work/quimbel.log" ||
  fail "the failed save was not logged"
wait_for 10 message_window || fail "no message for the failed save"
shot "save-refused"
# Its OK button sits in the bottom right corner.
eval "$(xdotool getwindowgeometry --shell "$(message_window)")"
xdotool mousemove $((X + WIDTH - 50)) $((Y + HEIGHT - 23)) click 1
for _ in $(seq 100); do message_window >/dev/null || break; sleep 0.1; done
! message_window >/dev/null || fail "the message did not close"
[ ! -e "$locked/take.mid" ] || fail "a file appeared in the locked folder"
sleep 0.3

step "the MIDI key dragged onto another program"
"$build/bin/drop_target" 60 >"$work/dropped.txt" 2>/dev/null &
target=$!
pids+=($target)
wait_for 10 xdotool search --all --onlyvisible --pid $target --name "drop target" || fail "no drop target"
drop=$(xdotool search --all --onlyvisible --pid $target --name "drop target" | head -1)
xdotool windowmove --sync "$drop" 100 300
at=$(control "Save MIDI") || fail "no MIDI key"
read -r mx my <<<"$at"
xdotool mousemove $mx $my mousedown 1
for i in $(seq 1 20); do
  xdotool mousemove $((mx + (220 - mx) * i / 20)) $((my + (420 - my) * i / 20))
  sleep 0.03
done
sleep 0.3
xdotool mouseup 1
wait_for 10 test -s "$work/dropped.txt" || fail "the drop target received nothing"
url=$(head -1 "$work/dropped.txt")
file=${url#file://}
cmp -s "$file" "$out/take.mid" || fail "the dragged file ($url) is not the take's MIDI file"
kill $target 2>/dev/null || true

step "Escape drops the finished take, a second Escape hides the panel"
focus_panel
xdotool key Escape
sleep 0.3
panel_window >/dev/null || fail "the first Escape hid the panel instead of dropping the take"
xdotool key Escape
wait_for 5 bash -c "! xdotool search --onlyvisible --pid $app 2>/dev/null | grep -qx $panel" ||
  fail "Escape did not hide the panel"

visible_windows() { xdotool search --all --onlyvisible --pid "$app" 2>/dev/null | wc -l; }
# Chooses the tray menu's item number $1 (counted from 1, separators
# skipped) once the menu shows: keys sent before it opens would go to
# whatever had the keyboard.
menu_item() {
  local before
  before=$(visible_windows)
  xdotool mousemove $icon_x $icon_y click 3
  wait_for 5 bash -c "[ \$(xdotool search --all --onlyvisible --pid $app 2>/dev/null | wc -l) -gt $before ]" ||
    fail "the tray menu did not open"
  sleep 0.4
  for _ in $(seq "$1"); do xdotool key Down; done
  xdotool key Return
}

step "the About window from the tray menu"
# Tall, Wide, Quantize, Start at login, Sound output, Low latency, the
# three MIDI items, About.
menu_item 10
wait_for 5 xdotool search --onlyvisible --name '^About Quimbel$' || fail "no About window"
sleep 0.5
shot "07-about"
about=$(xdotool search --onlyvisible --name '^About Quimbel$' | head -1)
xdotool windowclose "$about" 2>/dev/null || xdotool key --window "$about" Escape

step "the wide layout from the menu and back"
toggle_panel
wait_for 5 panel_window || fail "the panel did not open"
menu_item 2
wide_panel() {
  eval "$(xdotool getwindowgeometry --shell "$(panel_window)")"
  [ "$WIDTH" -eq 548 ] && [ "$HEIGHT" -eq 320 ]
}
wait_for 5 wide_panel || fail "the panel did not turn wide"
sleep 0.4
shot "07-wide"
menu_item 1
tall_panel() {
  eval "$(xdotool getwindowgeometry --shell "$(panel_window)")"
  [ "$WIDTH" -eq 328 ] && [ "$HEIGHT" -eq 684 ]
}
wait_for 5 tall_panel || fail "the panel did not turn tall again"
wait_for 5 grep -q '^wide=false' "$XDG_CONFIG_HOME/Quimbel/Quimbel.conf" || fail "the layout was not stored"

step "Ctrl+Q quits with status 0"
panel_window >/dev/null || toggle_panel
wait_for 5 panel_window || fail "the panel did not open"
# The menu had the keyboard last; a person would click into the panel.
xdotool windowfocus --sync "$(panel_window)"
sleep 0.3
xdotool key ctrl+q
status=0
wait_for 10 bash -c "! kill -0 $app" || fail "still running after Ctrl+Q"
wait $app || status=$?
[ $status -eq 0 ] || fail "exit status $status"

step "a run killed with kill -9 is asked about at the next start"
QUIMBEL_TRACE=1 start_killed_run killed.log "no tray icon for the second run"
start_app third.log
wait_for 10 icon_window || fail "no tray icon for the third run"
# The question comes 6 s after the launch, as a message box titled Quimbel.
wait_for 15 question_window || fail "no question about the killed run"
sleep 0.3
shot "08-crash-question"
ls "$XDG_STATE_HOME/Quimbel/Diagnostics/Pending/" | grep -q '^exit-' ||
  fail "no record of the killed run in Diagnostics/Pending"
xdotool windowfocus --sync "$(question_window)"
xdotool key Escape
wait_for 5 bash -c "! xdotool search --all --onlyvisible --pid $app --name '^Quimbel$' | grep -q ." ||
  true
signal_app TERM
[ $status -eq 0 ] || fail "the third run ended with status $status on SIGTERM"

step "closing the terminal (SIGHUP) quits normally: no question at the next start"
start_app hangup.log
wait_for 10 icon_window || fail "no tray icon for the run closed by SIGHUP"
signal_app HUP
[ $status -eq 0 ] || fail "the run ended with status $status on SIGHUP"
! ls "$XDG_STATE_HOME/Quimbel/Diagnostics/" | grep -q '^session-' ||
  fail "SIGHUP left a run marker: $(ls "$XDG_STATE_HOME/Quimbel/Diagnostics/")"
start_app after-hangup.log
wait_for 10 icon_window || fail "no tray icon after the SIGHUP run"
# The question would come 6 s after the launch.
sleep 7.5
question_window >/dev/null && fail "a crash question after a run closed by SIGHUP"
kill -TERM $app
wait $app || true

end_steps
