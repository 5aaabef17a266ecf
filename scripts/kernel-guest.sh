#!/bin/busybox sh
# /init of the kernel rounds' guest (scripts/kernel-test.sh puts it there):
# starts the release's own udevd with the GPIO board's udev rule, then runs
# the relay driver, the LED blinker and qor-board-lines on gpio-sim chips
# with the GPIO board library, as "intercom", a user in the group gpio that
# the rule gives the chips to, and checks what the lines and the programs
# show. Every check prints "ok <name>" or "FAIL <name>: <why>"; the last line
# is the one result line the host reads, then the guest powers off.
#
# Each check runs in a subshell of its own (check): the chips it makes and
# the programs it starts are torn down on its way out, whatever happened, and
# it starts with an empty gpio_value trace. So a fault is reported by the
# check that met it and never leaves a line held for the next one.
/bin/busybox --install -s /bin
echo # past the firmware's escape sequences on the console
export PATH=/usr/bin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
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
    until grep -qE "$2" "$1" 2>/dev/null; do
        [ "$(now)" -lt $end ] || return 1
        usleep 50000
    done
}

# running <pid>: the process has not ended (a zombie has).
running() {
    local state
    [ -e /proc/$1/stat ] || return 1
    read -r _ _ state _ </proc/$1/stat
    [ "$state" != Z ]
}

