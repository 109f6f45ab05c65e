#!/usr/bin/env bash
# The byte filter against tr on 256 MiB of printable text lines ending in
# CR LF, both reading a file and writing a file in the same temporary folder:
#   sercap-filter-file INPUT CAPTURE        (reads of 16,383 bytes)
#   tr -cd '\n -~' < INPUT > OUT            (the same byte classes, no CR LF)
# Best wall time of 3 runs each, interleaved, then the throughputs and the
# ratio filter/tr. The filter's output must be byte-identical both to the
# one-byte rule (the driver's --per-byte mode) and to tr's output with every
# line ending turned into CR LF.
#
#   bench/filter_vs_tr.sh [SIZE_MIB]    from anywhere; the build is build/
#                                       (or $SERCAP_BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
export LC_ALL=C

build=${SERCAP_BUILD_DIR:-build}
mib=${1:-256}
size=$((mib << 20))
ensure_build "$build" -- sercap-filter-file
driver=$build/bench/sercap-filter-file

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$driver" --make text "$size" >"$work/input"
cat "$work/input" >/dev/null # into the page cache before the first timing

now() { echo "${EPOCHREALTIME/[,]/.}"; }
seconds() { # START END
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'
}
best_filter=
best_tr=
for run in 1 2 3; do
  rm -f "$work/filter.out" "$work/tr.out"
  start=$(now)
  tr -cd '\n -~' <"$work/input" >"$work/tr.out"
  t_tr=$(seconds "$start" "$(now)")
  best_tr=$(awk -v a="$t_tr" -v b="${best_tr:-1e9}" 'BEGIN { print (a < b ? a : b) }')

  start=$(now)
  "$driver" "$work/input" "$work/filter.out"
  t_filter=$(seconds "$start" "$(now)")
  best_filter=$(awk -v a="$t_filter" -v b="${best_filter:-1e9}" 'BEGIN { print (a < b ? a : b) }')
  echo "run $run: tr ${t_tr} s, filter ${t_filter} s"
done

awk -v mib="$mib" -v f="$best_filter" -v t="$best_tr" 'BEGIN {
  printf "input:  %d MiB of text lines ending in CR LF\n", mib
  printf "filter: %8.1f MiB/s (%.3f s)\n", mib / f, f
  printf "tr:     %8.1f MiB/s (%.3f s)\n", mib / t, t
  printf "ratio filter/tr: %.2f\n", t / f
}'

# Equivalence: the one-byte rule, and tr's output with CR LF line ends.
"$driver" --per-byte "$work/input" "$work/per-byte.out"
sed 's/$/\r/' "$work/tr.out" >"$work/expected.out"
status=0
if cmp -s "$work/filter.out" "$work/per-byte.out"; then
  echo "output matches the one-byte rule"
else
  echo "MISMATCH: the block path differs from the one-byte rule" >&2
  status=1
fi
if cmp -s "$work/filter.out" "$work/expected.out"; then
  echo "output matches tr's with CR LF line ends"
else
  echo "MISMATCH: the output differs from tr's with CR LF line ends" >&2
  status=1
fi
exit $status
