#!/usr/bin/env bash
# The amd64 packages that CPack made before the debian/ packaging (0.1.3-1),
# for piuparts to upgrade from:
#   scripts/cpack-packages.sh OUT        (as root)
# builds commit 531dc1d, the last one packaged with CPack, in a Debian 12 root
# (scripts/root.sh make bookworm cpack), whatever the machine's release, and
# puts its three .deb files in OUT (status 77 when the clone lacks the
# commit). About three minutes the first time (the root), a minute and a half
# after that.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=QOR_CACHE "$0" "$@"
fi

commit=531dc1df2aef602b71a06fc04a89e9c3c9904404
fail() {
    echo "cpack-packages.sh: $*" >&2
    exit 1
}

[ $# -eq 1 ] || fail "usage: scripts/cpack-packages.sh OUT"
if ! git cat-file -e "$commit^{commit}" 2>/dev/null; then
    echo "cpack-packages.sh: commit ${commit:0:12} is not in this clone (a shallow one?)" >&2
    exit 77
fi
out=$1
mkdir -p "$(dirname "$out")"
out=$(realpath "$out")
# shellcheck source=scripts/cachelock.sh
. scripts/cachelock.sh
scratch=$(mktemp -d "${out%/*}/cpack-build.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The three packages built into NEW.
build() {
    local new=$1 root
    git archive "$commit" | tar -x -C "$scratch"
    root=$(scripts/root.sh make bookworm cpack cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libgpiod-dev dpkg-dev file)
    if ! scripts/root.sh run "$root" --bind "$scratch" --cd "$scratch" -- /bin/sh -ec \
        'cmake --preset native -DBUILD_TESTING=OFF && cmake --build --preset native -j2 && cd build/native && cpack' \
        >"$scratch.log" 2>&1; then
        tail -n 40 "$scratch.log" >&2
        fail "the CPack build of ${commit:0:12} failed; its log is $scratch.log"
    fi
    rm -f "$scratch.log"
    mkdir "$new"
    cp "$scratch"/build/native/*_0.1.3-1_amd64.deb "$new/"
    [ "$(ls "$new" | wc -l)" -eq 3 ] || fail "CPack made $(ls "$new"), not the three 0.1.3-1 packages"
}

# OUT is replaced once no other run (scripts/piuparts.sh) upgrades from it.
always() { true; }
cache_renew "$out" always build
echo "cpack-packages.sh: the CPack packages of ${commit:0:12} are in $out"
