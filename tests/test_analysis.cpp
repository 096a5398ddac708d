// Sensitivity coefficients and the uncertainty analysis, on real SQLite files
// with the stand-in model, plus the arithmetic on its own.
#include "analysis/fisher.h"
#include "analysis/workbook.h"
#include "app/batch.h"
#include "app/session.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "evaluation/bounds.h"
#include "support/session_fixture.h"
#include "support/xlsx_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <functional>
#include <memory>

// Readable failure messages for texts and lists of texts.
void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
void PrintTo(const QStringList& list, std::ostream* os) {
    *os << "{";
    for (const QString& t : list)
        *os << "\n  \"" << t.toStdString() << '"';
    *os << " }";
}

namespace {

// Model table mpar (one row: slope a, intercept b, c) and four result rows.
// x = 1..4 with variances 0.5, 1, 1, 2; obs unordered so that "order by obs"
// matters for the row order.
const char* kBaseSql = R"(
CREATE TABLE PARM_INT (ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), PNAME CHAR(10),
  MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50),
  ALIAS CHAR(15), ERROR DOUBLE, r_2 DOUBLE, r_3 DOUBLE);
CREATE TABLE mpar (ID INTEGER, a DOUBLE, b DOUBLE, c DOUBLE);
INSERT INTO mpar VALUES (1, 7, 7, 7);
CREATE TABLE results (ID INTEGER PRIMARY KEY, x DOUBLE, obs DOUBLE, sim DOUBLE, var DOUBLE);
INSERT INTO results VALUES (1,1,40,0,0.5),(2,2,10,0,1),(3,3,30,0,1),(4,4,20,0,2);
)";

QString param(const char* pname, double ival, double aval, const char* alias, double max = 100) {
    return QStringLiteral("INSERT INTO PARM_INT (FNAME,PNAME,MINIMUM,MAXIMUM,IVAL,STEP,AVAL,"
                          "SELECTION,ALIAS) VALUES ('mpar','%1',-100,%2,%3,0.5,%4,'','%5');\n")
        .arg(pname)
        .arg(max)
        .arg(ival)
        .arg(aval)
        .arg(alias);
}

const QString kLinear = "UPDATE results SET sim = (SELECT a FROM mpar) * x + (SELECT b FROM mpar)";
const QString kQuadratic = "UPDATE results SET sim = (SELECT a FROM mpar) * x + (SELECT b FROM "
                           "mpar) + (SELECT c FROM mpar) * x * x";

class TestAsker : public Asker {
  public:
    QStringList opened;
    bool chooseDatabase(QString&) override { return false; }
    bool chooseRunFile(QString&) override { return false; }
    void showResultDialog(Session&) override {}
    void showHelp(const QString&, const QString&) override {}
    void editTextFile(const QString&) override {}
    void openWorkbook(const QString& path) override { opened << path; }
};

class Analysis : public fixture::WorkDirTest {
  protected:
    // runScript empty: the stand-in model runs `modelSql` completely on every run.
    void open(Session& s, const QString& params, const QString& modelSql,
              QString runScript = QString()) {
        dbPath = fixture::makeDb(tmp.path(), QString::fromUtf8(kBaseSql) + params);
        if (runScript.isEmpty())
            runScript = fixture::writeRunScript(
                tmp.path(), {"--db", dbPath, "--sql", modelSql, "--touch", touchFile});
        fixture::ResultRoles roles;
        roles.table = "results";
        roles.obs = "obs";
        roles.mod = "sim";
        roles.idx = "ID";
        roles.var = "var";
        fixture::setupSession(s, dbPath, runScript, roles);
    }

    // A run script whose run number `badRun` (counted from 0) leaves one row at -99.
    QString scriptIncompleteAt(int badRun, const QString& modelSql) {
        const QString model = fixture::shellQuote(QStringLiteral(FIXTURE_DIR "/standin_model"));
        const QString args = " --db " + fixture::shellQuote(dbPath) + " --sql " +
                             fixture::shellQuote(modelSql) + " --touch " +
                             fixture::shellQuote(touchFile);
        const QString path = tmp.filePath("partial.sh");
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(QStringLiteral("#!/bin/sh\nn=$(cat %1 2>/dev/null | wc -l)\n"
                               "if [ \"$n\" -eq %2 ]; then exec %3%4 --behave leave; fi\n"
                               "exec %3%4\n")
                    .arg(fixture::shellQuote(touchFile))
                    .arg(badRun)
                    .arg(model, args)
                    .toUtf8());
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        return path;
    }

