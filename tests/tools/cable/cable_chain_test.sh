#!/usr/bin/env bash
# The whole chain across processes: vm6142 read and write on the port the host publishes
# → the host → libusb → an emulated cable → the chip model → a simulated radio on its own
# pseudo-terminal. The image read equals the radio's memory; the radio receives the image.
set -euo pipefail
wrapper=$1 emu=$2 tool=$3 radio=$4
source "$(dirname "$0")/cable_common.sh"

start_radio radio "$scratch/radio.dat"
start_host --line "$radio_pty"
wait_for_port COM5
grep -q "is COM5" "$scratch/host.log" || fail "the host did not say which port it serves"

"$tool" ports >"$scratch/ports.log" 2>&1 || fail "vm6142 ports"
grep -E "^COM5 +$scratch/run/COM5" "$scratch/ports.log" >/dev/null || fail "vm6142 ports does not list the cable as COM5"

"$tool" read -p COM5 -o "$scratch/read.dat" --no-backup >"$scratch/read.log" 2>&1 ||
  fail "vm6142 read through the host: $(cat "$scratch/read.log")"
same_as_radio "$scratch/read.dat" || fail "the image read differs from the radio's memory"
echo "ok: read through the host equals the radio's memory"

"$tool" write -p COM5 "$scratch/changed.dat" >"$scratch/write.log" 2>&1 ||
  fail "vm6142 write through the host: $(cat "$scratch/write.log")"
for _ in $(seq 1 100); do [ -s "$scratch/radio-saved.dat" ] && break; sleep 0.05; done
cmp -i $((4096 + 0x60)):$((4096 + 0x60)) -n $((0xCC00 - 0x60)) "$scratch/radio-saved.dat" "$scratch/changed.dat" ||
  fail "the radio did not receive the image written"
echo "ok: the radio received the image written through the host"

# The port re-opens: a second read after the write.
"$tool" read -p COM5 -o "$scratch/again.dat" --no-backup >"$scratch/again.log" 2>&1 ||
  fail "a second read: $(cat "$scratch/again.log")"
cmp -i $((4096 + 0x2000)):$((4096 + 0x2000)) -n $((0x400)) "$scratch/again.dat" "$scratch/changed.dat" ||
  fail "the second read does not show what was written"
echo "ok: the port re-opens"

stop_host
