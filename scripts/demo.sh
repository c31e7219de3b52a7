#!/usr/bin/env bash
# Sets everything up and runs the downloader on its local demo package: builds the
# programs, then tools/demo/run.sh makes the package world (four files on a private
# nginx on loopback), packs the console downloader for it and runs it until the demo
# installer has started. Arguments go to the downloader (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps demo
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target brisklane-cli brisklane-pack
exec tools/demo/run.sh "$@"