    // The log's last n lines before those naming the files the operation wrote.
    static QStringList tail(const Session& s, int n) {
        QStringList lines = s.logList().lines();
        while (!lines.isEmpty() && lines.last().startsWith("written: "))
            lines.removeLast();
        return lines.mid(lines.size() - n);
    }
    static QString protocol(const QString& name) {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
};

// Calls `what` while model run number `run` (counted from 1) is under way: the
// connection closes when the model starts.
void duringRun(Session& s, int run, std::function<void()> what) {
    auto closes = std::make_shared<int>(0);
    QObject::connect(&s, &Session::connectionChanged, &s, [=](bool open) {
        if (!open && ++*closes == run)
            what();
    });
}

double numberAfter(const QString& line, const QString& marker) {
    return line.mid(line.indexOf(marker) + marker.size()).trimmed().toDouble();
}

// ---------------------------------------------------------------- sensitivity

// One result row x = 1, obs 0: the error is |a + b + 0 c|, so every error is
// known exactly. a = 1, b = 1, c = 5 (the model ignores c).
const char* kOneRowSql = "DELETE FROM results WHERE ID > 1; UPDATE results SET obs = %1;";
const QString kAbc = "UPDATE results SET sim = (SELECT a FROM mpar) * x + (SELECT b FROM mpar) "
                     "+ 0 * (SELECT c FROM mpar)";

TEST_F(Analysis, SensitivityCoefficientsForThreeParametersAndBothStepSigns) {
    struct Case {
        const char* step;
        double b;
    };
    for (const Case& c : {Case{"5", 0.05}, Case{"-5", -0.05}}) {
        SCOPED_TRACE(c.step);
        Session s;
        open(s,
             param("a", 1, 0, "pa") + param("b", 1, 0, "pb") + param("c", 5, 0, "pc") +
                 QString::fromUtf8(kOneRowSql).arg(0),
             kAbc);
        QFile::remove(touchFile);
        s.settings().sensitivityStep = c.step;
        s.analyseSensitivity();

        EXPECT_EQ(modelRuns(), 4);
        EXPECT_EQ(s.operationProgress().evaluations(), 4);
        ASSERT_EQ(s.chartSeries().size(), 4);
        const double y0 = 2, yRaised = 2 + c.b;
        const QList<QPointF> expectedChart{{0, y0}, {1, yRaised}, {2, yRaised}, {3, y0}};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(s.chartSeries()[i].x(), expectedChart[i].x());
            EXPECT_NEAR(s.chartSeries()[i].y(), expectedChart[i].y(), 1e-12);
        }

        const QStringList lines = tail(s, 3);
        const double factor = c.b > 0 ? 41 : -39;
        const double expected = factor * (y0 - yRaised) / (y0 + yRaised);
        for (int i = 1; i <= 2; ++i) {
            ASSERT_TRUE(lines[i - 1].startsWith(" Sensitivity of Parm" + QString::number(i) + " :"))
                << lines[i - 1].toStdString();
            EXPECT_NEAR(numberAfter(lines[i - 1], ":"), expected, 1e-12);
        }
        EXPECT_EQ(lines[2], " Sensitivity of Parm3 :0");
        // The model's table is back at its backup, AVAL as it was before.
        EXPECT_EQ(num("SELECT a FROM mpar"), 7);
        EXPECT_EQ(num("SELECT c FROM mpar"), 7);
        EXPECT_EQ(text("SELECT group_concat(AVAL, ' ') FROM PARM_INT"), "0.0 0.0 0.0");
    }
}

// The runs write their trial vectors as AVAL; a finished analysis leaves the
// stored calibration (AVAL, ERROR, r_k) and the model's tables as they were,
// serial and with parallel runs, so that an uncertainty analysis after it works
// at the calibrated point.
TEST_F(Analysis, SensitivityLeavesTheStoredCalibrationAsItWas) {
    for (const int parallelRuns : {1, 2}) {
        SCOPED_TRACE(parallelRuns);
        Session s;
        // The model is given the database by a relative name, so that with
        // parallel runs each workspace's copy is the one it changes.
        const QString script =
            fixture::writeRunScript(tmp.path(), {"--db", "calib.sqlite", "--sql", kAbc});
        open(s,
             param("a", 1, 2.5, "pa") + param("b", 1, 3.5, "pb") + param("c", 5, 4.5, "pc") +
                 QString::fromUtf8(kOneRowSql).arg(0) +
                 "UPDATE PARM_INT SET ERROR = ITEM_IX / 10.0, r_2 = 0.25, r_3 = -0.5;",
             kAbc, script);
        s.settings().parallelRuns = parallelRuns;
        const QString stored = "SELECT group_concat(AVAL || '/' || ERROR || '/' || r_2 || '/' || "
                               "r_3, ' ') FROM PARM_INT";
        const QString before = text(stored);
        s.settings().sensitivityStep = "5";
        s.analyseSensitivity();
        EXPECT_TRUE(tail(s, 1).first().startsWith(" Sensitivity of Parm3 :"));
        EXPECT_EQ(text(stored), before);
        EXPECT_EQ(text("SELECT a || ' ' || b || ' ' || c FROM mpar"), "7.0 7.0 7.0");
    }
}

TEST_F(Analysis, SensitivityFormulaAtFivePercentHasFactorFortyOne) {
    EXPECT_NEAR(double(sensitivityCoefficient(0.05, 3, 1)), 41.0 * 2 / 4, 1e-13);
    EXPECT_NEAR(double(sensitivityCoefficient(-0.05, 3, 1)), -39.0 * 2 / 4, 1e-13);
    EXPECT_EQ(sensitivityLine(2, 0.05, 1.5, true, 1.5, true), " Sensitivity of Parm2 :0");
    EXPECT_EQ(sensitivityLine(1, 0.05, 3, true, 1, true), " Sensitivity of Parm1 :20.5");
}

