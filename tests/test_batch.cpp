// Unattended runs of the built program without a display: what it writes, what
// it leaves in the database, what it prints and the exit status it ends with.
// The model is the stand-in model, started through a run script.
#include "app/batch.h"
#include "app/session.h"
#include "support/session_fixture.h"
#include "support/xlsx_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>

using namespace fixture;

namespace {

const QString program = QStringLiteral(BINARY_DIR "/fitmara");

// A straight line sim = A + B * X through observations of 2 + 3 X with a little
// noise: the calibration must find A near 2 and B near 3.
const char* kDbSql = R"(
create table model_par (ID integer primary key, A double, B double);
insert into model_par values (1, 1.0, 1.0);
create table results (ID integer primary key, X double, OBS double, SIM double, GRP integer, VAR double);
insert into results (X, OBS, SIM, GRP, VAR) values
  (0, 2.05, 0, 1, 0.01), (1, 4.97, 0, 1, 0.01), (2, 8.02, 0, 1, 0.01),
  (3, 10.96, 0, 2, 0.01), (4, 14.03, 0, 2, 0.01), (5, 16.99, 0, 2, 0.01);
create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), PNAME char(10),
  MINIMUM double, MAXIMUM double, IVAL double, STEP double, AVAL double, SELECTION char(50),
  ALIAS char(15), ERROR double);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS) values
  ('model_par', 'A', -10, 10, 1, 0.5, 1, 'ID=1', 'a'),
  ('model_par', 'B', -10, 10, 1, 0.5, 1, 'ID=1', 'b');
)";

const QString kModelSql =
    QStringLiteral("UPDATE results SET SIM = (SELECT A FROM model_par WHERE ID=1) + "
                   "(SELECT B FROM model_par WHERE ID=1) * X");

using Outcome = fixture::ProgramEnd;

class Batch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QFile::exists(program)) << "build the fitmara program first";
        dbPath = makeDb(dir.path(), kDbSql);
    }

    QString path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }

    // The whole calibration line, with the run script and the database of the fixture.
    QStringList line(const QStringList& extra = {}) const {
        QStringList a = {"RF=run.sh", "DB=" + dbPath, "RT=results", "CD=1=1",  "OB=OBS",
                         "MO=SIM",    "IX=GRP",       "OV=VAR",     "KR=1E-9", "NX=120",
                         "PR=0",      "PV=0",         "RS_line",    "XL_OUT"};
        return a + extra;
    }

    // Without a display unless withWindow: then the window runs on the offscreen
    // platform, with DISPLAY set so that the program believes it can show it.
    // `environment` is applied last (an empty value removes the variable).
    QProcess* start(const QStringList& args, bool withWindow = false,
                    const QList<std::pair<QString, QString>>& environment = {}) {
        QProcessEnvironment env = fixture::headlessEnvironment();
        if (withWindow) {
            env.insert("DISPLAY", ":fitmara-test");
            env.insert("QT_QPA_PLATFORM", "offscreen");
        }
        for (const auto& [name, value] : environment)
            value.isEmpty() ? env.remove(name) : env.insert(name, value);
        return fixture::startProgram(program, dir.path(), args, env);
    }

    Outcome finish(QProcess* p, int timeoutMs = 120000) {
        return fixture::finishProgram(p, timeoutMs);
    }

    Outcome run(const QStringList& args, bool withWindow = false) {
        return finish(start(args, withWindow));
    }

    int runsSoFar() const {
        QFile f(path("runs.txt"));
        return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
    }

    // Starts a long run, waits for a few model runs, sends SIGTERM.
    Outcome terminateMidRun(bool withWindow) {
        QFile::remove(path("runs.txt"));
        writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--behave", "slow",
                                    "--sleep", "150", "--touch", path("runs.txt")});
        // A budget and tolerance it cannot reach in the test's time.
        QProcess* p = start(line({"NX=100000", "KR=1E-300", "GO"}), withWindow);
        QElapsedTimer clock;
        clock.start();
        while (runsSoFar() < 5 && clock.elapsed() < 60000)
            QThread::msleep(50);
        EXPECT_GE(runsSoFar(), 5) << "the model was not run";
        ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
        return finish(p, 60000);
    }

    void expectModelTablesUntouched() {
        EXPECT_DOUBLE_EQ(queryDouble(dbPath, "select A from model_par"), 1.0);
        EXPECT_DOUBLE_EQ(queryDouble(dbPath, "select B from model_par"), 1.0);
    }

    // AVAL and ERROR of PARM_INT: a run that does not complete leaves them as they were.
    QString storedResults() const {
        return queryText(dbPath, "select group_concat(AVAL || '/' || coalesce(ERROR, '-'), ' ') "
                                 "from PARM_INT");
    }

    QTemporaryDir dir;
    QString dbPath;
};

