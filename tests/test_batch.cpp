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

#include <algorithm>
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

    // Starts a long run, waits for a few model runs, sends the signal.
    Outcome terminateMidRun(bool withWindow, const QString& search = QStringLiteral("SM=NM"),
                            int signal = SIGTERM) {
        QFile::remove(path("runs.txt"));
        writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--behave", "slow",
                                    "--sleep", "150", "--touch", path("runs.txt")});
        // A budget and tolerance it cannot reach in the test's time.
        QProcess* p = start(line({"NX=100000", "KR=1E-300", search, "GO"}), withWindow);
        QElapsedTimer clock;
        clock.start();
        while (runsSoFar() < 5 && clock.elapsed() < 60000)
            QThread::msleep(50);
        EXPECT_GE(runsSoFar(), 5) << "the model was not run";
        ::kill(static_cast<pid_t>(p->processId()), signal);
        return finish(p, 60000);
    }

    // Two runs on one database at once: one completes, the other is refused
    // before it backs up anything.
    void expectOneOfTwoRefused(QProcess* first, QProcess* second) {
        const Outcome a = finish(first), b = finish(second);
        EXPECT_FALSE(a.crashed || b.crashed);
        EXPECT_EQ(std::min(a.status, b.status), 0) << a.err.toStdString() << b.err.toStdString();
        EXPECT_EQ(std::max(a.status, b.status), 1) << a.err.toStdString() << b.err.toStdString();
        const Outcome& refused = a.status == 1 ? a : b;
        EXPECT_TRUE(
            refused.err.contains("is calibrating or analysing with this database right now"))
            << refused.err.toStdString();
        EXPECT_FALSE(refused.out.contains("copied into")); // refused before any backup
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

    // The simulated column, row by row.
    QString simulated() const {
        return queryText(dbPath, "select group_concat(ID || '=' || coalesce(SIM, 'NULL'), ' ') "
                                 "from (select ID, SIM from results order by ID)");
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
         line({"GO"}).replaceInStrings(QRegularExpression("^DB=.*"), "DB=" + missingDb), model,
         "missing.sqlite", false},
        {"no database at all",
         {"NX=5", "GO"},
         {},
         "No database is open: give one with DB=<file>.",
         false},
        {"NX= not a number", line({"NX=ten", "GO"}), model, "ten", false},
        {"model that cannot start", line({"RF=no_such_run.sh", "GO"}), {}, "does not exist", false},
        {"model that leaves its results undone", line({"GO"}),
         model + QStringList{"--behave", "leave", "--leave", "100"}, "incomplete"},
        {"model that fails", line({"GO"}), {"--db", dbPath, "--behave", "fail"},
         "standin_model: failing as asked"},
        // The runs are a worker's: its model's output is told all the same.
        {"model that fails, two workers", line({"NP=2", "GO"}),
         {"--db", dbPath, "--behave", "fail"}, "standin_model: failing as asked"},
        {"model that fails, least squares", line({"SM=LM", "GO"}),
         {"--db", dbPath, "--behave", "fail"}, "standin_model: failing as asked"},
        {"model that fails, least squares, two workers", line({"SM=LM", "NP=2", "GO"}),
         {"--db", dbPath, "--behave", "fail"}, "standin_model: failing as asked"},
        {"model that writes NULL", line({"GO"}),
         model + QStringList{"--behave", "null", "--leave", "1"},
         "of the 6 rows of results that the condition chose, 1 holds no simulated value in SIM "
         "(rowid 1: NULL)"},
        {"model that deletes result rows", line({"GO"}),
         model + QStringList{"--behave", "delete", "--leave", "1"},
         "in the last one, of the 6 rows of results that the condition chose, 3 are gone"},
        // The rows chosen at the start stay the reference of every later run:
        // runs on the rows that are left are no results either.
        {"model that deletes result rows in its first run only", line({"GO"}),
         model + QStringList{"--run-mode", "1=delete", "--leave", "2"},
         "of the 6 rows of results that the condition chose, 2 are gone"},
        {"model that deletes every result row in its first run", line({"GO"}),
         model + QStringList{"--run-mode", "1=delete", "--leave", "100"},
         "of the 6 rows of results that the condition chose, 6 are gone"},
        {"model that puts other rows in the place of chosen ones", line({"GO"}),
         model + QStringList{"--sql",
                             "insert into results (X, OBS, SIM, GRP, VAR) select X, OBS, SIM, "
                             "GRP, VAR from results where ID = 1; delete from results where "
                             "ID = 1"},
         "some were deleted and other rows put in their place"},
        {"model that adds chosen rows", line({"GO"}),
         model + QStringList{"--sql", "insert into results (X, OBS, SIM, GRP, VAR) values "
                                      "(6, 20, 20, 2, 0.01)"},
         "in the last one, of the 6 rows of results that the condition chose, 3 more rows are "
         "chosen now (added during the run)"},
        {"condition that chooses no row", line({"GO"}).replaceInStrings("CD=1=1", "CD=X>100"),
         model, "a criterion over no rows is no result"},
        {"RT= naming no table", line({"GO"}).replaceInStrings("RT=results", "RT=resluts"), model,
         "RT=resluts: the database has no table or view of that name.", false},
        {"MO= naming no column", line({"MO=SIMM", "GO"}), model,
         "MO=SIMM: the result table results has no column of that name.", false},
        {"OB= missing", line({"GO"}).filter(QRegularExpression("^(?!OB=)")), model,
         "No observed column is chosen: give it with OB=<column>", false},
        {"KR= not a number", line({"KR=0.01.5", "GO"}), model,
         "KR=0.01.5: KR= needs a tolerance of 0 or more, not '0.01.5'.", false},
        {"criterion that is none", line({"EF=foo", "GO"}), model,
         "EF=foo: EF= needs one of the criteria RMSE, NRMSE or CV(RMSE), not 'foo'.", false},
        {"negative Nmax", line({"NX=-3", "GO"}), model, "NX=-3: Nmax needs a whole number", false},
        {"key in lower case", line({"nx=5", "GO"}), model,
         "nx=5: not a known argument; keys are written in upper case: NX=5", false},
        {"colon for equals", line({"NX:10", "GO"}), model, "did you mean NX=10?", false},
        {"no variance column", line({"GO"}).filter(QRegularExpression("^(?!OV=)")), model,
         "No variance column is chosen: give it with OV=<column>.", false},
        {"no database given", line({"GO"}).filter(QRegularExpression("^(?!DB=)")), model,
         "No database is open: give one with DB=<file>.", false},
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
        // No row is left marked as waiting for a result.
        EXPECT_EQ(queryDouble(dbPath, "select count(*) from results where SIM = -99"), 0);
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

// A result file that could not be written at the end is found before the
// first model run, not after the calibration.
TEST_F(Batch, ResultFilesThatCannotBeWrittenAreFoundBeforeAnyModelRun) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--touch", path("runs.txt")});
    const QString before = storedResults();
    for (const char* taken : {"Opti_Result.TXT", "RS_line.txt", "RS_line.xlsx"}) {
        SCOPED_TRACE(taken);
        ASSERT_TRUE(QDir(dir.path()).mkdir(taken));
        const Outcome r = run(line({"GO"}));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains(QStringLiteral("could not write its results to \"%1\": a "
                                                  "folder of that name is in the way")
                                       .arg(path(taken))))
            << r.err.toStdString();
        EXPECT_EQ(runsSoFar(), 0);
        EXPECT_EQ(storedResults(), before);
        expectModelTablesUntouched();
        ASSERT_TRUE(QDir(path(taken)).removeRecursively());
    }
}

