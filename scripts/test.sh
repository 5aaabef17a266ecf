#!/usr/bin/env bash
# Builds everything and runs all tests: natively, cross-built for 32-bit ARM
# and run through qemu-arm, cross-built for 64-bit ARM and run through
# qemu-aarch64, the three builds with the GPIO board library on Debian
# kernels booted under qemu, the other Debian release in a root of its own
# (scripts/release-test.sh), the Debian packages of both releases
# (scripts/packages.sh), under ThreadSanitizer and
# under AddressSanitizer with UBSan, and the fuzz targets. The builds are the
# configure presets of CMakePresets.json, each in build/<preset>.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==== %s ====\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then
        rooted="go through sudo, which may ask for a password"
    else
        rooted="will fail: there is no sudo"
    fi
    cat >&2 <<MSG
test.sh: not running as root.
- Installing missing packages, and the roots of the other release and of the
  package builds, $rooted.
- The end-to-end tests make their private mount and network namespaces in a
  user namespace; where the system allows none, they skip and say why.
Run "sudo scripts/test.sh" for the whole check.
MSG
fi
scripts/deps.sh test
jobs=$(nproc)

# build <preset>: configure and build. The presets set every cache variable
# that matters (BUILD_TESTING=ON among them), whatever an earlier configure
# left in the tree.
build() {
    cmake --preset "$1"
    cmake --build --preset "$1" -j"$jobs"
}

# run_tests <preset>: the unit tests side by side, then the end-to-end tests
# (everything else) one at a time, so that they do not slow each other down.
run_tests() {
    ctest --preset "$1" -L unit -j"$jobs"
    ctest --preset "$1" -LE unit
}

step "formatting"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

step "native build and tests"
build native
run_tests native

step "benchmark: Release build and a quick pass (figures only: no target is enforced)"
build bench
scripts/bench.sh --quick

# cross_build <preset> <file's words for the library>: the cross build, and
# both board libraries of the architecture with the SONAME.
cross_build() {
    build "$1"
    local board lib info
    for board in qor-board-sim qor-board-gpiod; do
        lib=$(readlink -f "build/$1/$board/libqor-board.so.1")
        info=$(file "$lib")
        echo "$info"
        grep -q "$2" <<<"$info" || { echo "test.sh: $lib is not a $1 library" >&2; exit 1; }
        readelf -d "$lib" | grep -q 'Library soname: \[libqor-board.so.1\]' ||
            { echo "test.sh: $lib has not the SONAME libqor-board.so.1" >&2; exit 1; }
    done
}

step "32-bit ARM cross build and tests under qemu-arm"
cross_build arm 'ELF 32-bit LSB shared object, ARM,'
run_tests arm

step "64-bit ARM cross build and tests under qemu-aarch64"
cross_build arm64 'ELF 64-bit LSB shared object, ARM aarch64,'
run_tests arm64

step "the locks that let runs share the cache of roots (scripts/cachelock.sh)"
scripts/cachelock-test.sh

step "kernel rounds: the native, ARM and arm64 builds with the GPIO library on Debian kernels under qemu, on gpio-sim"
scripts/kernel-test.sh build/native build/arm build/arm64

step "the other Debian release: its root, native build and tests, armhf and arm64 builds and unit tests, kernel rounds"
scripts/release-test.sh

step "Debian packages of both releases: the source package, clean-root builds (amd64, armhf and arm64 cross), lintian, blhc, hardening-check, autopkgtest, piuparts"
scripts/packages.sh

# The whole suite again, built with clang and a run-time checker.
step "clang ThreadSanitizer build and tests"
build tsan
run_tests tsan

step "clang AddressSanitizer and UBSan build and tests"
build asan
run_tests asan

step "fuzzing: bounded runs of the console line and settings file readers"
# The address+UB build has the libFuzzer targets; a finding exits non-zero.
for t in fuzz_consolescan fuzz_settings; do
    mkdir -p "build/fuzz/$t"
    if ! ASAN_OPTIONS="halt_on_error=1 detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
        "build/asan/qor-driver-relay/fuzz/$t" -max_total_time=30 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/" "build/fuzz/$t" "qor-driver-relay/fuzz/corpus/$t" \
        >"build/fuzz/$t.log" 2>&1; then
        tail -n 60 "build/fuzz/$t.log"
        echo "fuzzing $t found a fault; the input is in build/fuzz/" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "build/fuzz/$t.log" || true
done
step "all tests passed"
