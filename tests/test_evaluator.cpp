// The evaluation unit on its own: no session, no window, no chart. Two
// evaluators on two copies of a database run their models at the same time in
// one thread, each finished when its own model ends.
#include "base/fit_error.h"
#include "evaluation/evaluator.h"
#include "model/model_process.h"
#include "paramdb/database.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

// Slope A of the wheat rows and intercept K of soil 1; observations obs = 2 x + 1.
const char* kSql = R"(
CREATE TABLE PARM_INT (ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), PNAME CHAR(10),
  MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50),
  ALIAS CHAR(15), ERROR DOUBLE);
INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION)
  VALUES ('crop','A',0,5,1,0.5,'NAME=''wheat''');
INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,SELECTION)
  VALUES ('soil','K',-5,5,0,0.5,'ID=1');
CREATE TABLE crop (ID INTEGER, NAME TEXT, A DOUBLE);
INSERT INTO crop VALUES (1,'wheat',0),(2,'maize',0);
CREATE TABLE soil (ID INTEGER, K DOUBLE);
INSERT INTO soil VALUES (1,0),(2,0);
CREATE TABLE results (ID INTEGER PRIMARY KEY, grp INTEGER, x DOUBLE, obs DOUBLE, sim DOUBLE,
  var DOUBLE);
INSERT INTO results VALUES (1,1,1,3,0,1),(2,1,2,5,0,2),(3,2,4,9,0,0),(4,2,3,7,0,4);
)";

const QString kLinearModel = "UPDATE results SET sim = (SELECT A FROM crop WHERE ID=1) * x + "
                             "(SELECT K FROM soil WHERE ID=1)";

// RMSE of sim = a x + k against obs = 2 x + 1 over x = 1..4.
double rmse(double a, double k) {
    double sum = 0;
    for (int x = 1; x <= 4; ++x)
        sum += std::pow((a * x + k) - (2 * x + 1), 2);
    return std::sqrt(sum / 4);
}

// One model's folder: a copy of the database, a run script, a runner and an evaluator.
struct Copy {
    QString dir, dbPath, touchFile;
    std::unique_ptr<Database> db;
    std::unique_ptr<ModelProcess> runner;
    std::unique_ptr<Evaluator> evaluator;

    Copy(const QString& parent, const QString& name, const QStringList& modelArgs,
         const QString& condition = "1=1") {
        dir = parent + "/" + name;
        QDir().mkpath(dir);
        dbPath = fixture::makeDb(dir, kSql);
        touchFile = dir + "/runs.txt";
        const QString script = fixture::writeRunScript(
            dir,
            QStringList{"--db", dbPath, "--sql", kLinearModel, "--touch", touchFile} + modelArgs);
        db = std::make_unique<Database>("evaluator-" + name);
        db->open(dbPath);
        runner = std::make_unique<ModelProcess>();
        runner->setProgram(script);
        runner->setWorkingDirectory(dir + "/");
        evaluator = std::make_unique<Evaluator>(*db, *runner);
        CalibrationSettings s;
        s.databaseFile = dbPath;
        s.resultTable = "results";
        s.condition = condition;
        s.observedColumn = "obs";
        s.modelColumn = "sim";
        s.indexColumn = "grp";
        s.varianceColumn = "var";
        s.pauseAfterRunMs = 0;
        evaluator->setSettings(s);
    }
    double num(const QString& sql) const { return fixture::queryDouble(dbPath, sql); }
    QString text(const QString& sql) const { return fixture::queryText(dbPath, sql); }
};

class EvaluatorTest : public fixture::WorkDirTest {};

