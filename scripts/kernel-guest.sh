#!/bin/busybox sh
# /init of the kernel rounds' guest (scripts/kernel-test.sh puts it there):
# makes a gpio-sim chip, runs the relay driver and the LED blinker on it with
# the GPIO board library, and checks what the lines and the programs show.
# Every check prints "ok <name>" or "FAIL <name>: <why>"; the last line is
# the one result line the host reads, then the guest powers off.
/bin/busybox --install -s /bin
echo # past the firmware's escape sequences on the console
export PATH=/usr/bin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mkdir -p /etc/qor-board
results=/tmp/results

ok() { echo "ok $1" | tee -a $results; }
fail() { echo "FAIL $1: $2" | tee -a $results; }

# now: centiseconds since boot.
now() {
    local up
    read -r up _ </proc/uptime
    echo "${up%.*}${up#*.}"
}

# wait_value <file> <value> <seconds>: until the file reads the value.
wait_value() {
    local v end=$(($(now) + $3 * 100))
    while :; do
        read -r v <"$1"
        [ "$v" = "$2" ] && return 0
        [ "$(now)" -lt $end ] || return 1
        usleep 10000
    done
}

# expect_line <file> <grep -E pattern> <seconds>: until a line matches.
expect_line() {
    local end=$(($(now) + $3 * 100))
    until grep -qE "$2" "$1"; do
        [ "$(now)" -lt $end ] || return 1
        usleep 50000
    done
}

# wait_exit <pid> <seconds>: its exit status, or 255 (after killing it) when
# it still runs at the deadline.
wait_exit() {
    local state end=$(($(now) + $2 * 100))
    while [ -e /proc/$1/stat ]; do
        read -r _ _ state _ </proc/$1/stat
        [ "$state" = Z ] && break
        if [ "$(now)" -ge $end ]; then
            kill -KILL $1
            wait $1
            return 255
        fi
        usleep 50000
    done
    wait $1
}

# why <name>: the program's standard error for a failure message.
why() { tr '\n' '|' </tmp/$1.err | cut -c1-300; }

# --- the chips --------------------------------------------------------------
# Each group of checks gets a gpio-sim chip of its own, made through
# configfs and removed when the group is done, so that no check sees the
# lines, pulls or holders another left behind.
setup_modules() {
    local m
    for m in configfs irq_sim gpio-sim; do
        insmod /lib/modules/$m.ko || { fail modules "insmod $m.ko: $(dmesg | tail -n 3)"; return 1; }
    done
    mount -t configfs configfs /sys/kernel/config
}

# new_chip <id> <label> [<offset>:<line name>]...: a live chip of 16 lines;
# its name, sysfs folder and first global line number in chip_<id>,
# sim_<id> and base_<id>, and made the current chip (use_chip).
new_chip() {
    local id=$1 label=$2 cfg=/sys/kernel/config/gpio-sim/$1 spec c s b
    shift 2
    mkdir $cfg $cfg/bank0 && echo 16 >$cfg/bank0/num_lines && echo $label >$cfg/bank0/label ||
        { fail "chip $id" "configfs: $(dmesg | tail -n 3)"; return 1; }
    for spec; do
        mkdir $cfg/bank0/line${spec%%:*} && echo ${spec#*:} >$cfg/bank0/line${spec%%:*}/name ||
            { fail "chip $id" "line name $spec"; return 1; }
    done
    echo 1 >$cfg/live || { fail "chip $id" "live: $(dmesg | tail -n 3)"; return 1; }
    # On the ARM virt board the PL061 is a GPIO chip too: the name comes from configfs.
    c=$(cat $cfg/bank0/chip_name)
    s=/sys/devices/platform/$(cat $cfg/dev_name)/$c
    [ -e $s/sim_gpio15/value ] || { fail "chip $id" "no $s/sim_gpio15"; return 1; }
    b=$(sed -n "s/^$c: GPIOs \([0-9]*\)-.*/\1/p" /sys/kernel/debug/gpio)
    [ -n "$b" ] || { fail "chip $id" "no base of $c in debugfs"; return 1; }
    eval "chip_$id=$c sim_$id=$s base_$id=$b"
    use_chip $id
}

use_chip() { eval "chip=\$chip_$1 sim=\$sim_$1 base=\$base_$1"; }

drop_chip() {
    local cfg=/sys/kernel/config/gpio-sim/$1
    echo 0 >$cfg/live && rmdir $cfg/bank0/line* 2>/dev/null
    rmdir $cfg/bank0 $cfg || fail "chip $1" "not removed"
}

# line <offset>: the file with the line's level; pull <offset> <pull-up|pull-down>.
line() { echo $sim/sim_gpio$1/value; }
pull() { echo "$2" >$sim/sim_gpio$1/pull; }

# The kernel's gpio_value trace event records every level a program sets,
# so what a program did just before it ended is seen after it has ended (the
# released line itself falls back to its pull at once).
setup_trace() {
    mount -t tracefs tracefs /sys/kernel/tracing &&
        mount -t debugfs debugfs /sys/kernel/debug &&
        echo 1 >/sys/kernel/tracing/events/gpio/gpio_value/enable ||
        { fail trace "no gpio_value trace event"; return 1; }
}

# levels_set <offset>: the levels set on the line, oldest first.
levels_set() {
    grep -o " gpio_value: $((base + $1)) set [01]" /sys/kernel/tracing/trace | sed 's/.* //' | tr '\n' ' '
}

# libgpiod's tools changed their syntax with libgpiod 2 (Debian 13): the
# chip goes after -c, gpioset holds for a list of toggle periods, gpioget
# prints "offset"=active unless told --numeric.
gpiod_tools() {
    case $(gpioset --version 2>&1 | head -n 1) in
    *" v1."*) tools=1 ;;
    *) tools=2 ;;
    esac
}