TEST_F(Batch, CompletedRunExitsZeroWithItsProtocolsAndRestoredTables) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--touch", path("runs.txt")});
    const Outcome r = run(line({"GO"}));
    ASSERT_FALSE(r.crashed) << r.err.toStdString();
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();

    // The log goes to standard output as it is written.
    EXPECT_TRUE(r.out.contains("Optimisation finishes - results are stored as AVAL"))
        << r.out.toStdString();

    QFile protocol(path("Opti_Result.TXT"));
    ASSERT_TRUE(protocol.open(QIODevice::ReadOnly));
    EXPECT_TRUE(protocol.readLine().startsWith("Iteration 0\r\n"));

    EXPECT_NEAR(queryDouble(dbPath, "select AVAL from PARM_INT where ALIAS='a'"), 2.0, 0.1);
    EXPECT_NEAR(queryDouble(dbPath, "select AVAL from PARM_INT where ALIAS='b'"), 3.0, 0.05);
    // A batch run leaves the model's tables as they were before it.
    expectModelTablesUntouched();

    // The uncertainty protocol under the RS_ name in the current folder, the
    // workbook beside the database.
    EXPECT_TRUE(QFile::exists(path("RS_line.txt")));
    QFile book(path("RS_line.xlsx"));
    ASSERT_TRUE(book.open(QIODevice::ReadOnly));
    EXPECT_TRUE(book.read(2) == "PK"); // a zip container
    EXPECT_GT(queryDouble(dbPath, "select ERROR from PARM_INT where ALIAS='b'"), 0.0);

    // Its "fit" sheet: the rows at the optimised values, and the criterion of
    // every evaluation of the optimisation (the analysis' own three runs have none).
    const XlsxReader xlsx(path("RS_line.xlsx"));
    EXPECT_EQ(xlsx.sheetNames().value(3), QStringLiteral("fit"));
    const double a = queryDouble(dbPath, "select AVAL from PARM_INT where ALIAS='a'");
    const double b = queryDouble(dbPath, "select AVAL from PARM_INT where ALIAS='b'");
    for (int row = 2; row <= 7; ++row) {
        SCOPED_TRACE(row);
        const double x = row - 2;
        EXPECT_EQ(xlsx.cell("fit", row, 1), XlsxReader::number(row <= 4 ? 1 : 2));
        EXPECT_NEAR(xlsx.cell("fit", row, 3)->number, a + b * x, 1e-9);
    }
    int evaluations = 0;
    double best = 1e300;
    while (const auto c = xlsx.cell("fit", evaluations + 2, 9)) {
        best = std::min(best, c->number);
        ++evaluations;
    }
    EXPECT_EQ(xlsx.cell("fit", 1, 9), XlsxReader::text("RMSE"));
    EXPECT_EQ(evaluations, runsSoFar() - 3);
    EXPECT_LT(best, 0.05);
    EXPECT_EQ(xlsx.charts("fit").size(), 2);
}

