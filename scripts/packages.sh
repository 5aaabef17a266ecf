#!/usr/bin/env bash
# Builds the Debian packages from the checkout's tracked files inside a clean
# Debian root (scripts/root.sh, cached in $QOR_CACHE) that holds
# build-essential and the build dependencies, so that the packages do not
# depend on what this machine has installed.
#   scripts/packages.sh [SUITE]   default bookworm; packages in build/deb/SUITE-amd64-root/
set -euo pipefail

suite=${1:-bookworm}
here=$(cd "$(dirname "$0")/.." && pwd)
out=$here/build/deb/$suite-amd64-root

# The build dependencies of debian/control, installed when the root is made
# (the root is never written by the build itself).
deps=(build-essential fakeroot debhelper cmake pkg-config qtbase5-dev qtbase5-dev-tools libgpiod-dev)
root=$("$here/scripts/root.sh" make "$suite" pkg "${deps[@]}" | tail -n1)

rm -rf "$out"
mkdir -p "$out/src"
git -C "$here" archive HEAD | tar -x -C "$out/src"
start=$(date +%s)
"$here/scripts/root.sh" run "$root" --bind "$out" --cd "$out/src" -- \
    env DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc
echo "packages.sh: built in $root in $(($(date +%s) - start)) s:"
rm -rf "$out/src"
ls "$out"
