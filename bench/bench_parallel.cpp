// Parallel model runs against one after the other, with a stand-in model that
// sleeps 200 ms per run (so the two cores do not limit it): the uncertainty
// analysis of 8 parameters, and a calibration of 6 parameters of about 60 runs,
// each with NP=4 and NP=1. Ratios of one run each, and whether the results agree.
#include "app/session.h"
#include "base/fit_error.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <sqlite3.h>

namespace {

// n parameters p1..pn of one model row; sim = sum of p_k * x^(k-1) / k over 12 rows.
QString databaseSql(int n) {
    QString sql = "create table model_par (ID integer primary key";
    for (int k = 1; k <= n; ++k)
        sql += QString(", p%1 double").arg(k);
    sql += ");\ninsert into model_par values (1";
    for (int k = 1; k <= n; ++k)
        sql += ", 1.0";
    sql += ");\ncreate table results (ID integer primary key, X double, OBS double, SIM double, "
           "GRP integer, VAR double);\n";
    for (int r = 0; r < 12; ++r)
        sql +=
            QString("insert into results (X, OBS, SIM, GRP, VAR) values (%1, %2, 0, %3, 0.01);\n")
                .arg(r * 0.25)
                .arg(2.0 + r * 0.8 + (r % 3) * 0.05)
                .arg(r % 2 + 1);
    sql += "create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), "
           "PNAME char(10), MINIMUM double, MAXIMUM double, IVAL double, STEP double, AVAL "
           "double, SELECTION char(50), ALIAS char(15), ERROR double);\n";
    for (int k = 1; k <= n; ++k)
        sql += QString("insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, "
                       "SELECTION, ALIAS) values ('model_par', 'p%1', -10, 10, 1, 0.3, 1.2, "
                       "'ID=1', 'p%1');\n")
                   .arg(k);
    return sql;
}

QString modelSql(int n) {
    QString sum;
    for (int k = 1; k <= n; ++k)
        sum += QString("%1(SELECT p%2 FROM model_par WHERE ID=1) * power(X, %3) / %2")
                   .arg(k == 1 ? "" : " + ")
                   .arg(k)
                   .arg(k - 1);
    return "UPDATE results SET SIM = " + sum;
}

// A model folder: the database and a run script naming it relatively.
QString makeModel(const QString& dir, int n) {
    QDir().mkpath(dir);
    const QString db = dir + "/calib.sqlite";
    sqlite3* h = nullptr;
    sqlite3_open(QFile::encodeName(db).constData(), &h);
    sqlite3_exec(h, databaseSql(n).toUtf8().constData(), nullptr, nullptr, nullptr);
    sqlite3_close(h);
    QFile f(dir + "/run.sh");
    f.open(QIODevice::WriteOnly);
    f.write(
        QString("#!/bin/sh\nexec \"%1\" --db calib.sqlite --behave slow --sleep 200 --sql \"%2\"\n")
            .arg(FIXTURE_DIR "/standin_model", modelSql(n))
            .toUtf8());
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return db;
}

struct Timed {
    double seconds = 0;
    QString values; // AVAL and ERROR of PARM_INT, as text
    int modelRuns = 0;
};

QString parmInt(Session& s) {
    QString out;
    QSqlQuery q = s.db.query("select AVAL, ERROR from parm_int order by ITEM_IX");
    while (q.next())
        out += q.value(0).toString() + "/" + q.value(1).toString() + " ";
    return out;
}

Timed runOnce(const QString& dir, int n, int np, bool calibrate) {
    const QString db = makeModel(dir, n);
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(dir);
    Timed t;
    {
        Session s;
        s.settings.pauseAfterRunMs = 0;
        s.settings.pauseBeforeVertexMs = 0;
        s.settings.databaseFile = db;
        s.openDatabase();
        s.setRunFile(dir + "/run.sh");
        s.form.resultTableCombo.selectIgnoringCase("results");
        s.applyTableChoice();
        s.settings.condition = "1=1";
        s.openResultTable();
        s.chooseColumnNamed(ColumnRole::Observed, "OBS");
        s.chooseColumnNamed(ColumnRole::Model, "SIM");
        s.chooseColumnNamed(ColumnRole::Index, "GRP");
        s.chooseColumnNamed(ColumnRole::Variance, "VAR");
        s.settings.parallelRuns = np;
        s.settings.maxEvaluations = 53; // with the 7 runs of the initial simplex: about 60
        s.settings.tolerance = "1E-12";
        QElapsedTimer clock;
        clock.start();
        if (calibrate)
            s.startOptimization();
        else
            s.analyseUncertainty();
        t.seconds = clock.elapsed() / 1000.0;
        t.values = parmInt(s);
        t.modelRuns = s.evaluationCount;
    }
    QDir::setCurrent(oldCwd);
    return t;
}

} // namespace

int runParallelBench() {
    QTemporaryDir dir;
    try {
        std::printf("\nParallel model runs (stand-in model sleeping 200 ms per run):\n");
        const Timed u1 = runOnce(dir.filePath("u1"), 8, 1, false);
        const Timed u4 = runOnce(dir.filePath("u4"), 8, 4, false);
        std::printf("  uncertainty, 8 parameters (9 runs): NP=1 %.2f s, NP=4 %.2f s, speed-up "
                    "%.2f; results %s\n",
                    u1.seconds, u4.seconds, u1.seconds / u4.seconds,
                    u1.values == u4.values ? "identical" : "DIFFERENT");
        const Timed c1 = runOnce(dir.filePath("c1"), 6, 1, true);
        const Timed c4 = runOnce(dir.filePath("c4"), 6, 4, true);
        std::printf("  calibration, 6 parameters (%d runs): NP=1 %.2f s, NP=4 %.2f s, speed-up "
                    "%.2f; results %s\n",
                    c1.modelRuns, c1.seconds, c4.seconds, c1.seconds / c4.seconds,
                    c1.values == c4.values && c1.modelRuns == c4.modelRuns ? "identical"
                                                                           : "DIFFERENT");
        return u1.values == u4.values && c1.values == c4.values ? 0 : 1;
    } catch (const FitError& e) {
        std::fprintf(stderr, "parallel bench: %s\n", qPrintable(e.message()));
        return 1;
    }
}