# set_for <chip> <offset> <value> <ms>: drives the line for that long.
set_for() {
    if [ $tools = 1 ]; then gpioset -m time -u $(($4 * 1000)) $1 $2=$3; else gpioset -c $1 -t $4ms,0 $2=$3; fi
}

# get <chip> <offset>: the line's value, 0 or 1.
get() {
    if [ $tools = 1 ]; then gpioget $1 $2; else gpioget -c $1 --numeric $2; fi
}

# The kernel side alone, with libgpiod's own tools: an output reaches the
# line, an input follows its pull.
check_kernel_side() {
    local v
    gpiod_tools
    set_for $chip 14 1 300 &
    if wait_value $(line 14) 1 10; then ok "gpioset (libgpiod $tools) drives a sim line"; else fail "gpioset" "line 14 never read 1"; fi
    wait $!
    pull 15 pull-up
    v=$(get $chip 15)
    pull 15 pull-down
    [ "$v" = 1 ] && [ "$(get $chip 15)" = 0 ] && ok "gpioget reads the pull" || fail gpioget "read $v"
}

# --- programs -----------------------------------------------------------------
write_config() { # <relay 0 type> <ticks> <relay 1 type> <ticks>
    cat >/etc/qor-driver/relay-conf.json <<EOF
{ "Rel": [ { "PinOutType": "$1", "counterCycle": $2 },
           { "PinOutType": "$3", "counterCycle": $4 } ] }
EOF
}

write_maps() {
    cat >/etc/qor-board/a.conf <<EOF
# run A: active-low pulse relay, a relay on the chip's label, a key by name
relay_0  $chip_a:0  active-low
relay_1  qor-sim:1
key_0    door-key  active-low   # line 2
key_1    /dev/$chip_a:3  pull-up
EOF
    cat >/etc/qor-board/b.conf <<EOF
relay_0 $chip_b:4
relay_1 $chip_b:5 active-low
key_0 $chip_b:6
key_1 $chip_b:7 pull-down
EOF
    local c=$chip_led
    echo "led $c:8" >/etc/qor-board/led.conf
    # The LED blinker holds line 8.
    printf 'relay_0 %s:8\nrelay_1 %s:9\nkey_0 %s:10\nkey_1 %s:11\n' $c $c $c $c >/etc/qor-board/held.conf
    c=$chip_range
    printf '# offset past the last line\nrelay_0 %s:16\nrelay_1 %s:9\nkey_0 %s:10\nkey_1 %s:11\n' \
        $c $c $c $c >/etc/qor-board/range.conf
    printf 'relay_0 %s:12\n\nrelay_1\nkey_0 %s:10\nkey_1 %s:11\n' $c $c $c >/etc/qor-board/syntax.conf
}

