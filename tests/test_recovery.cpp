// Recovering the model's tables after a run that never finished, and stopping a
// model that hangs.
#include "app/session.h"
#include "base/fit_error.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
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

// A run script whose model computes SIM = A * X.
QString linearModelScript(const QString& dir, const QString& db) {
    return writeRunScript(
        dir, {"--db", db, "--sql",
              "UPDATE results SET SIM = (SELECT A FROM par WHERE ID=1) * X WHERE SIM = -99"});
}

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
        s.operations().backup();
        EXPECT_TRUE(QFile::exists(marker));
        // A trial value, then the program ends without restoring (killed): its
        // marker names a process that no longer runs.
        s.database().exec("update par set A = 7.5");
        s.operations().backup(); // the same program backing up again follows the plain rule
        EXPECT_EQ(queryDouble(db, "select A from par_bop"), 7.5);
        s.database().exec("update par_bop set A = 1.0");
        writeMarker(marker, "4194305"); // above any process id
    }
    {
        Session s;
        setupSession(s, db, QString(), kRoles);
        s.operations().backup();
        EXPECT_TRUE(s.logList().lines().join('\n').contains("did not finish"));
        // The model table is back at its state before the unfinished run, and the
        // new backup copies that state, not the trial value.
        EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
        EXPECT_EQ(queryDouble(db, "select A from par_bop"), 1.0);
        s.database().exec("update par set A = 3");
        s.operations().restore();
        EXPECT_FALSE(QFile::exists(marker));
        EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
        // A normal backup after a finished run restores nothing.
        s.database().exec("update par set A = 2");
        s.operations().backup();
        EXPECT_EQ(queryDouble(db, "select A from par_bop"), 2.0);
        s.operations().backupClosed(); // a result was accepted
        EXPECT_FALSE(QFile::exists(marker));
    }
}

TEST(Recovery, BackupOfAnotherRunningProgramIsNotTouched) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString marker = db + ".fitmara-run";
    Session s;
    setupSession(s, db, QString(), kRoles);
    s.operations().backup();
    s.database().exec("update par set A = 7.5");
    writeMarker(marker, QString::number(::getppid())); // a process that is alive
    EXPECT_THROW(s.operations().backup(), FitError);
    EXPECT_EQ(queryDouble(db, "select A from par"), 7.5);
    EXPECT_EQ(queryDouble(db, "select A from par_bop"), 1.0);
}

// A killed program that its parent has not reaped yet (as a killed job's task
// for a moment) runs no more: its backup is restored, not taken for a running one.
TEST(Recovery, BackupOfAProgramThatHasEndedButIsNotYetReapedIsRestored) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString marker = db + ".fitmara-run";
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    QElapsedTimer clock;
    clock.start();
    QByteArray stat;
    do {
        QFile f(QStringLiteral("/proc/%1/stat").arg(child));
        stat = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    } while (!stat.contains(") Z ") && clock.elapsed() < 5000);
    ASSERT_TRUE(stat.contains(") Z ")) << stat.constData();
    {
        Session s;
        setupSession(s, db, QString(), kRoles);
        s.operations().backup();
        s.database().exec("update par set A = 7.5");
        writeMarker(marker, QString::number(child));
        EXPECT_NO_THROW(s.operations().backup());
        EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
        s.operations().restore();
    }
    ::waitpid(child, nullptr, 0);
}

TEST(Recovery, UnfinishedRunWhoseBackupIsGoneStopsWithoutOverwritingAnything) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    Session s;
    setupSession(s, db, QString(), kRoles);
    s.operations().backup();
    s.database().exec("update par set A = 7.5");
    s.database().exec("drop table par_bop");
    writeMarker(db + ".fitmara-run", "garbage"); // no owner: left behind
    try {
        s.operations().backup();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains(".fitmara-run")) << e.message().toStdString();
    }
    EXPECT_EQ(queryDouble(db, "select A from par"), 7.5);
    EXPECT_FALSE(s.database().hasTable("par_bop"));
}

