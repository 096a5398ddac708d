// The command line as the activation handler applies it: the keys, their case
// rules, their order, and what an error or "?" leaves undone. Real SQLite files,
// a scripted Asker instead of dialogs.
#include "app/batch.h"
#include "app/command_line_parser.h"
#include "app/session.h"
#include "base/fit_error.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

using namespace fixture;

namespace {

const char* kDbSql = R"(
create table Results (ID integer primary key, GRP integer, OBS double, SIM double, VAR double);
insert into Results values (1, 1, 1.0, 0, 0.1), (2, 1, 2.0, 0, 0.1), (3, 2, 3.0, 0, 0.1);
create table model_par (ID integer primary key, A double);
insert into model_par values (1, 0.5);
)";

// Answers the program's questions from a script and records them.
class ScriptedAsker : public Asker {
  public:
    QString databaseAnswer; // empty: the dialog is cancelled
    int databaseAsked = 0;
    int helpShown = 0;
    QString helpText, helpCaption;

    bool chooseDatabase(QString& path) override {
        ++databaseAsked;
        if (databaseAnswer.isEmpty())
            return false;
        path = databaseAnswer;
        return true;
    }
    bool chooseRunFile(QString&) override { return false; }
    void showResultDialog(Session&) override { ADD_FAILURE() << "no result dialog expected"; }
    void showHelp(const QString& text, const QString& caption) override {
        ++helpShown;
        helpText = text;
        helpCaption = caption;
    }
    void editTextFile(const QString&) override {}
};

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        dbPath = makeDb(dir.path(), kDbSql);
        s.setAsker(&asker);
    }

    // Applies the line; returns the error message, empty when none.
    QString activate(const QStringList& args) {
        s.setArguments(args);
        try {
            s.applyCommandLine();
        } catch (const FitError& e) {
            return e.message();
        }
        return QString();
    }

    QTemporaryDir dir;
    QString dbPath;
    ScriptedAsker asker;
    Session s;
};

TEST_F(CommandLine, FullLineAppliesEveryKeyInOrder) {
    const QString script = writeRunScript(dir.path(), {"--db", dbPath});
    QSignalSpy changed(&s, &Session::stateChanged);
    const QString err = activate(
        {"RF=" + script, "DB=" + dbPath, "RT=results", "CD=GRP > 0", "OB=obs", "MO=SIM",   "IX=grp",
         "OV=Var",       "KR=1E-5",      "NX=77",      "RS_out",     "XL_OUT", "EF=NRMSE", "PR=0",
         "PV=3",         "TO=2.5",       "RR=2",       "NR=2",       "MS=4",   "RESUME"});
    ASSERT_TRUE(err.isEmpty()) << err.toStdString();

    EXPECT_EQ(s.settings().runFile, script);
    EXPECT_EQ(s.modelProcess().program(), script);
    EXPECT_EQ(s.modelProcess().workingDirectory(), dir.path() + "/");
    EXPECT_FALSE(s.form().runFileLines.isEmpty());

    EXPECT_TRUE(s.database().isOpen());
    EXPECT_EQ(s.settings().databaseFile, dbPath);
    EXPECT_EQ(s.settings().databaseFolder, dir.path() + "/");
    EXPECT_TRUE(s.database().hasTable("PARM_INT")); // created on opening

    EXPECT_EQ(s.settings().resultTable, "Results"); // the listed name, not the typed one
    EXPECT_EQ(s.settings().condition, "GRP > 0");
    EXPECT_EQ(s.setup().resultQuery(), "select * from Results where GRP > 0");
    EXPECT_EQ(s.setup().columnList(ColumnRole::Observed).selected(), "OBS");
    EXPECT_EQ(s.setup().columnList(ColumnRole::Model).selected(), "SIM");
    EXPECT_EQ(s.setup().columnList(ColumnRole::Index).selected(), "GRP");
    EXPECT_EQ(s.setup().columnList(ColumnRole::Variance).selected(), "VAR");

    EXPECT_EQ(s.settings().tolerance, "1E-5");
    EXPECT_EQ(s.settings().maxEvaluations, 77);
    EXPECT_EQ(s.form().maxEvaluationsText, "77");
    EXPECT_EQ(s.batch().resultName, "RS_out");
    EXPECT_TRUE(s.batch().workbookWanted);
    EXPECT_EQ(s.settings().criterionText, "NRMSE");
    EXPECT_EQ(s.settings().criterion, 2);
    EXPECT_EQ(s.settings().pauseAfterRunMs, 0);
    EXPECT_EQ(s.settings().pauseBeforeVertexMs, 3);
    EXPECT_EQ(s.settings().runTimeoutS, 2.5);
    EXPECT_EQ(s.settings().retries, 2);
    EXPECT_EQ(s.settings().restarts, 2);
    EXPECT_EQ(s.settings().starts, 4);
    EXPECT_TRUE(s.batch().resume);
    EXPECT_FALSE(s.batch().unattended);

    EXPECT_EQ(asker.databaseAsked, 0); // the connection is open: no dialog
    EXPECT_FALSE(s.closeWasRequested());
    EXPECT_GT(changed.count(), 0); // the window refreshes
}

