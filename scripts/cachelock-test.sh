#!/usr/bin/env bash
# Checks scripts/cachelock.sh, the locks on $QOR_CACHE's entries, with
# processes in a scratch folder (a few seconds, no root needed):
#   scripts/cachelock-test.sh
# An exclusive lock makes another wait, shared ones go together, a
# waiting run says so, a lock held by a calling script is not taken again,
# and a child cannot take exclusive what its caller holds shared. Of runs
# that find an entry missing one makes it; a stale entry is replaced only
# once no run uses it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
entry=$work/roots/bookworm-x
failures=0
fail() {
    echo "FAIL: cachelock-test: $*" >&2
    failures=$((failures + 1))
}

# Polls for FILE up to 30 s: the holder's steps are told by files.
wait_file() {
    local end=$((SECONDS + 30))
    until [ -e "$1" ]; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.05
    done
}

# holder NAME MODE: takes the lock, writes NAME.held, holds it until
# NAME.release appears, writes NAME.done. Its standard error in NAME.err.
holder() {
    local name=$1 mode=$2
    (
        . "$here/cachelock.sh"
        cache_lock "$mode" "$entry"
        touch "$work/$name.held"
        wait_file "$work/$name.release"
        touch "$work/$name.done"
    ) 2>"$work/$name.err" &
}

# Whether NAME took the lock before FILE was written: it waits meanwhile.
still_waiting() {
    sleep 0.5
    [ ! -e "$work/$1.held" ]
}

# Exclusive, then a second exclusive one: it waits, saying so, and gets it
# once it is released.
holder a exclusive
wait_file "$work/a.held" || fail "a did not get the free lock"
holder b exclusive
wait_file "$work/b.err"
still_waiting b || fail "b got the lock that a holds exclusive"
touch "$work/a.release"
wait_file "$work/b.held" || fail "b did not get the lock after a released it"
grep -q "waiting for $entry, which another run is using" "$work/b.err" ||
    fail "b did not say that it waits: $(cat "$work/b.err")"
touch "$work/b.release"
wait_file "$work/b.done"
echo "ok: an exclusive lock makes another wait, and it says so"

# Two shared ones at once; an exclusive one waits for both.
holder d shared
holder e shared
wait_file "$work/d.held" && wait_file "$work/e.held" || fail "two shared locks were not held at once"
holder f exclusive
still_waiting f || fail "f got the lock exclusive while d and e hold it shared"
touch "$work/d.release"
still_waiting f || fail "f got the lock exclusive while e holds it shared"
touch "$work/e.release"
wait_file "$work/f.held" || fail "f did not get the lock after both shared ones ended"
touch "$work/f.release"
wait_file "$work/f.done"
echo "ok: shared locks go together; an exclusive one waits for all of them"

# A script started by the holder does not wait for it; asking exclusive
# what the caller holds shared is an error rather than a wait for ever.
(
    . "$here/cachelock.sh"
    cache_lock exclusive "$entry"
    timeout 10 bash -c '. "$1/cachelock.sh" && cache_lock exclusive "$2" && cache_lock shared "$2"' sh "$here" "$entry" ||
        fail "a child of the exclusive holder could not take the lock (status $?)"
    cache_lock shared "$entry"
    status=0
    timeout 10 bash -c '. "$1/cachelock.sh" && cache_lock exclusive "$2"' sh "$here" "$entry" 2>"$work/child.err" || status=$?
    [ $status -eq 1 ] && grep -q 'a calling script holds it shared' "$work/child.err" ||
        fail "a child asking exclusive what its caller holds shared: status $status, $(cat "$work/child.err")"
    cache_unlock "$entry"
    [ -z "${QOR_CACHE_LOCKS:-}" ] || fail "QOR_CACHE_LOCKS after the unlock: $QOR_CACHE_LOCKS"
    exit $failures
) || failures=$?
echo "ok: a lock held by the calling script is not taken again"

# renewer NAME STALE: cache_renew of the entry with the stale test STALE
# (missing, always); the make appends NAME to made and waits for
# make.release, then writes NAME into the new entry. Holds it as holder does.
renewer() {
    local name=$1 stale=$2
    (
        . "$here/cachelock.sh"
        missing() { [ ! -e "$1" ]; }
        always() { true; }
        make_entry() {
            echo "$name" >>"$work/made"
            wait_file "$work/make.release"
            mkdir "$1"
            echo "$name" >"$1/by"
        }
        cache_renew "$entry" "$stale" make_entry
        touch "$work/$name.held"
        wait_file "$work/$name.release"
        touch "$work/$name.done"
    ) 2>"$work/$name.err" &
}

# Two runs find the entry missing at once: one makes it, the other waits
# and uses it.
rm -rf "$entry"
renewer g missing
renewer h missing
wait_file "$work/made"
still_waiting g && still_waiting h || fail "a run held the entry before it was made"
touch "$work/make.release"
wait_file "$work/g.held" && wait_file "$work/h.held" || fail "the runs did not both hold the entry once made"
[ "$(wc -l <"$work/made")" -eq 1 ] || fail "the entry was made $(wc -l <"$work/made") times: $(cat "$work/made")"
touch "$work/g.release" "$work/h.release"
wait_file "$work/g.done" && wait_file "$work/h.done"
echo "ok: of two runs that find the entry missing, one makes it and the other waits for it"

# A stale entry in use is made anew beside it, and replaced once the run
# that uses it is over.
rm -f "$work/made" "$work/make.release"
holder i shared
wait_file "$work/i.held"
before=$(cat "$entry/by")
renewer j always
touch "$work/make.release"
wait_file "$entry.new/by" || fail "the new entry was not made beside the one in use"
still_waiting j || fail "j held the entry while i uses it"
[ "$(cat "$entry/by")" = "$before" ] || fail "the entry was replaced while i uses it"
touch "$work/i.release"
wait_file "$work/j.held" || fail "j did not get the entry once i was over"
[ "$(cat "$entry/by")" = j ] || fail "the entry is $(cat "$entry/by")'s, not the one j made"
[ -z "$(compgen -G "$entry.*/" || true)" ] || fail "left beside the entry: $(ls -d "$entry".*/)"
touch "$work/j.release"
wait_file "$work/j.done"
echo "ok: a stale entry in use is replaced only once the run in it is over"

[ $failures -eq 0 ] || { echo "cachelock-test: $failures check(s) failed" >&2; exit 1; }
echo "cachelock-test: all checks passed"
