#!/usr/bin/env bash
# Builds the Debian package BUILD_DIR/vm6142_<version>_amd64.deb (default build/): installs what
# is needed, builds, takes the editor's screenshot for the package (the installed-layout test),
# then runs CPack. Install it with: apt install ./build/vm6142_*.deb
# Usage: scripts/package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/setup.sh" "$build"
ctest --test-dir "$build" -R '^dist_installed_tree$' --output-on-failure
rm -f "$build"/vm6142_*_amd64.deb
(cd "$build" && cpack -G DEB >cpack.log) || { cat "$build/cpack.log"; exit 1; }
ls "$build"/vm6142_*_amd64.deb
