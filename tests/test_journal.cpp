// The run journal in the user's database: its tables, operations, runs kept
// exactly, and what resuming finds.
#include "base/fit_error.h"
#include "paramdb/journal.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace journal;

namespace {

const char* kDb = R"(
create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), PNAME char(10),
  MINIMUM double, MAXIMUM double, IVAL double, STEP double, AVAL double, SELECTION char(50),
  ALIAS char(15), ERROR double);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS, ERROR)
  values ('crop', 'GROWTH', 0, 1, 0.5, 0.1, 0.5, 'ID=1', 'g', null),
         ('crop', 'DECAY', 0.1, 10, 2, 0.5, 2, 'ID=1', 'd', null);
create table crop (ID integer, GROWTH double, DECAY double);
insert into crop values (1, 0.5, 2);
create table results (OBS double, SIM double);
)";

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = fixture::makeDb(dir.path(), kDb);
        db.open(path);
    }
    QVariant value(const QString& sql, const QVariantList& values = {}) {
        QSqlQuery q = db.query(sql, values);
        return q.next() ? q.value(0) : QVariant();
    }
    RunRecord run(qint64 op, int number, std::vector<double> x, std::optional<double> criterion) {
        RunRecord r;
        r.operation = op;
        r.run = number;
        r.x = std::move(x);
        r.criterion = criterion;
        r.complete = criterion.has_value();
        return r;
    }
    QTemporaryDir dir;
    QString path;
    Database db{QStringLiteral("journal_test")};
    Journal journal{db};
    const QJsonObject settings{{"NMAX", 200}, {"FTOL", 1e-6}, {"CRITERION", "RMSE"}};
};

TEST_F(JournalTest, TablesAreMadeOnceAndAreNoModelTables) {
    journal.ensureTables();
    journal.ensureTables(); // again: nothing changes, nothing fails
    const QStringList tables = db.tables();
    EXPECT_TRUE(tables.contains(QStringLiteral("FITMARA_OPERATIONS")));
    EXPECT_TRUE(tables.contains(QStringLiteral("FITMARA_RUNS")));
    EXPECT_EQ(withoutJournalTables(tables),
              (QStringList{QStringLiteral("crop"), QStringLiteral("PARM_INT"),
                           QStringLiteral("results")}));
    for (const char* name : {"FITMARA_RUNS", "fitmara_operations", " Fitmara_Runs "})
        EXPECT_TRUE(isJournalTable(QString::fromLatin1(name))) << name;
    for (const char* name : {"FITMARA_RUNS_bop", "crop", "FITMARA"})
        EXPECT_FALSE(isJournalTable(QString::fromLatin1(name))) << name;
}

TEST_F(JournalTest, ATableOfTheNameWithAnotherLayoutIsAnError) {
    db.exec(QStringLiteral("create table fitmara_runs (A integer)"));
    try {
        journal.ensureTables();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains(QStringLiteral("fitmara_runs"), Qt::CaseInsensitive))
            << e.message().toStdString();
    }
}

