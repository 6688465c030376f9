#!/bin/sh
# What a screen reader gets from the real program: starts a private session bus and the
# accessibility bus on it, then runs a11y_walk.py, which starts the program with Qt's
# accessibility on and walks its tree over AT-SPI. Stops everything it started, by PID.
# Usage: a11y_walk.sh PROGRAM
set -u
program=$1
here=$(dirname "$0")
dir=$(mktemp -d)
chmod 700 "$dir"
dbus_pid=""
launcher_pid=""
registry_pid=""

# The registry daemon is started by the accessibility bus and outlives it: asked for its
# PID while the bus runs, it is stopped with the rest.
cleanup() {
    [ -n "$registry_pid" ] && kill "$registry_pid" 2>/dev/null
    [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null
    [ -n "$dbus_pid" ] && kill "$dbus_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Within a deadline of 10 s, waits until the command succeeds.
wait_for() {
    i=0
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -gt 100 ] && return 1
        sleep 0.1
    done
}

export XDG_RUNTIME_DIR="$dir"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile \
    >"$dir/dbus.log" 2>&1 &
dbus_pid=$!
wait_for dbus-send --session --dest=org.freedesktop.DBus --print-reply /org/freedesktop/DBus \
    org.freedesktop.DBus.ListNames || fail "the session bus did not come up: $(cat "$dir/dbus.log")"
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$dir/launcher.log" 2>&1 &
launcher_pid=$!
wait_for dbus-send --session --dest=org.a11y.Bus --print-reply /org/a11y/bus \
    org.a11y.Bus.GetAddress || fail "the accessibility bus did not come up: $(cat "$dir/launcher.log")"
a11y=$(dbus-send --session --dest=org.a11y.Bus --print-reply=literal /org/a11y/bus \
    org.a11y.Bus.GetAddress | tr -d ' ')

# Starts the registry (by activation) and notes its PID.
registry_pid_now() {
    dbus-send --bus="$a11y" --dest=org.freedesktop.DBus --print-reply=literal /org/freedesktop/DBus \
        org.freedesktop.DBus.GetConnectionUnixProcessID string:org.a11y.atspi.Registry |
        awk '{print $2}'
}
dbus-send --bus="$a11y" --dest=org.freedesktop.DBus --print-reply /org/freedesktop/DBus \
    org.freedesktop.DBus.StartServiceByName string:org.a11y.atspi.Registry uint32:0 >/dev/null 2>&1
wait_for registry_pid_now || fail "the accessibility registry did not start"
registry_pid=$(registry_pid_now)

# Debian's pyatspi is for the system's Python.
/usr/bin/python3 "$here/a11y_walk.py" "$program"
