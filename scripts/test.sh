#!/usr/bin/env bash
# Builds everything and runs all tests: natively, then cross-built for 32-bit
# ARM and run through qemu-arm.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test
jobs=$(nproc)

step() { printf '\n==== %s ====\n' "$*"; }

step "formatting"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

step "native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_WERROR=ON
cmake --build build/native -j"$jobs"
ctest --test-dir build/native --output-on-failure

step "32-bit ARM cross build and tests under qemu-arm"
cmake -S . -B build/arm -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
cmake --build build/arm -j"$jobs"
lib=$(readlink -f build/arm/qor-board-sim/libqor-board.so.1)
info=$(file "$lib")
echo "$info"
grep -q 'ELF 32-bit LSB shared object, ARM' <<<"$info"
readelf -d "$lib" | grep -q 'Library soname: \[libqor-board.so.1\]'
ctest --test-dir build/arm --output-on-failure

step "Debian packages: build, check and lintian both; install, run and purge the native ones in a private root"
scripts/check-packages.sh build/native "$(dpkg --print-architecture)" --install
scripts/check-packages.sh build/arm armhf

# Sanitizer passes: the whole suite again, built with clang.
sanitized() {
    local name=$1 flags=$2
    step "clang $name build and tests"
    CC=clang CXX=clang++ cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_WERROR=ON \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags"
    cmake --build "build/$name" -j"$jobs"
    ctest --test-dir "build/$name" --output-on-failure
}
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
export ASAN_OPTIONS="halt_on_error=1 detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
sanitized tsan "-fsanitize=thread -g -O1"
sanitized asan "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"

step "fuzzing: bounded runs of the console line and settings file readers"
# The address+UB build above has the libFuzzer targets; a finding exits non-zero.
for t in fuzz_consolescan fuzz_settings; do
    mkdir -p "build/fuzz/$t"
    if ! "build/asan/qor-driver-relay/tests/fuzz/$t" -max_total_time=30 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/" "build/fuzz/$t" "qor-driver-relay/fuzz/corpus/$t" \
        >"build/fuzz/$t.log" 2>&1; then
        tail -n 60 "build/fuzz/$t.log"
        echo "fuzzing $t found a fault; the input is in build/fuzz/" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "build/fuzz/$t.log" || true
done
step "all tests passed"
