#!/usr/bin/env bash
# Builds a local package world and runs the console downloader in it:
#   demo-world/package/   the four package files (made once, random data)
#   demo-world/nginx/     a private nginx serving them on a loopback port (kept between runs)
#   demo-world/deploy.json, demo-world/brisklane-cli   the deployment and the packed program
#   demo-world/data/      the program's data folder (job file, logs, resume data)
#   demo-world/games/     the folder the player picked; the package lands in .../Orlanta10117
# Run it again and the downloader resumes, or finds the package complete and installs.
# Arguments go to brisklane-cli (for example --speed-limit 5000 or --verify no).
set -euo pipefail
# nginx lives in /usr/sbin, which an ordinary user's PATH leaves out.
PATH=$PATH:/usr/sbin:/sbin
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BRISKLANE_BUILD:-$root/build/release}
world=${BRISKLANE_DEMO_WORLD:-$root/demo-world}
cli=$build/ui/console/brisklane-cli
pack=$build/tools/pack/brisklane-pack
for f in "$cli" "$pack"; do
    [ -x "$f" ] || { echo "demo: $f is missing; build first (scripts/demo.sh does)" >&2; exit 1; }
done
mkdir -p "$world/package" "$world/nginx" "$world/data" "$world/games"

# --- The package: an installer script and three archives of random data.
pkg=$world/package
if [ ! -f "$pkg/.complete" ]; then
    echo "demo: generating the package (3 MiB, 160 MiB, 200 MiB, 40 MiB)"
    {
        printf '#!/bin/sh\n'
        printf '# Demo installer of the Orlanta package.\n'
        printf 'echo "Orlanta installer started in $(pwd)"\n'
        printf 'for f in main.zip main.z01 patch.pak; do\n'
        printf '    [ -f "$f" ] && echo "  found $f ($(wc -c <"$f") bytes)"\n'
        printf 'done\n'
        printf 'echo "Orlanta installer: done"\n'
        printf ': > .installer-done\n'
        printf 'exit 0\n'
        # Padding to the installer's usual size; the shell never reads past exit.
        head -c 2359296 /dev/urandom | base64 -w 76 | sed 's/^/# /'
    } >"$pkg/setup.sh"
    head -c $((160 << 20)) /dev/urandom >"$pkg/main.zip"
    head -c $((200 << 20)) /dev/urandom >"$pkg/main.z01"
    head -c $((40 << 20)) /dev/urandom >"$pkg/patch.pak"
    touch "$pkg/.complete"
fi

# --- nginx on a loopback port that stays the same between runs (the packed URLs name it).
ngx=$world/nginx
port_free() {
    python3 - "$1" <<'PY'
import socket, sys
s = socket.socket()
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
except OSError:
    sys.exit(1)
PY
}
stop_nginx() {
    if [ -f "$ngx/nginx.pid" ]; then
        kill "$(cat "$ngx/nginx.pid")" 2>/dev/null || true
        rm -f "$ngx/nginx.pid"
    fi
}
stop_nginx
port=$(cat "$world/port" 2>/dev/null || echo "")
if [ -z "$port" ] || ! port_free "$port"; then
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    echo "$port" >"$world/port"
fi
mkdir -p "$ngx/tmp"
# Started as root, nginx serves through workers running as nobody, who cannot read a
# world inside a folder closed to others (a clone in /root or in a 0700 home folder):
# let them run as the invoking user. Anyone else's nginx keeps its own user anyway.
user_line=""
[ "$(id -u)" -ne 0 ] || user_line="user $(id -un) $(id -gn);"
cat >"$ngx/nginx.conf" <<CONF
$user_line
worker_processes 1;
pid $ngx/nginx.pid;
error_log $ngx/error.log;
events { worker_connections 256; }
http {
    access_log $ngx/access.log;
    client_body_temp_path $ngx/tmp/body;
    proxy_temp_path $ngx/tmp/proxy;
    fastcgi_temp_path $ngx/tmp/fastcgi;
    uwsgi_temp_path $ngx/tmp/uwsgi;
    scgi_temp_path $ngx/tmp/scgi;
    sendfile on;
    keepalive_timeout 65;
    types { }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        # A per-connection limit, so that the progress can be watched.
        location /package/ { alias $pkg/; limit_rate ${BRISKLANE_DEMO_RATE:-12m}; }
    }
}
CONF
# -e: the log nginx opens before it reads the configuration, kept out of /var/log.
log_mark=$(stat -c %s "$ngx/error.log" 2>/dev/null || echo 0)
nginx -c "$ngx/nginx.conf" -p "$ngx" -e "$ngx/error.log" 2>"$ngx/start.log" ||
    { cat "$ngx/start.log" >&2; exit 1; }
