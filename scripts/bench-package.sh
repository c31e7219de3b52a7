#!/usr/bin/env bash
# Measures what a player runs: the packed console downloader fetching a four-file
# package of about 1 GiB from a private nginx on loopback, from start to exit, beside
# four parallel curls and aria2c fetching the same four files. The package is held in
# the page cache and every run writes fresh targets, so neither the disk nor the network
# is what is measured. Best of two wall times per contender, runs interleaved; CPU and
# peak RSS are those of the best run (for the curls: their sum of CPU, the largest
# process's RSS).
#
# Three tables:
#   1. no limit anywhere: MB/s, CPU s/GiB, peak RSS, and the ratios to the curls;
#   2. nginx limit_rate on every connection: how close the program and aria2c get to
#      (connections open at once) x limit;
#   3. the same package with the MD5 verification, to show what it adds.
#
# Goals (issue of the package benchmark): throughput >= 0.8 x the four curls, CPU per GiB
# <= 1.2 x curl's, peak RSS <= 64 MiB plus the piece-cache budget, >= 85 % of
# connections x limit.
#
# Environment: BENCH_BUILD_DIR (default build/bench), BENCH_JOBS (default 2), BENCH_TMP
# (work folder, default a fresh mktemp folder; removed at the end either way),
# BENCH_SIZES (the four sizes in MiB, default "3 400 400 221"; each file gets a few odd
# bytes more, so no size is whole pieces), BENCH_RATE (the per-connection limit of table
# 2 as nginx writes it, default 20m), BENCH_RUNS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps bench
export PATH="$PATH:/usr/sbin:/sbin"

