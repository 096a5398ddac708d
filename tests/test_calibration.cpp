// Calibration end to end on real SQLite files with the stand-in model: the
// write-back, the objective function, backup and restore, and the optimisation run.
#include "app/session.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "paramdb/parm_int_check.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <stdexcept>

// Readable failure messages for texts and lists of texts.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

// Model tables crop (four rows, three of them wheat) and soil, and a result table
// whose observations follow obs = 2 x + 1.
const char* kBaseSql = R"(
CREATE TABLE PARM_INT (ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), PNAME CHAR(10),
  MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50),
  ALIAS CHAR(15), ERROR DOUBLE);
CREATE TABLE crop (ID INTEGER, NAME TEXT, A DOUBLE, B DOUBLE);
INSERT INTO crop VALUES (1,'wheat',0,0),(2,'wheat',0,0),(3,'wheat',0,0),(4,'maize',0,0);
CREATE TABLE soil (ID INTEGER, K DOUBLE);
INSERT INTO soil VALUES (1,0),(2,0);
CREATE TABLE results (ID INTEGER PRIMARY KEY, grp INTEGER, x DOUBLE, obs DOUBLE, sim DOUBLE,
  var DOUBLE);
INSERT INTO results VALUES (1,1,1,3,0,1),(2,1,2,5,0,1),(3,2,3,7,0,1),(4,2,4,9,0,1),
  (5,3,5,11,0,1),(6,3,6,13,0,1);
)";

// The two calibrated parameters: slope A of the wheat rows, intercept K of soil 1
// (FNAME and PNAME padded as fixed-width columns hold them).
const char* kTwoParams = R"(
INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,AVAL,SELECTION,ALIAS)
  VALUES ('crop','A',0,5,1,0.5,NULL,'NAME=''wheat''','slope');
INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,AVAL,SELECTION,ALIAS)
  VALUES ('soil        ','  K  ',-5,5,0,0.5,NULL,'ID=1','intercept');
)";

const QString kLinearModel = "UPDATE results SET sim = (SELECT A FROM crop WHERE ID=1) * x + "
                             "(SELECT K FROM soil WHERE ID=1)";

class TestAsker : public Asker {
  public:
    bool accept = false;
    int shown = 0;
    std::function<void(Session&)> whenShown; // looks at what the dialog offers
    bool chooseDatabase(QString&) override { return false; }
    bool chooseRunFile(QString&) override { return false; }
    void showResultDialog(Session& s) override {
        ++shown;
        if (whenShown)
            whenShown(s);
        if (accept)
            s.acceptResult();
    }
    void showHelp(const QString&, const QString&) override {}
    void editTextFile(const QString&) override {}
};

class Calibration : public fixture::WorkDirTest {
  protected:
    // A database from the base tables plus `extraSql`, and a session on it whose
    // model runs the given statements with the given behaviour.
    void open(Session& s, const QString& extraSql, const QStringList& modelSql,
              const QString& behave = "complete", const QString& condition = "1=1",
              const QStringList& extraArgs = {}) {
        dbPath = fixture::makeDb(tmp.path(), QString(kBaseSql) + extraSql);
        QFile::remove(touchFile);
        QStringList args = {"--db", dbPath, "--behave", behave, "--touch", touchFile};
        args << extraArgs;
        for (const QString& sql : modelSql)
            args << "--sql" << sql;
        const QString script = fixture::writeRunScript(tmp.path(), args);
        fixture::ResultRoles roles;
        roles.table = "results";
        roles.obs = "obs";
        roles.mod = "sim";
        roles.idx = "grp";
        roles.var = "var";
        roles.condition = condition;
        fixture::setupSession(s, dbPath, script, roles);
    }

    QString cropState() const {
        return text("select group_concat(ID||':'||NAME||':'||A||':'||B, ' ') from "
                    "(select * from crop order by ID)");
    }
};

// ------------------------------------------------------------------ write-back

TEST_F(Calibration, WriteBackPutsEachValueIntoTheRowsItsSelectionNames) {
    Session s;
    open(s, R"(
      INSERT INTO PARM_INT (FNAME,PNAME,AVAL,SELECTION) VALUES ('crop','A',1.5,'NAME=''wheat''');
      INSERT INTO PARM_INT (FNAME,PNAME,AVAL,SELECTION) VALUES ('crop','A',7,'ID=4');
      INSERT INTO PARM_INT (FNAME,PNAME,AVAL,SELECTION) VALUES ('crop  ',' B  ',2.25,'');
      INSERT INTO PARM_INT (FNAME,PNAME,AVAL,SELECTION) VALUES ('soil','K',3,'ID=99');
    )",
         {});
    QFile marker("wait_now.dvk");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();

    s.writeParameters();
    // Three wheat rows get 1.5, the maize row its own record's 7, every row B = 2.25,
    // and a selection without a match writes nothing and is no error.
    const QString expected = "1:wheat:1.5:2.25 2:wheat:1.5:2.25 3:wheat:1.5:2.25 4:maize:7.0:2.25";
    EXPECT_EQ(cropState(), expected);
    EXPECT_EQ(text("select group_concat(K) from soil"), "0.0,0.0");
    EXPECT_FALSE(QFile::exists("wait_now.dvk"));

    // Unchanged AVAL: a second write-back changes nothing.
    s.writeParameters();
    EXPECT_EQ(cropState(), expected);

    // Two records on one cell: the later one in table order wins.
    fixture::execSql(dbPath, "INSERT INTO PARM_INT (FNAME,PNAME,AVAL,SELECTION) VALUES "
                             "('crop','A',9,'ID=2')");
    s.writeParameters();
    EXPECT_EQ(num("select A from crop where ID=2"), 9);
    EXPECT_EQ(num("select A from crop where ID=1"), 1.5);

    // An empty AVAL empties the target.
    fixture::execSql(dbPath, "UPDATE PARM_INT SET AVAL=NULL WHERE ITEM_IX=3");
    s.writeParameters();
    EXPECT_EQ(text("select count(*) from crop where B is null"), "4");
}

