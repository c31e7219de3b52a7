#!/usr/bin/env bash
# Sets up everything the tests need on a Debian 12 machine, then builds and runs all
# tests twice: a normal build and an AddressSanitizer + UndefinedBehaviorSanitizer build.
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

# Every parser's fuzz target, for a bounded time, in a clang build of its own.
echo "=== fuzz"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
