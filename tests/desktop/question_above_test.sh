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

start_killed_run killed.log "no tray icon for the run to kill"
start_app asking.log
wait_for 10 icon_window || fail "no tray icon for the run that asks"
# The question comes 6 s after the launch.
wait_for 15 question_window || fail "no question about the killed run"
question=$(question_window)
# The panel: exactly 328 points wide, as the question may be 300 or more.
panel_window() { window 328 328; }

"$quimbel" >"$work/second.log" 2>&1 || fail "the second start did not hand over"
wait_for 5 panel_window || fail "the hand-over did not show the panel"
panel=$(panel_window)
sleep 0.5
shot question-and-panel || true
# xwininfo lists the root's windows from the top down.
order=$(xwininfo -root -children | awk '/^ +0x/ { print $1 }' |
  grep -n -x -e "$(printf '0x%x' "$question")" -e "$(printf '0x%x' "$panel")" | cut -d: -f2)
[ "$(head -1 <<<"$order")" = "$(printf '0x%x' "$question")" ] ||
  fail "the panel covers the question"
echo "question above: the question stays above the panel, passed"