TEST_F(EvaluatorTest, TwoEvaluatorsRunTheirModelsAtOnceEachOnItsOwnCopy) {
    // The first model is slow, so the second one ends first; each run is finished
    // when its own model has ended, in the order the models end.
    Copy slow(tmp.path(), "a", {"--behave", "slow", "--sleep", "2000"});
    Copy quick(tmp.path(), "b", {});
    QStringList ended;
    std::vector<EvaluationResult> results(2);
    QEventLoop loop;
    auto finishOnEnd = [&](Copy& c, const QString& name, EvaluationResult& into) {
        QObject::connect(c.evaluator.get(), &Evaluator::modelEnded, &loop, [&, name] {
            ended << name;
            into = c.evaluator->finish();
            if (ended.size() == 2)
                loop.quit();
        });
    };
    finishOnEnd(slow, "slow", results[0]);
    finishOnEnd(quick, "quick", results[1]);

    slow.evaluator->start({0, 2, 1}, Reading::Criterion);
    quick.evaluator->start({0, 9, 0}, Reading::Criterion); // A above its bound 5
    EXPECT_TRUE(slow.runner->working());
    EXPECT_TRUE(quick.runner->working());
    EXPECT_TRUE(slow.evaluator->running());
    EXPECT_FALSE(slow.db->isOpen()); // free for the model while it runs
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();

    ASSERT_EQ(ended, (QStringList{"quick", "slow"}));
    EXPECT_FALSE(slow.evaluator->running());
    EXPECT_TRUE(slow.db->isOpen());
    EXPECT_TRUE(quick.db->isOpen());

    EXPECT_TRUE(results[0].complete);
    EXPECT_NEAR(results[0].criterion, 0, 1e-12);
    EXPECT_EQ(results[0].vector, (ParameterVector{0, 2, 1}));
    EXPECT_TRUE(results[1].complete);
    EXPECT_NEAR(results[1].criterion, rmse(5, 0), 1e-12);
    EXPECT_EQ(results[1].vector, (ParameterVector{0, 5, 0}));

    // Each copy holds its own run: AVAL, the model's tables, the simulated values.
    EXPECT_EQ(slow.text("select group_concat(AVAL, ' ') from PARM_INT"), "2.0 1.0");
    EXPECT_EQ(quick.text("select group_concat(AVAL, ' ') from PARM_INT"), "5.0 0.0");
    EXPECT_EQ(slow.num("select A from crop where ID=1"), 2);
    EXPECT_EQ(quick.num("select A from crop where ID=1"), 5);
    EXPECT_EQ(slow.num("select A from crop where ID=2"), 0); // outside the selection
    EXPECT_EQ(slow.num("select sim from results where ID=4"), 7);
    EXPECT_EQ(quick.num("select sim from results where ID=4"), 15);
    for (const Copy* c : {&slow, &quick}) {
        QFile f(c->touchFile);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll().count('\n'), 1); // one run each, by its own script
    }

    // The same evaluators run again one after the other, synchronously.
    EXPECT_NEAR(quick.evaluator->evaluate({0, 2, 1}, Reading::Criterion).criterion, 0, 1e-12);
    EXPECT_NEAR(slow.evaluator->evaluate({0, 1, 0}, Reading::Criterion).criterion, rmse(1, 0),
                1e-12);
}

