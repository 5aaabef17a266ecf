#!/usr/bin/env bash
# Kernel rounds: the relay driver and the LED blinker with the GPIO board
# library (qor-board-gpiod) on Debian's own kernels, booted under qemu with a
# gpio-sim chip standing in for the board.
#
#   scripts/kernel-test.sh [--release bookworm|trixie] [--round x86_64|arm|arm64]...
#                          [--kernel-only] [NATIVE_BUILD [ARM_BUILD [ARM64_BUILD]]]
#
# The release (default: the machine's own) names the kernels (Debian 12:
# 6.1, Debian 13: 6.12), the guest's busybox, udev and libgpiod tools, and
# the libraries the programs are packed with: the build trees (default
# build/native, build/arm and build/arm64) must have been built on that
# release. Without --round all three rounds run. x86_64 boots
# linux-image-<abi>-amd64 with the native build, arm boots
# linux-image-<abi>-armmp on qemu's "virt" board with the 32-bit ARM build,
# arm64 boots linux-image-<abi>-arm64 on the same board (a Cortex-A57) with
# the arm64 build. All under TCG (no KVM needed). --kernel-only checks the
# kernel side alone (modules, gpio-sim chip, udev's rights, libgpiod's
# tools), without the programs.
#
# In the guest the release's own systemd-udevd runs with the GPIO board's
# udev rule (debian/libqor-board-gpiod1.udev), so the chips get the group
# gpio, mode 0660, as a board's do, and the programs run as a user in gpio
# (scripts/kernel-guest.sh).
#
# Nothing is installed on the machine: the packages of a release come from a
# root of that release (scripts/root.sh, "kernel"), in which kernels,
# headers, kbuild, the kernel source, busybox, udev and libgpiod's tools are
# fetched with "apt-get download", the modules built with that release's
# compilers and the initramfs packed; qemu is the machine's own. All of it is
# cached per release in $QOR_CACHE/kernel/<release> (outside the clone, so
# that a fresh clone or CI job starts warm): downloads, unpacked trees and the
# modules built for each kernel version. Each entry is made, replaced or
# pruned under a lock of its own (flock on <entry>.lock), and a run holds
# its kernel's lock (.use-<abi>.lock) shared while it runs, so that two runs
# at once wait for each other instead of deleting each other's files; the
# initramfs and console logs of a run are its own (guest-<round>.log keeps
# the last console of each round). Needs root (root.sh) and the packages of
# the "kernel" group of scripts/deps.sh.
#
# The check of qor-board-lines runs beside driver starts makes five starts
# with at least 100 runs in the x86_64 guest, two starts with at least 40 in
# the slower ARM guests.
#
# A guest that has not powered off after QOR_KERNEL_TIME_LIMIT seconds (600,
# for a loaded 2-core machine; twice that for the slower ARM guests) is
# stopped and fails its round.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
rounds=()
builds=()
kernel_only=no
release=
# Inside the release's root: pick the kernel, or prepare it and the
# initramfs into the run's folder.
inside=no pick_only=no run_dir=
while [ $# -gt 0 ]; do
    case $1 in
    --release) release=$2; shift 2 ;;
    --round) rounds+=("$2"); shift 2 ;;
    --inside-root) inside=yes; shift ;;
    --pick) pick_only=yes; shift ;;
    --run-dir) run_dir=$2; shift 2 ;;
    --kernel-only) kernel_only=yes; shift ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "kernel-test.sh: unknown option $1" >&2; exit 2 ;;
    *) builds+=("$1"); shift ;;
    esac
done
[ ${#rounds[@]} -gt 0 ] || rounds=(x86_64 arm arm64)
native_build=$(realpath -m "${builds[0]:-build/native}")
arm_build=$(realpath -m "${builds[1]:-build/arm}")
arm64_build=$(realpath -m "${builds[2]:-build/arm64}")
[ -n "$release" ] || release=$(. /etc/os-release && echo "$VERSION_CODENAME")
qor_cache=${QOR_CACHE:-/var/cache/qor-relay-board}
cache=$qor_cache/kernel/$release

# What differs between the releases: the kernel series, its kbuild package,
# the libgpiod the guest's tools load, and what the root needs to build the
# modules (libelf and libssl for kbuild's tools) and to pack the programs
# (their Qt libraries, of both architectures).
case $release in
bookworm)
    kseries=6.1
    gpiod_lib=libgpiod2
    root_packages=(libelf1 libssl3 libqt5network5 libqt5network5:armhf libqt5network5:arm64)
    ;;
trixie)
    kseries=6.12
    gpiod_lib=libgpiod3
    root_packages=(libelf1t64 libssl3t64 libqt5network5t64 libqt5network5t64:armhf libqt5network5t64:arm64)
    ;;
