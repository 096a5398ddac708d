#!/usr/bin/env bash
# Makes a fresh folder holding the example: its database, run script and model.
#
#   bash examples/demo/make_folder.sh <builddir> <folder>
#
# Used by `make demo` and `make docs`; the folder is emptied first.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: bash examples/demo/make_folder.sh <builddir> <folder>" >&2
  exit 2
fi

src_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
model="$1/examples/demo/demo_model"
work="$2"

if [ ! -x "$model" ]; then
  echo "demo: $model is missing; build first (make build)." >&2
  exit 1
fi
if ! command -v sqlite3 >/dev/null; then
  echo "demo: the sqlite3 program is missing (make setup installs it)." >&2
  exit 1
fi

rm -rf "$work"
mkdir -p "$work"
sqlite3 "$work/demo.sqlite" < "$src_dir/demo.sql"
cp "$src_dir/run.sh" "$work/run.sh"
cp "$model" "$work/demo_model"
chmod +x "$work/run.sh" "$work/demo_model"
