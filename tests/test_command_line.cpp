// The command line as the activation handler applies it: the keys, their case
// rules, their order, and what an error or "?" leaves undone. Real SQLite files,
// a scripted Asker instead of dialogs.
#include "app/batch.h"
#include "app/session.h"
#include "base/fit_error.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
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
        s.asker = &asker;
    }

    // Applies the line; returns the error message, empty when none.
    QString activate(const QStringList& args) {
        s.arguments = args;
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
    const QString err =
        activate({"RF=" + script, "DB=" + dbPath, "RT=results", "CD=GRP > 0", "OB=obs", "MO=SIM",
                  "IX=grp", "OV=Var", "KR=1E-5", "NX=77", "RS_out", "XL_OUT", "EF=NRMSE", "PR=0",
                  "PV=3", "TO=2.5", "RR=2", "RESUME", "unknown=1"});
    ASSERT_TRUE(err.isEmpty()) << err.toStdString();

    EXPECT_EQ(s.settings.runFile, script);
    EXPECT_EQ(s.mrun.ApplicationName(), script);
    EXPECT_EQ(s.mrun.CurrentDir(), dir.path() + "/");
    EXPECT_FALSE(s.form.run_lb.isEmpty());

    EXPECT_TRUE(s.db.isOpen());
    EXPECT_EQ(s.settings.db_f_name, dbPath);
    EXPECT_EQ(s.settings.workpath, dir.path() + "/");
    EXPECT_TRUE(s.db.hasTable("PARM_INT")); // created on opening

    EXPECT_EQ(s.settings.tname, "Results"); // the listed name, not the typed one
    EXPECT_EQ(s.settings.condition, "GRP > 0");
    EXPECT_EQ(s.form.resultQuery, "select * from Results where GRP > 0");
    EXPECT_EQ(s.form.obs_fld.selected(), "OBS");
    EXPECT_EQ(s.form.mod_fld.selected(), "SIM");
    EXPECT_EQ(s.form.idx_fld.selected(), "GRP");
    EXPECT_EQ(s.form.var_fld.selected(), "VAR");

    EXPECT_EQ(s.settings.tolerance, "1E-5");
    EXPECT_EQ(s.settings.max_call, 77);
    EXPECT_EQ(s.form.edit2, "77");
    EXPECT_EQ(s.settings.result_file, "RS_out");
    EXPECT_TRUE(s.settings.excel_out);
    EXPECT_EQ(s.settings.errfun, "NRMSE");
    EXPECT_EQ(s.settings.criterion, 2);
    EXPECT_EQ(s.settings.pauseAfterRunMs, 0);
    EXPECT_EQ(s.settings.pauseBeforeVertexMs, 3);
    EXPECT_EQ(s.settings.runTimeoutS, 2.5);
    EXPECT_EQ(s.settings.retries, 2);
    EXPECT_TRUE(s.settings.resume);
    EXPECT_FALSE(s.settings.autorun);

    EXPECT_EQ(asker.databaseAsked, 0); // the connection is open: no dialog
    EXPECT_FALSE(s.closeWasRequested);
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
        {"GO exactly", {"GO"}, [](const Session& s) { EXPECT_TRUE(s.settings.autorun); }},
        {"go in lower case is ignored",
         {"go"},
         [](const Session& s) { EXPECT_FALSE(s.settings.autorun); }},
        {"Go mixed is ignored", {"Go"}, [](const Session& s) { EXPECT_FALSE(s.settings.autorun); }},
        {"GO with more is ignored",
         {"GO!"},
         [](const Session& s) { EXPECT_FALSE(s.settings.autorun); }},
        {"XL_OUT upper", {"XL_OUT"}, [](const Session& s) { EXPECT_TRUE(s.settings.excel_out); }},
        {"xl_out lower", {"xl_out"}, [](const Session& s) { EXPECT_TRUE(s.settings.excel_out); }},
        {"XL_OUT with a suffix is no key",
         {"XL_OUTX"},
         [](const Session& s) { EXPECT_FALSE(s.settings.excel_out); }},
        {"ef= key in lower case, value as typed",
         {"ef=NRMSE"},
         [](const Session& s) {
             EXPECT_EQ(s.settings.errfun, "NRMSE");
             EXPECT_EQ(s.settings.criterion, 2);
         }},
        {"Ef= CV(RMSE)",
         {"Ef=CV(RMSE)"},
         [](const Session& s) { EXPECT_EQ(s.settings.criterion, 3); }},
        {"EF= value in lower case selects nothing",
         {"EF=nrmse"},
         [](const Session& s) {
             EXPECT_EQ(s.settings.errfun, "nrmse");
             EXPECT_EQ(s.settings.criterion, 1);
         }},
        {"EF=RMSE",
         {"EF=NRMSE", "EF=RMSE"},
         [](const Session& s) { EXPECT_EQ(s.settings.criterion, 1); }},
        {"RS_ keeps the whole argument",
         {"RS_calib run"},
         [](const Session& s) { EXPECT_EQ(s.settings.result_file, "RS_calib run"); }},
        {"rs_ lower is ignored",
         {"rs_x"},
         [](const Session& s) { EXPECT_TRUE(s.settings.result_file.isEmpty()); }},
        {"rf= lower is ignored",
         {"rf=run.sh"},
         [](const Session& s) { EXPECT_TRUE(s.settings.runFile.isEmpty()); }},
        {"RF= missing file: name kept, nothing loaded",
         {"RF=no_such_run.sh"},
         [](const Session& s) {
             EXPECT_EQ(s.settings.runFile, QDir::currentPath() + "/no_such_run.sh");
             EXPECT_TRUE(s.form.run_lb.isEmpty());
             EXPECT_TRUE(s.mrun.ApplicationName().isEmpty());
         }},
        {"nx= lower is ignored",
         {"nx=7"},
         [](const Session& s) { EXPECT_EQ(s.settings.max_call, 50); }},
        {"NX= with blanks",
         {"NX= 12 "},
         [](const Session& s) {
             EXPECT_EQ(s.settings.max_call, 12);
             EXPECT_EQ(s.form.edit2, "12");
         }},
        {"kr= lower is ignored",
         {"kr=1"},
         [](const Session& s) { EXPECT_EQ(s.settings.tolerance, "0.0001"); }},
        {"KR= unchecked text",
         {"KR=abc"},
         [](const Session& s) { EXPECT_EQ(s.settings.tolerance, "abc"); }},
        {"pr=/pv= lower are ignored",
         {"pr=0", "pv=0"},
         [](const Session& s) {
             EXPECT_EQ(s.settings.pauseAfterRunMs, 500);
             EXPECT_EQ(s.settings.pauseBeforeVertexMs, 1000);
         }},
        {"PR=0 PV=0",
         {"PR=0", "PV=0"},
         [](const Session& s) {
             EXPECT_EQ(s.settings.pauseAfterRunMs, 0);
             EXPECT_EQ(s.settings.pauseBeforeVertexMs, 0);
         }},
        {"short and empty arguments",
         {"", "G", "?x", "XL"},
         [](const Session& s) {
             EXPECT_FALSE(s.settings.autorun);
             EXPECT_FALSE(s.settings.excel_out);
             EXPECT_FALSE(s.closeWasRequested);
         }},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        Session fresh;
        ScriptedAsker cancel;
        fresh.asker = &cancel;
        fresh.arguments = c.args;
        try {
            fresh.applyCommandLine();
        } catch (const FitError& e) {
            ADD_FAILURE() << e.message().toStdString();
        }
        c.check(fresh);
        EXPECT_FALSE(fresh.db.isOpen());
        EXPECT_EQ(cancel.databaseAsked, 1); // steps after the arguments ran
    }
}

