#!/usr/bin/env bash
# Installs, upgrades and purges the amd64 Debian packages of one release with
# piuparts, Debian's package tester, in throwaway chroots of that release:
#   scripts/piuparts.sh SUITE DEBDIR        (as root; SUITE bookworm or trixie)
# DEBDIR holds the .deb files that dpkg-buildpackage made on SUITE (the
# -dbgsym packages, .changes and .buildinfo there are not used).
# Two runs: the programs with the simulated board, and with the GPIO board.
# Each installs and purges them, and upgrades to them from the packages of
# the last run that passed for SUITE ($QOR_CACHE/piuparts/SUITE/previous),
# where those are older. Every folder $QOR_CACHE/piuparts/SUITE/from-LABEL
# holding an older build of the three packages (from-cpack: the 0.1.3-1 ones
# that CPack made, which scripts/cpack-packages.sh builds for bookworm when
# they are missing) adds an upgrade run from it for each board library.
# After every install scripts/piuparts.d/post_install_qor-relay-board checks
# that the installed files are those of the packages under test and, with
# the simulated board, swaps the board library both ways with dpkg -i, by
# the checks of debian/tests/library-swap.sh that autopkgtest runs with apt.
#
# piuparts is SUITE's own, run in a root of SUITE (scripts/root.sh make SUITE
# piuparts), whose private mount namespace also holds piuparts' mounts and
# chroots; the machine's /etc and packages are never touched. The base
# chroot, from the mirror that the machine's apt sources name, is kept in
# $QOR_CACHE/piuparts/SUITE.tgz and made again when over a week old. Logs:
# build/piuparts/SUITE/*.log. One verdict line per run; on a failure the
# log's tail and status 1. Runs at once may share $QOR_CACHE: each holds
# the base chroot and the packages it upgrades from while it uses them, and
# one that would replace them waits (scripts/cachelock.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=QOR_CACHE "$0" "$@"
fi
# shellcheck source=scripts/cachelock.sh
. scripts/cachelock.sh

fail() {
    echo "piuparts.sh: $*" >&2
    exit 1
}

packages=(qor-relay-board libqor-board-sim1 libqor-board-gpiod1)

deb_of() {
    local found=("$2/$1"_*_amd64.deb)
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || fail "no single amd64 $1 package in $2"
    echo "${found[0]}"
}

# --- inside the root of SUITE ---------------------------------------------

# The root's apt sources, as mmdebstrap wrote them from the machine's:
# the suite's mirror for debootstrap, its -updates and -security as extra
# sources.
mirror_options() {
    local type uri release components
    while read -r type uri release components; do
        [ "$type" = deb ] || continue
        if [ "$release" = "$suite" ]; then
            echo "--mirror=$uri $components"
        else
            echo "--extra-repo=deb $uri $release $components"
        fi
    done </etc/apt/sources.list
}

# piuparts with its verdicts on standard output, its log in $logs/NAME.log.
run_piuparts() {
    local name=$1
    shift
    rm -f "$logs/$name.log"
    QOR_PACKAGES=$debdir QOR_TESTS=$PWD/debian/tests piuparts --distribution="$suite" "${mirror[@]}" --tmpdir=/tmp \
        --log-file="$logs/$name.log" "$@" >/dev/null 2>&1
}

# piuparts' own PASS/FAIL lines and the hook's, from a run's log.
verdicts_of() {
    grep -E '^[0-9hms.]+ (INFO|ERROR): (PASS|FAIL|SKIP|Can.t test)|^  post_install_qor-relay-board:' \
        "$logs/$1.log" | sed -E -e 's/^[0-9hms.]+ [A-Z]+: //' -e 's/^ +//' -e "s/^/  $1: /" || true
}

# The base chroot, saved by piuparts itself; debootstrap installs the suite as
# released, so its updates go into the saved chroot too rather than into
# every run. The run holds it; one that finds it over a week old replaces it
# once the other runs are over.
make_base() {
    cache_renew "$base" base_stale save_base
    echo "piuparts.sh: $suite: base chroot $base from $(date -r "$base" '+%F %R')"
}

base_stale() {
    [ ! -f "$base" ] || [ -n "$(find "$base" -mmin +$((7 * 24 * 60)))" ]
}

save_base() {
    echo "piuparts.sh: $suite: making the base chroot $base"
    local only_save=(--no-install-purge-test --no-upgrade-test --apt dpkg) name from=()
    for name in base base-update; do
        if ! run_piuparts $name "${from[@]}" --save="$1" "${only_save[@]}"; then
            tail -n 40 "$logs/$name.log" >&2
            fail "$suite: piuparts could not make the base chroot; its log is $logs/$name.log"
        fi
        from=(--basetgz="$1")
    done
}

# An apt source of the older packages in DIR, for piuparts to install and
# then upgrade from; nothing when they are not older, since apt upgrades only
# to a newer version.
upgrade_options() {
    local dir=$1 old new
    [ -f "$dir/Packages" ] || return 0
    old=$(dpkg-deb -f "$(deb_of qor-relay-board "$dir")" Version)
    new=$(dpkg-deb -f "$programs" Version)
    dpkg --compare-versions "$old" lt "$new" || return 0
    echo "--bindmount=$dir"
    echo "--extra-repo=deb [trusted=yes] file://$dir ./"
}

