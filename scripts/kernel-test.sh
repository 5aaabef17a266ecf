#!/usr/bin/env bash
# Kernel rounds: the relay driver and the LED blinker with the GPIO board
# library (qor-board-gpiod) on Debian's own kernels, booted under qemu with a
# gpio-sim chip standing in for the board.
#
#   scripts/kernel-test.sh [--release bookworm|trixie] [--round x86_64|arm]...
#                          [--kernel-only] [NATIVE_BUILD [ARM_BUILD]]
#
# The release (default: the machine's own) names the kernels (Debian 12:
# 6.1, Debian 13: 6.12), the guest's busybox and libgpiod tools, and the
# libraries the programs are packed with: the build trees (default
# build/native and build/arm) must have been built on that release. Without
# --round both rounds run. x86_64 boots linux-image-<abi>-amd64 with the
# native build, arm boots linux-image-<abi>-armmp on qemu's "virt" board with
# the 32-bit ARM build. Both under TCG (no KVM needed). --kernel-only checks
# the kernel side alone (modules, gpio-sim chip, libgpiod's tools), without
# the programs.
#
# Nothing is installed on the machine: the packages of a release come from a
# root of that release (scripts/root.sh, "kernel"), in which kernels,
# headers, kbuild, the kernel source, busybox and libgpiod's tools are
# fetched with "apt-get download", the modules built with that release's
# compiler and the initramfs packed; qemu is the machine's own. All of it is
# cached per release in $QOR_CACHE/kernel/<release> (outside the clone, so
# that a fresh clone or CI job starts warm): downloads, unpacked trees and the
# modules built for each kernel version. Needs root (root.sh) and the
# packages of the "kernel" group of scripts/deps.sh.
#
# A guest that has not powered off after QOR_KERNEL_TIME_LIMIT seconds (300;
# twice that for the slower ARM guest) is stopped and fails its round.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
rounds=()
builds=()
kernel_only=no
release=
# Inside the release's root: prepare the kernel and the initramfs only.
inside=no
while [ $# -gt 0 ]; do
    case $1 in
    --release) release=$2; shift 2 ;;
    --round) rounds+=("$2"); shift 2 ;;
    --inside-root) inside=yes; shift ;;
    --kernel-only) kernel_only=yes; shift ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "kernel-test.sh: unknown option $1" >&2; exit 2 ;;
    *) builds+=("$1"); shift ;;
    esac
done
[ ${#rounds[@]} -gt 0 ] || rounds=(x86_64 arm)
native_build=$(realpath -m "${builds[0]:-build/native}")
arm_build=$(realpath -m "${builds[1]:-build/arm}")
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
    root_packages=(libelf1 libssl3 libqt5network5 libqt5network5:armhf)
    ;;
trixie)
    kseries=6.12
    gpiod_lib=libgpiod3
    root_packages=(libelf1t64 libssl3t64 libqt5network5t64 libqt5network5t64:armhf)
    ;;
*) echo "kernel-test.sh: unknown release '$release' (bookworm or trixie)" >&2; exit 2 ;;
esac
root_packages=(gcc make gcc-arm-linux-gnueabihf libc6-dev binutils xz-utils cpio "${root_packages[@]}")

say() { printf 'kernel-test: %s\n' "$*"; }
die() { printf 'kernel-test: %s\n' "$*" >&2; exit 1; }

# --- which kernel -------------------------------------------------------------
# The kernel ABI (6.1.0-N on Debian 12, 6.12.N+deb13 on Debian 13) is picked
# from the apt index: the newest ABI whose amd64 and armmp images and headers
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
                "linux-image-$a-armmp:armhf linux-headers-$a-armmp:armhf"
        done | tr ' ' '\n' | sort -u) 2>/dev/null |
            awk -F'|' '{gsub(/ /, "", $1); sub(/:.*/, "", $1); gsub(/ /, "", $2); print $1 " " $2}' | sort -u)
        for v in $(sed -n "s/^linux-source-$kseries_re //p" <<<"$index" | sort -rV); do
            for a in $abis; do
                ok=yes
                for p in "$(kbuild_of "$a")" linux-image-$a-amd64 linux-headers-$a-amd64 linux-headers-$a-common \
                    linux-image-$a-armmp linux-headers-$a-armmp; do
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

