#!/usr/bin/env bash
# The whole program on a pseudo-terminal against head -c and cat, in the
# same run: 64 MiB of text lines pushed through as fast as the reader takes
# them, then CPU and wall time per MiB, bytes lost, peak memory, and sercap's
# CPU time on a silent line (bench/pty_throughput.py does the work; python3,
# standard library only). Exits non-zero when a target is missed: no byte
# lost, CPU per MiB at most 1.3 times head's (1.2 with --end-on: sercap ends
# on a prompt without a line feed, reading by arrival), idle CPU under 20 ms
# per 10 s, peak RSS under 4 MiB.
#
#   bench/pty_throughput.sh [--mib N] [--idle T] [--runs N] [--cpu N] [--end-on]
#                                 from anywhere; the build is build/
#                                 (or $SERCAP_BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build=${SERCAP_BUILD_DIR:-build}
ensure_build "$build" -- sercap
exec python3 bench/pty_throughput.py "$build/sercap" "$@"
