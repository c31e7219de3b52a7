#!/usr/bin/env bash
# Sets up everything the tests need on a Debian 12 machine, then builds and runs all
# tests twice: a normal build and an AddressSanitizer + UndefinedBehaviorSanitizer build;
# then the controller's tests once more under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps test

jobs=$(nproc)
run_build() {
    local dir=$1
    shift
    echo "=== configure $dir"
    cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    echo "=== build $dir"
    cmake --build "$dir" -j "$jobs"
    echo "=== test $dir"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

mkdir -p build
run_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_build build/asan -DCMAKE_BUILD_TYPE=Debug -DBRISKLANE_SANITIZE=ON -DBRISKLANE_BENCH=OFF

# The controller's fields are shared by its timer thread, the front end's thread and the
# verification thread. Only its test program is built here, to keep the run short.
# ThreadSanitizer's memory layout does not fit the wider address randomisation of newer
# kernels; there the program runs without randomisation (the build runs it too, to list
# its tests).
tsan_run() {
    if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
        setarch "$(uname -m)" -R "$@"
    else
        "$@"
    fi
}
tsan_options=halt_on_error=1:second_deadlock_stack=1
echo "=== configure build/tsan"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISKLANE_TSAN=ON -DBRISKLANE_BENCH=OFF \
    >build/tsan.configure.log 2>&1 || { cat build/tsan.configure.log; exit 1; }
echo "=== build build/tsan"
TSAN_OPTIONS=$tsan_options tsan_run cmake --build build/tsan -j "$jobs" --target app_tests
echo "=== test build/tsan"
TSAN_OPTIONS=$tsan_options tsan_run build/tsan/tests/app_tests

# Every parser's fuzz target, for a bounded time, in a clang build of its own.
echo "=== fuzz"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
