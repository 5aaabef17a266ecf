#!/usr/bin/env bash
# Roots of a Debian release, made with mmdebstrap from the mirror that the
# machine's apt sources name, for building and testing on a release other
# than the machine's own. They are cached outside the clone, in $QOR_CACHE
# (default /var/cache/qor-relay-board: the script runs as root), so that a
# fresh clone finds them made. The machine's own packages and /etc are never
# touched. Runs that share the cache wait for each other (scripts/cachelock.sh):
# a run holds its root shared, and a root is replaced only once no run is in
# it.
#
#   scripts/root.sh path SUITE NAME
#       the root's folder: $QOR_CACHE/roots/SUITE-NAME
#   scripts/root.sh make SUITE NAME [--arch ARCH]... [--build-dep ARCH CONTROL]... [PACKAGE...]
#       makes the root with the packages (and the foreign architectures),
#       unless one is there that is less than a week old and was made with
#       the same list; prints its folder. A new root replaces the old one
#       only once it is complete and no run is in the old one; another run
#       that wants the same root meanwhile waits for it.
#       --build-dep ARCH CONTROL (repeatable) adds the build dependencies of
#       that debian/control for a build whose host architecture is ARCH
#       (apt-get build-dep, "-a ARCH" unless it is the machine's own): the
#       root is made again when the file changes.
#   scripts/root.sh run ROOT [--bind DIR]... [--cd DIR] -- COMMAND [ARG...]
#       runs COMMAND as root inside ROOT, in private mount and PID
#       namespaces with /proc, /sys, /dev, a fresh /tmp and /dev/shm and the
#       machine's resolv.conf; each DIR is bound at its own path. The root
#       itself is written only by what COMMAND writes. The root is not
#       replaced while COMMAND runs.
#
# Needs root (or sudo) and mmdebstrap (scripts/deps.sh test installs it).
set -euo pipefail

die() { printf 'root.sh: %s\n' "$*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "needs root, and there is no sudo"
    exec sudo --preserve-env=QOR_CACHE "$0" "$@"
fi

cache=${QOR_CACHE:-/var/cache/qor-relay-board}
# shellcheck source=scripts/cachelock.sh
. "$(dirname "$0")/cachelock.sh"
max_age_days=7

# The first URI of the machine's apt sources that serves Debian, and the
# security archive's: the only mirrors this machine is meant to use.
mirror_of() {
    local want=$1
    local uris
    uris=$( (grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}'
        grep -hs '^deb ' /etc/apt/sources.list | awk '{print $2}') | sed 's:/*$::')
    if [ "$want" = security ]; then
        grep -m1 'debian-security$' <<<"$uris" || true
    else
        grep -m1 '/debian$' <<<"$uris" || echo http://deb.debian.org/debian
    fi
}

root_path() { printf '%s/roots/%s-%s\n' "$cache" "$1" "$2"; }

# mmdebstrap hooks that install a debian/control's build dependencies: apt
# reads them from a source tree, so the file goes into a folder of its own.
build_dep_hooks() {
    local arch=$1 control=$2 cross=""
    [ "$arch" = "$(dpkg --print-architecture)" ] || cross="-a $arch"
    hooks+=(--customize-hook='mkdir -p "$1/tmp/qor-build-dep/debian"'
        --customize-hook="copy-in $control /tmp/qor-build-dep/debian"
        --customize-hook="chroot \"\$1\" apt-get build-dep -y -q $cross /tmp/qor-build-dep"
        --customize-hook='rm -rf "$1/tmp/qor-build-dep"')
}

make_root() {
    local suite=$1 name=$2
    shift 2
    local archs=() packages=() hooks=() build_deps=()
    while [ $# -gt 0 ]; do
        case $1 in
        --arch) archs+=("$2"); shift 2 ;;
        --build-dep)
            [ -f "$3" ] || die "--build-dep $2 $3: no such file"
            build_deps+=("$2 $(sha256sum <"$3" | cut -c1-16)")
            build_dep_hooks "$2" "$(realpath "$3")"
            shift 3
            ;;
        *) packages+=("$1"); shift ;;
        esac
    done
    local dir stamp want
    dir=$(root_path "$suite" "$name")
    stamp=$dir/.qor-root
    # run needs the root's own umount once it has switched to it.
    packages+=(mount)
    want=$(printf '%s\n' "$suite" "${archs[@]}" "${packages[@]}" "${build_deps[@]}" | sha256sum | cut -c1-16)
    stale() {
        ! { [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] &&
            [ -z "$(find "$stamp" -mtime +"$max_age_days")" ]; }
    }
    cache_renew "$dir" stale mmdebstrap_into
    echo "$dir"
}

