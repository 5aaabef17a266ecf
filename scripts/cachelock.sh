# Locks on the entries of $QOR_CACHE (a root, a tarball, a folder of
# packages), so that runs sharing a cache wait for each other instead of
# deleting what another run is using. Sourced by the scripts that make,
# replace or use those entries; needs bash and flock (util-linux).
#
#   cache_lock shared|exclusive PATH [WHAT]
#       takes the lock of PATH, waiting while another run holds it the other
#       way (and saying so: "waiting for WHAT"); held until cache_unlock PATH
#       or the end of the script. Taken again with the other mode, it changes
#       mode (not atomically: another run may take it in between).
#   cache_unlock PATH
#   cache_renew PATH STALE MAKE
#       holds PATH shared, having made it anew first where the command
#       STALE PATH says so (status 0): MAKE NEW makes it at NEW (PATH.new),
#       or leaves NEW absent when it cannot (PATH then stays as it was); it
#       replaces PATH once no other run holds that. One run makes it; others
#       that find it stale meanwhile wait for that one, then use what it made.
#
# Users of an entry hold it shared, a run that replaces it exclusive. The
# lock is the file PATH.lock, beside PATH, so that it outlives PATH's
# replacement. A lock held by a calling script (QOR_CACHE_LOCKS, inherited)
# is not taken again: a child would otherwise wait for its own parent.
# shellcheck shell=bash

declare -gA cache_lock_fds=()

cache_lock() {
    local mode=$1 path=$2 what=${3:-} fd held
    case $mode in shared | exclusive) ;; *) echo "cache_lock: shared or exclusive, not $mode" >&2; return 2 ;; esac
    path=$(realpath -m "$path")
    if [ -z "${cache_lock_fds[$path]:-}" ]; then
        held=$(cache_lock_held "$path")
        if [ "$held" = exclusive ] || [ "$held" = "$mode" ]; then
            return 0
        fi
        if [ -n "$held" ]; then
            echo "cache_lock: $path: a calling script holds it $held, so it cannot be taken $mode" >&2
            return 1
        fi
        mkdir -p "$(dirname "$path")"
        exec {fd}>>"$path.lock"
        cache_lock_fds[$path]=$fd
    fi
    fd=${cache_lock_fds[$path]}
    if ! flock -n "--$mode" "$fd"; then
        echo "${0##*/}: waiting for ${what:-$path, which another run is using}" >&2
        flock "--$mode" "$fd"
    fi
    cache_lock_export "$path" "$mode"
}

cache_unlock() {
    local path fd
    path=$(realpath -m "$1")
    fd=${cache_lock_fds[$path]:-}
    [ -n "$fd" ] || return 0
    exec {fd}>&-
    unset "cache_lock_fds[$path]"
    cache_lock_export "$path"
}

# How a calling script holds PATH: shared, exclusive or not at all.
cache_lock_held() {
    local line
    while IFS= read -r line; do
        [ "${line#* }" != "$1" ] || echo "${line%% *}"
    done <<<"${QOR_CACHE_LOCKS:-}"
}

# QOR_CACHE_LOCKS lists the locks this script holds, one "MODE PATH" a line,
# for the scripts it starts.
cache_lock_export() {
    local path=$1 mode=${2:-}
    QOR_CACHE_LOCKS=$(printf '%s\n' "${QOR_CACHE_LOCKS:-}" | grep -vxF -e "shared $path" -e "exclusive $path" -e '' || true)
    [ -z "$mode" ] || QOR_CACHE_LOCKS+=${QOR_CACHE_LOCKS:+$'\n'}"$mode $path"
    export QOR_CACHE_LOCKS
}

cache_renew() {
    local path=$1 stale=$2 make=$3 old=""
    cache_lock shared "$path"
    "$stale" "$path" || return 0
    cache_unlock "$path"
    cache_lock exclusive "$path.new" "another run to make $path"
    if "$stale" "$path"; then
        # What a run that was stopped left.
        rm -rf "$path.new" "$path".old.*
        "$make" "$path.new"
        if [ -e "$path.new" ]; then
            cache_lock exclusive "$path"
            if [ -e "$path" ]; then
                old=$(mktemp -d "$path.old.XXXXXX")
                mv "$path" "$old/"
            fi
            mv "$path.new" "$path"
        fi
    fi
    cache_lock shared "$path"
    cache_unlock "$path.new"
    [ -z "$old" ] || rm -rf "$old"
}
