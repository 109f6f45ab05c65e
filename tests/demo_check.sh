#!/usr/bin/env bash
# Checks scripts/demo, the README's first command, on a copy of the scripts
# whose build/ holds the programs given: a capture from the simulated device
# appends to out/demo.spt and shows what this run added; a simulated device
# that ends, prints something else or nothing instead of its terminal's path
# makes the demo fail with a message saying so, without waiting for more.
# With --board, the dialogue with the simulated board runs to its login prompt.
#   tests/demo_check.sh SERCAP SERCAP-SIM
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
sercap=$1 sim=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/sercap-demo-check-XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

# copy NAME SIM: a tree with the demo, the real sercap and SIM as the device.
copy() {
  mkdir -p "$work/$1/scripts" "$work/$1/build"
  cp "$repo/scripts/demo" "$repo/scripts/lib.sh" "$work/$1/scripts/"
  ln -s "$sercap" "$work/$1/build/sercap"
  ln -s "$2" "$work/$1/build/sercap-sim"
}

report=$'RESULT temperature 21.5 C: ok\r\nRESULT supply 3.30 V: ok\r\nRESULT memory test: ok\r\nkwo end\r\n'
shown='RESULT temperature 21.5 C: ok\r\n
RESULT supply 3.30 V: ok\r\n
RESULT memory test: ok\r\n
kwo end\r\n'

copy real "$sim"
for run in 1 2; do
  "$work/real/scripts/demo" >"$work/run$run.out" 2>&1
  status=$?
  [ $status -eq 0 ] || fail "run $run: status $status: $(cat "$work/run$run.out")"
  # What this run added, and only that, between the two markers.
  added=$(sed -n '/^--- added to out\/demo.spt/,/^--- exit status/p' "$work/run$run.out" | sed '1d;$d')
  [ "$added" = "$shown" ] || fail "run $run showed: $added"
done
printf %s "$report$report" | cmp -s - "$work/real/out/demo.spt" ||
  fail "out/demo.spt after two runs: $(od -c "$work/real/out/demo.spt" | head)"

"$work/real/scripts/demo" --board >"$work/board.out" 2>&1
status=$?
[ $status -eq 0 ] || fail "--board: status $status: $(cat "$work/board.out")"
grep -q '^>>>sent 2$' "$work/board.out" || fail "--board: the self-test was not asked for"
added=$(sed -n '/^--- added to out\/demo.spt/,/^--- exit status/p' "$work/board.out" | sed '1d;$d')
[[ $added == *$'ALL TESTS PASSED\\r\\n\n'* && $added == *'simboard login:\r\n' ]] ||
  fail "--board showed: $added"

# Devices that never print their path: each a script that execs its last
# step, so that the demo's ending it ends it.
cases=(
  "ends|echo 'cannot open a pseudo-terminal' >&2; exit 3|ended with status 3"
  "prints something else|echo hello; exec sleep 60|printed 'hello' instead"
  "prints nothing|exec sleep 60|printed nothing within 10 seconds"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name body expected <<<"$entry"
  dir=bad-$RANDOM
  printf '#!/bin/sh\n%s\n' "$body" >"$work/$dir.sim"
  chmod +x "$work/$dir.sim"
  copy "$dir" "$work/$dir.sim"
  "$work/$dir/scripts/demo" >"$work/$dir.out" 2>"$work/$dir.err"
  status=$?
  [ $status -ne 0 ] || fail "a device that $name: status 0"
  grep -q "simulated device (build/sercap-sim) did not start: .*$expected" "$work/$dir.err" ||
    fail "a device that $name: $(cat "$work/$dir.err")"
  [ ! -s "$work/$dir/out/demo.spt" ] || fail "a device that $name: a capture was made"
done

if [ $failures -ne 0 ]; then
  echo "$failures demo checks failed" >&2
  exit 1
fi
echo "demo checks passed"
