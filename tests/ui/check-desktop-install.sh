#!/bin/sh
# Installs the build into a scratch root and checks what a Linux desktop will find there:
# the program, a launcher entry desktop-file-validate accepts, AppStream metainfo
# appstreamcli accepts, and the 32 x 32 icon the entry names.
# usage: check-desktop-install.sh BUILD_DIR SCRATCH_DIR APP_ID
set -eu
build=$1 root=$2 id=$3
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
appstreamcli validate --no-net "$meta" || fail "appstreamcli rejects $meta"
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
echo "installed and valid: $entry, $meta, $png"
