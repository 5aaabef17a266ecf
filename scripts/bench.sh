#!/usr/bin/env bash
# Builds the relay driver, the LED blinker and the benchmark natively (Release)
# and runs the benchmark: both programs on the simulated board, timed and
# costed, printed as one table. A full run takes about 90 s after the build;
# run it on an otherwise quiet machine. Arguments go to the benchmark
# (--quick: the pass of about 15 s that scripts/test.sh runs; --help lists the
# rest). The figures' targets are shown, never enforced: it exits non-zero
# only when a program does not start or a figure cannot be taken at all.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh run
# The "bench" preset of CMakePresets.json: build/bench, Release, with the
# test kit.
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)" >/dev/null

# The programs run in private mount and network namespaces: as root, or in a
# user namespace of their own (see the test kit).
exec build/bench/tools/bench/qor-bench "$@"
