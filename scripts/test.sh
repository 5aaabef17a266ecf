#!/usr/bin/env bash
# Builds everything and runs all tests: natively, then cross-built for 32-bit
# ARM and run through qemu-arm.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test
jobs=$(nproc)

step() { printf '\n==== %s ====\n' "$*"; }

step "native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_WERROR=ON
cmake --build build/native -j"$jobs"
ctest --test-dir build/native --output-on-failure

step "32-bit ARM cross build and tests under qemu-arm"
cmake -S . -B build/arm -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
cmake --build build/arm -j"$jobs"
lib=$(readlink -f build/arm/qor-board-sim/libqor-board.so.1)
file "$lib" | tee /dev/stderr | grep -q 'ELF 32-bit LSB shared object, ARM'
readelf -d "$lib" | grep -q 'Library soname: \[libqor-board.so.1\]'
ctest --test-dir build/arm --output-on-failure
