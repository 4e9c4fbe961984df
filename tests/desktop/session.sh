# The X11 session both desktop tests run in, sourced by them: a fresh home
# folder, Xvfb with a tray (trayer) and, unless one answers already, a
# PulseAudio null sink. The sourcing script defines `work`, `pids`,
# `own_pulse` and `fail`; `sink` names the sink afterwards. The Wayland
# session takes the home folder and the sound server from here.

# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}

# A fresh home folder, and none of the test suite's settings.
start_home() {
  export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state
  export XDG_CACHE_HOME=$work/home/.cache XDG_DATA_HOME=$work/home/.local/share
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
  unset QUIMBEL_TESTING QUIMBEL_DATA_DIR QUIMBEL_DIAGNOSTICS_DIR WAYLAND_DISPLAY QT_QPA_PLATFORM
}

start_session() {
  start_home
  export XDG_SESSION_TYPE=x11

  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  exec 3>&-
  wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
  export DISPLAY=:$(cat "$work/display")
  trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
    --transparent false >/dev/null 2>&1 &
  pids+=($!)
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