# A newer kernel replaces the cached one: its trees and downloads go.
prune_other_kernels() {
    local d f
    for d in "$cache"/"$kseries".*; do
        [ -d "$d" ] && [ "$(basename "$d")" != "$abi" ] && rm -rf "$d"
    done
    for f in "$cache"/debs/linux-*.deb; do
        [ -e "$f" ] || continue
        case $(basename "$f") in
        linux-*-"$abi"-* | linux-kbuild-"$abi"_*) ;;
        linux-source-"$kseries"_"${kver//:/%3a}"_* | "$(kbuild_of "$abi")"_"${kver//:/%3a}"_*) ;;
        *) rm -f "$f" ;;
        esac
    done
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
# One unpacked root per kernel: both headers, the common headers, kbuild and
# what the guests need of both images (their paths never clash). The headers' Makefile includes the
# common one by its absolute /usr/src path, pointed here at the unpacked copy.
prepare_kernel_tree() {
    kroot=$cache/$abi/root
    local p deb
    for p in "linux-headers-$abi-amd64 amd64" "linux-headers-$abi-common all" "$(kbuild_of "$abi") amd64" \
        "linux-headers-$abi-armmp armhf"; do
        set -- $p
        deb=$(fetch "$1" "$2" "$kver")
        unpack "$deb" "$kroot"
    done
    # Of the images only the kernel and configfs.ko, not their 3000 modules.
    for p in "amd64 amd64" "armmp armhf"; do
        set -- $p
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
    sed -i "s|^include /usr/src/|include $kroot/usr/src/|" "$kroot/usr/src/linux-headers-$abi"-{amd64,armmp}/Makefile
}

# The few source files the modules need, and modpost's, from the source
# tarball (the whole tarball is read once, about 10 s).
prepare_source() {
    ksrc=$cache/$abi/src
    [ -e "$ksrc/.ready" ] && return
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
}

# The amd64 kbuild's modpost knows the amd64 layout of the device tables and
# refuses the ARM objects. The ARM headers get a copy of kbuild's scripts with
# a modpost built from the source for the ARM target: its
# devicetable-offsets.h compiled by the ARM compiler through the armmp
# headers' own kbuild, its elfconfig.h read from an ARM object.
prepare_arm_modpost() {
    local kb=$cache/$abi/kbuild-arm mod=$ksrc/scripts/mod hdr=$kroot/usr/src/linux-headers-$abi-armmp
    if [ ! -e "$kb/.ready" ]; then
        say "building modpost for the ARM target"
        rm -rf "$kb"
        mkdir -p "$kb/gen" "$kb/offsets"
        cp -a "$kroot/usr/lib/$(kbuild_of "$abi")/scripts" "$kb/"
        rm -f "$kb"/scripts/mod/modpost*
        cp "$mod/devicetable-offsets.c" "$kb/offsets/"
        echo 'obj-m := devicetable-offsets.o' >"$kb/offsets/Kbuild"
        # The real kbuild scripts still (the symlink is changed below).
        make -s -C "$hdr" M="$kb/offsets" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- devicetable-offsets.s
        {
            echo '#ifndef __DEVICETABLE_OFFSETS_H__'
            echo '#define __DEVICETABLE_OFFSETS_H__'
            # Kbuild's sed-offsets (scripts/Makefile.lib).
            sed -ne 's:^[[:space:]]*\.ascii[[:space:]]*"\(.*\)".*:\1:; /^->/{s:->#\(.*\):/* \1 */:; s:^->\([^ ]*\) [\$#]*\([^ ]*\) \(.*\):#define \1 \2 /* \3 */:; s:->::; p;}' \
                "$kb/offsets/devicetable-offsets.s"
            echo '#endif'
        } >"$kb/gen/devicetable-offsets.h"
        gcc -O2 -o "$kb/gen/mk_elfconfig" "$mod/mk_elfconfig.c"
        arm-linux-gnueabihf-gcc -c -o "$kb/gen/empty.o" "$mod/empty.c"
        "$kb/gen/mk_elfconfig" <"$kb/gen/empty.o" >"$kb/gen/elfconfig.h"
        # 6.12's modpost has a fourth file and headers of its own.
        gcc -O2 -I"$kb/gen" -I"$ksrc/scripts/include" -o "$kb/scripts/mod/modpost" "$mod/modpost.c" \
            "$mod/file2alias.c" "$mod/sumversion.c" $(ls "$mod/symsearch.c" 2>/dev/null)
        touch "$kb/.ready"
    fi
    ln -sfn "$kb/scripts" "$hdr/scripts"
}

