#!/usr/bin/env bash
# The Debian packages end to end, as a user gets them: scripts/package builds
# them, lintian must find no error and no warning (and no stale override),
# the binaries must be hardened and stripped, apt installs both on this
# machine, the installed program must work from the installed files alone
# (its render equal to the build tree's, byte for byte), and purging both must
# leave none of their files behind. Installs and purges through apt (with
# sudo when not root); it purges the packages again however it ends.
#
# Usage: tests/package/package_test.sh [REFERENCE_BUILD_DIR]   (default build/default)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
reference=${1:-$here/build/default}
packages=$here/out/packages
work=$(mktemp -d /tmp/quimbel-package.XXXXXX)
sudo_=()
[ "$(id -u)" -eq 0 ] || sudo_=(sudo)
apt_=("${sudo_[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q)
installed=0
passed=0
step_name="set-up"
step_start=$(date +%s.%N)
timings=()

# Whether dpkg still knows either package in any state but purged.
present() {
  dpkg-query -W -f='${db:Status-Status}\n' quimbel quimbel-data 2>/dev/null | grep -qvx not-installed
}
purge() { "${apt_[@]}" purge quimbel quimbel-data >"$work/purge.log" 2>&1; }

cleanup() {
  local status=$?
  [ $installed -eq 1 ] && { purge || true; }
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT

fail() {
  echo "package: step '$step_name' failed: $*" >&2
  echo "package: $passed passed, 1 failed"
  exit 1
}

finish_step() {
  if [ "$step_name" != "set-up" ]; then
    timings+=("$step_name $(echo "$(date +%s.%N) - $step_start" | bc | xargs printf '%.1f') s")
    passed=$((passed + 1))
  fi
}

step() {
  finish_step
  step_name=$1
  step_start=$(date +%s.%N)
  echo "package: $step_name"
}

[ -x "$reference/bin/quimbel" ] || fail "no program in the reference build $reference"

step "build"
"$here/scripts/package" >"$work/package.log" 2>&1 || { tail -30 "$work/package.log" >&2; fail "scripts/package"; }
program_deb=$(ls "$packages"/quimbel_*_amd64.deb)
data_deb=$(ls "$packages"/quimbel-data_*_all.deb)
version=$(dpkg-deb -f "$program_deb" Version)
[ "$(dpkg-deb -f "$data_deb" Version)" = "$version" ] || fail "the two packages' versions differ"
[ "$(dpkg-parsechangelog -l "$here/packaging/changelog" -S Version)" = "$version" ] ||
  fail "packaging/changelog has no entry for $version"
depends=$(dpkg-deb -f "$program_deb" Depends)
echo "$depends" | grep -q "quimbel-data (= $version)" || fail "Depends lacks quimbel-data (= $version): $depends"
echo "$depends" | grep -q "libc6" || fail "Depends not computed from the linked libraries: $depends"
[ "$(dpkg-deb -f "$program_deb" Recommends)" = "xdg-utils" ] || fail "Recommends is not xdg-utils"

step "lintian"
# Every tag is shown, overridden ones too; errors and warnings fail, and so
# does an override that no longer matches anything.
lintian --display-info --show-overrides --tag-display-limit 0 --fail-on error,warning \
  "$program_deb" "$data_deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; fail "lintian"; }
grep -E "unused-override|mismatched-override" "$work/lintian.log" >&2 && fail "stale lintian override"
grep -v "root privileges" "$work/lintian.log" | sed 's/^/  lintian: /' || true

step "hardening"
mkdir "$work/unpacked"
dpkg-deb -x "$program_deb" "$work/unpacked"
elves=0
while IFS= read -r file; do
  elves=$((elves + 1))
  file -b "$file" | grep -q ', stripped' || fail "${file#"$work/unpacked"} is not stripped"
  # No program on Debian 12 has the control-flow mark: its C start-up files
  # lack it (scripts/package compiles with -fcf-protection all the same).
  hardening-check --nocfprotection "$file" >"$work/hardening.log" 2>&1 ||
    { cat "$work/hardening.log" >&2; fail "hardening"; }
done < <(find "$work/unpacked" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
[ $elves -gt 0 ] || fail "no program in the package"

step "install"
# Left over from an earlier run that could not clean up: start from nothing.
if present; then purge; fi
installed=1
"${apt_[@]}" install "$program_deb" "$data_deb" >"$work/install.log" 2>&1 ||
  { tail -20 "$work/install.log" >&2; fail "apt-get install"; }
dpkg -L quimbel quimbel-data | sort -u >"$work/files.txt"

step "run"
# The installed program, from the installed files only: no build tree data
# folder, a fresh home.
export HOME=$work/home
mkdir -p "$HOME"
unset QUIMBEL_DATA_DIR XDG_CONFIG_HOME XDG_CACHE_HOME XDG_STATE_HOME
[ "$(command -v quimbel)" = /usr/bin/quimbel ] || fail "quimbel is not /usr/bin/quimbel on the PATH"
quimbel --version | grep -Eqx "Quimbel $version \(.+\)" || fail "--version says '$(quimbel --version)'"
take=/usr/share/doc/quimbel/examples/four-chord-loop.json
[ -f "$take" ] || fail "no example take at $take"
quimbel render "$take" --midi "$work/take.mid" --wav "$work/take.wav" || fail "render"
[ "$(head -c4 "$work/take.mid")" = MThd ] || fail "the MIDI file has no MIDI header"
"$reference/bin/quimbel" render "$take" --wav "$work/reference.wav" || fail "the build tree's render"
cmp -s "$work/take.wav" "$work/reference.wav" || fail "the installed program's WAV differs from the build tree's"
/usr/bin/python3 - "$work/take.wav" <<'EOF' || fail "the installed program rendered silence: no piano?"
import sys, wave
import numpy as np
with wave.open(sys.argv[1]) as w:
    frames = w.readframes(w.getnframes())
    width = w.getsampwidth()
dtype = {2: np.int16, 4: np.int32}[width]
sys.exit(0 if np.abs(np.frombuffer(frames, dtype=dtype).astype(np.float64)).max() > 0 else 1)
EOF

step "desktop files"
desktop-file-validate /usr/share/applications/app.quimbel.Quimbel.desktop || fail "desktop entry"
appstreamcli validate --no-net /usr/share/metainfo/app.quimbel.Quimbel.metainfo.xml >"$work/appstream.log" 2>&1 ||
  { cat "$work/appstream.log" >&2; fail "AppStream data"; }
icon=$(sed -n 's/^Icon=//p' /usr/share/applications/app.quimbel.Quimbel.desktop)
for size in 48 256; do
  png=/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
  file -b "$png" 2>/dev/null | grep -q "PNG image data, $size x $size" || fail "no ${size} px icon $png in hicolor"
done
[ "$(man -w quimbel)" = /usr/share/man/man1/quimbel.1.gz ] || fail "man -w quimbel says '$(man -w quimbel 2>&1)'"
for package in quimbel quimbel-data; do
  head -1 "/usr/share/doc/$package/copyright" | grep -q '^Format: ' || fail "$package has no machine-readable copyright"
done

step "purge"
purge || { tail -20 "$work/purge.log" >&2; fail "apt-get purge"; }
installed=0
present && fail "still known to dpkg after the purge"
# A path that is still there must be a folder another package owns.
while IFS= read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
  fail "$path is left behind"
done <"$work/files.txt"
[ -e /usr/share/quimbel ] && fail "/usr/share/quimbel is left behind"

finish_step
printf 'package: %s\n' "${timings[@]}"
echo "package: $passed passed, 0 failed"
