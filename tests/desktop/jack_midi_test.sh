#!/usr/bin/env bash
# The chords as MIDI for other programs, through a private JACK server (the
# dummy driver at 48 kHz in 64-frame periods) in an X11 session with a tray.
# With "Send chords to other programs" stored on, a recording client listens
# to Quimbel:midi_out: keys 1 to 7 must give seven note-on groups whose notes
# are the seven chords `quimbel chords` prints; a note on Quimbel:midi_in
# plays its pad's chord; a one-bar take loops, and its second pass repeats
# the first within one period, and stopping it ends the ringing chord's
# notes at once. Where an ALSA sequencer exists, aseqdump
# hears the chords on "Quimbel out"; elsewhere that part says it skipped.
#
# Usage: tests/desktop/jack_midi_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
begin_test jack-midi "$@"
keep_always=1
start_session
# A server of our own: other desktop tests may run theirs at the same time.
export JACK_DEFAULT_SERVER=quimbel-midi-test-$$
mkdir -p "$XDG_CONFIG_HOME/Quimbel"
printf '[audio]\noutput=jack\n\n[midi]\nsend=true\n' >"$XDG_CONFIG_HOME/Quimbel/Quimbel.conf"

start_jackd

"$quimbel" chords --json >"$work/chords.json" || fail "quimbel chords failed"

QUIMBEL_TRACE=1 start_app quimbel.log
find_icon
open_panel

wait_for 10 jack_port Quimbel:midi_out || fail "no Quimbel:midi_out in the JACK graph"
jack_port Quimbel:midi_in || fail "no Quimbel:midi_in in the JACK graph"
# Frames as the recorder counts its periods: the dummy driver's own frame
# time jumps after a late cycle, the periods both clients are given do not.
"$tests_dir/midi_record.py" quimbel-record "$work/dump.txt" 2>"$work/record.log" &
pids+=($!)
wait_for 5 jack_port quimbel-record:input || fail "the MIDI recorder did not start"
jack_connect Quimbel:midi_out quimbel-record:input || fail "cannot connect to midi_out"
sleep 0.5
focus_panel

# The note-on groups of the dump from line $1 on, one per frame, as
# "frame: notes": a chord's notes all start on the same frame.
groups() {
  tail -n +"$1" "$work/dump.txt" | /usr/bin/python3 -c '
import re, sys
groups = {}
for line in sys.stdin:
    m = re.match(r"\s*(\d+): 9[0-9a-f] ([0-9a-f]{2}) ([0-9a-f]{2})", line)
    if m and int(m.group(3), 16) > 0:
        groups.setdefault(int(m.group(1)), []).append(int(m.group(2), 16))
for frame in sorted(groups):
    print(frame, *sorted(groups[frame]))'
}
chord_of() {
  /usr/bin/python3 -c 'import json, sys
print(*sorted(json.load(open(sys.argv[1]))[int(sys.argv[2])]["notes"]))' "$work/chords.json" "$1"
}

for pad in 1 2 3 4 5 6 7; do
  press $pad 0.3
  sleep 0.4
done
sleep 0.5
groups 1 >"$work/keys.txt"
[ "$(wc -l <"$work/keys.txt")" -eq 7 ] || fail "keys 1-7 gave $(wc -l <"$work/keys.txt") note-on groups: $(cat "$work/keys.txt")"
for pad in 1 2 3 4 5 6 7; do
  got=$(sed -n "${pad}p" "$work/keys.txt" | cut -d' ' -f2-)
  [ "$got" = "$(chord_of $((pad - 1)))" ] || fail "key $pad sent $got, the chord is $(chord_of $((pad - 1)))"
done
grep -q ' 91 \| 92 \| 93 ' "$work/dump.txt" && fail "notes on a channel other than 1"
echo "jack-midi: keys 1-7 sent the seven chords"

