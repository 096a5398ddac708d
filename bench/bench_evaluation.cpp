// Per-evaluation overhead of the objective function: everything evaluateModel does
// apart from the model's own work and the fixed pauses, compared with the bare
// cost of the same SQL statements run back to back on SQLite plus one start of
// a program that does nothing.
//
// Set-up: a result table of 100,000 rows, 20 parameters each selecting 1,000
// rows of a 20,000-row model table (indexed on its key), pauses 0, and a
// stand-in model that writes all selected rows with one statement.
// Needs the test fixtures built (standin_model, noop_program).
#include "app/session.h"
#include "base/fit_error.h"
#include "evaluation/run_journal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <sqlite3.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kParams = 20;
constexpr int kRowsPerParam = 1000;
constexpr int kResultRows = 100000;
constexpr int kRounds = 30;

const std::string kModelSql = "UPDATE res SET sim = obs + 0.5 WHERE sim = -99";

void check(int rc, sqlite3* db, const std::string& what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "%s: %s\n", what.c_str(), sqlite3_errmsg(db));
        std::exit(1);
    }
}

void exec(sqlite3* db, const std::string& sql) {
    check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, sql);
}

void makeDatabase(const std::string& path) {
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db), db, "open");
    exec(db, "BEGIN");
    exec(db, "CREATE TABLE PARM_INT (ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), "
             "PNAME CHAR(10), MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, "
             "AVAL DOUBLE, SELECTION CHAR(50), ALIAS CHAR(15), ERROR DOUBLE)");
    exec(db, "CREATE TABLE mtab (KEY INTEGER, p DOUBLE)");
    exec(db, "CREATE INDEX mtab_key ON mtab (KEY)");
    exec(db, "CREATE TABLE res (ID INTEGER PRIMARY KEY, grp INTEGER, obs DOUBLE, sim DOUBLE)");
    for (int k = 0; k < kParams; ++k)
        exec(db, "INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION) VALUES "
                 "('mtab','p',0,100,1,1,'KEY=" +
                     std::to_string(k) + "')");
    exec(db, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i < " +
                 std::to_string(kParams * kRowsPerParam - 1) + ") INSERT INTO mtab SELECT i % " +
                 std::to_string(kParams) + ", 0 FROM n");
    exec(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < " +
                 std::to_string(kResultRows) +
                 ") INSERT INTO res SELECT i, i % 7, i * 0.001, 0 FROM n");
    exec(db, "COMMIT");
    sqlite3_close(db);
}

// The program's connection registers sqr(); the bare one needs the same function.
void sqrFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_double(argv[0]) < 0) {
        sqlite3_result_null(ctx);
        return;
    }
    sqlite3_result_double(ctx, std::sqrt(sqlite3_value_double(argv[0])));
}

void startAndWait(const char* program) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(program), nullptr};
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", program);
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
}

