#!/usr/bin/env bash
# Installs what .ci/run needs (scripts/packages.txt and scripts/ci-packages.txt); only what is
# missing is installed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-packages.sh" "$root/scripts/packages.txt" "$root/scripts/ci-packages.txt"
