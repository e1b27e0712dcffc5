#!/usr/bin/env bash
# Installs the Debian packages needed to build and test the module, when any is missing.
# Usage: scripts/install-build-deps.sh [extra-package ...]
set -euo pipefail

packages=(g++ cmake make pkg-config binutils libssl-dev libcrypt-dev nlohmann-json3-dev libgtest-dev "$@")

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "build dependencies: all present"
  exit 0
fi

echo "build dependencies: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
