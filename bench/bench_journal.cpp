// Cost of the run journal per model run: one row in FITMARA_RUNS with a
// 20-parameter vector and 20 lines of model output.
//
//  - staged and written in the next run's write-back transaction (the way it
//    is meant to be used, Journal::stageRun): the row's own cost, measured as
//    the difference between that transaction with and without the row;
//  - in a transaction of its own: one commit more (a sync to the disk);
//  - the resume lookup of a completed run on a journal of 10,000 runs.
// Rounds are interleaved and compared by their medians, so that other load on
// the machine affects both sides alike.
#include "base/fit_error.h"
#include "paramdb/database.h"
#include "paramdb/journal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <sqlite3.h>
#include <vector>

namespace {

constexpr int kParams = 20;
constexpr int kRounds = 200;
constexpr int kLookupRuns = 10000;

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void makeJournalDatabase(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    std::string sql =
        "BEGIN;"
        "CREATE TABLE PARM_INT (ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), "
        "PNAME CHAR(10), MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, "
        "SELECTION CHAR(50), ALIAS CHAR(15), ERROR DOUBLE);"
        "CREATE TABLE mtab (KEY INTEGER, p DOUBLE);";
    for (int k = 0; k < kParams; ++k)
        sql += "INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION) VALUES "
               "('mtab','p',0,100,1,1,'KEY=" +
               std::to_string(k) + "');INSERT INTO mtab VALUES (" + std::to_string(k) + ", 1);";
    sql += "COMMIT;";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

journal::RunRecord sampleRun(qint64 op, int number) {
    journal::RunRecord r;
    r.operation = op;
    r.run = number;
    r.phase = journal::Phase::Search;
    for (int k = 0; k < kParams; ++k)
        r.x.push_back(1.0 / (3.0 + k + number));
    r.criterion = 0.123456789 * number;
    r.complete = true;
    r.exitStatus = QStringLiteral("exit status 0");
    r.durationSeconds = 0.25;
    QStringList lines;
    for (int i = 0; i < 20; ++i)
        lines << QStringLiteral("time step %1 of 20: water balance closed, 1234 cells").arg(i);
    r.output = lines.join(QLatin1Char('\n'));
    return r;
}

} // namespace

// evaluationMs: the median per-evaluation time of the evaluation benchmark, to
// put the journal's cost in proportion (0: not known).
int runJournalBench(double evaluationMs) {
    QTemporaryDir dir;
    const QString path = dir.filePath("journal.sqlite");
    makeJournalDatabase(path);
    try {
        Database db(QStringLiteral("journal_bench"));
        db.open(path);
        journal::Journal j(db);
        j.ensureTables();
        const qint64 op = j.beginOperation(journal::OperationKind::Calibration, {});

        std::vector<double> with, without, own;
        int number = 0;
        for (int r = 0; r < kRounds; ++r) {
            QElapsedTimer t;
            t.start();
            db.inTransaction([&] {
                db.exec(QStringLiteral("update mtab set p = ? where KEY = ?"), {double(r), r % 20});
            });
            without.push_back(t.nsecsElapsed() / 1e3);
            t.restart();
            j.stageRun(sampleRun(op, ++number));
            j.inTransaction([&] {
                db.exec(QStringLiteral("update mtab set p = ? where KEY = ?"), {double(r), r % 20});
            });
            with.push_back(t.nsecsElapsed() / 1e3);
            t.restart();
            j.recordRun(sampleRun(op, ++number));
            own.push_back(t.nsecsElapsed() / 1e3);
        }
        const double rowUs = std::max(0.0, medianOf(with) - medianOf(without));
        const double ownUs = medianOf(own);

        // The resume lookup on a long journal.
        db.inTransaction([&] {
            while (number < kLookupRuns)
                j.recordRun(sampleRun(op, ++number));
        });
        std::vector<double> lookups;
        for (int r = 0; r < kRounds; ++r) {
            const auto run = sampleRun(op, 1 + (r * 37) % kLookupRuns);
            QElapsedTimer t;
            t.start();
            if (!j.completedRun(op, run.x)) {
                std::fprintf(stderr, "journal lookup found nothing\n");
                return 1;
            }
            lookups.push_back(t.nsecsElapsed() / 1e3);
        }

        std::printf("journal row staged, written with the next write-back: %.0f us per run (median "
                    "of %d)\n",
                    rowUs, kRounds);
        std::printf("journal row in a transaction of its own: %.0f us per run\n", ownUs);
        std::printf("resume lookup on %d runs: %.0f us\n", kLookupRuns, medianOf(lookups));
        if (evaluationMs > 0)
            std::printf("journal cost per evaluation: %.2f %% staged, %.2f %% "
                        "on its own (goal < 2 %%)\n",
                        100.0 * rowUs / 1e3 / evaluationMs, 100.0 * ownUs / 1e3 / evaluationMs);
    } catch (const FitError& e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
