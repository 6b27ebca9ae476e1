#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