TEST_F(Batch, FailuresEndWithStatusOneAndTheMessage) {
    struct Case {
        const char* name;
        QStringList args;
        QStringList modelArgs; // empty: no run script
        const char* message;
        bool modelRuns = true;   // false: refused before any model run
        QString setupSql = {};   // on a fresh copy of the database
        bool crlfScript = false; // the run script saved with Windows line ends
    };
    const QString missingDb = path("missing.sqlite");
    const QStringList model = {"--db", dbPath, "--sql", kModelSql, "--touch", path("runs.txt")};
    const std::vector<Case> cases = {
        {"missing database",
         {"RF=run.sh", "DB=" + missingDb, "RT=results", "CD=1=1", "GO"},
         model,
         "missing.sqlite",
         false},
        {"no database at all",
         {"NX=5", "GO"},
         {},
         "No database is open: give one with DB=<file>.",
         false},
        {"NX= not a number", line({"NX=ten", "GO"}), model, "ten", false},
        {"model that cannot start", line({"RF=no_such_run.sh", "GO"}), {}, "does not exist", false},
        {"model that leaves its results undone", line({"GO"}),
         model + QStringList{"--behave", "leave", "--leave", "100"}, "incomplete"},
        {"model that fails", line({"GO"}), {"--db", dbPath, "--behave", "fail"}, "incomplete"},
        {"model that writes NULL", line({"GO"}),
         model + QStringList{"--behave", "null", "--leave", "1"},
         "of the 6 rows of results that the condition chose, 1 holds no simulated value in SIM "
         "(rowid 1: NULL)"},
        {"model that deletes result rows", line({"GO"}),
         model + QStringList{"--behave", "delete", "--leave", "1"}, "1 is gone"},
        {"RT= naming no table", line({"GO"}).replaceInStrings("RT=results", "RT=resluts"), model,
         "CD=1=1: no result table is chosen: RT=resluts names no table or view of the database.",
         false},
        {"MO= naming no column", line({"MO=SIMM", "GO"}), model,
         "MO=SIMM: the result table results has no column of that name.", false},
        {"OB= missing", line({"GO"}).filter(QRegularExpression("^(?!OB=)")), model,
         "No observed column is chosen: give it with OB=<column>", false},
        {"KR= not a number", line({"KR=0.01.5", "GO"}), model,
         "KR=0.01.5: '0.01.5' is not a valid floating point value.", false},
        {"crossed bounds", line({"GO"}), model, "Parameter 2 (b): MINIMUM 5 is above MAXIMUM 4.",
         false, "update PARM_INT set MINIMUM = 5, MAXIMUM = 4 where ALIAS = 'b'"},
        {"run script with CR LF line ends",
         line({"GO"}),
         model,
         "Windows line ends (CR LF)",
         false,
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(path("run.sh"));
        QFile::remove(path("runs.txt"));
        QFile::remove(path("Opti_Result.TXT"));
        QFile::remove(path("RS_line.txt"));
        dbPath = makeDb(dir.path(), QString(kDbSql) + c.setupSql + ";");
        const QString before = storedResults();
        if (!c.modelArgs.isEmpty())
            writeRunScript(dir.path(), c.modelArgs);
        if (c.crlfScript) {
            QFile f(path("run.sh"));
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            const QByteArray text = f.readAll().replace("\n", "\r\n");
            f.seek(0);
            f.write(text);
        }
        const Outcome r = run(c.args);
        EXPECT_FALSE(r.crashed);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.message))) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(missingDb)); // opening never creates a database
        EXPECT_FALSE(QFile::exists(path("RS_line.txt")));
        if (!c.modelRuns) {
            EXPECT_EQ(runsSoFar(), 0);
        }
        expectModelTablesUntouched();
        EXPECT_EQ(storedResults(), before);
        EXPECT_FALSE(QFile::exists(dbPath + ".fitmara-run"));
    }
}

TEST_F(Batch, BadNmaxRunsNoModel) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--touch", path("runs.txt")});
    const Outcome r = run(line({"NX=1.5", "GO"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(QFile::exists(path("runs.txt")));
    EXPECT_FALSE(QFile::exists(path("Opti_Result.TXT")));
}

TEST_F(Batch, TermSignalStopsCleanly) {
    execSql(dbPath, "update PARM_INT set ERROR = 0.5");
    const QString before = storedResults();
    const Outcome r = terminateMidRun(false);
    EXPECT_EQ(storedResults(), before); // the trial values are no result
    EXPECT_FALSE(r.crashed) << "killed by the signal instead of stopping";
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_TRUE(r.err.contains("SIGTERM")) << r.err.toStdString();
    expectModelTablesUntouched();
    EXPECT_TRUE(QFile::exists(path("Opti_Result.TXT"))); // the protocol so far
    EXPECT_FALSE(QFile::exists(path("RS_line.txt")));    // no analysis after a stop
}

TEST_F(Batch, WindowBatchRunEndsWithTheSameStatuses) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql});
    Outcome r = run(line({"NX=40", "GO"}), true);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(QFile::exists(path("Opti_Result.TXT")));
    EXPECT_TRUE(QFile::exists(path("RS_line.txt")));
    expectModelTablesUntouched();

    r = run(line({"NX=forty", "GO"}), true);
    EXPECT_EQ(r.status, 1);
    // The same form as without a window: program name, the argument, the reason.
    EXPECT_TRUE(r.err.contains("fitmara: NX=forty: ")) << r.err.toStdString();

    QFile::remove(path("Opti_Result.TXT"));
    QFile::remove(path("RS_line.txt"));
    r = terminateMidRun(true);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err.toStdString();
    expectModelTablesUntouched();
    EXPECT_TRUE(QFile::exists(path("Opti_Result.TXT")));
    EXPECT_FALSE(QFile::exists(path("RS_line.txt")));
}

