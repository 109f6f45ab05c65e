# Helpers shared by the scripts: sourced, never run. Each script sets its own
# shell options; these functions assume `set -euo pipefail`.
#   . "$(dirname "$0")/lib.sh"              from scripts/
#   . "$(dirname "$0")/../scripts/lib.sh"   from elsewhere

# The repository's root, whichever script sourced this file.
sercap_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# die MESSAGE...: prints "SCRIPT: MESSAGE" on standard error and exits 1.
die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# apt_install [APT-OPTION...] PACKAGE...: installs Debian packages, through
# sudo unless this is root, after refreshing the package lists.
apt_install() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
}

# ensure_configured DIR [CMAKE-ARGUMENT...]: configures DIR with Ninja when it
# has no cache yet, or when CMake arguments are given (so that they hold also
# for an existing tree).
ensure_configured() {
  local dir=$1
  shift
  if [ ! -f "$dir/CMakeCache.txt" ] || [ $# -gt 0 ]; then
    cmake -S "$sercap_root" -B "$dir" -G Ninja "$@" >/dev/null
  fi
}

# ensure_build DIR [CMAKE-ARGUMENT...] [-- TARGET...]: ensure_configured, then
# builds TARGETs (everything without). The build's output goes to standard
# error, so that a script's own output stays apart.
ensure_build() {
  local dir=$1
  shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    args+=("$1")
    shift
  done
  if [ $# -gt 0 ]; then
    shift
    targets=(--target "$@")
  fi
  ensure_configured "$dir" "${args[@]}"
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
}

# ensure_programs DIR TARGET...: builds the programs TARGETs in DIR. A DIR
# not configured yet (or whose configuring failed) is configured without the
# tests and the benchmarks, so that building a program needs neither
# GoogleTest nor Google Benchmark (scripts/test turns them on in its trees).
ensure_programs() {
  local dir=$1
  shift
  local args=()
  [ -f "$dir/build.ninja" ] || args=(-DSERCAP_TESTS=OFF -DSERCAP_BENCH=OFF)
  ensure_build "$dir" "${args[@]}" -- "$@"
}

# sercap_version: the release number from VERSION, checked to be one.
sercap_version() {
  local version
  version=$(head -n 1 "$sercap_root/VERSION")
  [[ $version =~ ^[0-9][A-Za-z0-9.+~]*$ ]] || die "VERSION holds '$version', not a version number"
  echo "$version"
}

# fresh_wine_prefix: points Wine at a new prefix in a temporary folder and
# keeps one wineserver alive for it, so that each program start is quick.
# Sets the calling shell's EXIT trap, which ends that server (and every Wine
# program of the prefix with it) and removes the folder, also when a test
# fails: call it once, from a shell of its own.
fresh_wine_prefix() {
  wine_scratch=$(mktemp -d)
  export WINEPREFIX=$wine_scratch/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$wine_scratch"' EXIT
  wineserver -p >/dev/null 2>&1
  wineboot --init >/dev/null 2>&1
}

# cross_triplet ARCH: the GNU triplet of Debian's cross compiler for ARCH
# (arm64, armhf), whose toolchain file is cmake/TRIPLET.cmake; fails for
# any other.
cross_triplet() {
  case "$1" in
    arm64) echo aarch64-linux-gnu ;;
    armhf) echo arm-linux-gnueabihf ;;
    *) return 1 ;;
  esac
}