TEST_F(Batch, TermSignalStopsCleanly) {
    for (const QString& search : {QStringLiteral("SM=NM"), QStringLiteral("SM=LM")}) {
        SCOPED_TRACE(search.toStdString());
        execSql(dbPath, "update PARM_INT set ERROR = 0.5; update results set SIM = 10 + ID");
        const QString before = storedResults();
        const QString simulatedBefore = simulated();
        const Outcome r = terminateMidRun(false, search);
        EXPECT_EQ(storedResults(), before); // the trial values are no result
        EXPECT_EQ(simulated(), simulatedBefore);
        EXPECT_FALSE(r.out.contains("results are stored as AVAL")) << r.out.toStdString();
        EXPECT_TRUE(r.out.contains("Optimisation stopped before it finished"))
            << r.out.toStdString();
        EXPECT_FALSE(r.crashed) << "killed by the signal instead of stopping";
        EXPECT_EQ(r.status, 128 + SIGTERM);
        EXPECT_TRUE(r.err.contains("SIGTERM")) << r.err.toStdString();
        expectModelTablesUntouched();
        EXPECT_TRUE(QFile::exists(path("Opti_Result.TXT"))); // the protocol so far
        EXPECT_FALSE(QFile::exists(path("RS_line.txt")));    // no analysis after a stop
    }
}

