# The X11 session the desktop tests run in, sourced by them: a fresh home
# folder, Xvfb with a tray and, unless one answers already, a PulseAudio null
# sink. The sourcing script defines `work`, `pids`, `own_pulse` and `fail`;
# `sink` names the sink afterwards. The Wayland session takes the home folder
# and the sound server from here.
#
# The tray is trayer (an XEmbed tray that tells where its icons are) unless
# `start_session xfce top|bottom` asks for the Xfce panel: a StatusNotifierItem
# tray on its own D-Bus session bus, under the Xfce window manager so that the
# bar keeps its strip of the screen out of the free area, as on a desktop.

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
