#!/usr/bin/env bash
# The cable pulled out at block 200 of a read: vm6142 read fails with "Communication error",
# the host says so, lets go of the cable and stays up; a cable plugged in again at the same
# place is served under the same COM name and reads the radio.
set -euo pipefail
wrapper=$1 emu=$2 tool=$3 radio=$4
source "$(dirname "$0")/cable_common.sh"

start_radio radio "$scratch/radio.dat"
start_host --line "$radio_pty" --unplug-at-block 200
wait_for_port COM5

code=0
"$tool" read -p COM5 -o "$scratch/read.dat" --no-backup >"$scratch/read.log" 2>&1 || code=$?
[ "$code" != 0 ] || fail "vm6142 read succeeded with the cable pulled out"
grep -q "Communication error" "$scratch/read.log" || fail "vm6142 read did not say \"Communication error\": $(cat "$scratch/read.log")"
[ ! -e "$scratch/read.dat" ] || fail "a failed read left an image behind"
grep -q "pulling the cable out at block 200" "$scratch/host.log" || fail "the cable was not pulled at block 200"
echo "ok: pulled at block 200, the read fails with \"Communication error\""

echo remove >&9
read -r -t 30 answer <&8 || fail "no answer to remove"
[ "$answer" = removed ] || fail "the host did not let go of the cable ($answer)"
grep -q "COM5: cable removed" "$scratch/host.log" || fail "the host did not log the removal"
[ ! -e "$scratch/run/COM5" ] && [ ! -L "$scratch/run/COM5" ] || fail "the link stayed after the cable went"
kill -0 "$host_pid" 2>/dev/null || fail "the host did not stay up"
echo "ok: the host logs the removal, drops the link and stays up"

echo replug >&9
read -r -t 30 answer <&8 || fail "no answer to replug"
[ "$answer" = plugged ] || fail "the cable could not be plugged in again"
wait_for_port COM5
[ "$(grep -c "is COM5" "$scratch/host.log")" = 2 ] || fail "the cable plugged in again is not COM5"
"$tool" read -p COM5 -o "$scratch/again.dat" --no-backup >"$scratch/again.log" 2>&1 ||
  fail "a read through the cable plugged in again: $(cat "$scratch/again.log")"
same_as_radio "$scratch/again.dat" || fail "the image read differs from the radio's memory"
echo "ok: plugged in again, served as COM5, the read equals the radio's memory"

stop_host
