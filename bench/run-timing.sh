#!/bin/sh
# The timing benchmark, in one command: builds what it needs, starts a JACK server with the
# dummy driver (real-time, 48 kHz, named "seqbench"), keeps the CPUs from idling with
# lowest-priority spinners, runs the benchmark and stops everything again; once for each
# period size (64 and 256 frames unless PERIODS says otherwise).
#
#   ./bench/run-timing.sh            20 s per run (the published figures)
#   ./bench/run-timing.sh 5          5 s per run, for a quick look
#   ./bench/run-timing.sh 5 --steps 20 --only idle,scheduled --dump /tmp/d
#                                    further options go to seq_timing_bench
#   PERIODS=128 ./bench/run-timing.sh 5 --only stall100,scheduled
#
# Prints a table and a CSV per period; the CSV of all of them also goes to
# build-bench/timing.csv. Needs jackd2 (the README's test command installs it) and the right
# to real-time scheduling (root, or the audio group's limits).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
periods=${PERIODS:-64 256}
build=build-bench
server=seqbench

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target seq_timing_bench seq_timing_player

export JACK_NO_START_SERVER=1
export JACK_DEFAULT_SERVER=$server
export QT_QPA_PLATFORM=offscreen
XDG_RUNTIME_DIR=$(mktemp -d)
chmod 700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR

if jack_lsp -s "$server" >/dev/null 2>&1; then
    echo "a JACK server named $server is running already; stop it first" >&2
    exit 1
fi

jackd_pid=""
spinners=""
stop_jackd() {
    if [ -n "$jackd_pid" ]; then
        # Clients are gone by now; give the server a moment, then stop it and wait for it.
        sleep 1
        kill "$jackd_pid" 2>/dev/null || true
        i=0
        while kill -0 "$jackd_pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
        kill -9 "$jackd_pid" 2>/dev/null || true
        jackd_pid=""
    fi
}
cleanup() {
    for p in $spinners; do kill "$p" 2>/dev/null || true; done
    stop_jackd
    rm -rf "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT INT TERM

# On a virtual machine an idle CPU takes long to wake, which the dummy driver sees as missed
# periods; a spinner at the lowest priority keeps each CPU awake and yields to everything.
cpus=$(nproc)
cpu=0
while [ $cpu -lt "$cpus" ]; do
    taskset -c $cpu chrt -i 0 sh -c 'while :; do :; done' &
    spinners="$spinners $!"
    cpu=$((cpu + 1))
done

rm -f "$build/timing.csv"
synth=""
for period in $periods; do
    jackd -R -P 70 -n "$server" -d dummy -r 48000 -p "$period" >"$build/jackd.log" 2>&1 &
    jackd_pid=$!
    if ! jack_wait -s "$server" -w -t 10 >/dev/null 2>&1; then
        echo "jackd did not come up:" >&2
        cat "$build/jackd.log" >&2
        exit 1
    fi
    echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
         "$(uname -sr); jackd -R -P 70 -d dummy -r 48000 -p $period"
    # The built-in synth's onsets do not depend on the server's period: measured once.
    "./$build/bench/seq_timing_bench" --player "./$build/bench/seq_timing_player" \
        --seconds "$seconds" --jackd-pid "$jackd_pid" --csv "$build/timing.csv" $synth "$@"
    synth=--no-synth
    stop_jackd
done
