#!/usr/bin/python3
"""The SQL of one run on a model folder's database, without the model process:
the completeness and criterion scan after the model's write, then the write-back
transaction with the -99 marks (synchronous NORMAL), each on a fresh connection,
for a few connection settings, interleaved round by round. Prints the medians:
wall of the scan, wall of the marks transaction, CPU of both.

    marks_sql.py DATABASE ROUNDS

The database (from make_model.py) is copied once per setting; the copies are
left in the database's folder as marks-<setting>.sqlite.
"""
import os
import resource
import shutil
import sqlite3
import statistics
import sys
import time

SETTINGS = {
    "default": [],
    "mmap": ["PRAGMA mmap_size=1073741824"],
    "cache 256 MB": ["PRAGMA cache_size=-262144"],
    "journal kept": ["PRAGMA journal_mode=PERSIST"],
    "WAL": ["PRAGMA journal_mode=WAL"],
}


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main():
    source, rounds = sys.argv[1], int(sys.argv[2])
    folder = os.path.dirname(os.path.abspath(source))
    copies = {}
    for name in SETTINGS:
        copies[name] = os.path.join(folder, "marks-" + name.replace(" ", "-") + ".sqlite")
        shutil.copy(source, copies[name])
    times = {name: [] for name in SETTINGS}
    for k in range(rounds):
        for name, pragmas in SETTINGS.items():
            db = copies[name]
            model = sqlite3.connect(db, isolation_level=None)  # the model's write, not timed
            model.execute(f"UPDATE results SET SIM = X * {1.0 + k * 0.001} + 0.5")
            model.close()
            t0, c0 = time.perf_counter(), cpu()
            con = sqlite3.connect(db, isolation_level=None)
            for p in pragmas:
                con.execute(p).fetchall()
            con.execute("PRAGMA synchronous=NORMAL")
            con.execute("select count(*), sum((OBS-SIM)*(OBS-SIM)), sum(SIM = -99) "
                        "from results").fetchall()
            t1 = time.perf_counter()
            con.execute("BEGIN IMMEDIATE")
            con.execute("UPDATE model_par SET P1 = ?", (1.0 + k,))
            con.execute("UPDATE results SET SIM = -99 WHERE 1=1")
            con.execute("COMMIT")
            con.close()
            times[name].append((t1 - t0, time.perf_counter() - t1, cpu() - c0))
    sqlite3.connect(copies["WAL"]).execute("PRAGMA journal_mode=DELETE").fetchall()
    for name, t in times.items():
        med = [statistics.median(x[i] for x in t) * 1e3 for i in range(3)]
        print(f"{name:14s} scan {med[0]:7.1f} ms  marks {med[1]:7.1f} ms  CPU {med[2]:7.1f} ms")


if __name__ == "__main__":
    main()