TEST_F(Batch, TerminalOptionsAndTheMissingDisplay) {
    Outcome r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* key :
         {"RF=", "CD=", "RT=", "DB=", "OB=", "MO=", "IX=", "OV=", "KR=", "NX=", "RS_", "XL_OUT",
          "EF=", "PR=", "PV=", "GO", "?", "Exit statuses", "143"})
        EXPECT_TRUE(r.out.contains(QString::fromUtf8(key))) << key;
    EXPECT_TRUE(r.out.contains("DB= before RT=, RT= before CD="));

    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, QStringLiteral("fitmara " FITMARA_VERSION "\n"));

    // The window is wanted (no GO) but cannot be shown: a message, no crash.
    r = run({"DB=" + dbPath});
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("needs a display")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("GO"));

    // "?" prints the batch parameters instead of a box.
    r = run({"?"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.contains(batchHelpText() + "\n")) << r.out.toStdString();
}

// Everything a protocol comparison covers: the two protocol files and every
// PARM_INT value, AVAL, ERROR and r_k included.
struct Ends {
    QByteArray protocol, uncertainty, parmInt;
};

Ends endsIn(const QString& dir, const QString& db) {
    auto read = [&](const QString& name) {
        QFile f(dir + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    };
    const QString cols = queryText(db, "select group_concat(name, \" || '|' || \") from "
                                       "pragma_table_info('PARM_INT')");
    return {read("Opti_Result.TXT"), read("RS_line.txt"),
            queryText(db, "select group_concat(" + cols + ", '\n') from PARM_INT").toUtf8()};
}

TEST_F(Batch, CalibrationKilledMidwayResumesFromTheJournalToTheSameEnd) {
    // The reference: the same calibration, uninterrupted, on a copy of the database.
    const QString pristine = path("pristine.sqlite");
    ASSERT_TRUE(QFile::copy(dbPath, pristine));
    const QStringList model = {"--db", dbPath,    "--sql", kModelSql, "--behave",
                               "slow", "--sleep", "40",    "--touch", path("runs.txt")};
    writeRunScript(dir.path(), model);
    const QStringList args = line({"NX=40", "GO"});
    const Outcome ref = run(args);
    ASSERT_EQ(ref.status, 0) << ref.err.toStdString();
    const int refRuns = runsSoFar();
    const Ends reference = endsIn(dir.path(), dbPath);
    ASSERT_GT(refRuns, 20);

    // Again from the start, killed (SIGKILL: no clean-up at all) after about
    // half of the runs.
    QFile::remove(dbPath);
    ASSERT_TRUE(QFile::copy(pristine, dbPath));
    QFile::remove(path("runs.txt"));
    QFile::remove(path("Opti_Result.TXT"));
    QFile::remove(path("RS_line.txt"));
    QProcess* p = start(args);
    QElapsedTimer clock;
    clock.start();
    while (runsSoFar() < refRuns / 2 && clock.elapsed() < 60000)
        QThread::msleep(5);
    ::kill(static_cast<pid_t>(p->processId()), SIGKILL);
    finish(p);
    QThread::msleep(300); // the model run under way ends on its own
    const int killedRuns = runsSoFar();
    ASSERT_LT(killedRuns, refRuns - 5);
    const int journaled = int(queryDouble(dbPath, "select count(*) from FITMARA_RUNS where "
                                                  "COMPLETE=1 and OPERATION_ID=1"));
    // At most the run under way when the kill came has no row.
    const int rowsAfterKill = int(queryDouble(dbPath, "select count(*) from FITMARA_RUNS"));
    EXPECT_EQ(rowsAfterKill, journaled);
    EXPECT_GE(journaled, killedRuns - 1);
    EXPECT_EQ(queryText(dbPath, "select coalesce(OUTCOME, 'none') from FITMARA_OPERATIONS"),
              "none");

    // Settings that differ are refused, naming the difference; nothing is run.
    const Outcome other = run(line({"NX=41", "GO", "RESUME"}));
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(other.err.contains("the setting NX was 40 and is 41 now"))
        << other.err.toStdString();
    EXPECT_TRUE(other.err.contains("without RESUME")) << other.err.toStdString();
    EXPECT_EQ(runsSoFar(), killedRuns);

    // Resumed: the search retraces its path from the journal and goes on.
    const Outcome resumed = run(line({"NX=40", "GO", "RESUME"}));
    ASSERT_EQ(resumed.status, 0) << resumed.err.toStdString();
    const int madeNow = runsSoFar() - killedRuns;
    Ends ends = endsIn(dir.path(), dbPath);
    const QByteArray note = QStringLiteral("Resumed from the run journal: %1 model runs taken "
                                           "from it, %2 made now\r\n")
                                .arg(journaled)
                                .arg(madeNow - 3) // the uncertainty analysis' three runs
                                .toUtf8();
    EXPECT_TRUE(ends.protocol.contains(note)) << ends.protocol.toStdString();
    ends.protocol.replace(note, "");
    EXPECT_EQ(ends.protocol, reference.protocol);
    // The uncertainty protocol goes on from the calibration's log, note and all.
    EXPECT_TRUE(ends.uncertainty.contains(note));
    ends.uncertainty.replace(note, "");
    EXPECT_EQ(ends.uncertainty, reference.uncertainty);
    EXPECT_EQ(ends.parmInt, reference.parmInt);
    // The model ran only for what the first start had not journaled.
    EXPECT_EQ(madeNow, refRuns - journaled);
    EXPECT_EQ(queryText(dbPath, "select group_concat(KIND || ':' || OUTCOME || ':' || RESUMED, "
                                "' ') from FITMARA_OPERATIONS"),
              "calibration:finished:1 uncertainty:finished:0");
    // One row per model run, across both starts.
    EXPECT_EQ(queryDouble(dbPath, "select count(*) from FITMARA_RUNS"), rowsAfterKill + madeNow);
}

TEST_F(Batch, HangingModelRunIsEndedAfterTheTimeoutAndTheCalibrationGoesOn) {
    // The fourth run (the first of the search) hangs; the model prints a few
    // lines each run, which go to model.log, not to our standard output.
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--touch", path("runs.txt"),
                                "--print", "3", "--run-mode", "4=hang"});
    QElapsedTimer clock;
    clock.start();
    const Outcome r = run(line({"NX=30", "TO=2", "GO"}));
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_GE(clock.elapsed(), 2000);
    // (Our log quotes the hanging run's lines, indented: "  | out 1".)
    EXPECT_FALSE(r.out.split('\n').contains("out 1")) << r.out.toStdString();
    EXPECT_FALSE(r.err.contains("err 2")) << r.err.toStdString();
    EXPECT_EQ(QFile::exists(path("model.log")), true);

    QFile protocol(path("Opti_Result.TXT"));
    ASSERT_TRUE(protocol.open(QIODevice::ReadOnly));
    const QByteArray text = protocol.readAll();
    EXPECT_TRUE(text.contains("Model run incomplete !\r\n  model run timed out after 2 s\r\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("  | err 2\r\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("Optimisation finishes")) << text.toStdString();

    EXPECT_EQ(
        queryText(dbPath, "select STATUS || ' / ' || EXIT_STATUS from FITMARA_RUNS where RUN=4"),
        "model run timed out after 2 s / killed by signal 15 (SIGTERM)");
    EXPECT_NEAR(queryDouble(dbPath, "select DURATION from FITMARA_RUNS where RUN=4"), 2.0, 1.0);
    EXPECT_EQ(queryText(dbPath, "select OUTPUT from FITMARA_RUNS where RUN=4"),
              "out 1\nerr 2\nout 3");
    // One row per model run, each run once.
    EXPECT_EQ(queryDouble(dbPath, "select count(*) from FITMARA_RUNS"), runsSoFar());
    EXPECT_EQ(
        queryDouble(dbPath, "select count(distinct OPERATION_ID || '.' || RUN) from FITMARA_RUNS"),
        runsSoFar());
}

