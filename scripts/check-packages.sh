#!/usr/bin/env bash
# Builds the Debian packages of one build directory with CPack and checks them.
#   scripts/check-packages.sh <build-dir> <debian-arch> [--install]
# With --install (native packages only; dpkg runs as root, through sudo if
# needed) both packages are installed, the programs are run from their
# installed paths, and both packages are purged again: the machine is left as
# it was.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?build directory}
arch=${2:?Debian architecture}
install=${3:-}
out=$build/packages
programs=qor-relay-board
board=libqor-board-sim1
config=/etc/qor-driver/relay-conf.json

fail() {
    echo "check-packages: $*" >&2
    exit 1
}

# The one package file of that name and architecture.
deb_of() {
    local found=("$out/$1"_*_"$arch".deb)
    if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
        fail "no single $1 package for $arch in $out"
    fi
    echo "${found[0]}"
}

# Whether a relation field (Depends, Provides...) names that package.
field_has() {
    local deb=$1 field=$2 want=$3
    dpkg-deb -f "$deb" "$field" | tr ',|' '\n' | awk '{print $1}' | grep -qxF "$want" ||
        fail "$(basename "$deb"): $field does not name $want: $(dpkg-deb -f "$deb" "$field")"
}

has_path() {
    grep -qx "$2" <<<"$1" || fail "package lacks $2"
}