// A closed terminal stops the run as SIGTERM does; a reader of the log that
// has gone (`| head`) ends nothing: the run completes and stores its results.
TEST_F(Batch, HangupStopsCleanlyAndALostLogReaderEndsNothing) {
    const QString before = storedResults();
    const Outcome hup = terminateMidRun(false, QStringLiteral("SM=NM"), SIGHUP);
    EXPECT_FALSE(hup.crashed) << "killed by the signal instead of stopping";
    EXPECT_EQ(hup.status, 128 + SIGHUP);
    EXPECT_TRUE(hup.err.contains("SIGHUP")) << hup.err.toStdString();
    expectModelTablesUntouched();
    EXPECT_EQ(storedResults(), before);
    EXPECT_FALSE(QFile::exists(dbPath + ".fitmara-run"));

    // The log goes into a pipe whose reader ends after its first byte; the
    // shell passes on the program's status (128 + 13 when SIGPIPE ended it).
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql});
    const Outcome piped = finish(fixture::startProgram(
        QStringLiteral("/bin/bash"), dir.path(),
        QStringList{"-c", "\"$0\" \"$@\" | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}", program} +
            line({"GO"}),
        fixture::headlessEnvironment()));
    EXPECT_EQ(piped.status, 0) << piped.err.toStdString();
    expectModelTablesUntouched();
    EXPECT_NEAR(queryDouble(dbPath, "select AVAL from PARM_INT where ALIAS = 'b'"), 3.0, 0.1);
    EXPECT_TRUE(QFile::exists(path("RS_line.xlsx")));
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
    EXPECT_TRUE(r.out.contains("The keys act in this order: RF=, DB=, RT=, CD="));
    EXPECT_TRUE(r.out.contains("  3    the calibration completed"));

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

// The column keys before CD= find their columns, and a line without RS_ writes
// its protocol as PROT_UNC.TXT and its workbook as opti_res.xlsx, never a file
// named by its extension alone.
TEST_F(Batch, OrderOfTheKeysAndTheProtocolWithoutAName) {
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql});
    QStringList args = line({"NX=20", "GO"}).filter(QRegularExpression("^(?!RS_)"));
    std::reverse(args.begin(), args.end());
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(QFile::exists(path("PROT_UNC.TXT")));
    EXPECT_TRUE(QFile::exists(path("opti_res.xlsx")));
    EXPECT_FALSE(QFile::exists(path(".txt")));
    EXPECT_FALSE(QFile::exists(path(".xlsx")));
}

// A calibration that ends on a bound: the analysis is refused, which the exit
// status, standard error and the journal say; the standard errors and
// correlations of the earlier values are gone beside the new AVAL.
TEST_F(Batch, RefusedAnalysisEndsWithItsOwnStatusAndNoStaleErrors) {
    dbPath = makeDb(dir.path(), QString(kDbSql) +
                                    "alter table PARM_INT add column r_2 double;"
                                    "update PARM_INT set ERROR = 0.5, r_2 = 0.3;"
                                    "update PARM_INT set MAXIMUM = 2.5 where ALIAS = 'b';");
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql});
    const Outcome r = run(line({"NX=60", "GO"}));
    EXPECT_EQ(r.status, 3) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("the uncertainty analysis was refused: at least one parameter is "
                               "at the limit"))
        << r.err.toStdString();
    EXPECT_NEAR(queryDouble(dbPath, "select AVAL from PARM_INT where ALIAS='b'"), 2.5, 1e-9);
    EXPECT_EQ(queryText(dbPath, "select count(*) from PARM_INT where ERROR is not null or r_2 is "
                                "not null"),
              "0");
    EXPECT_EQ(queryText(dbPath, "select group_concat(KIND || ':' || OUTCOME || ':' || "
                                "coalesce(REASON, ''), ' / ') from FITMARA_OPERATIONS"),
              "calibration:finished: / uncertainty:refused:at least one parameter is at the limit");
    expectModelTablesUntouched();
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

