#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time.
#
#   scripts/fuzz.sh [seconds per target, default 60]
#
# A target fuzz/src/fuzz_<name>.cpp starts from the seeds in fuzz/corpus/<name>/, which
# are copied to build/fuzz/corpus-run/<name>/ so that the repository is never written to
# (inputs found by earlier runs stay there and are reused). Crash reproducers go to
# build/fuzz/artifacts/<name>/. Exits non-zero when the build fails or a target crashes.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 [seconds per target]" >&2
    exit 2
fi

. scripts/deps.sh
install_deps test

build=build/fuzz
jobs=${JOBS:-$(nproc)}
mkdir -p "$build"
echo "=== configure $build"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DBRISKLANE_FUZZ=ON -DBRISKLANE_TESTS=OFF -DBRISKLANE_BENCH=OFF \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
echo "=== build fuzzers"
cmake --build "$build" --target fuzzers -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for src in fuzz/src/fuzz_*.cpp; do
    target=$(basename "$src" .cpp)
    name=${target#fuzz_}
    corpus="$build/corpus-run/$name"
    artifacts="$build/artifacts/$name/"
    log="$build/$target.log"
    mkdir -p "$corpus" "$artifacts"
    if [ -d "fuzz/corpus/$name" ]; then
        find "fuzz/corpus/$name" -maxdepth 1 -type f -exec cp -f {} "$corpus/" \;
    fi
    args=(-max_total_time="$seconds" -timeout=10 -artifact_prefix="$artifacts" -print_final_stats=1)
    if [ -f "fuzz/dict/$name.dict" ]; then
        args+=(-dict="fuzz/dict/$name.dict")
    fi

    echo "=== fuzz $target for ${seconds}s (log: $log)"
    if "$build/fuzzers/$target" "${args[@]}" "$corpus" >"$log" 2>&1; then
        grep -E "^(Done|stat::number_of_executed_units|stat::new_units_added)" "$log" || true
    else
        tail -n 80 "$log"
        echo "=== $target FAILED; reproducers in $artifacts"
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "=== failing fuzz targets: ${failed[*]}"
    exit 1
fi
echo "=== all fuzz targets ran clean"
