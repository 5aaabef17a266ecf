#!/usr/bin/env bash
# Builds the relay driver and runs it on the simulated board. Type protocol
# lines ("open 0", "21", "dialplan", room numbers, a negative number...);
# relay changes show on standard error. Press a key from another terminal
# with: echo 1 > build/keys/key0. Stop it with Ctrl-C: the board's trace of
# the run stays in build/run.trace, and the command that turns it into a
# waveform file is printed.
# Standard output carries only the driver's protocol; everything else goes to
# standard error.
set -euo pipefail
called_from=$PWD
cd "$(dirname "$0")/.."
root=$PWD

say() { echo "run.sh: $*" >&2; }

scripts/deps.sh run >&2
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native --target qor-driver-relay qor-board-vcd -j"$(nproc)" >/dev/null

mkdir -p build/keys build/etc-view
driver=$root/build/native/qor-driver-relay/qor-driver-relay
trace=build/run.trace
rm -f "$trace"
export QOR_BOARD_KEYS=$root/build/keys QOR_BOARD_TRACE=$root/$trace QOR_BOARD_SHOW=1

# Without a configuration on this machine, the example one is shown at the
# driver's fixed path in a private mount namespace: a read-only overlay that
# lays a tmpfs holding qor-driver/relay-conf.json over /etc. Nothing is copied
# into /etc, so it works whatever /etc/qor-driver is (missing, empty, owned by
# root) and whoever runs it. If the view cannot be made, nothing is written
# and the run stops: the machine's /etc is never touched.
# shellcheck disable=SC2016 # expanded by the inner shell
private_etc='
    fail() {
        echo "run.sh: cannot show the example configuration at" \
            "/etc/qor-driver/relay-conf.json in a private view of /etc: $1." \
            "Copy qor-driver-relay/relay-conf.json there yourself and run again." >&2
        exit 1
    }
    mount -t tmpfs qor-etc "$1" || fail "no tmpfs could be mounted on $1"
    mkdir "$1/qor-driver" && cp "$2" "$1/qor-driver/relay-conf.json" ||
        fail "the example could not be copied into the tmpfs"
    case $1 in *[:,]*) fail "the overlay cannot take a path with \":\" or \",\" ($1)" ;; esac
    mount -t overlay overlay -o lowerdir="$1":/etc /etc ||
        fail "this kernel refused the overlay (as a normal user it needs Linux 5.11 or later)"
    echo "(example configuration: relay 0 pulses on for 3 s, relay 1 toggles)" >&2
    exec "$3"'

if [ -f /etc/qor-driver/relay-conf.json ]; then
    run=("$driver")
else
    namespace=(unshare --mount --propagation private)
    if [ "$(id -u)" -ne 0 ]; then
        # A user namespace gives the mount rights where the system allows one.
        namespace=(unshare --user --map-root-user --mount --propagation private)
        if ! "${namespace[@]}" true 2>/dev/null; then
            say "there is no /etc/qor-driver/relay-conf.json, and showing the example one" \
                "needs a private mount namespace: run this as root (sudo scripts/run.sh)," \
                "or install a configuration first (see the README)"
            exit 1
        fi
    fi
    run=("${namespace[@]}" -- sh -c "$private_etc" sh "$root/build/etc-view"
        "$root/qor-driver-relay/relay-conf.json" "$driver")
fi

# The driver runs until it is stopped. It runs in the background so that a
# stop signal here (Ctrl-C, or a signal to this script) can be passed on and
# the trace's command still printed; it keeps this script's standard input.
"${run[@]}" <&0 &
pid=$!
stopped=no
trap 'stopped=yes; kill -TERM "$pid" 2>/dev/null || true' INT TERM HUP
status=0
wait "$pid" || status=$?
while kill -0 "$pid" 2>/dev/null; do
    status=0
    wait "$pid" || status=$?
done
trap - INT TERM HUP

if [ -s "$trace" ]; then
    here=$root/
    [ "$called_from" != "$root" ] || here=
    say "the board's trace of this run is in $here$trace; as a waveform file:"
    # Quoted as the shell needs it, so that the line can be pasted.
    printf '%q %q -o %q\n' "${here}build/native/tools/qor-board-vcd/qor-board-vcd" "$here$trace" \
        "${here}build/run.vcd" >&2
fi
[ $stopped = no ] || exit 0
exit $status
