#!/usr/bin/env bash
# Builds the relay driver and runs it on the simulated board. Type protocol
# lines ("open 0", "21", "dialplan", room numbers, a negative number...);
# relay changes show on standard error. Press a key from another terminal
# with: echo 1 > build/keys/key0
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh run
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/native --target qor-driver-relay -j"$(nproc)" >/dev/null

mkdir -p build/keys build/etc-up build/etc-work
driver=$PWD/build/native/qor-driver-relay/qor-driver-relay
export QOR_BOARD_KEYS=$PWD/build/keys
if [ -f /etc/qor-driver/relay-conf.json ]; then
    exec "$driver"
fi
# No configuration on this machine: show the example one at the driver's
# fixed path inside a private mount namespace; the machine's /etc is untouched.
exec unshare --mount --propagation private -- sh -c '
    mount -t overlay overlay -o lowerdir=/etc,upperdir="$1/etc-up",workdir="$1/etc-work" /etc
    mkdir -p /etc/qor-driver
    cp "$2" /etc/qor-driver/relay-conf.json
    echo "(example configuration: relay 0 pulses on for 3 s, relay 1 toggles)" >&2
    exec "$3"' sh "$PWD/build" "$PWD/qor-driver-relay/relay-conf.json" "$driver"
