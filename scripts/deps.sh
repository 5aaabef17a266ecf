#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
#   scripts/deps.sh run    what building and running the programs needs
#   scripts/deps.sh test   everything for the tests, including the ARM cross build
#                          and the kernel rounds under qemu
set -euo pipefail

what=${1:-test}
native=(cmake make g++ qtbase5-dev qtbase5-dev-tools libgpiod-dev iproute2 util-linux)
testing=(clang-format qemu-user g++-arm-linux-gnueabihf clang libclang-rt-14-dev file binutils procps
    dpkg-dev man-db groff-base lintian piuparts mount sigrok-cli gpiod debhelper devscripts)
# The kernel rounds (scripts/kernel-test.sh): full-system qemu, the initramfs
# archiver, and compilers for the out-of-tree modules. Kernels, headers,
# busybox and the kernel source are fetched by that script into build/kernel/.
kernel=(qemu-system-x86 qemu-system-arm cpio xz-utils gcc make gcc-arm-linux-gnueabihf)
armhf=(qtbase5-dev:armhf libgpiod-dev:armhf)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || echo "$p"
    done
}

updated=no
install() {
    [ $# -gt 0 ] || return 0
    if [ $updated = no ]; then
        as_root apt-get update -qq
        updated=yes
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

wanted=("${native[@]}")
[ "$what" = test ] && wanted+=("${testing[@]}" "${kernel[@]}")
mapfile -t need < <(missing "${wanted[@]}")
install "${need[@]}"

if [ "$what" = test ]; then
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        as_root dpkg --add-architecture armhf
        updated=no
    fi
    mapfile -t need < <(missing "${armhf[@]}")
    if [ ${#need[@]} -gt 0 ]; then
        # --no-remove: the armhf packages must never take native ones away.
        if [ $updated = no ]; then as_root apt-get update -qq; updated=yes; fi
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            --no-remove "${need[@]}"
    fi
fi
