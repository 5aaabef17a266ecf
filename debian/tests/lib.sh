# Shared by the tests in this folder (sourced, not a test itself).
# shellcheck shell=bash

# The board library checks that the piuparts hook shares; PATH, the
# configuration files' paths.
. "$(dirname "${BASH_SOURCE[0]}")/library-swap.sh"
scratch=${AUTOPKGTEST_TMP:-$(mktemp -d)}

fail() {
    echo "FAIL: ${0##*/}: $*"
    exit 1
}

ok() {
    echo "ok: $*"
}

# Polls CONDITION (a command) every 0.1 s until it holds or LIMIT seconds
# have passed; a loaded machine gets the whole limit before it counts.
wait_for() {
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}

# The driver never ends by itself (the end of its input does not end it),
# so it runs in the background until relay 1 is on in the trace, or it
# exits, or the limit passes; then it is ended.
run_relay_driver() {
    local trace=$scratch/trace pid
    rm -f "$trace"
    QOR_BOARD_TRACE=$trace qor-driver-relay <<<'open 1' >"$scratch/out" 2>"$scratch/err" &
    pid=$!
    relay_1_on_or_gone() {
        grep -qs ' board_gpio_set_relay_1 1$' "$trace" || ! kill -0 "$pid" 2>/dev/null
    }
    wait_for 30 relay_1_on_or_gone || true
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

driver_output() {
    printf -- '--- standard output:\n%s\n--- standard error:\n%s\n--- trace:\n%s\n' \
        "$(cat "$scratch/out")" "$(cat "$scratch/err")" "$(cat "$scratch/trace" 2>/dev/null)"
}

# The banner, then relay 1 switched on by "open 1" (a toggle in the example
# relay configuration), as the board library's trace shows.
check_relay_driver() {
    local version
    version=$(dpkg-query -W -f='${Version}' qor-relay-board)
    version=${version%-*}
    run_relay_driver
    grep -qs ' board_gpio_set_relay_1 1$' "$scratch/trace" ||
        fail "qor-driver-relay did not switch relay 1 on within 30 s of 'open 1'
$(driver_output)"
    [ "$(head -n 2 "$scratch/out")" = "#Relay_driver_v$version"$'\n''QORA_STM_Driver 2.17' ] ||
        fail "qor-driver-relay's output does not start with the banner of version $version
$(driver_output)"
    grep -qx shield_ready "$scratch/out" ||
        fail "qor-driver-relay's banner did not reach shield_ready
$(driver_output)"
    ok "qor-driver-relay $version: banner, then relay 1 on after 'open 1'"
}

# The dump's identifier of relay_1, then a change of it to 1 after the
# definitions.
check_vcd() {
    local vcd=$scratch/vcd id
    qor-board-vcd "$scratch/trace" -o "$vcd" 2>"$scratch/vcd.err" ||
        fail "qor-board-vcd $scratch/trace -o $vcd failed: $(cat "$scratch/vcd.err")"
    id=$(awk '$1 == "$var" && $5 == "relay_1" { print $4 }' "$vcd")
    [ -n "$id" ] || fail "qor-board-vcd's dump declares no relay_1:
$(cat "$vcd")"
    awk -v on="1$id" 'done && $0 == on { found = 1 } /^\$enddefinitions/ { done = 1 }
        END { exit !found }' "$vcd" ||
        fail "qor-board-vcd's dump does not show relay_1 ($id) going to 1:
$(cat "$vcd")"
    ok "qor-board-vcd: relay_1 goes to 1 in the dump"
}

# On the example line map, which maps no line, the LED blinker and
# qor-board-lines stop with status 78 (EX_CONFIG) and name what is missing.
check_gpiod_example_map() {
    local err status=0
    err=$(timeout 30 qora_led_driver 1 </dev/null 2>&1 >/dev/null) || status=$?
    [ $status -eq 78 ] && [ "$err" = "qora_led_driver: $lines: led: not in the map" ] ||
        fail "qora_led_driver 1 on the example map: status $status (want 78), standard error: $err"
    ok "qora_led_driver 1: status 78, led not in the map"
    status=0
    err=$(timeout 30 qor-board-lines 2>&1 >/dev/null) || status=$?
    [ $status -eq 78 ] && [ "$(grep -c ': not in the map$' <<<"$err")" -eq 5 ] ||
        fail "qor-board-lines on the example map: status $status (want 78 and 5 signals not in the map), standard error: $err"
    ok "qor-board-lines: status 78, the 5 signals not in the map"
}