# wait_exit <pid> <seconds>: its exit status, or 255 (after killing it) when
# it still runs at the deadline.
wait_exit() {
    local end=$(($(now) + $2 * 100))
    while running $1; do
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

# --- checks -------------------------------------------------------------------
# check <function>: runs it in a subshell that tears down, on any way out,
# what start and new_chip recorded: the programs are stopped (SIGTERM, then
# SIGKILL) and waited for, then the chips removed.
check() {
    local t0
    t0=$(now)
    (
        started= chips=
        trap teardown EXIT
        echo 1 >/sys/kernel/tracing/tracing_on
        : >/sys/kernel/tracing/trace
        "$@"
    )
    # The teardown ran: no chip of the check is left.
    [ -z "$(ls /sys/kernel/config/gpio-sim)" ] || fail "$1" "left chips behind: $(ls /sys/kernel/config/gpio-sim)"
    t0=$(($(now) - t0))
    echo "time $1: $((t0 / 100)).$((t0 / 10 % 10)) s"
}

teardown() {
    local p c
    for p in $started; do kill -TERM $p 2>/dev/null; done
    for p in $started; do wait_exit $p 10 >/dev/null 2>&1; done
    for c in $chips; do drop_chip $c; done
}

# start <name> <user> <stdin> <command> [<arg>...]: runs the command in the
# background as the user (root: as is), output in /tmp/<name>.out and .err;
# its pid in pid_<name>, and torn down with the check.
start() {
    local name=$1 user=$2 in=$3
    shift 3
    if [ $user = root ]; then
        "$@" <$in >/tmp/$name.out 2>/tmp/$name.err &
    else
        su -s /bin/sh $user -c "exec $(quoted "$@")" <$in >/tmp/$name.out 2>/tmp/$name.err &
    fi
    eval "pid_$(echo $name | tr -c 'a-zA-Z0-9_\n' _)=$!"
    started="$started $!"
}

# as <user> <command> [<arg>...]: runs it as the user in the foreground.
as() {
    local user=$1
    shift
    if [ $user = root ]; then "$@"; else su -s /bin/sh $user -c "exec $(quoted "$@")"; fi
}

# quoted <word>...: the words quoted for sh -c (busybox su reads any
# option-like word after the user as its own).
quoted() {
    local w
    for w; do printf "'%s' " "$(printf '%s' "$w" | sed "s/'/'\\\\''/g")"; done
}

# input_fifo <name>: /tmp/<name>.in, a FIFO held open by a sleeping writer,
# so that the program reading it sees no end of input (commands: to_driver).
input_fifo() {
    mkfifo /tmp/$1.in
    sleep 100000 >/tmp/$1.in &
    started="$started $!"
}

# driver <name> <user> <map>: the relay driver with the map, its standard
# input such a FIFO.
driver() {
    input_fifo $1
    start $1 $2 /tmp/$1.in env QOR_BOARD_LINES=$3 qor-driver-relay
}

to_driver() { echo "$2" >/tmp/$1.in; }

# blinker <name> <user> <map> <code>: the LED blinker the same way.
blinker() {
    input_fifo $1
    start $1 $2 /tmp/$1.in env QOR_BOARD_LINES=$3 qora_led_driver $4
}

# expect_exit <check> <name> <pid> <status> [<text>...]: the program ended
# with the status and said each text on standard error.
expect_exit() {
    local st check=$1 name=$2 pid=$3 want=$4 text
    wait_exit $pid 30
    st=$?
    shift 4
    if [ $st != $want ]; then
        fail "$check" "exit status $st, not $want; stderr: $(why $name)"
        return 1
    fi
    for text; do
        grep -qF -- "$text" /tmp/$name.err || { fail "$check" "no \"$text\" on stderr: $(why $name)"; return 1; }
    done
    ok "$check (status $want)"
}

# --- the chips --------------------------------------------------------------
setup_modules() {
    local m
    for m in configfs irq_sim gpio-sim; do
        insmod /lib/modules/$m.ko || { fail modules "insmod $m.ko: $(dmesg | tail -n 3)"; return 1; }
    done
    mount -t configfs configfs /sys/kernel/config
}

# new_chip <id> <label> [<offset>:<line name>]...: a live chip of 16 lines;
# its name, sysfs folder and first global line number in chip_<id>,
# sim_<id> and base_<id>, and made the current chip (use_chip). Once udevd
# runs, the chip's device must get the group gpio and mode 0660 (hot-plug).
new_chip() {
    local id=$1 label=$2 cfg=/sys/kernel/config/gpio-sim/$1 spec c s b
    shift 2
    mkdir $cfg || { fail "chip $id" "configfs: $(dmesg | tail -n 3)"; return 1; }
    chips="$chips $id"
    mkdir $cfg/bank0 && echo 16 >$cfg/bank0/num_lines && echo $label >$cfg/bank0/label ||
        { fail "chip $id" "configfs: $(dmesg | tail -n 3)"; return 1; }
    for spec; do
        mkdir $cfg/bank0/line${spec%%:*} && echo ${spec#*:} >$cfg/bank0/line${spec%%:*}/name ||
            { fail "chip $id" "line name $spec"; return 1; }
    done
    echo 1 >$cfg/live || { fail "chip $id" "live: $(dmesg | tail -n 3)"; return 1; }
    # On the ARM virt boards the PL061 is a GPIO chip too: the name comes from configfs.
    c=$(cat $cfg/bank0/chip_name)
    s=/sys/devices/platform/$(cat $cfg/dev_name)/$c
    [ -e $s/sim_gpio15/value ] || { fail "chip $id" "no $s/sim_gpio15"; return 1; }
    b=$(sed -n "s/^$c: GPIOs \([0-9]*\)-.*/\1/p" /sys/kernel/debug/gpio)
    [ -n "$b" ] || { fail "chip $id" "no base of $c in debugfs"; return 1; }
    if [ -e /run/udev/control ]; then
        wait_rights /dev/$c 10 || { fail "chip $id" "udev gave /dev/$c $(rights /dev/$c), not gpio 660"; return 1; }
    fi
    eval "chip_$id=$c sim_$id=$s base_$id=$b"
    use_chip $id
}

use_chip() { eval "chip=\$chip_$1 sim=\$sim_$1 base=\$base_$1"; }

drop_chip() {
    local cfg=/sys/kernel/config/gpio-sim/$1
    [ -d $cfg ] || return 0
    [ "$(cat $cfg/live)" = 0 ] || echo 0 >$cfg/live || { fail "chip $1" "not taken down (a line still held?)"; return 1; }
    rmdir $cfg/bank0/line* 2>/dev/null
    rmdir $cfg/bank0 2>/dev/null
    rmdir $cfg || fail "chip $1" "not removed"
}

# rights <device>: its group and mode; wait_rights <device> <seconds>: until
# they are the rule's.
rights() { stat -c '%G %a' $1; }
wait_rights() {
    local end=$(($(now) + $2 * 100))
    until [ "$(rights $1)" = "gpio 660" ]; do
        [ "$(now)" -lt $end ] || return 1
        usleep 20000
    done
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

# periods <offset> <level>: the lengths, in centiseconds and oldest first, of
# the times the line was set to the level and then set back, by the trace's
# time stamps: exact however late this shell looks at the line.
periods() {
    grep " gpio_value: $((base + $1)) set [01]" /sys/kernel/tracing/trace | awk -v want=$2 '{
        for (i = 2; i <= NF; i++) if ($i == "gpio_value:") { t = $(i - 1); sub(/:$/, "", t); v = $(i + 3) }
        if (v == want && !on) { on = 1; t0 = t } else if (v != want && on) { on = 0; printf "%d\n", (t - t0) * 100 }
    }'
}

# first_period <offset> <level> <seconds>: waits for the first such period.
first_period() {
    local d end=$(($(now) + $3 * 100))
    until d=$(periods $1 $2 | head -n 1); [ -n "$d" ]; do
        [ "$(now)" -lt $end ] || return 1
        usleep 50000
    done
    echo $d
}

# --- users and udev -----------------------------------------------------------
# The programs run as "intercom", in the group gpio; "outsider" is in no
# group that may use the chips.
setup_users() {
    cat >/etc/passwd <<EOF
root:x:0:0:root:/:/bin/sh
intercom:x:1000:1000:intercom:/tmp:/bin/sh
outsider:x:1001:1001:outsider:/tmp:/bin/sh
nobody:x:65534:65534:nobody:/:/bin/sh
EOF
    cat >/etc/group <<EOF
root:x:0:
gpio:x:990:intercom
intercom:x:1000:
outsider:x:1001:
nogroup:x:65534:
EOF
    case " $(as intercom id -Gn) " in
    *" gpio "*) ok "intercom runs in the group gpio" ;;
    *) fail users "intercom is not in gpio: $(as intercom id 2>&1)"; return 1 ;;
    esac
}

