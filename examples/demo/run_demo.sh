#!/usr/bin/env bash
# `make demo`: calibrates the example model unattended and shows the result.
#
#   bash examples/demo/run_demo.sh <builddir>
#
# Makes <builddir>/demo/ afresh with the database, the run script and the model,
# runs fitmara there without a window, then tells where the protocols are and
# compares the calibrated values with the true ones. Exits non-zero when the
# run failed.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: bash examples/demo/run_demo.sh <builddir>" >&2
  exit 2
fi

src_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build_dir="$(cd "$1" && pwd)"
fitmara="$build_dir/fitmara"
work="$build_dir/demo"

if [ ! -x "$fitmara" ]; then
  echo "run_demo: $fitmara is missing; build first (make build)." >&2
  exit 1
fi
bash "$src_dir/make_folder.sh" "$build_dir" "$work"

echo "== Calibrating the demo model in $work"
# Keys that open something stand in this order: DB=, then RT=, then CD=, then
# the four columns. PR=0 and PV=0 drop the pauses the window keeps between runs.
status=0
(
  cd "$work"
  unset DISPLAY WAYLAND_DISPLAY
  DEMO_MODEL=./demo_model "$fitmara" RF=run.sh "DB=$work/demo.sqlite" RT=biomass CD=1=1 \
    OB=OBS MO=SIM IX=SITE_ID OV=OBS_VAR EF=RMSE KR=0.000001 NX=300 PR=0 PV=0 \
    RS_demo XL_OUT GO
) > "$work/fitmara.log" 2>&1 || status=$?

if [ "$status" -ne 0 ]; then
  echo "run_demo: the calibration failed (exit status $status). Its output:" >&2
  tail -n 30 "$work/fitmara.log" >&2
  exit 1
fi

echo
echo "== Protocols"
for f in Opti_Result.TXT RS_demo.txt RS_demo.xlsx; do
  if [ -f "$work/$f" ]; then
    echo "  $work/$f"
  else
    echo "  $work/$f (missing)"
    status=1
  fi
done
echo "  $work/fitmara.log (everything the run printed)"

if [ -f "$work/RS_demo.xlsx" ] && command -v unzip >/dev/null; then
  echo
  echo "== Sheets of RS_demo.xlsx"
  # Sheet names in tab order, from the workbook's own index.
  unzip -p "$work/RS_demo.xlsx" xl/workbook.xml | grep -o '<sheet name="[^"]*"' |
    sed 's/<sheet name="\(.*\)"/  \1/'
  charts=$(unzip -Z1 "$work/RS_demo.xlsx" | grep -c '^xl/charts/chart' || true)
  echo "  ($charts chart(s) in the workbook)"
fi

echo
echo "== Calibrated values (AVAL, standard error) beside the true ones"
sqlite3 -header -column "$work/demo.sqlite" \
  "SELECT p.ALIAS AS parameter, round(p.IVAL, 4) AS start, round(p.AVAL, 4) AS calibrated,
          round(p.ERROR, 4) AS std_error, t.VALUE AS true_value
     FROM PARM_INT p LEFT JOIN true_values t ON trim(t.ALIAS) = trim(p.ALIAS)
    ORDER BY p.ITEM_IX"
exit "$status"