# driver <name> <map> <fd>: starts the relay driver with the map, its
# standard input a FIFO that the shell holds open on descriptor <fd> (0: no
# input), output in /tmp/<name>.out and .err; its pid in pid_<name>.
driver() {
    if [ "$3" = 0 ]; then
        QOR_BOARD_LINES=$2 qor-driver-relay </dev/null >/tmp/$1.out 2>/tmp/$1.err &
    else
        mkfifo /tmp/$1.in
        QOR_BOARD_LINES=$2 qor-driver-relay </tmp/$1.in >/tmp/$1.out 2>/tmp/$1.err &
        eval "exec $3>/tmp/$1.in"
    fi
    eval "pid_$1=$!"
}

# expect_exit <check> <name> <pid> <status> <text>: the program ended with the
# status and said the text on standard error.
expect_exit() {
    local st
    wait_exit $3 30
    st=$?
    if [ $st != $4 ]; then
        fail "$1" "exit status $st, not $4; stderr: $(why $2)"
    elif [ -n "$5" ] && ! grep -qF -- "$5" /tmp/$2.err; then
        fail "$1" "no \"$5\" on stderr: $(why $2)"
    else
        ok "$1 (status $4)"
    fi
}

# pulse_length <line> <active value> <rest value>: the time in centiseconds
# the line stays active (empty if it never went there or back).
pulse_length() {
    local t0
    wait_value $(line $1) $2 5 || return
    t0=$(now)
    wait_value $(line $1) $3 10 || return
    echo $(($(now) - t0))
}

# qor-board-lines on a map of all five signals while the relay driver and
# the LED blinker hold their lines: chips, labels, offsets, names, holders.
check_lines_command() {
    local st
    { cat /etc/qor-board/a.conf; echo "led $chip_led:8"; } >/etc/qor-board/lines.conf
    qor-board-lines /etc/qor-board/lines.conf >/tmp/lines.out 2>/tmp/lines.err
    st=$?
    if [ $st = 0 ] && grep -qE "^relay_0 +$chip +qor-sim +0 .* qor-driver-relay " /tmp/lines.out &&
        grep -qE "^key_0 +$chip +qor-sim +2 +door-key .* qor-driver-relay " /tmp/lines.out &&
        grep -qE "^led +$chip_led +qor-led +8 .* qora_led_driver " /tmp/lines.out; then
        ok "qor-board-lines shows the lines, their names and holders"
    else
        fail "qor-board-lines" "status $st: $(tr '\n' '|' </tmp/lines.out) $(why lines)"
    fi
}

checks_run_a() {
    local d
    expect_line /tmp/a.out '^shield_ready$' 60 || { fail "driver A banner" "$(why a)"; return; }
    ok "driver A banner"
    # Line 1 rests at pull-up until the driver drives its inactive 0.
    if [ "$early" = 0 ] && wait_value $(line 0) 1 10 && wait_value $(line 1) 0 10; then
        ok "resting levels after the banner: ON_DELAY active-low 1, TOGGLE 0"
    else
        fail "resting levels A" "lines 0 and 1 read $(cat $(line 0)) $(cat $(line 1)), line 0 $early during the banner; $(why a)"
    fi
    # Before qor-board-lines, which reads the key with its pull-up itself.
    [ "$(cat $sim/sim_gpio3/pull)" = pull-up ] && ok "key_1 requested with its pull-up" ||
        fail "key_1 bias" "line 3 pull is $(cat $sim/sim_gpio3/pull)"
    check_lines_command
    # key_0 is active-low at pull-down: it reads pressed at start (silently).
    pull 2 pull-up
    expect_line /tmp/a.out '^Key_0 state: 0$' 5 && pull 2 pull-down &&
        expect_line /tmp/a.out '^Key_0 state: 1$' 5 && ok "key_0 by line name, active-low: reports 0 then 1" ||
        fail "key_0 reports" "$(grep Key_ /tmp/a.out | tr '\n' '|')"
    pull 3 pull-down
    expect_line /tmp/a.out '^Key_1 state: 0$' 5 && pull 3 pull-up &&
        expect_line /tmp/a.out '^Key_1 state: 1$' 5 && ok "key_1 with pull-up: reports 0 then 1" ||
        fail "key_1 reports" "$(grep Key_ /tmp/a.out | tr '\n' '|')"
    echo "open 0" >&3
    d=$(pulse_length 0 0 1)
    if [ -n "$d" ] && [ "$d" -ge 70 ] && [ "$d" -le 300 ]; then
        ok "open 0: active-low pulse of 10 ticks lasted ${d}0 ms"
    else
        fail "open 0 pulse" "length '${d}' cs, line 0 reads $(cat $(line 0))"
    fi
    echo "open 1" >&3
    if wait_value $(line 1) 1 5; then
        echo "21" >&3
        wait_value $(line 1) 0 5 && ok "open 1 and 21 toggle relay 1 on and off" ||
            fail "toggle off" "line 1 stays 1"
    else
        fail "toggle on" "line 1 stays 0"
    fi
    [ "$(cat $(line 0))" = 1 ] && ok "relay 0 stays at rest meanwhile" || fail "relay 0 rest" "line 0 is active"
    kill -TERM $pid_a
    exec 3>&-
    expect_exit "driver A ends on SIGTERM" a $pid_a 0 ""
}

