#!/usr/bin/env bash
# Builds the Debian packages of one build directory with CPack and checks them.
#   scripts/check-packages.sh <build-dir> <debian-arch> [--install]
# Checks what each package holds and declares, and runs lintian on all three:
# any error or warning fails.
# With --install (native packages only; as root, or through sudo) the
# programs and the simulated board are installed, run, swapped for the GPIO
# board and back, reinstalled over a changed configuration and purged in a
# private root: a mount namespace whose /etc, /usr and /var are
# overlays with their upper layers on a tmpfs, so nothing reaches the
# machine's own. The same check then runs over states planted the same way
# (a changed /etc/qor-driver/relay-conf.json, an empty /etc/qor-driver, both
# packages installed with a changed configuration). Every run is followed by
# a comparison of the installed state (package records, the packages' files,
# /etc/qor-driver) with the one before it: any change fails.
set -euo pipefail
cd "$(dirname "$0")/.."
self=$PWD/scripts/check-packages.sh

programs=qor-relay-board
board=libqor-board-sim1
gpiod=libqor-board-gpiod1
config=/etc/qor-driver/relay-conf.json
lines=/etc/qor-board/lines.conf
# Set to a directory holding etc/, usr/ and var/ layers: every view of the
# machine then shows them stacked over its own directories.
QOR_PACKAGE_LAYERS=${QOR_PACKAGE_LAYERS:-}

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

# Every path a package ships, without the leading ".".
paths_of() {
    dpkg-deb --contents "$1" | awk '{print $6}' | sed -e 's|^\.||' -e 's|/$||' | grep .
}

control_files_of() {
    dpkg-deb --ctrl-tarfile "$1" | tar -t | sed 's|^\./||' | grep .
}

# The copyright file and the changelog, the same in every package.
check_docs() {
    local deb=$1 name tmp version
    name=$(dpkg-deb -f "$deb" Package)
    tmp=$(mktemp -d)
    dpkg-deb -x "$deb" "$tmp"
    cmp "$tmp/usr/share/doc/$name/copyright" packaging/copyright ||
        fail "$name: its copyright file is not packaging/copyright"
    version=$(gzip -dc "$tmp/usr/share/doc/$name/changelog.Debian.gz" | dpkg-parsechangelog -l- -SVersion)
    [ "$version" = "$(dpkg-deb -f "$deb" Version)" ] ||
        fail "$name: the changelog's newest entry is $version, the package $(dpkg-deb -f "$deb" Version)"
    rm -rf "$tmp"
}

