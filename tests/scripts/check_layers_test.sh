#!/usr/bin/env bash
# scripts/check-layers on small fake trees: a clean tree passes, and each
# kind of fault it exists to catch fails the check with its own message.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
check="$here/scripts/check-layers"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

put() {  # put FILE LINE...: writes the lines into FILE under the tree
  mkdir -p "$(dirname "$tree/$1")"
  local file=$1
  shift
  printf '%s\n' "$@" >>"$tree/$file"
}

# A tree that uses what the floor plan allows: includes downwards and across a
# floor one way, Qt in a Qt room and in the font, the command line on the
# virtual-time header, a test helper used by a test.
clean_tree() {
  tree="$scratch/$1"
  put src/base/run_loop.h '#pragma once'
  put src/base/virtual_time.h '#pragma once' '// check-layers: test-only' '#include "base/run_loop.h"'
  put src/music/chords.h '#pragma once' '#include "base/run_loop.h"'
  put src/look/font.cpp '#include <QFont>' '#include "music/chords.h"'
  put src/audio/engine.h '#pragma once' '#include "music/chords.h"'
  put src/screen/canvas.h '#pragma once' '#include "audio/engine.h"'
  put src/export/video.cpp '#include "audio/engine.h"' '#include "screen/canvas.h"'
  put src/model/pad.cpp '#include "export/video.h"' '#include "base/run_loop.h"'
  put src/cli/render.cpp '#include <QImage>' '#include "base/virtual_time.h"' '#include "model/pad.h"'
  put src/app/main.cpp '#include "cli/render.h"'
  put tests/model/rig.h '#pragma once' '#include "base/virtual_time.h"'
  put tests/model/pad_test.cpp '#include "model/rig.h"'
}

# expect CASE STATUS PATTERN: check-layers on the tree exits with STATUS and
# says PATTERN.
expect() {
  local output status=0
  output=$("$check" "$tree" 2>&1) || status=$?
  if [ "$status" -ne "$2" ] || ! grep -q -- "$3" <<<"$output"; then
    echo "FAIL $1: exit $status, wanted $2 and \"$3\"; it said:" >&2
    echo "$output" >&2
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}

clean_tree clean
expect "a clean tree" 0 "floor plan kept"

clean_tree cycle
put src/audio/engine.h '#include "screen/canvas.h"'
expect "a loop between two rooms of one floor" 1 "floor 3 include each other in a loop: audio screen"

clean_tree upward
put src/music/chords.h '#include "model/pad.h"'
expect "an include from a higher floor" 1 "src/music/chords.h reaches up into model/"

clean_tree marked
put src/model/pad.cpp '#include "base/virtual_time.h"'
expect "production code on a header marked test-only" 1 "pad.cpp includes base/virtual_time.h, which is test-only"

clean_tree helper
put src/model/pad.cpp '#include "model/rig.h"'
expect "production code on a test helper" 1 "pad.cpp includes the test helper model/rig.h"

clean_tree qt
put src/audio/engine.h '#include <QString>'
expect "Qt in a plain room" 1 "Qt headers in plain C++ code: src/audio/engine.h"

clean_tree plugin
put src/plugin/entry.cpp '#include <QString>' '#include "model/pad.h"'
expect "Qt in the plugin, which hosts load without Qt" 1 "Qt headers in plain C++ code: src/plugin/entry.cpp"

clean_tree unplaced
put src/gadgets/gadget.h '#pragma once'
expect "a room on no floor" 1 "src/gadgets/ is on no floor"

tree=$here
expect "this checkout" 0 "floor plan kept"

[ "$failures" -eq 0 ] || exit 1
