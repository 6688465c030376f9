#!/bin/sh
# The timing benchmark, in one command: builds what it needs, starts a JACK server with the
# dummy driver (real-time, 64-frame periods at 48 kHz, named "seqbench"), keeps the CPUs from
# idling with lowest-priority spinners, runs the benchmark and stops everything again.
#
#   ./bench/run-timing.sh            20 s per run (the published figures)
#   ./bench/run-timing.sh 5          5 s per run, for a quick look
#   ./bench/run-timing.sh 5 --steps 20 --only idle,scheduled --dump /tmp/d
#                                    further options go to seq_timing_bench
#
# Prints a plain table and a CSV; the CSV also goes to build-bench/timing.csv. Needs jackd2
# (the README's test command installs it) and the right to real-time scheduling (root, or
# the audio group's limits).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
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
cleanup() {
    for p in $spinners; do kill "$p" 2>/dev/null || true; done
    if [ -n "$jackd_pid" ]; then
        # Clients are gone by now; give the server a moment, then stop it and wait for it.
        sleep 1
        kill "$jackd_pid" 2>/dev/null || true
        i=0
        while kill -0 "$jackd_pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
        kill -9 "$jackd_pid" 2>/dev/null || true
    fi
    rm -rf "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT INT TERM

jackd -R -P 70 -n "$server" -d dummy -r 48000 -p 64 >"$build/jackd.log" 2>&1 &
jackd_pid=$!
if ! jack_wait -s "$server" -w -t 10 >/dev/null 2>&1; then
    echo "jackd did not come up:" >&2
    cat "$build/jackd.log" >&2
    exit 1
fi

# On a virtual machine an idle CPU takes long to wake, which the dummy driver sees as missed
# periods; a spinner at the lowest priority keeps each CPU awake and yields to everything.
cpus=$(nproc)
cpu=0
while [ $cpu -lt "$cpus" ]; do
    taskset -c $cpu chrt -i 0 sh -c 'while :; do :; done' &
    spinners="$spinners $!"
    cpu=$((cpu + 1))
done

echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "$(uname -sr); jackd -R -P 70 -d dummy -r 48000 -p 64"
"./$build/bench/seq_timing_bench" --player "./$build/bench/seq_timing_player" \
    --seconds "$seconds" --jackd-pid "$jackd_pid" --csv "$build/timing.csv" "$@"