TEST_F(JournalTest, OperationFromBeginToEndAndReopened) {
    journal.ensureTables();
    const qint64 first = journal.beginOperation(OperationKind::Calibration, settings);
    const qint64 second = journal.beginOperation(OperationKind::Sensitivity, {});
    EXPECT_GT(first, 0);
    EXPECT_GT(second, first);
    const QString where = QStringLiteral(" from FITMARA_OPERATIONS where ID = ?");
    EXPECT_EQ(value("select KIND" + where, {first}).toString(), "calibration");
    EXPECT_EQ(value("select SETTINGS" + where, {first}).toString(),
              R"({"CRITERION":"RMSE","FTOL":1e-06,"NMAX":200})");
    // PARM_INT without the values the operations write.
    const QString parameters = value("select PARAMETERS" + where, {first}).toString();
    EXPECT_TRUE(parameters.contains(QStringLiteral("\"PNAME\":\"DECAY\"")));
    EXPECT_FALSE(parameters.contains(QStringLiteral("AVAL")));
    EXPECT_FALSE(parameters.contains(QStringLiteral("ERROR")));
    EXPECT_EQ(value("select FINGERPRINT" + where, {first}).toString().size(), 64);
    EXPECT_TRUE(value("select ENDED" + where, {first}).isNull());
    EXPECT_TRUE(value("select OUTCOME" + where, {first}).isNull());

    journal.endOperation(first, Outcome::Stopped, QStringLiteral("Stopped on request."));
    EXPECT_EQ(value("select OUTCOME" + where, {first}).toString(), "stopped");
    EXPECT_EQ(value("select REASON" + where, {first}).toString(), "Stopped on request.");
    // Times are UTC text that SQLite's date functions read, and sort.
    EXPECT_EQ(value("select julianday(ENDED) >= julianday(STARTED)" + where, {first}).toInt(), 1);
    EXPECT_TRUE(value("select OUTCOME" + where, {second}).isNull());

    journal.reopenOperation(first);
    EXPECT_TRUE(value("select ENDED" + where, {first}).isNull());
    EXPECT_TRUE(value("select OUTCOME" + where, {first}).isNull());
    EXPECT_TRUE(value("select REASON" + where, {first}).isNull());
    EXPECT_EQ(value("select RESUMED" + where, {first}).toInt(), 1);
}

// The journal gives back exactly what the search used: the lookup of a resume
// and the criterion it replays must not differ in the last bit.
TEST_F(JournalTest, RunsAreKeptExactly) {
    journal.ensureTables();
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<std::vector<double>> vectors = {
        {0.1, 1.0 / 3.0},
        {-0.0, 0.0},
        {0.0, 0.0},
        {tiny, std::numeric_limits<double>::max(), -1e-300},
        {std::nextafter(1.0, 2.0), 1.0},
        {1.0, 1.0},
        {},
    };
    const double criterion = 0.1 + 0.2; // not 0.3
    for (std::size_t i = 0; i < vectors.size(); ++i)
        journal.recordRun(run(op, int(i) + 1, vectors[i], criterion * double(i + 1)));
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        SCOPED_TRACE(Journal::vectorText(vectors[i]).toStdString());
        const auto found = journal.completedRun(op, vectors[i]);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->run, int(i) + 1);
        EXPECT_TRUE(sameBits(found->x, vectors[i]));
        ASSERT_TRUE(found->criterion.has_value());
        const double expected = criterion * double(i + 1);
        EXPECT_EQ(std::memcmp(&*found->criterion, &expected, sizeof expected), 0);
    }
    // A neighbour in the last bit is another vector; so are a shorter one and
    // the same values under another operation.
    const qint64 other = journal.beginOperation(OperationKind::Calibration, settings);
    EXPECT_FALSE(journal.completedRun(op, {0.1, std::nextafter(1.0 / 3.0, 1.0)}));
    EXPECT_FALSE(journal.completedRun(op, {0.1}));
    EXPECT_FALSE(journal.completedRun(other, {0.1, 1.0 / 3.0}));
    EXPECT_FALSE(journal.completedRun(op, {std::nan(""), 1.0}));
    EXPECT_FALSE(journal.completedRun(op, {std::numeric_limits<double>::infinity(), 1.0}));

    // The text is plain JSON, so queries can take the values apart.
    EXPECT_EQ(Journal::vectorText({0.1, 1.0 / 3.0, -0.0, 2.0, 1e-7}),
              QStringLiteral("[0.1,0.3333333333333333,-0,2,1e-07]"));
    EXPECT_EQ(value("select count(*) from FITMARA_RUNS where json_extract(PARAMS, '$[1]') = 1.0/3")
                  .toInt(),
              1);
}