// The statements of one evaluation, run directly: write-back, marking, the
// model's update, completeness, criterion; plus one start of a no-op program.
void bareRound(sqlite3* db, int r) {
    exec(db, "BEGIN");
    for (int k = 0; k < kParams; ++k) {
        sqlite3_stmt* st = nullptr;
        check(sqlite3_prepare_v2(db, "UPDATE mtab SET p = ? WHERE KEY=?", -1, &st, nullptr), db,
              "prepare");
        sqlite3_bind_double(st, 1, 1.0 + r + k);
        sqlite3_bind_int(st, 2, k);
        check(sqlite3_step(st), db, "write-back");
        sqlite3_finalize(st);
    }
    exec(db, "COMMIT");
    exec(db, " update res set sim= -99 where 1=1");
    startAndWait(FIXTURE_DIR "/noop_program");
    exec(db, kModelSql);
    exec(db, " select * from res where sim= -99  and (1=1)");
    sqlite3_stmt* st = nullptr;
    check(sqlite3_prepare_v2(db,
                             " SELECT sqr(avg(( obs-sim) * \n(obs-sim))) as hs \n  FROM res "
                             "where 1=1",
                             -1, &st, nullptr),
          db, "criterion");
    sqlite3_step(st);
    sqlite3_finalize(st);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int runAnalysisBench();
int runWorkspaceBench();
int runParallelBench();
int runJournalBench(double evaluationMs);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!QFile::exists(FIXTURE_DIR "/standin_model") ||
        !QFile::exists(FIXTURE_DIR "/noop_program")) {
        std::fprintf(stderr, "build the test fixtures first (standin_model, noop_program)\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString dbPath = dir.filePath("bench.sqlite");
    const QString barePath = dir.filePath("bare.sqlite");
    makeDatabase(dbPath.toStdString());
    makeDatabase(barePath.toStdString());
    // The bare statements run on a copy of the same data.
    const QString script = dir.filePath("run.sh");
    {
        QFile f(script);
        f.open(QIODevice::WriteOnly);
        f.write(QStringLiteral("#!/bin/sh\nexec \"%1\" --db \"%2\" --sql \"%3\"\n")
                    .arg(FIXTURE_DIR "/standin_model", dbPath, QString::fromStdString(kModelSql))
                    .toUtf8());
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    }

    double evalMs = 0;
    try {
        Session s;
        s.settings.pauseAfterRunMs = 0;
        s.settings.pauseBeforeVertexMs = 0;
        s.settings.databaseFile = dbPath;
        s.openDatabase();
        s.setRunFile(script);
        s.form.resultTableCombo.selectIgnoringCase("res");
        s.applyTableChoice();
        s.settings.condition = "1=1";
        s.openResultTable();
        s.chooseColumnNamed(ColumnRole::Observed, "obs");
        s.chooseColumnNamed(ColumnRole::Model, "sim");
        s.chooseColumnNamed(ColumnRole::Index, "grp");
        s.chooseColumnNamed(ColumnRole::Variance, "grp");

        sqlite3* bare = nullptr;
        check(sqlite3_open(barePath.toUtf8().constData(), &bare), bare, "open");
        sqlite3_busy_timeout(bare, 30000);
        sqlite3_create_function_v2(bare, "sqr", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   sqrFunction, nullptr, nullptr, nullptr);

        // The two are interleaved round by round and compared by their medians, so
        // that other load on the machine affects both alike.
        ParameterVector v(kParams + 1, 0.0);
        s.evaluateModel(v, 1); // warm-up
        bareRound(bare, 0);
        // The same evaluation with the run journal on: each run's row staged and
        // written with the next run's write-back.
        RunJournal book(s.db);
        book.begin(journal::OperationKind::Calibration, s.settings, false);
        std::vector<double> evalTimes, journalTimes, bareTimes;
        for (int r = 1; r <= kRounds; ++r) {
            for (int journaled = 0; journaled <= 1; ++journaled) {
                for (int k = 1; k <= kParams; ++k)
                    v[k] = 1.0 + r + k + 0.5 * journaled;
                s.evaluator.setJournal(journaled ? &book : nullptr);
                QElapsedTimer t;
                t.start();
                bool complete = false;
                s.evaluateModel(v, 1, &complete);
                (journaled ? journalTimes : evalTimes).push_back(t.nsecsElapsed() / 1e6);
                if (!complete) {
                    std::fprintf(stderr, "the stand-in model run was incomplete\n");
                    return 1;
                }
            }
            s.evaluator.setJournal(nullptr);
            QElapsedTimer t;
            t.start();
            bareRound(bare, r);
            bareTimes.push_back(t.nsecsElapsed() / 1e6);
        }
        book.end(journal::Outcome::Finished);
        sqlite3_close(bare);
        evalMs = median(evalTimes);
        const double bareMs = median(bareTimes);
        std::printf("model_eval: %.2f ms per evaluation (median of %d)\n", evalMs, kRounds);
        std::printf("bare statements + no-op program start: %.2f ms\n", bareMs);
        std::printf("ratio: %.2f (goal <= 1.5)\n", evalMs / bareMs);
        const double journalMs = median(journalTimes);
        std::printf("model_eval with the run journal: %.2f ms, ratio with/without %.3f "
                    "(goal < 1.02)\n",
                    journalMs, journalMs / evalMs);
    } catch (const FitError& e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    // The analysis part of the benchmarks (bench_analysis.cpp), then the
    // workspaces of parallel runs (bench_workspace.cpp), then the journal's
    // (bench_journal.cpp).
    const int analysis = runAnalysisBench();
    if (analysis != 0)
        return analysis;
    const int workspace = runWorkspaceBench();
    if (workspace != 0)
        return workspace;
    const int parallel = runParallelBench();
    return parallel != 0 ? parallel : runJournalBench(evalMs);
}
