#!/bin/sh
# Fails when a file of core/ includes anything from midi/, ui/, files/ or editing/, or any
# header of the toolkit: the sequencer's rules build and run without them.
set -eu
core=$1
found=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]((midi|ui|files|editing)/|Q[A-Za-z]*[>/.])' \
    "$core"/*.h "$core"/*.cpp || true)
if [ -n "$found" ]; then
    echo "core/ includes what it must not:"
    echo "$found"
    exit 1
fi
# Nor does its library link them.
if grep -qE 'seq_(midi|ui|files|editing)|Qt6::' "$core/CMakeLists.txt"; then
    echo "core/CMakeLists.txt links another folder's library or the toolkit:"
    grep -nE 'seq_(midi|ui|files|editing)|Qt6::' "$core/CMakeLists.txt"
    exit 1
fi
echo "core/ includes and links nothing of midi/, ui/, files/, editing/ or Qt"