# The release's systemd-udevd with the package's rule: a chip made before
# it started gets its rights from the trigger (coldplug), every later one
# when it appears (hot-plug, checked by new_chip).
setup_udev() {
    local d=/usr/lib/systemd/systemd-udevd
    [ -x $d ] || { fail udevd "no $d in the guest"; return 1; }
    [ -e /usr/lib/udev/rules.d/60-libqor-board-gpiod1.rules ] || { fail udevd "the rule is not installed"; return 1; }
    $d --daemon 2>/tmp/udevd.err || { fail udevd "did not start: $(why udevd)"; return 1; }
    udevadm trigger --action=add --subsystem-match=gpio && udevadm settle -t 30 ||
        { fail udevd "trigger: $(why udevd)"; return 1; }
    if [ "$(rights /dev/$chip)" = "gpio 660" ]; then
        ok "udevd $(udevadm --version) gives the chip made before it group gpio, mode 0660"
    else
        fail udevd "/dev/$chip is $(rights /dev/$chip) after the trigger"
        return 1
    fi
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

# get <user> <chip> <offset>: the line's value, 0 or 1.
get() {
    if [ $tools = 1 ]; then as $1 gpioget $2 $3; else as $1 gpioget -c $2 --numeric $3; fi
}

# The kernel side alone, with libgpiod's own tools run as intercom: an
# output reaches the line, an input follows its pull.
check_kernel_side() {
    local v pid
    set_for $chip 14 1 300 &
    pid=$!
    if wait_value $(line 14) 1 10; then ok "gpioset (libgpiod $tools) drives a sim line"; else fail "gpioset" "line 14 never read 1"; fi
    wait $pid
    pull 15 pull-up
    v=$(get intercom $chip 15)
    pull 15 pull-down
    [ "$v" = 1 ] && [ "$(get root $chip 15)" = 0 ] && ok "gpioget reads the pull (as intercom, then as root)" ||
        fail gpioget "read $v"
}

# --- programs -----------------------------------------------------------------
write_config() { # <relay 0 type> <ticks> <relay 1 type> <ticks>
    cat >/etc/qor-driver/relay-conf.json <<EOF
{ "Rel": [ { "PinOutType": "$1", "counterCycle": $2 },
           { "PinOutType": "$3", "counterCycle": $4 } ] }
EOF
}

# column <file> <heading> <first field>: that row's value in that column of
# qor-board-lines' table.
column() {
    awk -v h="$2" -v r="$3" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == h) c = i; next }
        $1 == r && c { print $c }' "$1"
}