# The root made anew in NEW, with the stamp of what it holds.
mmdebstrap_into() {
    local new=$1 main security
    command -v mmdebstrap >/dev/null || die "mmdebstrap is missing (scripts/deps.sh test installs it)"
    main=$(mirror_of main)
    security=$(mirror_of security)
    local sources=("deb $main $suite main" "deb $main $suite-updates main")
    [ -n "$security" ] && sources+=("deb $security $suite-security main")
    local arch_list
    arch_list=$(IFS=,; echo "$(dpkg --print-architecture)${archs[*]:+,${archs[*]}}")
    printf 'root.sh: making the %s root %s (%s)\n' "$suite" "$dir" "$arch_list" >&2
    # Output to standard error: standard output is the folder's name.
    mmdebstrap --variant=apt --architectures="$arch_list" \
        --aptopt='APT::Install-Recommends "false"' \
        --include="$(IFS=,; echo "${packages[*]}")" "${hooks[@]}" \
        "$suite" "$new" "${sources[@]}" >&2
    echo "$want" >"$new/.qor-root"
}

run_in_root() {
    local root=$1
    shift
    # Held until the command ends, so that no make replaces the root under it.
    cache_lock shared "$root"
    [ -f "$root/.qor-root" ] || die "$root is not a root made by this script"
    local binds=() cwd=/
    while [ $# -gt 0 ]; do
        case $1 in
        --bind) binds+=("$(realpath "$2")"); shift 2 ;;
        --cd) cwd=$2; shift 2 ;;
        --) shift; break ;;
        *) die "run: unknown option $1" ;;
        esac
    done
    [ $# -gt 0 ] || die "run: no command"
    local quoted
    quoted=$(printf '%q ' "$@")
    local setup="set -e
mount --make-rprivate /
# The root bound onto itself is a mount point, so that inside it / can be made
# private as the end-to-end tests' namespaces do (a plain folder gives EINVAL).
mount --rbind '$root' '$root'
mount -t proc proc '$root/proc'
mount --rbind /sys '$root/sys'
mount --rbind /dev '$root/dev'
mount -t tmpfs -o mode=1777 tmpfs '$root/dev/shm'
mount -t tmpfs -o mode=1777 tmpfs '$root/tmp'
cp -L /etc/resolv.conf '$root/etc/resolv.conf' 2>/dev/null || true"
    local b
    for b in "${binds[@]}"; do
        setup+="
mkdir -p '$root$b'
mount --rbind '$b' '$root$b'"
    done
    # pivot_root rather than chroot: the root becomes the namespace's own /, so
    # that paths seen through /proc (a descriptor's target) start at it.
    setup+="
cd '$root'
pivot_root . .
umount -l .
exec /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=\${TERM:-dumb} CI=\${CI:-} TMPDIR=/tmp \
    /bin/bash -c 'cd \"\$1\" && shift && exec \"\$@\"' sh '$cwd' $quoted"
    unshare --mount --pid --fork --kill-child /bin/bash -c "$setup"
}

case ${1:-} in
path) [ $# -eq 3 ] || die "usage: path SUITE NAME"; root_path "$2" "$3" ;;
make) [ $# -ge 3 ] || die "usage: make SUITE NAME [--arch ARCH]... [--build-dep ARCH CONTROL]... [PACKAGE...]"; shift; make_root "$@" ;;
run) [ $# -ge 2 ] || die "usage: run ROOT [--bind DIR]... [--cd DIR] -- COMMAND"; shift; run_in_root "$@" ;;
-h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' ;;
*) die "usage: see scripts/root.sh --help" ;;
esac
