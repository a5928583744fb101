#!/bin/bash
# Installs what Tolvex needs on Debian 12 (as root):
#   bash scripts/setup.sh          everything building and testing need
#   bash scripts/setup.sh build    only what configuring and building need
set -euo pipefail
BUILD=(build-essential cmake ninja-build pkg-config libexpat1-dev libwxgtk3.2-dev
       libgtest-dev libgmock-dev)
TEST=(libpalm-perl clang libclang-rt-14-dev tmux man-db python3 file)
PACKAGES=("${BUILD[@]}")
[ "${1:-}" = build ] || PACKAGES+=("${TEST[@]}")
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