# Driver A: an active-low pulse relay, a relay on the chip's label, a key by
# line name and one with a pull-up.
check_driver_a() {
    local d early
    new_chip a qor-sim 2:door-key || return
    cat >/etc/qor-board/a.conf <<EOF
# run A: active-low pulse relay, a relay on the chip's label, a key by name
relay_0  $chip_a:0  active-low
relay_1  qor-sim:1
key_0    door-key  active-low   # line 2
key_1    /dev/$chip_a:3  pull-up
EOF
    write_config ON_DELAY 10 TOGGLE 0
    pull 1 pull-up
    driver a intercom /etc/qor-board/a.conf
    # The board is touched only after the banner: line 0 still at its pull.
    expect_line /tmp/a.out '^#Relay_driver_v' 60 || { fail "driver A banner" "$(why a)"; return; }
    early=$(cat $(line 0))
    expect_line /tmp/a.out '^shield_ready$' 60 || { fail "driver A banner" "$(why a)"; return; }
    ok "driver A banner"
    # Line 1 rests at pull-up until the driver drives its inactive 0.
    if [ "$early" = 0 ] && wait_value $(line 0) 1 10 && wait_value $(line 1) 0 10; then
        ok "resting levels after the banner: ON_DELAY active-low 1, TOGGLE 0"
    else
        fail "resting levels A" "lines 0 and 1 read $(cat $(line 0)) $(cat $(line 1)), line 0 $early during the banner; $(why a)"
    fi
    [ "$(cat $sim/sim_gpio3/pull)" = pull-up ] && ok "key_1 requested with its pull-up" ||
        fail "key_1 bias" "line 3 pull is $(cat $sim/sim_gpio3/pull)"
    # key_0 is active-low at pull-down: it reads pressed at start (silently).
    pull 2 pull-up
    expect_line /tmp/a.out '^Key_0 state: 0$' 5 && pull 2 pull-down &&
        expect_line /tmp/a.out '^Key_0 state: 1$' 5 && ok "key_0 by line name, active-low: reports 0 then 1" ||
        fail "key_0 reports" "$(grep Key_ /tmp/a.out | tr '\n' '|')"
    pull 3 pull-down
    expect_line /tmp/a.out '^Key_1 state: 0$' 5 && pull 3 pull-up &&
        expect_line /tmp/a.out '^Key_1 state: 1$' 5 && ok "key_1 with pull-up: reports 0 then 1" ||
        fail "key_1 reports" "$(grep Key_ /tmp/a.out | tr '\n' '|')"
    to_driver a "open 0"
    d=$(first_period 0 0 15)
    if [ -n "$d" ] && [ "$d" -ge 70 ] && [ "$d" -le 300 ]; then
        ok "open 0: active-low pulse of 10 ticks lasted ${d}0 ms"
    else
        fail "open 0 pulse" "length '${d}' cs, line 0 reads $(cat $(line 0))"
    fi
    to_driver a "open 1"
    if wait_value $(line 1) 1 5; then
        to_driver a "21"
        wait_value $(line 1) 0 5 && ok "open 1 and 21 toggle relay 1 on and off" ||
            fail "toggle off" "line 1 stays 1"
    else
        fail "toggle on" "line 1 stays 0"
    fi
    [ "$(cat $(line 0))" = 1 ] && ok "relay 0 stays at rest meanwhile" || fail "relay 0 rest" "line 0 is active"
    kill -TERM $pid_a
    expect_exit "driver A ends on SIGTERM" a $pid_a 0
}

