#!/usr/bin/env bash
# The Debian packages of each release, made and checked the Debian way:
#   scripts/packages.sh [--release SUITE]... [--no-install-tests]
# (default: bookworm and trixie). For each release:
# - the source package is the checkout's tracked files (git archive HEAD):
#   qor-relay-board_VERSION.orig.tar.xz without debian/, and dpkg-buildpackage
#   -S makes the .dsc and .debian.tar.xz of format 3.0 (quilt);
# - unpacked anew by dpkg-source for each build, dpkg-buildpackage builds it
#   in a clean root of that release that holds only build-essential, the
#   cross compilers and the build dependencies of debian/control for amd64,
#   armhf and arm64 (scripts/root.sh --build-dep): natively with the unit
#   tests, then cross for armhf and for arm64 ("-P cross,nocheck");
# - that release's lintian on the source package and all builds (no error,
#   no warning), hardening-check on every binary and blhc on every build
#   log, in a second root with those tools;
# - the file lists, and the armhf and arm64 packages' installability on that
#   release;
# - autopkgtest (scripts/autopkgtest.sh) and piuparts (scripts/piuparts.sh)
#   on the amd64 packages, unless --no-install-tests.
# Everything lands in build/deb/SUITE/: the source package, the packages, the
# .changes, and the build logs source.build, amd64.build, armhf.build and
# arm64.build. The roots are cached in $QOR_CACHE and made again when a week
# old or when debian/control changes; the machine's own packages and /etc are
# never touched. Why a cached root rather than sbuild: docs/packages-build-choice.md.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD

releases=()
install_tests=yes
while [ $# -gt 0 ]; do
    case $1 in
    --release) releases+=("$2"); shift 2 ;;
    --no-install-tests) install_tests=no; shift ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "packages.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