// A signal that comes during the last model run of the search or of the
// analysis stops the run as one during any earlier run does: nothing is kept,
// and no protocol or workbook tells of results that PARM_INT does not hold.
TEST_F(Batch, SignalDuringTheLastRunOfASearchOrAnalysisIsAStop) {
    const QString pristine = path("pristine.sqlite");
    ASSERT_TRUE(QFile::copy(dbPath, pristine));
    const QStringList model = {"--db", dbPath, "--sql", kModelSql, "--touch", path("runs.txt")};
    const QStringList args = line({"NX=40", "GO"});
    writeRunScript(dir.path(), model);
    ASSERT_EQ(run(args).status, 0);
    const int allRuns = runsSoFar();
    const int analysisRuns = 3;
    struct Case {
        const char* name;
        int signalledRun;
    };
    for (const Case& c : {Case{"the search's last run", allRuns - analysisRuns},
                          Case{"the analysis's last run", allRuns}}) {
        SCOPED_TRACE(c.name);
        QFile::remove(dbPath);
        ASSERT_TRUE(QFile::copy(pristine, dbPath));
        for (const char* name : {"runs.txt", "Opti_Result.TXT", "RS_line.txt", "RS_line.xlsx"})
            QFile::remove(path(name));
        const QString before = storedResults();
        // The run script sends SIGTERM to the program as that run starts.
        QFile script(writeRunScript(dir.path(), model));
        ASSERT_TRUE(script.open(QIODevice::ReadWrite));
        QByteArray text = script.readAll();
        text.insert(text.indexOf('\n') + 1,
                    QStringLiteral("[ $(($(cat '%1' 2>/dev/null | wc -l) + 1)) -eq %2 ] && "
                                   "kill -TERM $PPID\n")
                        .arg(path("runs.txt"))
                        .arg(c.signalledRun)
                        .toUtf8());
        script.seek(0);
        script.write(text);
        script.close();

        const Outcome r = run(args);
        EXPECT_EQ(r.status, 128 + SIGTERM) << r.err.toStdString();
        EXPECT_EQ(runsSoFar(), c.signalledRun);
        EXPECT_EQ(storedResults(), before);
        expectModelTablesUntouched();
        EXPECT_FALSE(QFile::exists(path("RS_line.xlsx")));
        const Ends ends = endsIn(dir.path(), dbPath);
        EXPECT_FALSE(ends.uncertainty.contains("standard errors"))
            << ends.uncertainty.toStdString();
        if (c.signalledRun < allRuns) {
            EXPECT_FALSE(ends.protocol.contains("results are stored as AVAL"))
                << ends.protocol.toStdString();
            EXPECT_TRUE(ends.protocol.contains("Optimisation stopped before it finished"));
        }
    }
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

    // Three rows damaged (a criterion that is text, empty, 'nan'): they are set
    // aside, and their runs made again, not replayed as 0.
    const QString damaged = QStringLiteral("select ID from FITMARA_RUNS where COMPLETE=1 order by "
                                           "ID desc limit 1 offset %1");
    const QString damagedIds = QStringLiteral("ID %1 (RUN %2: CRITERION 'abc'), ID %3 (RUN %4: "
                                              "CRITERION ''), ID %5 (RUN %6: CRITERION 'nan')");
    QStringList ids;
    for (const auto& [offset, value] : {std::pair{2, "'abc'"}, {1, "''"}, {0, "'nan'"}}) {
        const QString id = queryText(dbPath, damaged.arg(offset));
        ids << id << queryText(dbPath, "select RUN from FITMARA_RUNS where ID = " + id);
        execSql(dbPath,
                QString("update FITMARA_RUNS set CRITERION = %1 where ID = %2").arg(value, id));
    }
    const QString setAside = damagedIds.arg(ids[0], ids[1], ids[2], ids[3], ids[4], ids[5]);

    // Resumed: the search retraces its path from the journal and goes on. The
    // tolerance written another way is the same value.
    const Outcome resumed =
        run(line({"NX=40", "GO", "RESUME"}).replaceInStrings("KR=1E-9", "KR=0.000000001"));
    ASSERT_EQ(resumed.status, 0) << resumed.err.toStdString();
    EXPECT_TRUE(resumed.out.contains("Run journal rows set aside (they do not hold what a model "
                                     "run writes; those runs are made again): " +
                                     setAside))
        << resumed.out.toStdString();
    const int madeNow = runsSoFar() - killedRuns;
    Ends ends = endsIn(dir.path(), dbPath);
    const QByteArray note = QStringLiteral("Resumed from the run journal: %1 model runs taken "
                                           "from it, %2 made now\r\n")
                                .arg(journaled - 3)
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
    // The model ran only for what the first start had not journaled, and the
    // three runs whose rows were set aside.
    EXPECT_EQ(madeNow, refRuns - journaled + 3);
    EXPECT_EQ(queryText(dbPath, "select group_concat(KIND || ':' || OUTCOME || ':' || RESUMED, "
                                "' ') from FITMARA_OPERATIONS"),
              "calibration:finished:1 uncertainty:finished:0");
    // One row per model run, across both starts.
    EXPECT_EQ(queryDouble(dbPath, "select count(*) from FITMARA_RUNS"), rowsAfterKill + madeNow);
}

