#!/usr/bin/env bash
# Installs, upgrades and purges the native Debian packages of a build with
# piuparts, Debian's package tester, in throwaway chroots of the machine's release:
#   scripts/piuparts.sh [<build-dir>]     (as root; default build/native)
# The packages are those scripts/check-packages.sh made in <build-dir>/packages.
# Two runs: the programs with the simulated board, and with the GPIO board.
# Each installs and purges them, and upgrades to them from the packages of
# the last run that passed (build/piuparts/previous/), where there are some.
# After every install packaging/piuparts/post_install_qor-relay-board runs the
# programs and, with the simulated board, swaps the board library both ways.
# The base chroot, a minimal root of that release from the Debian mirror that the
# machine's apt sources name, is kept in build/piuparts/SUITE.tgz and made
# again when over a week old. piuparts' mounts (/proc in the chroot...) are
# made in a mount namespace of its own; the machine's /etc and packages are
# never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    exec sudo "$0" "$@"
fi

build=$(realpath "${1:-build/native}")
out=$build/packages
cache=$PWD/build/piuparts
# The machine's own release: the packages carry its library names.
VERSION_CODENAME=''
. /etc/os-release
suite=${VERSION_CODENAME:-bookworm}
base=$cache/$suite.tgz
previous=$cache/previous
arch=$(dpkg --print-architecture)

fail() {
    echo "piuparts.sh: $*" >&2
    exit 1
}

deb_of() {
    local found=("$out/$1"_*_"$arch".deb)
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] ||
        fail "no single $1 package for $arch in $out (scripts/check-packages.sh makes them)"
    echo "${found[0]}"
}

# The machine's apt sources of the suite: "URI suite component..." each.
suite_sources() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' | sort -u |
        awk -v s=$suite '$2 == s || index($2, s "-") == 1 { c[$1 " " $2] = c[$1 " " $2] " " $3 }
            END { for (k in c) print k c[k] }' | sort
}

# The suite's mirror for debootstrap, and its -updates and -security as extra
# sources.
mirror_options() {
    local uri release components
    while read -r uri release components; do
        if [ "$release" = $suite ]; then
            echo "--mirror=$uri $components"
        else
            echo "--extra-repo=deb $uri $release $components"
        fi
    done < <(suite_sources)
}

# piuparts with the machine's mirror, in a mount namespace of its own whose
# tmpfs holds the chroot: its mounts and files end with it. Its log goes to
# build/piuparts/<name>.log, its verdicts to standard output.
run_piuparts() {
    local name=$1 status=0
    shift
    rm -f "$cache/$name.log"
    mkdir -p "$cache/tmp"
    unshare --mount --propagation private -- sh -ec 'mount -t tmpfs -o mode=0755 qor-piuparts "$1"; shift; exec "$@"' \
        sh "$cache/tmp" piuparts --distribution=$suite "${mirror[@]}" --tmpdir="$cache/tmp" \
        --log-file="$cache/$name.log" "$@" >/dev/null 2>&1 || status=$?
    grep -E '^[0-9hms.]+ (INFO|ERROR): (PASS|FAIL|SKIP|Can.t test)|^  post_install_qor-relay-board:' \
        "$cache/$name.log" | sed -E -e 's/^[0-9hms.]+ [A-Z]+: //' -e 's/^ +//' -e "s/^/  $name: /" || true
    if [ $status -ne 0 ]; then
        tail -n 60 "$cache/$name.log" >&2
        fail "piuparts failed in the $name run; its whole log is $cache/$name.log"
    fi
}

# The base chroot, saved by piuparts itself; debootstrap installs the suite as
# released, so its updates go into the saved chroot too rather than into
# every run.
make_base() {
    if [ -f "$base" ] && [ -z "$(find "$base" -mmin +$((7 * 24 * 60)))" ]; then
        echo "piuparts.sh: base chroot $base from $(date -r "$base" '+%F %R')"
        return
    fi
    echo "piuparts.sh: making the base chroot $base"
    local only_save=(--no-install-purge-test --no-upgrade-test --apt dpkg)
    run_piuparts base --save="$base" "${only_save[@]}" >/dev/null
    run_piuparts base-update --basetgz="$base" --save="$base" "${only_save[@]}" >/dev/null
}

# The packages of the last run that passed, as an apt source to upgrade
# from. apt upgrades only to a newer version: over the same one it installs
# nothing.
previous_options() {
    local old new
    if [ ! -f "$previous/Packages" ]; then
        echo "piuparts.sh: no packages of an earlier run in $previous: no upgrade test" >&2
        echo --no-upgrade-test
        return
    fi
    old=$(dpkg-deb -f "$previous"/qor-relay-board_*.deb Version)
    new=$(dpkg-deb -f "$programs" Version)
    if dpkg --compare-versions "$new" le "$old"; then
        echo "piuparts.sh: the packages of the last run are $old, these $new: no upgrade test" >&2
        echo --no-upgrade-test
        return
    fi
    echo "piuparts.sh: upgrade test from $old" >&2
    echo "--bindmount=$previous"
    echo "--extra-repo=deb [trusted=yes] file://$previous ./"
}

keep_as_previous() {
    rm -rf "$previous"
    mkdir -p "$previous"
    cp "$@" "$previous"
    (cd "$previous" && dpkg-scanpackages --multiversion . >Packages 2>/dev/null)
}

command -v piuparts >/dev/null || fail "piuparts is missing (scripts/deps.sh test installs it)"
mapfile -t mirror < <(mirror_options)
[[ "${mirror[*]}" == *--mirror=* ]] || fail "the machine's apt sources name no mirror of $suite"
programs=$(deb_of qor-relay-board)
sim=$(deb_of libqor-board-sim1)
gpiod=$(deb_of libqor-board-gpiod1)
make_base
mapfile -t upgrade < <(previous_options)
for run in "sim $sim" "gpiod $gpiod"; do
    QOR_PACKAGES=$out run_piuparts "${run% *}" --basetgz="$base" --scriptsdir="$PWD/packaging/piuparts" \
        --bindmount="$out" "${upgrade[@]}" "$programs" "${run#* }"
done
keep_as_previous "$programs" "$sim" "$gpiod"
echo "piuparts.sh: the $arch packages installed, ran$([[ "${upgrade[*]}" == *--no-upgrade-test* ]] || echo ", upgraded") and purged cleanly"