*) echo "kernel-test.sh: unknown release '$release' (bookworm or trixie)" >&2; exit 2 ;;
esac
root_packages=(gcc make gcc-arm-linux-gnueabihf gcc-aarch64-linux-gnu libc6-dev binutils xz-utils cpio
    "${root_packages[@]}")

say() { printf 'kernel-test: %s\n' "$*"; }
die() { printf 'kernel-test: %s\n' "$*" >&2; exit 1; }

# round_of <round>: the round's build, Debian architecture, triplet and
# kernel flavour, in round_build, round_arch, round_triplet, round_flavour.
round_of() {
    case $1 in
    x86_64) round_build=$native_build round_arch=amd64 round_triplet=x86_64-linux-gnu round_flavour=amd64 ;;
    arm) round_build=$arm_build round_arch=armhf round_triplet=arm-linux-gnueabihf round_flavour=armmp ;;
    arm64) round_build=$arm64_build round_arch=arm64 round_triplet=aarch64-linux-gnu round_flavour=arm64 ;;
    *) die "unknown round $1 (x86_64, arm or arm64)" ;;
    esac
}

# --- locks --------------------------------------------------------------------
# lock <entry> [-s]: waits for and takes the lock of a cache entry
# (<entry>.lock), exclusive unless -s; held until unlock <entry> or the end
# of the (sub)shell that took it.
declare -A lock_fds=()
lock() {
    local fd
    mkdir -p "$(dirname "$1")"
    exec {fd}>>"$1.lock"
    flock ${2:-} "$fd"
    lock_fds[$1]=$fd
}
unlock() {
    local fd=${lock_fds[$1]}
    exec {fd}>&-
    unset "lock_fds[$1]"
}

# --- which kernel -------------------------------------------------------------
# The kernel ABI (6.1.0-N on Debian 12, 6.12.N+deb13 on Debian 13) is picked
# from the apt index: the newest ABI whose amd64, armmp and arm64 images and headers
# and the common headers exist at one package version at which the kbuild
# package and linux-source-<series> exist too (so the modules are built from
# the source of the very kernel they load into, with its kbuild); the newest
# such version of the source wins. Without an apt index (offline) the newest
# kernel already prepared in the cache is used. QOR_KERNEL_ABI=<abi> with
# QOR_KERNEL_VERSION=<package version> chooses another.
kseries_re=${kseries//./\\.}
abi_re="$kseries_re\.[0-9]+(\+deb[0-9]+)?(-[0-9]+)?"

# kbuild_of <abi>: Debian 12 has one kbuild package per series, 13 one per ABI.
kbuild_of() {
    case $release in
    bookworm) echo "linux-kbuild-$kseries" ;;
    *) echo "linux-kbuild-$1" ;;
    esac
}

pick_kernel() {
    pick_from_index && return
    # A root whose apt lists are missing or stale: read them once anew.
    if [ -z "$(ls -d "$cache"/"$kseries".*/.ready 2>/dev/null)" ]; then
        say "updating the apt index"
        apt-get update -qq || true
        pick_from_index && return
    fi
    # Offline: the newest kernel whose modules were built here before.
    local ready
    ready=$(ls -d "$cache"/"$kseries".*/.ready 2>/dev/null | sort -V | tail -n 1)
    [ -n "$ready" ] || die "no Debian $kseries kernel with matching images, headers, kbuild and source in the apt index"
    abi=$(basename "$(dirname "$ready")")
    kver=$(cat "$ready")
}

