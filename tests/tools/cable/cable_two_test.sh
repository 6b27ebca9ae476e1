#!/usr/bin/env bash
# Two cables at once: each gets its own COM name, vm6142 ports lists both, and two reads at the
# same time, one through each, read each cable's own radio.
set -euo pipefail
wrapper=$1 emu=$2 tool=$3 radio=$4
source "$(dirname "$0")/cable_common.sh"

start_radio radio "$scratch/radio.dat"
first=$radio_pty
start_radio other "$scratch/changed.dat"
start_host --line "$first" --line "$radio_pty"
wait_for_port COM5
wait_for_port COM6
[ "$(readlink "$scratch/run/COM5")" != "$(readlink "$scratch/run/COM6")" ] || fail "both COM names lead to one port"
"$tool" ports >"$scratch/ports.log" 2>&1 || fail "vm6142 ports"
grep -E "^COM5 +$scratch/run/COM5" "$scratch/ports.log" >/dev/null &&
  grep -E "^COM6 +$scratch/run/COM6" "$scratch/ports.log" >/dev/null || fail "vm6142 ports does not list COM5 and COM6"
echo "ok: two cables, COM5 and COM6"

"$tool" read -p COM5 -o "$scratch/five.dat" --no-backup >"$scratch/five.log" 2>&1 &
five=$!
"$tool" read -p COM6 -o "$scratch/six.dat" --no-backup >"$scratch/six.log" 2>&1 ||
  fail "the read through COM6: $(cat "$scratch/six.log")"
wait "$five" || fail "the read through COM5: $(cat "$scratch/five.log")"
same_as_radio "$scratch/five.dat" || fail "COM5 did not read the first radio"
cmp -i $((4096 + 0x100)):$((4096 + 0x100)) -n $((0x10000 - 0x100)) "$scratch/six.dat" "$scratch/changed.dat" ||
  fail "COM6 did not read the second radio"
echo "ok: two reads at once, each through its own cable"

stop_host