TEST_F(Calibration, FailingWriteBackNamesTheRecordAndWritesNothing) {
    Session s;
    open(s, R"(
      INSERT INTO PARM_INT (FNAME,PNAME,AVAL,SELECTION) VALUES ('crop','A',4,'');
      INSERT INTO PARM_INT (FNAME,PNAME,AVAL,SELECTION) VALUES ('crop','NOPE',1,'');
    )",
         {});
    try {
        s.writeParameters();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("parameter 2")) << e.message().toStdString();
        EXPECT_TRUE(e.message().contains("NOPE")) << e.message().toStdString();
    }
    EXPECT_EQ(num("select sum(A) from crop"), 0); // record 1 rolled back too
}

// ------------------------------------------------------------------ objective

TEST_F(Calibration, ObjectiveClipsTheVectorUpperBoundFirst) {
    Session s;
    open(s, R"(
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,SELECTION) VALUES ('crop','A',0,5,'ID=99');
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,SELECTION) VALUES ('crop','A',0,5,'ID=99');
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,SELECTION) VALUES ('crop','A',0,5,'ID=99');
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,SELECTION) VALUES ('crop','A',3,1,'ID=99');
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,SELECTION) VALUES ('crop','A',3,1,'ID=99');
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,SELECTION) VALUES ('crop','A',NULL,NULL,'ID=99');
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,SELECTION) VALUES ('crop','A',NULL,2,'ID=99');
    )",
         {});
    const std::vector<std::pair<double, double>> cases = {
        {7, 5},             // above the maximum
        {-1, 0},            // below the minimum
        {2.5, 2.5}, {2, 3}, // minimum above maximum: the minimum wins
        {0, 3},     {4, 0}, // empty bounds read as 0
        {-4, 0},
    };
    ParameterVector v(cases.size() + 1, 0.0);
    for (std::size_t i = 0; i < cases.size(); ++i)
        v[i + 1] = cases[i].first;
    s.evaluateModel(v, 1);
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(num(QString("select AVAL from PARM_INT where ITEM_IX=%1").arg(i + 1)),
                  cases[i].second)
            << "record " << i + 1;

    // A vector shorter than PARM_INT is refused before anything is run.
    EXPECT_THROW(s.evaluateModel(ParameterVector(3, 0.0), 1), FitError);
    EXPECT_EQ(modelRuns(), 1);
}

TEST_F(Calibration, ObjectiveCriteriaOverGroupsAndConditions) {
    // Errors 1,1 | 0,2 | 0,0 in the groups 1 | 2 | 3 (observations 3,5 | 7,9 | 11,13).
    const QString model =
        "UPDATE results SET sim = CASE ID WHEN 1 THEN 4 WHEN 2 THEN 6 WHEN 3 THEN 7 "
        "WHEN 4 THEN 11 ELSE obs END WHERE sim = -99";
    const double r2 = std::sqrt(2.0);
    const struct {
        const char* condition;
        int criterion;
        double expected;
    } cases[] = {
        {"1=1", 1, 1.0},                  // sqrt(6 / 6)
        {"1=1", 2, 1.0 / 2 + r2 / 2 + 0}, // per-group RMSE / range, summed
        {"1=1", 3, 1.0 / 4 + r2 / 8 + 0}, // per-group RMSE / mean, summed
        {"grp=1", 1, 1.0},
        {"grp=2", 2, r2 / 2},
        {"grp=1 OR grp=2", 1, std::sqrt(6.0 / 4)},
        // No rows: a criterion over nothing is no result (not a perfect fit).
        {"grp=9", 1, -1},
        {"grp=9", 2, -1},
        {"grp=9", 3, -1},
    };
    for (const auto& tc : cases) {
        Session s;
        open(s, kTwoParams, {model}, "complete", tc.condition);
        s.settings().criterion = tc.criterion;
        s.operationProgress().setEvaluations(4);
        bool complete = tc.expected >= 0;
        const double e = s.evaluateModel({0, 1, 0}, 1, &complete);
        if (tc.expected < 0) {
            EXPECT_FALSE(complete) << tc.condition << " " << tc.criterion;
            continue;
        }
        EXPECT_TRUE(complete) << tc.condition << " " << tc.criterion;
        EXPECT_NEAR(e, tc.expected, 1e-12) << tc.condition << " " << tc.criterion;
        ASSERT_EQ(s.chartSeries().size(), 1);
        EXPECT_EQ(s.chartSeries()[0], QPointF(4, e));
        EXPECT_EQ(s.operationProgress().evaluations(), 5);
        EXPECT_TRUE(
            s.logList().lines().isEmpty()); // an OR condition does not fake an incomplete run
    }
}

TEST_F(Calibration, ObjectiveWritesParametersAndRunsTheModel) {
    Session s;
    open(s, kTwoParams, {kLinearModel});
    const double e = s.evaluateModel({0, 2, 1}, 1);
    EXPECT_NEAR(e, 0, 1e-12); // exactly the observations' line
    EXPECT_EQ(cropState(), "1:wheat:2.0:0.0 2:wheat:2.0:0.0 3:wheat:2.0:0.0 4:maize:0.0:0.0");
    EXPECT_EQ(num("select K from soil where ID=1"), 1);
    EXPECT_EQ(num("select AVAL from PARM_INT where ITEM_IX=2"), 1);

    // RMSE of sim = x against obs = 2x + 1 over x = 1..6.
    const double e2 = s.evaluateModel({0, 1, 0}, 1);
    EXPECT_NEAR(e2, std::sqrt((4 + 9 + 16 + 25 + 36 + 49) / 6.0), 1e-12);
    EXPECT_EQ(s.operationProgress().evaluations(), 2);
    EXPECT_EQ(modelRuns(), 2);
}

TEST_F(Calibration, ObjectiveModeZeroOnlyRunsTheModel) {
    Session s;
    open(s, kTwoParams, {}, "leave"); // would be incomplete, but mode 0 does not look
    s.operationProgress().setEvaluations(3);
    EXPECT_EQ(s.evaluateModel({0, 4, 2}, 0), 0);
    EXPECT_EQ(modelRuns(), 1);
    EXPECT_EQ(s.operationProgress().evaluations(), 3);
    EXPECT_TRUE(s.chartSeries().isEmpty());
    EXPECT_TRUE(s.logList().lines().isEmpty());
    EXPECT_EQ(num("select A from crop where ID=3"), 4);
}