// Each line runs without a database; the dialog is cancelled, so nothing starts.
struct KeyCase {
    const char* name;
    QStringList args;
    std::function<void(const Session&)> check;
};

// Sessions share one database connection name: the cases run one at a time,
// outside the fixture.
TEST(CommandLineKeys, KeysFollowTheirCaseRules) {
    const std::vector<KeyCase> cases = {
        {"XL_OUT upper",
         {"XL_OUT"},
         [](const Session& s) { EXPECT_TRUE(s.batch().workbookWanted); }},
        {"xl_out lower",
         {"xl_out"},
         [](const Session& s) { EXPECT_TRUE(s.batch().workbookWanted); }},
        {"ef= key in lower case, value as typed",
         {"ef=NRMSE"},
         [](const Session& s) {
             EXPECT_EQ(s.settings().criterionText, "NRMSE");
             EXPECT_EQ(s.settings().criterion, 2);
         }},
        {"Ef= CV(RMSE)",
         {"Ef=CV(RMSE)"},
         [](const Session& s) { EXPECT_EQ(s.settings().criterion, 3); }},
        {"EF= value in lower case names the criterion",
         {"EF=nrmse"},
         [](const Session& s) {
             EXPECT_EQ(s.settings().criterionText, "NRMSE");
             EXPECT_EQ(s.settings().criterion, 2);
         }},
        {"EF=RMSE",
         {"EF=NRMSE", "EF=RMSE"},
         [](const Session& s) { EXPECT_EQ(s.settings().criterion, 1); }},
        {"RS_ keeps the whole argument",
         {"RS_calib run"},
         [](const Session& s) { EXPECT_EQ(s.batch().resultName, "RS_calib run"); }},
        {"NX= with blanks",
         {"NX= 12 "},
         [](const Session& s) {
             EXPECT_EQ(s.settings().maxEvaluations, 12);
             EXPECT_EQ(s.form().maxEvaluationsText, "12");
         }},
        {"PR=0 PV=0",
         {"PR=0", "PV=0"},
         [](const Session& s) {
             EXPECT_EQ(s.settings().pauseAfterRunMs, 0);
             EXPECT_EQ(s.settings().pauseBeforeVertexMs, 0);
         }},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        Session fresh;
        ScriptedAsker cancel;
        fresh.setAsker(&cancel);
        fresh.setArguments(c.args);
        try {
            fresh.applyCommandLine();
        } catch (const FitError& e) {
            ADD_FAILURE() << e.message().toStdString();
        }
        c.check(fresh);
        EXPECT_FALSE(fresh.database().isOpen());
        EXPECT_EQ(cancel.databaseAsked, 1); // steps after the arguments ran
    }
}

TEST_F(CommandLine, FlagsAreClearedOnEveryActivationAndValuesKept) {
    ASSERT_TRUE(activate({"XL_OUT", "RS_a", "NX=9", "EF=CV(RMSE)"}).isEmpty());
    EXPECT_TRUE(s.batch().workbookWanted);
    ASSERT_TRUE(activate({"KR=2"}).isEmpty());
    EXPECT_FALSE(s.batch().unattended);
    EXPECT_FALSE(s.batch().workbookWanted);
    EXPECT_EQ(s.batch().resultName, "RS_a");
    EXPECT_EQ(s.settings().maxEvaluations, 9);
    EXPECT_EQ(s.settings().criterion, 3);
    EXPECT_EQ(asker.databaseAsked, 2); // no connection: asked on each activation
}

TEST_F(CommandLine, ResultTableIsMatchedIgnoringCase) {
    ASSERT_TRUE(activate({"DB=" + dbPath, "RT=RESULTS"}).isEmpty());
    EXPECT_EQ(s.settings().resultTable, "Results");
    EXPECT_TRUE(s.setup().openTableEnabled());
}