TEST_F(CommandLine, FlagsAreClearedOnEveryActivationAndValuesKept) {
    ASSERT_TRUE(activate({"GO", "XL_OUT", "RS_a", "NX=9", "EF=CV(RMSE)"}).isEmpty());
    EXPECT_TRUE(s.settings.autorun);
    EXPECT_TRUE(s.settings.excel_out);
    ASSERT_TRUE(activate({"KR=2"}).isEmpty());
    EXPECT_FALSE(s.settings.autorun);
    EXPECT_FALSE(s.settings.excel_out);
    EXPECT_EQ(s.settings.result_file, "RS_a");
    EXPECT_EQ(s.settings.max_call, 9);
    EXPECT_EQ(s.settings.criterion, 3);
    EXPECT_EQ(asker.databaseAsked, 2); // no connection: asked on each activation
}

TEST_F(CommandLine, ResultTableIsMatchedIgnoringCase) {
    ASSERT_TRUE(activate({"DB=" + dbPath, "RT=RESULTS"}).isEmpty());
    EXPECT_EQ(s.settings.tname, "Results");
    EXPECT_TRUE(s.form.button3Enabled);
    ASSERT_TRUE(activate({"DB=" + dbPath, "RT=no_such_table"}).isEmpty());
    EXPECT_EQ(s.form.table_LIST.index, -1);
    EXPECT_TRUE(s.settings.tname.isEmpty());
}