// The user's data after a run whose backup failed: the marker must not stand for
// a backup that does not exist, or the next run "restores" an older one over
// the user's later edits.
TEST(Recovery, FailedBackupLeavesNoMarkerAndTheNextRunRestoresNothing) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString marker = db + ".fitmara-run";
    const QString run = linearModelScript(dir.path(), db);
    {
        Session s;
        setupSession(s, db, run, kRoles);
        s.setMaxEvaluationsText("2");
        s.startOptimization(); // declined (no one to accept): restored
        EXPECT_FALSE(QFile::exists(marker));
    }
    execSql(db, "update par set A = 6"); // the user's edit after that run
    {
        // A backup that fails half way: the second model table does not exist.
        Session s;
        setupSession(s, db, run, kRoles);
        execSql(db, "insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, ALIAS) "
                    "values ('parr', 'A', 0, 10, 1, 0.5, 'b')");
        EXPECT_THROW(s.operations().backup(), FitError);
        EXPECT_FALSE(QFile::exists(marker));
        EXPECT_THROW(s.startOptimization(), FitError); // found by the checks, before any backup
        EXPECT_FALSE(QFile::exists(marker));
        execSql(db, "delete from PARM_INT where FNAME = 'parr'");
    }
    Session s;
    setupSession(s, db, run, kRoles);
    s.operations().backup();
    EXPECT_FALSE(s.logList().lines().join('\n').contains("did not finish"));
    EXPECT_EQ(queryDouble(db, "select A from par"), 6.0);
    s.operations().restore();
    EXPECT_EQ(queryDouble(db, "select A from par"), 6.0);
    EXPECT_FALSE(QFile::exists(marker));
}

// A recovery that cannot restore every table says which it replaced and which
// not; "nothing was overwritten" only when that is true.
TEST(Recovery, PartialRecoveryNamesWhatItReplaced) {
    const struct {
        const char* dropped;
        const char* says;
        double parAfter; // par's value after the attempt
    } cases[] = {
        {"drop table par2_bop", "Replaced by their backups: par.", 1.0},
        {"drop table par_bop; drop table par2_bop", "No model table was replaced.", 7.5},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.dropped);
        QTemporaryDir dir;
        const QString db = makeDb(dir.path(), QString(kSql) + R"(
            create table par2 (ID integer primary key, B double);
            insert into par2 values (1, 2.0);
            insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, SELECTION, ALIAS)
              values ('par2', 'B', 0, 10, 2, 0.5, 'ID=1', 'b');)");
        const QString marker = db + ".fitmara-run";
        Session s;
        setupSession(s, db, QString(), kRoles);
        s.operations().backup();
        s.operations().backupClosed();
        execSql(db, QString("update par set A = 7.5; update par2 set B = 8.5; ") + tc.dropped);
        writeMarker(marker, "4194305"); // a killed run's
        try {
            s.operations().backup();
            FAIL() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains("par2 was not restored: no such table: par2_bop"))
                << e.message().toStdString();
            EXPECT_TRUE(e.message().contains(tc.says)) << e.message().toStdString();
            EXPECT_FALSE(e.message().contains("Nothing was overwritten"));
        }
        EXPECT_EQ(queryDouble(db, "select A from par"), tc.parAfter);
        EXPECT_EQ(queryDouble(db, "select B from par2"), 8.5);
        EXPECT_TRUE(QFile::exists(marker)); // the next run tries again
    }
}

// A database that another program keeps locked is reported as locked, naming the
// program, both when it is opened and when a run is started; nothing is done.
TEST(Recovery, LockedDatabaseIsSaidToBeLockedAndNothingIsDone) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), QString(kSql) + "update PARM_INT set AVAL = 0.5;");
    const QString run = writeRunScript(dir.path(), {"--db", db, "--touch", dir.filePath("runs")});
    for (const bool alreadyOpen : {false, true}) {
        SCOPED_TRACE(alreadyOpen ? "locked after opening" : "locked when opened");
        Session s;
        s.database().setBusyTimeout(200);
        if (alreadyOpen)
            setupSession(s, db, run, kRoles);
        QProcess holder;
        holder.start(FIXTURE_DIR "/standin_model",
                     {"--db", db, "--behave", "hold", "--sleep", "20000"});
        ASSERT_TRUE(holder.waitForStarted());
        // Until the lock is taken, reading works.
        QElapsedTimer clock;
        clock.start();
        bool locked = false;
        while (!locked && clock.elapsed() < 10000) {
            QThread::msleep(50);
            sqlite3* h = nullptr;
            sqlite3_open_v2(db.toUtf8().constData(), &h, SQLITE_OPEN_READONLY, nullptr);
            locked = sqlite3_exec(h, "select count(*) from sqlite_master", nullptr, nullptr,
                                  nullptr) == SQLITE_BUSY;
            sqlite3_close(h);
        }
        ASSERT_TRUE(locked);
        try {
            if (alreadyOpen)
                s.startOptimization();
            else
                setupSession(s, db, run, kRoles);
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            const QString expected =
                QString("The database '%1' is locked by another program (process %2, "
                        "standin_model)")
                    .arg(db)
                    .arg(holder.processId());
            EXPECT_TRUE(e.message().contains(expected)) << e.message().toStdString();
            EXPECT_FALSE(e.message().contains("not a SQLite database"));
        }
        holder.kill();
        holder.waitForFinished();
        EXPECT_FALSE(QFile::exists(db + ".fitmara-run"));
        EXPECT_FALSE(QFile::exists(dir.filePath("runs")));
        EXPECT_EQ(queryDouble(db, "select count(*) from sqlite_master where name = 'par_bop'"), 0);
        EXPECT_EQ(queryDouble(db, "select AVAL from PARM_INT"), 0.5);
    }
}