// A name the database or the result table does not hold is an error naming the
// argument, whatever else stands on the line and in which order.
TEST_F(CommandLine, NamesTheDatabaseDoesNotHoldAreErrors) {
    EXPECT_EQ(activate({"RT=no_such_table", "DB=" + dbPath}),
              "RT=no_such_table: the database has no table or view of that name.");
    EXPECT_EQ(activate({"MO=nope", "OB=OBS", "DB=" + dbPath, "CD=1=1", "RT=Results"}),
              "MO=nope: the result table Results has no column of that name.");
}

// The keys act in one order whatever order the line gives them in: the column
// keys before CD= (or without it: the condition is then 1=1) find their columns.
TEST(CommandLineOrder, ColumnKeysWorkInAnyOrder) {
    QTemporaryDir dir;
    const QString db = makeDb(dir.path(), kDbSql);
    QStringList line = {"OB=obs",     "MO=SIM",     "IX=grp",  "OV=Var",
                        "CD=GRP > 1", "RT=results", "DB=" + db};
    const QList<QStringList> orders = {line, QStringList(line.rbegin(), line.rend()),
                                       line.mid(0, 4) + QStringList{"RT=results", "DB=" + db}};
    for (const QStringList& args : orders) {
        SCOPED_TRACE(args.join(' ').toStdString());
        Session s;
        ScriptedAsker a;
        s.setAsker(&a);
        s.setArguments(args);
        ASSERT_NO_THROW(s.applyCommandLine());
        EXPECT_EQ(s.setup().columnList(ColumnRole::Observed).selected(), "OBS");
        EXPECT_EQ(s.setup().columnList(ColumnRole::Model).selected(), "SIM");
        EXPECT_EQ(s.setup().columnList(ColumnRole::Index).selected(), "GRP");
        EXPECT_EQ(s.setup().columnList(ColumnRole::Variance).selected(), "VAR");
        EXPECT_EQ(s.settings().condition, args.contains("CD=GRP > 1") ? "GRP > 1" : "1=1");
    }
}

TEST_F(CommandLine, BareDatabaseNameGivesEmptyWorkpath) {
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const QString err = activate({"DB=calib.sqlite"});
    QDir::setCurrent(old);
    ASSERT_TRUE(err.isEmpty()) << err.toStdString();
    EXPECT_TRUE(s.database().isOpen());
    EXPECT_EQ(s.settings().databaseFile, "calib.sqlite");
    EXPECT_TRUE(s.settings().databaseFolder.isEmpty());
}

// A line with an error applies nothing of itself: not the keys before the bad
// one, not those after it, and none of the later steps.
TEST(CommandLineKeys, AnErrorAppliesNothingOfTheLine) {
    struct ErrCase {
        const char* name;
        QStringList args;
        const char* messagePart;
    };
    const std::vector<ErrCase> cases = {
        {"NX= not an integer", {"KR=7", "NX=12x", "XL_OUT", "GO"}, "NX=12x: "},
        {"NX= empty", {"KR=7", "NX=", "GO"}, "NX=: Nmax needs a whole number"},
        {"CD= before any database", {"CD=1=1", "KR=7", "GO"}, "CD=1=1: no result table"},
        {"PR= negative", {"KR=7", "PR=-1", "GO"}, "PR=-1: "},
        {"PV= not a number", {"PV=fast", "KR=7", "GO"}, "fast"},
        {"TO= negative", {"TO=-1", "KR=7", "GO"}, "TO= needs a number of seconds"},
        {"RR= not a count", {"RR=x", "KR=7", "GO"}, "RR=x: "},
        {"unknown key", {"KR=7", "XL_OUT", "unknown=1"}, "unknown=1: not a known argument"},
        {"DB= missing file",
         {"DB=/nonexistent/dir/x.sqlite", "KR=7", "XL_OUT"},
         "DB=/nonexistent/dir/x.sqlite: "},
    };
    for (const ErrCase& c : cases) {
        SCOPED_TRACE(c.name);
        Session fresh;
        ScriptedAsker a;
        fresh.setAsker(&a);
        fresh.setArguments(c.args);
        try {
            fresh.applyCommandLine();
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.messagePart)))
                << e.message().toStdString();
        }
        EXPECT_FALSE(fresh.batch().unattended);
        EXPECT_EQ(fresh.settings().maxEvaluations, 50);
        EXPECT_EQ(a.databaseAsked, 0); // the steps after the arguments were not carried out
        EXPECT_EQ(fresh.settings().tolerance, "0.0001");
        EXPECT_FALSE(fresh.batch().workbookWanted);
    }
    EXPECT_FALSE(QFile::exists("/nonexistent/dir/x.sqlite"));
}