TEST_F(CommandLine, ColumnNotInTheListLeavesNoSelection) {
    ASSERT_TRUE(activate({"DB=" + dbPath, "RT=Results", "CD=1=1", "OB=OBS", "MO=nope"}).isEmpty());
    EXPECT_EQ(s.form.obs_fld.selected(), "OBS");
    EXPECT_EQ(s.form.mod_fld.index, -1);
    EXPECT_TRUE(s.form.mod_fld.selected().isEmpty());
}

TEST_F(CommandLine, ColumnKeysBeforeTheResultTableFindNothing) {
    // The lists are filled by opening the result table, so OB= must come after CD=.
    ASSERT_TRUE(activate({"DB=" + dbPath, "RT=Results", "OB=OBS", "CD=1=1"}).isEmpty());
    EXPECT_EQ(s.form.obs_fld.index, -1);
    EXPECT_EQ(s.form.obs_fld.items.size(), 5);
}

TEST_F(CommandLine, BareDatabaseNameGivesEmptyWorkpath) {
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const QString err = activate({"DB=calib.sqlite"});
    QDir::setCurrent(old);
    ASSERT_TRUE(err.isEmpty()) << err.toStdString();
    EXPECT_TRUE(s.db.isOpen());
    EXPECT_EQ(s.settings.db_f_name, "calib.sqlite");
    EXPECT_TRUE(s.settings.workpath.isEmpty());
}

TEST(CommandLineKeys, ErrorSkipsTheRestOfTheLineAndTheLaterSteps) {
    struct ErrCase {
        const char* name;
        QStringList args;
        const char* messagePart;
    };
    const std::vector<ErrCase> cases = {
        {"NX= not an integer", {"NX=12x", "KR=7", "XL_OUT", "GO"}, "12x"},
        {"NX= empty", {"NX=", "KR=7", "GO"}, "not a valid integer"},
        {"CD= before any database", {"CD=1=1", "KR=7", "GO"}, ""},
        {"PR= negative", {"PR=-1", "KR=7", "GO"}, "PR="},
        {"PV= not a number", {"PV=fast", "KR=7", "GO"}, "fast"},
        {"TO= negative", {"TO=-1", "KR=7", "GO"}, "TO= needs a number of seconds"},
        {"RR= not a count", {"RR=x", "KR=7", "GO"}, "RR="},
        {"DB= missing file",
         {"DB=/nonexistent/dir/x.sqlite", "KR=7", "GO"},
         "/nonexistent/dir/x.sqlite"},
    };
    for (const ErrCase& c : cases) {
        SCOPED_TRACE(c.name);
        Session fresh;
        ScriptedAsker a;
        fresh.asker = &a;
        fresh.arguments = c.args;
        try {
            fresh.applyCommandLine();
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.messagePart)))
                << e.message().toStdString();
            // The message names the argument to correct.
            EXPECT_TRUE(e.message().startsWith(c.args.first() + ": ")) << e.message().toStdString();
        }
        EXPECT_EQ(fresh.settings.tolerance, "0.0001");
        EXPECT_FALSE(fresh.settings.excel_out);
        EXPECT_FALSE(fresh.settings.autorun);
        EXPECT_EQ(fresh.settings.max_call, 50);
        EXPECT_EQ(a.databaseAsked, 0); // steps 3 to 5 were not carried out
    }
    EXPECT_FALSE(QFile::exists("/nonexistent/dir/x.sqlite"));
}

