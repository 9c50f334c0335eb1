#!/usr/bin/env bash
# Kept: installs only missing Debian packages, quietly; apt-get alone reinstalls and is noisy.
# Installs the named Debian packages that are not installed yet, quietly.
#   scripts/ensure-packages.sh PACKAGE...
# Does nothing (and needs no network) when all of them are present. Uses sudo
# when not run as root.
set -euo pipefail

missing=()
for pkg in "$@"; do
  [[ $(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null) == "install ok installed" ]] || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "installing: ${missing[*]}" >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { $sudo apt-get update -qq &&
       DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "FAILED: apt-get install ${missing[*]}" >&2
  exit 1
fi