[ ${#releases[@]} -gt 0 ] || releases=(bookworm trixie)

native=$(dpkg --print-architecture)
crosses=(armhf arm64)
jobs=$(nproc)

say() { printf 'packages.sh: %s\n' "$*"; }
fail() {
    printf 'packages.sh: %s\n' "$*" >&2
    exit 1
}
elapsed() { echo "$(($(date +%s) - $1)) s"; }

in_root() {
    local root=$1
    shift
    scripts/root.sh run "$root" --bind "$out" --cd "$out" -- "$@"
}

# The upstream version in both the changelog and the package names.
version=$(dpkg-parsechangelog -l debian/changelog -SVersion)

upstream=${version%-*}
tree=qor-relay-board-$upstream

# The source package, format 3.0 (quilt): the orig tarball is the tracked tree
# at HEAD without debian/ (git archive: one commit, one tarball), debian/ goes
# into the .debian.tar.xz. Its log is source.build.
build_source() {
    local start status=0
    start=$(date +%s)
    git archive --prefix="$tree/" HEAD -- . ':(exclude)debian' | xz >"$out/qor-relay-board_$upstream.orig.tar.xz"
    rm -rf "${out:?}/$tree"
    git archive --prefix="$tree/" HEAD | tar -x -C "$out"
    in_root "$build_root" sh -c 'cd "$1" && exec dpkg-buildpackage -S -us -uc' sh "$tree" \
        >"$out/source.build" 2>&1 || status=$?
    rm -rf "${out:?}/$tree"
    if [ $status -ne 0 ]; then
        tail -n 40 "$out/source.build" >&2
        fail "$suite: dpkg-buildpackage -S failed (status $status); the whole log is $out/source.build"
    fi
    say "$suite: source package qor-relay-board_$version.dsc built in $(elapsed "$start")"
}

# build <arch> [dpkg-buildpackage options]: one build from the source package,
# unpacked anew; the log is <arch>.build, as sbuild names it.
build() {
    local arch=$1 start status=0
    shift
    start=$(date +%s)
    rm -rf "${out:?}/$tree"
    in_root "$build_root" env DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
        sh -c 'dpkg-source -x "$1" "$2" && cd "$2" && shift 2 && exec dpkg-buildpackage -b -us -uc "$@"' \
        sh "qor-relay-board_$version.dsc" "$tree" "$@" >"$out/$arch.build" 2>&1 || status=$?
    rm -rf "${out:?}/$tree"
    if [ $status -ne 0 ]; then
        tail -n 80 "$out/$arch.build" >&2
        fail "$suite $arch: dpkg-buildpackage failed (status $status); the whole log is $out/$arch.build"
    fi
    say "$suite $arch: built in $(elapsed "$start")"
}

# lintian of the release on the source package with the native packages, then
# on each cross build's .changes (their packages, with the -dbgsym ones): no
# error and no warning. It warns when run as root, which is how the roots run
# it.
check_lintian() {
    local arch output status=0 files
    for arch in "$native" "${crosses[@]}"; do
        files=("qor-relay-board_${version}_$arch.changes")
        [ "$arch" != "$native" ] || files=("qor-relay-board_$version.dsc" "${files[@]}")
        output=$(in_root "$check_root" lintian --fail-on error,warning "${files[@]}" 2>&1) || status=$?
        grep -vx 'running with root privileges is not recommended!' <<<"$output" || true
        [ $status -eq 0 ] || fail "$suite $arch: lintian found errors or warnings in ${files[*]} (status $status)"
    done
    say "$suite: lintian $(in_root "$check_root" dpkg-query -W -f '${Version}' lintian): no error, no warning" \
        "in the source package and the packages of $native ${crosses[*]}"
}

# blhc on both build logs: every compile and link line carries the release's
# hardening flags, immediate binding included. Not its PIE check: both
# releases' gcc makes PIE by default, so dpkg-buildflags passes no -fPIE
# (hardening-check sees PIE in the binaries). Nor the lines with which
# AUTOMOC has the compiler list its predefined macros for moc ("-dM -E"):
# they compile no code.
check_blhc() {
    local arch
    for arch in "$native" "${crosses[@]}"; do
        in_root "$check_root" blhc --bindnow --ignore-line '.* -dM -E .*' "$arch.build" ||
            fail "$suite $arch: blhc found build lines without the hardening flags (above)"
    done
    say "$suite: blhc --bindnow: every compile and link line of both builds is hardened"
}

# hardening-check on every ELF file of the packages. Two of its checks are
# judged here rather than by its exit status:
# - control flow integrity: it looks for the x86 IBT/SHSTK note, which the
#   linker drops unless every input has it, and Debian's own C start files
#   (crt1.o, crti.o) have not: no Debian binary passes (/bin/ls neither), and
#   on ARM the check does not apply. So it is not required.
# - fortified functions: glibc calls the checking variant only where the
#   compiler can neither prove a call in bounds nor not know the buffer's
#   size; a binary whose every call is of those kinds shows "only unprotected
#   functions" although it was built with -D_FORTIFY_SOURCE (its manual page
#   calls that a false alarm). That verdict is accepted, with the functions
#   listed, because blhc has checked the flag on every compile line.
# - branch protection: AArch64's BTI and PAC, which hardening-check sees in
#   the "AArch64 feature: BTI, PAC" note. Like x86's note, the linker drops it
#   unless every input has it, the C start files included. It is required of
#   the arm64 binaries wherever the release gives it (branch_protection):
#   trixie's dpkg-buildflags adds -mbranch-protection=standard there and its
#   start files carry the note. Bookworm's does neither: its dpkg-buildflags
#   has no branch feature, its glibc 2.36 start files (crt1.o, crti.o,
#   crtn.o) have no note, so the flag alone would leave no note to check,
#   and its hardening-check has no such check.
# Its stack clash check disassembles with objdump, which knows no ARM: that
# check says "unknown" there, and objdump's complaint is left out.
hardening_check() {
    in_root "$check_root" hardening-check --verbose "${skip[@]}" "$@" 2> >(grep -v -e "can't disassemble" -e '^$' >&2)
}

# Whether the release gives arm64 binaries branch protection: "yes", or why
# not. Both halves are asked of the build root: the compiler flag from
# dpkg-buildflags, the note from the start files that every link takes in.
branch_protection() {
    in_root "$build_root" sh -c '
        DEB_HOST_ARCH=arm64 dpkg-buildflags --get CFLAGS | grep -q -- "-mbranch-protection=standard" ||
            { echo "its dpkg-buildflags gives no -mbranch-protection on arm64"; exit; }
        for f in /usr/aarch64-linux-gnu/lib/crt1.o /usr/aarch64-linux-gnu/lib/Scrt1.o \
            /usr/aarch64-linux-gnu/lib/crti.o /usr/aarch64-linux-gnu/lib/crtn.o \
            /usr/lib/gcc-cross/aarch64-linux-gnu/*/crtbeginS.o /usr/lib/gcc-cross/aarch64-linux-gnu/*/crtendS.o; do
            readelf -n "$f" | grep -q "AArch64 feature: BTI, PAC" ||
                { echo "its start file $f has no BTI and PAC note"; exit; }
        done
        echo yes'
}

check_hardening() {
    local extracted=$out/extracted deb elf report fortify count=0 arm64=0 skip base=(--nocfprotection) branch
    branch=$(branch_protection)
    if in_root "$check_root" grep -q nobranchprotection /usr/bin/hardening-check; then
        base+=(--nobranchprotection)
    elif [ "$branch" = yes ]; then
        fail "$suite: the release gives arm64 branch protection, but its hardening-check cannot check it"
    fi
    rm -rf "$extracted"
    for deb in "$out"/*_"$version"_*.deb; do
        case $deb in *-dbgsym_*) continue ;; esac
        mkdir -p "$extracted/$(basename "$deb" .deb)"
        dpkg-deb -x "$deb" "$extracted/$(basename "$deb" .deb)"
    done
    while IFS= read -r elf; do
        count=$((count + 1))
        skip=("${base[@]}")
        if [ "$branch" = yes ] && [[ $elf == "$extracted"/*_arm64/* ]]; then
            skip=(--nocfprotection)
            arm64=$((arm64 + 1))
        fi
        report=$(hardening_check --nofortify "${elf#"$out"/}") ||
            fail "$suite: hardening-check: ${elf#"$extracted"/}:"$'\n'"$report"
        report=$(hardening_check "${elf#"$out"/}" || true)
        fortify=$(grep 'Fortify Source functions:' <<<"$report")
        case $fortify in
        *": yes"* | *"unknown, no protectable"*) ;;
        *"only unprotected functions found"*)
            say "$suite: ${elf#"$extracted"/}: built with -D_FORTIFY_SOURCE; its only calls are" \
                "ones glibc leaves unchecked (proven in bounds, or into a buffer of unknown size):" \
                "$(grep -o 'unprotected: [a-z_]*' <<<"$report" | cut -d' ' -f2 | sort -u | xargs)" ;;
        *) fail "$suite: hardening-check: ${elf#"$extracted"/}: $fortify" ;;
        esac
    done < <(find "$extracted" -type f \( -path '*/bin/*' -o -name '*.so*' \) -exec sh -c \
        'head -c4 "$1" | grep -q ELF' sh {} \; -print | sort)
    [ $count -ge 15 ] || fail "$suite: only $count binaries in the packages of all architectures"
    rm -rf "$extracted"
    say "$suite: hardening-check: all $count binaries are PIE (or libraries), stack protected, RELRO, bound now"
    if [ "$branch" = yes ]; then
        [ $arm64 -ge 5 ] || fail "$suite: only $arm64 arm64 binaries were checked for branch protection"
        say "$suite arm64: all $arm64 binaries have branch protection (BTI and PAC)"
    else
        say "$suite arm64: branch protection not required: $branch"
    fi
}

# What each package ships, no more and no fewer: debhelper installs what the
# .install files list, but a file that CMake installs and no list names would
# be left out without a word.
files_of() {
    local lib=/usr/lib/$2
    case $1 in
    qor-relay-board)
        echo /etc/qor-driver/relay-conf.json /usr/bin/qor-driver-relay /usr/bin/qora_led_driver \
            /usr/share/man/man8/qor-driver-relay.8.gz /usr/share/man/man8/qora_led_driver.8.gz ;;
    libqor-board-sim1)
        echo $lib/libqor-board.so.1 $lib/libqor-board.so.1.0.0 /usr/bin/qor-board-vcd \
            /usr/share/man/man1/qor-board-vcd.1.gz ;;
    libqor-board-gpiod1)
        echo /etc/qor-board/lines.conf $lib/libqor-board.so.1 $lib/libqor-board.so.1.0.0 \
            /usr/bin/qor-board-lines /usr/share/man/man7/qor-board-gpiod.7.gz \
            /usr/share/man/man8/qor-board-lines.8.gz /usr/lib/sysusers.d/libqor-board-gpiod1.conf \
            "$udev_rules/60-libqor-board-gpiod1.rules" ;;
    esac
    echo /usr/share/doc/"$1"/{changelog.Debian.gz,copyright}
    [ "$1" = qor-relay-board ] || echo /usr/share/lintian/overrides/"$1"
}

check_contents() {
    local arch package deb multiarch depends udev_rules
    # debhelper's dh_installudev installs into /usr/lib from trixie's on.
    case $suite in bookworm) udev_rules=/lib/udev/rules.d ;; *) udev_rules=/usr/lib/udev/rules.d ;; esac
    for arch in "$native" "${crosses[@]}"; do
        multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
        for package in qor-relay-board libqor-board-sim1 libqor-board-gpiod1; do
            deb=$out/${package}_${version}_$arch.deb
            [ -f "$deb" ] || fail "$suite: $deb is missing"
            diff <(files_of $package "$multiarch" | tr ' ' '\n' | sort) \
                <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\.\(/.*[^/]\)$|\1|p' | sort) >&2 ||
                fail "$suite: $(basename "$deb") does not ship what it should (< missing, > not expected)"
        done
        # Through the virtual package, so that either board library (or the
        # maker's) satisfies the programs.
        depends=$(dpkg-deb -f "$out/qor-relay-board_${version}_$arch.deb" Depends)
        grep -qE '(^|, )libqor-board1(,|$)' <<<"$depends" && ! grep -q 'libqor-board-' <<<"$depends" ||
            fail "$suite $arch: qor-relay-board depends on '$depends', not on the virtual libqor-board1"
        # Its postinst makes the group gpio with addgroup where systemd-sysusers
        # is missing, rather than pulling systemd in.
        depends=$(dpkg-deb -f "$out/libqor-board-gpiod1_${version}_$arch.deb" Depends)
        grep -qE '(^|, )adduser(,|$)' <<<"$depends" && ! grep -q systemd <<<"$depends" ||
            fail "$suite $arch: libqor-board-gpiod1 depends on '$depends': adduser, and no systemd, expected"
    done
    say "$suite: each package ships its files; the programs depend on libqor-board1," \
        "the GPIO board library on adduser"
}

# The cross-built packages resolve against the release's own armhf and arm64
# archive (the build root has them; mmdebstrap leaves no package lists): apt
# simulates their install with each board library.
check_cross_installable() {
    local arch board output
    in_root "$build_root" apt-get update -qq || fail "$suite: apt-get update in $build_root failed"
    for arch in "${crosses[@]}"; do
        for board in sim gpiod; do
            output=$(in_root "$build_root" apt-get install -s -q \
                "./qor-relay-board_${version}_$arch.deb" "./libqor-board-${board}1_${version}_$arch.deb" 2>&1) ||
                fail "$suite $arch: the packages with libqor-board-${board}1 do not install:"$'\n'"$output"
        done
        say "$suite $arch: installable with either board library, depending on" \
            "$(for p in qor-relay-board libqor-board-gpiod1; do dpkg-deb -f "$out/${p}_${version}_$arch.deb" Depends; done |
                tr ',' '\n' | grep -oE 'lib(qt5[a-z]*5[a-z0-9]*|gpiod[0-9]+)' | sort -u | xargs)"
    done
}

package_release() {
    local start
    start=$(date +%s)
    out=$here/build/deb/$suite
    say "$suite: the build root and the check root"
    local arch root_args=(--build-dep "$native" debian/control)
    for arch in "${crosses[@]}"; do
        root_args+=(--arch "$arch" "crossbuild-essential-$arch" --build-dep "$arch" debian/control)
    done
    build_root=$(scripts/root.sh make "$suite" debbuild fakeroot "${root_args[@]}" | tail -n1)
    check_root=$(scripts/root.sh make "$suite" debcheck lintian devscripts binutils blhc | tail -n1)
    rm -rf "$out"
    mkdir -p "$out"
    build_source
    build "$native"
    for arch in "${crosses[@]}"; do
        build "$arch" -a"$arch" -Pcross,nocheck
    done
    check_contents
    check_lintian
    check_blhc
    check_hardening
    check_cross_installable
    if [ $install_tests = yes ]; then
        scripts/autopkgtest.sh "$suite" "$out"
        scripts/piuparts.sh "$suite" "$out"
    fi
    say "$suite: packages $version in $out, all checks passed in $(elapsed "$start")"
}

[ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null || fail "needs root (scripts/root.sh), and there is no sudo"
for suite in "${releases[@]}"; do
    case $suite in
    bookworm | trixie) package_release ;;
    *) fail "unknown release '$suite' (bookworm or trixie)" ;;
    esac
done