TEST_F(CommandLine, HelpKeyShowsTheTextClosesAndStops) {
    ASSERT_TRUE(activate({"DB=" + dbPath, "?", "KR=9", "GO"}).isEmpty());
    EXPECT_TRUE(s.db.isOpen()); // the database before "?" was opened
    EXPECT_EQ(asker.helpShown, 1);
    EXPECT_EQ(asker.helpText,
              "CD=<condition> RT=<res.tab.> DB=<database> OB=<observ.> MO=<model> EF=<error fct> "
              "IX=<index> OV=<variance> KR=<criterium> NX=<max N> RS_...<output file> XL_OUT GO");
    EXPECT_EQ(asker.helpCaption, " batch parameters:");
    EXPECT_FALSE(asker.helpText.contains("RF="));
    EXPECT_TRUE(s.closeWasRequested);
    EXPECT_EQ(s.settings.tolerance, "0.0001");
    EXPECT_FALSE(s.settings.autorun);
}

TEST(CommandLineKeys, HelpKeyAloneOpensNothing) {
    Session fresh;
    ScriptedAsker a;
    fresh.asker = &a;
    QSignalSpy closed(&fresh, &Session::closeRequested);
    fresh.arguments = {"?"};
    fresh.applyCommandLine();
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(a.helpShown, 1);
    EXPECT_EQ(a.databaseAsked, 0);
    EXPECT_FALSE(fresh.db.isOpen());
}

TEST_F(CommandLine, DatabaseDialogWhenNoneIsOpen) {
    asker.databaseAnswer = dbPath;
    ASSERT_TRUE(activate({"KR=3"}).isEmpty());
    EXPECT_EQ(asker.databaseAsked, 1);
    EXPECT_TRUE(s.db.isOpen());
    EXPECT_TRUE(s.settings.workpath.isEmpty()); // only DB= sets it
    // Open now: the next activation does not ask again.
    ASSERT_TRUE(activate({}).isEmpty());
    EXPECT_EQ(asker.databaseAsked, 1);
}

TEST(CommandLineKeys, WithoutAnyoneToAskAMissingDatabaseIsAnError) {
    HeadlessAsker headless;
    for (Asker* a : {static_cast<Asker*>(nullptr), static_cast<Asker*>(&headless)}) {
        Session fresh;
        fresh.asker = a;
        fresh.arguments = {"GO"};
        try {
            fresh.applyCommandLine();
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_EQ(e.message(), "No database is open: give one with DB=<file>.");
        }
        EXPECT_TRUE(fresh.settings.autorun);
    }
}

TEST_F(CommandLine, NothingIsAppliedWhileAnOperationRuns) {
    s.arguments = {"KR=9", "NX=3", "GO"};
    {
        Session::BusyScope busy(s);
        s.applyCommandLine();
        EXPECT_EQ(s.settings.tolerance, "0.0001");
        EXPECT_EQ(s.settings.max_call, 50);
        EXPECT_FALSE(s.settings.autorun);
        EXPECT_EQ(asker.databaseAsked, 0);
    }
    ASSERT_TRUE(activate({"KR=9"}).isEmpty());
    EXPECT_EQ(s.settings.tolerance, "9");
}

// A batch line whose run file is missing cannot run the model: it fails before
// the calibration touches anything, so the values of the last one stay.
TEST_F(CommandLine, BatchLineWithoutARunFileFailsBeforeTheCalibration) {
    ASSERT_TRUE(activate({"DB=" + dbPath}).isEmpty()); // creates PARM_INT
    execSql(dbPath, "insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, "
                    "SELECTION) values ('model_par', 'A', 0.1, 1, 0.5, 0.1, 0.75, 'ID=1')");
    const QStringList tail = {"DB=" + dbPath, "RT=Results", "CD=1=1", "OB=OBS",
                              "MO=SIM",       "PR=0",       "PV=0",   "GO"};
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
        EXPECT_FALSE(s.db.hasTable("model_par_bop")); // nothing was backed up
    }
}

TEST(BatchLine, GoAnywhereMakesABatchLine) {
    EXPECT_TRUE(isBatchLine({"NX=x", "GO"}));
    EXPECT_TRUE(isBatchLine({"GO", "DB=a"}));
    EXPECT_FALSE(isBatchLine({"go", "RS_GO", "XGO"}));
    EXPECT_TRUE(holdsHelpKey({"DB=x", "?"}));
    EXPECT_FALSE(holdsHelpKey({"??", "-?"}));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
