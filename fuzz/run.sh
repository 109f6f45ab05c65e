#!/usr/bin/env bash
# Fuzzes each target for a bounded time on a scratch copy of its seed corpus,
# so the repository is never written to.
#   fuzz/run.sh BUILD_DIR SECONDS
# Prints one line per fuzzer with its number of runs; exits non-zero if any
# fuzzer crashed, leaked, timed out or could not be run. Inputs that failed
# are kept in BUILD_DIR/fuzz/artifacts/.
set -euo pipefail

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
artifacts=$build/fuzz/artifacts
mkdir -p "$artifacts"
artifacts=$(cd "$artifacts" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/sercap-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT

status=0
for fuzzer in command_line_fuzzer byte_filter_fuzzer telnet_decoder_fuzzer; do
  binary=$build/fuzz/$fuzzer
  if [ ! -x "$binary" ]; then
    echo "$fuzzer: not built ($binary missing)"
    status=1
    continue
  fi
  mkdir -p "$work/$fuzzer"
  cp "$here/corpus/$fuzzer"/* "$work/$fuzzer/"
  log=$work/$fuzzer.log
  if "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=30 -print_final_stats=1 \
    -dict="$here/$fuzzer.dict" -artifact_prefix="$artifacts/$fuzzer-" "$work/$fuzzer" \
    >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "$fuzzer: ${runs:-?} runs in ${seconds}s, no failure"
  else
    echo "$fuzzer: FAILED; the end of its log:"
    tail -n 40 "$log"
    echo "failing inputs: $artifacts"
    status=1
  fi
done
exit $status