TEST_F(Calibration, ObjectiveReportsAnIncompleteRun) {
    // A row left at -99 (also one an OR condition would hide without parentheses),
    // a model that aborts (SIGABRT) and one that exits with an error writing
    // nothing. After the line, how the run ended when a signal ended it, and the
    // last lines of the model's output.
    const QString output = "  the model's last output (" + tmp.filePath("model.log") + "):";
    const struct {
        const char* behave;
        const char* condition;
        QStringList more;
    } cases[] = {
        {"leave", "1=1", {}},
        {"leave", "grp=3 OR grp=1", {}},
        {"crash", "1=1", {"  model run ended: killed by signal 6 (SIGABRT)"}},
        {"fail", "1=1", {output, "  | standin_model: failing as asked"}},
    };
    for (const auto& tc : cases) {
        const std::string what = std::string(tc.behave) + " " + tc.condition;
        Session s;
        open(s, kTwoParams, {kLinearModel}, tc.behave, tc.condition);
        bool complete = true;
        EXPECT_EQ(s.evaluateModel({0, 2, 1}, 1, &complete), 0) << what;
        EXPECT_FALSE(complete) << what;
        EXPECT_EQ(s.logList().lines(), QStringList{"Model run incomplete !"} + tc.more) << what;
        EXPECT_TRUE(s.chartSeries().isEmpty()) << what;
        EXPECT_EQ(s.operationProgress().evaluations(), 0) << what;
        EXPECT_TRUE(s.database().isOpen()) << what; // reconnected after the run
        EXPECT_EQ(num("select A from crop where ID=1"), 2) << what;
    }
}

TEST_F(Calibration, GroupedCriterionRefusesToDivideByZero) {
    // Group 3's observations are all equal (no range for NRMSE) in one case and
    // average 0 (no mean for CV(RMSE)) in the other. Dividing by zero must not
    // turn that group into a perfect fit.
    const struct {
        int criterion;
        const char* obsOfGroup3;
        const char* message;
    } cases[] = {{2, "5, 5", "are all equal"}, {3, "-4, 4", "average 0"}};
    for (const auto& tc : cases) {
        Session s;
        open(s, kTwoParams, {"UPDATE results SET sim = obs + 1"});
        const QStringList obs = QString(tc.obsOfGroup3).split(',');
        fixture::execSql(dbPath, QString("UPDATE results SET obs = %1 WHERE ID = 5; "
                                         "UPDATE results SET obs = %2 WHERE ID = 6")
                                     .arg(obs[0], obs[1]));
        s.settings().criterion = tc.criterion;
        try {
            s.evaluateModel({0, 1, 0}, 1);
            ADD_FAILURE() << "no error for criterion " << tc.criterion;
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains(tc.message)) << e.message().toStdString();
            EXPECT_TRUE(e.message().contains("grp")) << e.message().toStdString();
        }
        EXPECT_TRUE(s.chartSeries().isEmpty());
    }

    // A group whose observed values are all missing still reads as 0, as before.
    Session s;
    open(s, kTwoParams, {"UPDATE results SET sim = coalesce(obs, 0) + 1"});
    fixture::execSql(dbPath, "UPDATE results SET obs = NULL WHERE grp = 3");
    s.settings().criterion = 2;
    EXPECT_NEAR(s.evaluateModel({0, 1, 0}, 1), 1.0 / 2 + 1.0 / 2, 1e-12);
}

TEST_F(Calibration, ObjectiveDoesNotJoinAModelRunStillUnderWay) {
    // While "check model run" waits for the model, events are served: a
    // calibration started then must not write parameters or run a second model
    // beside it.
    Session s;
    open(s, kTwoParams, {kLinearModel}, "slow", "1=1", {"--sleep", "600"});
    bool tried = false;
    QTimer::singleShot(100, &s, [&] {
        tried = true;
        ASSERT_TRUE(s.modelProcess().working());
        try {
            s.evaluateModel({0, 3, 1}, 1);
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains("still running")) << e.message().toStdString();
        }
        EXPECT_THROW(s.startOptimization(), FitError);
        EXPECT_EQ(text("select count(*) from sqlite_master where name = 'crop_bop'"), "0");
    });
    s.checkModelRun();
    EXPECT_TRUE(tried);
    EXPECT_FALSE(s.modelProcess().working());
    EXPECT_EQ(num("select sum(A) from crop"), 0);
    EXPECT_EQ(modelRuns(), 1);
    // Once it has ended, evaluations run as usual.
    EXPECT_NEAR(s.evaluateModel({0, 2, 1}, 1), 0, 1e-12);
}

TEST_F(Calibration, WorkDuringTheModelRunFailsCleanlyAndLeavesTheEvaluationIntact) {
    // While the model runs the connection is closed and events are processed:
    // what an event handler starts then must fail with an error, not crash, and
    // must not change the evaluation in progress.
    Session s;
    open(s, kTwoParams, {kLinearModel}, "slow", "1=1", {"--sleep", "300"});
    QStringList errors;
    bool armed = true;
    QObject::connect(&s, &Session::connectionChanged, [&](bool open) {
        if (open || !armed)
            return;
        armed = false;
        // Served by the wait for the model, which sleeps long enough for it.
        QTimer::singleShot(0, &s, [&] {
            const std::vector<std::pair<const char*, std::function<void()>>> actions = {
                {"evaluateModel",
                 [&] {
                     s.evaluateModel({0, 5, 5}, 1);
                 }},
                {"writeParameters", [&] { s.writeParameters(); }},
                {"afterParmIntOpened", [&] { s.afterParmIntOpened(); }},
                {"onOpenResultTable", [&] { s.setup().openResultTable(); }},
                {"backup", [&] { s.operations().backup(); }},
            };
            for (const auto& [name, action] : actions) {
                try {
                    action();
                } catch (const FitError&) {
                    errors << name;
                }
            }
            EXPECT_FALSE(s.database().isOpen()); // nothing reopened it under the model
        });
    });
    const double e = s.evaluateModel({0, 2, 1}, 1);
    EXPECT_EQ(errors, (QStringList{"evaluateModel", "writeParameters", "afterParmIntOpened",
                                   "onOpenResultTable", "backup"}));
    EXPECT_NEAR(e, 0, 1e-12); // the columns chosen when the evaluation began
    EXPECT_EQ(modelRuns(), 1);
    EXPECT_EQ(num("select A from crop where ID=1"), 2);
    EXPECT_TRUE(s.database().isOpen());
}

