#!/usr/bin/env bash
# Runs the as-installed tests of debian/tests with autopkgtest against built
# amd64 packages, in a throwaway testbed of a Debian release; the machine's
# own packages and /etc are never touched.
#   scripts/autopkgtest.sh SUITE DEBDIR
#       SUITE   bookworm or trixie: the testbed's release, which must be the
#               one the packages were built on
#       DEBDIR  holds the .deb files (dbgsym packages are left out)
# The tests are those of the checkout's HEAD (git archive). Prints one line
# per test and a verdict; exits non-zero when a test fails or is skipped,
# after printing its output. The full log stays in build/autopkgtest/SUITE/.
#
# autopkgtest runs from a root of its own (scripts/root.sh), Debian 13's for
# both releases so that one runner root serves both (Debian 12's autopkgtest
# 5.28 has the same unshare backend, autopkgtest-virt-unshare, with the same
# options). The unshare backend, unlike the null one, can undo a test's
# changes, so it runs the tests that break the testbed (the library swap): it
# unpacks a tarball of a plain root of SUITE for each testbed and so reverts
# by unpacking it anew; the downloaded dependencies are kept in $QOR_CACHE
# between runs.
# Runs at once share the cache: the tarball is replaced only when no run
# uses it, and each run downloads into a copy of the kept dependencies
# (apt locks its archives folder), adding what it fetched when it ends.
set -euo pipefail

die() { printf 'autopkgtest.sh: %s\n' "$*" >&2; exit 1; }

[ $# -eq 2 ] || die "usage: scripts/autopkgtest.sh SUITE DEBDIR"
suite=$1
debdir=$(realpath "$2")
case $suite in bookworm | trixie) ;; *) die "SUITE is bookworm or trixie, not $suite" ;; esac
[ -d "$debdir" ] || die "$debdir is not a folder"

if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "needs root (user namespaces mapping subordinate ids), and there is no sudo"
    exec sudo --preserve-env=QOR_CACHE "$0" "$@"
fi

here=$(cd "$(dirname "$0")/.." && pwd)
root_sh=$here/scripts/root.sh
# shellcheck source=scripts/cachelock.sh
. "$here/scripts/cachelock.sh"

debs=()
for package in qor-relay-board libqor-board-sim1 libqor-board-gpiod1; do
    found=("$debdir/${package}_"*_amd64.deb)
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || die "no single ${package}_*_amd64.deb in $debdir"
    debs+=("${found[0]}")
done

# base-files carries the release's number: 12 is bookworm, 13 trixie.
want_base=$(case $suite in bookworm) echo 12 ;; trixie) echo 13 ;; esac)
for info in "$debdir"/*_amd64.buildinfo; do
    [ -f "$info" ] || continue
    base=$(grep -o 'base-files (= [0-9]*' "$info" | grep -o '[0-9]*$' || true)
    [ -z "$base" ] || [ "$base" = "$want_base" ] ||
        die "$(basename "$info") says the packages were built on base-files $base, not $suite's $want_base"
done

runner=$("$root_sh" make trixie autopkgtest autopkgtest uidmap passwd | tail -n1)
testbed=$("$root_sh" make "$suite" testbed apt-utils | tail -n1)
cache=$(dirname "$(dirname "$testbed")")/autopkgtest
archives=$cache/archives-$suite
tarball=$cache/$suite-amd64.tar
mkdir -p "$archives"

# The tarball is made again whenever its root was. autopkgtest unpacks it
# for each testbed, so the run holds it until it ends.
tarball_stale() { [ ! -f "$tarball" ] || [ "$tarball" -ot "$testbed/.qor-root" ]; }
pack_testbed() {
    echo "autopkgtest.sh: packing $testbed into $tarball" >&2
    cache_lock shared "$testbed"
    tar -C "$testbed" --exclude=./dev --exclude=./.qor-root -cf "$1" .
    cache_unlock "$testbed"
}
cache_renew "$tarball" tarball_stale pack_testbed

out=$here/build/autopkgtest/$suite
work=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out" "$work/src"
git -C "$here" archive HEAD | tar -x -C "$work/src"
# debian/files marks a built tree: autopkgtest then takes it as it is,
# without installing dpkg-dev into the testbed to unpack it as source.
touch "$work/src/debian/files"
# Hard links: the kept packages are not copied, and what apt in the testbed
# removes or replaces stays in the cache.
mkdir "$work/archives"
cache_lock shared "$archives"
find "$archives" -maxdepth 1 -name '*.deb' -exec ln -t "$work/archives" {} +
cache_unlock "$archives"

# The unshare backend maps the testbed's ids onto root's subordinate ids
# (unshare --map-auto); the runner root gets an entry for root in a copy of
# its /etc/subuid and /etc/subgid mounted over them, leaving the root as made.
echo 'root:1000000:65536' >"$work/subid"
start=$(date +%s)
status=0
"$root_sh" run "$runner" --bind "$cache" --bind "$out" --bind "$debdir" -- \
    /bin/bash -c 'mount --bind "$1" /etc/subuid && mount --bind "$1" /etc/subgid && shift && exec "$@"' sh \
    "$work/subid" \
    autopkgtest --output-dir "$out/out" --no-built-binaries \
    --setup-commands 'apt-get update -q' \
    "$work/src/" "${debs[@]}" -- \
    unshare --release "$suite" --arch amd64 --tarball "$tarball" --prefix "$work/testbed." \
    --bind "$work/archives" /var/cache/apt/archives \
    >"$out/autopkgtest.log" 2>&1 || status=$?
elapsed=$(($(date +%s) - start))
cache_lock exclusive "$archives"
find "$work/archives" -maxdepth 1 -name '*.deb' -exec cp -n -l -t "$archives" {} +
cache_unlock "$archives"

summary=$out/out/summary
if [ ! -s "$summary" ]; then
    tail -n 60 "$out/autopkgtest.log"
    die "autopkgtest ended with status $status and no summary ($elapsed s); log: $out/autopkgtest.log"
fi
failed=0
shown=0
while read -r name verdict rest; do
    printf 'autopkgtest.sh: %s %-20s %s %s\n' "$suite" "$name" "$verdict" "$rest"
    case $verdict in
    PASS) ;;
    *)
        failed=1
        for part in stdout stderr; do
            if [ -s "$out/out/$name-$part" ]; then
                shown=1
                echo "--- $name, $part:"
                grep -v '^(Reading database' "$out/out/$name-$part" | tail -n 80
            fi
        done
        ;;
    esac
done <"$summary"
tests=$(sed -n 's/^Tests: *//p' "$here/debian/tests/control" | wc -w)
if [ "$(wc -l <"$summary")" -ne "$tests" ]; then
    echo "autopkgtest.sh: debian/tests/control has $tests tests, the summary $(wc -l <"$summary")"
    failed=1
fi
if [ $status -ne 0 ] || [ $failed -ne 0 ]; then
    # Without a test's own output the trouble is autopkgtest's or the testbed's.
    [ $shown -eq 1 ] || tail -n 40 "$out/autopkgtest.log"
    die "FAIL on $suite: autopkgtest ended with status $status after $elapsed s; log: $out/autopkgtest.log"
fi
echo "autopkgtest.sh: PASS on $suite, $(wc -l <"$summary") tests in $elapsed s"