trap stop_nginx EXIT

base=http://127.0.0.1:$port/package

# --- Ask for every package file before the downloader starts: a server that cannot serve
# them answers each of its requests with an error, and it would wait for ever.
http_status() { # port path: the status and its reason ("200 OK"), or nothing without an answer
    local status=""
    { exec 3<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 0
    printf 'HEAD %s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n' "$2" "$1" >&3
    read -r -t 10 _ status <&3 || true
    exec 3<&-
    echo "${status%$'\r'}"
}
for f in setup.sh main.zip main.z01 patch.pak; do
    status=$(http_status "$port" "/package/$f")
    [ "${status%% *}" = 200 ] && continue
    echo "demo: the demo server answers ${status:-nothing} for $base/$f, so the downloader cannot fetch it." >&2
    said=$(tail -c +$((log_mark + 1)) "$ngx/error.log" 2>/dev/null | tail -n 3 || true)
    [ -z "$said" ] || printf 'demo: nginx says (in %s):\n%s\n' "$ngx/error.log" "$(echo "$said" | sed 's/^/    /')" >&2
    echo "demo: nginx serves as $(id -un) from $pkg; that user must be able to read it and enter every" >&2
    echo "      folder above it. Make them readable, or put the demo world elsewhere, for example" >&2
    echo "      BRISKLANE_DEMO_WORLD=/tmp/demo-world scripts/demo.sh" >&2
    exit 1
done

# --- The deployment and the packed program (packed again only when something changed).
cat >"$world/deploy.json.new" <<JSON
{
  "resourceList": "http://127.0.0.1:$port/resources.xml",
  "files": [
    {"url": "$base/setup.sh", "name": "setup.sh", "path": "package/setup.sh"},
    {"url": "$base/main.zip", "name": "main.zip", "path": "package/main.zip"},
    {"url": "$base/main.z01", "name": "main.z01", "path": "package/main.z01"},
    {"url": "$base/patch.pak", "name": "patch.pak", "path": "package/patch.pak"}
  ],
  "pieceLength": 1048576,
  "statistics": {
    "submitUrls": ["http://127.0.0.1:$port/launchersubmit/eventInfoSubmit"],
    "batchSubmitUrls": ["http://127.0.0.1:$port/launchersubmit/eventListSubmit"]
  },
  "version": "1.0.3.0"
}
JSON
if ! cmp -s "$world/deploy.json.new" "$world/deploy.json" || [ "$cli" -nt "$world/brisklane-cli" ] ||
    [ ! -x "$world/brisklane-cli" ]; then
    mv "$world/deploy.json.new" "$world/deploy.json"
    echo "demo: packing brisklane-cli for http://127.0.0.1:$port"
    "$pack" --deployment "$world/deploy.json" --program "$cli" --output "$world/brisklane-cli"
else
    rm -f "$world/deploy.json.new"
fi

# --- Run the downloader as a player would, with everything kept inside the demo world.
save=$world/games/Orlanta10117
echo "demo: starting the downloader (save folder $save)"
rm -f "$save/.installer-done"
set +e
XDG_DATA_HOME=$world/data BRISKLANE_LISTEN_ADDRESS=127.0.0.1 \
    "$world/brisklane-cli" --save-dir "$world/games" "$@"
code=$?
set -e
echo "demo: brisklane-cli exited with code $code"
case " $* " in *" --no-install "*) installs=no ;; *) installs=yes ;; esac
if [ "$code" -eq 0 ] && [ "$installs" = yes ]; then
    # The installer runs on after the downloader has closed; its output ends the demo.
    for _ in $(seq 1 150); do
        [ -f "$save/.installer-done" ] && break
        sleep 0.1
    done
fi
exit $code