checks_run_b() {
    local seen
    expect_line /tmp/b.out '^shield_ready$' 60 || { fail "driver B banner" "$(why b)"; return; }
    if wait_value $(line 4) 1 10 && wait_value $(line 5) 1 10; then
        ok "resting levels: OFF_DELAY 1, ON_DELAY active-low 1"
    else
        fail "resting levels B" "lines 4 and 5 read $(cat $(line 4)) $(cat $(line 5)); $(why b)"
    fi
    # SIGTERM in the middle of the 10-tick OFF_DELAY pulse: the line is set
    # back to 1 before the process ends.
    echo "open 0" >&4
    wait_value $(line 4) 0 5 || { fail "driver B pulse" "line 4 never went 0"; return; }
    kill -TERM $pid_b
    expect_exit "driver B ends on SIGTERM mid-pulse" b $pid_b 0 ""
    exec 4>&-
    seen=$(levels_set 4)
    case "$seen" in
    *" 0 1 ") [ $(echo "$seen" | grep -o 0 | wc -l) -lt 10 ] &&
        ok "the pulse relay is set back to rest before the driver ends" ||
        fail "rest on SIGTERM" "the pulse ran its full length: $seen" ;;
    *) fail "rest on SIGTERM" "line 4 was set to: $seen" ;;
    esac
}

checks_led() {
    local t0 d seen
    # Time from a rising edge: the blinker may already be part-way through
    # its on-period when this check starts on a slow guest.
    if wait_value $(line 8) 0 10 && wait_value $(line 8) 1 10; then
        t0=$(now)
        wait_value $(line 8) 0 5
        d=$(($(now) - t0))
        [ $d -ge 20 ] && [ $d -le 150 ] && ok "LED code 1: on for ${d}0 ms, then off" ||
            fail "LED code 1" "on for ${d}0 ms"
    else
        fail "LED code 1" "line 8 never on; $(why led)"
    fi
    echo 255 >&5
    wait_value $(line 8) 1 5 && [ -e /proc/$pid_led ] || { fail "LED code 255" "line 8 never on; $(why led)"; return; }
    kill -TERM $pid_led
    expect_exit "LED blinker ends on SIGTERM" led $pid_led 0 ""
    exec 5>&-
    seen=$(levels_set 8)
    case "$seen" in
    *" 1 0 ") ok "the LED is switched off on SIGTERM" ;;
    *) fail "LED off on SIGTERM" "line 8 was set to: $seen" ;;
    esac
}

# A FIFO given as the map: each program refuses it at once (status 78,
# naming it) instead of blocking in open() for a writer that never comes.
check_fifo_map() {
    local prog name i=0
    mkfifo /tmp/map.fifo
    for prog in qor-driver-relay qora_led_driver qor-board-lines; do
        i=$((i + 1))
        name=fifo-$prog
        case $prog in
        qor-board-lines) qor-board-lines /tmp/map.fifo </dev/null >/tmp/$name.out 2>/tmp/$name.err & ;;
        qora_led_driver) QOR_BOARD_LINES=/tmp/map.fifo qora_led_driver 1 </dev/null >/tmp/$name.out 2>/tmp/$name.err & ;;
        *) QOR_BOARD_LINES=/tmp/map.fifo $prog </dev/null >/tmp/$name.out 2>/tmp/$name.err & ;;
        esac
        eval "pid_fifo$i=$!" # all three start at once: each start is seconds under emulation
    done
    i=0
    for prog in qor-driver-relay qora_led_driver qor-board-lines; do
        i=$((i + 1))
        eval "expect_exit \"\$prog: a FIFO as the map\" fifo-\$prog \$pid_fifo$i 78 /tmp/map.fifo"
    done
}