TEST_F(Calibration, ObjectiveStopsWhenTheModelCannotStart) {
    Session s;
    open(s, kTwoParams, {kLinearModel});
    const QString script = s.settings().runFile;
    QFile::remove(script);
    try {
        s.evaluateModel({0, 2, 1}, 1);
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains(script)) << e.message().toStdString();
    }
    EXPECT_TRUE(s.database().isOpen()); // reconnected, so the caller can still restore
}

// ------------------------------------------------------------------ backup and restore

TEST_F(Calibration, BackupAndRestoreGiveBackTheTablesExactly) {
    Session s;
    // crop three times: padded, and in another case (table names ignore case).
    open(s,
         QString(kTwoParams) + "INSERT INTO PARM_INT (FNAME,PNAME,SELECTION) VALUES "
                               "('crop   ','B','ID=1'), ('Crop','B','ID=2');",
         {});
    const QString before = cropState();
    s.operations().backup();
    EXPECT_EQ(s.logList().lines(),
              (QStringList{"crop copied into crop_bop", "soil copied into soil_bop"}));
    EXPECT_TRUE(s.database().hasTable("crop_bop"));

    // A second backup replaces the first with a fresh copy.
    fixture::execSql(dbPath, "UPDATE crop SET B = 8 WHERE ID = 4");
    const QString changed = cropState();
    s.operations().backup();
    EXPECT_EQ(text("select B from crop_bop where ID=4"), "8.0");

    fixture::execSql(dbPath, "UPDATE crop SET A = 5; DELETE FROM crop WHERE ID=2; "
                             "INSERT INTO crop VALUES (9,'rye',1,1)");
    s.logList().clear();
    s.operations().restore();
    EXPECT_EQ(cropState(), changed);
    EXPECT_NE(changed, before);
    EXPECT_EQ(s.logList().lines(),
              (QStringList{"crop restored from crop_bop", "soil restored from soil_bop"}));
    // The declared columns survive the round trip, the backup stays.
    EXPECT_EQ(s.database().columns("crop"), (QStringList{"ID", "NAME", "A", "B"}));
    EXPECT_TRUE(s.database().hasTable("crop_bop"));
}

TEST_F(Calibration, FailedRestoreCopyKeepsTheModelTableAndRestoresTheOthers) {
    Session s;
    open(s, kTwoParams, {});
    s.operations().backup();
    fixture::execSql(dbPath, "UPDATE crop SET A = 3; UPDATE soil SET K = 4; DROP TABLE crop_bop");
    const QString current = cropState();
    s.logList().clear();
    try {
        s.operations().restore();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("crop_bop")) << e.message().toStdString();
    }
    EXPECT_EQ(cropState(), current);
    // The table after the failing one does not stay at the trial values.
    EXPECT_EQ(num("select sum(K) from soil"), 0);
    EXPECT_EQ(s.logList().lines(), QStringList{"soil restored from soil_bop"});
}

TEST_F(Calibration, RestoreKeepsTheIndexesAndTriggersOfTheModelTable) {
    Session s;
    open(s, QString(kTwoParams) + R"(
      CREATE UNIQUE INDEX soil_id ON soil(ID);
      CREATE INDEX crop_name ON crop(NAME);
      CREATE TABLE audit (n INTEGER);
      CREATE TRIGGER crop_audit AFTER UPDATE ON crop BEGIN INSERT INTO audit VALUES (1); END;
    )",
         {});
    auto schema = [&] {
        return text("select group_concat(name, ' ') from (select name from sqlite_master "
                    "where type in ('index','trigger') order by name)");
    };
    const QString before = schema();
    ASSERT_EQ(before, "crop_audit crop_name soil_id");
    s.operations().backup();
    s.operations().backup(); // a second backup neither fails on nor copies them
    fixture::execSql(dbPath, "UPDATE crop SET A = 1; UPDATE soil SET K = 2");
    s.operations().restore();
    EXPECT_EQ(schema(), before);
    EXPECT_EQ(num("select sum(A) from crop"), 0);
    EXPECT_EQ(num("select count(*) from sqlite_master where name like '%bop' and type='index'"), 0);
    // The unique index still guards the table, the trigger still fires.
    EXPECT_THROW(s.database().exec("INSERT INTO soil VALUES (1, 9)"), FitError);
    const double audited = num("select count(*) from audit");
    s.database().exec("UPDATE crop SET B = 1 WHERE ID = 1");
    EXPECT_EQ(num("select count(*) from audit"), audited + 1);
}

TEST_F(Calibration, EmptyParameterTableIsRefusedAtOnce) {
    Session s;
    open(s, "", {kLinearModel});
    EXPECT_THROW(s.operations().backup(), FitError);
    try {
        s.startOptimization();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("PARM_INT holds no parameters"));
    }
    EXPECT_EQ(modelRuns(), 0);
    EXPECT_FALSE(s.database().hasTable("crop_bop"));
}

// ------------------------------------------------------------------ the optimisation run

QStringList protocolLines(bool* crlf) {
    QFile f("Opti_Result.TXT");
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = f.readAll();
    *crlf = data.endsWith("\r\n") && data.count('\n') == data.count("\r\n");
    QStringList lines = QString::fromLatin1(data).split("\r\n");
    lines.removeLast();
    return lines;
}