pick_from_index() {
    if [ -n "${QOR_KERNEL_ABI:-}" ]; then
        abi=$QOR_KERNEL_ABI
        kver=${QOR_KERNEL_VERSION:?QOR_KERNEL_ABI needs QOR_KERNEL_VERSION too}
        return
    fi
    # Two apt-cache calls in all: they take seconds each on a busy machine.
    local abis a v p ok index
    abis=$(apt-cache pkgnames "linux-image-$kseries." 2>/dev/null |
        sed -En "s/^linux-image-($abi_re)-amd64\$/\1/p" | sort -rV)
    if [ -n "$abis" ]; then
        index=$(apt-cache madison "linux-source-$kseries" $(for a in $abis; do
            echo "$(kbuild_of "$a") linux-image-$a-amd64 linux-headers-$a-amd64 linux-headers-$a-common" \
                "linux-image-$a-armmp:armhf linux-headers-$a-armmp:armhf" \
                "linux-image-$a-arm64:arm64 linux-headers-$a-arm64:arm64"
        done | tr ' ' '\n' | sort -u) 2>/dev/null |
            awk -F'|' '{gsub(/ /, "", $1); sub(/:.*/, "", $1); gsub(/ /, "", $2); print $1 " " $2}' | sort -u)
        for v in $(sed -n "s/^linux-source-$kseries_re //p" <<<"$index" | sort -rV); do
            for a in $abis; do
                ok=yes
                for p in "$(kbuild_of "$a")" linux-image-$a-amd64 linux-headers-$a-amd64 linux-headers-$a-common \
                    linux-image-$a-armmp linux-headers-$a-armmp linux-image-$a-arm64 linux-headers-$a-arm64; do
                    grep -qxF "$p $v" <<<"$index" || { ok=no; break; }
                done
                if [ $ok = yes ]; then
                    abi=$a kver=$v
                    return 0
                fi
            done
        done
    fi
    return 1
}

# A newer kernel replaces the cached ones: their trees and downloads go,
# but only when no other run uses one of them (its .use lock, taken here
# without waiting); otherwise all stay for a later run to prune.
prune_other_kernels() {
    local d f a fd fds=() others=()
    for d in "$cache"/"$kseries".*; do
        [ -d "$d" ] && [ "$(basename "$d")" != "$abi" ] || continue
        a=$(basename "$d")
        exec {fd}>>"$cache/.use-$a.lock"
        fds+=("$fd")
        if ! flock -n -x "$fd"; then
            say "kernel $a is in use by another run: not pruned"
            for fd in "${fds[@]}"; do exec {fd}>&-; done
            return 0
        fi
        others+=("$d")
    done
    for d in "${others[@]}"; do rm -rf "$d"; done
    for f in "$cache"/debs/linux-*.deb; do
        [ -e "$f" ] || continue
        case $(basename "$f") in
        linux-*-"$abi"-* | linux-kbuild-"$abi"_*) ;;
        linux-source-"$kseries"_"${kver//:/%3a}"_* | "$(kbuild_of "$abi")"_"${kver//:/%3a}"_*) ;;
        *) rm -f "$f" ;;
        esac
    done
    for fd in "${fds[@]}"; do exec {fd}>&-; done
}

# --- downloads ----------------------------------------------------------------
# fetch <package> <arch> [<version>]: prints the path of the cached .deb,
# downloading it first if no .deb of that package (and version) is cached.
fetch() {
    local name=$1 arch=$2 version=${3:-} found
    cached() {
        local v=${version//:/%3a}
        ls "$cache/debs/${name}_"${v:-*}"_$arch.deb" "$cache/debs/${name}_"${v:-*}"_all.deb" 2>/dev/null |
            sort -V | tail -n 1
    }
    # One download of a package at a time (this runs in a subshell: the lock
    # goes with it).
    lock "$cache/debs/${name}_$arch"
    found=$(cached)
    if [ -z "$found" ]; then
        mkdir -p "$cache/debs"
        local spec=$name
        [ "$arch" = "$(dpkg --print-architecture)" ] || [ "$arch" = all ] || spec+=":$arch"
        [ -z "$version" ] || spec+="=$version"
        say "downloading $spec" >&2
        (cd "$cache/debs" && apt-get download -qq -o APT::Sandbox::User=root "$spec" >&2) ||
            die "apt-get download $spec failed"
        found=$(cached)
        [ -n "$found" ] || die "apt-get download $spec left no .deb"
    fi
    echo "$found"
}

# unpack <deb> <dir>: once per .deb and directory.
unpack() {
    local stamp
    stamp="$2/.unpacked-$(basename "$1")"
    [ -e "$stamp" ] && return
    mkdir -p "$2"
    dpkg-deb -x "$1" "$2"
    touch "$stamp"
}

# --- kernel tree, source and modules ------------------------------------------
# One unpacked root per kernel: the headers of each flavour, the common
# headers, kbuild and what the guests need of the images (their paths never
# clash). The headers' Makefile includes the common one by its absolute
# /usr/src path, pointed here at the unpacked copy.
prepare_kernel_tree() { # <flavour>:<debian arch>...
    kroot=$cache/$abi/root
    lock "$kroot"
    local p deb flavours=("$@")
    for p in "linux-headers-$abi-common all" "$(kbuild_of "$abi") amd64"; do
        set -- $p
        deb=$(fetch "$1" "$2" "$kver")
        unpack "$deb" "$kroot"
    done
    for p in "${flavours[@]}"; do
        deb=$(fetch "linux-headers-$abi-${p%:*}" "${p#*:}" "$kver")
        unpack "$deb" "$kroot"
        sed -i "s|^include /usr/src/|include $kroot/usr/src/|" "$kroot/usr/src/linux-headers-$abi-${p%:*}/Makefile"
    done
    # Of the images only the kernel and configfs.ko, not their 3000 modules.
    for p in "${flavours[@]}"; do
        set -- "${p%:*}" "${p#*:}"
        deb=$(fetch "linux-image-$abi-$1" "$2" "$kver")
        [ -e "$kroot/.unpacked-$(basename "$deb")" ] && continue
        # Debian 13 keeps modules xz-compressed under /usr/lib.
        dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kroot" --wildcards "./boot/vmlinuz-$abi-$1" \
            "./*lib/modules/$abi-$1/kernel/fs/configfs/configfs.ko*"
        local ko
        ko=$(find "$kroot" -path "*/modules/$abi-$1/kernel/fs/configfs/configfs.ko*" | head -n 1)
        mkdir -p "$kroot/configfs-$1"
        case $ko in
        *.xz) xz -dc "$ko" >"$kroot/configfs-$1/configfs.ko" ;;
        *) cp "$ko" "$kroot/configfs-$1/configfs.ko" ;;
        esac
        touch "$kroot/.unpacked-$(basename "$deb")"
    done
    unlock "$kroot"
}