# Chip paths that are no GPIO chip give 78 whoever runs the program, and
# are never opened (a FIFO there would block the open).
check_not_a_chip() {
    local path user name n=0
    mkfifo /tmp/chip.fifo
    echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >/etc/passwd
    echo 'nogroup:x:65534:' >/etc/group
    for path in /dev/null /etc/passwd /tmp/chip.fifo /dev/zero; do
        n=$((n + 1))
        printf 'relay_0 %s:0\nrelay_1 %s:9\nkey_0 %s:10\nkey_1 %s:11\n' $path $chip $chip $chip \
            >/etc/qor-board/notchip$n.conf
        for user in root nobody; do
            name=notchip$n-$user
            if [ $user = root ]; then
                QOR_BOARD_LINES=/etc/qor-board/notchip$n.conf qor-driver-relay </dev/null \
                    >/tmp/$name.out 2>/tmp/$name.err &
            else
                su -s /bin/sh nobody -c "QOR_BOARD_LINES=/etc/qor-board/notchip$n.conf exec qor-driver-relay" \
                    </dev/null >/tmp/$name.out 2>/tmp/$name.err &
            fi
            eval "pid_$n$user=$!"
        done
    done
    n=0
    for path in /dev/null /etc/passwd /tmp/chip.fifo /dev/zero; do
        n=$((n + 1))
        for user in root nobody; do
            eval "expect_exit \"chip path \$path as \$user\" notchip\$n-\$user \$pid_$n$user 78 \"\$path\""
        done
    done
}

# wait_info <offset> <text> <seconds>: until gpioinfo shows it on the line.
wait_info() {
    local end=$(($(now) + $3 * 100))
    until gpioinfo -c $chip $1 | grep -qF -- "$2"; do
        [ "$(now)" -lt $end ] || return 1
        usleep 50000
    done
}

# debounce= in the map (libgpiod 2 only): the kernel filters a pulse shorter
# than the period, reports a longer one, and shows the period in gpioinfo.
check_debounce() {
    local n
    printf 'relay_0 %s:4\nrelay_1 %s:5\nkey_0 %s:6 debounce=500\nkey_1 %s:7\n' $chip $chip $chip $chip \
        >/etc/qor-board/debounce.conf
    pull 6 pull-down
    write_config ON_DELAY 10 TOGGLE 0
    driver debounce /etc/qor-board/debounce.conf 6
    expect_line /tmp/debounce.out '^shield_ready$' 60 || { fail "debounce driver banner" "$(why debounce)"; return; }
    wait_info 6 'debounce-period=500ms' 5 && ok "gpioinfo shows key_0's debounce of 500 ms" ||
        fail "debounce in gpioinfo" "$(gpioinfo -c $chip 6 | tr '\n' '|')"
    pull 6 pull-up
    pull 6 pull-down
    pull 6 pull-up
    if expect_line /tmp/debounce.out '^Key_0 state: 1$' 10 && pull 6 pull-down &&
        expect_line /tmp/debounce.out '^Key_0 state: 0$' 10; then
        n=$(grep -c '^Key_0 state: 1$' /tmp/debounce.out)
        [ "$n" = 1 ] && ok "a key pulse shorter than the debounce is not reported, a longer one is" ||
            fail "debounce" "$n reports of Key_0 pressed: $(grep Key_ /tmp/debounce.out | tr '\n' '|')"
    else
        fail "debounce" "the long pulse was not reported: $(grep Key_ /tmp/debounce.out | tr '\n' '|') $(why debounce)"
    fi
    kill -TERM $pid_debounce
    exec 6>&-
    expect_exit "debounce driver ends on SIGTERM" debounce $pid_debounce 0 ""
}

