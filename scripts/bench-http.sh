#!/usr/bin/env bash
# Measures one plain HTTP download through the engine against curl and aria2c, all
# fetching the same random file from a private nginx on loopback, with the file held
# in the page cache so that neither the disk nor the network is what is measured.
# Best of three wall times per contender; CPU and peak RSS are those of the best run.
# Goals: throughput at least 1.0 x aria2c's, CPU per GiB at most 1.2 x curl's.
#
# Environment: BENCH_BUILD_DIR (default build/bench), BENCH_JOBS (default 2),
# BENCH_TMP (work folder, default a fresh mktemp folder under /tmp; removed at the end
# either way), BENCH_MIB (file size, default 2048).
set -euo pipefail
# nginx lives in /usr/sbin, which an ordinary user's PATH leaves out.
PATH=$PATH:/usr/sbin:/sbin
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps bench

# Tools the shared list does not carry; checked one by one by the binary they provide so
# that a machine which already has them is never touched.
extra=()
command -v curl >/dev/null || extra+=(curl)
command -v aria2c >/dev/null || extra+=(aria2)
[ -x /usr/bin/time ] || extra+=(time)
command -v nginx >/dev/null || extra+=(nginx-light)
if [ ${#extra[@]} -gt 0 ]; then
    echo "=== installing ${extra[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${extra[@]}" >/dev/null
fi

build_dir=${BENCH_BUILD_DIR:-build/bench}
jobs=${BENCH_JOBS:-2}
mib=${BENCH_MIB:-2048}
runs=3

echo "=== building http_driver (Release) in $build_dir"
mkdir -p "$build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRISKLANE_TESTS=OFF \
    >"$build_dir/configure.log" 2>&1 || { cat "$build_dir/configure.log"; exit 1; }
cmake --build "$build_dir" -j "$jobs" --target http_driver >"$build_dir/build.log" 2>&1 ||
    { cat "$build_dir/build.log"; exit 1; }
driver="$(pwd)/$build_dir/bench/http_driver"

if [ -n "${BENCH_TMP:-}" ]; then
    work=$BENCH_TMP
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/brisklane-http.XXXXXX)
fi
work=$(cd "$work" && pwd)
www="$work/www"
out_dir="$work/out"
mkdir -p "$www" "$out_dir" "$work/nginx"

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

data="$www/random.bin"
echo "=== writing $mib MiB of random data to $data"
head -c $((mib * 1048576)) /dev/urandom >"$data"
bytes=$(stat -c %s "$data")
cat "$data" >/dev/null # into the page cache

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Started as root, nginx would serve through workers running as nobody, who cannot read
# the 0700 work folder; it serves from its one process here, and naming the invoking user
# keeps the file readable should workers be used. Anyone else's nginx keeps its user.
user_line=""
[ "$(id -u)" -ne 0 ] || user_line="user $(id -un) $(id -gn);"

start_nginx() {
    local port=$1 conf="$work/nginx/nginx.conf"
    cat >"$conf" <<EOF
$user_line
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
    access_log $work/nginx/access.log;
    client_body_temp_path $work/nginx/client_body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_timeout 65;
    server {
        listen 127.0.0.1:$port;
        root $www;
    }
}
EOF
    # -e keeps the log nginx opens before reading the config out of /var/log.
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

# Another program may take a port between the probe and the bind, so a failed start
# is retried on a fresh port.
port=""
for _ in $(seq 1 10); do
    candidate=$((20000 + RANDOM % 40000))
    port_in_use "$candidate" && continue
    if start_nginx "$candidate"; then
        port=$candidate
        break
    fi
done
if [ -z "$port" ]; then
    echo "could not start nginx" >&2
    cat "$work/nginx/error.log" >&2 || true
    exit 1
fi
url="http://127.0.0.1:$port/random.bin"
echo "=== nginx serving $url (pid $nginx_pid)"

# best_wall[name] and the user, sys and RSS of that same run.
declare -A best_wall best_user best_sys best_rss

out_name="download.bin"
out="$out_dir/$out_name"

run_one() {
    local name=$1
    shift
    rm -f "$out" "$out.resume" "$out.aria2"
    local tf="$work/time.txt"
    if ! /usr/bin/time -o "$tf" -f '%e %U %S %M' "$@" >"$work/stdout.txt" 2>"$work/stderr.txt"; then
        echo "$name: download failed" >&2
        cat "$work/stderr.txt" "$work/stdout.txt" >&2
        exit 1
    fi
    if ! cmp -s "$data" "$out"; then
        echo "$name: output differs from the source" >&2
        exit 1
    fi
    local wall user sys rss
    read -r wall user sys rss < <(tail -n 1 "$tf")
    echo "    $name: ${wall}s"
    if [ -z "${best_wall[$name]:-}" ] || awk -v a="$wall" -v b="${best_wall[$name]}" 'BEGIN { exit !(a < b) }'; then
        best_wall[$name]=$wall
        best_user[$name]=$user
        best_sys[$name]=$sys
        best_rss[$name]=$rss
    fi
    rm -f "$out" "$out.resume" "$out.aria2"
}

ours="Brisklane"
names=("$ours" "curl" "aria2c")

# Interleaved so that load from elsewhere on the machine falls on every contender alike.
for run in $(seq 1 $runs); do
    echo "=== run $run of $runs"
    run_one "$ours" "$driver" "$url" "$out"
    run_one "curl" curl -s -o "$out" "$url"
    run_one "aria2c" aria2c -x16 -s16 --file-allocation=none --enable-dht=false --bt-enable-lpd=false \
        --allow-overwrite=true --console-log-level=warn --summary-interval=0 -q \
        -d "$out_dir" -o "$out_name" "$url"
done

# A zero wall time (too small a file) would divide by zero; clamp to the timer's resolution.
mbs() { awk -v b="$bytes" -v s="$1" 'BEGIN { if (s < 0.01) s = 0.01; printf "%.1f", b / 1e6 / s }'; }
cpu_per_gib() { awk -v b="$bytes" -v u="$1" -v s="$2" 'BEGIN { printf "%.3f", (u + s) / (b / 1073741824) }'; }

echo
echo "file: $bytes bytes ($mib MiB), best of $runs runs"
printf "%-12s %10s %10s %14s %14s\n" "contender" "wall s" "MB/s" "CPU s/GiB" "peak RSS MiB"
for name in "${names[@]}"; do
    printf "%-12s %10s %10s %14s %14s\n" "$name" "${best_wall[$name]}" "$(mbs "${best_wall[$name]}")" \
        "$(cpu_per_gib "${best_user[$name]}" "${best_sys[$name]}")" \
        "$(awk -v k="${best_rss[$name]}" 'BEGIN { printf "%.1f", k / 1024 }')"
done

echo
awk -v o="$(mbs "${best_wall[$ours]}")" -v a="$(mbs "${best_wall[aria2c]}")" 'BEGIN {
    r = o / a
    printf "throughput %-9s / aria2c   %6.3f  (goal >= 1.0: %s)\n", "ours", r, (r >= 1.0) ? "PASS" : "MISS"
}'
awk -v o="$(cpu_per_gib "${best_user[$ours]}" "${best_sys[$ours]}")" \
    -v c="$(cpu_per_gib "${best_user[curl]}" "${best_sys[curl]}")" 'BEGIN {
    if (c <= 0) { printf "CPU/GiB    ours      / curl     n/a    (curl CPU below timer resolution)\n"; exit }
    r = o / c
    printf "CPU/GiB    %-9s / curl     %6.3f  (goal <= 1.2: %s)\n", "ours", r, (r <= 1.2) ? "PASS" : "MISS"
}'
