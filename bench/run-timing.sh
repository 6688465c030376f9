#!/bin/sh
# The timing benchmark, in one command: builds what it needs, starts a JACK server with the
# dummy driver (real-time, 48 kHz, named "seqbench") and an X server (Xvfb) for the window,
# keeps the CPUs from idling with lowest-priority spinners, runs the benchmark and stops
# everything again; once for each period size (64 and 256 frames unless PERIODS says
# otherwise).
#
#   ./bench/run-timing.sh            20 s per run (the published figures)
#   ./bench/run-timing.sh 5          5 s per run, for a quick look
#   ./bench/run-timing.sh 5 --steps 20 --only idle,scheduled --dump /tmp/d
#                                    further options go to seq_timing_bench
#   PERIODS=128 ./bench/run-timing.sh 5 --only stall100,scheduled
#   ./bench/run-timing.sh 20 --only idle,scheduled --steps 1
#                                    1 ms steps (the tempo bar at 0)
#   ./bench/run-timing.sh 20 --only tempo,scheduled
#                                    the tempo bar moved between 200 and 0 every 2 s
#   ./bench/run-timing.sh 20 --only idle,scheduled --only tempo,scheduled --no-synth
#                                    the rows that have CPU targets, and the tempo row
#   ./bench/run-timing.sh 10 --only clock,scheduled --only clock,jack_midi_clock --no-synth
#                                    the MIDI clock rows: the clock port and jack_midi_clock
#
# Environment:
#   PERIODS            period sizes in frames (default "64 256")
#   SEQ_BENCH_SERVER   the JACK server's name (default seqbench), so that two checkouts can
#                      measure at the same time
#   SEQ_BENCH_DISPLAY  the X display to start Xvfb on (default :63)
#   OFFSCREEN=1        the window on Qt's offscreen platform instead, which draws nothing
#                      and so costs less than the window on a display server
#
# Prints a table, each target with PASS or FAIL, and a CSV per period; the CSV of all of
# them also goes to build-bench/timing.csv (the clock rows to build-bench/timing-clock.csv).
# Needs jackd2, xvfb and x11-utils (the README's test command installs them), jack-midi-clock
# (installed here when missing) and the right to real-time scheduling (root, or the audio
# group's limits).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
periods=${PERIODS:-64 256}
build=build-bench
server=${SEQ_BENCH_SERVER:-seqbench}
display=${SEQ_BENCH_DISPLAY:-:63}
offscreen=${OFFSCREEN:-0}

. ./scripts/deps.sh
seq_install_missing $SEQ_BENCH_PACKAGES

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target seq_timing_bench seq_timing_player

export JACK_NO_START_SERVER=1
export JACK_DEFAULT_SERVER=$server
XDG_RUNTIME_DIR=$(mktemp -d)
chmod 700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR

if jack_lsp -s "$server" >/dev/null 2>&1; then
    echo "a JACK server named $server is running already; stop it first or choose another" \
         "name with SEQ_BENCH_SERVER" >&2
    exit 1
fi

jackd_pid=""
xvfb_pid=""
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
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT INT TERM

# The window as users see it: on an X server, where every repaint also costs the X server
# and the program's xcb path. Without -noreset Xvfb resets when its last client leaves and a
# program connecting during the reset fails.
xserver=""
if [ "$offscreen" = 1 ]; then
    export QT_QPA_PLATFORM=offscreen
    window="offscreen (QT_QPA_PLATFORM=offscreen)"
else
    unset QT_QPA_PLATFORM
    if xdpyinfo -display "$display" >/dev/null 2>&1; then
        echo "an X server answers on $display already; choose another with SEQ_BENCH_DISPLAY" >&2
        exit 1
    fi
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp -noreset >"$build/xvfb.log" 2>&1 &
    xvfb_pid=$!
    i=0
    until xdpyinfo -display "$display" >/dev/null 2>&1; do
        i=$((i + 1))
        if [ $i -gt 100 ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
            echo "Xvfb did not come up on $display:" >&2
            cat "$build/xvfb.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    export DISPLAY="$display"
    xserver="--xserver-pid $xvfb_pid"
    window="on Xvfb $display (1024x768x24, no window manager)"
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

rm -f "$build/timing.csv" "$build/timing-clock.csv"
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
         "$(uname -sr); jackd -R -P 70 -d dummy -r 48000 -p $period; window $window"
    # The built-in synth's onsets do not depend on the server's period: measured once.
    "./$build/bench/seq_timing_bench" --player "./$build/bench/seq_timing_player" \
        --seconds "$seconds" --jackd-pid "$jackd_pid" $xserver --csv "$build/timing.csv" \
        --clock-csv "$build/timing-clock.csv" $synth "$@"
    synth=--no-synth
    stop_jackd
done