# A keyboard's D on midi_in plays pad 2.
mark=$(($(wc -l <"$work/dump.txt") + 1))
jack_midiseq quimbel-keys 24000 0 62 4800 >/dev/null 2>&1 &
keys=$!
pids+=($keys)
wait_for 5 jack_port quimbel-keys:out || fail "jack_midiseq did not start"
jack_connect quimbel-keys:out Quimbel:midi_in
sleep 1.5
kill $keys
got=$(groups $mark | head -1 | cut -d' ' -f2-)
[ "$got" = "$(chord_of 1)" ] || fail "D on midi_in sent '$got', pad 2's chord is $(chord_of 1)"
echo "jack-midi: a note on midi_in played its pad"

# A one-bar take (count-in of four beats at 120 BPM, then pad 1 held for
# 0.9 s and pad 4), looped twice and stopped 0.3 s into the third pass's
# first chord.
click_control Record
sleep 0.3
focus_panel
sleep 1.95
press 1 0.9
sleep 0.1
press 4 0.25
sleep 0.5
click_control Stop
sleep 0.5
focus_panel
# The loop's passes; a machine too loaded to press the keys in time can
# blur them, so the loop is heard once more before it counts.
passes_started() { [ "$(groups "$1" | wc -l)" -ge "$2" ]; }
loop_passes() {
  mark=$(($(wc -l <"$work/dump.txt") + 1))
  xdotool key space
  # Stopped 0.3 s into the third pass's first chord, wherever the take put it.
  wait_for 10 passes_started $mark 5
  sleep 0.3
  xdotool key space
  sleep 0.3
  groups $mark >"$work/loop.txt"
  tail -n +"$mark" "$work/dump.txt" >"$work/loop-events.txt"
  /usr/bin/python3 - "$work/loop.txt" "$work/loop-events.txt" <<'PY'
import re, sys
rows = [line.split() for line in open(sys.argv[1])]
frames = [int(r[0]) for r in rows]
notes = [r[1:] for r in rows]
assert len(rows) == 5, rows
# The take is one bar: two chords a pass, and the second pass repeats the
# first 96000 frames (2 s) later, within one period.
for i in (0, 1):
    assert notes[i + 2] == notes[i], (i, notes)
    assert abs(frames[i + 2] - frames[i] - 96000) <= 64, (i, frames)
# The stop came 0.3 s into the third pass's 0.9 s chord: every note ends
# then (before 0.6 s), not when the chord would have ended, and none hangs.
sounding = {}
for line in open(sys.argv[2]):
    m = re.match(r"(\d+): ([89])[0-9a-f] ([0-9a-f]{2}) ([0-9a-f]{2})", line)
    if not m:
        continue
    frame, on, note = int(m.group(1)), m.group(2) == "9" and m.group(4) != "00", m.group(3)
    if on:
        sounding[note] = frame
    elif note in sounding and sounding.pop(note) >= frames[4]:
        assert frame - frames[4] < 28800, ("the third pass's chord rang out", line)
assert not sounding, ("notes left hanging", sounding)
print("jack-midi: loop passes", frames[:4], "stopped", frames[4])
PY
}
if ! loop_passes; then
  echo "jack-midi: the loop heard once more"
  loop_passes || fail "the loop's second pass is not the first one again: $(cat "$work/loop.txt")"
fi

# ALSA: "Quimbel out" on the sequencer, where there is one.
if [ -e /dev/snd/seq ] && aseqdump -l 2>/dev/null | grep -q 'Quimbel out'; then
  aseqdump -p "Quimbel:Quimbel out" >"$work/aseqdump.txt" 2>&1 &
  dump=$!
  sleep 0.5
  press 1 0.3
  sleep 0.5
  kill $dump
  grep -q "Note on" "$work/aseqdump.txt" || fail "aseqdump heard no chord on Quimbel out"
  echo "jack-midi: aseqdump heard the chord on Quimbel out"
else
  echo "jack-midi: no ALSA sequencer here (/dev/snd/seq): the aseqdump part skipped"
fi

signal_app TERM
[ $status -eq 0 ] || fail "the program ended with status $status"
echo "jack-midi: passed"
