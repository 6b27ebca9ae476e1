#!/usr/bin/env bash
# The whole chain across processes: vm6142 read and write on the port usbser2k-host publishes
# → the host → libusb → an emulated cable → the chip model → a simulated radio on its own
# pseudo-terminal. The image read equals the radio's memory; the radio receives the image.
set -euo pipefail
wrapper=$1 emu=$2 tool=$3 radio=$4
scratch=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$scratch"/*.log; do echo "== $f" >&2; tail -20 "$f" >&2; done; exit 1; }
mkdir "$scratch/home" "$scratch/run"
export HOME=$scratch/home VM6142_RUNTIME_DIR=$scratch/run

# The radio's memory: the factory image with a pattern of our own in it.
"$tool" new "$scratch/radio.dat" >/dev/null
python3 - "$scratch/radio.dat" "$scratch/changed.dat" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
for i in range(0x1000, 0x1400):
    data[4096 + i] = (i * 7 + 3) & 0xFF
open(sys.argv[1], 'wb').write(data)
for i in range(0x2000, 0x2400):
    data[4096 + i] = (i * 13 + 5) & 0xFF
open(sys.argv[2], 'wb').write(data)
PY

mkfifo "$scratch/radio.out"
"$radio" --save "$scratch/saved.dat" "$scratch/radio.dat" >"$scratch/radio.out" 2>"$scratch/radio.log" &
pids+=($!)
read -r pty <"$scratch/radio.out" || fail "the radio printed no device"

mkfifo "$scratch/emu.in"
"$wrapper" "$emu" --line "$pty" --run-dir "$scratch/run" <"$scratch/emu.in" 2>"$scratch/host.log" &
pids+=($!)
exec 9>"$scratch/emu.in"   # held open: the emulation runs until the test ends
for _ in $(seq 1 400); do [ -e "$scratch/run/COM5" ] && break; sleep 0.05; done
[ -e "$scratch/run/COM5" ] || fail "the host published no COM5"
grep -q "is COM5" "$scratch/host.log" || fail "the host did not say which port it serves"

"$tool" ports >"$scratch/ports.log" 2>&1 || fail "vm6142 ports"
grep -E "^COM5 +$scratch/run/COM5" "$scratch/ports.log" >/dev/null || fail "vm6142 ports does not list the cable as COM5"

"$tool" read -p COM5 -o "$scratch/read.dat" --no-backup >"$scratch/read.log" 2>&1 ||
  fail "vm6142 read through the host: $(cat "$scratch/read.log")"
cmp -i $((4096 + 0x100)):$((4096 + 0x100)) -n $((0x10000 - 0x100)) "$scratch/read.dat" "$scratch/radio.dat" ||
  fail "the image read differs from the radio's memory"
echo "ok: read through the host equals the radio's memory"

"$tool" write -p COM5 "$scratch/changed.dat" >"$scratch/write.log" 2>&1 ||
  fail "vm6142 write through the host: $(cat "$scratch/write.log")"
for _ in $(seq 1 100); do [ -s "$scratch/saved.dat" ] && break; sleep 0.05; done
cmp -i $((4096 + 0x60)):$((4096 + 0x60)) -n $((0xCC00 - 0x60)) "$scratch/saved.dat" "$scratch/changed.dat" ||
  fail "the radio did not receive the image written"
echo "ok: the radio received the image written through the host"

# The port re-opens: a second read after the write.
"$tool" read -p COM5 -o "$scratch/again.dat" --no-backup >"$scratch/again.log" 2>&1 ||
  fail "a second read: $(cat "$scratch/again.log")"
cmp -i $((4096 + 0x2000)):$((4096 + 0x2000)) -n $((0x400)) "$scratch/again.dat" "$scratch/changed.dat" ||
  fail "the second read does not show what was written"
echo "ok: the port re-opens"

# Stopped: the port is closed and the link removed.
exec 9>&-
wait "${pids[1]}" || fail "the host did not stop cleanly"
[ ! -e "$scratch/run/COM5" ] && [ ! -L "$scratch/run/COM5" ] || fail "the link was left behind"
echo "ok: stopped cleanly, link removed"