# The few source files the modules need, and modpost's, from the source
# tarball (the whole tarball is read once, about 10 s).
prepare_source() {
    ksrc=$cache/$abi/src
    lock "$ksrc"
    if [ -e "$ksrc/.ready" ]; then unlock "$ksrc"; return; fi
    local deb
    deb=$(fetch "linux-source-$kseries" all "$kver")
    rm -rf "$ksrc"
    mkdir -p "$ksrc"
    say "extracting gpio-sim, irq_sim and modpost from the $kver source"
    local t=linux-source-$kseries newer=()
    # modpost of 6.12 includes these too (6.1 has none of them).
    [ "$kseries" = 6.1 ] || newer=("$t/include/linux/module_symbol.h" "$t/scripts/include/*")
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/src/$t.tar.xz" | xz -dc -T2 |
        tar -x -C "$ksrc" --strip-components=1 --wildcards \
            "$t/drivers/gpio/gpio-sim.c" "$t/drivers/gpio/gpiolib.h" \
            "$t/kernel/irq/irq_sim.c" "$t/scripts/mod/*" \
            "$t/include/linux/mod_devicetable.h" "$t/include/linux/license.h" "${newer[@]}"
    touch "$ksrc/.ready"
    unlock "$ksrc"
}

# The amd64 kbuild's modpost knows the amd64 layout of the device tables and
# refuses the ARM objects. The ARM headers get a copy of kbuild's scripts with
# a modpost built from the source for their target: its
# devicetable-offsets.h compiled by the target's compiler through the
# headers' own kbuild, its elfconfig.h read from an object of the target.
prepare_cross_modpost() { # <flavour> <kernel ARCH> <CROSS_COMPILE>
    local flavour=$1 karch=$2 cross=$3
    local kb=$cache/$abi/kbuild-$flavour mod=$ksrc/scripts/mod hdr=$kroot/usr/src/linux-headers-$abi-$flavour
    lock "$kb"
    if [ ! -e "$kb/.ready" ]; then
        say "building modpost for the $flavour target"
        rm -rf "$kb"
        mkdir -p "$kb/gen" "$kb/offsets"
        cp -a "$kroot/usr/lib/$(kbuild_of "$abi")/scripts" "$kb/"
        rm -f "$kb"/scripts/mod/modpost*
        cp "$mod/devicetable-offsets.c" "$kb/offsets/"
        echo 'obj-m := devicetable-offsets.o' >"$kb/offsets/Kbuild"
        # The real kbuild scripts still (the symlink is changed below).
        make -s -C "$hdr" M="$kb/offsets" ARCH="$karch" CROSS_COMPILE="$cross" devicetable-offsets.s
        {
            echo '#ifndef __DEVICETABLE_OFFSETS_H__'
            echo '#define __DEVICETABLE_OFFSETS_H__'
            # Kbuild's sed-offsets (scripts/Makefile.lib).
            sed -ne 's:^[[:space:]]*\.ascii[[:space:]]*"\(.*\)".*:\1:; /^->/{s:->#\(.*\):/* \1 */:; s:^->\([^ ]*\) [\$#]*\([^ ]*\) \(.*\):#define \1 \2 /* \3 */:; s:->::; p;}' \
                "$kb/offsets/devicetable-offsets.s"
            echo '#endif'
        } >"$kb/gen/devicetable-offsets.h"
        gcc -O2 -o "$kb/gen/mk_elfconfig" "$mod/mk_elfconfig.c"
        "${cross}gcc" -c -o "$kb/gen/empty.o" "$mod/empty.c"
        "$kb/gen/mk_elfconfig" <"$kb/gen/empty.o" >"$kb/gen/elfconfig.h"
        # 6.12's modpost has a fourth file and headers of its own.
        gcc -O2 -I"$kb/gen" -I"$ksrc/scripts/include" -o "$kb/scripts/mod/modpost" "$mod/modpost.c" \
            "$mod/file2alias.c" "$mod/sumversion.c" $(ls "$mod/symsearch.c" 2>/dev/null)
        touch "$kb/.ready"
    fi
    ln -sfn "$kb/scripts" "$hdr/scripts"
    unlock "$kb"
}