TEST_F(JournalTest, RunFieldsAndTheRunThatCounts) {
    journal.ensureTables();
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    const std::vector<double> x = {0.25, 4.0};
    // A first try timed out, the retry completed; the same vector later again.
    RunRecord timedOut = run(op, 7, x, std::nullopt);
    timedOut.phase = Phase::Shrink;
    timedOut.status = QStringLiteral("model run timed out after 2 s");
    timedOut.exitStatus = QStringLiteral("killed by signal 15 (SIGTERM)");
    timedOut.output = QStringLiteral("step 1\nstep 2");
    timedOut.durationSeconds = 2.004;
    timedOut.worker = 3;
    timedOut.started = QDateTime(QDate(2024, 5, 1), QTime(12, 0, 0, 125), Qt::UTC);
    journal.recordRun(timedOut);
    RunRecord retry = run(op, 7, x, 1.5);
    retry.attempt = 2;
    retry.phase = Phase::Shrink;
    retry.exitStatus = QStringLiteral("exit status 0");
    const qint64 retryId = journal.recordRun(retry);
    journal.recordRun(run(op, 9, x, 1.5));

    const auto found = journal.completedRun(op, x);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->id, retryId);
    EXPECT_EQ(found->run, 7);
    EXPECT_EQ(found->attempt, 2);
    EXPECT_EQ(found->phase, Phase::Shrink);
    EXPECT_TRUE(found->complete);
    EXPECT_EQ(found->status, QStringLiteral("complete"));
    EXPECT_EQ(found->exitStatus, QStringLiteral("exit status 0"));
    EXPECT_TRUE(found->started.isValid()); // now, as none was given

    QSqlQuery q = db.query(QStringLiteral("select PHASE, CRITERION, COMPLETE, STATUS, EXIT_STATUS, "
                                          "STARTED, DURATION, WORKER, OUTPUT, TRY from "
                                          "FITMARA_RUNS order by ID limit 1"));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toString(), "shrink");
    EXPECT_TRUE(q.value(1).isNull());
    EXPECT_EQ(q.value(2).toInt(), 0);
    EXPECT_EQ(q.value(3).toString(), "model run timed out after 2 s");
    EXPECT_EQ(q.value(4).toString(), "killed by signal 15 (SIGTERM)");
    EXPECT_EQ(q.value(5).toString(), "2024-05-01T12:00:00.125Z");
    EXPECT_DOUBLE_EQ(q.value(6).toDouble(), 2.004);
    EXPECT_EQ(q.value(7).toInt(), 3);
    EXPECT_EQ(q.value(8).toString(), "step 1\nstep 2");
    EXPECT_EQ(q.value(9).toInt(), 1);

    // A run that could not start has no exit status.
    RunRecord notStarted = run(op, 10, {1.0, 1.0}, std::nullopt);
    notStarted.status = QStringLiteral("the model could not be started");
    journal.recordRun(notStarted);
    EXPECT_TRUE(value("select EXIT_STATUS from FITMARA_RUNS where RUN = 10").isNull());

    for (Phase p : {Phase::InitialSimplex, Phase::Search, Phase::Shrink, Phase::Speculative,
                    Phase::Sensitivity, Phase::Uncertainty})
        EXPECT_EQ(phaseFromName(phaseName(p)), p);
}

// Recorded in the transaction of the run's other writes, the journal keeps the
// run exactly when those writes are kept.
TEST_F(JournalTest, ARolledBackRunLeavesNoRow) {
    journal.ensureTables();
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    EXPECT_THROW(db.inTransaction([&] {
        db.exec(QStringLiteral("update crop set GROWTH = 0.75"));
        journal.recordRun(run(op, 1, {0.75, 2.0}, 3.0));
        throw FitError(QStringLiteral("the model run failed after the journal row"));
    }),
                 FitError);
    EXPECT_EQ(value("select count(*) from FITMARA_RUNS").toInt(), 0);
    EXPECT_EQ(value("select GROWTH from crop").toDouble(), 0.5);
    db.inTransaction([&] {
        db.exec(QStringLiteral("update crop set GROWTH = 0.75"));
        journal.recordRun(run(op, 1, {0.75, 2.0}, 3.0));
    });
    EXPECT_EQ(value("select count(*) from FITMARA_RUNS").toInt(), 1);
}