# qor-board-lines, as intercom, on a map of all five signals while a relay
# driver and the LED blinker hold their lines: chips, labels, offsets,
# names, holders and the caller's access.
check_lines_command() {
    local st
    new_chip lines qor-lines 2:door-key && new_chip led qor-led || return
    printf 'relay_0 %s:0 active-low\nrelay_1 qor-lines:1\nkey_0 door-key\nkey_1 %s:3\n' \
        $chip_lines $chip_lines >/etc/qor-board/lines-driver.conf
    echo "led $chip_led:8" >/etc/qor-board/lines-led.conf
    { cat /etc/qor-board/lines-driver.conf; echo "led $chip_led:8"; } >/etc/qor-board/lines.conf
    write_config ON_DELAY 10 TOGGLE 0
    driver lines-driver intercom /etc/qor-board/lines-driver.conf
    blinker lines-led intercom /etc/qor-board/lines-led.conf 1
    expect_line /tmp/lines-driver.out '^shield_ready$' 60 || { fail "qor-board-lines" "no driver: $(why lines-driver)"; return; }
    use_chip lines
    wait_value $(line 0) 1 10 || { fail "qor-board-lines" "the driver never set relay_0 to rest"; return; }
    use_chip led
    wait_value $(line 8) 1 20 || { fail "qor-board-lines" "the LED never went on: $(why lines-led)"; return; }
    as intercom qor-board-lines /etc/qor-board/lines.conf >/tmp/lines.out 2>/tmp/lines.err
    st=$?
    if [ $st = 0 ] && grep -qE "^relay_0 +$chip_lines +qor-lines +0 .* qor-driver-relay " /tmp/lines.out &&
        grep -qE "^key_0 +$chip_lines +qor-lines +2 +door-key .* qor-driver-relay " /tmp/lines.out &&
        grep -qE "^led +$chip_led +qor-led +8 .* qora_led_driver " /tmp/lines.out; then
        ok "qor-board-lines as intercom shows the lines, their names and holders"
    else
        fail "qor-board-lines" "status $st: $(tr '\n' '|' </tmp/lines.out) $(why lines)"
    fi
    [ "$(column /tmp/lines.out ACCESS relay_0)$(column /tmp/lines.out ACCESS led)" = yesyes ] &&
        ok "qor-board-lines: ACCESS yes for intercom" ||
        fail "qor-board-lines access" "$(tr '\n' '|' </tmp/lines.out)"
}

# Driver B: SIGTERM in the middle of the 10-tick OFF_DELAY pulse sets the
# line back to 1 before the process ends.
check_driver_b() {
    local seen
    new_chip b qor-b || return
    printf 'relay_0 %s:4\nrelay_1 %s:5 active-low\nkey_0 %s:6\nkey_1 %s:7 pull-down\n' \
        $chip $chip $chip $chip >/etc/qor-board/b.conf
    write_config OFF_DELAY 10 ON_DELAY 5
    driver b intercom /etc/qor-board/b.conf
    expect_line /tmp/b.out '^shield_ready$' 60 || { fail "driver B banner" "$(why b)"; return; }
    if wait_value $(line 4) 1 10 && wait_value $(line 5) 1 10; then
        ok "resting levels: OFF_DELAY 1, ON_DELAY active-low 1"
    else
        fail "resting levels B" "lines 4 and 5 read $(cat $(line 4)) $(cat $(line 5)); $(why b)"
        return
    fi
    to_driver b "open 0"
    wait_value $(line 4) 0 5 || { fail "driver B pulse" "line 4 never went 0"; return; }
    kill -TERM $pid_b
    expect_exit "driver B ends on SIGTERM mid-pulse" b $pid_b 0 || return
    seen=$(levels_set 4)
    case "$seen" in
    *" 0 1 ") [ $(echo "$seen" | grep -o 0 | wc -l) -lt 10 ] &&
        ok "the pulse relay is set back to rest before the driver ends" ||
        fail "rest on SIGTERM" "the pulse ran its full length: $seen" ;;
    *) fail "rest on SIGTERM" "line 4 was set to: $seen" ;;
    esac
}

# Maps that are wrong: each driver ends at once with 78 naming the fault.
check_bad_maps() {
    local c
    new_chip range qor-range || return
    c=$chip
    printf '# offset past the last line\nrelay_0 %s:16\nrelay_1 %s:9\nkey_0 %s:10\nkey_1 %s:11\n' \
        $c $c $c $c >/etc/qor-board/range.conf
    printf 'relay_0 %s:12\n\nrelay_1\nkey_0 %s:10\nkey_1 %s:11\n' $c $c $c >/etc/qor-board/syntax.conf
    write_config ON_DELAY 10 TOGGLE 0
    # All at once: each start is seconds under emulation.
    start range intercom /dev/null env QOR_BOARD_LINES=/etc/qor-board/range.conf qor-driver-relay
    start syntax intercom /dev/null env QOR_BOARD_LINES=/etc/qor-board/syntax.conf qor-driver-relay
    start missing intercom /dev/null env QOR_BOARD_LINES=/etc/qor-board/missing.conf qor-driver-relay
    expect_exit "missing map" missing $pid_missing 78 \
        'qor-driver-relay: /etc/qor-board/missing.conf: No such file or directory'
    expect_exit "offset out of range" range $pid_range 78 'qor-driver-relay: /etc/qor-board/range.conf:2: relay_0: '
    expect_exit "syntax error" syntax $pid_syntax 78 'qor-driver-relay: /etc/qor-board/syntax.conf:3: '
}