# build_modules <flavour> <make args>...: gpio-sim and irq_sim, out of tree.
# irq_sim is built into the kernels that have it; as a module it calls the
# exported generic_handle_irq() instead of the internal irq_to_desc().
build_modules() {
    local flavour=$1 dir=$cache/$abi/modules-$1
    shift
    lock "$dir"
    if [ -e "$dir/gpio-sim.ko" ] && [ -e "$dir/irq_sim.ko" ]; then unlock "$dir"; return; fi
    say "building gpio-sim and irq_sim for $abi-$flavour"
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$ksrc/drivers/gpio/gpio-sim.c" "$ksrc/drivers/gpio/gpiolib.h" "$ksrc/kernel/irq/irq_sim.c" "$dir/"
    sed -i 's/handle_simple_irq(irq_to_desc(irqnum))/generic_handle_irq(irqnum)/' "$dir/irq_sim.c"
    grep -q 'generic_handle_irq(irqnum)' "$dir/irq_sim.c" || die "irq_sim.c of $kver: the irq_to_desc call to replace is gone"
    sed -i 's|^#include <linux/irq.h>|#include <linux/irq.h>\n#include <linux/module.h>|' "$dir/irq_sim.c"
    echo 'MODULE_LICENSE("GPL");' >>"$dir/irq_sim.c"
    echo 'obj-m := gpio-sim.o irq_sim.o' >"$dir/Kbuild"
    # No BTF for them: it needs pahole and the kernel's vmlinux.
    make -s -C "$kroot/usr/src/linux-headers-$abi-$flavour" M="$dir" -j2 CONFIG_DEBUG_INFO_BTF_MODULES= "$@" modules 2>&1 |
        grep -v 'Skipping BTF generation' || true
    [ -e "$dir/gpio-sim.ko" ] && [ -e "$dir/irq_sim.ko" ] || die "the modules for $abi-$flavour did not build"
    unlock "$dir"
}

# prepare_kernel: the kernel picked (and its ABI's .use lock taken) by the
# caller, for the rounds asked for.
prepare_kernel() {
    say "kernel $abi (packages $kver)"
    prune_other_kernels
    local round flavours=()
    for round in "${rounds[@]}"; do
        round_of "$round"
        flavours+=("$round_flavour:$round_arch")
    done
    prepare_kernel_tree "${flavours[@]}"
    prepare_source
    for round in "${rounds[@]}"; do
        case $round in
        x86_64) build_modules amd64 ;;
        arm)
            prepare_cross_modpost armmp arm arm-linux-gnueabihf-
            build_modules armmp ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-
            ;;
        arm64)
            prepare_cross_modpost arm64 arm64 aarch64-linux-gnu-
            build_modules arm64 ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-
            ;;
        esac
    done
    echo "$kver" >"$cache/$abi/.ready"
}

