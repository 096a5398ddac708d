#!/usr/bin/python3
"""What a modeller writes instead of Fitmara: Nelder-Mead from scipy driving the
same model through the same contract. Each evaluation writes the parameter
values into the model's tables with sqlite3, runs the run script, and reads the
RMSE with one SQL query. It starts from the same simplex as Fitmara (IVAL, and
IVAL + STEP in each coordinate), holds the values to MINIMUM..MAXIMUM as
Fitmara does, and prints the number of runs and the time of the search.

    scipy_nelder_mead.py DB RUN_SCRIPT TABLE OBS SIM MAXFEV

A benchmark of the project, not a part of the program (Debian's python3-scipy).
"""
import os
import sqlite3
import subprocess
import sys
import time

import numpy as np
from scipy.optimize import minimize


def main():
    db, run_script, table, obs, sim, maxfev = sys.argv[1:7]
    con = sqlite3.connect(db)
    records = con.execute(
        "select FNAME, PNAME, SELECTION, IVAL, STEP, MINIMUM, MAXIMUM from PARM_INT"
    ).fetchall()
    con.close()
    start = np.array([r[3] for r in records], dtype=float)
    simplex = [start] + [start + np.eye(len(start))[k] * records[k][4] for k in range(len(start))]
    runs = 0

    def rmse(x):
        nonlocal runs
        runs += 1
        con = sqlite3.connect(db)
        with con:
            for (fname, pname, selection, _, _, lo, hi), v in zip(records, x):
                con.execute(
                    f"update {fname} set {pname} = ? where {selection}", (min(max(v, lo), hi),)
                )
        con.close()
        subprocess.run([run_script], check=True, cwd=os.path.dirname(os.path.abspath(run_script)))
        con = sqlite3.connect(db)
        (e,) = con.execute(
            f"select sqrt(avg(({obs} - {sim}) * ({obs} - {sim}))) from {table}"
        ).fetchone()
        con.close()
        return e

    clock = time.perf_counter()
    result = minimize(
        rmse,
        start,
        method="Nelder-Mead",
        options={"initial_simplex": np.array(simplex), "maxfev": int(maxfev), "xatol": 0, "fatol": 0},
    )
    print(f"runs {runs} seconds {time.perf_counter() - clock:.4f} best {result.fun:.6g}")


if __name__ == "__main__":
    main()
