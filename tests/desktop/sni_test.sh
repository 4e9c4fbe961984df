#!/usr/bin/env bash
# The instrument under a StatusNotifierItem tray, as most desktops have now:
# Xfce's panel, whose tray does not tell the program where its icon is. A
# click on the icon must still open the panel right beside the bar, with the
# bar at the top and then at the bottom of the screen, and keys 1 to 7 must
# play their chords. Screenshots of every step go to out/sni/.
#
# Usage: tests/desktop/sni_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
begin_test sni "$@"
step_name=set-up
start_session xfce top

step "install"
cmake --install "$build" --prefix "$work/prefix" >/dev/null || fail "cmake --install"
quimbel=$work/prefix/bin/quimbel
write_pads

step "the icon registers with the tray"
QUIMBEL_TRACE=1 start_app quimbel.log
registered() {
  dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
    string:RegisteredStatusNotifierItems 2>/dev/null | grep -q 'string "'
}
wait_for 10 registered || fail "no StatusNotifierItem registered"

# The bar, and the tray plugin's own window in it: the plugin holds nothing
# but the program's icon, so its middle is the icon's.
window_of() {
  for w in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    [ "$WIDTH" -ge "$2" ] && [ "$HEIGHT" -ge 16 ] && echo "$w" && return 0
  done
  return 1
}
bar_window() { window_of '^xfce4-panel$' 600; }
tray_window() { window_of '^wrapper-2.0$' 16; }

# Clicks the icon with the bar at edge $1 and checks where the panel opens,
# then plays pads 1 to 7 by key and puts the panel away.
click_and_play() {
  local edge=$1
  step "bar at the $edge: the icon"
  wait_for 10 bar_window || fail "no bar"
  wait_for 10 tray_window || fail "no icon in the bar's tray"
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$(bar_window)")"
  local bar_top=$Y bar_bottom=$((Y + HEIGHT))
  eval "$(xdotool getwindowgeometry --shell "$(tray_window)")"
  local icon_x=$((X + WIDTH / 2)) icon_y=$((Y + HEIGHT / 2))
  echo "sni: bar from y $bar_top to $bar_bottom, icon at $icon_x,$icon_y"
  shot "$edge-1-icon"

  step "bar at the $edge: a click shows the panel beside it"
  xdotool mousemove $icon_x $icon_y click 1
  wait_for 5 panel_window || fail "the panel did not open"
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$(panel_window)")"
  shot "$edge-2-panel"
  local gap
  if [ "$edge" = top ]; then gap=$((Y - bar_bottom)); else gap=$((bar_top - Y - HEIGHT)); fi
  echo "sni: panel at $X,$Y ${WIDTH}x$HEIGHT, $gap px from the bar"
  [ $gap -ge 0 ] && [ $gap -le 12 ] || fail "the panel is $gap px from the bar, not 0 to 12"
  [ $icon_x -ge $((X - 8)) ] && [ $icon_x -le $((X + WIDTH + 8)) ] ||
    fail "the icon's x $icon_x lies outside the panel's $X to $((X + WIDTH))"

  step "bar at the $edge: pads 1 to 7 by key"
  local pad got try
  for pad in 1 2 3 4 5 6 7; do
    # The null sink drops out when the machine is busy: a chord heard wrong
    # is played once more before it counts.
    for try in 1 2; do
      record "$work/$edge-key$pad-$try.wav" press $pad
      got=$(heard "$work/$edge-key$pad-$try.wav" "$work/pads.json")
      [ "$got" = $((pad - 1)) ] && break
      echo "sni: key $pad heard as ${got}, once more"
    done
    [ "$got" != "-" ] || fail "key $pad played nothing"
    [ "$got" = $((pad - 1)) ] || fail "key $pad played pad $((got + 1))'s chord"
  done
  shot "$edge-3-played"
  xdotool key Escape
  wait_for 5 bash -c "! xdotool search --onlyvisible --pid $app 2>/dev/null | grep -qx $(panel_window)" ||
    fail "Escape did not hide the panel"
}

click_and_play top

step "the bar moves to the bottom"
xfconf-query -c xfce4-panel -p /panels/panel-1/position -s "p=8;x=0;y=0" ||
  fail "the bar did not take its new place"
wait_for 10 bash -c "xprop -root -notype _NET_WORKAREA | grep -q '= 0, 0, '" ||
  fail "the bar at the bottom did not leave the top of the screen free"
click_and_play bottom

end_steps