TEST_F(Analysis, SensitivityWithoutANumberSaysWhy) {
    struct Case {
        const char* name;
        const char* step;
        double obs;
        int badRun; // -1: every run completes
        QStringList expected;
    };
    const QList<Case> cases{
        {"step_zero",
         "0",
         0,
         -1,
         {" Sensitivity of Parm1 : not available, the step size is 0",
          " Sensitivity of Parm2 : not available, the step size is 0",
          " Sensitivity of Parm3 : not available, the step size is 0"}},
        // obs = 2 fits exactly: the base error and that of the ignored c are 0.
        {"errors_sum_to_zero",
         "5",
         2,
         -1,
         {" Sensitivity of Parm1 :-41", " Sensitivity of Parm2 :-41",
          " Sensitivity of Parm3 : not available, both errors are 0"}},
        {"base_run_incomplete",
         "5",
         0,
         0,
         {" Sensitivity of Parm1 : not available, the base run was incomplete",
          " Sensitivity of Parm2 : not available, the base run was incomplete",
          " Sensitivity of Parm3 : not available, the base run was incomplete"}},
        {"second_parameter_incomplete",
         "5",
         0,
         2,
         {" Sensitivity of Parm1 :~-0.506172839506173",
          " Sensitivity of Parm2 : not available, the run with this parameter raised was "
          "incomplete",
          " Sensitivity of Parm3 :0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        const QString params = param("a", 1, 0, "pa") + param("b", 1, 0, "pb") +
                               param("c", 5, 0, "pc") + QString::fromUtf8(kOneRowSql).arg(c.obs);
        open(s, params, kAbc);
        QFile::remove(touchFile);
        if (c.badRun >= 0)
            s.setRunFile(scriptIncompleteAt(c.badRun, kAbc));
        s.settings().sensitivityStep = c.step;
        s.analyseSensitivity();
        // ":~" marks a number that the error query only gets to within rounding.
        const QStringList lines = tail(s, 3);
        for (int i = 0; i < 3; ++i) {
            const QString& want = c.expected[i];
            if (want.contains(":~")) {
                EXPECT_TRUE(lines[i].startsWith(want.section(QLatin1Char('~'), 0, 0)));
                EXPECT_NEAR(numberAfter(lines[i], ":"), numberAfter(want, ":~"), 1e-12);
            } else {
                EXPECT_EQ(lines[i], want);
            }
        }
        EXPECT_EQ(num("SELECT a FROM mpar"), 7);
    }
}

TEST_F(Analysis, SensitivityUsesTheValuesTheModelSaw) {
    // a is clamped from 1.05 to its maximum 1.02; b is 0, so 5 % of it moves
    // nothing; c does not reach the model. The error is |a + b|.
    Session s;
    open(s,
         param("a", 1, 0, "pa", 1.02) + param("b", 0, 0, "pb") + param("c", 5, 0, "pc") +
             QString::fromUtf8(kOneRowSql).arg(0),
         kAbc);
    s.settings().sensitivityStep = "5";
    s.analyseSensitivity();
    const QStringList lines = tail(s, 3);
    // The arc elasticity of |a| with respect to a, sign reversed: -1, whatever the step.
    ASSERT_TRUE(lines[0].startsWith(" Sensitivity of Parm1 :")) << lines[0].toStdString();
    EXPECT_NEAR(numberAfter(lines[0], ":"), -1, 1e-12);
    EXPECT_EQ(lines[1], " Sensitivity of Parm2 : not available, the parameter does not move (its "
                        "value is 0 or its bounds hold it)");
    EXPECT_EQ(lines[2], " Sensitivity of Parm3 :0");
    EXPECT_EQ(num("SELECT AVAL FROM PARM_INT WHERE PNAME='c'"), 0); // as before the analysis
}

TEST_F(Analysis, SensitivityErrorRestoresTheModelTablesBeforeReporting) {
    // The run file disappears after the base run: the next model cannot start.
    Session s;
    open(s, param("a", 1, 0.5, "pa") + param("b", 1, 0.5, "pb"), kAbc);
    QObject::connect(&s, &Session::progress, [&](int done, int, double, qint64) {
        if (done == 1)
            QFile::remove(s.settings().runFile);
    });
    s.settings().sensitivityStep = "5";
    EXPECT_THROW(s.analyseSensitivity(), FitError);
    EXPECT_EQ(modelRuns(), 1);
    EXPECT_TRUE(s.logList().lines().join('\n').contains("restored"));
    EXPECT_EQ(num("SELECT a FROM mpar"), 7);
    EXPECT_EQ(num("SELECT b FROM mpar"), 7);
    EXPECT_EQ(text("SELECT group_concat(AVAL) FROM PARM_INT"), "0.5,0.5"); // not IVAL
    EXPECT_FALSE(s.busy());

    s.settings().sensitivityStep = "five";
    EXPECT_THROW(s.analyseSensitivity(), FitError);
}

// ---------------------------------------------------------- uncertainty: pure

TEST(UncertaintyArithmetic, WorkedExampleLines) {
    const LongMatrix V{{0.0625L, -0.05L}, {-0.05L, 0.16L}};
    const UncertaintyReport rep = uncertaintyReport(V, false, {0, 0.5, 2}, {"", " k1  ", "k2"}, 2);
    EXPECT_TRUE(rep.determined);
    EXPECT_EQ(rep.lines, (QStringList{"standard errors of parameters", "prm1[k1]:  MW=0.5 +/- 0.25",
                                      "prm2[k2]:  MW=2 +/- 0.4", "correlation between parameters",
                                      "prm1 : prm2, r=-0.5"}));
    EXPECT_EQ(rep.se[1], 0.25);
    EXPECT_EQ(rep.se[2], 0.4);
    EXPECT_DOUBLE_EQ(rep.r[1][2], -0.5);
}

TEST(UncertaintyArithmetic, SingularOrNonPositiveVariancesDetermineNothing) {
    const std::vector<LongMatrix> cases{{{0, 0}, {0, 0}}, {{1, 0}, {0, -1e-30L}}};
    for (std::size_t n = 0; n < cases.size(); ++n) {
        const UncertaintyReport rep =
            uncertaintyReport(cases[n], n == 0, {0, 1, 2}, {"", "a", "b"}, 2);
        EXPECT_FALSE(rep.determined);
        EXPECT_EQ(rep.lines, (QStringList{"standard errors of parameters", singularFisherLine,
                                          "prm1[a]:  MW=1", "prm2[b]:  MW=2",
                                          "correlation between parameters", singularFisherLine}));
    }
}

TEST(UncertaintyArithmetic, FisherInformationIsJacobianTransposeWeightedJacobian) {
    // Row 0 carries nothing; column 0 holds base values that must not enter F.
    const LongMatrix sensitivityRows{{99, 99, 99}, {5, 1, 2}, {6, 3, -1}, {7, 0.5L, 4}};
    const std::vector<double> w{99, 2, 0.5, 4};
    const LongMatrix F = fisherInformation(sensitivityRows, w, 2, 3);
    const long double f00 = 1.0L / 2 + 9 / 0.5L + 0.25L / 4;
    const long double f01 = 2.0L / 2 - 3 / 0.5L + 2.0L / 4;
    const long double f11 = 4.0L / 2 + 1 / 0.5L + 16.0L / 4;
    EXPECT_EQ(F, (LongMatrix{{f00, f01}, {f01, f11}}));
    EXPECT_EQ(trimAlias(QString(" \t k1 \x01")), "k1");
}

// --------------------------------------------------------- uncertainty: runs

// sim = a x + b with a = 2, b = 1: J = [x, 1], F = J^T W^-1 J.
struct Closed {
    double se1, se2, r;
};
Closed closedFormTwo() {
    const double x[] = {1, 2, 3, 4}, v[] = {0.5, 1, 1, 2};
    double faa = 0, fab = 0, fbb = 0;
    for (int k = 0; k < 4; ++k) {
        faa += x[k] * x[k] / v[k];
        fab += x[k] / v[k];
        fbb += 1 / v[k];
    }
    const double det = faa * fbb - fab * fab;
    const double vaa = fbb / det, vbb = faa / det, vab = -fab / det;
    return {std::sqrt(vaa), std::sqrt(vbb), vab / std::sqrt(vaa * vbb)};
}

TEST_F(Analysis, TwoParametersOnALinearModelMatchTheClosedForm) {
    Session s;
    TestAsker asker;
    s.setAsker(&asker);
    open(s, param("a", 0, 2, "  slope ") + param("b", 0, 1, "icpt"), kLinear);
    s.logList().append("earlier line");
    s.analyseUncertainty();

    EXPECT_EQ(modelRuns(), 3);
    const Closed cf = closedFormTwo();
    EXPECT_NEAR(num("SELECT ERROR FROM PARM_INT WHERE PNAME='a'"), cf.se1, 1e-9 * cf.se1);
    EXPECT_NEAR(num("SELECT ERROR FROM PARM_INT WHERE PNAME='b'"), cf.se2, 1e-9 * cf.se2);
    EXPECT_NEAR(num("SELECT r_2 FROM PARM_INT WHERE PNAME='a'"), cf.r, 1e-9);
    EXPECT_EQ(text("SELECT r_2 FROM PARM_INT WHERE PNAME='b'"), "");
    EXPECT_EQ(text("SELECT r_3 FROM PARM_INT WHERE PNAME='a'"), "");
    // Start values back in AVAL and in the model's table.
    EXPECT_EQ(num("SELECT AVAL FROM PARM_INT WHERE PNAME='a'"), 2);
    EXPECT_EQ(num("SELECT a FROM mpar"), 2);
    EXPECT_EQ(num("SELECT b FROM mpar"), 1);

    const QStringList lines = tail(s, 5);
    EXPECT_EQ(lines[0], "standard errors of parameters");
    EXPECT_TRUE(lines[1].startsWith("prm1[slope]:  MW=2 +/- ")) << lines[1].toStdString();
    EXPECT_NEAR(numberAfter(lines[1], "+/-"), cf.se1, 1e-9 * cf.se1);
    EXPECT_TRUE(lines[2].startsWith("prm2[icpt]:  MW=1 +/- ")) << lines[2].toStdString();
    EXPECT_EQ(lines[3], "correlation between parameters");
    EXPECT_TRUE(lines[4].startsWith("prm1 : prm2, r=")) << lines[4].toStdString();
    EXPECT_NEAR(numberAfter(lines[4], "r="), cf.r, 1e-9);

    // The protocol holds the whole log, earlier lines first, CR LF.
    const QString prot = protocol("PROT_UNC.TXT");
    EXPECT_TRUE(prot.startsWith("earlier line\r\n"));
    EXPECT_TRUE(prot.endsWith(lines[4] + "\r\n"));

    // Rows in the order of obs (20 < 30 < 40 for x = 4, 3, 1 after 10 for x = 2):
    // column 0 the base values, then the sensitivities x and 1.
    ASSERT_EQ(s.observationCount(), 4);
    const double xOrder[] = {2, 4, 3, 1};
    for (int k = 1; k <= 4; ++k) {
        EXPECT_NEAR(double(s.sensitivityRows()[k][0]), 2 * xOrder[k - 1] + 1, 1e-12);
        EXPECT_NEAR(double(s.sensitivityRows()[k][1]), xOrder[k - 1], 1e-9);
        EXPECT_NEAR(double(s.sensitivityRows()[k][2]), 1, 1e-9);
    }
    s.plotParameter(0);
    ASSERT_EQ(s.chartSeries().size(), 4);
    EXPECT_NEAR(s.chartSeries()[1].y(), 4, 1e-9);
    EXPECT_EQ(s.workbookLanguage(), -99);
    EXPECT_TRUE(asker.opened.isEmpty());
    EXPECT_FALSE(QFile::exists("opti_res.xlsx"));
}

TEST_F(Analysis, CentralDifferencesWithAChosenStepMatchTheClosedForm) {
    Session s;
    TestAsker asker;
    s.setAsker(&asker);
    s.settings().centralDifferences = true;
    s.settings().differenceStep = 0.001;
    open(s, param("a", 0, 2, "  slope ") + param("b", 0, 1, "icpt"), kLinear);
    s.analyseUncertainty();

    // The base run, and each parameter raised and lowered.
    EXPECT_EQ(modelRuns(), 5);
    const Closed cf = closedFormTwo();
    EXPECT_NEAR(num("SELECT ERROR FROM PARM_INT WHERE PNAME='a'"), cf.se1, 1e-7 * cf.se1);
    EXPECT_NEAR(num("SELECT ERROR FROM PARM_INT WHERE PNAME='b'"), cf.se2, 1e-7 * cf.se2);
    EXPECT_EQ(num("SELECT a FROM mpar"), 2);
    const double xOrder[] = {2, 4, 3, 1};
    for (int k = 1; k <= 4; ++k) {
        EXPECT_NEAR(double(s.sensitivityRows()[k][1]), xOrder[k - 1], 1e-7);
        EXPECT_NEAR(double(s.sensitivityRows()[k][2]), 1, 1e-7);
    }
    EXPECT_TRUE(s.logList().lines().contains(" finite differences: central, relative step 0.001"))
        << s.logList().lines().join('\n').toStdString();
}

// On its own the analysis guards the model's tables as a calibration does:
// while its models run, the run marker stands (a program killed now leaves it,
// and the next run restores the tables from their backups); afterwards it is
// gone and the tables hold the start values.
TEST_F(Analysis, UncertaintyOnItsOwnHoldsTheRunMarkerWhileItsModelsRun) {
    Session s;
    TestAsker asker;
    s.setAsker(&asker);
    open(s, param("a", 0, 2, "slope") + param("b", 0, 1, "icpt"), kLinear);
    const QString marker = dbPath + ".fitmara-run";
    bool markedDuringRun = false;
    duringRun(s, 2, [&] { markedDuringRun = QFile::exists(marker); });
    s.analyseUncertainty();
    EXPECT_TRUE(markedDuringRun);
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(num("SELECT a FROM mpar"), 2);
    EXPECT_EQ(num("SELECT b FROM mpar"), 1);
    EXPECT_FALSE(s.logList().lines().join('\n').contains("_bop")) << "the backup is not logged";
}

TEST_F(Analysis, ThreeParametersFillTheUpperTriangleOfCorrelations) {
    Session s;
    open(s, param("a", 0, 2, "pa") + param("b", 0, 1, "pb") + param("c", 0, 0.5, "pc"), kQuadratic);
    s.analyseUncertainty();
    EXPECT_EQ(modelRuns(), 4);
    const QStringList lines = tail(s, 4);
    EXPECT_EQ(lines[0], "correlation between parameters");
    EXPECT_TRUE(lines[1].startsWith("prm1 : prm2, r="));
    EXPECT_TRUE(lines[2].startsWith("prm1 : prm3, r="));
    EXPECT_TRUE(lines[3].startsWith("prm2 : prm3, r="));
    for (int i = 1; i <= 3; ++i)
        EXPECT_NEAR(num("SELECT r_" + QString::number(lines[i].mid(10, 1).toInt()) +
                        " FROM PARM_INT WHERE ITEM_IX=" + lines[i].mid(3, 1)),
                    numberAfter(lines[i], "r="), 1e-13);
    EXPECT_EQ(text("SELECT r_2 FROM PARM_INT WHERE ITEM_IX=2"), "");
    EXPECT_EQ(text("SELECT r_2 || r_3 FROM PARM_INT WHERE ITEM_IX=3"), "");
    EXPECT_GT(num("SELECT ERROR FROM PARM_INT WHERE ITEM_IX=3"), 0);
}

TEST_F(Analysis, OneParameterHasNoCorrelationLines) {
    Session s;
    open(s, param("a", 0, 2, "pa"), "UPDATE results SET sim = (SELECT a FROM mpar) * x");
    s.analyseUncertainty();
    EXPECT_EQ(modelRuns(), 2);
    EXPECT_EQ(tail(s, 1), QStringList{"correlation between parameters"});
    // F = sum x^2 / v = 2 + 4 + 9 + 8 = 23.
    EXPECT_NEAR(num("SELECT ERROR FROM PARM_INT"), 1 / std::sqrt(23.0), 1e-12);
}

TEST_F(Analysis, DuplicateAliasesAreRefusedBeforeAnyRun) {
    // The results are stored by alias: one parameter's would land on another's record.
    Session s;
    open(s, param("a", 0, 2, "same") + param("b", 0, 1, "same  "), kLinear);
    QFile::remove(touchFile);
    try {
        s.analyseUncertainty();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("Parameters 1, 2 share the ALIAS 'same'"))
            << e.message().toStdString();
    }
    EXPECT_EQ(modelRuns(), 0);
    EXPECT_EQ(text("SELECT group_concat(ERROR) FROM PARM_INT"), "");
}

TEST_F(Analysis, StopsBeforeAnyRunWhenAnalysisIsImpossible) {
    struct Case {
        const char* name;
        QString params;
        QString extraSql;
        QString reason;
    };
    const QList<Case> cases{
        {"at_limit", param("a", 0, 2, "pa") + param("b", 0, 100, "pb", 100.5), "",
         " at least one parameter is at the limit"},
        {"zero_value", param("a", 0, 2, "pa") + param("b", 0, 0, " pb "), "",
         " parameter 2 [pb] is 0: its step for the differences would be 0"},
        {"bad_variances", param("a", 0, 2, "pa") + param("b", 0, 1, "pb"),
         "UPDATE results SET var = NULL WHERE ID = 1; UPDATE results SET var = -1 WHERE ID = 2; "
         "UPDATE results SET var = 0 WHERE ID = 3;",
         " 3 selected result rows have a variance (var) that is empty, 0 or negative"},
        {"no_rows", param("a", 0, 2, "pa"), "DELETE FROM results;",
         " the filter condition selects no result rows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        open(s, c.params + c.extraSql, kLinear);
        QFile::remove(touchFile);
        QFile::remove("PROT_UNC.TXT");
        s.analyseUncertainty();
        EXPECT_EQ(modelRuns(), 0);
        EXPECT_EQ(tail(s, 2), (QStringList{c.reason, " no uncertainty analysis possible !"}));
        EXPECT_TRUE(protocol("PROT_UNC.TXT").endsWith(" no uncertainty analysis possible !\r\n"));
        EXPECT_EQ(text("SELECT group_concat(ERROR) FROM PARM_INT"), "");
    }
    // AVAL -10 with MAXIMUM -9.95 passes the limit test (1.01 * -10 = -10.1).
    Session s;
    open(s, param("a", 0, -10, "pa", -9.95), "UPDATE results SET sim = (SELECT a FROM mpar) * x");
    s.analyseUncertainty();
    EXPECT_EQ(modelRuns(), 2);
    // The raised value -9.9 was clamped to -9.95: the difference divides by the
    // step the model saw, 0.05, not by 0.1, and gives the true slope x.
    EXPECT_NEAR(double(s.sensitivityRows()[1][1]), 2, 1e-9); // first row by obs: x = 2
    EXPECT_NEAR(num("SELECT ERROR FROM PARM_INT"), 1 / std::sqrt(23.0), 1e-9);
    EXPECT_EQ(num("SELECT AVAL FROM PARM_INT"), -10);
}

TEST_F(Analysis, ParameterHeldByItsBoundsStopsBeforeAnyRun) {
    // AVAL below MINIMUM: the base and the raised value are both clamped to -100,
    // so the model would see no change at all.
    Session s;
    open(s, param("a", 0, 2, "pa") + param("b", 0, -300, " pb "), kLinear);
    QFile::remove(touchFile);
    s.analyseUncertainty();
    EXPECT_EQ(modelRuns(), 0);
    EXPECT_EQ(tail(s, 2), (QStringList{" parameter 2 [pb] cannot be raised within its bounds: its "
                                       "step for the differences would be 0",
                                       " no uncertainty analysis possible !"}));
    EXPECT_EQ(text("SELECT group_concat(ERROR) FROM PARM_INT"), "");
    EXPECT_EQ(clampToBounds(-9.9, -100, -9.95), -9.95);
    EXPECT_EQ(clampToBounds(-300, -100, 100), -100);
    EXPECT_EQ(clampToBounds(5, 10, 1), 10) << "the lower bound is applied last";
}

TEST_F(Analysis, WithoutVarianceColumnNothingHappensButBatchSavesTheLog) {
    // Without an RS_ argument the protocol keeps the window's name, never ".txt".
    for (const QString name : {"batch1", ""}) {
        SCOPED_TRACE(name.toStdString());
        Session s;
        open(s, param("a", 0, 2, "pa"), kLinear);
        s.setup().chooseColumn(ColumnRole::Variance, -1);
        s.batch().unattended = true;
        s.batch().resultName = name;
        s.logList().append("optimisation log");
        const int before = s.logList().count();
        s.analyseUncertainty();
        EXPECT_EQ(s.logList().count(), before);
        EXPECT_EQ(modelRuns(), 0);
        EXPECT_EQ(protocol(name.isEmpty() ? QString("PROT_UNC.TXT") : name + ".txt"),
                  "optimisation log\r\n");
    }
}

TEST_F(Analysis, IncompleteRunsStopWithStartValuesBackAndNothingWritten) {
    for (int badRun : {0, 2}) {
        SCOPED_TRACE(badRun);
        Session s;
        open(s, param("a", 0, 2, "pa") + param("b", 0, 1, "pb"), kLinear);
        QFile::remove(touchFile);
        s.setRunFile(scriptIncompleteAt(badRun, kLinear));
        try {
            s.analyseUncertainty();
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains("Model run incomplete !"))
                << e.message().toStdString();
            EXPECT_TRUE(e.message().contains(badRun == 0 ? "base run" : "parameter 2 raised"));
        }
        EXPECT_EQ(modelRuns(), badRun + 1);
        EXPECT_EQ(text("SELECT group_concat(ERROR) || group_concat(r_2) FROM PARM_INT"), "");
        EXPECT_EQ(num("SELECT AVAL FROM PARM_INT WHERE PNAME='a'"), 2);
        EXPECT_EQ(num("SELECT AVAL FROM PARM_INT WHERE PNAME='b'"), 1);
        EXPECT_EQ(num("SELECT a FROM mpar"), 2);
        EXPECT_EQ(num("SELECT b FROM mpar"), 1);
        EXPECT_TRUE(protocol("PROT_UNC.TXT").contains("Model run incomplete !"));
        EXPECT_FALSE(s.busy());
    }
}

TEST_F(Analysis, VariancesSpoiltByTheBaseRunStopTheAnalysis) {
    // The variance role names the simulated column: positive before the run,
    // negative after it.
    Session s;
    open(s, param("a", 0, 2, "pa") + "UPDATE results SET sim = 1;",
         "UPDATE results SET sim = (SELECT a FROM mpar) * x - 100");
    s.setup().chooseColumnNamed(ColumnRole::Variance, "sim");
    QFile::remove(touchFile);
    try {
        s.analyseUncertainty();
        ADD_FAILURE() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("4 selected result rows have a variance (sim)"))
            << e.message().toStdString();
    }
    EXPECT_EQ(modelRuns(), 1);
    EXPECT_EQ(text("SELECT group_concat(ERROR) FROM PARM_INT"), "");
    EXPECT_EQ(num("SELECT a FROM mpar"), 2);
    EXPECT_EQ(num("SELECT AVAL FROM PARM_INT"), 2);
}

