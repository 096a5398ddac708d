#!/usr/bin/env bash
# Installs the Debian packages Fitmara needs to build, test and run.
# Safe to run repeatedly: only missing packages are installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache
  qt6-base-dev libqt6sql6-sqlite qt6-charts-dev libqt6opengl6-dev
  libsqlite3-dev sqlite3 libxlsxwriter-dev zlib1g-dev libgtest-dev
  libopenmpi-dev openmpi-bin
  unzip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