bench() {
    echo 0 >/sys/kernel/tracing/tracing_on
    printf 'relay_0 %s:12\nrelay_1 %s:13\nkey_0 %s:14\nkey_1 %s:15\n' \
        $chip $chip $chip $chip >/etc/qor-board/bench.conf
    local n=${QOR_BENCH_CALLS:-5000}
    QOR_BOARD_LINES=/etc/qor-board/bench.conf qor-board-calls gpiod $n 2>/tmp/bench.err ||
        fail "bench gpiod" "$(why bench)"
    LD_LIBRARY_PATH=/opt/qor-sim qor-board-calls sim $n 2>/dev/null || fail "bench sim" "status $?"
    LD_LIBRARY_PATH=/opt/qor-sim QOR_BOARD_TRACE=/tmp/bench.trace qor-board-calls sim+trace $n ||
        fail "bench sim with trace" "status $?"
}

run_checks() {
    setup_modules && setup_trace && new_chip k qor-kernel || return
    ok "gpio-sim chips on kernel $(uname -r)"
    check_kernel_side
    drop_chip k
    if grep -q qor.kernel-only /proc/cmdline; then
        echo done >/tmp/done
        return
    fi
    new_chip a qor-sim 2:door-key && new_chip b qor-b && new_chip led qor-led && new_chip range qor-range || return
    write_maps
    write_config ON_DELAY 10 TOGGLE 0
    use_chip a
    pull 1 pull-up
    use_chip led
    pull 8 pull-up
    mkfifo /tmp/led.in
    QOR_BOARD_LINES=/etc/qor-board/led.conf qora_led_driver 1 </tmp/led.in >/tmp/led.out 2>/tmp/led.err &
    exec 5>/tmp/led.in
    pid_led=$!
    wait_value $(line 8) 0 20 || fail "LED blinker start" "$(why led)"
    driver a /etc/qor-board/a.conf 3
    driver held /etc/qor-board/held.conf 0
    driver range /etc/qor-board/range.conf 0
    driver syntax /etc/qor-board/syntax.conf 0
    QOR_BOARD_LINES=/etc/qor-board/missing.conf qor-driver-relay </dev/null >/tmp/missing.out 2>/tmp/missing.err &
    pid_missing=$!
    # The settings are read before the banner's first line: B gets its own.
    # The board is touched only after the banner: line 0 still at its pull.
    expect_line /tmp/a.out '^#Relay_driver_v' 60
    use_chip a
    early=$(cat $(line 0))
    write_config OFF_DELAY 10 ON_DELAY 5
    driver b /etc/qor-board/b.conf 4
    checks_run_a
    drop_chip a
    use_chip b
    checks_run_b
    drop_chip b
    expect_exit "line held by the LED blinker" held $pid_held 69 \
        "qor-driver-relay: relay_0 ($chip_led line 8) is held by \"qora_led_driver\""
    expect_exit "missing map" missing $pid_missing 78 \
        'qor-driver-relay: /etc/qor-board/missing.conf: No such file or directory'
    expect_exit "offset out of range" range $pid_range 78 'qor-driver-relay: /etc/qor-board/range.conf:2: relay_0: '
    expect_exit "syntax error" syntax $pid_syntax 78 'qor-driver-relay: /etc/qor-board/syntax.conf:3: '
    drop_chip range
    use_chip led
    checks_led
    drop_chip led
    new_chip refuse qor-refuse || return
    check_fifo_map
    check_not_a_chip
    drop_chip refuse
    if [ $tools = 2 ]; then
        new_chip debounce qor-debounce || return
        check_debounce
        drop_chip debounce
    fi
    new_chip bench qor-bench || return
    bench
    drop_chip bench
    echo done >/tmp/done
}

: >$results
run_checks
passed=$(grep -c '^ok ' $results)
failed=$(grep -c '^FAIL ' $results)
[ -e /tmp/done ] || { echo "FAIL checks: stopped early"; failed=$((failed + 1)); }
if [ "$failed" = 0 ]; then
    echo "QOR-KERNEL-TEST: PASS $passed/$passed"
else
    dmesg | tail -n 20
    echo "QOR-KERNEL-TEST: FAIL $failed/$((passed + failed))"
fi
poweroff -f