TEST_F(Analysis, SingularFisherMatrixIsReportedNotWrittenAsCertainty) {
    Session s;
    // c does not reach the model: its column of the Jacobian is zero.
    open(s, param("a", 0, 2, "pa") + param("b", 0, 1, "pb") + param("c", 0, 3, "pc"), kLinear);
    s.batch().workbookWanted = true;
    fixture::execSql(dbPath, "UPDATE PARM_INT SET ERROR = 1, r_2 = 0.5");
    s.analyseUncertainty();
    const QString log = s.logList().lines().join('\n');
    EXPECT_TRUE(log.contains(singularFisherLine));
    EXPECT_FALSE(log.contains("+/-"));
    EXPECT_FALSE(log.contains("r="));
    EXPECT_EQ(text("SELECT group_concat(ERROR) || group_concat(r_2) FROM PARM_INT"), "");
    EXPECT_TRUE(protocol("PROT_UNC.TXT").contains(singularFisherLine));
    const XlsxReader xlsx("opti_res.xlsx");
    EXPECT_EQ(xlsx.cell("covariance", 6, 1), XlsxReader::text(singularFisherLine));
    EXPECT_FALSE(xlsx.cell("covariance", 2, 2).has_value());
}

TEST_F(Analysis, WorkbookAfterABatchRunWithExcelOutput) {
    Session s;
    TestAsker asker;
    s.setAsker(&asker);
    open(s, param("a", 0, 2, "slope  ") + param("b", 0, 1, "icpt"), kLinear);
    QDir(tmp.path()).mkdir("data");
    s.settings().databaseFolder = tmp.filePath("data") + "/";
    s.batch().unattended = true;
    s.batch().resultName = "run1";
    s.batch().workbookWanted = true;
    s.analyseUncertainty();
    EXPECT_NE(s.workbookLanguage(), -99);
    EXPECT_TRUE(asker.opened.isEmpty()) << "a batch run opens no window";
    EXPECT_TRUE(QFile::exists("run1.txt"));
    // Nothing to plot in a batch run: the runs' values are not kept after it.
    EXPECT_TRUE(s.sensitivityRows().empty());
    EXPECT_EQ(s.observationCount(), 0);

    const XlsxReader xlsx(tmp.filePath("data/run1.xlsx"));
    EXPECT_EQ(xlsx.sheetNames(),
              (QStringList{"covariance", "Fisher information", "sensitivities", "fit"}));
    // Sensitivities: 5 x 3 block, row "P1" all zeros, then base values and x, 1.
    EXPECT_EQ(xlsx.cell("sensitivities", 1, 4), XlsxReader::text("P3"));
    EXPECT_EQ(xlsx.cell("sensitivities", 6, 1), XlsxReader::text("P5"));
    EXPECT_EQ(xlsx.cell("sensitivities", 2, 2), XlsxReader::number(0));
    EXPECT_NEAR(xlsx.cell("sensitivities", 3, 2)->number, 5, 1e-12); // x = 2: 2*2+1
    EXPECT_NEAR(xlsx.cell("sensitivities", 3, 3)->number, 2, 1e-9);
    EXPECT_NEAR(xlsx.cell("Fisher information", 2, 2)->number, 2 + 4 + 9 + 8, 1e-6);
    const Closed cf = closedFormTwo();
    EXPECT_NEAR(xlsx.cell("covariance", 2, 2)->number, cf.se1 * cf.se1, 1e-9);
    EXPECT_EQ(xlsx.cell("covariance", 4, 1), XlsxReader::text("Eigenvalues"));
    EXPECT_EQ(xlsx.cell("covariance", 8, 1), XlsxReader::text("slope  "));
    EXPECT_EQ(xlsx.cell("covariance", 9, 1), XlsxReader::text("icpt"));
    EXPECT_FALSE(xlsx.cell("covariance", 8, 2)->isText);
    // The fit of the base run (a = 2, b = 1), not of the last run with b raised,
    // one group per ID in table order; no optimisation ran, so no criterion.
    const double obs[] = {40, 10, 30, 20};
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(xlsx.cell("fit", k + 1, 1), XlsxReader::number(k));
        EXPECT_EQ(xlsx.cell("fit", k + 1, 2), XlsxReader::number(obs[k - 1]));
        EXPECT_NEAR(xlsx.cell("fit", k + 1, 3)->number, 2 * k + 1, 1e-12);
        EXPECT_NEAR(xlsx.cell("fit", k + 1, 4)->number, obs[k - 1] - (2 * k + 1), 1e-12);
    }
    EXPECT_EQ(xlsx.charts("fit").size(), 1);

    // Interactively the report is opened for the person and named opti_res.xlsx.
    s.batch().unattended = false;
    s.analyseUncertainty();
    EXPECT_EQ(asker.opened, QStringList{tmp.filePath("data/opti_res.xlsx")});
    EXPECT_TRUE(QFile::exists(tmp.filePath("data/opti_res.xlsx")));
}