TEST_F(CommandLine, HelpKeyShowsTheTextClosesAndStops) {
    // "?" wherever it stands: the help, and nothing of the line is applied.
    ASSERT_TRUE(activate({"DB=" + dbPath, "?", "KR=9", "nx=5", "GO"}).isEmpty());
    EXPECT_FALSE(s.database().isOpen());
    EXPECT_EQ(asker.helpShown, 1);
    EXPECT_EQ(asker.helpText,
              "CD=<condition> RT=<res.tab.> DB=<database> OB=<observ.> MO=<model> EF=<error fct> "
              "IX=<index> OV=<variance> KR=<criterium> NX=<max N> RS_...<output file> XL_OUT GO");
    EXPECT_EQ(asker.helpCaption, " batch parameters:");
    EXPECT_FALSE(asker.helpText.contains("RF="));
    EXPECT_TRUE(s.closeWasRequested());
    EXPECT_EQ(s.settings().tolerance, "0.0001");
    EXPECT_FALSE(s.batch().unattended);
}

TEST(CommandLineKeys, HelpKeyAloneOpensNothing) {
    Session fresh;
    ScriptedAsker a;
    fresh.setAsker(&a);
    QSignalSpy closed(&fresh, &Session::closeRequested);
    fresh.setArguments({"?"});
    fresh.applyCommandLine();
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(a.helpShown, 1);
    EXPECT_EQ(a.databaseAsked, 0);
    EXPECT_FALSE(fresh.database().isOpen());
}

TEST_F(CommandLine, DatabaseDialogWhenNoneIsOpen) {
    asker.databaseAnswer = dbPath;
    ASSERT_TRUE(activate({"KR=3"}).isEmpty());
    EXPECT_EQ(asker.databaseAsked, 1);
    EXPECT_TRUE(s.database().isOpen());
    EXPECT_TRUE(s.settings().databaseFolder.isEmpty()); // only DB= sets it
    // Open now: the next activation does not ask again.
    ASSERT_TRUE(activate({}).isEmpty());
    EXPECT_EQ(asker.databaseAsked, 1);
}

TEST(CommandLineKeys, WithoutAnyoneToAskAMissingDatabaseIsAnError) {
    HeadlessAsker headless;
    for (Asker* a : {static_cast<Asker*>(nullptr), static_cast<Asker*>(&headless)}) {
        Session fresh;
        fresh.setAsker(a);
        fresh.setArguments({"GO"});
        try {
            fresh.applyCommandLine();
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().startsWith("No database is open: give one with DB=<file>.\n"))
                << e.message().toStdString();
        }
        EXPECT_FALSE(fresh.batch().unattended); // a line with an error applies nothing
    }
}

TEST_F(CommandLine, NothingIsAppliedWhileAnOperationRuns) {
    s.setArguments({"KR=9", "NX=3", "GO"});
    {
        OperationRunner::BusyScope busy(s.operations());
        s.applyCommandLine();
        EXPECT_EQ(s.settings().tolerance, "0.0001");
        EXPECT_EQ(s.settings().maxEvaluations, 50);
        EXPECT_FALSE(s.batch().unattended);
        EXPECT_EQ(asker.databaseAsked, 0);
    }
    ASSERT_TRUE(activate({"KR=9"}).isEmpty());
    EXPECT_EQ(s.settings().tolerance, "9");
}

