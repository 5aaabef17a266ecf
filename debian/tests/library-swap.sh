# The board library swap and ldconfig checks, shared by these tests (through
# lib.sh) and the piuparts hook (scripts/piuparts.d/post_install_qor-relay-board,
# which finds this file at $QOR_TESTS). Sourced, not a test itself; the
# caller defines fail MESSAGE and ok MESSAGE.
# shellcheck shell=bash

# ldconfig is in sbin, which a normal user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
relay_conf=/etc/qor-driver/relay-conf.json
lines=/etc/qor-board/lines.conf

status_of() {
    dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || echo not-installed
}

# The two statuses of the board libraries, in the order given.
statuses() {
    echo "$(status_of "$1") $(status_of "$2")"
}

# ldconfig's cache (the libraries' trigger) lists the board library, and it
# is the file of the package that should have it.
check_ldconfig() {
    local package=$1 path
    # awk reads to the end: leaving early would end ldconfig with SIGPIPE,
    # which pipefail turns into a failure.
    path=$(ldconfig -p | awk '$1 == "libqor-board.so.1" && !path { path = $NF } END { print path }')
    [ -n "$path" ] || fail "ldconfig -p does not list libqor-board.so.1 after installing $package:
$(ldconfig -p | grep -i qor)"
    [ "$(dpkg-query -S "$(realpath "$path")" 2>/dev/null | cut -d: -f1)" = "$package" ] ||
        fail "ldconfig's libqor-board.so.1 ($path) is not $package's: $(dpkg-query -S "$(realpath "$path")" 2>&1)"
    ok "ldconfig -p lists $package's libqor-board.so.1"
}

# After an install of board library NEW, it is installed, the other one OLD
# is in state WAS (not-installed, or config-files once its configuration
# has been kept), and libqor-board.so.1 is NEW's.
check_swapped() {
    local new=$1 old=$2 was=$3
    [ "$(statuses "$new" "$old")" = "installed $was" ] ||
        fail "installing $new left $new, $old: $(statuses "$new" "$old") (want installed, $was)"
    ok "installing $new: $old $was"
    check_ldconfig "$new"
}

check_line_map_kept() {
    [ "$(tail -n 1 "$lines")" = "$1" ] || fail "$2 replaced the edited $lines:
$(cat "$lines" 2>&1)"
}

# check_library_swap INSTALL [RUN]
# Installing one board library removes the other (they conflict), ldconfig's
# trigger follows each swap, and the integrator's edited configuration files
# are kept: the line map across removal and reinstall of libqor-board-gpiod1,
# the relay configuration across a reinstall of qor-relay-board. Starts and
# ends with the programs on libqor-board-sim1. INSTALL PACKAGE installs the
# package under test PACKAGE (again where it is installed), failing with
# the installer's output; RUN LIBRARY, when given, runs the programs on the
# board library just installed, on its example configuration.
check_library_swap() {
    local install=$1 run=${2:-}
    local sim=libqor-board-sim1 gpiod=libqor-board-gpiod1
    local edit='led gpiochip0:1 # edited by the integrator'
    [ "$(statuses $sim $gpiod)" = "installed not-installed" ] ||
        fail "the swap starts with $sim alone, not: $(statuses $sim $gpiod)"

    "$install" $gpiod
    check_swapped $gpiod $sim not-installed
    [ -z "$run" ] || "$run" $gpiod
    echo "$edit" >>"$lines"

    "$install" $sim
    check_swapped $sim $gpiod config-files
    check_line_map_kept "$edit" "removing $gpiod"
    [ -z "$run" ] || "$run" $sim

    "$install" $gpiod
    check_swapped $gpiod $sim not-installed
    check_line_map_kept "$edit" "installing $gpiod again"
    ok "the edited $lines survived the swap back and forth"

    local kept
    kept=$(mktemp)
    cp -p "$relay_conf" "$kept"
    echo '{ "Rel": [] }' >"$relay_conf"
    "$install" qor-relay-board
    [ "$(cat "$relay_conf")" = '{ "Rel": [] }' ] ||
        fail "reinstalling qor-relay-board replaced the edited $relay_conf:
$(cat "$relay_conf")"
    # As packaged again: piuparts' debsums check compares it.
    cp -p "$kept" "$relay_conf"
    rm -f "$kept"
    ok "the edited $relay_conf survived a reinstall of qor-relay-board"

    "$install" $sim
    check_swapped $sim $gpiod config-files
}