// Two runs started together on one database: one runs, the other is refused at
// once and leaves nothing behind. A run killed outright leaves its marker, which
// the next run still finds and recovers from.
TEST_F(Batch, OneRunAtATimeAndAKilledRunIsRecovered) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--behave", "slow", "--sleep",
                                "100", "--touch", path("runs.txt")});
    const QStringList args = line({"NX=15", "GO"});
    QElapsedTimer clock;
    clock.start();
    QProcess* first = start(args);
    QProcess* second = start(args);
    const Outcome a = finish(first), b = finish(second);
    ASSERT_FALSE(a.crashed || b.crashed);
    EXPECT_EQ(std::min(a.status, b.status), 0) << a.err.toStdString() << b.err.toStdString();
    EXPECT_EQ(std::max(a.status, b.status), 1) << a.err.toStdString() << b.err.toStdString();
    const Outcome& refused = a.status == 1 ? a : b;
    EXPECT_TRUE(refused.err.contains("is calibrating or analysing with this database right now"))
        << refused.err.toStdString();
    EXPECT_FALSE(refused.out.contains("copied into")); // refused before any backup
    EXPECT_FALSE(QFile::exists(dbPath + ".fitmara-run"));
    expectModelTablesUntouched();

    // kill -9 while the model's tables hold trial values.
    QFile::remove(path("runs.txt"));
    QProcess* killed = start(line({"NX=100000", "KR=1E-300", "GO"}));
    while (runsSoFar() < 3 && clock.elapsed() < 120000)
        QThread::msleep(20);
    ::kill(static_cast<pid_t>(killed->processId()), SIGKILL);
    finish(killed);
    ASSERT_TRUE(QFile::exists(dbPath + ".fitmara-run"));
    const Outcome next = run(line({"NX=3", "GO"}));
    EXPECT_EQ(next.status, 0) << next.err.toStdString();
    EXPECT_TRUE(next.out.contains("The last run on this database did not finish"));
    expectModelTablesUntouched();
    EXPECT_FALSE(QFile::exists(dbPath + ".fitmara-run"));
}

