#!/usr/bin/env bash
# Measures the engine's SHA-1 and MD5 against the system's digest tools on one 1 GiB
# file of random data held in the page cache, best of three runs each, and prints the
# throughputs side by side. Goals: SHA-1 at least 0.9 x the fastest SHA-1 tool, MD5 at
# least 0.9 x md5sum.
#
# Environment: BENCH_BUILD_DIR (default build/bench), BENCH_JOBS (default nproc),
# BENCH_TMP (folder for the data file, default /tmp), BENCH_MIB (file size, default 1024),
# BENCH_CXX_FLAGS (extra compiler flags for the bench build, default none).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps bench

build_dir=${BENCH_BUILD_DIR:-build/bench}
jobs=${BENCH_JOBS:-$(nproc)}
mib=${BENCH_MIB:-1024}
runs=3

echo "=== building hash_bench (Release) in $build_dir"
mkdir -p "$build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRISKLANE_TESTS=OFF -DBRISKLANE_BENCH=ON \
    -DCMAKE_CXX_FLAGS="${BENCH_CXX_FLAGS:-}" \
    >"$build_dir/configure.log" 2>&1 || { cat "$build_dir/configure.log"; exit 1; }
cmake --build "$build_dir" -j "$jobs" --target hash_bench >"$build_dir/build.log" 2>&1 ||
    { cat "$build_dir/build.log"; exit 1; }
bench="$build_dir/bench/hash_bench"

work=$(mktemp -d "${BENCH_TMP:-/tmp}/brisklane-hash.XXXXXX")
trap 'rm -rf "$work"' EXIT
data="$work/random.bin"
echo "=== writing $mib MiB of random data to $data"
head -c $((mib * 1048576)) /dev/urandom >"$data"
bytes=$(stat -c %s "$data")
cat "$data" >/dev/null # into the page cache

now_ns() { date +%s%N; }

# best[name] = shortest seconds; digest[name] = the digest it printed.
declare -A best digest

record() {
    local name=$1 seconds=$2 value=$3
    digest[$name]=$value
    if [ -z "${best[$name]:-}" ] || awk -v a="$seconds" -v b="${best[$name]}" 'BEGIN { exit !(a < b) }'; then
        best[$name]=$seconds
    fi
}

time_tool() {
    local name=$1
    shift
    local t0 t1 out
    t0=$(now_ns)
    out=$("$@" 2>/dev/null)
    t1=$(now_ns)
    # sha1sum/md5sum print "digest  file"; openssl prints "...(file)= digest".
    out=${out##*= }
    out=${out%% *}
    record "$name" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", (b - a) / 1e9 }')" "$out"
}

time_ours() {
    local name=$1 algo=$2 line
    line=$("$bench" --algo "$algo" --passes 1 "$data")
    set -- $line
    record "$name" "$2" "$4"
}

# The runs are interleaved so that load from elsewhere on the machine falls on every
# contender alike.
for run in $(seq 1 $runs); do
    echo "=== run $run of $runs"
    time_ours "Brisklane SHA-1" sha1
    time_tool "sha1sum" sha1sum "$data"
    time_tool "openssl dgst -sha1" openssl dgst -sha1 "$data"
    time_ours "Brisklane MD5" md5
    time_tool "md5sum" md5sum "$data"
    time_tool "openssl dgst -md5" openssl dgst -md5 "$data"
done
time_ours "Brisklane SHA-1 (portable)" sha1-portable
time_ours "Brisklane Adler-32" adler32

mbs() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }

echo
printf "%-28s %10s %10s  %s\n" "contender" "seconds" "MB/s" "digest"
for name in "Brisklane SHA-1" "sha1sum" "openssl dgst -sha1" "Brisklane SHA-1 (portable)" \
    "Brisklane MD5" "md5sum" "openssl dgst -md5" "Brisklane Adler-32"; do
    printf "%-28s %10s %10s  %s\n" "$name" "${best[$name]}" "$(mbs "${best[$name]}")" "${digest[$name]}"
done

status=0
for pair in "Brisklane SHA-1:sha1sum" "Brisklane SHA-1:openssl dgst -sha1" \
    "Brisklane SHA-1 (portable):sha1sum" "Brisklane MD5:md5sum" "Brisklane MD5:openssl dgst -md5"; do
    ours=${pair%%:*}
    tool=${pair#*:}
    if [ "${digest[$ours]}" != "${digest[$tool]}" ]; then
        echo "DIGEST MISMATCH: $ours ${digest[$ours]} vs $tool ${digest[$tool]}"
        status=1
    fi
done

fastest_sha1="sha1sum"
if awk -v a="${best["openssl dgst -sha1"]}" -v b="${best[sha1sum]}" 'BEGIN { exit !(a < b) }'; then
    fastest_sha1="openssl dgst -sha1"
fi
goal() {
    local ours=$1 tool=$2
    awk -v o="${best[$ours]}" -v t="${best[$tool]}" -v n1="$ours" -v n2="$tool" 'BEGIN {
        r = t / o
        verdict = (r >= 0.9) ? "met" : "MISSED"
        printf "%-16s vs %-20s ratio %.3f  (goal >= 0.9: %s)\n", n1, n2, r, verdict
    }'
}
echo
goal "Brisklane SHA-1" "$fastest_sha1"
goal "Brisklane MD5" "md5sum"
goal "Brisklane MD5" "openssl dgst -md5"
exit $status
