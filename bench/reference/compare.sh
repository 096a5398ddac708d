#!/bin/sh
# Fitmara against the scipy script on the same model: the time per run beyond
# the model's own time, and wall time / the model's time. Each program runs on
# its own copy of the model folder; the run scripts log each model run's time.
#
#   compare.sh BUILD_DIR WORK_DIR ROWS NPARAMS SLEEP_MS NMAX [NP]
#
# ONLY=fitmara leaves the script out (to compare Fitmara with itself, by NP).
# An unattended Fitmara run ends with its uncertainty analysis (n + 1 runs more,
# which read the simulated values ordered by observed value): its runs are
# counted with the others.
set -eu
build=$(cd "$1" && pwd); work=$2; rows=$3; n=$4; sleep_ms=$5; nmax=$6; np=${7:-1}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
for side in fitmara script; do
    rm -rf "$work/$side"
    /usr/bin/python3 "$here/make_model.py" "$work/$side" "$rows" "$n" "$sleep_ms" "$build/tests/fixtures/standin_model"
done
now() { date +%s%N; }
t0=$(now)
(cd "$work/fitmara" && "$build/fitmara" RF=run.sh DB="$work/fitmara/calib.sqlite" RT=results \
    CD=1=1 OB=OBS MO=SIM OV=VAR NX="$nmax" KR=1E-12 PR=0 PV=0 NP="$np" GO >/dev/null 2>&1) || true
t1=$(now)
[ "${ONLY:-}" = fitmara ] || (cd "$work/script" && /usr/bin/python3 "$here/scipy_nelder_mead.py" "$work/script/calib.sqlite" \
    "$work/script/run.sh" results OBS SIM "$nmax" >/dev/null)
t2=$(now)
report() { # name wall_ns model_ns_file
    awk -v name="$1" -v wall="$2" '{ s += $1; n++ } END {
        printf "%s: %d runs, wall %.3f s, model %.3f s, beyond the model %.2f ms per run, wall/model %.3f\n",
            name, n, wall / 1e9, s / 1e9, (wall - s) / n / 1e6, wall / s }' "$3"
}
report fitmara $((t1 - t0)) "$work/fitmara/model_ns"
[ "${ONLY:-}" = fitmara ] || report script $((t2 - t1)) "$work/script/model_ns"
