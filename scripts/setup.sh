#!/bin/bash
# Installs what building and testing Tolvex needs on Debian 12 (as root).
set -euo pipefail
PACKAGES=(build-essential cmake ninja-build pkg-config libexpat1-dev libwxgtk3.2-dev
          libgtest-dev libgmock-dev libpalm-perl clang libclang-rt-14-dev tmux man-db
          python3 file)
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