TEST_F(EvaluatorTest, WhatARunReadsAndWhenItIsIncomplete) {
    const struct {
        const char* name;
        QStringList modelArgs;
        const char* condition;
        Reading reading;
        bool complete;
        double criterion;
        std::vector<double> mod; // ordered by obs
        std::vector<double> var;
        int badVariances;
    } cases[] = {
        {"criterion", {}, "1=1", Reading::Criterion, true, rmse(1, 0), {}, {}, 0},
        {"values ordered by obs", {}, "grp=2", Reading::ModelValues, true, 0, {3, 4}, {4, 0}, 1},
        {"run only", {"--behave", "leave"}, "1=1", Reading::RunOnly, true, 0, {}, {}, 0},
        {"criterion left at -99",
         {"--behave", "leave"},
         "1=1",
         Reading::Criterion,
         false,
         0,
         {},
         {},
         0},
        {"values left at -99",
         {"--behave", "leave"},
         "1=1",
         Reading::ModelValues,
         false,
         0,
         {-99, 2, 3, 4},
         {1, 2, 4, 0},
         1},
        {"model fails", {"--behave", "fail"}, "1=1", Reading::Criterion, false, 0, {}, {}, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Copy copy(tmp.path(), QString::number(++n), c.modelArgs, c.condition);
        const EvaluationResult r = copy.evaluator->evaluate({0, 1, 0}, c.reading);
        EXPECT_EQ(r.complete, c.complete);
        EXPECT_EQ(r.why.isEmpty(), c.complete) << r.why.toStdString();
        EXPECT_NEAR(r.criterion, c.criterion, 1e-12);
        EXPECT_EQ(r.values.mod, c.mod);
        EXPECT_EQ(r.values.var, c.var);
        EXPECT_EQ(r.values.badVariances, c.badVariances);
    }
}

// The marks are stored as an integer or a real depending on the simulated
// column's declared type; a row left at -99 is a mark either way.
TEST_F(EvaluatorTest, ARowLeftAtTheMarkIsSeenWhateverTheColumnsType) {
    int n = 0;
    for (const char* type : {"", "INTEGER", "NUMERIC", "REAL"}) {
        SCOPED_TRACE(type);
        Copy copy(tmp.path(), "typed" + QString::number(++n), {"--behave", "leave"});
        copy.db->exec("DROP TABLE results");
        copy.db->exec(QString("CREATE TABLE results (ID INTEGER PRIMARY KEY, grp INTEGER, "
                              "x DOUBLE, obs DOUBLE, sim %1, var DOUBLE)")
                          .arg(type));
        copy.db->exec("INSERT INTO results VALUES (1,1,1,3,0,1),(2,1,2,5,0,2),(3,2,4,9,0,1)");
        const EvaluationResult r = copy.evaluator->evaluate({0, 1, 0}, Reading::Criterion);
        EXPECT_FALSE(r.complete);
        EXPECT_TRUE(r.onlyMarks);
        EXPECT_TRUE(r.why.contains("1 is still at -99")) << r.why.toStdString();
    }
}

TEST_F(EvaluatorTest, AnIndexOnParmIntDoesNotMoveValuesToOtherRecords) {
    // The index lists K (MINIMUM -5) before A (MINIMUM 0), so SQLite may answer
    // a query of PARM_INT in that order; the vector still goes by rowid: A = 2, K = 1.
    Copy copy(tmp.path(), "a", {});
    copy.db->exec("create index parm_bounds on PARM_INT (MINIMUM, MAXIMUM)");
    copy.db->exec("update PARM_INT set MAXIMUM = 3 where PNAME = 'A'");
    const EvaluationResult r = copy.evaluator->evaluate({0, 2, 1}, Reading::Criterion);
    EXPECT_TRUE(r.complete);
    EXPECT_NEAR(r.criterion, 0, 1e-12);
    EXPECT_EQ(copy.text("select group_concat(PNAME || '=' || AVAL, ' ') from "
                        "(select * from PARM_INT order by rowid)"),
              "A=2.0 K=1.0");
    EXPECT_EQ(copy.num("select A from crop where ID=1"), 2);
    EXPECT_EQ(copy.num("select K from soil where ID=1"), 1);
    // Each value is held to its own record's bounds: 4 is above A's maximum 3.
    EXPECT_EQ(copy.evaluator->evaluate({0, 4, 4}, Reading::Criterion).vector,
              (ParameterVector{0, 3, 4}));
}

TEST_F(EvaluatorTest, ARunThatCannotBeMadeLeavesTheConnectionUsable) {
    Copy copy(tmp.path(), "a", {});
    // A vector shorter than PARM_INT: nothing is written or run.
    EXPECT_THROW(copy.evaluator->evaluate({0, 1}, Reading::Criterion), FitError);
    EXPECT_EQ(copy.text("select group_concat(coalesce(AVAL, 'null'), ' ') from PARM_INT"),
              "null null");
    // A run script that is gone: the error names it, the connection is back.
    const QString script = copy.runner->program();
    QFile::remove(script);
    try {
        copy.evaluator->evaluate({0, 2, 1}, Reading::Criterion);
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains(script)) << e.message().toStdString();
    }
    EXPECT_TRUE(copy.db->isOpen());
    EXPECT_FALSE(copy.evaluator->running());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
