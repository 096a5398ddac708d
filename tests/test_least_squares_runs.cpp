// The least-squares search (SM=LM) through the built program: the true values of
// a smooth model, the same protocol one run after the other and on four
// workspaces, a budget that is never exceeded, and a killed calibration resumed
// from the run journal to the same end.
#include "support/session_fixture.h"
#include "support/xlsx_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>

using namespace fixture;

namespace {

const QString program = QStringLiteral(BINARY_DIR "/fitmara");

// Observations of exactly 2 + 3 X - 0.5 X^2; the variances differ by row.
const char* kDbSql = R"(
create table model_par (ID integer primary key, A double, B double, C double);
insert into model_par values (1, 1.0, 1.0, 0.0);
create table results (ID integer primary key, X double, OBS double, SIM double, GRP integer, VAR double);
insert into results (X, OBS, SIM, GRP, VAR) values
  (0, 2.0, 0, 1, 0.01), (1, 4.5, 0, 1, 0.02), (2, 6.0, 0, 1, 0.01),
  (3, 6.5, 0, 2, 0.03), (4, 6.0, 0, 2, 0.01), (5, 4.5, 0, 2, 0.02);
create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), PNAME char(10),
  MINIMUM double, MAXIMUM double, IVAL double, STEP double, AVAL double, SELECTION char(50),
  ALIAS char(15), ERROR double, r_2 double, r_3 double);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS) values
  ('model_par', 'A', -10, 10, 1, 0.5, 1, 'ID=1', 'a'),
  ('model_par', 'B', -10, 10, 1, 0.5, 1, 'ID=1', 'b'),
  ('model_par', 'C', -1, 1, 0.1, 0.05, 0.1, 'ID=1', 'c');
)";

const QString kModelSql = QStringLiteral(
    "UPDATE results SET SIM = (SELECT A FROM model_par WHERE ID=1) + "
    "(SELECT B FROM model_par WHERE ID=1) * X + (SELECT C FROM model_par WHERE ID=1) * X * X");

QString avals(const QString& db) {
    return queryText(db, "select group_concat(quote(AVAL), ' ') from (select AVAL from PARM_INT "
                         "order by ITEM_IX)");
}

class LeastSquaresRuns : public ::testing::Test {
  protected:
    QString folder(const QString& name, const QStringList& extraModelArgs = {}) {
        const QString d = tmp.path() + "/" + name;
        QDir().mkpath(d);
        makeDb(d, kDbSql);
        writeRunScript(d, QStringList{"--db", "calib.sqlite", "--sql", kModelSql} + extraModelArgs);
        return d;
    }
    static QStringList line(const QString& d, const QStringList& extra) {
        return QStringList{"RF=run.sh",  "DB=" + d + "/calib.sqlite",
                           "RT=results", "CD=1=1",
                           "OB=OBS",     "MO=SIM",
                           "IX=GRP",     "OV=VAR",
                           "KR=1E-10",   "NX=60",
                           "PR=0",       "PV=0",
                           "SM=LM",      "RS_lm",
                           "GO"} +
               extra;
    }
    ProgramEnd run(const QString& d, const QStringList& args) {
        return finishProgram(startProgram(program, d, args, headlessEnvironment()), 300000);
    }
    QTemporaryDir tmp;
};

