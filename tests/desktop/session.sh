# What the desktop tests share, sourced by them: the frame of a run (its
# out/ and work folders, its steps, what a failure leaves behind, the end of
# what it started) and the X11 session they run in: a fresh home folder, Xvfb
# with a tray and, unless one answers already, a PulseAudio null sink;
# `sink` names the sink afterwards. The Wayland session takes the frame, the
# home folder and the sound server from here.
#
# The tray is trayer (an XEmbed tray that tells where its icons are) unless
# `start_session xfce top|bottom` asks for the Xfce panel: a StatusNotifierItem
# tray on its own D-Bus session bus, under the Xfce window manager so that the
# bar keeps its strip of the screen out of the free area, as on a desktop.

tests_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
listen=(/usr/bin/python3 "$tests_dir/listen.py")
# What the run started, which end_test ends: the program, the processes in
# pids, a private jackd, a sound server of our own.
app=
pids=()
jackd_pid=
own_pulse=0
# The step under way (none in a run without steps), and the steps passed
# with their times.
step_name=
step_start=
passed=0
timings=()
# Said after each step's name (the Wayland session's mode), and put before
# the names of the files the run leaves in out/.
step_tag=
out_prefix=
# 1: the recordings and logs stay in out/ after a passing run too.
keep_always=0

# begin_test NAME [BUILD_DIR]: a run called NAME (its lines start with it,
# its folders in out/ and /tmp take it with dashes) of the build in BUILD_DIR
# (default build/default), in a fresh work folder that goes at its end.
begin_test() {
  test_name=$1
  local folder=${1// /-}
  here=$(cd "$tests_dir/../.." && pwd)
  build=${2:-$here/build/default}
  quimbel=$build/bin/quimbel
  out=$here/out/$folder
  rm -rf "$out"
  mkdir -p "$out"
  work=$(mktemp -d "/tmp/quimbel-$folder.XXXXXX")
  trap end_test EXIT
}

# The end of every run: what it started ends, the recordings and logs of a
# failed run stay in out/ beside its screenshots, and the work folder goes.
end_test() {
  local status=$? file
  set +e
  [ -n "$app" ] && { kill -9 "$app" && wait "$app"; } 2>/dev/null
  # Every run of the run's own install, the ones that handed over among them.
  pkill -9 -f "$work/prefix/bin/quimbel" 2>/dev/null
  end_session
  # A server that ends by itself takes its entry out of JACK's registry of
  # servers (which holds only a few).
  [ -n "$jackd_pid" ] && kill -TERM "$jackd_pid" 2>/dev/null && wait "$jackd_pid" 2>/dev/null
  # Each waited for, so that the shell does not report it as killed.
  for pid in "${pids[@]}"; do
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  [ $own_pulse -eq 1 ] && pulseaudio -k 2>/dev/null
  if [ $status -ne 0 ] || [ $keep_always -eq 1 ]; then
    for file in "$work"/*.wav "$work"/*.log "$work"/*.txt; do
      [ -f "$file" ] && cp "$file" "$out/$out_prefix${file##*/}"
    done
  fi
  rm -rf "$work"
  exit $status
}
# What a session ends of its own before the rest (the Wayland session: sway).
end_session() { :; }

# Ends the run as failed, saying why ($*), with a screenshot and the end of
# the program's log.
fail() {
  if [ -n "$step_name" ]; then
    echo "$test_name: step '$step_name'$step_tag failed: $*" >&2
  else
    echo "$test_name: $*" >&2
  fi
  shot "failed${step_name:+-${step_name// /-}}" || true
  [ -f "$work/quimbel.log" ] && grep -a -v '^Quimbel: trace' "$work/quimbel.log" | tail -20 |
    sed 's/^/  quimbel: /' >&2
  more_on_failure
  [ -z "$step_name" ] || echo "$test_name: $passed passed, 1 failed$step_tag"
  exit 1
}
# What a session tells of its own on a failure (the Wayland session: sway's errors).
more_on_failure() { :; }

# A run in steps: each says its name as it starts, and counts with its time
# once the next one starts (or end_steps comes).
step() {
  finish_step
  step_name=$1
  step_start=$(date +%s.%N)
  echo "$test_name: $step_name$step_tag"
}
finish_step() {
  [ -n "$step_start" ] || return 0
  timings+=("$step_name $(echo "$(date +%s.%N) - $step_start" | bc | xargs printf '%.1f') s")
  passed=$((passed + 1))
  step_start=
}
end_steps() {
  finish_step
  step_name=
  printf '%s\n' "${timings[@]/#/$test_name: }"
  echo "$test_name: $passed passed, 0 failed$step_tag"
}

