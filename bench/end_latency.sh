#!/usr/bin/env bash
# How soon sercap exits after the device's Ctrl-Z, and how soon it holds the
# line after it starts, over many runs (bench/end_latency.py does the work).
#
#   bench/end_latency.sh [--runs N]     the build is build/ (or $SERCAP_BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build=${SERCAP_BUILD_DIR:-build}
ensure_build "$build" -- sercap
exec python3 bench/end_latency.py "$build/sercap" "$@"
