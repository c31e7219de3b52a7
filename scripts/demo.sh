#!/usr/bin/env bash
# Sets everything up and runs the downloader on its local demo package.
# The demo world (local package server, packed program) arrives with the console front
# end; until then this builds the program and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps demo
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)"
if [ -x tools/demo/run.sh ]; then
    exec tools/demo/run.sh "$@"
fi
echo "Built. The demo package world is not part of this build yet: the console front end and"
echo "tools/demo/ will serve four package files on loopback and download them here."