# What each package must hold and declare.
check_contents() {
    local prog lib paths tmp
    prog=$(deb_of $programs)
    lib=$(deb_of $board)
    dpkg-deb --info "$prog"
    dpkg-deb --info "$lib"
    dpkg-deb --info "$(deb_of $gpiod)"
    for deb in "$prog" "$lib" "$(deb_of $gpiod)"; do
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$(basename "$deb") is not $arch"
        check_docs "$deb"
    done
    for dep in libqor-board1 libqt5core5a libqt5network5 libc6 libstdc++6; do
        field_has "$prog" Depends "$dep"
    done
    field_has "$lib" Provides libqor-board1
    for field in Conflicts Replaces; do
        field_has "$lib" $field libqor-board1
        field_has "$lib" $field $gpiod
    done

    paths=$(paths_of "$prog")
    for p in /usr/bin/qor-driver-relay /usr/bin/qora_led_driver $config \
        /usr/share/man/man8/qor-driver-relay.8.gz /usr/share/man/man8/qora_led_driver.8.gz; do
        has_path "$paths" "$p"
    done
    ! grep -q libqor-board <<<"$paths" || fail "$programs carries the board library"
    dpkg-deb --ctrl-tarfile "$prog" | tar -xO ./conffiles | grep -qx "$config" ||
        fail "$config is not a conffile"

    paths=$(paths_of "$lib")
    grep -q '/libqor-board\.so\.1$' <<<"$paths" || fail "$board lacks libqor-board.so.1"
    has_path "$paths" /usr/bin/qor-board-vcd
    has_path "$paths" /usr/share/man/man1/qor-board-vcd.1.gz
    ! grep -q '/libqor-board\.so$' <<<"$paths" || fail "$board carries the development link"
    # dpkg's trigger refreshes the library cache, no maintainer script.
    dpkg-deb --ctrl-tarfile "$lib" | tar -xO ./triggers | grep -qx 'activate-noawait ldconfig' ||
        fail "$board does not activate the ldconfig trigger"
    ! control_files_of "$lib" | grep -Eqx 'preinst|postinst|prerm|postrm' ||
        fail "$board has maintainer scripts: $(control_files_of "$lib" | tr '\n' ' ')"
    check_gpiod_contents

    # The binaries are built for the package's architecture, and the manual
    # pages render without warnings.
    tmp=$(mktemp -d)
    dpkg-deb -x "$prog" "$tmp"
    dpkg-deb -x "$lib" "$tmp"
    dpkg-deb -x "$(deb_of $gpiod)" "$tmp/gpiod"
    local machine
    case $arch in
    amd64) machine='x86-64' ;;
    armhf) machine='ARM, EABI5' ;;
    *) machine='' ;;
    esac
    for p in "$tmp"/usr/bin/{qor-driver-relay,qora_led_driver,qor-board-vcd} \
        "$tmp"/gpiod/usr/bin/qor-board-lines "$(find "$tmp/gpiod" -name libqor-board.so.1)"; do
        file -b -L "$p" | grep -q "$machine" || fail "${p#"$tmp"/} is not built for $arch"
    done
    for page in "$tmp"/usr/share/man/man[18]/*.gz "$tmp"/gpiod/usr/share/man/man[78]/*.gz; do
        local warnings
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done
    rm -rf "$tmp"
}

# The GPIO board library: the same library name and trigger as the simulated
# one, which it replaces, with qor-board-lines, its pages and the line map.
check_gpiod_contents() {
    local deb paths
    deb=$(deb_of $gpiod)
    for field in Provides Conflicts Replaces; do
        field_has "$deb" $field libqor-board1
    done
    field_has "$deb" Conflicts $board
    field_has "$deb" Replaces $board
    field_has "$deb" Depends libgpiod2
    paths=$(paths_of "$deb")
    grep -q '/libqor-board\.so\.1$' <<<"$paths" || fail "$gpiod lacks libqor-board.so.1"
    ! grep -q '/libqor-board\.so$' <<<"$paths" || fail "$gpiod carries the development link"
    for p in /usr/bin/qor-board-lines $lines /usr/share/man/man7/qor-board-gpiod.7.gz \
        /usr/share/man/man8/qor-board-lines.8.gz; do
        has_path "$paths" "$p"
    done
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx "$lines" || fail "$lines is not a conffile"
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers | grep -qx 'activate-noawait ldconfig' ||
        fail "$gpiod does not activate the ldconfig trigger"
    ! control_files_of "$deb" | grep -Eqx 'preinst|postinst|prerm|postrm' ||
        fail "$gpiod has maintainer scripts: $(control_files_of "$deb" | tr '\n' ' ')"
}

# Debian's package checker: any error or warning fails (the overrides in
# packaging/ say why their tags do not apply).
check_lintian() {
    command -v lintian >/dev/null || fail "lintian is missing (scripts/deps.sh test installs it)"
    local output status=0
    echo "check-packages: lintian --fail-on error,warning on the $arch packages"
    output=$(lintian --fail-on error,warning "$(deb_of $programs)" "$(deb_of $board)" "$(deb_of $gpiod)" 2>&1) ||
        status=$?
    # It warns against running as root, which is how the test command runs.
    grep -vx 'running with root privileges is not recommended!' <<<"$output" || true
    [ "$status" -eq 0 ] || fail "lintian found errors or warnings in the $arch packages (status $status)"
}

# --- Private roots ------------------------------------------------------------
# Whatever installs runs in a mount namespace of its own ("$self --private"),
# with a tmpfs as scratch space that goes with the namespace. There the
# machine's /etc, /usr and /var are only ever reached through overlays
# (mount_view); if one cannot be made the check stops.

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        fail "installing the packages needs root (or sudo) for a private mount namespace"
    fi
}

# in_private_root <function> [<argument>...]: runs a function of this script
# in a new private root.
in_private_root() {
    local scratch status=0
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/qor-package-check.XXXXXX")
    as_root env QOR_PACKAGE_LAYERS="$QOR_PACKAGE_LAYERS" \
        unshare --mount --propagation private -- "$self" --private "$scratch" "$build" "$arch" "$@" ||
        status=$?
    rmdir "$scratch"
    return $status
}

# The start of "$self --private <scratch> <build-dir> <arch> <function>...".
private_entry() {
    local scratch=$1
    build=$2 arch=$3 out=$2/packages
    shift 3
    mount -t tmpfs -o mode=0700 qor-package-check "$scratch" ||
        fail "cannot mount a tmpfs on $scratch for a private root"
    export TMPDIR=$scratch
    # Programs started in here end with it.
    trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
    "$@"
}

# Shows the machine's /etc, /usr and /var in this namespace through overlays,
# below the planted layers if there are any, with the upper layers in $1, or
# read-only without it.
mount_view() {
    local upper=${1:-} d opts
    [[ "$upper$QOR_PACKAGE_LAYERS" != *[:,]* ]] || fail "no ':' or ',' in overlay paths: $upper $QOR_PACKAGE_LAYERS"
    [ -n "$upper$QOR_PACKAGE_LAYERS" ] || fail "a read-only view needs planted layers"
    for d in etc usr var; do
        opts=lowerdir=${QOR_PACKAGE_LAYERS:+$QOR_PACKAGE_LAYERS/$d:}/$d
        if [ -n "$upper" ]; then
            mkdir -p "$upper/$d" "$upper/$d.work"
            opts+=,upperdir=$upper/$d,workdir=$upper/$d.work
        fi
        mount -t overlay qor-package-check -o "$opts" "/$d" ||
            fail "cannot make an overlay on /$d ($opts); the check stops here rather than write the machine's /$d"
        [ "$(findmnt -n -r -o FSTYPE,SOURCE -M "/$d" | tail -n 1)" = "overlay qor-package-check" ] ||
            fail "/$d is not the overlay just mounted: $(findmnt -M "/$d")"
    done
}

# --- The machine's installed state --------------------------------------------

describe() {
    local p=$1
    if [ -L "$p" ]; then
        echo "$p: link to $(readlink "$p")"
    elif [ -d "$p" ]; then
        echo "$p: directory $(stat -c '%a %U:%G' "$p")"
    elif [ -f "$p" ]; then
        echo "$p: file $(stat -c '%a %U:%G %s' "$p") $(sha256sum <"$p" | cut -d ' ' -f 1)"
    elif [ -e "$p" ]; then
        echo "$p: $(stat -c '%F %a %U:%G' "$p")"
    else
        echo "$p: absent"
    fi
}

# Whatever installing the packages can change: dpkg's records of all three,
# every path they ship or dpkg lists for them, their entries in the library
# cache, /etc/qor-driver and /etc/qor-board.
machine_state() {
    local p d
    dpkg-query -W -f='${Package} ${Version} ${Architecture} ${db:Status-Abbrev}\n${Conffiles}\n' \
        $programs $board $gpiod 2>&1 || true
    {
        paths_of "$(deb_of $programs)"
        paths_of "$(deb_of $board)"
        paths_of "$(deb_of $gpiod)"
        dpkg-query -L $programs $board $gpiod 2>/dev/null | grep '^/' || true
    } | sort -u | while read -r p; do describe "$p"; done
    ldconfig -p | grep -F libqor-board || true
    for d in /etc/qor-driver /etc/qor-board; do
        if [ -e $d ] || [ -L $d ]; then
            find $d | sort | while read -r p; do describe "$p"; done
        else
            echo "$d: absent"
        fi
    done
}

# The machine as the check sees it: its own state, or with planted layers a
# read-only view of them over it.
view_state() {
    if [ -n "$QOR_PACKAGE_LAYERS" ]; then
        in_private_root private_view machine_state
    else
        machine_state
    fi
}

private_view() {
    mount_view ""
    "$@"
}

# same_state <before> <after> <what differs>
same_state() {
    [ "$1" != "$2" ] || return 0
    diff <(echo "$1") <(echo "$2") >&2 || true
    fail "$3${QOR_PACKAGE_LAYERS:+ (with a planted state)}: above, < before and > after"
}

# unchanged_by <command>...: runs the command and fails if the machine's
# installed state (the view of it) is not the same afterwards.
unchanged_by() {
    local before status=0
    before=$(view_state)
    "$@" || status=$?
    same_state "$before" "$(view_state)" "'$*' changed the machine's installed state"
    [ $status -eq 0 ] || fail "'$*' failed with status $status"
}

# The install check in a private root, which must start from the machine's
# installed state (the view of it) and leave it as it was.
check_isolated() {
    local seen before started status=0
    seen=$(mktemp)
    before=$(view_state)
    in_private_root private_install_check "$seen" || status=$?
    started=$(cat "$seen")
    rm -f "$seen"
    same_state "$before" "$(view_state)" "the package check changed the machine's installed state"
    [ $status -eq 0 ] || fail "the install check failed with status $status"
    same_state "$before" "$started" "the private root did not start from the machine's installed state"
}

# --- Install, run, reinstall, purge -------------------------------------------

# No prompt can stop dpkg: a changed conffile is kept. Its output is shown
# when it fails.
dpkg_quiet() {
    DEBIAN_FRONTEND=noninteractive dpkg --force-confdef --force-confold "$@" </dev/null >"$TMPDIR/dpkg.log" 2>&1 ||
        fail "dpkg $* failed: $(cat "$TMPDIR/dpkg.log")"
}

# Those of the packages that dpkg has in any state but "not installed".
installed_packages() {
    dpkg-query -W -f='${db:Status-Status} ${Package}\n' $programs $board $gpiod 2>/dev/null |
        awk '$1 != "not-installed" {print $2}'
}

# The private root starts as the machine is; the check starts where a fresh
# machine does: without the packages, /etc/qor-driver and /etc/qor-board.
start_clean() {
    local installed
    mapfile -t installed < <(installed_packages)
    if [ ${#installed[@]} -gt 0 ]; then
        echo "check-packages: purging the installed ${installed[*]}, in the private root only"
        dpkg_quiet --purge --force-depends "${installed[@]}"
    fi
    rm -rf /etc/qor-driver /etc/qor-board
    # man-db's trigger rebuilds its index on every dpkg run, for seconds;
    # without this file it does nothing, and the index is no part of the check.
    rm -f /var/lib/man-db/auto-update
}

# wait_for <seconds> <command>...: polls until the command succeeds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

# The release the packages were built from: their version without the
# Debian revision.
upstream_version() {
    local version
    version=$(dpkg-deb -f "$(deb_of $programs)" Version)
    echo "${version%-*}"
}

# The installed driver prints its banner and flips relay 1 on "open 1" (a
# toggle in the example configuration); it never exits by itself.
check_installed_driver() {
    local tmp=$1 pid output banner status=0
    env -u QOR_BOARD_KEYS -u QOR_BOARD_DELAY_SCALE QOR_BOARD_TRACE="$tmp/relay" \
        /usr/bin/qor-driver-relay < <(printf 'open 1\n') >"$tmp/out" 2>"$tmp/err" &
    pid=$!
    wait_for 10 grep -qs ' board_gpio_set_relay_1 1$' "$tmp/relay" || status=$?
    kill $pid 2>/dev/null || status=ended
    wait $pid || true
    output="standard output:
$(cat "$tmp/out")
standard error:
$(cat "$tmp/err")"
    [ $status != ended ] || fail "the installed driver ended by itself; $output"
    [ $status -eq 0 ] || fail "open 1 did not switch relay 1 on within 10 s; $output"
    banner=$(printf '#Relay_driver_v%s\nQORA_STM_Driver 2.17' "$(upstream_version)")
    [ "$(head -n 2 "$tmp/out")" = "$banner" ] ||
        fail "the installed driver's output does not start with its banner:
$banner
$output"
    grep -qx shield_ready "$tmp/out" || fail "the banner did not reach shield_ready; $output"
    [ ! -s "$tmp/err" ] || fail "the installed driver complained; $output"
}

# SIGTERM, once the LED has been on, switches it off and ends the blinker
# with status 0.
check_installed_blinker() {
    local tmp=$1 pid status=0
    rm -f "$tmp/led" # the trace of an earlier run
    env -u QOR_BOARD_DELAY_SCALE QOR_BOARD_TRACE="$tmp/led" /usr/bin/qora_led_driver 255 </dev/null &
    pid=$!
    wait_for 10 grep -qs ' board_gpio_led 1$' "$tmp/led" || status=$?
    kill -TERM $pid 2>/dev/null || fail "the installed LED blinker ended by itself"
    [ $status -eq 0 ] || fail "the installed LED blinker never switched the LED on"
    status=0
    wait $pid || status=$?
    [ $status -eq 0 ] || fail "the installed LED blinker ended with status $status"
    tail -n 1 "$tmp/led" | grep -q ' board_gpio_led 0$' || fail "the LED blinker left the LED on"
}

# dpkg's state of one package: installed, config-files, not-installed...
package_status() {
    dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || echo not-installed
}

# Whether the installed libqor-board.so.1 is the GPIO board's (it alone links
# libgpiod).
library_is_gpiod() {
    local lib
    lib=$(ldconfig -p | awk '/libqor-board\.so\.1 /{print $NF; exit}')
    [ -n "$lib" ] || fail "the library cache has no libqor-board.so.1"
    readelf -d "$lib" | grep -F 'libgpiod.so' >/dev/null
}

# dpkg -i of the GPIO board replaces the simulated one and the other way
# round. On the GPIO board with the example map, which maps no line, the
# LED blinker stops at once with "not in the map", and qor-board-lines names
# every signal. The integrator's map stays while the simulated board is in.
planted_map='led gpiochip0:1 # planted by the package check'
check_board_swap() {
    local tmp=$1 status=0 err
    dpkg_quiet -i "$(deb_of $gpiod)"
    [ "$(package_status $gpiod) $(package_status $board)" = "installed not-installed" ] ||
        fail "installing $gpiod left $gpiod $(package_status $gpiod), $board $(package_status $board)"
    library_is_gpiod || fail "libqor-board.so.1 is not the GPIO board's after installing $gpiod"
    gpiod_files=$(dpkg -L $gpiod | grep "^/")
    err=$(timeout 10 /usr/bin/qora_led_driver 1 </dev/null 2>&1 >/dev/null) || status=$?
    [ $status -eq 78 ] && [ "$err" = "qora_led_driver: $lines: led: not in the map" ] ||
        fail "the LED blinker on the GPIO board with the example map ended with status $status: $err"
    status=0
    err=$(/usr/bin/qor-board-lines 2>&1 >/dev/null) || status=$?
    [ $status -eq 78 ] && [ "$(grep -c ': not in the map$' <<<"$err")" -eq 5 ] ||
        fail "qor-board-lines on the example map ended with status $status: $err"
    echo "$planted_map" >$lines

    dpkg_quiet -i "$(deb_of $board)"
    [ "$(package_status $board) $(package_status $gpiod)" = "installed config-files" ] ||
        fail "installing $board left $board $(package_status $board), $gpiod $(package_status $gpiod)"
    ! library_is_gpiod || fail "libqor-board.so.1 is still the GPIO board's after installing $board"
    [ "$(cat $lines)" = "$planted_map" ] || fail "replacing $gpiod lost the changed $lines"
    check_installed_blinker "$tmp"
    echo "check-packages: $gpiod and $board replaced each other"
}

# Install, run, swap the board library, keep a changed configuration over a
# reinstall, purge.
check_install() {
    local installed_files tmp
    dpkg_quiet -i "$(deb_of $programs)" "$(deb_of $board)"
    installed_files=$(dpkg -L $programs $board | grep "^/")
    # Only these: a minimal system may exclude the manual pages from dpkg.
    for f in /usr/bin/qor-driver-relay /usr/bin/qora_led_driver $config \
        "$(grep '/libqor-board\.so\.1$' <<<"$installed_files")"; do
        [ -e "$f" ] || fail "$f is not installed"
    done
    # grep reads all of it: "grep -q" could leave the writer to die of SIGPIPE.
    ldconfig -p | grep 'libqor-board\.so\.1 ' >/dev/null || fail "the ldconfig trigger did not add libqor-board.so.1"
    ldd /usr/bin/qor-driver-relay | grep 'libqor-board\.so\.1 => /' >/dev/null ||
        fail "the installed driver does not find libqor-board.so.1"

    tmp=$(mktemp -d)
    check_installed_driver "$tmp"
    /usr/bin/qor-board-vcd "$tmp/relay" -o "$tmp/relay.vcd" || fail "the installed qor-board-vcd failed"
    grep -qx '1"' "$tmp/relay.vcd" || fail "the waveform of the run lacks relay 1 switching on"
    check_installed_blinker "$tmp"
    check_board_swap "$tmp"
    rm -rf "$tmp"

    # The integrator's settings survive a reinstall of the package.
    echo '{ "Rel": [] }' >$config
    dpkg_quiet -i "$(deb_of $programs)"
    [ "$(cat $config)" = '{ "Rel": [] }' ] || fail "reinstalling overwrote $config"

    dpkg_quiet --purge $programs $board $gpiod
    [ -z "$(installed_packages)" ] || fail "purge left a package behind: $(installed_packages)"
    while read -r f; do
        [ -d "$f" ] || [ ! -e "$f" ] || fail "$f is still there after the purge"
    done <<<"$installed_files
$gpiod_files"
    for d in /etc/qor-driver /etc/qor-board; do
        [ ! -e $d ] || fail "$d is still there after the purge"
    done
    ! ldconfig -p | grep libqor-board >/dev/null || fail "the library cache still lists libqor-board after the purge"
    echo "check-packages: $programs, $board and $gpiod installed, ran and purged cleanly"
}

# private_install_check <file>: writes the state the root starts from into
# the file, then checks.
private_install_check() {
    mount_view "$TMPDIR"
    machine_state >"$1"
    start_clean
    check_install
}

# --- Installed state that must survive ----------------------------------------
# Each case plants a state in layers of its own (on the tmpfs of a private
# root that leaves the machine's directories as they are), then runs the
# whole install check with those layers under every view of the machine.

planted_config='{ "Rel": [], "planted": "by the package check" }'

# plant <state> <layers>
plant() {
    mount_view "$2"
    start_clean
    case $1 in
    changed-config)
        mkdir /etc/qor-driver
        echo "$planted_config" >$config
        ;;
    empty-config-dir)
        mkdir -m 0750 /etc/qor-driver
        ;;
    installed-packages)
        dpkg_quiet -i "$(deb_of $programs)" "$(deb_of $board)"
        echo "$planted_config" >$config
        ;;
    *) fail "no such planted state: $1" ;;
    esac
}

# The planted state is what the view shows.
planted_shows() {
    case $1 in
    changed-config | installed-packages)
        [ "$(cat $config)" = "$planted_config" ] || fail "$1: $config is not the planted one"
        ;;
    empty-config-dir)
        if [ ! -d /etc/qor-driver ] || [ -n "$(ls -A /etc/qor-driver)" ]; then
            fail "$1: /etc/qor-driver is not the planted empty folder"
        fi
        ;;
    esac
    if [ "$1" = installed-packages ]; then
        [ "$(dpkg-query -W -f='${db:Status-Abbrev}' $programs $board)" = "ii ii " ] ||
            fail "$1: the packages are not installed in the planted state"
    fi
}

survives() {
    local layers=$TMPDIR/planted
    mkdir "$layers"
    in_private_root plant "$1" "$layers"
    export QOR_PACKAGE_LAYERS=$layers
    in_private_root private_view planted_shows "$1"
    check_isolated
    in_private_root private_view planted_shows "$1"
    echo "check-packages: the planted $1 came through the check unchanged"
}

# --- Main ---------------------------------------------------------------------

if [ "${1:-}" = --private ]; then
    shift
    private_entry "$@"
    exit
fi

build=${1:?build directory}
arch=${2:?Debian architecture}
install=${3:-}
out=$build/packages

rm -rf "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
check_contents
check_lintian
if [ "$install" = --install ]; then
    [ "$arch" = "$(dpkg --print-architecture)" ] || fail "--install needs packages for this machine's architecture"
    as_root unshare --mount --propagation private true ||
        fail "cannot make a private mount namespace; the packages are only ever installed in one"
    check_isolated
    for state in changed-config empty-config-dir installed-packages; do
        unchanged_by in_private_root survives $state
    done
    echo "check-packages: the machine's installed state is as it was"
fi
echo "check-packages: $arch packages in $out are fine"