// After a model run nothing else is written: its row waits for the next write
// of the operation instead of costing a commit of its own.
TEST_F(JournalTest, StagedRunsGoWithTheNextWriteAndSurviveAFailedOne) {
    journal.ensureTables();
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    auto rows = [&] { return value("select count(*) from FITMARA_RUNS").toInt(); };
    journal.stageRun(run(op, 1, {1.0, 1.0}, 2.0));
    journal.stageRun(run(op, 2, {1.0, 2.0}, std::nullopt));
    EXPECT_EQ(rows(), 0);
    EXPECT_THROW(journal.inTransaction([&] {
        db.exec(QStringLiteral("update crop set GROWTH = 0.9"));
        throw FitError(QStringLiteral("the write-back failed"));
    }),
                 FitError);
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(journal.stagedRuns(), 2);
    EXPECT_EQ(value("select GROWTH from crop").toDouble(), 0.5);

    journal.inTransaction([&] { db.exec(QStringLiteral("update crop set GROWTH = 0.9")); });
    EXPECT_EQ(journal.stagedRuns(), 0);
    EXPECT_EQ(value("select group_concat(RUN) from (select RUN from FITMARA_RUNS order by ID)")
                  .toString(),
              "1,2");
    EXPECT_EQ(value("select GROWTH from crop").toDouble(), 0.9);

    // The end of the operation takes what is still staged.
    journal.stageRun(run(op, 3, {2.0, 2.0}, 0.5));
    journal.endOperation(op, Outcome::Finished);
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(journal.stagedRuns(), 0);
    EXPECT_EQ(value("select OUTCOME from FITMARA_OPERATIONS").toString(), "finished");
}

// A row written before it was known what its run was used for is taken back:
// a staged one is dropped, a written one deleted with the next write, together
// with the row that replaces it (so the replacement stands at the end).
TEST_F(JournalTest, WithdrawnRunsAreDroppedOrDeletedWithTheNextWrite) {
    journal.ensureTables();
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    auto runs = [&] {
        return value("select group_concat(RUN || ':' || PHASE) from (select RUN, PHASE from "
                     "FITMARA_RUNS order by ID)")
            .toString();
    };
    auto speculative = [&](int n) {
        RunRecord r = run(op, n, {1.0, double(n)}, 2.0);
        r.phase = Phase::Speculative;
        return r;
    };
    journal.stageRun(speculative(1));
    journal.stageRun(speculative(2));
    journal.inTransaction([] {});
    EXPECT_EQ(runs(), "1:speculative,2:speculative");

    journal.withdrawRun(op, 1); // written: deleted with the next write
    EXPECT_TRUE(journal.hasPendingWrites());
    RunRecord taken = run(op, 1, {1.0, 1.0}, 2.0);
    taken.phase = Phase::Search;
    journal.stageRun(taken);
    journal.stageRun(speculative(3));
    journal.withdrawRun(op, 3); // staged only: dropped
    EXPECT_EQ(runs(), "1:speculative,2:speculative");
    journal.inTransaction([] {});
    EXPECT_FALSE(journal.hasPendingWrites());
    EXPECT_EQ(runs(), "2:speculative,1:search");
}

