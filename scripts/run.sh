#!/usr/bin/env bash
# Sets up (packages, configure, build) and starts the desktop editor `Program`.
#
# Unless a real port is configured (VM6142_PORT, a "--port" argument, or a [Ports] entry in
# build/bin/Program.ini), a simulated radio is started on a pseudo-terminal and the editor's
# port points at it for this run only, so Program > Read and Write work at once.
# Without a display the editor runs on the offscreen platform, saves a picture of its window
# and says how to run it on a desktop.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build" >&2
app="$build/bin"

if [ ! -x "$app/Program" ]; then
  # Built without the editor (-DVM_BUILD_GUI=OFF): describe the factory image instead.
  if [ -x "$app/vm6142" ]; then
    exec "$app/vm6142" info "$app/Default.dat" "$@"
  fi
  exec "$app/vm6142-factory" --describe "$app/Default.dat"
fi

args=("$@")
port="${VM6142_PORT:-}"
for a in "$@"; do
  case "$a" in --port|--port=*) port="(given)" ;; esac
done
if [ -z "$port" ] && grep -qi '^\s*\[Ports\]' "$app/Program.ini" 2>/dev/null; then
  port="(configured)"
fi

radio_pid=""
work=$(mktemp -d)
cleanup() {
  if [ -n "$radio_pid" ]; then kill "$radio_pid" 2>/dev/null || true; wait "$radio_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$port" ] && [ -x "$app/vm6142-radio" ]; then
  # The simulated radio prints its device on the first line of its output.
  "$app/vm6142-radio" --save "$work/radio.dat" >"$work/radio.out" 2>"$work/radio.log" &
  radio_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/radio.out" ] && break
    sleep 0.05
  done
  device=$(head -n1 "$work/radio.out" || true)
  if [ -n "$device" ]; then
    echo "run: simulated radio on $device (the editor's port for this run)" >&2
    args=(--port "$device" "${args[@]}")
  else
    echo "run: the simulated radio did not start; see $work/radio.log" >&2
  fi
elif [ -n "${VM6142_PORT:-}" ]; then
  args=(--port "$VM6142_PORT" "${args[@]}")
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$app/Program" "${args[@]}"
  exit $?
fi

# No display: show what the editor looks like, then how to run it for real.
picture="$build/Program-window.png"
QT_QPA_PLATFORM=offscreen "$app/Program" "${args[@]}" --screenshot "$picture" 2>/dev/null
cat <<EOF
There is no display here, so the editor ran off screen: a picture of its window is in
  $picture
To use it, run the same command on a desktop (X11 or Wayland):
  scripts/run.sh
With a real programming cable: $app/Program --port /dev/ttyUSB0
(or Setting > Port; see README.md, "The desktop editor").
EOF
