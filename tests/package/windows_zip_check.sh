#!/usr/bin/env bash
# Checks scripts/package-windows-zip on a stand-in sercap.exe: the zip's name
# carries the version from VERSION, it holds exactly sercap.exe (unchanged)
# README.txt (the README with CR LF line ends) and MANUAL.txt (the manual page
# as plain ASCII text with CR LF line ends), a stale zip is replaced,
# and a missing sercap.exe is an error that says so.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
version=$(head -n 1 "$repo/VERSION")
work=$(mktemp -d "${TMPDIR:-/tmp}/sercap-zip-check-XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

# No sercap.exe: an error naming it, and no zip.
mkdir "$work/empty"
if "$repo/scripts/package-windows-zip" "$work/empty" >"$work/missing.out" 2>&1; then
  fail "succeeded without sercap.exe"
fi
grep -q "sercap.exe is missing" "$work/missing.out" || fail "no clear message: $(cat "$work/missing.out")"
[ -z "$(ls -A "$work/empty")" ] || fail "left files behind without sercap.exe"

# A stand-in executable with every byte value, and a stale zip to replace.
mkdir "$work/build"
{
  printf 'MZ'
  for i in $(seq 0 255); do printf %b "\\x$(printf %02x "$i")"; done
  printf '\r\n\n'
} >"$work/build/sercap.exe"
zip="$work/build/sercap-$version-win64.zip"
(cd "$work" && echo stale >stale.txt && zip -q "$zip" stale.txt)

(cd "$work" && "$repo/scripts/package-windows-zip" build) >"$work/made.out" 2>&1 ||
  fail "package-windows-zip failed: $(cat "$work/made.out")"
[ "$(tail -n 1 "$work/made.out")" = "$work/build/sercap-$version-win64.zip" ] ||
  fail "printed '$(tail -n 1 "$work/made.out")'"
[ "$(unzip -Z1 "$zip" 2>&1 | LC_ALL=C sort | tr '\n' ' ')" = "MANUAL.txt README.txt sercap.exe " ] ||
  fail "zip entries: $(unzip -Z1 "$zip" 2>&1 | tr '\n' ' ')"
unzip -p "$zip" sercap.exe | cmp -s - "$work/build/sercap.exe" || fail "sercap.exe changed in the zip"
unzip -p "$zip" README.txt >"$work/README.txt"
# Every line ends in CR LF, and without the CRs it is the README.
if LC_ALL=C grep -q $'[^\r]$\|^$' "$work/README.txt"; then
  fail "README.txt has a line without CR LF"
fi
[ "$(tail -c 2 "$work/README.txt" | od -An -tx1 | tr -d ' ')" = 0d0a ] || fail "README.txt's last line"
tr -d '\r' <"$work/README.txt" | cmp -s - "$repo/README.md" || fail "README.txt is not the README"
unzip -p "$zip" MANUAL.txt >"$work/MANUAL.txt"
# Plain ASCII, no terminal bold or underline, CR LF line ends, and the
# whole page: its first section and its last.
if LC_ALL=C grep -q $'[^\r]$\|^$\|[^\t\r -~]' "$work/MANUAL.txt"; then
  fail "MANUAL.txt has a line without CR LF, or bytes that are not plain text"
fi
grep -q $'^NAME\r$' "$work/MANUAL.txt" || fail "MANUAL.txt lacks the NAME section"
grep -q $'^SEE ALSO\r$' "$work/MANUAL.txt" || fail "MANUAL.txt lacks the SEE ALSO section"

if [ $failures -ne 0 ]; then
  echo "$failures zip checks failed" >&2
  exit 1
fi
echo "windows zip checks passed"