# --- guest userland -----------------------------------------------------------
# busybox, udev and libgpiod's tools of the guest's architecture, unpacked,
# with the libraries udev needs that the root lacks for that architecture
# (as apt would install them beside udev there).
prepare_userland() { # <debian arch>
    userland=$cache/userland-$1
    lock "$userland"
    local p deb udev_packages
    if [ ! -e "$userland/.udev-packages" ]; then
        udev_packages=$(apt-get -s -o Debug::NoLocking=1 install --no-install-recommends "udev:$1" |
            sed -En 's/^Inst (udev|lib[^ :]*)(:[a-z0-9]+)? .*/\1/p') ||
            die "apt cannot install udev:$1 in the root: $(apt-get -s install "udev:$1" 2>&1 | tail -n 3)"
        grep -qx udev <<<"$udev_packages" || die "apt would not install udev:$1 in the root"
        mkdir -p "$userland"
        echo "$udev_packages" >"$userland/.udev-packages.new"
        mv "$userland/.udev-packages.new" "$userland/.udev-packages"
    fi
    for p in busybox-static gpiod "$gpiod_lib" $(cat "$userland/.udev-packages"); do
        deb=$(fetch "$p" "$1")
        unpack "$deb" "$userland"
    done
    unlock "$userland"
}

# copy_with_libs <guest root> <triplet> <file>...: each file's NEEDED
# libraries, recursively, and its dynamic loader go into the guest's
# /usr/lib/<triplet> (the loader also at its own path). They are looked up in
# the unpacked userland, then in the machine's multiarch directories.
copy_with_libs() {
    local groot=$1 triplet=$2 f lib dir found interp
    shift 2
    mkdir -p "$groot/usr/lib/$triplet"
    local queue=("$@")
    while [ ${#queue[@]} -gt 0 ]; do
        f=${queue[0]}
        queue=("${queue[@]:1}")
        interp=$(readelf -l "$f" 2>/dev/null | sed -n 's/.*\[Requesting program interpreter: \(.*\)\]/\1/p')
        if [ -n "$interp" ] && [ ! -e "$groot$interp" ]; then
            mkdir -p "$groot$(dirname "$interp")"
            cp -L "$interp" "$groot$interp" 2>/dev/null || cp -L "/usr/$triplet$interp" "$groot$interp" ||
                die "no dynamic loader $interp for $triplet"
        fi
        for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            [ -e "$groot/usr/lib/$triplet/$lib" ] && continue
            found=
            # Debian 13's udevadm finds libsystemd-shared through its RUNPATH
            # (/usr/lib/<triplet>/systemd); in the guest it sits with the others.
            for dir in "$userland/usr/lib/$triplet" "$userland/lib/$triplet" "$userland/usr/lib/$triplet/systemd" \
                "/lib/$triplet" "/usr/lib/$triplet"; do
                if [ -e "$dir/$lib" ]; then found=$dir/$lib; break; fi
            done
            [ -n "$found" ] || die "$(basename "$f") needs $lib, which is not in the $triplet directories"
            cp -L "$found" "$groot/usr/lib/$triplet/$lib"
            queue+=("$groot/usr/lib/$triplet/$lib")
        done
    done
}

# make_initramfs <round>: into the run's folder, guest-<round>/.
make_initramfs() {
    local round=$1
    round_of "$round"
    local build=$round_build debarch=$round_arch triplet=$round_triplet flavour=$round_flavour
    local groot=$run_dir/guest-$round/root
    local prog programs=(qor-driver-relay/qor-driver-relay qora_led_driver/qora_led_driver
        qor-board-gpiod/qor-board-lines tools/board-calls/qor-board-calls)
    local libs=(qor-board-gpiod/libqor-board.so.1 qor-board-sim/libqor-board.so.1)
    [ $kernel_only = no ] || programs=() libs=()
    for prog in "${programs[@]}" "${libs[@]}"; do
        [ -e "$build/$prog" ] || die "$build/$prog is missing: build the tree first"
    done
    prepare_userland "$debarch"
    rm -rf "$run_dir/guest-$round"
    # /lib is /usr/lib, as on Debian 12 and 13.
    mkdir -p "$groot"/{bin,dev,proc,sys,tmp,run,etc/qor-driver,usr/bin,usr/lib/$triplet,usr/lib/modules,opt/qor-sim}
    ln -s usr/lib "$groot/lib"
    # Debian 13 ships it under /usr/bin.
    cp "$(ls "$userland"/{usr/,}bin/busybox 2>/dev/null | head -n 1)" "$groot/bin/"
    cp "$kroot/configfs-$flavour/configfs.ko" "$cache/$abi/modules-$flavour"/{irq_sim,gpio-sim}.ko "$groot/lib/modules/"
    cp "$userland"/usr/bin/gpio{set,get,info,detect} "$groot/usr/bin/"
    # udevd is udevadm called by that name; the rule as the package installs it.
    cp "$(ls "$userland"/{usr/,}bin/udevadm 2>/dev/null | head -n 1)" "$groot/usr/bin/"
    mkdir -p "$groot/usr/lib/systemd" "$groot/usr/lib/udev/rules.d"
    ln -s ../../bin/udevadm "$groot/usr/lib/systemd/systemd-udevd"
    cp debian/libqor-board-gpiod1.udev "$groot/usr/lib/udev/rules.d/60-libqor-board-gpiod1.rules"
    for prog in "${programs[@]}"; do cp "$build/$prog" "$groot/usr/bin/"; done
    # The GPIO library where the programs find it; the simulated one only
    # for the cost comparison, through LD_LIBRARY_PATH.
    if [ $kernel_only = no ]; then
        cp -L "$build/${libs[0]}" "$groot/usr/lib/$triplet/"
        cp -L "$build/${libs[1]}" "$groot/opt/qor-sim/"
    fi
    local elves=("$groot"/usr/bin/*)
    [ $kernel_only = yes ] || elves+=("$groot/usr/lib/$triplet/libqor-board.so.1" "$groot/opt/qor-sim/libqor-board.so.1")
    copy_with_libs "$groot" "$triplet" "${elves[@]}"
    cp scripts/kernel-guest.sh "$groot/init"
    chmod 755 "$groot/init"
    (cd "$groot" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) >"$run_dir/guest-$round/initramfs.cpio"
    rm -rf "$groot"
}

# --- rounds -------------------------------------------------------------------
# boot <round> <qemu command>...: the guest's console goes to its log; the
# round passes when the guest's one result line says PASS.
boot() {
    local round=$1 limit=$2 log=$run_dir/guest-$1/console.log status=0
    shift 2
    say "booting the $round guest (time limit ${limit} s)"
    local boot_start=$SECONDS
    timeout --foreground -k 5 "$limit" "$@" </dev/null >"$log" 2>&1 || status=$?
    # The last console of the round stays in the cache (renamed whole: a
    # second run at once never mixes its lines in).
    cp "$log" "$cache/guest-$round.log.$$" && mv "$cache/guest-$round.log.$$" "$cache/guest-$round.log"
    tr -d '\r' <"$log" | grep -E '^(ok|FAIL) ' | sed 's/^/  /' || true
    local result
    result=$(tr -d '\r' <"$log" | grep -E '^QOR-KERNEL-TEST: ' | tail -n 1 || true)
    if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        result="the guest did not finish within ${limit} s"
    elif [ -z "$result" ]; then
        result="the guest gave no result line (qemu status $status)"
    fi
    if ! grep -qE '^QOR-KERNEL-TEST: PASS [0-9]+/[0-9]+$' <<<"$result"; then
        echo "---- console of the $round guest ----"
        tr -d '\r' <"$log"
        echo "---- end of console ----"
        say "$round round FAILED: $result" >&2
        return 1
    fi
    say "$round round: $result; guest $((SECONDS - boot_start)) s, round $((SECONDS - round_start)) s"
    local figures
    figures=$(tr -d '\r' <"$log" | grep -E '^bench ' || true)
    [ -z "$figures" ] || bench_figures+=("$round"$'\n'"$figures")
}

# qemu_command <round>: the qemu command line that boots the round's
# initramfs on its kernel, in the array "qemu".
qemu_command() {
    local common=(-smp 2 -m 768 -nographic -no-reboot -nic none -initrd "$run_dir/guest-$1/initramfs.cpio")
    case $1 in
    # The x86_64 guest's two CPUs share one host thread: with a thread each,
    # a 6.12 guest oopsed once at boot on an int3 left by the kernel's code
    # patching (text_poke_bp, in sched_clock_cpu), which points at qemu's
    # multi-threaded translation. It costs no time here.
    x86_64) qemu=(qemu-system-x86_64 -M pc -cpu max -accel tcg,thread=single "${common[@]}"
        -kernel "$kroot/boot/vmlinuz-$abi-amd64"
        -append "console=ttyS0 panic=-1 quiet loglevel=3 $guest_args") ;;
    arm) qemu=(qemu-system-arm -M virt -cpu cortex-a15 -accel tcg "${common[@]}" -kernel "$kroot/boot/vmlinuz-$abi-armmp"
        -append "console=ttyAMA0 panic=-1 quiet loglevel=3 qor.starts=2 $guest_args") ;;
    arm64) qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57 -accel tcg "${common[@]}" -kernel "$kroot/boot/vmlinuz-$abi-arm64"
        -append "console=ttyAMA0 panic=-1 quiet loglevel=3 qor.starts=2 $guest_args") ;;
    esac
}

for round in "${rounds[@]}"; do round_of "$round"; done

# Inside the release's root: --pick prints the kernel's ABI and package
# version; otherwise the kernel (named by QOR_KERNEL_ABI and _VERSION), its
# modules and each round's initramfs are prepared.
if [ $inside = yes ]; then
    if [ $pick_only = yes ]; then
        pick_kernel
        echo "$abi $kver"
        exit 0
    fi
    start=$SECONDS
    abi=${QOR_KERNEL_ABI:?} kver=${QOR_KERNEL_VERSION:?}
    prepare_kernel
    say "kernel and modules ready in $((SECONDS - start)) s"
    for round in "${rounds[@]}"; do make_initramfs "$round"; done
    exit 0
fi

start=$SECONDS
if [ $kernel_only = no ]; then
    for round in "${rounds[@]}"; do
        round_of "$round"
        [ -d "$round_build" ] || die "$round_build is missing: build the tree first (on $release)"
    done
fi
say "release $release: the $release root for the kernel packages"
# Two runs at once make the root one after the other.
lock "$qor_cache/kernel/$release-root"
kernel_root=$(scripts/root.sh make "$release" kernel --arch armhf --arch arm64 "${root_packages[@]}") ||
    die "no $release root (scripts/root.sh make)"
unlock "$qor_cache/kernel/$release-root"
mkdir -p "$cache"
run_dir=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$run_dir"' EXIT
binds=(--bind "$top" --bind "$cache")
for b in "$native_build" "$arm_build" "$arm64_build"; do
    [ -d "$b" ] && binds+=(--bind "$b")
done
in_root() {
    scripts/root.sh run "$kernel_root" "${binds[@]}" --cd "$top" -- env QOR_CACHE="$qor_cache" \
        QOR_KERNEL_ABI="${QOR_KERNEL_ABI:-}" QOR_KERNEL_VERSION="${QOR_KERNEL_VERSION:-}" \
        scripts/kernel-test.sh --inside-root --release "$release" "$@"
}
picked=$(in_root --pick | tail -n 1) || die "no kernel picked in the $release root"
read -r abi kver <<<"$picked"
[ -n "$kver" ] || die "no kernel picked in the $release root: $picked"
# Held shared while this run uses the kernel: a run that picks a newer one
# prunes it only once no run holds it.
lock "$cache/.use-$abi" -s
export QOR_KERNEL_ABI=$abi QOR_KERNEL_VERSION=$kver
inner=(--run-dir "$run_dir")
for round in "${rounds[@]}"; do inner+=(--round "$round"); done
[ $kernel_only = no ] || inner+=(--kernel-only)
in_root "${inner[@]}" "$native_build" "$arm_build" "$arm64_build" ||
    die "preparing the kernel and the guests in the $release root failed"
kroot=$cache/$abi/root
say "$release root, kernel and guests ready in $((SECONDS - start)) s"

guest_args=
[ $kernel_only = no ] || guest_args=qor.kernel-only
bench_figures=()
failed=0
for round in "${rounds[@]}"; do
    round_start=$SECONDS
    qemu_command "$round"
    # The ARM guests are the slower ones: their time limit is twice as long.
    case $round in
    x86_64) boot x86_64 "${QOR_KERNEL_TIME_LIMIT:-600}" "${qemu[@]}" || failed=1 ;;
    *) boot "$round" "$((2 * ${QOR_KERNEL_TIME_LIMIT:-600}))" "${qemu[@]}" || failed=1 ;;
    esac
done
if [ ${#bench_figures[@]} -gt 0 ]; then
    echo "Board call costs in the emulated guests (ns per call):"
    printf '%s\n' "${bench_figures[@]}" | sed 's/^bench /  /'
fi
[ $failed -eq 0 ] || die "a $release kernel round failed"
say "all $release kernel rounds passed in $((SECONDS - start)) s"