# build_modules <flavour> <make args>...: gpio-sim and irq_sim, out of tree.
# irq_sim is built into the kernels that have it; as a module it calls the
# exported generic_handle_irq() instead of the internal irq_to_desc().
build_modules() {
    local flavour=$1 dir=$cache/$abi/modules-$1
    shift
    [ -e "$dir/gpio-sim.ko" ] && [ -e "$dir/irq_sim.ko" ] && return
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
}

prepare_kernel() {
    pick_kernel
    say "kernel $abi (packages $kver)"
    prune_other_kernels
    prepare_kernel_tree
    prepare_source
    build_modules amd64
    prepare_arm_modpost
    build_modules armmp ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-
    echo "$kver" >"$cache/$abi/.ready"
}

# --- guest userland -----------------------------------------------------------
# busybox and libgpiod's tools of the guest's architecture, unpacked.
prepare_userland() { # <debian arch>
    userland=$cache/userland-$1
    local p deb
    for p in busybox-static gpiod "$gpiod_lib"; do
        deb=$(fetch "$p" "$1")
        unpack "$deb" "$userland"
    done
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
            for dir in "$userland/usr/lib/$triplet" "$userland/lib/$triplet" "/lib/$triplet" "/usr/lib/$triplet"; do
                if [ -e "$dir/$lib" ]; then found=$dir/$lib; break; fi
            done
            [ -n "$found" ] || die "$(basename "$f") needs $lib, which is not in the $triplet directories"
            cp -L "$found" "$groot/usr/lib/$triplet/$lib"
            queue+=("$groot/usr/lib/$triplet/$lib")
        done
    done
}

# make_initramfs <round> <build dir> <debian arch> <triplet> <flavour>
make_initramfs() {
    local round=$1 build=$2 debarch=$3 triplet=$4 flavour=$5
    local groot=$cache/guest-$round/root
    local prog programs=(qor-driver-relay/qor-driver-relay qora_led_driver/qora_led_driver
        qor-board-gpiod/qor-board-lines tools/board-calls/qor-board-calls)
    local libs=(qor-board-gpiod/libqor-board.so.1 qor-board-sim/libqor-board.so.1)
    [ $kernel_only = no ] || programs=() libs=()
    for prog in "${programs[@]}" "${libs[@]}"; do
        [ -e "$build/$prog" ] || die "$build/$prog is missing: build the tree first"
    done
    prepare_userland "$debarch"
    rm -rf "$cache/guest-$round"
    mkdir -p "$groot"/{bin,dev,proc,sys,tmp,etc/qor-driver,usr/bin,usr/lib/$triplet,lib/modules,opt/qor-sim}
    # Debian 13 ships it under /usr/bin.
    cp "$(ls "$userland"/{usr/,}bin/busybox 2>/dev/null | head -n 1)" "$groot/bin/"
    cp "$kroot/configfs-$flavour/configfs.ko" "$cache/$abi/modules-$flavour"/{irq_sim,gpio-sim}.ko "$groot/lib/modules/"
    cp "$userland"/usr/bin/gpio{set,get,info,detect} "$groot/usr/bin/"
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
    (cd "$groot" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) >"$cache/guest-$round/initramfs.cpio"
}