// Killed in the uncertainty analysis that follows the calibration: the
// calibration had finished and every run of it is in the journal, so RESUME
// replays it without a model run and makes only the analysis again.
TEST_F(Batch, KilledInTheAnalysisAfterTheCalibrationResumesWithoutRepeatingTheSearch) {
    const QString pristine = path("pristine.sqlite");
    ASSERT_TRUE(QFile::copy(dbPath, pristine));
    writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--behave", "slow", "--sleep",
                                "40", "--touch", path("runs.txt")});
    const QStringList args = line({"NX=40", "GO"});
    ASSERT_EQ(run(args).status, 0);
    const int refRuns = runsSoFar();
    const Ends reference = endsIn(dir.path(), dbPath);
    const int analysisRuns = 3;

    QFile::remove(dbPath);
    ASSERT_TRUE(QFile::copy(pristine, dbPath));
    QFile::remove(path("runs.txt"));
    QProcess* p = start(args);
    QElapsedTimer clock;
    clock.start();
    // The first run of the analysis has started.
    while (runsSoFar() < refRuns - analysisRuns + 1 && clock.elapsed() < 60000)
        QThread::msleep(2);
    ::kill(static_cast<pid_t>(p->processId()), SIGKILL);
    finish(p);
    QThread::msleep(300);
    const int killedRuns = runsSoFar();
    ASSERT_LT(killedRuns, refRuns);
    ASSERT_EQ(queryText(dbPath, "select group_concat(KIND || ':' || coalesce(OUTCOME, 'none'), "
                                "' ') from FITMARA_OPERATIONS"),
              "calibration:finished uncertainty:none");

    const Outcome resumed = run(line({"NX=40", "GO", "RESUME"}));
    ASSERT_EQ(resumed.status, 0) << resumed.err.toStdString();
    EXPECT_EQ(runsSoFar() - killedRuns, analysisRuns);
    Ends ends = endsIn(dir.path(), dbPath);
    const QByteArray note = QStringLiteral("Resumed from the run journal: %1 model runs taken "
                                           "from it, 0 made now\r\n")
                                .arg(refRuns - analysisRuns)
                                .toUtf8();
    EXPECT_TRUE(ends.protocol.contains(note)) << ends.protocol.toStdString();
    ends.protocol.replace(note, "");
    EXPECT_EQ(ends.protocol, reference.protocol);
    ends.uncertainty.replace(note, "");
    EXPECT_EQ(ends.uncertainty, reference.uncertainty);
    EXPECT_EQ(ends.parmInt, reference.parmInt);
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
    expectOneOfTwoRefused(start(args), start(args));
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