// The two queries the README shows, on a small journal.
TEST_F(JournalTest, TheDocumentedQueriesWork) {
    journal.ensureTables();
    const qint64 old = journal.beginOperation(OperationKind::Calibration, settings);
    journal.recordRun(run(old, 1, {9.0, 9.0}, 99.0));
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    const double criteria[] = {5.0, 7.0, 3.0, -1.0, 4.0, 2.0};
    const double durations[] = {1.0, 9.5, 2.0, 0.5, 7.25, 3.0};
    for (int i = 0; i < 6; ++i) {
        RunRecord r = run(op, i + 1, {double(i), 1.0}, criteria[i]);
        if (i == 3) { // an incomplete run does not count for convergence
            r.criterion.reset();
            r.complete = false;
            r.status = QStringLiteral("model run timed out after 0.5 s");
        }
        r.durationSeconds = durations[i];
        journal.recordRun(r);
    }
    const QString convergence =
        QStringLiteral("SELECT RUN, CRITERION, MIN(CRITERION) OVER (ORDER BY RUN) AS BEST\n"
                       "FROM FITMARA_RUNS\n"
                       "WHERE COMPLETE = 1 AND OPERATION_ID =\n"
                       "  (SELECT MAX(ID) FROM FITMARA_OPERATIONS WHERE KIND = 'calibration')\n"
                       "ORDER BY RUN");
    QStringList rows;
    QSqlQuery q = db.query(convergence);
    while (q.next())
        rows << QStringLiteral("%1 %2 %3")
                    .arg(q.value(0).toInt())
                    .arg(q.value(1).toDouble())
                    .arg(q.value(2).toDouble());
    EXPECT_EQ(rows, (QStringList{"1 5 5", "2 7 5", "3 3 3", "5 4 3", "6 2 2"}));

    const QString slowest = QStringLiteral(
        "SELECT R.OPERATION_ID, R.RUN, R.TRY, R.PHASE, R.DURATION, R.STATUS, R.EXIT_STATUS\n"
        "FROM FITMARA_RUNS R JOIN FITMARA_OPERATIONS O ON O.ID = R.OPERATION_ID\n"
        "ORDER BY R.DURATION DESC\n"
        "LIMIT 3");
    rows.clear();
    q = db.query(slowest);
    while (q.next())
        rows << QStringLiteral("%1 %2 %3")
                    .arg(q.value(1).toInt())
                    .arg(q.value(4).toDouble())
                    .arg(q.value(5).toString());
    EXPECT_EQ(rows, (QStringList{"2 9.5 complete", "5 7.25 complete", "6 3 complete"}));
}

TEST_F(JournalTest, ResumeFindsTheInterruptedOperationWithTheSameSettingsAndParameters) {
    // Without journal tables there is nothing to resume, and nothing is made.
    EXPECT_EQ(journal.findResumable(OperationKind::Calibration, settings).operation, 0);
    EXPECT_FALSE(db.hasTable(QStringLiteral("FITMARA_RUNS")));

    journal.ensureTables();
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    journal.recordRun(run(op, 1, {0.5, 2.0}, 4.0));
    journal.recordRun(run(op, 2, {0.6, 2.0}, std::nullopt));
    journal.recordRun(run(op, 3, {0.5, 2.5}, 3.0));
    // The operations write AVAL, ERROR and r_k; those do not count.
    db.exec(QStringLiteral("alter table PARM_INT add column r_2 double"));
    db.exec(QStringLiteral("update PARM_INT set AVAL = AVAL + 1, ERROR = 0.01, r_2 = 0.3"));

    const ResumePoint found = journal.findResumable(OperationKind::Calibration, settings);
    EXPECT_EQ(found.operation, op);
    EXPECT_EQ(found.completedRuns, 2);
    EXPECT_EQ(found.lastRun, 3);
    EXPECT_TRUE(found.started.isValid());
    EXPECT_TRUE(found.difference.isEmpty());
    // Another kind has none.
    EXPECT_EQ(journal.findResumable(OperationKind::Sensitivity, settings).operation, 0);

    // Stopped and failed operations are resumed too; a finished one is not.
    for (Outcome outcome : {Outcome::Stopped, Outcome::Failed, Outcome::Finished}) {
        SCOPED_TRACE(outcomeName(outcome).toStdString());
        journal.endOperation(op, outcome, QStringLiteral("why"));
        const ResumePoint p = journal.findResumable(OperationKind::Calibration, settings);
        EXPECT_EQ(p.operation, outcome == Outcome::Finished ? 0 : op);
        EXPECT_TRUE(p.difference.isEmpty());
    }
}

