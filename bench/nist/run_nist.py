#!/usr/bin/env python3
"""The NIST StRD nonlinear regression problems through the real program.

For every problem in bench/nist/*.txt and each published start it builds a
database (the start as IVAL, bounds a decade either side of the start and the
certified value), runs `fitmara ... GO` unattended on the stand-in model
tests/fixtures/nist_model, and compares the result with the certified values:

  digits  the fewest correct significant digits over the parameters
          (-log10 of the relative error); a problem is solved at >= 4
  se      how many standard errors lie within 1 % of the certified ones, from
          the least-squares search's own report (lm) and from the uncertainty
          analysis that follows (fim), each scaled by s^2 = S / (m - n)
  runs    model runs the search made (the run journal's rows)

Every observation has the variance 1 (OV=VAR), so S is the plain sum of squares
and the standard errors are those of the unweighted problem once scaled.

  bench/nist/run_nist.py BUILD_DIR [--sm LM,NM] [--jd central] [--ds 1e-4]
                         [--nx 2000] [--kr 1E-12] [--problems MGH09,Thurber]
                         [--starts 1,2] [--keep DIR] [--extra 'NP=4 MS=2']
"""
import argparse
import glob
import math
import os
import re
import shutil
import sqlite3
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def read_problem(path):
    p = {"name": os.path.basename(path)[:-4], "params": [], "rows": []}
    for line in open(path):
        if line.startswith("#") or not line.strip():
            continue
        words = line.split()
        if words[0] == "model":
            p["model"] = line[len("model "):].strip()
        elif words[0] == "param":
            p["params"].append([words[1]] + [float(v) for v in words[2:6]])
        elif words[0] == "rss":
            p["rss"] = float(words[1])
        else:
            p["rows"].append([float(v) for v in words])
    return p


def bounds(start, certified):
    """A decade beyond the start and the certified value on either side."""
    lo, hi = min(start, certified), max(start, certified)
    return (lo / 10 if lo > 0 else lo * 10), (hi * 10 if hi > 0 else hi / 10)


def make_folder(folder, p, start_index, model):
    os.makedirs(folder)
    n = len(p["params"])
    starts = [q[start_index] for q in p["params"]]
    db = sqlite3.connect(os.path.join(folder, "calib.sqlite"))
    cols = ", ".join(f"B{k + 1} double" for k in range(n))
    db.execute(f"create table model_par (ID integer primary key, {cols})")
    db.execute(f"insert into model_par values (1, {', '.join('?' * n)})", starts)
    db.execute("create table results (ID integer primary key, X double, X2 double, OBS double, "
               "SIM double, VAR double)")
    log_response = p["model"].startswith("log[y]")
    for row in p["rows"]:
        y, xs = row[0], row[1:] + [0.0]
        db.execute("insert into results (X, X2, OBS, SIM, VAR) values (?, ?, ?, 0, 1)",
                   (xs[0], xs[1], math.log(y) if log_response else y))
    db.execute("create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), "
               "PNAME char(10), MINIMUM double, MAXIMUM double, IVAL double, STEP double, "
               "AVAL double, SELECTION char(50), ALIAS char(15), ERROR double)")
    for k, (name, s1, s2, cert, _) in enumerate(p["params"]):
        s = starts[k]
        lo, hi = bounds(s, cert)
        db.execute("insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, "
                   "SELECTION, ALIAS) values ('model_par', ?, ?, ?, ?, ?, ?, 'ID=1', ?)",
                   (f"B{k + 1}", lo, hi, s, 0.1 * abs(s), s, name))
    db.commit()
    db.close()
    with open(os.path.join(folder, "run.sh"), "w") as f:
        f.write(f"#!/bin/sh\nexec '{model}' --db calib.sqlite --problem {p['name']}\n")
    os.chmod(os.path.join(folder, "run.sh"), 0o755)


def sum_of_squares(folder, model, p, values):
    """S at the given values, from one more run of the stand-in model."""
    db_path = os.path.join(folder, "calib.sqlite")
    db = sqlite3.connect(db_path)
    db.execute(f"update model_par set {', '.join(f'B{k + 1}=?' for k in range(len(values)))} "
               "where ID=1", values)
    db.commit()
    db.close()
    subprocess.run([model, "--db", "calib.sqlite", "--problem", p["name"]], cwd=folder,
                   check=True)
    db = sqlite3.connect(db_path)
    s = db.execute("select sum((OBS - SIM) * (OBS - SIM)) from results").fetchone()[0]
    db.close()
    return s if s is not None else math.inf


def digits(value, certified):
    if value == certified:
        return 11.0
    return min(11.0, -math.log10(abs(value - certified) / abs(certified)))