# A screenshot of the whole screen, as out/$1.png, taken by the command in
# screenshot (the Wayland session's is grim).
screenshot=(import -window root)
shot() { "${screenshot[@]}" "$out/$out_prefix$1.png" 2>/dev/null; }

# Records the sink's monitor while a command (the rest) runs, into $1.
record() {
  local file=$1 rec
  shift
  parecord -d "$sink.monitor" --rate=48000 --channels=2 --format=s16le \
    --file-format=wav "$file" &
  rec=$!
  sleep 0.4
  "$@"
  sleep 0.9
  kill -INT $rec 2>/dev/null || true
  wait $rec 2>/dev/null || true
}
# Which of the candidate chords (a JSON list of note lists, in $2) sounds in
# the recording $1: its place in the list from 0, or "-" for none.
heard() { "${listen[@]}" chord "$1" "$2" | cut -d' ' -f1; }
# The chords of the pads, as note lists, from the program's own command line
# into $work/pads.json.
write_pads() {
  "$quimbel" chords --json | /usr/bin/python3 -c '
import json, sys
json.dump([c["notes"] for c in json.load(sys.stdin)], open(sys.argv[1], "w"))' "$work/pads.json"
}
# Holds key $1 down for $2 seconds (half a second unless given).
press() {
  xdotool keydown "$1"
  sleep "${2:-0.5}"
  xdotool keyup "$1"
}

# Starts the program as $app, its output into $work/$1.
start_app() {
  "$quimbel" >"$work/$1" 2>&1 &
  app=$!
  pids+=($app)
}
# Sends the program signal $1 and waits for its end: its exit status in status.
signal_app() {
  kill -"$1" "$app"
  status=0
  wait "$app" || status=$?
  app=
}
# A run (its output into $work/$1) killed with kill -9 once its icon shows,
# which the next start asks about; $2 says that it showed none.
start_killed_run() {
  start_app "$1"
  wait_for 10 icon_window || fail "$2"
  sleep 0.5
  kill -9 $app
  wait $app 2>/dev/null || true
}