// A batch line whose run file is missing cannot run the model: it fails before
// the calibration touches anything, so the values of the last one stay.
TEST_F(CommandLine, BatchLineWithoutARunFileFailsBeforeTheCalibration) {
    ASSERT_TRUE(activate({"DB=" + dbPath}).isEmpty()); // creates PARM_INT
    execSql(dbPath, "insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, "
                    "SELECTION) values ('model_par', 'A', 0.1, 1, 0.5, 0.1, 0.75, 'ID=1')");
    const QStringList tail = {"DB=" + dbPath, "RT=Results", "CD=1=1", "OB=OBS", "MO=SIM",
                              "OV=VAR",       "PR=0",       "PV=0",   "GO"};
    const struct {
        const char* name;
        QStringList args;
        const char* messagePart;
    } cases[] = {
        {"no run file", tail, "no run file is given"},
        {"missing run file", QStringList{"RF=" + dir.path() + "/no_such_run.sh"} + tail,
         "no_such_run.sh\" does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString err = activate(c.args);
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.messagePart))) << err.toStdString();
        EXPECT_TRUE(err.contains("RF=<file>")) << err.toStdString();
        EXPECT_DOUBLE_EQ(queryDouble(dbPath, "select AVAL from PARM_INT"), 0.75);
        EXPECT_FALSE(s.database().hasTable("model_par_bop")); // nothing was backed up
    }
}

TEST(BatchLine, GoAnywhereMakesABatchLine) {
    EXPECT_TRUE(isBatchLine({"NX=x", "GO"}));
    EXPECT_TRUE(isBatchLine({"GO", "DB=a"}));
    EXPECT_FALSE(isBatchLine({"go", "RS_GO", "XGO"}));
    EXPECT_TRUE(holdsHelpKey({"DB=x", "?"}));
    EXPECT_FALSE(holdsHelpKey({"??", "-?"}));
}

