#!/bin/sh
# Drives the real program under an X server as a user would, with the keyboard: opens the
# setup dialog through start/stop, accepts it, lets it play, then ends it with File > Exit
# and with the window's close request, and once more with its JACK server stopped. Checks
# that it ends promptly and leaves no JACK port behind. Usage: e2e_exit.sh PROGRAM WMCLOSE
set -u
program=$1
wmclose=$2
fail() {
    echo "FAIL: $*" >&2
    [ -n "${pid:-}" ] && kill -9 "$pid" 2>/dev/null
    [ -n "${jpid:-}" ] && { kill -CONT "$jpid"; kill "$jpid"; } 2>/dev/null
    exit 1
}
title="midi pattern sequencer 1"

# Presses Return in every message box (a window with the program's title other than the main one).
close_boxes() {
    for box in $(xdotool search --name "^$title\$" 2>/dev/null); do
        [ "$box" = "$win" ] && continue
        press "$box" Return && echo "closed a message box"
    done
}

# Gives a window the keyboard focus and types keys into it, as a user would (real key events;
# Qt does not take synthetic ones sent to a window that is not focused).
press() {
    target=$1
    shift
    xdotool windowfocus --sync "$target" 2>/dev/null || return 1
    xdotool key "$@"
}

ours() { jack_lsp 2>/dev/null | grep -c "^midi pattern sequencer" ; }

# Starts the program (with the environment assignments given, if any), presses start/stop
# and accepts the setup dialog that comes up, so that it plays.
start_playing() {
    env "$@" "$program" >"$TMPDIR/prog.log" 2>&1 &
    pid=$!
    win=$(timeout 10 xdotool search --sync --name "^$title\$" | head -n 1) || fail "window did not appear"
    # Focus starts on "open"; Tab twice reaches start/stop.
    press "$win" Tab Tab space
    dlg=$(timeout 10 xdotool search --sync --name '^MIDI Setup$' | head -n 1) || fail "setup dialog did not appear"
    # A port that cannot open says so in a message box over the dialog (a machine without
    # audio for the built-in synth, say); close it first.
    sleep 0.5
    close_boxes
    # Focus starts on the input list: Tab, Tab reaches Ok.
    press "$dlg" Tab Tab space
    sleep 0.5
    close_boxes
}

run_once() {
    how=$1
    start_playing
    kill -0 "$pid" 2>/dev/null || fail "program ended early: $(cat "$TMPDIR/prog.log")"
    if [ "$how" = exit ]; then
        press "$win" alt+f
        sleep 0.3
        xdotool key x
    elif [ "$how" = close ]; then
        # What a window manager does when the user clicks the close button.
        "$wmclose" "$win"
    else
        # The About box is open (modal) while playing: a close request to the main window
        # is refused like any input to it, and the session ending (SIGTERM) still ends the
        # program cleanly.
        press "$win" alt+h
        sleep 0.3
        xdotool key a
        sleep 0.5
        [ "$(xdotool search --name "^$title\$" | wc -l)" -ge 2 ] || fail "the About box did not open"
        "$wmclose" "$win"
        sleep 1
        kill -0 "$pid" 2>/dev/null || fail "a close request under a modal box ended the program"
        kill -TERM "$pid"
    fi
    i=0
    while kill -0 "$pid" 2>/dev/null; do
        i=$((i + 1))
        [ $i -gt 50 ] && fail "program did not end within 5 s after $how"
        sleep 0.1
    done
    wait "$pid"
    rc=$?
    [ "$rc" -eq 0 ] || fail "program exited with $rc after $how: $(cat "$TMPDIR/prog.log")"
    [ "$(ours)" -eq 0 ] || fail "JACK ports left behind after $how: $(jack_lsp | grep '^midi pattern sequencer')"
    echo "ok: ended by $how"
}

# File > Exit while the JACK server is stopped (SIGSTOP), as a machine that freezes it
# would: the program, playing through the built-in synth on a server of this script's own
# (the fixture's is not stopped), must end within 2 s with status 0. Resumed, the server
# cleans up what the program left with it.
stall_once() {
    # Run through pw-jack, the JACK clients load PipeWire's libjack: the server is then a
    # PipeWire daemon of the script's own, found through a runtime folder of its own.
    case "${LD_LIBRARY_PATH:-}" in
    *pipewire*)
        where="XDG_RUNTIME_DIR=$TMPDIR/pw"
        mkdir -m 700 "$TMPDIR/pw"
        env "$where" pipewire >"$TMPDIR/jackd.log" 2>&1 &
        ;;
    *)
        server="${JACK_DEFAULT_SERVER:-default}-e2estall"
        where="JACK_DEFAULT_SERVER=$server"
        jackd --no-realtime -n "$server" -d dummy -r 48000 -p 256 >"$TMPDIR/jackd.log" 2>&1 &
        ;;
    esac
    jpid=$!
    env "$where" jack_wait -w -t 10 >/dev/null 2>&1 || fail "the stall test's server did not start: $(cat "$TMPDIR/jackd.log")"
    start_playing "$where"
    env "$where" jack_lsp 2>/dev/null | grep -q "^midi pattern sequencer synth" ||
        fail "the built-in synth is not on the stall test's server"
    kill -STOP "$jpid"
    press "$win" alt+f
    sleep 0.3
    start=$(date +%s%N)
    xdotool key x
    while kill -0 "$pid" 2>/dev/null; do
        elapsed=$((($(date +%s%N) - start) / 1000000))
        [ $elapsed -gt 2000 ] && { kill -CONT "$jpid"; fail "program did not end within 2 s of Exit with the server stopped"; }
        sleep 0.05
    done
    wait "$pid"
    rc=$?
    elapsed=$((($(date +%s%N) - start) / 1000000))
    kill -CONT "$jpid"
    [ "$rc" -eq 0 ] || fail "program exited with $rc after Exit with the server stopped: $(cat "$TMPDIR/prog.log")"
    i=0
    while env "$where" jack_lsp 2>/dev/null | grep -q "^midi pattern sequencer"; do
        i=$((i + 1))
        [ $i -gt 50 ] && fail "the resumed server kept the program's ports"
        sleep 0.1
    done
    echo "ok: ended by exit with the JACK server stopped, in $elapsed ms"
    # Clients are gone; give the server a moment, then stop it and wait for it.
    sleep 1
    kill "$jpid"
    wait "$jpid" 2>/dev/null
    jpid=""
}

TMPDIR=$(mktemp -d)
run_once exit
run_once close
run_once term
stall_once
rm -rf "$TMPDIR"
