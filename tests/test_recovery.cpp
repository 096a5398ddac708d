// Recovering the model's tables after a run that never finished, and stopping a
// model that hangs.
#include "app/session.h"
#include "base/fit_error.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace fixture;

namespace {

const char* kSql = R"(
create table par (ID integer primary key, A double);
insert into par values (1, 1.0);
create table results (ID integer primary key, X double, OBS double, SIM double, VAR double);
insert into results (X, OBS, SIM, VAR) values (1, 2, 0, 1), (2, 4, 0, 1), (3, 6, 0, 1);
create table PARM_INT (ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), PNAME CHAR(10),
  MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50),
  ALIAS char(15), ERROR Double);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, SELECTION, ALIAS)
  values ('par', 'A', 0.1, 10, 1, 0.5, 'ID=1', 'a');
)";

const ResultRoles kRoles{"results", "OBS", "SIM", "ID", "VAR"};

void writeMarker(const QString& path, const QString& firstLine) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write((firstLine + "\n").toUtf8());
}

TEST(Recovery, BackupAfterAnUnfinishedRunRestoresInsteadOfOverwritingTheGoodCopy) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString marker = db + ".fitmara-run";
    {
        Session s;
        setupSession(s, db, QString(), kRoles);
        s.backup();
        EXPECT_TRUE(QFile::exists(marker));
        // A trial value, then the program ends without restoring (killed): its
        // marker names a process that no longer runs.
        s.db.exec("update par set A = 7.5");
        s.backup(); // the same program backing up again follows the plain rule
        EXPECT_EQ(queryDouble(db, "select A from par_bop"), 7.5);
        s.db.exec("update par_bop set A = 1.0");
        writeMarker(marker, "4194305"); // above any process id
    }
    {
        Session s;
        setupSession(s, db, QString(), kRoles);
        s.backup();
        EXPECT_TRUE(s.lb.lines().join('\n').contains("did not finish"));
        // The model table is back at its state before the unfinished run, and the
        // new backup copies that state, not the trial value.
        EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
        EXPECT_EQ(queryDouble(db, "select A from par_bop"), 1.0);
        s.db.exec("update par set A = 3");
        s.restore();
        EXPECT_FALSE(QFile::exists(marker));
        EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
        // A normal backup after a finished run restores nothing.
        s.db.exec("update par set A = 2");
        s.backup();
        EXPECT_EQ(queryDouble(db, "select A from par_bop"), 2.0);
        s.backupClosed(); // a result was accepted
        EXPECT_FALSE(QFile::exists(marker));
    }
}

TEST(Recovery, BackupOfAnotherRunningProgramIsNotTouched) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString marker = db + ".fitmara-run";
    Session s;
    setupSession(s, db, QString(), kRoles);
    s.backup();
    s.db.exec("update par set A = 7.5");
    writeMarker(marker, QString::number(::getppid())); // a process that is alive
    EXPECT_THROW(s.backup(), FitError);
    EXPECT_EQ(queryDouble(db, "select A from par"), 7.5);
    EXPECT_EQ(queryDouble(db, "select A from par_bop"), 1.0);
}

TEST(Recovery, UnfinishedRunWhoseBackupIsGoneStopsWithoutOverwritingAnything) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    Session s;
    setupSession(s, db, QString(), kRoles);
    s.backup();
    s.db.exec("update par set A = 7.5");
    s.db.exec("drop table par_bop");
    writeMarker(db + ".fitmara-run", "garbage"); // no owner: left behind
    try {
        s.backup();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains(".fitmara-run")) << e.message().toStdString();
    }
    EXPECT_EQ(queryDouble(db, "select A from par"), 7.5);
    EXPECT_FALSE(s.db.hasTable("par_bop"));
}

TEST(Recovery, SecondStopEndsAModelThatHangs) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString run = writeRunScript(dir.path(), {"--db", db, "--behave", "hang"});
    Session s;
    setupSession(s, db, run, kRoles);
    // Two stop requests once the model is running.
    QTimer timer;
    int requests = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (s.mrun.working() && requests < 2) {
            s.requestStop();
            ++requests;
        }
    });
    timer.start(50);
    QElapsedTimer clock;
    clock.start();
    s.startOptimization();
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(requests, 2);
    EXPECT_FALSE(s.mrun.working());
    // The run ended as a stopped one: the model's tables are restored.
    EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
    EXPECT_FALSE(s.busy());
}

TEST(Progress, CountsAgainstTheEvaluationsTheOperationExpects) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString run = writeRunScript(
        dir.path(),
        {"--db", db, "--sql",
         "UPDATE results SET SIM = (SELECT A FROM par WHERE ID=1) * X WHERE SIM = -99"});
    Session s;
    setupSession(s, db, run, kRoles);
    QList<int> totals;
    QObject::connect(&s, &Session::progress,
                     [&](int, int total, double, qint64) { totals << total; });
    s.setMaxCallText("3");
    s.startOptimization(); // one parameter: two initial vertices and Nmax 3
    ASSERT_FALSE(totals.isEmpty());
    EXPECT_EQ(totals.first(), 2 + 3);
    totals.clear();
    s.analyseSensitivity(); // the base run and one per parameter
    ASSERT_FALSE(totals.isEmpty());
    EXPECT_EQ(totals.first(), 2);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