TEST_F(LeastSquaresRuns, FindsTheTrueValuesWithTheSameProtocolOnOneAndOnFourWorkers) {
    const QString one = folder("one", {"--touch", tmp.path() + "/runs-one.txt"});
    const QString four = folder("four", {"--touch", tmp.path() + "/runs-four.txt"});
    const ProgramEnd a = run(one, line(one, {"NP=1"}));
    const ProgramEnd b = run(four, line(four, {"NP=4"}));
    ASSERT_EQ(a.status, 0) << a.err.toStdString();
    ASSERT_EQ(b.status, 0) << b.err.toStdString();

    const QString db = one + "/calib.sqlite";
    EXPECT_NEAR(queryDouble(db, "select AVAL from PARM_INT where ALIAS='a'"), 2.0, 1e-6);
    EXPECT_NEAR(queryDouble(db, "select AVAL from PARM_INT where ALIAS='b'"), 3.0, 1e-6);
    EXPECT_NEAR(queryDouble(db, "select AVAL from PARM_INT where ALIAS='c'"), -0.5, 1e-6);

    const QByteArray serial = fileBytes(one + "/Opti_Result.TXT");
    EXPECT_TRUE(serial.contains("It minimises S = sum of w_i * (obs_i - sim_i)^2 over the 6 "
                                "chosen result rows, w_i = 1 / VAR"))
        << serial.toStdString();
    EXPECT_TRUE(serial.contains("  RMSE=")) << serial.toStdString();
    EXPECT_TRUE(serial.contains("Least-squares search ends: ")) << serial.toStdString();
    // The uncertainty from the Jacobian at the result, as the analysis after it finds.
    EXPECT_TRUE(serial.contains("  a: 2 +/- 0.0948683298050")) << serial.toStdString();
    EXPECT_TRUE(serial.contains("  parameters the data cannot determine: none"));
    const QByteArray parallel = fileBytes(four + "/Opti_Result.TXT");
    EXPECT_TRUE(parallel.contains("Parallel runs: ")) << parallel.toStdString();
    EXPECT_EQ(withoutParallelLine(parallel), serial);
    EXPECT_EQ(avals(four + "/calib.sqlite"), avals(db));
    EXPECT_EQ(lineCount(tmp.path() + "/runs-four.txt"), lineCount(tmp.path() + "/runs-one.txt"));

    // Every run is journaled with what it was for.
    EXPECT_EQ(queryText(db, "select group_concat(PHASE, ',') from (select distinct PHASE from "
                            "FITMARA_RUNS where OPERATION_ID = 1 order by PHASE)"),
              "jacobian,start,upgrade");
    EXPECT_EQ(queryDouble(db, "select count(*) from FITMARA_RUNS where OPERATION_ID = 1 and "
                              "COMPLETE = 1 and SIMULATED is null"),
              0);
}

TEST_F(LeastSquaresRuns, TheWorkbookGetsASheetOfTheUncertaintyAtTheResult) {
    const QString d = folder("book");
    const ProgramEnd end = run(d, line(d, {"NP=1", "XL_OUT"}));
    ASSERT_EQ(end.status, 0) << end.err.toStdString();
    const XlsxReader book(d + "/RS_lm.xlsx");
    // The analysis' own sheets keep their places; the new one comes last.
    ASSERT_EQ(book.sheetNames().size(), 5) << book.sheetNames().join(',').toStdString();
    EXPECT_EQ(book.sheetNames().value(3), QStringLiteral("fit"));
    EXPECT_EQ(book.sheetNames().value(4), QStringLiteral("least squares"));
    const QString sheet = QStringLiteral("least squares");
    EXPECT_EQ(book.cell(sheet, 1, 3), XlsxReader::text("standard error"));
    const QString db = d + "/calib.sqlite";
    const char* names[] = {"a", "b", "c"};
    for (int j = 0; j < 3; ++j) {
        SCOPED_TRACE(names[j]);
        EXPECT_EQ(book.cell(sheet, j + 2, 1), XlsxReader::text(names[j]));
        EXPECT_DOUBLE_EQ(
            book.cell(sheet, j + 2, 2)->number,
            queryDouble(db, QString("select AVAL from PARM_INT where ALIAS='%1'").arg(names[j])));
        // The interval is the estimate give or take 1.96 standard errors (OV= given).
        const double se = book.cell(sheet, j + 2, 3)->number;
        EXPECT_NEAR(book.cell(sheet, j + 2, 5)->number - book.cell(sheet, j + 2, 4)->number,
                    2 * 1.959964 * se, 1e-6 * se);
        // A parameter's correlation with itself.
        EXPECT_DOUBLE_EQ(book.cell(sheet, 7 + j, 2 + j)->number, 1.0);
    }
    // As the protocol gives it: "a: 2 +/- 0.0948683298050".
    EXPECT_NEAR(book.cell(sheet, 2, 3)->number, 0.0948683298050, 1e-12);
    EXPECT_EQ(book.cell(sheet, 6, 1), XlsxReader::text("correlation"));
    ASSERT_EQ(book.cell(sheet, 11, 1), XlsxReader::text("condition number of F"));
    EXPECT_GE(book.cell(sheet, 11, 2)->number, 1.0);
}