// ------------------------------------------------------------- stop requests

TEST_F(Analysis, StopRequestEndsBothAnalysesAfterTheCurrentRun) {
    {
        SCOPED_TRACE("uncertainty");
        Session s;
        open(s, param("a", 0, 2, "pa") + param("b", 0, 1, "pb"), kLinear);
        fixture::execSql(dbPath, "UPDATE PARM_INT SET ERROR = 9");
        QFile::remove(touchFile);
        duringRun(s, 2, [&s] { s.requestStop(); }); // while parameter 1 is raised
        EXPECT_THROW(s.analyseUncertainty(), FitError);
        EXPECT_EQ(modelRuns(), 2);
        EXPECT_EQ(num("SELECT AVAL FROM PARM_INT WHERE PNAME='a'"), 2);
        EXPECT_EQ(num("SELECT AVAL FROM PARM_INT WHERE PNAME='b'"), 1);
        EXPECT_EQ(num("SELECT a FROM mpar"), 2);
        EXPECT_EQ(num("SELECT b FROM mpar"), 1);
        EXPECT_EQ(num("SELECT min(ERROR) FROM PARM_INT"), 9); // untouched
        EXPECT_FALSE(s.logList().lines().contains("standard errors of parameters"));
        EXPECT_TRUE(protocol("PROT_UNC.TXT").contains("stopped"));
        EXPECT_FALSE(s.busy());
    }
    {
        SCOPED_TRACE("sensitivity");
        Session s;
        open(s,
             param("a", 1, 0, "pa") + param("b", 1, 0, "pb") + param("c", 5, 0, "pc") +
                 QString::fromUtf8(kOneRowSql).arg(0),
             kAbc);
        QFile::remove(touchFile);
        duringRun(s, 2, [&s] { s.requestStop(); });
        EXPECT_THROW(s.analyseSensitivity(), FitError);
        EXPECT_EQ(modelRuns(), 2);
        EXPECT_EQ(num("SELECT a FROM mpar"), 7); // back from the backup
        EXPECT_EQ(num("SELECT b FROM mpar"), 7);
        EXPECT_FALSE(s.logList().lines().join('\n').contains("Sensitivity of Parm"));
        EXPECT_FALSE(s.busy());
    }
}

