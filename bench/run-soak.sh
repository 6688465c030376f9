#!/bin/sh
# The soak at its full length: 100,000 steps at the shortest period through the real window
# and timer (SEQ_SOAK_TICKS sets another number). Prints the steps played, the notes sent
# and the resident memory after warm-up and at the end; fails if memory kept growing.
#
#   ./bench/run-soak.sh
#   SEQ_SOAK_TICKS=1000000 ./bench/run-soak.sh
set -eu
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target seq_soak
XDG_RUNTIME_DIR=$(mktemp -d)
chmod 700 "$XDG_RUNTIME_DIR"
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT INT TERM
export XDG_RUNTIME_DIR QT_QPA_PLATFORM=offscreen JACK_NO_START_SERVER=1
SEQ_SOAK_TICKS=${SEQ_SOAK_TICKS:-100000} "./$build/bench/seq_soak"
