#!/usr/bin/env bash
# `make docs`: takes the pictures of docs/ from the real window.
#
#   bash scripts/screenshots.sh <builddir>
#
# Makes <builddir>/docs-shots/ afresh with the example's database, run script
# and model, and runs fitmara_screenshots there without a display (Qt's
# offscreen platform). The pictures go into docs/images/; commit them.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: bash scripts/screenshots.sh <builddir>" >&2
  exit 2
fi

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(cd "$1" && pwd)"
shooter="$build_dir/tools/fitmara_screenshots"
work="$build_dir/docs-shots"

if [ ! -x "$shooter" ]; then
  echo "screenshots: $shooter is missing; build it first (make docs does)." >&2
  exit 1
fi
bash "$top/examples/demo/make_folder.sh" "$build_dir" "$work"
mkdir -p "$top/docs/images"

# No display, whatever the desktop: the pictures do not depend on it, and
# nothing opens on the screen.
(
  cd "$work"
  unset DISPLAY WAYLAND_DISPLAY
  export QT_QPA_PLATFORM=offscreen
  "$shooter" "$work" "$top/docs/images"
)
