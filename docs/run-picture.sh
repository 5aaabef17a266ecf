#!/usr/bin/env bash
# Makes docs/run.png, the picture in the README: a real run of the relay
# driver on the simulated board through scripts/run.sh with the example
# configuration ("open 0" pulses relay 0 on for 3 s, "open 1" toggles relay
# 1, then key 0 is pressed for 0.8 s), turned into build/run.vcd by
# qor-board-vcd and shown by GTKWave on a virtual X server.
# Needs root (as scripts/run.sh) and: apt-get install gtkwave xvfb x11-apps netpbm
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in gtkwave xvfb-run xwd xwdtopnm pnmtopng; do
    if ! command -v "$tool" >/dev/null; then
        echo "run-picture.sh: $tool is missing (apt-get install gtkwave xvfb x11-apps netpbm)" >&2
        exit 1
    fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The session, typed and pressed at these times after the banner.
mkfifo "$tmp/in"
scripts/run.sh <"$tmp/in" >"$tmp/out" 2>"$tmp/err" &
run=$!
exec 3>"$tmp/in"
until grep -qx shield_ready "$tmp/out"; do
    if ! kill -0 $run 2>/dev/null; then
        cat "$tmp/err" >&2
        exit 1
    fi
    sleep 0.1
done
sleep 1
echo "open 0" >&3
sleep 4
echo "open 1" >&3
sleep 1
echo 1 >build/keys/key0
sleep 0.8
echo 0 >build/keys/key0
sleep 1
kill -TERM $run
wait $run || true
exec 3>&-
build/native/tools/qor-board-vcd/qor-board-vcd build/run.trace -o build/run.vcd

# GTKWave shows the whole run; once its window is there and drawn, the
# virtual screen is taken.
cat >"$tmp/view.tcl" <<TCL
gtkwave::addSignalsFromList {board.relay_0 board.relay_1 board.key_0 board.key_1 board.LED}
gtkwave::/Time/Zoom/Zoom_Full
TCL
cat >"$tmp/shoot.sh" <<SH
gtkwave --rcvar "hide_sst on" -S "$tmp/view.tcl" build/run.vcd >"$tmp/gtkwave.log" 2>&1 &
for i in \$(seq 100); do
    xwd -name "GTKWave - build/run.vcd" -silent -out /dev/null 2>/dev/null && break
    sleep 0.2
done
sleep 1
xwd -root -silent -out "$tmp/shot.xwd"
kill \$!
SH
xvfb-run -a -s "-screen 0 1000x262x24" sh "$tmp/shoot.sh"
xwdtopnm "$tmp/shot.xwd" 2>/dev/null | pnmtopng -compression 9 >docs/run.png
echo "run-picture.sh: docs/run.png made from build/run.vcd" >&2