// The same database named through a symbolic link is the same database: a
// second run would back up the first one's trial values over its backup.
TEST_F(Batch, OneRunAtATimeAlsoThroughASymbolicLink) {
    writeRunScript(dir.path(),
                   {"--db", dbPath, "--sql", kModelSql, "--behave", "slow", "--sleep", "100"});
    ASSERT_TRUE(QDir(dir.path()).mkdir("linked"));
    const QString link = path("linked/line.sqlite");
    ASSERT_TRUE(QFile::link(dbPath, link));
    QProcess* first = start(line({"NX=15", "GO"}));
    QProcess* second = start(
        line({"NX=15", "GO", "DB=" + link})
            .filter(QRegularExpression("^(?!DB=" + QRegularExpression::escape(dbPath) + "$)")));
    expectOneOfTwoRefused(first, second);
    expectModelTablesUntouched();
    EXPECT_FALSE(QFile::exists(dbPath + ".fitmara-run"));
    EXPECT_FALSE(QFile::exists(link + ".fitmara-run"));
}

// kill -9 in the middle of a calibration, then a run that fails: the stored
// results and the simulated values of before the killed run are back, not the
// killed run's trial values. Also when the next run names the database through
// a link beside which an earlier build left its marker.
TEST_F(Batch, KilledRunGivesBackStoredResultsAndSimulatedValues) {
    execSql(dbPath, "update PARM_INT set AVAL = 1.25, ERROR = 0.5; "
                    "alter table PARM_INT add column r_2 double; "
                    "update PARM_INT set r_2 = 0.75 where ALIAS = 'a'; "
                    "update results set SIM = 10 + ID");
    const QString before = storedResults();
    const QString simulatedBefore = simulated();
    const QString link = path("line-link.sqlite");
    ASSERT_TRUE(QFile::link(dbPath, link));
    for (const bool throughLink : {false, true}) {
        SCOPED_TRACE(throughLink ? "through a link" : "named as it is");
        QFile::remove(path("runs.txt"));
        writeRunScript(dir.path(), {"--db", dbPath, "--sql", kModelSql, "--behave", "slow",
                                    "--sleep", "100", "--touch", path("runs.txt")});
        QProcess* killed = start(line({"NX=100000", "KR=1E-300", "GO"}));
        QElapsedTimer clock;
        clock.start();
        while (runsSoFar() < 4 && clock.elapsed() < 60000)
            QThread::msleep(20);
        ::kill(static_cast<pid_t>(killed->processId()), SIGKILL);
        finish(killed);
        QThread::msleep(300);               // the model run under way ends
        ASSERT_NE(storedResults(), before); // the trial values of the killed run
        ASSERT_TRUE(QFile::exists(dbPath + ".fitmara-run"));
        QStringList next = line({"NX=3", "GO"});
        if (throughLink) {
            ASSERT_TRUE(QFile::rename(dbPath + ".fitmara-run", link + ".fitmara-run"));
            next.replaceInStrings(QRegularExpression("^DB=.*"), "DB=" + link);
        }

        // The next run recovers, then fails with a model that writes nothing.
        writeRunScript(dir.path(), {"--db", dbPath, "--behave", "fail"});
        const Outcome r = run(next);
        EXPECT_EQ(r.status, 1) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("The last run on this database did not finish: the model's "
                                   "tables, the stored results of PARM_INT (AVAL, ERROR, r_k) "
                                   "and the simulated column are restored from their backups "
                                   "first."))
            << r.out.toStdString();
        EXPECT_EQ(storedResults(), before);
        EXPECT_EQ(queryDouble(dbPath, "select r_2 from PARM_INT where ALIAS = 'a'"), 0.75);
        EXPECT_EQ(simulated(), simulatedBefore);
        expectModelTablesUntouched();
        EXPECT_FALSE(QFile::exists(dbPath + ".fitmara-run"));
        EXPECT_FALSE(QFile::exists(link + ".fitmara-run"));
    }
}