# The LED blinker: code 1's blink, a driver refused the line it holds,
# code 255, and the LED off on SIGTERM.
check_led() {
    local d seen c
    new_chip led qor-led || return
    c=$chip
    pull 8 pull-up
    echo "led $c:8" >/etc/qor-board/led.conf
    printf 'relay_0 %s:8\nrelay_1 %s:9\nkey_0 %s:10\nkey_1 %s:11\n' $c $c $c $c >/etc/qor-board/held.conf
    blinker led intercom /etc/qor-board/led.conf 1
    wait_value $(line 8) 0 20 || { fail "LED blinker start" "$(why led)"; return; }
    write_config ON_DELAY 10 TOGGLE 0
    start held intercom /dev/null env QOR_BOARD_LINES=/etc/qor-board/held.conf qor-driver-relay
    if d=$(first_period 8 1 20); then
        [ $d -ge 20 ] && [ $d -le 150 ] && ok "LED code 1: on for ${d}0 ms, then off" ||
            fail "LED code 1" "on for ${d}0 ms"
    else
        fail "LED code 1" "line 8 never on and off; $(why led)"
    fi
    expect_exit "line held by the LED blinker" held $pid_held 69 \
        "qor-driver-relay: relay_0 ($c line 8) is held by \"qora_led_driver\""
    echo 255 >/tmp/led.in
    wait_value $(line 8) 1 5 && running $pid_led || { fail "LED code 255" "line 8 never on; $(why led)"; return; }
    kill -TERM $pid_led
    expect_exit "LED blinker ends on SIGTERM" led $pid_led 0 || return
    seen=$(levels_set 8)
    case "$seen" in
    *" 1 0 ") ok "the LED is switched off on SIGTERM" ;;
    *) fail "LED off on SIGTERM" "line 8 was set to: $seen" ;;
    esac
}

# A FIFO given as the map: each program refuses it at once (status 78,
# naming it) instead of blocking in open() for a writer that never comes.
check_fifo_map() {
    mkfifo /tmp/map.fifo
    # All three at once: each start is seconds under emulation.
    start fifo-relay intercom /dev/null env QOR_BOARD_LINES=/tmp/map.fifo qor-driver-relay
    start fifo-led intercom /dev/null env QOR_BOARD_LINES=/tmp/map.fifo qora_led_driver 1
    start fifo-lines intercom /dev/null qor-board-lines /tmp/map.fifo
    expect_exit "qor-driver-relay: a FIFO as the map" fifo-relay $pid_fifo_relay 78 /tmp/map.fifo
    expect_exit "qora_led_driver: a FIFO as the map" fifo-led $pid_fifo_led 78 /tmp/map.fifo
    expect_exit "qor-board-lines: a FIFO as the map" fifo-lines $pid_fifo_lines 78 /tmp/map.fifo
}

# Chip paths that are no GPIO chip give 78 whoever runs the program, and
# are never opened (a FIFO there would block the open).
check_not_a_chip() {
    local path user name n=0
    new_chip refuse qor-refuse || return
    mkfifo /tmp/chip.fifo
    for path in /dev/null /etc/passwd /tmp/chip.fifo /dev/zero; do
        n=$((n + 1))
        printf 'relay_0 %s:0\nrelay_1 %s:9\nkey_0 %s:10\nkey_1 %s:11\n' $path $chip $chip $chip \
            >/etc/qor-board/notchip$n.conf
        for user in root nobody; do
            start notchip$n-$user $user /dev/null env QOR_BOARD_LINES=/etc/qor-board/notchip$n.conf qor-driver-relay
        done
    done
    n=0
    for path in /dev/null /etc/passwd /tmp/chip.fifo /dev/zero; do
        n=$((n + 1))
        for user in root nobody; do
            eval "expect_exit \"chip path \$path as \$user\" notchip\$n-\$user \$pid_notchip${n}_$user 78 \"\$path\""
        done
    done
}