TEST_F(Calibration, RunWithoutBudgetStoresTheCentroidOfTheInitialSimplex) {
    Session s;
    TestAsker asker;
    s.setAsker(&asker);
    open(s, kTwoParams, {kLinearModel});
    s.settings().maxEvaluations = 0; // the initial simplex only (the field takes 1 or more)
    double offered1 = 0, offered2 = 0;
    asker.whenShown = [&](Session&) {
        offered1 = num("select AVAL from PARM_INT where ITEM_IX=1");
        offered2 = num("select AVAL from PARM_INT where ITEM_IX=2");
    };
    s.startOptimization();

    EXPECT_EQ(modelRuns(), 3);
    EXPECT_EQ(asker.shown, 1);
    EXPECT_FALSE(s.resultAccepted());
    // Vertices (1,0), (1.5,0), (1,0.5); the result offered is their centroid.
    EXPECT_DOUBLE_EQ(offered1, 3.5 / 3);
    EXPECT_DOUBLE_EQ(offered2, 0.5 / 3);
    // Declined: PARM_INT is as before the run (AVAL empty).
    EXPECT_EQ(text("select count(*) from PARM_INT where AVAL is null"), "2");

    auto rmse = [](double a, double k) {
        double sum = 0;
        for (int x = 1; x <= 6; ++x)
            sum += std::pow(2.0 * x + 1 - (a * x + k), 2);
        return std::sqrt(sum / 6);
    };
    bool crlf = false;
    const QStringList expected = {
        "Iteration 0",
        "1    0    ",
        "    1.5    0    ",
        "    1    0.5    ",
        "    " + formatGeneral(rmse(1, 0)) + "    " + formatGeneral(rmse(1.5, 0)) + "    " +
            formatGeneral(rmse(1, 0.5)) + "    ",
        " exit AMOEBA - too many iterations",
        "Optimisation finishes - results are stored as AVAL",
    };
    EXPECT_EQ(protocolLines(&crlf), expected);
    EXPECT_TRUE(crlf);
    // Declined: the model's tables are back at their state before the run.
    EXPECT_EQ(cropState(), "1:wheat:0.0:0.0 2:wheat:0.0:0.0 3:wheat:0.0:0.0 4:maize:0.0:0.0");
    EXPECT_EQ(s.chartSeries().size(), 3);
}

TEST_F(Calibration, ResultStaysWithinTheBounds) {
    // IVAL at the upper bound with a positive step: the displaced vertex lies
    // beyond the bound (its run used the bound), and the centroid of the simplex
    // would too. The stored result is held to the bounds like every value the
    // model has been given; inside them the centroid is kept as it is.
    Session s;
    TestAsker asker;
    asker.accept = true;
    s.setAsker(&asker);
    open(s, R"(
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION)
        VALUES ('crop','A',0,5,5,0.5,'NAME=''wheat''');
      INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION)
        VALUES ('soil','K',-5,5,-5,-3,'ID=1');
    )",
         {kLinearModel});
    s.settings().maxEvaluations = 0; // the initial simplex only (the field takes 1 or more)
    s.startOptimization();
    EXPECT_EQ(num("select AVAL from PARM_INT where ITEM_IX=1"), 5);
    EXPECT_EQ(num("select AVAL from PARM_INT where ITEM_IX=2"), -5);
    EXPECT_EQ(num("select max(A) from crop"), 5);
    EXPECT_EQ(num("select K from soil where ID=1"), -5);
}

TEST_F(Calibration, AcceptedRunKeepsTheOptimisedValuesInTheModelTables) {
    Session s;
    TestAsker asker;
    asker.accept = true;
    s.setAsker(&asker);
    open(s, kTwoParams, {kLinearModel});
    s.setMaxEvaluationsText("60");
    s.startOptimization();

    EXPECT_TRUE(s.resultAccepted());
    const double a = num("select AVAL from PARM_INT where ITEM_IX=1");
    const double k = num("select AVAL from PARM_INT where ITEM_IX=2");
    EXPECT_NEAR(a, 2, 0.2);
    EXPECT_NEAR(k, 1, 0.6);
    EXPECT_EQ(num("select A from crop where ID=2"), a);
    EXPECT_EQ(num("select A from crop where ID=4"), 0);
    EXPECT_EQ(num("select K from soil where ID=1"), k);
    EXPECT_EQ(num("select sum(A) from crop_bop"), 0); // the backup is untouched
    // Every completed evaluation is a chart point; the protocol ends with the result line.
    EXPECT_EQ(s.chartSeries().size(), modelRuns());
    bool crlf = false;
    const QStringList lines = protocolLines(&crlf);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.first(), "Iteration 0");
    EXPECT_EQ(lines.last(), "Optimisation finishes - results are stored as AVAL");
    EXPECT_TRUE(lines.contains("step1") || lines.contains("step2"));
}

TEST_F(Calibration, IncompleteModelStopsTheRunAndRestoresTheTables) {
    Session s;
    open(s, kTwoParams, {kLinearModel}, "leave");
    try {
        s.startOptimization();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("incomplete")) << e.message().toStdString();
    }
    EXPECT_EQ(modelRuns(), 3);
    EXPECT_EQ(num("select sum(A) from crop"), 0);
    EXPECT_TRUE(s.logList().lines().contains("crop restored from crop_bop"));
    EXPECT_FALSE(QFile::exists("Opti_Result.TXT"));
}

TEST_F(Calibration, ErrorsDuringTheRunRestoreTheTables) {
    // A run file deleted after the second run (the model cannot start), and an
    // error of another kind, thrown by a listener of the progress.
    const struct {
        const char* name;
        int runs;
        const char* message;
    } cases[] = {{"run file deleted", 2, "run.sh"}, {"listener", 2, "listener failed"}};
    for (const auto& tc : cases) {
        const std::string which = tc.name;
        Session s;
        open(s, kTwoParams, {kLinearModel});
        QObject::connect(&s, &Session::progress, [&](int done, int, double, qint64) {
            if (done == 2 && which == "run file deleted")
                QFile::remove(s.settings().runFile);
            if (done == 2 && which == "listener")
                throw std::runtime_error("listener failed");
        });
        try {
            s.startOptimization();
            ADD_FAILURE() << "no error: " << which;
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains(tc.message)) << e.message().toStdString();
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), tc.message) << which;
        }
        EXPECT_EQ(modelRuns(), tc.runs) << which;
        EXPECT_EQ(num("select sum(A) from crop"), 0) << which;
        EXPECT_EQ(num("select sum(K) from soil"), 0) << which;
        EXPECT_TRUE(s.logList().lines().contains("soil restored from soil_bop")) << which;
        EXPECT_FALSE(s.busy()) << which;
    }
}