// A lock taken by another program in the middle of a calibration, and held:
// the run ends saying once that the database is locked and by whom, tries no
// restore that would only wait again, and the next run restores.
TEST(Recovery, LockHeldMidwayIsSaidOnceAndTheNextRunRestores) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), QString(kSql) + "update PARM_INT set AVAL = 0.5;");
    const QString run =
        writeRunScript(dir.path(), {"--db", db, "--sql",
                                    "UPDATE results SET SIM = (SELECT A FROM par WHERE ID=1) * X",
                                    "--touch", dir.filePath("runs")});
    QProcess holder;
    {
        Session s;
        s.database().setBusyTimeout(300);
        setupSession(s, db, run, kRoles);
        s.setMaxEvaluationsText("1000");
        s.settings().tolerance = "1E-300";
        // After the second run, while the model runs, another program takes the lock.
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            QFile runs(dir.filePath("runs"));
            if (holder.state() == QProcess::NotRunning && runs.open(QIODevice::ReadOnly) &&
                runs.readAll().count('\n') >= 2) {
                holder.start(FIXTURE_DIR "/standin_model",
                             {"--db", db, "--behave", "hold", "--sleep", "60000"});
                holder.waitForStarted();
                QThread::msleep(300); // the lock is taken
            }
        });
        timer.start(5);
        try {
            s.startOptimization();
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains(
                QString("is locked by another program (process %1").arg(holder.processId())))
                << e.message().toStdString();
        }
        const QString log = s.logList().lines().join('\n');
        EXPECT_EQ(log.count("The database is locked by another program, so nothing could be "
                            "restored now"),
                  1)
            << log.toStdString();
        EXPECT_FALSE(log.contains("already exists")) << log.toStdString();
        EXPECT_FALSE(log.contains("The restore failed as well")) << log.toStdString();
    }
    holder.kill();
    holder.waitForFinished();
    ASSERT_TRUE(QFile::exists(db + ".fitmara-run"));
    writeMarker(db + ".fitmara-run", "4194305"); // as when the program has ended
    Session s;
    setupSession(s, db, QString(), kRoles);
    s.operations().backup();
    EXPECT_TRUE(s.logList().lines().join('\n').contains("did not finish"));
    EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
    EXPECT_EQ(queryDouble(db, "select AVAL from PARM_INT"), 0.5);
    EXPECT_EQ(queryDouble(db, "select count(*) from results where SIM = -99"), 0);
    s.operations().restore();
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
        if (s.modelProcess().working() && requests < 2) {
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
    EXPECT_FALSE(s.modelProcess().working());
    // The run ended as a stopped one: the model's tables are restored.
    EXPECT_EQ(queryDouble(db, "select A from par"), 1.0);
    EXPECT_FALSE(s.busy());
}

TEST(Progress, CountsAgainstTheEvaluationsTheOperationExpects) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kSql);
    const QString run = linearModelScript(dir.path(), db);
    Session s;
    setupSession(s, db, run, kRoles);
    QList<int> totals;
    QObject::connect(&s, &Session::progress,
                     [&](int, int total, double, qint64) { totals << total; });
    s.setMaxEvaluationsText("3");
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