# refused <check> <name> <pid> <chip>: the program ended with 77 and one
# line of its standard error names the chip, the cause and the group gpio.
refused() {
    expect_exit "$1" $2 $3 77 || return
    grep -F "$4" /tmp/$2.err | grep -F "Permission denied" | grep -qF "group gpio" && ok "$1: says what to do" ||
        fail "$1" "no line with \"$4\", \"Permission denied\" and \"group gpio\": $(why $2)"
}

# A user outside the group gpio: each program ends with 77 and says what
# to do, for a chip named by path and one found by its label; the checker
# shows no access.
check_no_access() {
    local c
    new_chip deny qor-deny || return
    c=$chip
    printf 'relay_0 %s:0\nrelay_1 %s:1\nkey_0 %s:2\nkey_1 %s:3\nled %s:8\n' $c $c $c $c $c >/etc/qor-board/deny.conf
    printf 'relay_0 qor-deny:0\nrelay_1 qor-deny:1\nkey_0 qor-deny:2\nkey_1 qor-deny:3\n' >/etc/qor-board/deny-label.conf
    echo "led $c:8" >/etc/qor-board/deny-led.conf
    write_config ON_DELAY 10 TOGGLE 0
    start deny outsider /dev/null env QOR_BOARD_LINES=/etc/qor-board/deny.conf qor-driver-relay
    start deny-label outsider /dev/null env QOR_BOARD_LINES=/etc/qor-board/deny-label.conf qor-driver-relay
    start deny-led outsider /dev/null env QOR_BOARD_LINES=/etc/qor-board/deny-led.conf qora_led_driver 1
    start deny-lines outsider /dev/null qor-board-lines /etc/qor-board/deny.conf
    refused "relay driver as a user outside gpio" deny $pid_deny $c
    refused "relay driver as a user outside gpio, chip by label" deny-label $pid_deny_label $c
    refused "LED blinker as a user outside gpio" deny-led $pid_deny_led $c
    refused "qor-board-lines as a user outside gpio" deny-lines $pid_deny_lines $c &&
        { [ "$(column /tmp/deny-lines.out ACCESS relay_0)" = no ] && ok "qor-board-lines: ACCESS no for outsider" ||
            fail "qor-board-lines access" "$(tr '\n' '|' </tmp/deny-lines.out)"; }
    # Nothing of it reached the lines.
    [ "$(levels_set 0)$(levels_set 1)$(levels_set 8)" = "" ] && ok "the refused programs set no line" ||
        fail "refused programs" "lines were set"
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
    new_chip debounce qor-debounce || return
    printf 'relay_0 %s:4\nrelay_1 %s:5\nkey_0 %s:6 debounce=500\nkey_1 %s:7\n' $chip $chip $chip $chip \
        >/etc/qor-board/debounce.conf
    pull 6 pull-down
    write_config ON_DELAY 10 TOGGLE 0
    driver debounce intercom /etc/qor-board/debounce.conf
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
    expect_exit "debounce driver ends on SIGTERM" debounce $pid_debounce 0
}

# checker_runs <name> <at least> <at most> <ready file>: qor-board-lines runs
# one after another as intercom, at least that many and on until the driver
# has its lines (the file exists); each status goes to /tmp/race.statuses,
# a failed run's output is kept.
checker_runs() {
    local n=0 st
    while [ $n -lt $3 ] && { [ $n -lt $2 ] || [ ! -e $4 ]; }; do
        n=$((n + 1))
        as intercom qor-board-lines /etc/qor-board/race.conf >/tmp/$1-$n.out 2>/tmp/$1-$n.err
        st=$?
        echo $st >>/tmp/race.statuses
        [ $st != 0 ] || rm -f /tmp/$1-$n.out /tmp/$1-$n.err
    done
}

