#!/usr/bin/env bash
# Installs the Debian packages listed in the given files (names separated by blanks or lines,
# '#' starts a comment) that are not installed yet; touches nothing when all are present.
set -euo pipefail
packages=()
for list in "$@"; do
  read -r -a names <<<"$(sed 's/#.*//' "$list" | tr '\n' ' ')"
  packages+=("${names[@]}")
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