build_dir=${BENCH_BUILD_DIR:-build/bench}
jobs=${BENCH_JOBS:-2}
read -r -a sizes <<<"${BENCH_SIZES:-3 400 400 221}"
rate=${BENCH_RATE:-20m}
runs=${BENCH_RUNS:-2}
[ ${#sizes[@]} -eq 4 ] || { echo "BENCH_SIZES needs four sizes" >&2; exit 2; }

echo "=== building brisklane-cli and brisklane-pack (Release) in $build_dir"
mkdir -p "$build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRISKLANE_TESTS=OFF \
    >"$build_dir/configure.log" 2>&1 || { cat "$build_dir/configure.log"; exit 1; }
cmake --build "$build_dir" -j "$jobs" --target brisklane-cli brisklane-pack >"$build_dir/build.log" 2>&1 ||
    { cat "$build_dir/build.log"; exit 1; }
cli="$(pwd)/$build_dir/ui/console/brisklane-cli"
pack="$(pwd)/$build_dir/tools/pack/brisklane-pack"

if [ -n "${BENCH_TMP:-}" ]; then
    work=$BENCH_TMP
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/brisklane-package.XXXXXX)
fi
work=$(cd "$work" && pwd)
chmod 755 "$work"
www="$work/www"
mkdir -p "$www/pkg" "$work/nginx"

nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The package.
names=(setup.exe main.zip main.z01 patch.pak)
odd=(12345 777 3333 99)
total=0
echo "=== writing the package: ${sizes[*]} MiB"
for i in 0 1 2 3; do
    head -c $((sizes[i] * 1048576 + odd[i])) /dev/urandom >"$www/pkg/${names[i]}"
    total=$((total + sizes[i] * 1048576 + odd[i]))
done
cat "$www"/pkg/* >/dev/null # into the page cache

# --- nginx: /pkg/ at full speed, /limited/ the same files throttled per connection. The
# log keeps, per request, when it ended and how long it took, so that the connections
# open at once can be counted afterwards.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
start_nginx() {
    local port=$1 conf="$work/nginx/nginx.conf" user=""
    # Started as root, nginx's workers would run as nobody, who may not read a work
    # folder under a home folder closed to others.
    [ "$(id -u)" -eq 0 ] && user="user $(id -un) $(id -gn);"
    cat >"$conf" <<EOF
$user
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
    log_format timed '\$msec \$request_time \$bytes_sent \$connection \$request';
    access_log $work/nginx/access.log timed;
    client_body_temp_path $work/nginx/client_body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { }
    default_type application/octet-stream;
    sendfile on;
    keepalive_timeout 65;
    server {
        listen 127.0.0.1:$port;
        root $www;
        location /limited/ { alias $www/pkg/; limit_rate $rate; }
    }
}
EOF
    nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$conf" &
    nginx_pid=$!
    for _ in $(seq 1 50); do
        if ! kill -0 "$nginx_pid" 2>/dev/null; then
            wait "$nginx_pid" 2>/dev/null || true
            nginx_pid=""
            return 1
        fi
        port_in_use "$port" && return 0
        sleep 0.1
    done
    return 1
}
port=""
for _ in $(seq 1 10); do
    candidate=$((20000 + RANDOM % 40000))
    port_in_use "$candidate" && continue
    if start_nginx "$candidate"; then
        port=$candidate
        break
    fi
done
[ -n "$port" ] || { echo "could not start nginx" >&2; cat "$work/nginx/error.log" >&2 || true; exit 1; }
base="http://127.0.0.1:$port"
for n in "${names[@]}"; do
    code=$(curl -s -o /dev/null -w '%{http_code}' "$base/pkg/$n")
    [ "$code" = 200 ] || { echo "nginx answers $code for /pkg/$n" >&2; exit 1; }
done
echo "=== nginx serving $base (pid $nginx_pid)"

# --- Two packed programs: one for /pkg/, one for /limited/.
pack_for() {
    local dir=$1 out=$2
    cat >"$work/deploy-$dir.json" <<JSON
{
  "resourceList": "$base/resources.xml",
  "files": [
    {"url": "$base/$dir/${names[0]}", "name": "${names[0]}", "path": "www/pkg/${names[0]}"},
    {"url": "$base/$dir/${names[1]}", "name": "${names[1]}", "path": "www/pkg/${names[1]}"},
    {"url": "$base/$dir/${names[2]}", "name": "${names[2]}", "path": "www/pkg/${names[2]}"},
    {"url": "$base/$dir/${names[3]}", "name": "${names[3]}", "path": "www/pkg/${names[3]}"}
  ],
  "statistics": {
    "submitUrls": ["$base/launchersubmit/eventInfoSubmit"],
    "batchSubmitUrls": ["$base/launchersubmit/eventListSubmit"]
  }
}
JSON
    "$pack" --deployment "$work/deploy-$dir.json" --program "$cli" --output "$out" >/dev/null
}
echo "=== packing brisklane-cli twice"
pack_for pkg "$work/cli-full"
pack_for limited "$work/cli-limited"

# --- One run of a contender: fresh targets, timed, checked byte for byte.
declare -A best_wall best_user best_sys best_rss best_log
run_dir="$work/run"
log_mark=0

check_files() {
    local dir=$1 label=$2
    for n in "${names[@]}"; do
        if ! cmp -s "$www/pkg/$n" "$dir/$n"; then
            echo "$label: $n differs from the source" >&2
            exit 1
        fi
    done
}

timed() {
    local label=$1
    shift
    log_mark=$(wc -l <"$work/nginx/access.log")
    if ! /usr/bin/time -o "$work/time.txt" -f '%e %U %S %M' "$@" >"$work/stdout.txt" 2>"$work/stderr.txt"; then
        echo "$label: the run failed" >&2
        tail -n 20 "$work/stderr.txt" "$work/stdout.txt" >&2
        exit 1
    fi
}

record() {
    local label=$1 wall user sys rss
    read -r wall user sys rss < <(tail -n 1 "$work/time.txt")
    echo "    $label: ${wall}s"
    if [ -z "${best_wall[$label]:-}" ] || awk -v a="$wall" -v b="${best_wall[$label]}" 'BEGIN { exit !(a < b) }'; then
        best_wall[$label]=$wall
        best_user[$label]=$user
        best_sys[$label]=$sys
        best_rss[$label]=$rss
        # The requests of this run, for the connection count of table 2.
        tail -n +$((log_mark + 1)) "$work/nginx/access.log" >"$work/log-$label.txt"
        best_log[$label]="$work/log-$label.txt"
    fi
}

run_ours() {
    local label=$1 program=$2
    shift 2
    rm -rf "$run_dir"
    mkdir -p "$run_dir/home" "$run_dir/data" "$run_dir/runtime" "$run_dir/save"
    chmod 700 "$run_dir/runtime"
    timed "$label" env HOME="$run_dir/home" XDG_DATA_HOME="$run_dir/data" XDG_RUNTIME_DIR="$run_dir/runtime" \
        BRISKLANE_LISTEN_ADDRESS=127.0.0.1 "$program" --save-dir "$run_dir/save" --no-install "$@"
    check_files "$run_dir/save/Orlanta10117" "$label"
    record "$label"
}

run_curls() {
    local label=$1 dir=$2
    rm -rf "$run_dir"
    mkdir -p "$run_dir"
    timed "$label" bash -c '
        base=$1 dir=$2 out=$3
        shift 3
        for n in "$@"; do curl -s -f -o "$out/$n" "$base/$dir/$n" & done
        failed=0
        for _ in "$@"; do wait -n || failed=1; done
        exit $failed' curls "$base" "$dir" "$run_dir" "${names[@]}"
    check_files "$run_dir" "$label"
    record "$label"
}

run_aria() {
    local label=$1 dir=$2
    rm -rf "$run_dir"
    mkdir -p "$run_dir"
    for n in "${names[@]}"; do echo "$base/$dir/$n"; done >"$work/aria.list"
    timed "$label" aria2c -j4 -x16 -s16 --file-allocation=none --enable-dht=false --enable-dht6=false \
        --bt-enable-lpd=false --enable-peer-exchange=false --allow-overwrite=true --console-log-level=warn \
        --summary-interval=0 -q -d "$run_dir" -i "$work/aria.list"
    check_files "$run_dir" "$label"
    record "$label"
}

ours="Brisklane"
for run in $(seq 1 "$runs"); do
    echo "=== run $run of $runs, no limit"
    run_ours "$ours" "$work/cli-full" --verify no
    run_curls "4 x curl" pkg
    run_aria "aria2c" pkg
done
for run in $(seq 1 "$runs"); do
    echo "=== run $run of $runs, $rate per connection"
    run_ours "$ours limited" "$work/cli-limited" --verify no
    run_aria "aria2c limited" limited
done
for run in $(seq 1 "$runs"); do
    echo "=== run $run of $runs, with verification"
    run_ours "$ours + verify" "$work/cli-full" --verify yes
done

# --- Tables.
mbs() { awk -v b="$total" -v s="$1" 'BEGIN { if (s < 0.01) s = 0.01; printf "%.1f", b / 1e6 / s }'; }
cpu_per_gib() { awk -v b="$total" -v u="$1" -v s="$2" 'BEGIN { printf "%.2f", (u + s) / (b / 1073741824) }'; }
rss_mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
row() {
    local label=$1
    printf "%-22s %8s %9s %11s %14s\n" "$label" "${best_wall[$label]}" "$(mbs "${best_wall[$label]}")" \
        "$(cpu_per_gib "${best_user[$label]}" "${best_sys[$label]}")" "$(rss_mib "${best_rss[$label]}")"
}
header() { printf "%-22s %8s %9s %11s %14s\n" "contender" "wall s" "MB/s" "CPU s/GiB" "peak RSS MiB"; }

# The most requests served at one moment: each log line ends a request at $msec that
# took $request_time.
most_at_once() {
    awk '{ end = $1; start = end - $2; print start, 1; print end, -1 }' "$1" | sort -n -k1,1 -k2,2 |
        awk '{ n += $2; if (n > m) m = n } END { print m + 0 }'
}
rate_bytes() {
    awk -v r="$rate" 'BEGIN {
        n = r + 0; u = substr(r, length(r))
        if (u == "k" || u == "K") n *= 1024; else if (u == "m" || u == "M") n *= 1048576
        printf "%d", n }'
}

echo
echo "package: $total bytes (${sizes[*]} MiB), best of $runs runs"
echo
echo "1. no limit"
header
for label in "$ours" "4 x curl" "aria2c"; do row "$label"; done
echo
awk -v o="$(mbs "${best_wall[$ours]}")" -v c="$(mbs "${best_wall["4 x curl"]}")" -v a="$(mbs "${best_wall[aria2c]}")" 'BEGIN {
    printf "throughput  ours / 4 x curl  %6.3f  (goal >= 0.8: %s)\n", o / c, (o / c >= 0.8) ? "PASS" : "MISS"
    printf "throughput  ours / aria2c    %6.3f\n", o / a }'
awk -v o="$(cpu_per_gib "${best_user[$ours]}" "${best_sys[$ours]}")" \
    -v c="$(cpu_per_gib "${best_user["4 x curl"]}" "${best_sys["4 x curl"]}")" 'BEGIN {
    if (c <= 0) { print "CPU/GiB     ours / curl      n/a"; exit }
    printf "CPU/GiB     ours / curl      %6.3f  (goal <= 1.2: %s)\n", o / c, (o / c <= 1.2) ? "PASS" : "MISS" }'
# The piece cache holds 64 pieces of 256 KiB per task at the most.
awk -v r="$(rss_mib "${best_rss[$ours]}")" 'BEGIN {
    budget = 4 * 64 * 0.25
    printf "peak RSS    ours             %6.1f MiB  (goal <= 64 + %d MiB cache: %s)\n", r, budget, (r <= 64 + budget) ? "PASS" : "MISS" }'

echo
echo "2. nginx limit_rate $rate per connection"
printf "%-22s %8s %9s %11s %14s %10s %10s\n" "contender" "wall s" "MB/s" "CPU s/GiB" "peak RSS MiB" "at once" "of cap"
limit=$(rate_bytes)
for label in "$ours limited" "aria2c limited"; do
    n=$(most_at_once "${best_log[$label]}")
    share=$(awk -v b="$total" -v s="${best_wall[$label]}" -v n="$n" -v l="$limit" \
        'BEGIN { if (n < 1 || s <= 0) { print "n/a"; exit } printf "%.1f%%", 100 * b / s / (n * l) }')
    printf "%-22s %8s %9s %11s %14s %10s %10s\n" "$label" "${best_wall[$label]}" "$(mbs "${best_wall[$label]}")" \
        "$(cpu_per_gib "${best_user[$label]}" "${best_sys[$label]}")" "$(rss_mib "${best_rss[$label]}")" "$n" "$share"
done
echo "(\"at once\": the most requests nginx served at one moment; \"of cap\": MB/s over that many x $rate; goal >= 85 %)"

echo
echo "3. with the MD5 verification"
header
row "$ours"
row "$ours + verify"
awk -v a="${best_wall[$ours]}" -v b="${best_wall["$ours + verify"]}" 'BEGIN {
    printf "verification adds %.2f s (%.0f %% of the download)\n", b - a, a > 0 ? 100 * (b - a) / a : 0 }'
