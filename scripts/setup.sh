#!/usr/bin/env bash
# Installs the Debian packages Fitmara needs to build, test and run.
# Safe to run repeatedly: only missing packages are installed, and nothing is
# printed when none is missing.
#
# The list must be complete for a minimal Debian 12 with nothing but `git` and
# `make` installed: scripts/fresh-check.sh proves it. Run that check whenever
# a package is added here or the build, the tests or the demo start to use
# another program or library.
set -euo pipefail

packages=(
  # Compiler, make, libc headers; CMake >= 3.25 and pkg-config find the rest.
  build-essential cmake pkg-config ccache
  # Qt 6: Core, Gui, Widgets, Sql, Test (qt6-base-dev), the SQLite driver
  # plugin, Charts. Charts' CMake package needs Qt6OpenGL's, which is only a
  # recommendation of qt6-charts-dev.
  qt6-base-dev libqt6sql6-sqlite qt6-charts-dev libqt6opengl6-dev
  # SQLite for the program and the models; the sqlite3 shell makes the demo
  # database. libxlsxwriter's pkg-config file links with -lz.
  libsqlite3-dev sqlite3 libxlsxwriter-dev zlib1g-dev
  # GoogleTest; unzip reads the workbooks the tests write.
  libgtest-dev unzip
  # Open MPI: the engine of runs across the nodes of a cluster (mpirun).
  libopenmpi-dev openmpi-bin
  # Eigen 3 (headers only): the matrix unit and the least-squares solve.
  libeigen3-dev
)

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  # Not Debian: the build tells what is missing. The names above are Debian's.
  echo "setup: no dpkg/apt here, nothing installed. Fitmara needs the equivalents of:" >&2
  echo "setup:   ${packages[*]}" >&2
  exit 0
fi

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
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "setup: installing packages needs root, and sudo is not installed." >&2
    echo "setup: run 'bash scripts/setup.sh' as root once, or install sudo." >&2
    exit 1
  fi
  SUDO=(sudo)
fi
# sudo drops the environment, so the frontend is set on the command itself.
# A fresh machine often installs its updates in the first minutes: wait for
# the package lock instead of failing.
apt=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
"${apt[@]}" update -q
"${apt[@]}" install -y -q --no-install-recommends "${missing[@]}"