# What each package must hold and declare.
check_contents() {
    local prog lib paths tmp
    prog=$(deb_of $programs)
    lib=$(deb_of $board)
    dpkg-deb --info "$prog"
    dpkg-deb --info "$lib"
    for deb in "$prog" "$lib"; do
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$(basename "$deb") is not $arch"
    done
    for dep in libqor-board1 libqt5core5a libqt5network5 libc6 libstdc++6; do
        field_has "$prog" Depends "$dep"
    done
    field_has "$lib" Provides libqor-board1
    field_has "$lib" Conflicts libqor-board1

    paths=$(dpkg-deb --contents "$prog" | awk '{print $6}' | sed 's|^\.||')
    for p in /usr/bin/qor-driver-relay /usr/bin/qora_led_driver $config \
        /usr/share/man/man8/qor-driver-relay.8.gz /usr/share/man/man8/qora_led_driver.8.gz; do
        has_path "$paths" "$p"
    done
    ! grep -q libqor-board <<<"$paths" || fail "$programs carries the board library"
    dpkg-deb --ctrl-tarfile "$prog" | tar -xO ./conffiles | grep -qx "$config" ||
        fail "$config is not a conffile"

    paths=$(dpkg-deb --contents "$lib" | awk '{print $6}' | sed 's|^\.||')
    grep -q '/libqor-board\.so\.1$' <<<"$paths" || fail "$board lacks libqor-board.so.1"
    has_path "$paths" /usr/bin/qor-board-vcd
    has_path "$paths" /usr/share/man/man1/qor-board-vcd.1.gz
    ! grep -q '/libqor-board\.so$' <<<"$paths" || fail "$board carries the development link"

    # The binaries are built for the package's architecture, and the manual
    # pages render without warnings.
    tmp=$(mktemp -d)
    dpkg-deb -x "$prog" "$tmp"
    dpkg-deb -x "$lib" "$tmp"
    local machine
    case $arch in
    amd64) machine='x86-64' ;;
    armhf) machine='ARM, EABI5' ;;
    *) machine='' ;;
    esac
    for p in qor-driver-relay qora_led_driver qor-board-vcd; do
        file -b "$tmp/usr/bin/$p" | grep -q "$machine" || fail "$p is not built for $arch"
    done
    for page in "$tmp"/usr/share/man/man[18]/*.gz; do
        local warnings
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done
    rm -rf "$tmp"
}

installed_files=""

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

purge() {
    as_root dpkg --purge $programs $board >/dev/null
}

# Install, run, keep a changed configuration over a reinstall, purge.
check_install() {
    ! dpkg-query -W $programs $board >/dev/null 2>&1 ||
        fail "$programs or $board is installed already (dpkg --purge $programs $board)"
    trap purge EXIT
    as_root dpkg -i "$(deb_of $programs)" "$(deb_of $board)" </dev/null
    installed_files=$(dpkg -L $programs $board | grep "^/")
    # Only these: a minimal system may exclude the manual pages from dpkg.
    for f in /usr/bin/qor-driver-relay /usr/bin/qora_led_driver $config \
        "$(grep '/libqor-board\.so\.1$' <<<"$installed_files")"; do
        [ -e "$f" ] || fail "$f is not installed"
    done
    ldd /usr/bin/qor-driver-relay | grep -q 'libqor-board\.so\.1 => /' ||
        fail "the installed driver does not find libqor-board.so.1"

    # The driver never exits by itself (timeout's status 124 says it was
    # still running); "open 1" flips relay 1, a toggle in the example
    # configuration. The simulated board traces its calls.
    local tmp status=0
    tmp=$(mktemp -d)
    printf 'open 1\n' | env -u QOR_BOARD_KEYS -u QOR_BOARD_DELAY_SCALE QOR_BOARD_TRACE="$tmp/relay" \
        timeout 5 /usr/bin/qor-driver-relay >"$tmp/out" 2>"$tmp/err" || status=$?
    cat "$tmp/out" "$tmp/err"
    [ $status -eq 124 ] || fail "the installed driver ended with status $status"
    head -n 2 "$tmp/out" | diff - <(printf '#Relay_driver_v0.1.3\nQORA_STM_Driver 2.17\n') ||
        fail "the installed driver printed no banner"
    grep -qx shield_ready "$tmp/out" || fail "the banner did not reach shield_ready"
    [ ! -s "$tmp/err" ] || fail "the installed driver complained"
    grep -q ' board_gpio_set_relay_1 1$' "$tmp/relay" || fail "open 1 did not switch relay 1 on"
    /usr/bin/qor-board-vcd "$tmp/relay" -o "$tmp/relay.vcd" || fail "the installed qor-board-vcd failed"
    grep -qx '1"' "$tmp/relay.vcd" || fail "the waveform of the run lacks relay 1 switching on"

    # SIGTERM switches the LED off and ends the blinker with status 0.
    status=0
    env -u QOR_BOARD_DELAY_SCALE QOR_BOARD_TRACE="$tmp/led" \
        timeout -s TERM --preserve-status 2 /usr/bin/qora_led_driver 255 </dev/null || status=$?
    [ $status -eq 0 ] || fail "the installed LED blinker ended with status $status"
    grep -q ' board_gpio_led 1$' "$tmp/led" || fail "the LED blinker never switched the LED on"
    tail -n 1 "$tmp/led" | grep -q ' board_gpio_led 0$' || fail "the LED blinker left the LED on"
    rm -rf "$tmp"

    # The integrator's settings survive a reinstall of the package.
    echo '{ "Rel": [] }' | as_root tee $config >/dev/null
    as_root dpkg -i "$(deb_of $programs)" </dev/null >/dev/null
    [ "$(cat $config)" = '{ "Rel": [] }' ] || fail "reinstalling overwrote $config"

    purge
    trap - EXIT
    ! dpkg-query -W $programs $board >/dev/null 2>&1 || fail "purge left a package behind"
    while read -r f; do
        [ -d "$f" ] || [ ! -e "$f" ] || fail "$f is still there after the purge"
    done <<<"$installed_files"
    [ ! -e /etc/qor-driver ] || fail "/etc/qor-driver is still there after the purge"
    echo "check-packages: $programs and $board installed, ran and purged cleanly"
}

rm -rf "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
check_contents
[ "$install" != --install ] || check_install
echo "check-packages: $arch packages in $out are fine"
