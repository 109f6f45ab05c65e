#!/usr/bin/env bash
# Checks the bash completion for sercap: sources it and looks at COMPREPLY for
# the option words, option values and the port position, where it must offer
# a COM name that the built sercap's port list shows (a simulated device
# published in a scratch port map).
#   completion_check.sh SERCAP SERCAP_SIM COMPLETION_FILE
set -uo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 SERCAP SERCAP_SIM COMPLETION_FILE" >&2
  exit 2
fi
sercap=$1
sim=$2
completion=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/sercap-completion-XXXXXX")
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config

# COM24, the last name the port list shows, published by the simulator.
"$sim" --link COM24 --hold 120 --lifetime 120 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -L "$XDG_CONFIG_HOME/sercap/ports/COM24" ] && break
  sleep 0.1
done
if [ ! -L "$XDG_CONFIG_HOME/sercap/ports/COM24" ]; then
  echo "the simulated device did not publish COM24:" >&2
  cat "$work/sim.out" >&2
  exit 1
fi

# shellcheck source=/dev/null
source "$completion" || exit 1
if [ "$(complete -p sercap 2>/dev/null)" != "complete -F _sercap sercap" ]; then
  echo "the completion is not registered for sercap" >&2
  exit 1
fi

failures=0
# complete WORD...: runs the completion with the last word as the one being
# completed and leaves its answer in COMPREPLY.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _sercap
}
# expect NAME 'EXPECTED REPLY' WORD...: the whole reply, in order.
expect() {
  local name=$1 expected=$2
  shift 2
  complete_words "$@"
  local got="${COMPREPLY[*]}"
  if [ "$got" != "$expected" ]; then
    echo "FAIL $name: completing '${*: -1}' after '${*:1:$#-1}'" >&2
    echo "  expected: $expected" >&2
    echo "  got:      $got" >&2
    failures=$((failures + 1))
  fi
}
# expect_has NAME WANTED WORD...: WANTED is one of the replies.
expect_has() {
  local name=$1 wanted=$2 reply
  shift 2
  complete_words "$@"
  for reply in "${COMPREPLY[@]}"; do
    [ "$reply" = "$wanted" ] && return 0
  done
  echo "FAIL $name: '$wanted' not offered for '${*: -1}'; got: ${COMPREPLY[*]}" >&2
  failures=$((failures + 1))
}

expect "option prefix" "-f -filteroff -flowctrl" "$sercap" -f
expect "option prefix after a value" "-d2 -d" "$sercap" -f out.txt -d
expect "rates" "115200" "$sercap" COM3 -r 115
expect "flow control" "0 1 2" "$sercap" -flowctrl ""
expect "stop bits" "1 2" "$sercap" -s ""
expect "first signal" "SETXOFF SETXON" "$sercap" -setsignal SETX
expect "signal after a comma" "SETDTR,CLRRTS SETDTR,CLRDTR SETDTR,CLRBREAK" \
  "$sercap" -setsignal SETDTR,CL
expect "free value" "" "$sercap" -tx ""
# A value is taken whatever it looks like: "-r" here is the file name, and
# the word after it stands in the port position.
expect "value that looks like an option" "" "$sercap" -f -r 11

# The port position: the COM names from the port list, and options.
expect_has "COM name from the port list" COM24 "$sercap" ""
expect_has "options beside the ports" -setsignal "$sercap" ""
expect "COM prefix" "COM24" "$sercap" -mh COM2
expect_has "port after options" COM24 "$sercap" -r 9600 COM
# A device path: every reply is a terminal device.
complete_words "$sercap" /dev/tty
if [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | grep -qv '^/dev/tty'; then
  echo "FAIL device paths: got ${COMPREPLY[*]}" >&2
  failures=$((failures + 1))
fi

# File names after -f.
touch "$work/capture-one.spt" "$work/capture-two.spt"
expect "file names" "$work/capture-one.spt $work/capture-two.spt" "$sercap" -f "$work/capture-"

# Long options, and their values after a space or after "=" (which bash
# makes a word of its own).
expect "long option prefix" "--fail-on" "$sercap" --fa
expect "timestamps formats" "iso elapsed" "$sercap" --timestamps = ""
expect "file names after --raw=" "$work/capture-one.spt $work/capture-two.spt" \
  "$sercap" --raw = "$work/capture-"
expect "file names after --summary" "$work/capture-two.spt" "$sercap" --summary "$work/capture-t"
expect "free value of --fail-on" "" "$sercap" --fail-on ""

# A sercap that cannot be run still completes options, silently.
expect "no port list without a program" "-pe -po -progress" "$work/missing/sercap" -p
expect "nothing from a missing program" "" "$work/missing/sercap" COM

if [ $failures -ne 0 ]; then
  echo "$failures completion checks failed" >&2
  exit 1
fi
echo "completion checks passed"
