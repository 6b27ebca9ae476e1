#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs the main job.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build" >&2
app="$build/bin"
if [ -x "$app/vm6142" ]; then
  exec "$app/vm6142" info "$app/Default.dat" "$@"
fi
exec "$app/vm6142-factory" --describe "$app/Default.dat"
