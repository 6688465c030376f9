# Sourced by the run and test scripts: installs the Debian packages that are missing.
# Uses sudo for apt-get when not run as root.

seq_install_missing() {
    missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    echo "Installing:$missing"
    $sudo apt-get update -q
    # Non-interactive: jackd2 would otherwise ask about real-time priority.
    # No recommends: fluidsynth would pull in a 120 MB soundfont.
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}

# What building and running the program needs.
SEQ_BUILD_PACKAGES="cmake ninja-build g++ pkg-config qt6-base-dev librtmidi-dev libfluidsynth-dev
 libjack-jackd2-dev libasound2-dev libx11-dev timgm6mb-soundfont fonts-liberation"
# What the tests need besides: a JACK server, PipeWire with its JACK library (the JACK tests
# run on both), an X server and a window manager, tools to drive and look at it, the checkers
# of the desktop files and the man page, the formatter the sources are checked with, and the
# screen reader's bus with its Python bindings.
SEQ_TEST_PACKAGES="jackd2 pipewire pipewire-bin pipewire-jack xvfb xauth xdotool x11-utils sox
 imagemagick desktop-file-utils appstream groff-base libclang-rt-14-dev openbox dbus at-spi2-core
 python3-pyatspi gir1.2-atspi-2.0 clang-format"
# What the timing benchmark needs besides the tests': the MIDI clock generator its clock rows
# are compared with.
SEQ_BENCH_PACKAGES="jack-midi-clock"
# What building the Debian package needs besides the build packages: Debian's packaging
# tools and lintian to check the result.
SEQ_PACKAGE_PACKAGES="build-essential debhelper dpkg-dev lintian"
