#!/usr/bin/env bash
# Installs the Debian packages needed to build and test the module, when any is missing.
# Usage: scripts/install-build-deps.sh [--arm64] [extra-package ...]
#   --arm64  also the linux-arm64 cross build (g++-aarch64-linux-gnu, libcrypt-dev:arm64 and
#            libssl-dev:arm64 through dpkg multiarch) and its emulated tests (qemu-user-static,
#            libc6:arm64, libstdc++6:arm64)
set -euo pipefail

# python3: the pty test of test/js/diagnostic-delivery.test.js; faketime: the clock of the
# previous table's end in test/js/previous-table-build.test.js; redis-server: the shared cache's
# tests, which start their own server; python3-bcrypt and apache2-utils (htpasswd): the Python and
# shell examples of docs/clients.md, run by test/js/client-examples.test.js.
packages=(g++ cmake make pkg-config binutils libssl-dev libcrypt-dev nlohmann-json3-dev libgtest-dev python3
  faketime redis-server python3-bcrypt apache2-utils)
arm64=0
for arg in "$@"; do
  if [ "$arg" = --arm64 ]; then
    arm64=1
    packages+=(g++-aarch64-linux-gnu libcrypt-dev:arm64 libssl-dev:arm64 qemu-user-static libc6:arm64
      libstdc++6:arm64)
  else
    packages+=("$arg")
  fi
done

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
if [ "$arm64" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
