#!/usr/bin/env bash
# Builds the Debian packages of one build directory with CPack and checks what
# each holds and declares, then runs lintian on them (any error or warning
# fails):
#   scripts/check-packages.sh <build-dir> <debian-arch>
# Installing, running, swapping, upgrading and purging the native ones is
# scripts/piuparts.sh's.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?build directory}
arch=${2:?Debian architecture}
out=$build/packages

fail() {
    echo "check-packages: $*" >&2
    exit 1
}

deb_of() {
    local found=("$out/$1"_*_"$arch".deb)
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || fail "no single $1 package for $arch in $out"
    echo "${found[0]}"
}

# field <package> <field> <value>: the control field is exactly that.
field() {
    local value
    value=$(dpkg-deb -f "$(deb_of "$1")" "$2")
    [ "$value" = "$3" ] || fail "$1: $2 is '$value', not '$3'"
}

# depends_on <package> <dependency>...: Depends names each one.
depends_on() {
    local package=$1 names p
    shift
    names=$(dpkg-deb -f "$(deb_of "$package")" Depends | tr ',|' '\n' | awk '{print $1}')
    for p in "$@"; do
        grep -qxF "$p" <<<"$names" || fail "$package: Depends does not name $p"
    done
}

# The files (and links) a package ships, no more and no fewer.
files_of() {
    case $1 in
    qor-relay-board)
        echo /etc/qor-driver/relay-conf.json /usr/bin/qor-driver-relay /usr/bin/qora_led_driver \
            /usr/share/man/man8/qor-driver-relay.8.gz /usr/share/man/man8/qora_led_driver.8.gz
        ;;
    libqor-board-sim1)
        echo /usr/lib/libqor-board.so.1 /usr/lib/libqor-board.so.1.0.0 /usr/bin/qor-board-vcd \
            /usr/share/man/man1/qor-board-vcd.1.gz
        ;;
    libqor-board-gpiod1)
        echo /etc/qor-board/lines.conf /usr/lib/libqor-board.so.1 /usr/lib/libqor-board.so.1.0.0 \
            /usr/bin/qor-board-lines /usr/share/man/man7/qor-board-gpiod.7.gz /usr/share/man/man8/qor-board-lines.8.gz
        ;;
    esac
    echo /usr/share/doc/"$1"/{changelog.Debian.gz,copyright} /usr/share/lintian/overrides/"$1"
}

# check_package <package> [<conffile>]: its files, conffiles, control files,
# documents, binaries and manual pages.
check_package() {
    local deb dir=$tmp/$1 version page warnings binaries script
    deb=$(deb_of "$1")
    dpkg-deb -R "$deb" "$dir"
    field "$1" Architecture "$arch"
    diff <(files_of "$1" | tr ' ' '\n' | sort) <(cd "$dir" && find . -path ./DEBIAN -prune -o ! -type d -print |
        sed 's|^\.||' | sort) >&2 || fail "$1 does not ship what it should (< missing, > not expected)"
    [ "$(cat "$dir/DEBIAN/conffiles" 2>/dev/null)" = "${2:-}" ] || fail "$1: its conffiles are not '${2:-}'"
    # The library cache is refreshed by dpkg's trigger: no maintainer script.
    for script in preinst postinst prerm postrm config; do
        [ ! -e "$dir/DEBIAN/$script" ] || fail "$1 has a maintainer script: $script"
    done
    cmp "$dir/usr/share/doc/$1/copyright" packaging/copyright || fail "$1: its copyright file is not packaging/copyright"
    version=$(gzip -dc "$dir/usr/share/doc/$1/changelog.Debian.gz" | dpkg-parsechangelog -l- -SVersion)
    field "$1" Version "$version"
    binaries=$(find "$dir" -type f \( -path "$dir/usr/bin/*" -o -path "$dir/usr/lib/*" \) -print0 | xargs -0 file -b)
    ! grep -v "ELF.*$machine" <<<"$binaries" || fail "$1 holds binaries that are not built for $arch"
    for page in "$dir"/usr/share/man/man?/*.gz; do
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done
}

check_lintian() {
    local output status=0
    echo "check-packages: lintian --fail-on error,warning on the $arch packages"
    output=$(lintian --fail-on error,warning "$out"/*_"$arch".deb 2>&1) || status=$?
    # It warns against running as root, which is how the test command runs.
    grep -vx 'running with root privileges is not recommended!' <<<"$output" || true
    [ "$status" -eq 0 ] || fail "lintian found errors or warnings in the $arch packages (status $status)"
}

case $arch in
amd64) machine='x86-64' ;;
armhf) machine='ARM, EABI5' ;;
arm64) machine='ARM aarch64' ;;
*) fail "no check of the binaries of $arch" ;;
esac
command -v lintian >/dev/null || fail "lintian is missing (scripts/deps.sh test installs it)"
rm -rf "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

check_package qor-relay-board /etc/qor-driver/relay-conf.json
check_package libqor-board-sim1
check_package libqor-board-gpiod1 /etc/qor-board/lines.conf
# The library names of the release the packages were built on: Debian 13
# renamed Qt's for 64-bit time_t and has libgpiod 2 (libgpiod3).
VERSION_CODENAME=''
. /etc/os-release
case $VERSION_CODENAME in
bookworm) qt=(libqt5core5a libqt5network5) gpiod=libgpiod2 ;;
*) qt=(libqt5core5t64 libqt5network5t64) gpiod=libgpiod3 ;;
esac
depends_on qor-relay-board libqor-board1 "${qt[@]}" libc6 libstdc++6
depends_on libqor-board-gpiod1 "$gpiod"
# Each board library takes the place of the other one and of the maker's.
for board in sim gpiod; do
    other=$([ $board = sim ] && echo gpiod || echo sim)
    field libqor-board-${board}1 Provides libqor-board1
    field libqor-board-${board}1 Conflicts "libqor-board1, libqor-board-${other}1"
    field libqor-board-${board}1 Replaces "libqor-board1, libqor-board-${other}1"
    [ "$(cat "$tmp/libqor-board-${board}1/DEBIAN/triggers")" = "activate-noawait ldconfig" ] ||
        fail "libqor-board-${board}1 does not activate the ldconfig trigger"
    # Programs linked against it depend on the virtual package.
    [ "$(cat "$tmp/libqor-board-${board}1/DEBIAN/shlibs")" = "libqor-board 1 libqor-board1" ] ||
        fail "libqor-board-${board}1: its shlibs file does not name libqor-board1"
done
check_lintian
echo "check-packages: $arch packages in $out are fine"