TEST_F(Calibration, StopRequestEndsTheSearchAndTheRunFinishesAsUsual) {
    Session s;
    TestAsker asker;
    s.setAsker(&asker);
    open(s, kTwoParams, {kLinearModel});
    s.setMaxEvaluationsText("200");
    QObject::connect(&s, &Session::progress, [&](int done, int, double, qint64) {
        if (done == 6)
            s.requestStop();
    });
    s.startOptimization();
    EXPECT_EQ(modelRuns(), 6); // the run in progress completed, no further one began
    EXPECT_EQ(asker.shown, 1);
    bool crlf = false;
    const QStringList lines = protocolLines(&crlf);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[lines.size() - 2], "optimisation stopped by the user");
    EXPECT_EQ(lines.last(), "Optimisation finishes - results are stored as AVAL");
    EXPECT_EQ(num("select sum(A) from crop"), 0); // declined: restored
}

TEST_F(Calibration, StopInABatchRunWritesTheProtocolRestoresAndFails) {
    Session s;
    open(s, kTwoParams, {kLinearModel});
    s.batch().unattended = true;
    s.setMaxEvaluationsText("200");
    QObject::connect(&s, &Session::progress, [&](int done, int, double, qint64) {
        if (done == 5)
            s.requestStop();
    });
    try {
        s.startOptimization();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_EQ(e.message(), "The calibration was stopped before it finished; the model's "
                               "tables and PARM_INT were restored.");
    }
    EXPECT_EQ(modelRuns(), 5);
    EXPECT_TRUE(QFile::exists("Opti_Result.TXT"));
    EXPECT_EQ(num("select sum(A) from crop"), 0);
    EXPECT_FALSE(s.closeWasRequested());
}

// ------------------------------------------------------------------ what needs no model run

TEST_F(Calibration, ChecksBeforeTheBackupNameEveryProblemAndTouchNothing) {
    struct Case {
        const char* name;
        QString params;
        std::function<void(Session&)> settings; // after the set-up
        QStringList expected;                   // each in the message
    };
    const QString twoParams = kTwoParams;
    const std::vector<Case> cases = {
        {"every bad record at once",
         R"(INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION,ALIAS) VALUES
              ('crop','A',5,1,1,0.5,'ID=1','crossed'), ('crop','A',NULL,1,1,0.5,'ID=1','nomin'),
              ('crop','A',0,1,NULL,NULL,'ID=1','nostart'), ('crop','A',0,1,1,0,'ID=1','still'),
              ('crpo','A',0,1,1,0.5,'ID=1','table'), ('crop','Z',0,1,1,0.5,'ID=1','column'),
              ('crop','A',0,1,1,0.5,'NOPE=1','selection'), ('crop','A',0,1,1,0.5,'ID=1','fine');)",
         nullptr,
         {"The optimisation cannot start; nothing was backed up or run:",
          "Parameter 1 (crossed): MINIMUM 5 is above MAXIMUM 1.",
          "Parameter 2 (nomin): MINIMUM is empty.", "Parameter 3 (nostart): IVAL is empty.",
          "Parameter 3 (nostart): STEP is empty.",
          "Parameter 4 (still): STEP is 0: the search could never move this parameter.",
          "Parameter 5 (table): FNAME 'crpo' names no table of the database.",
          "Parameter 6 (column): PNAME 'Z' names no column of table crop.",
          "Parameter 7 (selection): SELECTION 'NOPE=1' cannot choose rows of table crop: no such "
          "column: NOPE"}},
        {"aliases shared in a batch run, whose analysis stores by alias",
         twoParams + "INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION,ALIAS) "
                     "VALUES ('crop','B',0,1,1,0.5,'ID=1','slope ');",
         [](Session& s) { s.batch().unattended = true; },
         {"Parameters 1, 3 share the ALIAS 'slope'"}},
        {"tolerance",
         twoParams,
         [](Session& s) { s.settings().tolerance = "abc"; },
         {"The convergence criterion: 'abc' is not a valid floating point value."}},
        {"tolerance from the command line",
         twoParams,
         [](Session& s) {
             s.settings().tolerance = "1e-4x";
             s.recordCommandLineValue("KR=", "1e-4x");
         },
         {"KR=1e-4x: '1e-4x' is not a valid floating point value."}},
        {"run file gone",
         twoParams,
         [](Session& s) { QFile::remove(s.settings().runFile); },
         {"run.sh\" does not exist."}},
        {"run file with CR LF line ends",
         twoParams,
         [](Session& s) {
             QFile f(s.settings().runFile);
             ASSERT_TRUE(f.open(QIODevice::ReadOnly));
             QByteArray text = f.readAll().replace("\n", "\r\n");
             f.close();
             ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
             f.write(text);
         },
         {"has Windows line ends (CR LF)", "sed -i"}},
        {"result table named by RT=",
         twoParams,
         [](Session& s) {
             s.settings().resultTable.clear();
             s.recordCommandLineValue("RT=", "resluts");
         },
         {"RT=resluts: the database has no table or view of that name."}},
        {"model column named by MO=",
         twoParams,
         [](Session& s) {
             s.setup().columnList(ColumnRole::Model).index = -1;
             s.recordCommandLineValue("MO=", "simm");
         },
         {"MO=simm: the result table results has no column of that name."}},
        {"observed column not given",
         twoParams,
         [](Session& s) { s.setup().columnList(ColumnRole::Observed).index = -1; },
         {"No observed column is chosen: give it with OB=<column>"}},
        {"index column of a grouped criterion",
         twoParams,
         [](Session& s) {
             s.setup().columnList(ColumnRole::Index).index = -1;
             s.settings().criterion = 2;
         },
         {"No index column is chosen: give it with IX=<column>"}},
        {"variance column named by OV= in a batch run",
         twoParams,
         [](Session& s) {
             s.batch().unattended = true;
             s.setup().columnList(ColumnRole::Variance).index = -1;
             s.recordCommandLineValue("OV=", "varr");
         },
         {"OV=varr: the result table results has no column of that name."}},
        {"condition",
         twoParams,
         [](Session& s) { s.settings().condition = "gpr=1"; },
         {"The filter condition \"gpr=1\": it cannot choose rows of results: no such column: gpr"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        open(s, c.params + "UPDATE PARM_INT SET AVAL = 0.5, ERROR = 0.25;", {kLinearModel});
        if (c.settings)
            c.settings(s);
        const QString before = cropState();
        try {
            s.startOptimization();
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            for (const QString& part : c.expected)
                EXPECT_TRUE(e.message().contains(part))
                    << "missing: " << part.toStdString() << "\nin: " << e.message().toStdString();
        }
        EXPECT_EQ(modelRuns(), 0);
        EXPECT_FALSE(s.database().hasTable("crop_bop"));
        EXPECT_FALSE(QFile::exists(dbPath + ".fitmara-run"));
        EXPECT_EQ(cropState(), before);
        EXPECT_EQ(text("select group_concat(AVAL || '/' || ERROR) from PARM_INT where ERROR = 0.25 "
                       "and AVAL = 0.5"),
                  text("select group_concat('0.5/0.25') from PARM_INT"));
    }

    // What may be intended is a warning: the run goes on.
    Session s;
    open(s, QString(kTwoParams).replace("'ID=1'", "'ID=99'"), {kLinearModel});
    s.checkBeforeRun("The optimisation", NeedsModelRun, NeedsIval | NeedsStep);
    EXPECT_TRUE(s.logList().lines().contains(
        "Warning: Parameter 2 (intercept): SELECTION 'ID=99' matches no row of table soil today, "
        "so its value is written nowhere."))
        << s.logList().lines().join('\n').toStdString();
}

TEST_F(Calibration, ModelOutputThatIsNoNumberOrIsGoneMakesTheRunIncomplete) {
    const struct {
        const char* behave;
        const char* detail; // the reason, and the log line after "Model run incomplete !"
    } cases[] = {
        {"leave", "of the 6 rows of results that the condition chose, 2 are still at -99 in sim "
                  "(rowid 1: -99; rowid 2: -99)"},
        {"null", "of the 6 rows of results that the condition chose, 2 hold no simulated value "
                 "in sim (rowid 1: NULL; rowid 2: NULL)"},
        {"nan", "2 hold no simulated value in sim (rowid 1: NULL; rowid 2: NULL)"},
        {"text", "(rowid 1: the text 'abc'; rowid 2: the text 'abc')"},
        {"inf", "(rowid 1: Infinity; rowid 2: Infinity)"},
        {"delete", "of the 6 rows of results that the condition chose, 2 are gone (deleted "
                   "during the run)"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.behave);
        Session s;
        open(s, kTwoParams, {kLinearModel}, tc.behave, "1=1", {"--leave", "2"});
        bool complete = true;
        EXPECT_EQ(s.evaluateModel({0, 2, 1}, 1, &complete), 0);
        EXPECT_FALSE(complete);
        EXPECT_TRUE(s.lastIncomplete().contains(tc.detail)) << s.lastIncomplete().toStdString();
        ASSERT_FALSE(s.logList().lines().isEmpty());
        EXPECT_EQ(s.logList().lines().first(), "Model run incomplete !");
        // Rows left at -99 are said by that line alone, as ever; the rest is explained.
        if (std::string(tc.behave) == "leave")
            EXPECT_EQ(s.logList().count(), 1);
        else
            EXPECT_EQ(s.logList().lines().value(1), "  " + s.lastIncomplete());
        EXPECT_TRUE(s.chartSeries().isEmpty());
    }

    // A model that never writes numbers ends the calibration with the reason,
    // instead of a result computed from the rows that remain.
    Session s;
    open(s, QString(kTwoParams) + "UPDATE PARM_INT SET AVAL = 0.5;", {kLinearModel}, "null", "1=1",
         {"--leave", "1"});
    try {
        s.startOptimization();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("None of the 3 model runs of the initial simplex "
                                         "completed"))
            << e.message().toStdString();
        EXPECT_TRUE(e.message().contains("(rowid 1: NULL)")) << e.message().toStdString();
    }
    EXPECT_EQ(modelRuns(), 3);
    EXPECT_EQ(num("select sum(A) from crop"), 0);
    EXPECT_EQ(text("select group_concat(AVAL) from PARM_INT"), "0.5,0.5");
}