# The program's visible window from $1 to $2 pixels wide, named as the
# pattern $3 where given; one no wider than 64 (the tray icon) only where
# the tray is, in the bar along the top. Leaves its geometry in X, Y, WIDTH
# and HEIGHT.
window() {
  local w
  for w in $(xdotool search --all --onlyvisible --pid "$app" ${3:+--name "$3"} 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    [ "$WIDTH" -ge "$1" ] && [ "$WIDTH" -le "$2" ] || continue
    { [ "$1" -gt 64 ] || { [ "$X" -gt 0 ] && [ "$Y" -lt 64 ]; }; } && echo "$w" && return 0
  done
  return 1
}
# The tray icon (the program's small window embedded in the tray) and the panel.
icon_window() { window 16 64; }
panel_window() { window 300 4000; }
# The question about a run that ended abnormally: a message box named as the
# program, as wide as neither the icon nor the panel (328).
question_window() { window 65 327 '^Quimbel$' || window 329 4000 '^Quimbel$'; }

# Waits for the tray icon: its centre in icon_x and icon_y, its lower edge
# in icon_bottom.
find_icon() {
  wait_for 10 icon_window || fail "no tray icon"
  eval "$(xdotool getwindowgeometry --shell "$(icon_window)")"
  icon_x=$((X + WIDTH / 2)) icon_y=$((Y + HEIGHT / 2)) icon_bottom=$((Y + HEIGHT))
}
toggle_panel() { xdotool mousemove $icon_x $icon_y click 1; }
# Opens the panel with a click on the icon: the window in panel, its top
# left corner in panel_x and panel_y (and its geometry in X, Y, WIDTH, HEIGHT).
open_panel() {
  toggle_panel
  wait_for 5 panel_window || fail "the panel did not open"
  panel=$(panel_window)
  eval "$(xdotool getwindowgeometry --shell "$panel")"
  panel_x=$X panel_y=$Y
}
focus_panel() { xdotool windowfocus --sync "$(panel_window)" 2>/dev/null || true; }
# The centre of a named control on the screen, from the program's trace of
# where its controls sit ("trace widget NAME|x y w h", window points).
control() {
  local line cx cy cw ch
  line=$(grep -a "trace widget $1|" "$work/quimbel.log" | tail -1) || return 1
  [ -n "$line" ] || return 1
  read -r cx cy cw ch <<<"${line##*|}"
  echo "$((panel_x + cx + cw / 2)) $((panel_y + cy + ch / 2))"
}
click_control() {
  local at
  at=$(control "$1") || fail "no control named '$1'"
  xdotool mousemove $at click 1
}

# A private jackd, the server JACK_DEFAULT_SERVER names, with the dummy
# driver at 48 kHz in 64-frame periods, in jackd_pid: real-time scheduling
# where the machine allows it (fewer xruns on a busy machine), else none, as
# the test needs no privileges.
start_jackd() {
  local mode
  for mode in --realtime --no-realtime; do
    jackd $mode -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 64 >>"$work/jackd.log" 2>&1 &
    jackd_pid=$!
    wait_for 10 bash -c "! kill -0 $jackd_pid || jack_lsp" || true
    kill -0 "$jackd_pid" 2>/dev/null && jack_lsp >/dev/null 2>&1 && return 0
    kill -9 "$jackd_pid" 2>/dev/null || true
    wait "$jackd_pid" 2>/dev/null || true
  done
  jackd_pid=
  fail "jackd did not start"
}
# Whether the JACK graph has the port $1, and whether it has not.
jack_port() { jack_lsp 2>/dev/null | grep -qx "$1"; }
no_jack_port() { ! jack_port "$1"; }

# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}

# Xfce's panel along one edge ($1: top or bottom), the whole width, 28 px
# high, with nothing but its tray; and the window manager it runs under.
start_xfce_panel() {
  local position
  case $1 in
    top) position="p=6;x=0;y=0" ;;
    bottom) position="p=8;x=0;y=0" ;;
    *) fail "no Xfce panel edge '$1'" ;;
  esac
  local channel=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
  mkdir -p "$channel"
  cat >"$channel/xfce4-panel.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="$position"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
XML
  # The session's own bus: the panel's tray answers there as the
  # StatusNotifierWatcher, and the program registers its item with it.
  eval "$(dbus-launch --sh-syntax)"
  pids+=("$DBUS_SESSION_BUS_PID")
  export NO_AT_BRIDGE=1
  # The window manager first: it takes the bar's strut out of the work area.
  xfwm4 --compositor=off >/dev/null 2>&1 &
  pids+=($!)
  wait_for 10 bash -c "xprop -root -notype _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" ||
    fail "the Xfce window manager did not start"
  xfce4-panel >/dev/null 2>&1 &
  pids+=($!)
  wait_for 10 dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
    /StatusNotifierWatcher org.freedesktop.DBus.Peer.Ping || fail "the Xfce panel has no tray"
}

# A fresh home folder, and none of the test suite's settings.
start_home() {
  export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state
  export XDG_CACHE_HOME=$work/home/.cache XDG_DATA_HOME=$work/home/.local/share
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
  unset QUIMBEL_TESTING QUIMBEL_DATA_DIR QUIMBEL_DIAGNOSTICS_DIR WAYLAND_DISPLAY QT_QPA_PLATFORM
}

# start_session [trayer | xfce top | xfce bottom]
start_session() {
  start_home
  export XDG_SESSION_TYPE=x11

  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  exec 3>&-
  wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
  export DISPLAY=:$(cat "$work/display")
  if [ "${1:-trayer}" = xfce ]; then
    start_xfce_panel "${2:-top}"
  else
    trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
      --transparent false >/dev/null 2>&1 &
    pids+=($!)
  fi
  start_sound
}

# The sound server that answers, else a PulseAudio null sink of our own.
start_sound() {
  if ! pactl info >/dev/null 2>&1; then
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    pulseaudio --daemonize=yes -n -F /dev/null --exit-idle-time=-1 --disallow-exit \
      --log-level=error --load=module-native-protocol-unix \
      --load="module-null-sink sink_name=ci_sink rate=48000 channels=2 norewinds=1" ||
      fail "no sound server"
    own_pulse=1
    wait_for 10 pactl info || fail "no sound server"
  fi
  sink=$(pactl get-default-sink)
}
