#!/usr/bin/env bash
# Installs what the project needs (Debian 12), configures and builds.
# Idempotent: packages already present are not touched; an unchanged tree builds in seconds.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
shift || true

"$root/scripts/install-packages.sh" "$root/scripts/packages.txt"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja "$@"
elif (($#)); then
  cmake -S "$root" -B "$build" "$@"
fi
cmake --build "$build"
