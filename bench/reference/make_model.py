#!/usr/bin/python3
"""Writes a model folder for the comparison: calib.sqlite with a polynomial model
of NPARAMS coefficients over ROWS result rows, and run.sh, which runs the
stand-in model (it sleeps SLEEP_MS, then computes every row with one UPDATE)
on the calib.sqlite of its working folder (so that parallel runs use their
workspace's copy) and appends the model's own time in nanoseconds to model_ns.

    make_model.py DIR ROWS NPARAMS SLEEP_MS STANDIN_MODEL
"""
import os
import sqlite3
import sys


def main():
    folder, rows, nparams, sleep_ms, standin = sys.argv[1:6]
    rows, nparams = int(rows), int(nparams)
    os.makedirs(folder, exist_ok=True)
    db = os.path.join(os.path.abspath(folder), "calib.sqlite")
    if os.path.exists(db):
        os.remove(db)
    con = sqlite3.connect(db)
    cols = ", ".join(f"P{k} double" for k in range(1, nparams + 1))
    con.execute(f"create table model_par (ID integer primary key, {cols})")
    con.execute(
        f"insert into model_par values (1, {', '.join('1.0' for _ in range(nparams))})"
    )
    con.execute(
        "create table results (ID integer primary key, X double, OBS double, SIM double, "
        "GRP integer, VAR double)"
    )
    truth = [2.0 + 0.5 * k for k in range(nparams)]

    def poly(x):
        return sum(c * x**k for k, c in enumerate(truth))

    con.executemany(
        "insert into results (X, OBS, SIM, GRP, VAR) values (?, ?, 0, ?, 0.01)",
        ((i / rows, poly(i / rows) + 0.01 * ((i * 7919) % 13 - 6), 1 + i % 2) for i in range(rows)),
    )
    con.execute(
        "create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), "
        "PNAME char(10), MINIMUM double, MAXIMUM double, IVAL double, STEP double, AVAL double, "
        "SELECTION char(50), ALIAS char(15), ERROR double)"
    )
    con.executemany(
        "insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS) "
        "values ('model_par', ?, -100, 100, 1, 0.5, 1, 'ID=1', ?)",
        ((f"P{k}", f"p{k}") for k in range(1, nparams + 1)),
    )
    con.commit()
    con.close()
    terms = " + ".join(
        f"(SELECT P{k} FROM model_par WHERE ID=1)" + "".join(" * X" for _ in range(k - 1))
        for k in range(1, nparams + 1)
    )
    script = os.path.join(folder, "run.sh")
    with open(script, "w") as f:
        f.write(
            "#!/bin/sh\n"
            "s=$(date +%s%N)\n"
            f"'{standin}' --db calib.sqlite --behave slow --sleep {sleep_ms} "
            f"--sql 'UPDATE results SET SIM = {terms}'\n"
            "r=$?\n"
            f"echo $(( $(date +%s%N) - s )) >> '{os.path.abspath(folder)}/model_ns'\n"
            "exit $r\n"
        )
    os.chmod(script, 0o755)


if __name__ == "__main__":
    main()