# One piuparts run of the programs with one board library, and its verdict.
check() {
    local name=$1 library=$2 what=$3
    shift 3
    local status=PASS
    run_piuparts "$name" --basetgz="$base" --scriptsdir="$PWD/scripts/piuparts.d" \
        --bindmount="$debdir" --bindmount="$PWD/debian/tests" "$@" "$programs" "$library" || status=FAIL
    verdicts_of "$name"
    echo "piuparts.sh: $suite $name: $status ($what)"
    if [ $status = FAIL ]; then
        tail -n 60 "$logs/$name.log" >&2
        echo "piuparts.sh: $suite $name: its whole log is $logs/$name.log" >&2
        failed+=("$name")
    fi
}

# Once the runs that upgrade from the previous packages are over.
keep_as_previous() {
    cache_lock exclusive "$previous"
    rm -rf "$previous"
    mkdir -p "$previous"
    cp "$@" "$previous"
    packages_file "$previous"
}

# An apt index of the packages in DIR, for a run that another may read.
packages_file() {
    (cd "$1" && dpkg-scanpackages --multiversion . >Packages.new 2>/dev/null && mv Packages.new Packages)
}

in_root() {
    suite=$1 debdir=$2 cache=$3
    logs=$PWD/build/piuparts/$suite
    base=$cache/$suite.tgz
    previous=$cache/$suite/previous
    mkdir -p "$logs" "$cache/$suite"
    mapfile -t mirror < <(mirror_options)
    [[ "${mirror[*]}" == *--mirror=* ]] || fail "$suite: the root's apt sources name no mirror of $suite"
    programs=$(deb_of qor-relay-board "$debdir")
    local sim gpiod version upgrade
    sim=$(deb_of libqor-board-sim1 "$debdir")
    gpiod=$(deb_of libqor-board-gpiod1 "$debdir")
    version=$(dpkg-deb -f "$programs" Version)
    make_base
    failed=()
    cache_lock shared "$previous"
    mapfile -t upgrade < <(upgrade_options "$previous")
    local what="install and purge of $version"
    if [ ${#upgrade[@]} -gt 0 ]; then
        what+="; upgrade from $(dpkg-deb -f "$(deb_of qor-relay-board "$previous")" Version)"
    elif [ -f "$previous/Packages" ]; then
        what+="; no upgrade test: the last run that passed was of $(dpkg-deb -f "$(deb_of qor-relay-board "$previous")" Version)"
    else
        what+="; no upgrade test: no packages of an earlier run in $previous"
    fi
    [ ${#upgrade[@]} -gt 0 ] || upgrade=(--no-upgrade-test)
    check sim "$sim" "$what" "${upgrade[@]}"
    check gpiod "$gpiod" "$what" "${upgrade[@]}"
    local from label
    for from in "$cache/$suite"/from-*/; do
        [ -d "$from" ] || continue
        from=${from%/}
        # A folder being made (scripts/cpack-packages.sh).
        [[ $from != *.new ]] || continue
        label=${from##*/from-}
        cache_lock shared "$from"
        [ -f "$from/Packages" ] || packages_file "$from"
        mapfile -t upgrade < <(upgrade_options "$from")
        if [ ${#upgrade[@]} -eq 0 ]; then
            echo "piuparts.sh: $suite: the packages in $from are not older than $version: no upgrade test from $label"
            continue
        fi
        what="upgrade from $label $(dpkg-deb -f "$(deb_of qor-relay-board "$from")" Version) to $version"
        check "sim-from-$label" "$sim" "$what" "${upgrade[@]}" --no-install-purge-test
        check "gpiod-from-$label" "$gpiod" "$what" "${upgrade[@]}" --no-install-purge-test
    done
    [ ${#failed[@]} -eq 0 ] || fail "$suite: piuparts failed in the run(s): ${failed[*]}"
    keep_as_previous "$programs" "$sim" "$gpiod"
}

# --- on the machine ---------------------------------------------------------

if [ "${1:-}" = --in-root ]; then
    shift
    in_root "$@"
    exit
fi

[ $# -eq 2 ] || fail "usage: scripts/piuparts.sh SUITE DEBDIR"
suite=$1
case $suite in
bookworm | trixie) ;;
*) fail "SUITE is bookworm or trixie, not $suite" ;;
esac
[ -d "$2" ] || fail "$2 is no folder"
debdir=$(realpath "$2")
for package in "${packages[@]}"; do
    deb_of "$package" "$debdir" >/dev/null
done
cache=${QOR_CACHE:-/var/cache/qor-relay-board}/piuparts
mkdir -p "$cache/$suite"
started=$SECONDS
# The CPack packages, made by one run while another waits; status 77: the
# clone lacks their commit, and no upgrade is tested from them.
cpack_missing() { [ ! -d "$1" ]; }
make_cpack() {
    local status=0
    scripts/cpack-packages.sh "$1" || status=$?
    [ $status -eq 0 ] || [ $status -eq 77 ] || fail "could not make the CPack packages to upgrade from"
}
if [ "$suite" = bookworm ]; then
    cache_renew "$cache/$suite/from-cpack" cpack_missing make_cpack
    cache_unlock "$cache/$suite/from-cpack"
fi
# debootstrap for the base chroot (Debian 13's piuparts only recommends it),
# dpkg-scanpackages for the upgrade sources.
root=$(scripts/root.sh make "$suite" piuparts piuparts debootstrap dpkg-dev)
binds=(--bind "$PWD" --bind "$debdir" --bind "$cache")
scripts/root.sh run "$root" "${binds[@]}" --cd "$PWD" -- scripts/piuparts.sh --in-root "$suite" "$debdir" "$cache"
echo "piuparts.sh: $suite: the amd64 packages passed piuparts in $((SECONDS - started)) s"
