#!/usr/bin/env bash
# The whole program on a network port against socat, in the same run: 64 MiB
# of text lines from a pseudo-terminal through ser2net into sercap (over
# rfc2217:// and tcp://) and into socat, then CPU per MiB, its ratio to
# socat's, and bytes lost (bench/net_throughput.py does the work). Exits
# non-zero when a byte was lost.
#
#   bench/net_throughput.sh [--mib N]    from anywhere; the build is build/
#                                        (or $SERCAP_BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${SERCAP_BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target sercap >/dev/null
exec python3 bench/net_throughput.py "$build/sercap" "$@"
