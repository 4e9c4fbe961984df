#!/usr/bin/env bash
# The instrument through a real JACK server: a private jackd with the dummy
# driver at 48 kHz in 64-frame periods (real-time only where allowed), on
# an X11 session with a tray and a PulseAudio null sink for the fallback.
# With the output stored as JACK, keys 1 to 7 play; jack_rec records the
# program's ports and listen.py names each chord. jackd is killed while a
# chord sounds: the program falls back to Automatic and the next chord comes
# out of the sound server. jackd starts again: the panel's next showing takes
# the program back to JACK, and the tray menu's "Sound output" switches to
# Automatic (the program leaves the JACK graph) and back to JACK.
#
# Usage: tests/desktop/jack_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
begin_test jack "$@"
keep_always=1
start_session
export JACK_DEFAULT_SERVER=quimbel-test-$$
mkdir -p "$XDG_CONFIG_HOME/Quimbel"
printf '[audio]\noutput=jack\n' >"$XDG_CONFIG_HOME/Quimbel/Quimbel.conf"

# Records the program's JACK ports (jack) or the sound server's sink (server)
# for 2 s while pad $3 is pressed, into $2.
record_pad() {
  local rec
  if [ "$1" = jack ]; then
    jack_rec -f "$2" -d 2 -b 16 Quimbel:out_left Quimbel:out_right >/dev/null 2>&1 &
  else
    timeout -s INT 2 parecord -d "$sink.monitor" --rate=48000 --channels=2 --format=s16le \
      --file-format=wav "$2" &
  fi
  rec=$!
  sleep 0.3
  press "$3"
  wait $rec || true
}
# Pad $3 must be the chord heard from $1 (in $work/$2.wav when it is there
# already, else recorded now).
expect_pad() {
  [ -f "$work/$2.wav" ] || record_pad "$1" "$work/$2.wav" "$3"
  local got
  got=$(heard "$work/$2.wav" "$work/pads.json")
  [ "$got" != "-" ] || fail "$2: key $3 sounded nothing through $1"
  [ "$got" = $(($3 - 1)) ] || fail "$2: key $3 sounded pad $((got + 1))'s chord through $1"
  echo "jack: $2: key $3 heard through $1"
}

write_pads

start_jackd
"$quimbel" devices >"$work/devices.txt" || fail "quimbel devices failed"
grep -qx "JACK ($JACK_DEFAULT_SERVER, 48000 Hz, 64 frames)" "$work/devices.txt" ||
  fail "quimbel devices does not list the server: $(cat "$work/devices.txt")"

QUIMBEL_TRACE=1 start_app quimbel.log
find_icon
# Chooses item $1 (from 1) of the tray menu's "Sound output" submenu.
choose_output() {
  xdotool mousemove $icon_x $icon_y click 3
  sleep 0.6
  for _ in 1 2 3 4 5; do xdotool key Down; done
  xdotool key Right
  sleep 0.3
  for _ in $(seq 2 "$1"); do xdotool key Down; done
  xdotool key Return
  sleep 0.3
}

open_panel
wait_for 10 jack_port Quimbel:out_left || fail "no Quimbel:out_left in the JACK graph"
jack_lsp -c >"$work/graph.txt"
grep -A2 -x 'Quimbel:out_left' "$work/graph.txt" | grep -q 'system:playback_1' ||
  fail "out_left is not connected to system:playback_1: $(cat "$work/graph.txt")"
sleep 0.5
# One recording of the seven pads, 1.2 s apart (every new client changes the
# server's graph, which a busy machine may answer with an xrun), cut into one
# piece per pad from 0.3 s before its press.
jack_rec -f "$work/pads.wav" -d 10 -b 16 Quimbel:out_left Quimbel:out_right >/dev/null 2>&1 &
rec=$!
sleep 0.8
for pad in 1 2 3 4 5 6 7; do
  press $pad
  sleep 0.7
done
wait $rec || true
for pad in 1 2 3 4 5 6 7; do
  sox "$work/pads.wav" "$work/key$pad.wav" trim "$(awk "BEGIN { print 0.5 + ($pad - 1) * 1.2 }")" 1.2
  expect_pad jack "key$pad" $pad
done

# jackd killed while a chord sounds: the next chord comes out of the sound
# server. (kill's own signal: a server killed with -9 leaves its entry in
# JACK's registry of servers, which holds only a few; the fake server's tests
# cover the unannounced end.)
xdotool keydown 3
sleep 0.2
kill "$jackd_pid"
wait "$jackd_pid" 2>/dev/null || true
jackd_pid=
xdotool keyup 3
wait_for 5 grep -q "JACK isn't running: playing through Automatic" "$work/quimbel.log" ||
  fail "no fallback after jackd was killed"
kill -0 "$app" || fail "the program died with jackd"
focus_panel
expect_pad server fallback 4

# jackd again: the panel's next showing goes back to JACK.
start_jackd
toggle_panel
sleep 0.5
toggle_panel
wait_for 5 panel_window || fail "the panel did not open again"
wait_for 10 jack_port Quimbel:out_left || fail "the program did not go back to JACK"
grep -q "back on JACK" "$work/quimbel.log" || fail "no log line for the way back"
focus_panel
sleep 0.3
expect_pad jack back 5

# The menu: Automatic lets go of JACK, JACK takes it up again.
choose_output 1
wait_for 5 no_jack_port Quimbel:out_left || fail "choosing Automatic left the ports in the JACK graph"
wait_for 5 grep -q '^output=automatic' "$XDG_CONFIG_HOME/Quimbel/Quimbel.conf" ||
  fail "the choice was not stored"
choose_output 2
wait_for 5 jack_port Quimbel:out_left || fail "choosing JACK did not bring the ports back"
focus_panel
sleep 0.3
expect_pad jack chosen 7

signal_app TERM
[ $status -eq 0 ] || fail "the program ended with status $status"
echo "jack: passed"
