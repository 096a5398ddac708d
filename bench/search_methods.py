#!/usr/bin/env python3
"""Wall time and model runs of the two searches on a model that sleeps.

A stand-in model with n parameters (hat functions with a quadratic term, so the
problem is smooth, well conditioned and not linear) sleeps --sleep ms per run.
For n in the sizes given it runs, each in a folder of its own:
  SM=NM at NP=1 and at NP=n+1, SM=LM at NP=1 and at NP=n+1,
and prints wall time, model runs (the journal's rows), the objective reached,
the speed-up of LM over NM at the same NP and LM's parallel efficiency
(wall at NP=1 / (NP * wall at NP)).

  bench/search_methods.py BUILD_DIR [--sizes 6,12] [--sleep 200] [--nx 3000] [--methods NM,LM]
                          [--program PATH] [--starts K] [--np 1,4]

--methods LM leaves out the simplex (it takes most of the time); --program runs
another build's fitmara with this build's stand-in model (to compare two versions).
--starts K gives MS=K (the starts of the search); --np the numbers of workers
to run (default 1 and n+1).
"""
import argparse
import os
import shutil
import sqlite3
import subprocess
import tempfile
import time


def hat(x, k):
    return max(0.0, 1.0 - abs(x - 3 * k) / 3.0)


def model_value(p, x):
    e = sum(pk * hat(x, k + 1) for k, pk in enumerate(p))
    return e + 0.05 * e * e


def make_folder(root, n, build, sleep_ms):
    os.makedirs(root)
    truth = [1 + 0.25 * (k + 1) for k in range(n)]
    xs = list(range(0, 3 * n + 4))
    db = sqlite3.connect(os.path.join(root, "calib.sqlite"))
    cols = ", ".join(f"P{k + 1} double" for k in range(n))
    db.execute(f"create table model_par (ID integer primary key, {cols})")
    db.execute(f"insert into model_par values (1, {', '.join('1.0' for _ in range(n))})")
    db.execute("create table results (ID integer primary key, X double, OBS double, SIM double, "
               "VAR double)")
    for x in xs:
        db.execute("insert into results (X, OBS, SIM, VAR) values (?, ?, 0, 1)",
                   (x, model_value(truth, x)))
    db.execute("create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), "
               "PNAME char(10), MINIMUM double, MAXIMUM double, IVAL double, STEP double, "
               "AVAL double, SELECTION char(50), ALIAS char(15), ERROR double)")
    for k in range(n):
        db.execute("insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, "
                   "SELECTION, ALIAS) values ('model_par', ?, -10, 10, 1, 0.5, 1, 'ID=1', ?)",
                   (f"P{k + 1}", f"p{k + 1}"))
    db.commit()
    db.close()
    terms = " + ".join(f"P{k + 1} * max(0, 1 - abs(X - {3 * (k + 1)}) / 3.0)" for k in range(n))
    e = f"(SELECT {terms} FROM model_par WHERE ID=1)"
    sql = f"UPDATE results SET SIM = {e} + 0.05 * {e} * {e}"
    standin = os.path.join(build, "tests", "fixtures", "standin_model")
    with open(os.path.join(root, "run.sh"), "w") as f:
        f.write("#!/bin/sh\n")
        f.write(f"exec '{standin}' --db calib.sqlite --behave slow --sleep {sleep_ms} "
                f"--sql \"{sql}\"\n")
    os.chmod(os.path.join(root, "run.sh"), 0o755)
    return truth


def run(build, folder, method, np_, nx, program=None, starts=1):
    args = [program or os.path.join(build, "fitmara"), "RF=run.sh", f"DB={folder}/calib.sqlite",
            "RT=results", "CD=1=1", "OB=OBS", "MO=SIM", "OV=VAR", "KR=1E-10", f"NX={nx}", "PR=0", "PV=0",
            f"SM={method}", f"NP={np_}", f"MS={starts}", "GO"]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.pop("DISPLAY", None)
    # A GO line goes on with the uncertainty analysis; the search's wall time
    # is from the start to the protocol it writes at its end.
    start = time.time()
    done = subprocess.run(args, cwd=folder, env=env, capture_output=True, text=True)
    wall = os.path.getmtime(os.path.join(folder, "Opti_Result.TXT")) - start
    if done.returncode != 0:
        raise SystemExit(f"{method} NP={np_} failed: {done.stderr}")
    db = sqlite3.connect(os.path.join(folder, "calib.sqlite"))
    runs = db.execute("select count(*) from FITMARA_RUNS where OPERATION_ID = 1 and PHASE <> "
                      "'speculative'").fetchone()[0]
    made = db.execute("select count(*) from FITMARA_RUNS where OPERATION_ID = 1").fetchone()[0]
    aval = [r[0] for r in db.execute("select AVAL from PARM_INT order by ITEM_IX")]
    obs = [r[0] for r in db.execute("select OBS from results order by ID")]
    xs = [r[0] for r in db.execute("select X from results order by ID")]
    db.close()
    s = sum((o - model_value(aval, x)) ** 2 for o, x in zip(obs, xs))
    return wall, runs, made, s, aval


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--sizes", default="6,12")
    ap.add_argument("--sleep", type=int, default=200)
    ap.add_argument("--nx", type=int, default=3000)
    ap.add_argument("--methods", default="NM,LM")
    ap.add_argument("--program", default=None)
    ap.add_argument("--starts", type=int, default=1)
    ap.add_argument("--np", default=None)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    methods = [m for m in a.methods.split(",") if m]
    program = os.path.abspath(a.program) if a.program else None
    tmp = tempfile.mkdtemp(prefix="fitmara-search-bench-")
    try:
        print("n  search NP   wall[s]  runs used/made  objective S")
        for n in [int(v) for v in a.sizes.split(",")]:
            walls = {}
            for method in methods:
                nps = [int(v) for v in a.np.split(",")] if a.np else [1, n + 1]
                for np_ in nps:
                    folder = os.path.join(tmp, f"{method}{n}np{np_}")
                    make_folder(folder, n, build, a.sleep)
                    wall, runs, made, s, _ = run(build, folder, method, np_, a.nx, program,
                                                 a.starts)
                    walls[(method, np_)] = wall
                    print(f"{n:<2} {method:6} {np_:<3} {wall:9.1f}  {runs:5d}/{made:<5d}  {s:.3e}")
            big = max(nps)
            if len(methods) == 2 and (1 in nps):
                print(f"   LM/NM wall at NP={big}: {walls[('LM', big)] / walls[('NM', big)]:.3f}; "
                      f"at NP=1: {walls[('LM', 1)] / walls[('NM', 1)]:.3f}")
            for method in methods if 1 in nps else []:
                eff = walls[(method, 1)] / (big * walls[(method, big)])
                print(f"   {method} parallel efficiency at NP={big}: {eff:.2f}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
