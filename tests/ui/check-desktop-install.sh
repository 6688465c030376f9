#!/bin/sh
# Installs the build into a scratch root and checks what a Linux desktop will find there:
# the program, a launcher entry desktop-file-validate accepts, AppStream metainfo
# appstreamcli accepts (strictly) with this version's release, the 32 x 32 icon the entry
# names, and a man page groff formats without a warning.
# usage: check-desktop-install.sh BUILD_DIR SCRATCH_DIR APP_ID VERSION SOURCE_DIR
set -eu
build=$1 root=$2 id=$3 version=$4 src=$5
rm -rf "$root"
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
share="$root/usr/share"
[ -x "$root/usr/bin/midi-pattern-sequencer" ] || fail "program not installed"
entry="$share/applications/$id.desktop"
meta="$share/metainfo/$id.metainfo.xml"
[ -f "$entry" ] || fail "no launcher entry at $entry"
[ -f "$meta" ] || fail "no metainfo at $meta"

out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
appstreamcli validate --no-net --strict "$meta" || fail "appstreamcli rejects $meta"
grep -qx "Categories=AudioVideo;Audio;Midi;Qt;" "$entry" || fail "categories"

icon=$(sed -n 's/^Icon=//p' "$entry")
png="$share/icons/hicolor/32x32/apps/$icon.png"
[ -f "$png" ] || fail "no icon at $png"
# PNG signature, then width and height (big-endian) in the IHDR chunk.
sig=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
[ "$sig" = "89504e470d0a1a0a" ] || fail "$png is not a PNG"
size=$(od -An -tx1 -j16 -N8 "$png" | tr -d ' \n')
[ "$size" = "0000002000000020" ] || fail "$png is not 32 x 32 ($size)"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$meta" ||
    fail "metainfo does not name the launcher entry"
# The newest release comes first; software centres show it as the version.
release=$(sed -n 's/.*<release version="\([^"]*\)" date="[0-9-]*".*/\1/p' "$meta" | head -n 1)
[ "$release" = "$version" ] || fail "metainfo's newest release is '$release', the project is $version"
grep -q '<screenshot type="default">' "$meta" || fail "metainfo names no screenshot"

page="$root/usr/share/man/man1/midi-pattern-sequencer.1"
[ -f "$page" ] || fail "no man page at $page"
# Every groff warning (-ww) at 78 columns, the width man gives an 80-column terminal; one
# there is a line man cannot break or adjust, or a macro it does not know.
warnings=$(groff -man -Tutf8 -ww -z -rLL=78n "$page" 2>&1) || fail "groff fails on $page: $warnings"
[ -z "$warnings" ] || fail "groff warns about $page: $warnings"
text=$(groff -man -Tutf8 -rLL=78n -P-cbou "$page" 2>/dev/null)
# whatis and apropos read the NAME line: the name, a dash, a summary.
echo "$text" | grep -A1 -x 'NAME' | grep -q '^ *midi-pattern-sequencer  *- [a-z]' ||
    fail "man page's NAME line is not 'midi-pattern-sequencer - summary'"
grep -q "^\.TH MIDI-PATTERN-SEQUENCER 1 [0-9-]* \"midi-pattern-sequencer $version\"" "$page" ||
    fail "man page's title line does not give version $version"
for section in DESCRIPTION 'CHOOSING JACK OR ALSA' SOUNDFONT FILES; do
    echo "$text" | grep -qx "$section" || fail "man page has no $section section"
done
# The page names the soundfont the built-in synth loads and the device names the setup
# dialog lists; both are read from the code, so a change there shows here.
soundfont=$(sed -n 's/.*kDefaultSoundfontPath = "\(.*\)";/\1/p' "$src/midi/synth/builtinsynth.cpp")
synth=$(sed -n 's/.*kBuiltinSynthName = "\(.*\)";/\1/p' "$src/midi/synth/builtinsynth.cpp")
[ -n "$soundfont" ] && [ -n "$synth" ] || fail "cannot read the soundfont path or synth name from the code"
echo "$text" | grep -qF "$soundfont" || fail "man page does not name the soundfont $soundfont"
echo "$text" | grep -qF "$synth" || fail "man page does not name the device '$synth'"
for system in ALSA JACK; do
    echo "$text" | grep -q "^ *$system: " || fail "man page does not show the '$system: ' devices"
done
echo "installed and valid: $entry, $meta, $png, $page"
