#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
#   scripts/deps.sh run    what building and running the programs needs
#   scripts/deps.sh test   everything for the tests, including the ARM cross builds
#                          (armhf and arm64) and the kernel rounds under qemu
#   scripts/deps.sh --list [--release SUITE] GROUP...
#                          prints the package names of the groups, one a line,
#                          without installing (for roots of another release):
#                          run, build (run plus what the native and ARM tests
#                          need), test, kernel, armhf, arm64
# The names depend on the release (Debian 12 bookworm or 13 trixie), read from
# /etc/os-release unless --release names it.
set -euo pipefail

die() { printf 'deps.sh: %s\n' "$*" >&2; exit 1; }

release_of_machine() {
    local VERSION_CODENAME='' VERSION_ID='' ID=''
    # shellcheck disable=SC1091
    [ -r /etc/os-release ] && . /etc/os-release
    case $VERSION_CODENAME in
    bookworm | trixie) echo "$VERSION_CODENAME"; return ;;
    esac
    case $VERSION_ID in
    12*) echo bookworm; return ;;
    13*) echo trixie; return ;;
    esac
    if [ "$ID" = debian ] && [ -n "$VERSION_ID" ] && [ "${VERSION_ID%%.*}" -lt 12 ]; then
        die "Debian $VERSION_ID (${VERSION_CODENAME:-no codename}) is too old: Debian 12 (bookworm) or 13 (trixie)"
    fi
    echo "deps.sh: ${ID:-this system} ${VERSION_ID:-} ${VERSION_CODENAME:-} is neither Debian 12" \
        "(bookworm) nor 13 (trixie); trying the package names of trixie" >&2
    echo trixie
}

list=no release=''
while [ $# -gt 0 ]; do
    case $1 in
    --list) list=yes; shift ;;
    --release) release=$2; shift 2 ;;
    -*) die "unknown option $1" ;;
    *) break ;;
    esac
done
[ -n "$release" ] || release=$(release_of_machine)
case $release in
bookworm) clang_rt=libclang-rt-14-dev ;;
trixie) clang_rt=libclang-rt-19-dev ;;
*) die "unknown release $release: bookworm or trixie" ;;
esac

native=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libgpiod-dev iproute2 util-linux)
# The unit and end-to-end tests of the native and the ARM builds.
checks=(qemu-user g++-arm-linux-gnueabihf g++-aarch64-linux-gnu file binutils procps mount sigrok-cli gpiod)
# The formatting step, the sanitizer builds (clang's runtime is versioned),
# and the roots of the other release and of the package step (which brings
# each release's own debhelper, lintian, piuparts and autopkgtest).
# llvm brings the unversioned llvm-symbolizer, without which the sanitizers
# print no function names and the suppressions of scripts/tsan.supp match
# nothing.
testing=(git clang-format clang "$clang_rt" llvm dpkg-dev man-db groff-base mmdebstrap)
# The kernel rounds (scripts/kernel-test.sh): full-system qemu (qemu-system-arm
# has qemu-system-aarch64 too), the initramfs archiver, and compilers for the
# out-of-tree modules. Kernels, headers, busybox, udev and the kernel source
# are fetched by that script into $QOR_CACHE/kernel/.
kernel=(qemu-system-x86 qemu-system-arm cpio xz-utils gcc make gcc-arm-linux-gnueabihf)
# The libraries the ARM cross builds link, from the multiarch archive.
armhf=(qtbase5-dev:armhf libgpiod-dev:armhf)
arm64=(qtbase5-dev:arm64 libgpiod-dev:arm64)

group() {
    case $1 in
    run) printf '%s\n' "${native[@]}" ;;
    build) printf '%s\n' "${native[@]}" "${checks[@]}" ;;
    test) printf '%s\n' "${native[@]}" "${checks[@]}" "${testing[@]}" "${kernel[@]}" ;;
    kernel) printf '%s\n' "${kernel[@]}" ;;
    armhf) printf '%s\n' "${armhf[@]}" ;;
    arm64) printf '%s\n' "${arm64[@]}" ;;
    *) die "unknown group $1: run, build, test, kernel, armhf or arm64" ;;
    esac
}

if [ $list = yes ]; then
    [ $# -gt 0 ] || die "--list needs a group"
    for g in "$@"; do group "$g"; done | awk '!seen[$0]++'
    exit 0
fi

what=${1:-test}
case $what in
run | test) ;;
*) die "usage: scripts/deps.sh run|test, or --list [--release SUITE] GROUP..." ;;
esac

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || echo "$p"
    done
}

# Another apt may be running beside (a second clone's test command).
apt=(apt-get -o DPkg::Lock::Timeout=600)
updated=no
update() {
    if [ $updated = no ]; then
        as_root "${apt[@]}" update -qq
        updated=yes
    fi
}
install() {
    [ $# -gt 0 ] || return 0
    update
    as_root env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "$@"
}

mapfile -t wanted < <(group "$what")
mapfile -t need < <(missing "${wanted[@]}")
install "${need[@]}"

if [ "$what" = test ]; then
    for arch in armhf arm64; do
        if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            as_root dpkg --add-architecture "$arch"
            updated=no
        fi
    done
    mapfile -t need < <(missing "${armhf[@]}" "${arm64[@]}")
    if [ ${#need[@]} -gt 0 ]; then
        update
        # --no-remove: the foreign packages must never take native ones away.
        as_root env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends \
            --no-remove "${need[@]}"
    fi
fi
