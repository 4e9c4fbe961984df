#!/usr/bin/env bash
# The instrument on a Wayland desktop, as a person uses it: sway on its
# headless output, with swaybar's StatusNotifierItem tray on a D-Bus session
# bus, sound through a PulseAudio null sink whose monitor is recorded, a
# fresh home folder, and the program as `cmake --install` lays it out. Twice:
# with XWayland, which the program prefers, and without, where it is a
# Wayland client itself. wtype types on the compositor's virtual keyboard;
# sway's own seat commands click, with wayland_pointer as the pointer device
# they need. Screenshots of every step go to out/wayland/.
#
# sway refuses to run as root: as root, the session runs as the user
# quimbel-session, made here where it is missing.
#
# Usage: tests/desktop/wayland_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
  begin_test wayland "$@"
  [ -x "$build/bin/wayland_pointer" ] || {
    echo "wayland: no $build/bin/wayland_pointer (libwayland-dev missing?)" >&2
    echo "wayland: 0 passed, 1 failed"
    exit 1
  }
  chmod 755 "$work"
  # The sessions leave their screenshots and recordings in the work folder
  # (as another user, under root), from where they come to out/.
  end_session() { cp "$work"/out/* "$out"/ 2>/dev/null || true; }
  started=$SECONDS
  echo "wayland: install"
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  mkdir -p "$work/tests" "$work/out"
  cp "$here/tests/desktop/wayland_test.sh" "$here/tests/desktop/session.sh" \
    "$here/tests/desktop/listen.py" "$build/bin/wayland_pointer" "$work/tests/"
  # A clean environment: the session makes its own runtime folder, bus,
  # display and sound server.
  clean=(env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 HOME="$work/home")
  status=0
  if [ "$(id -u)" = 0 ]; then
    user=quimbel-session
    id -u $user >/dev/null 2>&1 ||
      useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin $user
    chown -R $user: "$work"
    clean=(setpriv --reuid=$user --regid=$user --init-groups "${clean[@]}")
  fi
  for mode in xwayland wayland; do
    "${clean[@]}" bash "$work/tests/wayland_test.sh" --inside "$work" $mode || status=$?
    [ $status -eq 0 ] || break
  done
  echo "wayland: the session took $((SECONDS - started)) s"
  exit $status
fi

# One session: $2 holds the installed program and the test's tools, $3 says
# whether sway runs XWayland ("xwayland") or not ("wayland").
source "$2/tests/session.sh"
test_name=wayland
tests=$2/tests
out=$2/out
prefix=$2/prefix
mode=$3
work=$2/$mode
mkdir -p "$work"
step_tag=" ($mode)"
out_prefix=$mode-
screenshot=(grim)
step_name=set-up
session=
trap end_test EXIT
end_session() {
  # sway's end ends its bar, XWayland and then the bus it runs under.
  [ -z "${SWAYSOCK:-}" ] || swaymsg exit >/dev/null 2>&1 || true
  [ -z "$session" ] || wait_for 5 bash -c "! kill -0 $session" || true
}
more_on_failure() {
  [ -f "$work/sway.log" ] && grep -a -i 'error' "$work/sway.log" | sed 's/^/  sway: /' | tail -5 >&2 || true
}

# --- The session: sway with a bar and its tray, a bus, sound, a fresh home ---
start_home
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
start_sound

step "start sway with its bar"
# What sway's own default configuration has: a bar at the top with a status
# line and the tray at its right end.
cat >"$work/sway.conf" <<EOF
xwayland $([ "$mode" = xwayland ] && echo enable || echo disable)
output HEADLESS-1 resolution 1280x1024
bar {
  position top
  status_command while echo quimbel; do sleep 60; done
}
EOF
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
  dbus-run-session -- sway -c "$work/sway.conf" >"$work/sway.log" 2>&1 &
session=$!
pids+=($session)
sway_socket() { compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock"; }
wait_for 15 sway_socket || fail "sway did not start"
export SWAYSOCK
SWAYSOCK=$(sway_socket | head -1)
# The session's display, X display and bus, as sway hands them to programs.
swaymsg exec "env >$work/session.env" >/dev/null
wait_for 5 grep -q '^DBUS_SESSION_BUS_ADDRESS=' "$work/session.env" || fail "no session environment"
names=(WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS)
[ "$mode" = xwayland ] && names+=(DISPLAY)
for name in "${names[@]}"; do
  export "$(grep -a "^$name=" "$work/session.env")" || fail "sway gives programs no $name"
done
export XDG_SESSION_TYPE=wayland
# The tray: swaybar's StatusNotifierItem watcher on the bus.
watcher() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.kde.StatusNotifierWatcher | grep -q 'true'
}
wait_for 15 watcher || fail "swaybar's tray did not come up"
shot "01-sway"

# The tray icon: what the bar shows right of the status line, as the centre
# and size of the box around it ("x y w h"), from a screenshot.
icon_on_bar() {
  grim "$work/bar.png" 2>/dev/null || return 1
  /usr/bin/python3 - "$work/bar.png" <<'EOF'
import subprocess, sys
import numpy as np
w, h = (int(v) for v in subprocess.run(["/usr/bin/identify", "-format", "%w %h", sys.argv[1]],
        check=True, capture_output=True, text=True).stdout.split())
raw = subprocess.run(["/usr/bin/convert", sys.argv[1], "-depth", "8", "rgb:-"], check=True,
                     capture_output=True).stdout
px = np.frombuffer(raw, dtype=np.uint8).reshape(h, w, 3).astype(int)
background = px[1, w // 2]
rows = 0
while rows < 64 and (px[rows, w // 2] == background).all():
    rows += 1
bar = np.abs(px[:rows] - background).sum(axis=2) > 30
cols = np.flatnonzero(bar.any(axis=0))
# The rightmost group of columns with something drawn, gaps under 3 px joined.
if len(cols) == 0:
    sys.exit(1)
right = cols[-1]
left = right
for c in cols[::-1]:
    if left - c > 3:
        break
    left = c
ys = np.flatnonzero(bar[:, left:right + 1].any(axis=1))
width, height = right - left + 1, ys[-1] - ys[0] + 1
# The status text is wider than high; an icon is about square.
if not (8 <= width <= 2 * height + 4 and height >= 8):
    sys.exit(1)
print((left + right) // 2, (ys[0] + ys[-1]) // 2, width, height, rows)
EOF
}

# The program's windows in sway's tree as "x y w h focused" lines.
windows() {
  swaymsg -t get_tree | /usr/bin/python3 -c '
import json, sys
pid = int(sys.argv[1])
def walk(node):
    if node.get("pid") == pid and node.get("visible"):
        r = node["rect"]
        print(r["x"], r["y"], r["width"], r["height"], "focused" if node.get("focused") else "-")
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)
walk(json.load(sys.stdin))' "$app"
}
panel_window() { windows | awk '$3 == 328 && $4 == 684' | grep .; }
panel_focused() { panel_window | grep -q focused; }
panel_gone() { ! panel_window >/dev/null; }

click() {
  swaymsg seat - cursor set "$1" "$2" >/dev/null
  swaymsg seat - cursor press button1 >/dev/null
  swaymsg seat - cursor release button1 >/dev/null
}
# Types on a virtual keyboard of its own (wtype's options: -P KEY presses,
# -p KEY releases, -s MS waits, -M/-m MOD holds and lets go of a modifier)
# and returns once the compositor has it all. The seat switches to that
# keyboard on its first event and hands the focused window its key map then;
# a key that did it would arrive as already held (XWayland makes it part of
# the key map change) rather than pressed, so no modifiers held comes first.
keys() { wtype -m shift "$@"; }

quimbel=$prefix/bin/quimbel
write_pads

# A keyboard and a pointer for the whole session: the seat of a headless
# sway offers programs a keyboard or a pointer only while one exists, and
# one that came with each key or click would race the program's (or
# swaybar's) taking it up. A wtype that waits an hour is the keyboard; wtype
# has no pointer, which a client of our own makes.
wtype -s 3600000 &
pids+=($!)
wait_for 10 bash -c 'swaymsg -r -t get_inputs | grep -q "\"keyboard\""' || fail "no virtual keyboard"
coproc pointer { exec "$tests/wayland_pointer"; }
pids+=($pointer_PID)
read -r -t 10 ready <&"${pointer[0]}" && [ "$ready" = ok ] || fail "no virtual pointer"

step "the icon appears on the bar"
QUIMBEL_TRACE=1 start_app quimbel.log
wait_for 15 icon_on_bar || fail "no icon on the bar"
sleep 0.3
read -r icon_x icon_y icon_w icon_h bar_h <<<"$(icon_on_bar)"
echo "wayland:   icon ${icon_w}x${icon_h} at $icon_x,$icon_y on a bar $bar_h px high"
if [ "$mode" = xwayland ]; then
  display='display: X11 through XWayland, xcb, in the system tray'
  placed='asked for [0-9]*,[0-9]*, put at [0-9]*,[0-9]*$'
else
  display='display: Wayland, wayland, in the system tray'
  placed='Wayland lets no window choose its position$'
fi
grep -aq "$display" "$work/quimbel.log" ||
  fail "expected '$display', the log says: $(grep -a 'display:' "$work/quimbel.log")"
shot "02-icon"

step "a click on the icon shows the panel, with the keyboard"
click "$icon_x" "$icon_y"
wait_for 5 panel_window || fail "the panel did not open"
# sway gives the keyboard to a window as it maps it.
wait_for 5 panel_focused || fail "the panel is open without the keyboard: $(windows)"
read -r panel_x panel_y _ <<<"$(panel_window)"
echo "wayland:   panel at $panel_x,$panel_y"
sleep 0.5
shot "03-panel"
log=$XDG_STATE_HOME/Quimbel/Diagnostics/quimbel.log
wait_for 5 grep -aq "the compositor places the panel: $placed" "$log" ||
  fail "the log does not say that the compositor places the panel"
grep -a 'the compositor places the panel:' "$log" | sed 's/^/wayland:   log: /'

step "pads 1 to 7 by key"
# A key heard wrong is played once more before it counts: a loaded machine
# lets the null sink drop a few milliseconds, which the listener hears as a
# click across every note.
play_pad() {
  local pad=$1 file=$2
  # The chord before rings on for two seconds after its key comes up.
  sleep 1
  record "$file" keys -P $pad -s 500 -p $pad
  got=$(heard "$file" "$work/pads.json")
  [ "$got" = $((pad - 1)) ]
}
for pad in 1 2 3 4 5 6 7; do
  play_pad $pad "$work/key$pad.wav" || {
    echo "wayland:   key $pad heard as '$got' (pads from 0), played again"
    play_pad $pad "$work/key$pad-again.wav"
  } || {
    [ "$got" != "-" ] || fail "key $pad played nothing"
    fail "key $pad played pad $((got + 1))'s chord"
  }
done
shot "04-played"

step "a second click hides it, a third shows it"
click "$icon_x" "$icon_y"
wait_for 5 panel_gone || fail "the panel did not hide"
sleep 0.4
click "$icon_x" "$icon_y"
wait_for 5 panel_window || fail "the panel did not open again"
wait_for 5 panel_focused || fail "the panel opened again without the keyboard"
play_pad 1 "$work/again.wav" || play_pad 1 "$work/again2.wav" || fail "key 1 did not play pad 1 again"
[ "$(grep -ac 'the compositor places the panel:' "$log")" = 1 ] ||
  fail "the compositor's placement was logged more than once"

step "Ctrl+Q quits with status 0"
keys -M ctrl -k q -m ctrl || fail "could not type Ctrl+Q"
status=0
wait_for 10 bash -c "! kill -0 $app" || fail "still running after Ctrl+Q"
wait $app || status=$?
app=
[ $status -eq 0 ] || fail "exit status $status"

end_steps