TEST_F(Calibration, RunThatDoesNotCompleteKeepsTheStoredResults) {
    // AVAL, ERROR and r_2 of an earlier calibration and analysis.
    const QString stored = QString(kTwoParams) +
                           "ALTER TABLE PARM_INT ADD r_2 DOUBLE;"
                           "UPDATE PARM_INT SET AVAL = 1.25 * ITEM_IX, ERROR = 0.5, r_2 = 0.25;";
    const QString storedState = "1.25/0.5/0.25 2.5/0.5/0.25";
    auto state = [&] {
        return text("select group_concat(AVAL || '/' || ERROR || '/' || r_2, ' ') from "
                    "(select * from PARM_INT order by ITEM_IX)");
    };
    const struct {
        const char* name;
        bool batch;
        bool accept; // the result dialog's answer
        bool kept;   // the run's values stay
    } cases[] = {
        {"the model cannot start any more", false, false, false},
        {"stopped in a batch run", true, false, false},
        {"stopped in the window, declined", false, false, false},
        {"stopped in the window, kept by the person", false, true, true},
        {"the analysis of a batch run fails", true, false, false},
    };
    for (const auto& tc : cases) {
        const std::string which = tc.name;
        SCOPED_TRACE(which);
        Session s;
        TestAsker asker;
        asker.accept = tc.accept;
        s.setAsker(&asker);
        open(s, stored, {kLinearModel});
        s.batch().unattended = tc.batch;
        s.setMaxEvaluationsText("200");
        if (which == "the analysis of a batch run fails")
            s.settings().maxEvaluations = 0; // the initial simplex only: it ends at a bound
        QObject::connect(&s, &Session::progress, [&](int done, int, double, qint64) {
            if (done == 2 && which == "the model cannot start any more")
                QFile::remove(s.settings().runFile);
            if (done == 5 && which.rfind("stopped", 0) == 0)
                s.requestStop();
        });
        // The analysis after the search: its second model run cannot start.
        int starts = 0;
        QObject::connect(&s, &Session::connectionChanged, [&](bool open) {
            if (!open && ++starts == 4 && which == "the analysis of a batch run fails")
                QFile::remove(s.settings().runFile);
        });
        try {
            s.startOptimization();
            EXPECT_FALSE(tc.batch) << "a batch run that did not complete reported no error";
        } catch (const FitError&) {
        }
        if (tc.kept)
            EXPECT_NE(state(), storedState);
        else
            EXPECT_EQ(state(), storedState);
        EXPECT_FALSE(s.busy());
    }
}