// DISPLAY naming a display that does not answer: a GO line runs without a
// window; a line without GO says why it cannot show one.
TEST_F(Batch, DisplayThatDoesNotAnswer) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql});
    const QList<std::pair<QString, QString>> deadDisplay = {{"DISPLAY", ":4711"},
                                                            {"QT_QPA_PLATFORM", ""}};
    Outcome r = finish(start(line({"NX=3", "GO"}), false, deadDisplay));
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(QFile::exists(path("RS_line.txt")));

    r = finish(start({"DB=" + dbPath}, false, deadDisplay));
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.startsWith("fitmara: the window needs a display, and the display it names "
                                 "(DISPLAY=:4711) does not answer.\n"))
        << r.err.toStdString();
}

// Under a locale with a decimal comma the README's own line works, and the
// protocols keep the locale's separator.
TEST_F(Batch, DecimalPointOnTheCommandLineInACommaLocale) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql});
    const Outcome r =
        finish(start(line({"KR=0.0001", "NX=20", "GO"}), false, {{"LC_ALL", "de_DE.UTF-8"}}));
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    QFile protocol(path("Opti_Result.TXT"));
    ASSERT_TRUE(protocol.open(QIODevice::ReadOnly));
    const QByteArray text = protocol.readAll();
    EXPECT_TRUE(text.contains(',')) << text.toStdString();
    EXPECT_FALSE(QRegularExpression("[0-9]\\.[0-9]").match(QString::fromLatin1(text)).hasMatch());
}

// In process: a signal that comes before any operation runs still stops the
// next one (starting an operation clears the stop flag otherwise).
TEST(StopSignalsInProcess, EarlySignalStopsTheNextOperation) {
    Session s;
    {
        StopSignals stops(s);
        ::raise(SIGINT);
        QCoreApplication::processEvents();
        EXPECT_EQ(stops.received(), SIGINT);
        EXPECT_FALSE(s.stopRequested()); // nothing runs yet
        {
            Session::BusyScope busy(s);
            EXPECT_TRUE(s.stopRequested());
        }
        EXPECT_EQ(batchFailureStatus(&stops), 130);
    }
    EXPECT_EQ(batchFailureStatus(nullptr), 1);
    // The handler is gone with the object: the program's own disposition is back.
    struct sigaction now {};
    ::sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