# --- rounds -------------------------------------------------------------------
# boot <round> <qemu command>...: the guest's console goes to its log; the
# round passes when the guest's one result line says PASS.
boot() {
    local round=$1 limit=$2 log=$cache/guest-$1/console.log status=0
    shift 2
    say "booting the $round guest (time limit ${limit} s)"
    local boot_start=$SECONDS
    timeout --foreground -k 5 "$limit" "$@" </dev/null >"$log" 2>&1 || status=$?
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
    local common=(-smp 2 -m 768 -nographic -no-reboot -nic none -initrd "$cache/guest-$1/initramfs.cpio")
    case $1 in
    # The x86_64 guest's two CPUs share one host thread: with a thread each,
    # a 6.12 guest oopsed once at boot on an int3 left by the kernel's code
    # patching (text_poke_bp, in sched_clock_cpu), which points at qemu's
    # multi-threaded translation. It costs no time here.
    x86_64) qemu=(qemu-system-x86_64 -M pc -cpu max -accel tcg,thread=single "${common[@]}"
        -kernel "$kroot/boot/vmlinuz-$abi-amd64"
        -append "console=ttyS0 panic=-1 quiet loglevel=3 $guest_args") ;;
    arm) qemu=(qemu-system-arm -M virt -cpu cortex-a15 -accel tcg "${common[@]}" -kernel "$kroot/boot/vmlinuz-$abi-armmp"
        -append "console=ttyAMA0 panic=-1 quiet loglevel=3 $guest_args") ;;
    esac
}

for round in "${rounds[@]}"; do
    case $round in
    x86_64 | arm) ;;
    *) die "unknown round $round (x86_64 or arm)" ;;
    esac
done

# Inside the release's root: the kernel, its modules and each round's
# initramfs; the kernel's ABI goes to $cache/abi for the host's qemu.
if [ $inside = yes ]; then
    start=$SECONDS
    prepare_kernel
    say "kernel and modules ready in $((SECONDS - start)) s"
    for round in "${rounds[@]}"; do
        case $round in
        x86_64) make_initramfs x86_64 "$native_build" amd64 x86_64-linux-gnu amd64 ;;
        arm) make_initramfs arm "$arm_build" armhf arm-linux-gnueabihf armmp ;;
        esac
    done
    echo "$abi" >"$cache/abi"
    exit 0
fi

start=$SECONDS
if [ $kernel_only = no ]; then
    for round in "${rounds[@]}"; do
        b=$native_build
        [ "$round" = x86_64 ] || b=$arm_build
        [ -d "$b" ] || die "$b is missing: build the tree first (on $release)"
    done
fi
say "release $release: the $release root for the kernel packages"
kernel_root=$(scripts/root.sh make "$release" kernel --arch armhf "${root_packages[@]}") ||
    die "no $release root (scripts/root.sh make)"
mkdir -p "$cache"
rm -f "$cache/abi"
binds=(--bind "$top" --bind "$cache")
for b in "$native_build" "$arm_build"; do
    [ -d "$b" ] && binds+=(--bind "$b")
done
inner=(env QOR_CACHE="$qor_cache" QOR_KERNEL_ABI="${QOR_KERNEL_ABI:-}" QOR_KERNEL_VERSION="${QOR_KERNEL_VERSION:-}"
    scripts/kernel-test.sh --inside-root --release "$release")
for round in "${rounds[@]}"; do inner+=(--round "$round"); done
[ $kernel_only = no ] || inner+=(--kernel-only)
scripts/root.sh run "$kernel_root" "${binds[@]}" --cd "$top" -- "${inner[@]}" "$native_build" "$arm_build" ||
    die "preparing the kernel and the guests in the $release root failed"
abi=$(cat "$cache/abi")
kroot=$cache/$abi/root
say "$release root, kernel and guests ready in $((SECONDS - start)) s"

guest_args=
[ $kernel_only = no ] || guest_args=qor.kernel-only
bench_figures=()
failed=0
for round in "${rounds[@]}"; do
    round_start=$SECONDS
    qemu_command "$round"
    # The ARM guest is the slower one: its time limit is twice as long.
    case $round in
    x86_64) boot x86_64 "${QOR_KERNEL_TIME_LIMIT:-300}" "${qemu[@]}" || failed=1 ;;
    arm) boot arm "$((2 * ${QOR_KERNEL_TIME_LIMIT:-300}))" "${qemu[@]}" || failed=1 ;;
    esac
done
if [ ${#bench_figures[@]} -gt 0 ]; then
    echo "Board call costs in the emulated guests (ns per call):"
    printf '%s\n' "${bench_figures[@]}" | sed 's/^bench /  /'
fi
[ $failed -eq 0 ] || die "a $release kernel round failed"
say "all $release kernel rounds passed in $((SECONDS - start)) s"