// kill -9 while models run, in place and in workspaces: the next run ends the
// models the killed one left running and removes its workspaces, and says so.
TEST_F(Batch, NextRunEndsWhatAKilledRunLeftRunning) {
    for (const char* parallel : {"NP=1", "NP=2"}) {
        SCOPED_TRACE(parallel);
        const int hanging = parallel[3] - '0';
        dbPath = makeDb(dir.path(), kDbSql, QString("np%1.sqlite").arg(hanging));
        QFile::remove(path("runs.txt"));
        // The first runs (one per worker) hang; later ones complete.
        QFile script(path("run.sh"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write(("#!/bin/sh\nexec " + shellQuote(FIXTURE_DIR "/standin_model") +
                      " --db \"$FITMARA_DB\" --sql " + shellQuote(kModelSql) + " --touch " +
                      shellQuote(path("runs.txt")) + " --run-mode 1=hang" +
                      (hanging > 1 ? " --run-mode 2=hang" : "") + "\n")
                         .toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);

        QProcess* killed = start(line({"NX=5", parallel, "GO"}));
        QElapsedTimer clock;
        clock.start();
        while (processesMentioning(path("runs.txt")).size() < hanging && clock.elapsed() < 30000)
            QThread::msleep(20);
        ::kill(static_cast<pid_t>(killed->processId()), SIGKILL);
        finish(killed);
        ASSERT_EQ(processesMentioning(path("runs.txt")).size(), hanging);
        const QDir work(path(".fitmara-work"));
        EXPECT_EQ(work.entryList({"set-*"}, QDir::Dirs).size(), hanging > 1 ? 1 : 0);

        const Outcome next = run(line({"NX=3", "GO"}));
        EXPECT_EQ(next.status, 0) << next.err.toStdString();
        EXPECT_TRUE(next.out.contains(QString("A run on this database that was ended before it "
                                              "finished had left %1 model process(es) running "
                                              "and %2 set(s) of workspaces in")
                                          .arg(hanging)
                                          .arg(hanging > 1 ? 1 : 0)))
            << next.out.toStdString();
        EXPECT_TRUE(processesMentioning(path("runs.txt")).isEmpty());
        EXPECT_TRUE(work.entryList({"set-*"}, QDir::Dirs).isEmpty());
        expectModelTablesUntouched();
        for (int pid : processesMentioning(path("runs.txt")))
            ::kill(pid, SIGKILL); // a failing test leaves nothing behind
    }
}

// The model learns its run's number in the journal and the try, in place and
// in parallel, across a retry and across the calibration and the analysis.
TEST_F(Batch, RunVariablesAreTheJournalsRunAndTry) {
    for (const char* parallel : {"NP=1", "NP=2"}) {
        SCOPED_TRACE(parallel);
        dbPath = makeDb(dir.path(), kDbSql, QString("np%1.sqlite").arg(parallel[3]));
        const QString seen = path("seen.txt");
        QFile::remove(seen);
        QFile::remove(path("runs.txt"));
        QFile script(path("run.sh"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write(("#!/bin/sh\necho \"$FITMARA_RUN $FITMARA_TRY\" >> " + shellQuote(seen) +
                      "\nexec " + shellQuote(FIXTURE_DIR "/standin_model") +
                      " --db \"$FITMARA_DB\" --sql " + shellQuote(kModelSql) + " --touch " +
                      shellQuote(path("runs.txt")) + " --run-mode 3=fail\n")
                         .toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        const Outcome r = run(line({"NX=8", "RR=1", parallel, "GO"}));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        QFile f(seen);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
        QStringList journaled =
            queryText(dbPath, "select group_concat(RUN || ' ' || TRY, ',') from (select RUN, "
                              "TRY from FITMARA_RUNS order by ID)")
                .split(',');
        // The failed third start was tried once more, under the same run number.
        EXPECT_EQ(journaled.filter(QRegularExpression(" 2$")).size(), 1)
            << journaled.join(',').toStdString();
        lines.sort();
        journaled.sort();
        EXPECT_EQ(lines, journaled);
    }
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
            OperationRunner::BusyScope busy(s.operations());
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
