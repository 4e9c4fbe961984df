#!/bin/sh
# Installs the build into a scratch prefix, as a packager would, and checks
# the bundle there: its files, a library that exports only the LV2 entry
# point and loads no Qt, hosts listing both plugins, and the instrument
# finding the installed piano beside the bundle.
# Usage: install_test.sh <build dir> <plugin_test program>
set -eu
build=$1
test_program=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
bundle=$prefix/lib/lv2/quimbel.lv2
for file in manifest.ttl quimbel.ttl quimbel.so; do
  [ -f "$bundle/$file" ] || { echo "install: $bundle/$file is missing" >&2; exit 1; }
done

exported=$(nm -D --defined-only "$bundle/quimbel.so" | awk '{print $3}')
[ "$exported" = lv2_descriptor ] || { echo "install: quimbel.so exports: $exported" >&2; exit 1; }
if readelf -d "$bundle/quimbel.so" | grep NEEDED | grep -i -E 'qt|portaudio|asound|avcodec'; then
  echo "install: quimbel.so loads libraries it has no use for" >&2
  exit 1
fi

listed=$(LV2_PATH=$prefix/lib/lv2 lv2ls)
expected=$(printf 'https://quimbel.app/lv2/chords\nhttps://quimbel.app/lv2/quimbel')
[ "$listed" = "$expected" ] || { echo "install: lv2ls lists: $listed" >&2; exit 1; }

QUIMBEL_LV2_BUNDLE=$bundle "$test_program" --gtest_filter=InstrumentTest.FindsThePianoBesideItsBundleOrSaysWhyNot
