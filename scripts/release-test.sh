#!/usr/bin/env bash
# The other Debian release's round: in a root of that release (scripts/root.sh,
# cached in $QOR_CACHE and made again when over a week old), build natively
# and run the unit and end-to-end tests, cross-build for 32-bit and 64-bit
# ARM against that release's armhf and arm64 libraries and run the unit tests
# under qemu-arm and qemu-aarch64; then the kernel round of that release on
# the host.
#
#   scripts/release-test.sh [--release bookworm|trixie] [--no-kernel]
#       default: the release that the machine is not (trixie on Debian 12,
#       bookworm on Debian 13). The builds go to build/SUITE-native,
#       build/SUITE-arm and build/SUITE-arm64 with the settings of the
#       presets native, arm and arm64.
#   scripts/release-test.sh --inside SUITE
#       the builds and tests alone, in the running system (what the root runs).
set -euo pipefail
cd "$(dirname "$0")/.."

die() { printf 'release-test.sh: %s\n' "$*" >&2; exit 1; }
step() { printf '\n---- %s ----\n' "$*"; }

# stamp LABEL START: prints how long the part took, for the README's figures.
stamp() { printf 'release-test.sh: %s took %d s\n' "$1" $(($(date +%s) - $2)); }

machine_release() {
    local VERSION_CODENAME=''
    # shellcheck disable=SC1091
    . /etc/os-release
    echo "$VERSION_CODENAME"
}

# The test presets' settings; ctest --preset would take the preset's folder
# rather than the round's.
ctest=(ctest --output-on-failure --no-tests=error --timeout 240)

# cross SUITE PRESET NAME EMULATOR FILE-WORDS: the cross build of the preset
# in build/SUITE-PRESET, its board libraries' architecture and SONAME, and its
# unit tests under the emulator. The end-to-end tests under qemu are the host
# release's ARM rounds' job; the unit tests show that this release's foreign
# libraries behave.
cross() {
    local suite=$1 preset=$2 name=$3 emulator=$4 words=$5 jobs t
    local dir=build/$suite-$preset
    jobs=$(nproc)
    step "$suite: $name cross build"
    t=$(date +%s)
    cmake --preset "$preset" -B "$dir"
    cmake --build "$dir" -j"$jobs"
    local lib info found=0
    for lib in "$dir"/qor-board-*/libqor-board.so.1; do
        [ -e "$lib" ] || continue
        info=$(file "$(readlink -f "$lib")")
        echo "$info"
        grep -q "$words" <<<"$info" || die "$lib is not a $name library"
        readelf -d "$lib" | grep -q 'Library soname: \[libqor-board.so.1\]' ||
            die "$lib has not the SONAME libqor-board.so.1"
        found=$((found + 1))
    done
    [ "$found" -eq 2 ] || die "the $name build made $found board libraries, not 2"
    stamp "$suite $name build" "$t"

    step "$suite: $name unit tests under $emulator"
    t=$(date +%s)
    "${ctest[@]}" --test-dir "$dir" -L unit -j"$jobs"
    stamp "$suite $name unit tests" "$t"
}

# inside SUITE: run in the release's own system, with the clone at its path.
inside() {
    local suite=$1 jobs t
    jobs=$(nproc)
    local native=build/$suite-native

    step "$suite: native build"
    t=$(date +%s)
    cmake --preset native -B "$native"
    cmake --build "$native" -j"$jobs"
    stamp "$suite native build" "$t"

    step "$suite: native tests (unit side by side, end-to-end one at a time)"
    t=$(date +%s)
    "${ctest[@]}" --test-dir "$native" -L unit -j"$jobs"
    "${ctest[@]}" --test-dir "$native" -LE unit
    stamp "$suite native tests" "$t"

    cross "$suite" arm "32-bit ARM" qemu-arm 'ELF 32-bit LSB shared object, ARM,'
    cross "$suite" arm64 "64-bit ARM" qemu-aarch64 'ELF 64-bit LSB shared object, ARM aarch64,'
}

release='' kernel=yes
while [ $# -gt 0 ]; do
    case $1 in
    --release) release=${2:-}; shift 2 ;;
    --no-kernel) kernel=no; shift ;;
    --inside) [ $# -eq 2 ] || die "usage: --inside SUITE"; inside "$2"; exit 0 ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument $1 (see --help)" ;;
    esac
done
if [ -z "$release" ]; then
    case $(machine_release) in
    bookworm) release=trixie ;;
    *) release=bookworm ;;
    esac
fi
case $release in
bookworm | trixie) ;;
*) die "unknown release $release: bookworm or trixie" ;;
esac

step "$release: the root"
t=$(date +%s)
mapfile -t packages < <(scripts/deps.sh --list --release "$release" build armhf arm64)
root=$(scripts/root.sh make "$release" build --arch armhf --arch arm64 "${packages[@]}")
stamp "$release root" "$t"

here=$(pwd)
scripts/root.sh run "$root" --bind "$here" --cd "$here" -- scripts/release-test.sh --inside "$release"

if [ $kernel = no ]; then
    exit 0
fi
step "$release: kernel round"
if grep -q -- '--release' scripts/kernel-test.sh 2>/dev/null; then
    scripts/kernel-test.sh --release "$release" "build/$release-native" "build/$release-arm" "build/$release-arm64"
else
    echo "release-test.sh: scripts/kernel-test.sh has no --release yet; the $release kernel round is skipped"
fi