def run_case(build, model, p, start_index, method, a, root):
    folder = os.path.join(root, f"{p['name']}-{start_index}-{method}")
    make_folder(folder, p, start_index, model)
    args = [os.path.join(build, "fitmara"), "RF=run.sh", f"DB={folder}/calib.sqlite",
            "RT=results", "CD=1=1", "OB=OBS", "MO=SIM", "IX=ID", "OV=VAR", "EF=RMSE",
            f"KR={a.kr}", f"NX={a.nx if method == 'LM' else a.nx_nm}", "PR=0", "PV=0",
            f"SM={method}", f"JD={a.jd}", f"DS={a.ds}", "RS_nist"] + a.extra.split() + ["GO"]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.pop("DISPLAY", None)
    began = time.monotonic()
    done = subprocess.run(args, cwd=folder, env=env, capture_output=True, text=True)
    wall = time.monotonic() - began
    db = sqlite3.connect(os.path.join(folder, "calib.sqlite"))
    rows = db.execute("select ALIAS, AVAL, ERROR from PARM_INT order by ITEM_IX").fetchall()
    runs = db.execute("select count(*) from FITMARA_RUNS where OPERATION_ID = 1").fetchone()[0]
    db.close()
    values = [r[1] for r in rows]
    out = {"status": done.returncode, "wall": wall, "runs": runs,
           "digits": min(digits(v, q[3]) for v, q in zip(values, p["params"]))}
    m, n = len(p["rows"]), len(p["params"])
    s = sum_of_squares(folder, model, p, values)
    out["rss_digits"] = digits(s, p["rss"])
    scale = math.sqrt(s / (m - n)) if math.isfinite(s) else math.nan

    def within(ses):
        return sum(1 for se, q in zip(ses, p["params"])
                   if se is not None and abs(se * scale - q[4]) <= 0.01 * q[4])

    out["se_fim"] = within([r[2] for r in rows])
    protocol = ""
    if os.path.exists(os.path.join(folder, "Opti_Result.TXT")):
        protocol = open(os.path.join(folder, "Opti_Result.TXT"), encoding="latin-1").read()
    lm_se = []
    for q in p["params"]:
        found = re.findall(rf"^  {q[0]}: \S+ \+/- (\S+)", protocol, re.M)
        lm_se.append(float(found[-1]) if found else None)
    out["se_lm"] = within(lm_se)
    out["n"] = n
    if done.returncode != 0:
        out["error"] = done.stderr.strip().splitlines()[-1:] if done.stderr else []
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--sm", default="LM,NM")
    ap.add_argument("--jd", default="central")
    ap.add_argument("--ds", default="1e-4")
    ap.add_argument("--nx", type=int, default=2000)
    ap.add_argument("--nx-nm", type=int, default=5000)
    ap.add_argument("--kr", default="1E-12")
    ap.add_argument("--problems", default="")
    ap.add_argument("--starts", default="1,2")
    ap.add_argument("--keep", default="")
    ap.add_argument("--extra", default="", help="more keys for every run, e.g. 'NP=4 MS=2'")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    model = os.path.join(build, "tests", "fixtures", "nist_model")
    problems = [read_problem(f) for f in sorted(glob.glob(os.path.join(HERE, "*.txt")))]
    if a.problems:
        wanted = a.problems.split(",")
        problems = [p for p in problems if p["name"] in wanted]
    root = a.keep or tempfile.mkdtemp(prefix="fitmara-nist-")
    starts = [int(s) for s in a.starts.split(",")]
    methods = a.sm.split(",")
    totals = {}
    print(f"JD={a.jd} DS={a.ds} KR={a.kr} NX={a.nx} (NM: {a.nx_nm})")
    print("problem   start search digits  S-digits  se lm/fim  runs   wall[s]")
    try:
        for p in problems:
            for start in starts:
                for method in methods:
                    r = run_case(build, model, p, start, method, a, root)
                    t = totals.setdefault((method, start), {"solved": 0, "cases": 0, "se_lm": 0,
                                                            "se_fim": 0, "se_n": 0, "runs": 0})
                    t["cases"] += 1
                    t["solved"] += r["digits"] >= 4
                    t["se_lm"] += r["se_lm"] == r["n"]
                    t["se_fim"] += r["se_fim"] == r["n"]
                    t["runs"] += r["runs"]
                    note = "" if r["status"] == 0 else f"  exit {r['status']} {r.get('error')}"
                    print(f"{p['name']:9} {start:5} {method:6} {r['digits']:6.1f} "
                          f"{r['rss_digits']:9.1f}  {r['se_lm']}/{r['se_fim']} of {r['n']}  "
                          f"{r['runs']:5d} {r['wall']:8.1f}{note}", flush=True)
        print()
        for (method, start), t in sorted(totals.items()):
            print(f"SM={method} start {start}: solved {t['solved']}/{t['cases']}, all standard "
                  f"errors within 1 %: {t['se_lm']} (search's report) / {t['se_fim']} "
                  f"(uncertainty analysis), model runs {t['runs']}")
    finally:
        if not a.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
