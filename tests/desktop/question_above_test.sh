#!/usr/bin/env bash
# The question about a run that ended abnormally stays above the panel: a run
# is killed with kill -9, the next start asks, and while it asks the panel
# opens (a second start hands over to the running one, which shows its
# panel and raises it). The question, which blocks the panel, must still be
# the upper window. Same X11 session as desktop_test.sh.
#
# Usage: tests/desktop/question_above_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
begin_test "question above" "$@"
start_session

# The program's windows: the tray icon is small and near the top, the panel
# 328 points wide, the question any other window named Quimbel.
window_of() {
  for w in $(xdotool search --all --onlyvisible --pid "$app" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    case $1 in
      icon) [ "$WIDTH" -le 64 ] && [ "$Y" -lt 64 ] ;;
      panel) [ "$WIDTH" -eq 328 ] ;;
      question) [ "$WIDTH" -gt 64 ] && [ "$WIDTH" -ne 328 ] &&
        [ "$(xdotool getwindowname "$w")" = Quimbel ] ;;
    esac && echo "$w" && return 0
  done
  return 1
}

"$quimbel" >"$work/killed.log" 2>&1 &
app=$!
pids+=($app)
wait_for 10 window_of icon || fail "no tray icon for the run to kill"
sleep 0.5
kill -9 $app
wait $app 2>/dev/null || true

"$quimbel" >"$work/asking.log" 2>&1 &
app=$!
pids+=($app)
wait_for 10 window_of icon || fail "no tray icon for the run that asks"
# The question comes 6 s after the launch.
wait_for 15 window_of question || fail "no question about the killed run"
question=$(window_of question)

"$quimbel" >"$work/second.log" 2>&1 || fail "the second start did not hand over"
wait_for 5 window_of panel || fail "the hand-over did not show the panel"
panel=$(window_of panel)
sleep 0.5
shot question-and-panel || true
# xwininfo lists the root's windows from the top down.
order=$(xwininfo -root -children | awk '/^ +0x/ { print $1 }' |
  grep -n -x -e "$(printf '0x%x' "$question")" -e "$(printf '0x%x' "$panel")" | cut -d: -f2)
[ "$(head -1 <<<"$order")" = "$(printf '0x%x' "$question")" ] ||
  fail "the panel covers the question"
echo "question above: the question stays above the panel, passed"