TEST_F(JournalTest, ResumeSaysWhatDiffers) {
    journal.ensureTables();
    const qint64 op = journal.beginOperation(OperationKind::Calibration, settings);
    struct Case {
        const char* what;
        QJsonObject settings;
        const char* sql; // a change of PARM_INT, undone afterwards
        const char* undo;
        QString difference;
    };
    QJsonObject moreCalls = settings;
    moreCalls["NMAX"] = 300;
    QJsonObject withTimeout = settings;
    withTimeout["TO"] = 60;
    QJsonObject noCriterion = settings;
    noCriterion.remove("CRITERION");
    QJsonObject finerTolerance = settings;
    finerTolerance["FTOL"] = std::nextafter(1e-6, 1.0);
    const Case cases[] = {
        {"a setting's value", moreCalls, nullptr, nullptr,
         "the setting NMAX was 200 and is 300 now"},
        {"a new setting", withTimeout, nullptr, nullptr,
         "the setting TO was not set and is 60 now"},
        {"a setting gone", noCriterion, nullptr, nullptr,
         "the setting CRITERION was \"RMSE\" and is not set now"},
        {"a setting in its last bit", finerTolerance, nullptr, nullptr,
         "the setting FTOL was 1e-06 and is 1.0000000000000002e-06 now"},
        {"a bound", settings, "update PARM_INT set MAXIMUM = 12 where PNAME = 'DECAY'",
         "update PARM_INT set MAXIMUM = 10 where PNAME = 'DECAY'",
         "PARM_INT record 2 (DECAY): MAXIMUM was 10 and is 12 now"},
        {"a bound in its last bit", settings,
         "update PARM_INT set STEP = 0.1 + 1e-17 * 2 where PNAME = 'GROWTH'",
         "update PARM_INT set STEP = 0.1 where PNAME = 'GROWTH'",
         "PARM_INT record 1 (GROWTH): STEP was 0.1 and is 0.10000000000000002 now"},
        {"a selection", settings, "update PARM_INT set SELECTION = 'ID=2' where PNAME = 'GROWTH'",
         "update PARM_INT set SELECTION = 'ID=1' where PNAME = 'GROWTH'",
         "PARM_INT record 1 (GROWTH): SELECTION was \"ID=1\" and is \"ID=2\" now"},
        {"a record more", settings, "insert into PARM_INT (FNAME, PNAME) values ('crop', 'X')",
         "delete from PARM_INT where PNAME = 'X'", "PARM_INT had 2 records and has 3 now"},
        {"both", moreCalls, "update PARM_INT set IVAL = 3 where PNAME = 'DECAY'",
         "update PARM_INT set IVAL = 2 where PNAME = 'DECAY'",
         "the setting NMAX was 200 and is 300 now; PARM_INT record 2 (DECAY): IVAL was 2 and is "
         "3 now"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.sql)
            db.exec(QString::fromLatin1(c.sql));
        const ResumePoint p = journal.findResumable(OperationKind::Calibration, c.settings);
        EXPECT_EQ(p.operation, 0);
        EXPECT_EQ(p.difference, c.difference);
        if (c.undo)
            db.exec(QString::fromLatin1(c.undo));
    }
    EXPECT_EQ(journal.findResumable(OperationKind::Calibration, settings).operation, op);
}

