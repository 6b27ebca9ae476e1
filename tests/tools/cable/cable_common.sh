# Sourced by the cable tests: a scratch folder, a simulated radio on its own pseudo-terminal,
# the host over emulated cables (its standard input a FIFO the test writes commands into), and
# clean-up. Needs: wrapper emu tool radio set.
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
# Every byte crosses two pseudo-terminals and four processes, whose delivery a busy machine
# holds back for longer than the radio's own waits (a one-byte answer has taken over 4 s to
# cross both at load 6); the link is given the longest waits it allows, as the README tells a
# user of the cable to do.
export VM6142_TIMEOUT_SCALE=20

# start_radio NAME IMAGE: a simulated radio with that memory; sets radio_pty.
start_radio() {
  mkfifo "$scratch/$1.out"
  "$radio" --save "$scratch/$1-saved.dat" "$2" >"$scratch/$1.out" 2>"$scratch/$1.log" &
  pids+=($!)
  read -r radio_pty <"$scratch/$1.out" || fail "the radio printed no device"
}

# start_host ARGS...: the host over emulated cables; commands go to fd 9, answers come on fd 8.
start_host() {
  mkfifo "$scratch/emu.in" "$scratch/emu.out"
  "$wrapper" "$emu" --run-dir "$scratch/run" "$@" <"$scratch/emu.in" >"$scratch/emu.out" 2>"$scratch/host.log" &
  pids+=($!)
  host_pid=$!
  exec 9>"$scratch/emu.in"   # held open: the emulation runs until the test ends
  exec 8<"$scratch/emu.out"
}

# wait_for_port COM: until the host has published it.
wait_for_port() {
  for _ in $(seq 1 400); do [ -e "$scratch/run/$1" ] && return 0; sleep 0.05; done
  fail "the host published no $1"
}

# stop_host: end of its input; it stops cleanly and removes its links.
stop_host() {
  exec 9>&-
  wait "$host_pid" || fail "the host did not stop cleanly"
  [ -z "$(ls -A "$scratch/run")" ] || fail "links were left behind: $(ls -A "$scratch/run")"
  echo "ok: stopped cleanly, links removed"
}

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

# same_as_radio FILE: the image read equals the radio's memory.
same_as_radio() {
  cmp -i $((4096 + 0x100)):$((4096 + 0x100)) -n $((0x10000 - 0x100)) "$1" "$scratch/radio.dat"
}