# driver_holds <pid> <seconds>: until relay_0 (line 0, pulled up) rests at
# the 0 the driver sets, or the driver has ended.
driver_holds() {
    local end=$(($(now) + $2 * 100))
    until [ "$(cat $(line 0))" = 0 ]; do
        running $1 && [ "$(now)" -lt $end ] || return 1
        usleep 20000
    done
}

# Checker runs beside a relay driver that starts at the same moment, four
# at a time: the driver gets its lines every time and no run fails, neither
# by the driver nor by another run. Five driver starts (at least 100 runs)
# unless the kernel's command line says qor.starts=<n>.
check_checker_beside_starts() {
    local i=0 j p pids starts runs bad
    starts=$(sed -n 's/.*qor\.starts=\([0-9]*\).*/\1/p' /proc/cmdline)
    starts=${starts:-5}
    new_chip race qor-race || return
    printf 'relay_0 %s:0\nrelay_1 %s:1\nkey_0 %s:2\nkey_1 %s:3 pull-up\nled %s:8\n' $chip $chip $chip $chip $chip \
        >/etc/qor-board/race.conf
    pull 0 pull-up
    write_config ON_DELAY 10 TOGGLE 0
    : >/tmp/race.statuses
    while [ $i -lt $starts ]; do
        i=$((i + 1))
        rm -f /tmp/race.ready
        driver race$i intercom /etc/qor-board/race.conf
        pids=
        for j in 1 2 3 4; do
            checker_runs race$i-$j 5 15 /tmp/race.ready &
            pids="$pids $!"
            started="$started $!"
        done
        # relay_0 rests at 0 against its pull-up once the driver holds it.
        eval "p=\$pid_race$i"
        driver_holds $p 60
        touch /tmp/race.ready
        for j in $pids; do wait_exit $j 120 >/dev/null; done
        running $p && [ "$(cat $(line 0))" = 0 ] ||
            { fail "driver start beside qor-board-lines" "start $i: $(why race$i)"; return; }
        kill -TERM $p
        expect_exit "driver start $i beside qor-board-lines, stopped" race$i $p 0 || return
    done
    runs=$(wc -l </tmp/race.statuses)
    bad=$(grep -vcx 0 /tmp/race.statuses)
    if [ "$runs" -ge $((starts * 20)) ] && [ "$bad" = 0 ]; then
        ok "$starts driver starts beside $runs qor-board-lines runs, 4 at a time: no failure"
    else
        fail "qor-board-lines beside driver starts" "$bad of $runs runs failed: $(cat /tmp/race*-*.err 2>/dev/null | sort | uniq -c | head -n 3 | tr '\n' '|')"
    fi
}

check_bench() {
    new_chip bench qor-bench || return
    echo 0 >/sys/kernel/tracing/tracing_on
    printf 'relay_0 %s:12\nrelay_1 %s:13\nkey_0 %s:14\nkey_1 %s:15\n' \
        $chip $chip $chip $chip >/etc/qor-board/bench.conf
    local n=${QOR_BENCH_CALLS:-5000}
    as intercom env QOR_BOARD_LINES=/etc/qor-board/bench.conf qor-board-calls gpiod $n 2>/tmp/bench.err ||
        fail "bench gpiod" "$(why bench)"
    LD_LIBRARY_PATH=/opt/qor-sim qor-board-calls sim $n 2>/dev/null || fail "bench sim" "status $?"
    LD_LIBRARY_PATH=/opt/qor-sim QOR_BOARD_TRACE=/tmp/bench.trace qor-board-calls sim+trace $n ||
        fail "bench sim with trace" "status $?"
}

run_checks() {
    setup_modules && setup_trace || return
    # The first chip is made before udevd starts: the trigger gives it its rights.
    chips=
    new_chip k qor-kernel || return
    ok "gpio-sim chips on kernel $(uname -r)"
    setup_users && setup_udev || return
    gpiod_tools
    check_kernel_side
    drop_chip k
    if grep -q qor.kernel-only /proc/cmdline; then
        echo done >/tmp/done
        return
    fi
    mkdir -p /etc/qor-driver
    check check_driver_a
    check check_lines_command
    check check_driver_b
    check check_bad_maps
    check check_led
    check check_fifo_map
    check check_not_a_chip
    check check_no_access
    [ $tools = 1 ] || check check_debounce
    check check_checker_beside_starts
    check check_bench
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