// ------------------------------------------------------------------ run journal

TEST_F(Calibration, JournalHoldsOneRowPerModelRunWhateverItsEnd) {
    // Counted in model starts: the second crashes, the fourth hangs past the
    // timeout, the sixth leaves its rows at -99, the eighth fails and the ninth
    // leaves its rows again. Every failed run is tried once more (RR=1). Each
    // start prints 25 lines.
    Session s;
    open(s, kTwoParams, {kLinearModel}, "complete", "1=1",
         {"--print", "25", "--run-mode", "2=crash", "--run-mode", "4=hang", "--run-mode", "6=leave",
          "--run-mode", "8=fail", "--run-mode", "9=leave"});
    s.setMaxEvaluationsText("12");
    s.settings().runTimeoutS = 0.5;
    s.settings().retries = 1;
    s.startOptimization();
    const int runs = modelRuns();
    ASSERT_GE(runs, 12);

    EXPECT_EQ(num("select count(*) from FITMARA_RUNS"), runs);
    EXPECT_EQ(text("select KIND || ' ' || OUTCOME from FITMARA_OPERATIONS"),
              "calibration finished");
    const QString tries = "select group_concat(RUN || '.' || TRY || ' ' || PHASE || ' ' || "
                          "COMPLETE || ' ' || STATUS || ' (' || EXIT_STATUS || ')', '; ') from "
                          "(select * from FITMARA_RUNS order by ID limit 9)";
    EXPECT_EQ(text(tries).split("; "),
              (QStringList{
                  "1.1 initial simplex 1 complete (exit status 0)",
                  "2.1 initial simplex 0 model run ended: killed by signal 6 (SIGABRT) (killed "
                  "by signal 6 (SIGABRT))",
                  "2.2 initial simplex 1 complete (exit status 0)",
                  "3.1 initial simplex 0 model run timed out after 0.5 s (killed by signal 15 "
                  "(SIGTERM))",
                  "3.2 initial simplex 1 complete (exit status 0)",
                  "4.1 search 0 incomplete: result rows left at -99 (exit status 0)",
                  "4.2 search 1 complete (exit status 0)",
                  "5.1 search 0 incomplete: result rows left at -99 (exit status 3)",
                  "5.2 search 0 incomplete: result rows left at -99 (exit status 0)",
              }));
    // The criterion of a complete run is the one the search used; its vector
    // reads back exactly.
    EXPECT_EQ(text("select PARAMS from FITMARA_RUNS where ID=1"), "[1,0]");
    EXPECT_EQ(text("select PARAMS from FITMARA_RUNS where ID=2"), "[1.5,0]");
    EXPECT_DOUBLE_EQ(num("select CRITERION from FITMARA_RUNS where ID=1"), std::sqrt(139 / 6.0));
    EXPECT_EQ(num("select count(*) from FITMARA_RUNS where COMPLETE=0 and CRITERION is not null"),
              0);
    // The last 20 lines of the model's output of each run.
    const QString output = text("select OUTPUT from FITMARA_RUNS where ID=1");
    EXPECT_EQ(output.split('\n').size(), 20);
    EXPECT_TRUE(output.startsWith("err 6\nout 7")) << output.toStdString();
    EXPECT_TRUE(QFile::exists(tmp.filePath("model.log")));

    // Only the run that stayed incomplete is in the protocol: the message and
    // the model's last lines.
    bool crlf = false;
    const QStringList lines = protocolLines(&crlf);
    EXPECT_EQ(lines.count("Model run incomplete !"), 1);
    const int at = int(lines.indexOf("Model run incomplete !"));
    ASSERT_GE(at, 0) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.value(at + 1),
              QString("  the model's last output (%1):").arg(tmp.filePath("model.log")));
    EXPECT_EQ(lines.value(at + 2), "  | err 6");
    EXPECT_EQ(lines.value(at + 21), "  | out 25");
}

TEST_F(Calibration, StoppedRunIsJournaledAndTheOperationMarkedStopped) {
    // The fifth run hangs; the stop button pressed twice ends it.
    Session s;
    open(s, kTwoParams, {kLinearModel}, "complete", "1=1", {"--run-mode", "5=hang"});
    s.setMaxEvaluationsText("200");
    s.settings().retries = 3; // no retry after a stop
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (modelRuns() == 5 && s.modelProcess().working()) {
            s.requestStop();
            s.requestStop();
        }
    });
    poll.start(20);
    s.startOptimization();
    EXPECT_EQ(modelRuns(), 5);
    EXPECT_EQ(num("select count(*) from FITMARA_RUNS"), 5);
    EXPECT_EQ(text("select STATUS from FITMARA_RUNS where RUN=5"),
              "stopped: the model run was ended on request (killed by signal 15 (SIGTERM))");
    EXPECT_EQ(text("select OUTCOME || ': ' || REASON from FITMARA_OPERATIONS"),
              "stopped: stopped on request");
}

TEST_F(Calibration, JournalTablesAreNeverModelOrResultTables) {
    Session s;
    open(s, kTwoParams, {kLinearModel});
    s.setMaxEvaluationsText("3");
    s.startOptimization();
    s.openDatabase();
    EXPECT_FALSE(s.setup().tables().items.contains("FITMARA_RUNS", Qt::CaseInsensitive));
    EXPECT_FALSE(s.setup().tables().items.contains("FITMARA_OPERATIONS", Qt::CaseInsensitive));
    // A PARM_INT record naming a journal table is refused before anything is run.
    fixture::setupSession(s, dbPath, s.settings().runFile,
                          {"results", "obs", "sim", "grp", "var", "1=1"});
    fixture::execSql(dbPath, "INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,"
                             "SELECTION) VALUES ('fitmara_runs','RUN',0,9,1,1,'ID=1')");
    const int before = modelRuns();
    try {
        s.startOptimization();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("run journal")) << e.message().toStdString();
    }
    EXPECT_EQ(modelRuns(), before);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLocale::setDefault(QLocale::c());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
