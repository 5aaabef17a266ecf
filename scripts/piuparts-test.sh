#!/usr/bin/env bash
# Checks scripts/piuparts.sh itself on a release's packages, in a cache of
# its own (the roots and the base chroot are shared with the real one, read
# only):
#   scripts/piuparts-test.sh SUITE DEBDIR        (as root)
# In turn: a first run passes and says that it has nothing to upgrade from;
# the same packages repacked at a higher version pass with an upgrade from
# the first run's (and from CPack's on bookworm); and a higher one still whose
# qor-relay-board leaves a file behind after its purge fails, naming the run,
# and is not kept as the packages to upgrade from. 1.5 minutes on Debian 13,
# 4 on Debian 12 (the CPack upgrade runs in each).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=QOR_CACHE "$0" "$@"
fi
[ $# -eq 2 ] || { echo "usage: scripts/piuparts-test.sh SUITE DEBDIR" >&2; exit 2; }
suite=$1
debdir=$(realpath "$2")
real_cache=${QOR_CACHE:-/var/cache/qor-relay-board}
# On the real cache's file system, so that the base chroot is hard-linked.
work=$real_cache/piuparts-test.$$
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/cache/piuparts"
ln -s "$real_cache/roots" "$work/cache/roots"
# shellcheck source=scripts/cachelock.sh
. scripts/cachelock.sh
# Taken while another run may be replacing them.
cache_lock shared "$real_cache/piuparts/$suite.tgz"
if [ -f "$real_cache/piuparts/$suite.tgz" ]; then
    ln "$real_cache/piuparts/$suite.tgz" "$work/cache/piuparts/$suite.tgz"
fi
cache_unlock "$real_cache/piuparts/$suite.tgz"
# The CPack packages too, rather than building them again.
cache_lock shared "$real_cache/piuparts/$suite/from-cpack"
if [ -d "$real_cache/piuparts/$suite/from-cpack" ]; then
    mkdir -p "$work/cache/piuparts/$suite"
    cp -a "$real_cache/piuparts/$suite/from-cpack" "$work/cache/piuparts/$suite/"
fi
cache_unlock "$real_cache/piuparts/$suite/from-cpack"

failures=0
fail() {
    echo "FAIL: piuparts-test: $*" >&2
    failures=$((failures + 1))
}

# The three packages of DEBDIR at version VERSION in folder OUT; "stray"
# gives qor-relay-board a postinst that leaves a file its purge does not
# remove.
repack() {
    local out=$1 version=$2 fault=${3:-} deb name tree
    mkdir -p "$out"
    for name in qor-relay-board libqor-board-sim1 libqor-board-gpiod1; do
        deb=$(echo "$debdir/${name}"_*_amd64.deb)
        tree=$work/tree
        rm -rf "$tree"
        dpkg-deb -R "$deb" "$tree"
        sed -i "s/^Version: .*/Version: $version/" "$tree/DEBIAN/control"
        if [ "$fault" = stray ] && [ $name = qor-relay-board ]; then
            printf '#!/bin/sh\nset -e\nmkdir -p /var/lib/qor-stray\ntouch /var/lib/qor-stray/left\n' >"$tree/DEBIAN/postinst"
            chmod 755 "$tree/DEBIAN/postinst"
        fi
        dpkg-deb -b "$tree" "$out/${name}_${version}_amd64.deb" >/dev/null
    done
}

# Runs piuparts.sh on DIR and checks its status and that each pattern
# matches a line of its output.
expect() {
    local what=$1 want=$2 dir=$3 status=0 pattern
    shift 3
    QOR_CACHE=$work/cache scripts/piuparts.sh "$suite" "$dir" >"$work/out" 2>&1 || status=$?
    if { [ "$want" = pass ] && [ $status -ne 0 ]; } || { [ "$want" = fail ] && [ $status -eq 0 ]; }; then
        fail "$what: piuparts.sh ended with status $status, wanted it to $want; its output: $(cat "$work/out")"
        return
    fi
    for pattern in "$@"; do
        grep -qE -- "$pattern" "$work/out" || fail "$what: no line matches '$pattern' in: $(cat "$work/out")"
    done
    echo "ok: $what"
}

version=$(dpkg-deb -f "$(echo "$debdir"/qor-relay-board_*_amd64.deb)" Version)
previous=$work/cache/piuparts/$suite/previous
repack "$work/up" "$version+1"
repack "$work/stray" "$version+2" stray

expect "first run, nothing to upgrade from" pass "$debdir" \
    "^piuparts.sh: $suite sim: PASS \(install and purge of $version; no upgrade test: no packages" \
    "^piuparts.sh: $suite gpiod: PASS " "^  sim: post_install_qor-relay-board: dpkg -i swapped the board libraries both ways"
expect "same version again, no upgrade" pass "$debdir" \
    "^piuparts.sh: $suite gpiod: PASS \(install and purge of $version; no upgrade test: the last run that passed was of $version\)"
expect "higher version, upgrade from the last run" pass "$work/up" \
    "^piuparts.sh: $suite sim: PASS \(install and purge of $version\+1; upgrade from $version\)" \
    "^piuparts.sh: $suite gpiod: PASS \(install and purge of $version\+1; upgrade from $version\)" \
    "^  gpiod: post_install_qor-relay-board: upgrade: the installed qor-relay-board and libqor-board-gpiod1 are the packages under test"
expect "a file left after the purge" fail "$work/stray" \
    "^piuparts.sh: $suite sim: FAIL " "/var/lib/qor-stray" "^piuparts.sh: $suite: piuparts failed in the run\(s\): sim gpiod"
[ "$(dpkg-deb -f "$previous"/qor-relay-board_*.deb Version)" = "$version+1" ] ||
    fail "after the failed run, $previous holds $(ls "$previous"), not the $version+1 packages"

[ $failures -eq 0 ] || { echo "piuparts-test: $failures check(s) failed" >&2; exit 1; }
echo "piuparts-test: $suite: all checks passed"