// The parser on its own: a line and the errors it gives, no database. Every
// argument that is no known key with a usable value is named; what the keys
// given lack is said; the order of the line changes nothing of it.
TEST(CommandLineParser, EveryUnusableArgumentIsNamed) {
    struct Case {
        const char* name;
        QStringList args;
        QStringList errors; // exactly these, in this order
        CommandLineContext context = {};
    };
    const QString db = "DB=calib.sqlite";
    const std::vector<Case> cases = {
        {"criterion that is none",
         {"EF=foo"},
         {"EF=foo: EF= needs one of the criteria RMSE, NRMSE or CV(RMSE), not 'foo'."}},
        {"negative Nmax",
         {"NX=-3"},
         {"NX=-3: Nmax needs a whole number of model evaluations of 1 or more, not '-3'."}},
        {"Nmax of 0",
         {"NX=0"},
         {"NX=0: Nmax needs a whole number of model evaluations of 1 or more, not '0'."}},
        {"key in lower case",
         {"nx=5"},
         {"nx=5: not a known argument; keys are written in upper case: NX=5"}},
        {"flag in lower case",
         {"go"},
         {"go: not a known argument; keys are written in upper case: GO"}},
        {"colon for the equals sign",
         {"NX:10"},
         {"NX:10: not a known argument; did you mean NX=10?"}},
        {"key without its value", {"KR"}, {"KR: not a known argument; did you mean KR=?"}},
        {"unknown key", {"unknown=1"}, {"unknown=1: not a known argument (see fitmara --help)."}},
        {"empty argument",
         {""},
         {"(an empty argument): not a known argument (see fitmara --help)."}},
        {"flag with more",
         {"GO!", "XL_OUTX"},
         {"GO!: not a known argument (see fitmara --help).",
          "XL_OUTX: not a known argument (see fitmara --help)."}},
        {"tolerance that is no number",
         {"KR=abc"},
         {"KR=abc: KR= needs a tolerance of 0 or more, not 'abc'."}},
        {"negative tolerance", {"KR=-1"}, {"KR=-1: KR= needs a tolerance of 0 or more, not '-1'."}},
        {"restarts and starts out of range",
         {"NR=-1", "NR=101", "MS=0", "MS=2x"},
         {"NR=-1: NR= needs a whole number of restarts of the simplex from 0 to 100, not '-1'.",
          "NR=101: NR= needs a whole number of restarts of the simplex from 0 to 100, not '101'.",
          "MS=0: MS= needs a whole number of starts of the search from 1 to 100, not '0'.",
          "MS=2x: MS= needs a whole number of starts of the search from 1 to 100, not '2x'."}},
        {"key with an empty value",
         {db, "RT= "},
         {"RT= : the key needs its value, the result table."}},
        {"every error of the line at once",
         {"NX=-3", "EF=foo", "nx=5"},
         {"NX=-3: Nmax needs a whole number of model evaluations of 1 or more, not '-3'.",
          "EF=foo: EF= needs one of the criteria RMSE, NRMSE or CV(RMSE), not 'foo'.",
          "nx=5: not a known argument; keys are written in upper case: NX=5"}},
        {"table keys without a database nor a dialog",
         {"RT=results"},
         {"No database is open: give one with DB=<file>."}},
        {"table keys with a dialog to ask", {"RT=results"}, {}, {false, true, false, false}},
        {"condition and columns without a result table",
         {db, "OB=obs", "CD=1=1"},
         {"CD=1=1: no result table is chosen: give it with RT=<table>.",
          "OB=obs: no result table is chosen: give it with RT=<table>."}},
        {"columns of the table already chosen", {"OB=obs"}, {}, {true, false, true, true}},
        {"unattended run without anything",
         {"GO"},
         {"No database is open: give one with DB=<file>.",
          "The model cannot be started: no run file is given: give the run script with RF=<file>.",
          "No result table is chosen: give it with RT=<table>.",
          "No observed column is chosen: give it with OB=<column>.",
          "No simulated (model) column is chosen: give it with MO=<column>.",
          "No variance column is chosen: give it with OV=<column>. An unattended run goes on with "
          "the uncertainty analysis, which needs it."}},
        {"unattended run without OV=",
         {"RF=run.sh", db, "RT=results", "CD=1=1", "OB=obs", "MO=sim", "GO"},
         {"No variance column is chosen: give it with OV=<column>. An unattended run goes on with "
          "the uncertainty analysis, which needs it."}},
        {"grouped criterion needs the index column",
         {"RF=run.sh", db, "RT=results", "OB=obs", "MO=sim", "OV=var", "EF=NRMSE", "GO"},
         {"No index column is chosen: give it with IX=<column>."}},
        {"whole unattended line",
         {"RF=run.sh", db, "RT=results", "OB=obs", "MO=sim", "OV=var", "EF=cv(rmse)", "IX=grp",
          "RS_x", "xl_out", "NX=7", "GO"},
         {}},
        {"help wins over every error", {"nx=5", "?", "EF=foo"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ParsedCommandLine line =
            parseCommandLine(c.args, CalibrationSettings{}, BatchOptions{}, c.context);
        EXPECT_EQ(line.errors, c.errors);
        // The same line backwards is checked the same (the errors in its order).
        const QStringList backwards(c.args.rbegin(), c.args.rend());
        const ParsedCommandLine reversed =
            parseCommandLine(backwards, CalibrationSettings{}, BatchOptions{}, c.context);
        EXPECT_EQ(QSet<QString>(reversed.errors.begin(), reversed.errors.end()),
                  QSet<QString>(c.errors.begin(), c.errors.end()));
    }
}

TEST(CommandLineParser, GivesTheSettingsAndTheSessionKeys) {
    CalibrationSettings current;
    BatchOptions currentBatch;
    currentBatch.unattended = true; // only the line sets GO and XL_OUT
    currentBatch.workbookWanted = true;
    currentBatch.resume = true; // the window's check box: kept
    current.tolerance = "0.5";
    const ParsedCommandLine line =
        parseCommandLine({"OV=var", "EF=cv(rmse)", "NX=7", "RS_x", "DB=a b.sqlite", "RT=results",
                          "IX=grp", "RF=run.sh", "CD=GRP > 1", "OB=obs", "MO=sim", "DB=c.sqlite"},
                         current, currentBatch, {});
    ASSERT_TRUE(line.errors.isEmpty()) << line.errors.join('\n').toStdString();
    EXPECT_FALSE(line.help);
    EXPECT_FALSE(line.batch.unattended);
    EXPECT_FALSE(line.batch.workbookWanted);
    EXPECT_EQ(line.settings.tolerance, "0.5");
    EXPECT_EQ(line.settings.criterionText, "CV(RMSE)");
    EXPECT_EQ(line.settings.criterion, 3);
    EXPECT_EQ(line.settings.maxEvaluations, 7);
    EXPECT_TRUE(line.maxCallsGiven);
    EXPECT_EQ(line.batch.resultName, "RS_x");
    EXPECT_TRUE(line.batch.resume);
    const std::map<SessionKey, QString> expected = {
        {SessionKey::RunFile, "run.sh"},      {SessionKey::Database, "c.sqlite"},
        {SessionKey::ResultTable, "results"}, {SessionKey::Condition, "GRP > 1"},
        {SessionKey::Observed, "obs"},        {SessionKey::Model, "sim"},
        {SessionKey::Index, "grp"},           {SessionKey::Variance, "var"}};
    EXPECT_EQ(line.sessionValues, expected);
    EXPECT_TRUE(parseCommandLine({"DB=x", "?"}, current, {}, {}).help);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