TEST_F(LeastSquaresRuns, AnMpiJobGivesTheSameProtocolWithCentralDifferences) {
    const QString one = folder("one");
    const QString job = folder("job");
    const ProgramEnd a = run(one, line(one, {"JD=central"}));
    ASSERT_EQ(a.status, 0) << a.err.toStdString();
    const ProgramEnd b =
        finishProgram(startProgram(QStringLiteral(MPIEXEC), job,
                                   QStringList{"--allow-run-as-root", "--oversubscribe",
                                               "--bind-to", "none", "-np", "3", program} +
                                       line(job, {"JD=central"}),
                                   headlessEnvironment()),
                      300000);
    ASSERT_EQ(b.status, 0) << b.err.toStdString();
    const QByteArray serial = fileBytes(one + "/Opti_Result.TXT");
    EXPECT_TRUE(serial.contains("Jacobian: central differences")) << serial.toStdString();
    const QByteArray parallel = fileBytes(job + "/Opti_Result.TXT");
    EXPECT_TRUE(parallel.contains("Parallel runs: ")) << parallel.toStdString();
    EXPECT_EQ(withoutParallelLine(parallel), serial);
    EXPECT_EQ(avals(job + "/calib.sqlite"), avals(one + "/calib.sqlite"));
}

TEST_F(LeastSquaresRuns, NeverMoreModelRunsThanTheBudget) {
    for (int budget : {1, 4, 5, 9}) {
        const QString d = folder(QStringLiteral("nx%1").arg(budget),
                                 {"--touch", tmp.path() + QStringLiteral("/nx%1.txt").arg(budget)});
        const ProgramEnd r = run(d, line(d, {QStringLiteral("NX=%1").arg(budget), "NP=3"}));
        const int made = lineCount(tmp.path() + QStringLiteral("/nx%1.txt").arg(budget));
        const int calibrationRuns = int(queryDouble(
            d + "/calib.sqlite", "select count(*) from FITMARA_RUNS where OPERATION_ID = 1"));
        EXPECT_LE(calibrationRuns, budget) << budget << r.err.toStdString();
        // The uncertainty analysis after it makes the others.
        EXPECT_GE(made, calibrationRuns);
        EXPECT_TRUE(fileBytes(d + "/Opti_Result.TXT")
                        .contains("Least-squares search ends: the model runs allowed (NX) are "
                                  "spent"))
            << budget;
    }
}

TEST_F(LeastSquaresRuns, KilledCalibrationResumesToTheSameEnd) {
    const QString ref = folder("ref");
    const ProgramEnd a = run(ref, line(ref, {"NP=2"}));
    ASSERT_EQ(a.status, 0) << a.err.toStdString();

    const QString touch = tmp.path() + "/runs-killed.txt";
    const QString d = folder("killed", {"--behave", "slow", "--sleep", "60", "--touch", touch});
    QProcess* p = startProgram(program, d, line(d, {"NP=2"}), headlessEnvironment());
    QElapsedTimer clock;
    clock.start();
    while (lineCount(touch) < 9 && clock.elapsed() < 60000)
        QThread::msleep(5);
    ::kill(static_cast<pid_t>(p->processId()), SIGKILL);
    finishProgram(p, 60000);
    QThread::msleep(300);
    const int killedRuns = lineCount(touch);
    ASSERT_GE(killedRuns, 9);

    const ProgramEnd resumed = run(d, line(d, {"NP=2", "RESUME"}));
    ASSERT_EQ(resumed.status, 0) << resumed.err.toStdString();
    QByteArray protocol = fileBytes(d + "/Opti_Result.TXT");
    const int cut = protocol.indexOf("Resumed from the run journal: ");
    ASSERT_GE(cut, 0) << protocol.toStdString();
    const int end = protocol.indexOf('\n', cut);
    const std::string resumedLine = protocol.mid(cut, end - cut).toStdString();
    protocol.remove(cut, end - cut + 1);
    EXPECT_EQ(withoutParallelLine(protocol),
              withoutParallelLine(fileBytes(ref + "/Opti_Result.TXT")));
    EXPECT_EQ(avals(d + "/calib.sqlite"), avals(ref + "/calib.sqlite"));
    // The runs the first start completed were not made again.
    const int refRuns = int(queryDouble(
        ref + "/calib.sqlite", "select count(*) from FITMARA_RUNS where OPERATION_ID = 1"));
    EXPECT_LT(lineCount(touch) - killedRuns, refRuns) << resumedLine;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