TEST_F(Analysis, AModelStillRunningBlocksBothAnalysesBeforeTheyTouchAnything) {
    Session s;
    open(s, param("a", 0, 2, "pa") + param("b", 0, 1, "pb"), kLinear);
    s.setRunFile(fixture::writeRunScript(
        tmp.path(), {"--db", dbPath, "--sql", kLinear, "--behave", "slow", "--sleep", "1500"},
        "slow.sh"));
    // "check model run" waits for the model, serving events meanwhile.
    bool tried = false;
    QTimer::singleShot(200, &s, [&] {
        tried = true;
        ASSERT_TRUE(s.modelProcess().working());
        const int lines = s.logList().count();
        EXPECT_THROW(s.analyseUncertainty(), FitError);
        EXPECT_THROW(s.analyseSensitivity(), FitError);
        // Neither wrote into the model's tables under the running model.
        EXPECT_EQ(num("SELECT a FROM mpar"), 7);
        EXPECT_EQ(num("SELECT b FROM mpar"), 7);
        EXPECT_EQ(s.logList().count(), lines) << s.logList().lines().join("\n").toStdString();
    });
    s.checkModelRun();
    EXPECT_TRUE(tried);
}

TEST_F(Analysis, TermSignalInABatchRunStopsTheUncertaintyAnalysis) {
    Session s;
    open(s, param("a", 0, 2, "pa") + param("b", 0, 1, "pb"), kLinear);
    s.batch().unattended = true;
    s.batch().resultName = "RS_sig";
    s.settings().maxEvaluations = 4;
    QFile::remove(touchFile);
    StopSignals stops(s);
    // The analysis starts after the optimisation has logged its end; the signal
    // comes during its second model run.
    int analysisRuns = 0;
    QObject::connect(&s, &Session::connectionChanged, &s, [&](bool open) {
        if (!open &&
            s.logList().lines().contains("Optimisation finishes - results are stored as AVAL") &&
            ++analysisRuns == 2)
            ::raise(SIGTERM);
    });
    EXPECT_THROW(s.startOptimization(), FitError);
    EXPECT_EQ(analysisRuns, 2) << "the analysis went on after the signal";
    EXPECT_EQ(stops.received(), SIGTERM);
    EXPECT_EQ(batchFailureStatus(&stops), 128 + SIGTERM);
    // The batch run leaves the model's tables as they were before it, and no
    // result of the unfinished analysis.
    EXPECT_EQ(num("SELECT a FROM mpar"), 7);
    EXPECT_EQ(num("SELECT b FROM mpar"), 7);
    EXPECT_EQ(text("SELECT group_concat(ERROR) FROM PARM_INT"), "");
    EXPECT_FALSE(s.closeWasRequested());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