// A calibration that finished, followed by an operation the program was killed
// in (the analysis of a batch run), is taken up: its runs are all in the
// journal. Once something ran after that, or when it does not match, it is not.
TEST_F(JournalTest, ResumeTakesUpAFinishedCalibrationWhenTheOperationAfterItWasKilled) {
    journal.ensureTables();
    const qint64 calibration = journal.beginOperation(OperationKind::Calibration, settings);
    journal.recordRun(run(calibration, 1, {1.0, 1.0}, 1.0));
    journal.endOperation(calibration, Outcome::Finished);
    EXPECT_EQ(journal.findResumable(OperationKind::Calibration, settings).operation, 0);

    const qint64 analysis = journal.beginOperation(OperationKind::Uncertainty, QJsonObject());
    const ResumePoint p = journal.findResumable(OperationKind::Calibration, settings);
    EXPECT_EQ(p.operation, calibration);
    EXPECT_EQ(p.completedRuns, 1);
    QJsonObject other = settings;
    other["NMAX"] = 50;
    const ResumePoint none = journal.findResumable(OperationKind::Calibration, other);
    EXPECT_EQ(none.operation, 0);
    EXPECT_TRUE(none.difference.isEmpty()) << none.difference.toStdString();

    journal.endOperation(analysis, Outcome::Finished);
    EXPECT_EQ(journal.findResumable(OperationKind::Calibration, settings).operation, 0);
}

// Of several interrupted operations the latest that matches is resumed; what
// differs is told of the latest one.
TEST_F(JournalTest, ResumeTakesTheLatestMatchingOperation) {
    journal.ensureTables();
    QJsonObject other = settings;
    other["NMAX"] = 50;
    const qint64 older = journal.beginOperation(OperationKind::Calibration, settings);
    const qint64 matching = journal.beginOperation(OperationKind::Calibration, settings);
    journal.recordRun(run(matching, 1, {1.0, 1.0}, 1.0));
    const qint64 newer = journal.beginOperation(OperationKind::Calibration, other);
    journal.endOperation(journal.beginOperation(OperationKind::Calibration, settings),
                         Outcome::Finished);
    EXPECT_EQ(journal.findResumable(OperationKind::Calibration, settings).operation, matching);
    EXPECT_EQ(journal.findResumable(OperationKind::Calibration, other).operation, newer);
    QJsonObject third = settings;
    third["NMAX"] = 7;
    const ResumePoint none = journal.findResumable(OperationKind::Calibration, third);
    EXPECT_EQ(none.operation, 0);
    EXPECT_EQ(none.difference, QStringLiteral("the setting NMAX was 50 and is 7 now"));
    Q_UNUSED(older);
}

// A journal written when a number was kept as typed resumes with the same
// value; rows that do not hold what a run writes are set aside and not
// replayed, and a run number that is no number does not count.
TEST_F(JournalTest, ResumeComparesValuesAndSetsDamagedRowsAside) {
    journal.ensureTables();
    QJsonObject typed = settings;
    typed["FTOL"] = "0.000001";
    const qint64 op = journal.beginOperation(OperationKind::Calibration, typed);
    for (int k = 1; k <= 6; ++k)
        journal.recordRun(run(op, k, {double(k), 1.0}, 0.5 * k));
    db.exec("update FITMARA_RUNS set CRITERION = 'abc' where RUN = 2");
    db.exec("update FITMARA_RUNS set RUN = 'x' where RUN = 3");
    db.exec("update FITMARA_RUNS set PARAMS = '[4,1' where RUN = 4");
    db.exec("update FITMARA_RUNS set CRITERION = 9e999 where RUN = 5");
    db.exec("update FITMARA_RUNS set COMPLETE = 'yes', RUN = 99 where RUN = 6");

    const ResumePoint p = journal.findResumable(OperationKind::Calibration, settings);
    ASSERT_EQ(p.operation, op) << p.difference.toStdString();
    EXPECT_EQ(p.completedRuns, 1);
    EXPECT_EQ(p.lastRun, 99);
    EXPECT_EQ(p.setAside, (QStringList{"ID 2 (RUN 2: CRITERION 'abc')", "ID 3 (RUN 'x')",
                                       "ID 4 (RUN 4: PARAMS '[4,1')", "ID 5 (RUN 5: CRITERION inf)",
                                       "ID 6 (COMPLETE 'yes')"}));
    EXPECT_TRUE(journal.completedRun(op, {1.0, 1.0}).has_value());
    for (double k : {2.0, 3.0, 5.0, 6.0})
        EXPECT_FALSE(journal.completedRun(op, {k, 1.0}).has_value()) << k;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
