#!/usr/bin/env bash
# Builds the Debian package with scripts/package and checks it: its name and
# metadata, that it holds exactly the files a user needs, that the programs
# extracted from it run (usage text, banner, a capture against the simulated
# device), and, when lintian is installed, that lintian finds no error.
#   package_check.sh BUILD_DIR
#   package_check.sh --arch ARCH BUILD_DIR   a cross-built package (arm64,
#       armhf): its programs must be that architecture's, linked dynamically,
#       and run under user-mode QEMU; the capture, which needs a terminal
#       that QEMU cannot drive, is left to the ARM guest stage
set -uo pipefail
arch=
if [ "${1:-}" = --arch ] && [ $# -ge 2 ]; then
  arch=$2
  shift 2
fi
if [ $# -ne 1 ]; then
  echo "usage: $0 [--arch ARCH] BUILD_DIR" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd) || exit 1
version=$(head -n 1 "$repo/VERSION")
native=$(dpkg --print-architecture)
arch=${arch:-$native}
# How this machine runs the package's programs, and what they must be.
run=()
case $arch in
  "$native") ;;
  arm64) run=(qemu-aarch64) machine=AArch64 loader=ld-linux-aarch64.so.1 ;;
  armhf) run=(qemu-arm) machine=ARM loader=ld-linux-armhf.so.3 ;;
  *)
    echo "$0: unknown architecture '$arch'" >&2
    exit 2
    ;;
esac

failures=0
fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/sercap-package-XXXXXX")
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

package_args=("$build")
[ "$arch" = "$native" ] || package_args=(--arch "$arch" "$build")
if ! "$repo/scripts/package" "${package_args[@]}" >"$work/package.out" 2>&1; then
  cat "$work/package.out" >&2
  echo "FAIL scripts/package failed" >&2
  exit 1
fi
deb=$(tail -n 1 "$work/package.out")
expected=$build/sercap_${version}_$arch.deb
[ "$deb" = "$expected" ] || fail "package path: '$deb', expected '$expected'"
[ -f "$expected" ] || {
  echo "FAIL no package at $expected" >&2
  exit 1
}
deb=$expected

# Metadata.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = sercap ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: '$(field Version)', VERSION holds '$version'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[[ $(field Installed-Size) =~ ^[1-9][0-9]*$ ]] || fail "Installed-Size: $(field Installed-Size)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
for library in libc6 libstdc++6; do
  [[ $depends == *"$library ("* ]] || fail "Depends lacks $library: $depends"
done
description=$(field Description)
[ -n "$(head -n 1 <<<"$description")" ] || fail "no short description"
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "no long description"

# Contents: exactly these files, the programs executable.
dpkg-deb --fsys-tarfile "$deb" | tar -t -v >"$work/listing" || fail "cannot list the package"
expected_files="./usr/bin/sercap
./usr/bin/sercap-sim
./usr/share/bash-completion/completions/sercap
./usr/share/doc/sercap/README.md
./usr/share/doc/sercap/changelog.gz
./usr/share/doc/sercap/copyright
./usr/share/man/man1/sercap-sim.1.gz
./usr/share/man/man1/sercap.1.gz"
files=$(awk '$1 !~ /^d/ {print $NF}' "$work/listing" | LC_ALL=C sort)
if [ "$files" != "$expected_files" ]; then
  fail "package contents:"
  diff <(echo "$expected_files") <(echo "$files") >&2
fi
for program in sercap sercap-sim; do
  grep -q "^-rwxr-xr-x root/root .* ./usr/bin/$program\$" "$work/listing" ||
    fail "usr/bin/$program is not an executable owned by root"
done

# The files themselves, from an extracted root.
root=$work/root
dpkg-deb -x "$deb" "$root" || fail "cannot extract the package"
cmp -s "$root/usr/share/bash-completion/completions/sercap" "$repo/completion/sercap" ||
  fail "the completion differs from completion/sercap"
for page in sercap sercap-sim; do
  zcat "$root/usr/share/man/man1/$page.1.gz" | cmp -s - "$repo/doc/$page.1" ||
    fail "man1/$page.1.gz differs from doc/$page.1"
done
zcat "$root/usr/share/doc/sercap/changelog.gz" | head -n 1 | grep -qF "sercap ($version) " ||
  fail "the changelog's first entry is not version $version"

sercap=$root/usr/bin/sercap
if [ ${#run[@]} -gt 0 ]; then
  for program in sercap sercap-sim; do
    headers=$(readelf -h -l "$root/usr/bin/$program" 2>&1)
    grep -q "Machine: *$machine\$" <<<"$headers" || fail "usr/bin/$program is not a program for $machine"
    grep -q "interpreter: /lib/$loader\]" <<<"$headers" ||
      fail "usr/bin/$program is not linked dynamically against /lib/$loader"
  done
fi
"${run[@]}" "$sercap" -help >"$work/usage.out" 2>&1
status=$?
[ $status -eq 4 ] || fail "extracted sercap -help: status $status, expected 4"
head -n 1 "$work/usage.out" | grep -q "^usage:$sercap \[COMx\]" ||
  fail "extracted sercap -help: no usage text: $(head -n 2 "$work/usage.out")"
XDG_CONFIG_HOME=$work/config "${run[@]}" "$sercap" >"$work/banner.out" 2>&1
status=$?
[ $status -eq 0 ] || fail "extracted sercap (port list): status $status"
[ "$(head -n 1 "$work/banner.out")" = "$sercap version $version" ] ||
  fail "banner: '$(head -n 1 "$work/banner.out")', expected version $version"

# A capture with both extracted programs: the simulated device plays its
# sample report once sercap has greeted it.
if [ ${#run[@]} -gt 0 ]; then
  echo "capture with the extracted programs: not run, $arch programs need a terminal that user-mode QEMU cannot drive"
else
  export XDG_CONFIG_HOME=$work/config
  "$root/usr/bin/sercap-sim" --link COM9 --wait-rx --lifetime 60 >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -L "$XDG_CONFIG_HOME/sercap/ports/COM9" ] && break
    sleep 0.1
  done
  "$sercap" COM9 -mh -ntx 1 -t 10 -f "$work/capture.spt" >"$work/capture.out" 2>&1
  status=$?
  [ $status -eq 0 ] || fail "capture with the extracted programs: status $status; $(cat "$work/capture.out" "$work/sim.out")"
  grep -q "kwo end" "$work/capture.spt" 2>/dev/null ||
    fail "capture with the extracted programs: no end phrase in the capture file"
fi

# lintian, when installed: no error (warnings are shown).
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" >"$work/lintian.out" 2>&1
  status=$?
  grep -v '^running with root privileges' "$work/lintian.out" >&2
  [ $status -eq 0 ] || fail "lintian found errors (status $status)"
else
  echo "lintian is not installed: not run"
fi

if [ $failures -ne 0 ]; then
  echo "$failures package checks failed" >&2
  exit 1
fi
echo "package checks passed: $deb"
