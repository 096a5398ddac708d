// Restarts of the simplex (NR=) and several starts of either search (MS=): the
// points spread over the bounds, a simplex caught on a bound's face set free
// by a restart, the list of starts with the best end taken, the same protocol
// on one and on several workers with the starts side by side, and a killed
// calibration resumed to the same end.
#include "starts/multi_start.h"
#include "support/session_fixture.h"

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
#include <cmath>
#include <csignal>
#include <set>

using namespace fixture;

namespace {

TEST(SpreadPoints, EveryCellOfEveryDimensionHoldsOnePointTheSameOnEveryRun) {
    // The generator is splitmix64; its first number from the seed 0 is published.
    multistart::Generator g(0);
    EXPECT_EQ(g.next(), 0xe220a8397b1dcdafULL);

    const std::vector<double> lower = {-1, 0, 2, 1e300 * -1};
    const std::vector<double> upper = {4, 10, 2, 1e300};
    const auto points = multistart::spreadPoints(5, lower, upper);
    ASSERT_EQ(points.size(), 5u);
    for (std::size_t j = 0; j < lower.size(); ++j) {
        std::set<int> cells;
        for (const auto& x : points) {
            ASSERT_EQ(x.size(), lower.size());
            EXPECT_TRUE(std::isfinite(x[j]) && x[j] >= lower[j] && x[j] <= upper[j]) << x[j];
            if (upper[j] > lower[j])
                cells.insert(int(std::floor((x[j] / upper[j] - lower[j] / upper[j]) /
                                            (1 - lower[j] / upper[j]) * 5)));
        }
        if (upper[j] > lower[j]) {
            EXPECT_EQ(cells, (std::set<int>{0, 1, 2, 3, 4})) << "dimension " << j;
        }
    }
    EXPECT_EQ(multistart::spreadPoints(5, lower, upper), points);
    EXPECT_TRUE(multistart::spreadPoints(0, lower, upper).empty());
}

TEST(SpreadPoints, EachStartGetsAnEvenShareOfWhatIsLeft) {
    EXPECT_EQ(multistart::shareOfBudget(100, 0, 3), 33);
    EXPECT_EQ(multistart::shareOfBudget(100, 40, 2), 30);
    EXPECT_EQ(multistart::shareOfBudget(100, 90, 1), 10);
    EXPECT_EQ(multistart::shareOfBudget(10, 12, 1), 0);
}

// Side by side, a start runs on lowestShare before it knows its share: no
// start may get less, however the starts before it use theirs (each at most
// `overrun` beyond it).
TEST(SpreadPoints, NoStartGetsLessThanTheLowestShare) {
    for (int total : {0, 7, 100, 301, 3000})
        for (int starts : {1, 2, 3, 5, 8})
            for (int overrun : {0, 3, 13})
                for (int pattern = 0; pattern < 4; ++pattern) {
                    const int lowest = multistart::lowestShare(total, starts, overrun);
                    int used = 0;
                    for (int k = 0; k < starts; ++k) {
                        const int share = multistart::shareOfBudget(total, used, starts - k);
                        ASSERT_GE(share, lowest) << total << " " << starts << " " << overrun
                                                 << " pattern " << pattern << " start " << k;
                        // Every start running over, none using any, or alternating.
                        const bool over = pattern == 0 || (pattern == 2 && k % 2 == 0) ||
                                          (pattern == 3 && k % 2 == 1);
                        used += pattern == 1 ? 0 : over ? share + overrun : share;
                    }
                }
    // Not so low as to be useless: an even split where no start can run over.
    EXPECT_EQ(multistart::lowestShare(300, 3, 0), 100);
    EXPECT_EQ(multistart::lowestShare(300, 3, 3), 94);
}

const QString program = QStringLiteral(BINARY_DIR "/fitmara");

// A straight line through observations with a little noise: the least-squares
// optimum is A = 1.534285714..., B = 1.686285714... From this start the
// simplex clips a trial to A = 0 and ends on that face of the box.
const char* kDbSql = R"(
create table model_par (ID integer primary key, A double, B double);
insert into model_par values (1, 0, 0);
create table results (ID integer primary key, X double, OBS double, SIM double, VAR double);
insert into results (X, OBS, SIM, VAR) values
  (0, 1.6, 0, 1), (1, 3.15, 0, 1), (2, 4.92, 0, 1), (3, 6.52, 0, 1), (4, 8.34, 0, 1), (5, 9.97, 0, 1);
create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), PNAME char(10),
  MINIMUM double, MAXIMUM double, IVAL double, STEP double, AVAL double, SELECTION char(50),
  ALIAS char(15), ERROR double, r_2 double);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS) values
  ('model_par', 'A', 0, 10, 3.1, 3.4, 3.1, 'ID=1', 'a'),
  ('model_par', 'B', 0, 10, 8.5, -2.8, 8.5, 'ID=1', 'b');
)";
constexpr double kOptimumA = 1.5342857142857143;
constexpr double kOptimumB = 1.6862857142857142;

const QString kModelSql =
    QStringLiteral("UPDATE results SET SIM = (SELECT A FROM model_par WHERE ID=1) + "
                   "(SELECT B FROM model_par WHERE ID=1) * X");

QByteArray withoutLinesStarting(const QByteArray& protocol, const QByteArray& start) {
    QList<QByteArray> rows = protocol.split('\n');
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const QByteArray& r) { return r.startsWith(start); }),
               rows.end());
    return rows.join('\n');
}

double aval(const QString& db, const char* alias) {
    return queryDouble(db, QStringLiteral("select AVAL from PARM_INT where ALIAS='%1'").arg(alias));
}

QString avals(const QString& db) {
    return queryText(db, "select group_concat(quote(AVAL), ' ') from (select AVAL from PARM_INT "
                         "order by ITEM_IX)");
}

// The phases of the calibration's runs, but for the runs made ahead and not needed.
QString phases(const QString& db) {
    return queryText(db, "select group_concat(PHASE, ',') from (select distinct PHASE from "
                         "FITMARA_RUNS where OPERATION_ID = 1 and PHASE not like '%speculative' "
                         "order by PHASE)");
}

// The list of starts at the protocol's end: each start's end point and value.
struct ListedStart {
    std::vector<double> end;
    double value = 0;
};
std::vector<ListedStart> listedStarts(const QByteArray& protocol, int& best) {
    std::vector<ListedStart> starts;
    best = 0;
    static const QRegularExpression value(QStringLiteral("^  \\S+=([^;]+); \\d+ model runs; "));
    static const QRegularExpression named(QStringLiteral("^The best end is that of start (\\d+)"));
    for (const QString& line : QString::fromUtf8(protocol).split(QStringLiteral("\r\n"))) {
        if (line.startsWith(QStringLiteral("  ends at   "))) {
            starts.emplace_back();
            for (const QString& v : line.mid(12).split(QLatin1Char(' '), Qt::SkipEmptyParts))
                starts.back().end.push_back(v.toDouble());
        } else if (const auto m = value.match(line); m.hasMatch() && !starts.empty()) {
            starts.back().value = m.captured(1).toDouble();
        } else if (const auto n = named.match(line); n.hasMatch()) {
            best = n.captured(1).toInt();
        }
    }
    return starts;
}

class SearchStarts : public ::testing::Test {
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
                           "OV=VAR",     "KR=1E-6",
                           "NX=300",     "PR=0",
                           "PV=0",       "RS_starts",
                           "GO"} +
               extra;
    }
    ProgramEnd run(const QString& d, const QStringList& args) {
        return finishProgram(startProgram(program, d, args, headlessEnvironment()), 300000);
    }
    QTemporaryDir tmp;
};

TEST_F(SearchStarts, ARestartFreesTheSimplexFromTheBoundFaceItEndedOn) {
    const QString plain = folder("plain");
    const QString restarted = folder("restarted");
    const ProgramEnd a = run(plain, line(plain, {}));
    const ProgramEnd b = run(restarted, line(restarted, {"NR=1"}));
    // At A = 0 the uncertainty analysis has no difference step: it is refused (3).
    ASSERT_TRUE(a.status == 0 || a.status == 3) << a.err.toStdString();
    ASSERT_EQ(b.status, 0) << b.err.toStdString();

    // Alone, the simplex ends on the face A = 0, far from the optimum.
    EXPECT_LT(aval(plain + "/calib.sqlite", "a"), 0.01);
    EXPECT_FALSE(fileBytes(plain + "/Opti_Result.TXT").contains("Restart"));
    EXPECT_EQ(phases(plain + "/calib.sqlite"), QStringLiteral("initial simplex,search"));

    const QString db = restarted + "/calib.sqlite";
    EXPECT_NEAR(aval(db, "a"), kOptimumA, 1e-3);
    EXPECT_NEAR(aval(db, "b"), kOptimumB, 1e-3);
    const QByteArray protocol = fileBytes(restarted + "/Opti_Result.TXT");
    EXPECT_TRUE(protocol.contains("Restart 1 around the centroid, RMSE="))
        << protocol.toStdString();
    EXPECT_TRUE(protocol.contains("Restart 1 ends: RMSE=")) << protocol.toStdString();
    // The first search's protocol stays as it was without the restarts.
    const QByteArray before = fileBytes(plain + "/Opti_Result.TXT");
    EXPECT_TRUE(protocol.startsWith(before.left(before.indexOf("Optimisation finishes"))));
    EXPECT_TRUE(phases(db).contains("restart 1: initial simplex,restart 1: search"))
        << phases(db).toStdString();
    EXPECT_LE(queryDouble(db, "select count(*) from FITMARA_RUNS where OPERATION_ID = 1 and "
                              "PHASE not in ('initial simplex')"),
              300 + 4);
}

TEST_F(SearchStarts, EveryStartIsListedAndTheBestEndIsTheResult) {
    const struct {
        const char* name;
        QStringList keys;
        const char* value; // the value the list gives for each end
    } cases[] = {
        {"simplex", {"MS=3"}, "RMSE"},
        {"least squares", {"MS=3", "SM=LM"}, "S"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString d = folder(c.name);
        const ProgramEnd r = run(d, line(d, c.keys));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QByteArray protocol = fileBytes(d + "/Opti_Result.TXT");
        for (const char* heading : {"Start 1 of 3 from IVAL", "Start 2 of 3 from   ",
                                    "Start 3 of 3 from   ", "Starts of the search: 3 ("})
            EXPECT_TRUE(protocol.contains(heading)) << heading << "\n" << protocol.toStdString();
        EXPECT_TRUE(protocol.contains(QByteArray("  ") + c.value + "="));
        int best = 0;
        const std::vector<ListedStart> starts = listedStarts(protocol, best);
        ASSERT_EQ(starts.size(), 3u) << protocol.toStdString();
        ASSERT_TRUE(best >= 1 && best <= 3) << protocol.toStdString();
        const ListedStart& named = starts[best - 1];
        for (const ListedStart& other : starts)
            EXPECT_LE(named.value, other.value);
        const QString db = d + "/calib.sqlite";
        EXPECT_NEAR(aval(db, "a"), named.end[0], 1e-12);
        EXPECT_NEAR(aval(db, "b"), named.end[1], 1e-12);
        // The spread starts find the optimum that IVAL's simplex misses on its own.
        EXPECT_NEAR(aval(db, "a"), kOptimumA, 1e-3);
        EXPECT_TRUE(phases(db).contains("start 3: ")) << phases(db).toStdString();
        EXPECT_LE(queryDouble(db, "select count(*) from FITMARA_RUNS where OPERATION_ID = 1 and "
                                  "PHASE <> 'start 1: initial simplex'"),
                  300 + 3 * 4);
    }
}

TEST_F(SearchStarts, TheLeastSquaresStartsShareAHardBudget) {
    for (int budget : {3, 10, 20}) {
        const QString d = folder(QStringLiteral("nx%1").arg(budget));
        const ProgramEnd r =
            run(d, line(d, {"SM=LM", "MS=3", "NP=2", QStringLiteral("NX=%1").arg(budget)}));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_LE(queryDouble(d + "/calib.sqlite",
                              "select count(*) from FITMARA_RUNS where OPERATION_ID = 1"),
                  budget);
    }
}

TEST_F(SearchStarts, OneAndThreeWorkersAndAnMpiJobGiveTheSameProtocol) {
    const struct {
        QStringList keys;
        bool mpi;
    } cases[] = {{{"MS=3", "NR=1"}, true}, {{"MS=3", "SM=LM"}, true}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys.join(' ').toStdString());
        const QString one = folder(QStringLiteral("one%1").arg(n));
        const ProgramEnd a = run(one, line(one, c.keys + QStringList{"NP=1"}));
        ASSERT_EQ(a.status, 0) << a.err.toStdString();
        const QByteArray serial = fileBytes(one + "/Opti_Result.TXT");
        EXPECT_TRUE(serial.contains("Starts of the search: 3"));
        QStringList others = {folder(QStringLiteral("three%1").arg(n))};
        const ProgramEnd b = run(others[0], line(others[0], c.keys + QStringList{"NP=3"}));
        ASSERT_EQ(b.status, 0) << b.err.toStdString();
        if (c.mpi) {
            others << folder(QStringLiteral("job%1").arg(n));
            const ProgramEnd j =
                finishProgram(startProgram(QStringLiteral(MPIEXEC), others[1],
                                           QStringList{"--allow-run-as-root", "--oversubscribe",
                                                       "--bind-to", "none", "-np", "3", program} +
                                               line(others[1], c.keys),
                                           headlessEnvironment()),
                              300000);
            ASSERT_EQ(j.status, 0) << j.err.toStdString();
        }
        ++n;
        for (const QString& other : others) {
            SCOPED_TRACE(other.toStdString());
            EXPECT_EQ(withoutParallelLine(fileBytes(other + "/Opti_Result.TXT")), serial);
            EXPECT_EQ(avals(other + "/calib.sqlite"), avals(one + "/calib.sqlite"));
            EXPECT_EQ(phases(other + "/calib.sqlite"), phases(one + "/calib.sqlite"));
        }
    }
}

// The starts go side by side on the workers: runs of the later starts are
// made while those of the first one are, and the protocol and the result are
// those of the starts one after the other on one worker.
TEST_F(SearchStarts, OnSeveralWorkersTheStartsRunSideBySide) {
    // The runs of different starts that overlap in time, counted by the later start.
    const char* overlapping =
        "select count(distinct substr(b.PHASE, 1, 7)) from FITMARA_RUNS a join FITMARA_RUNS b "
        "on a.OPERATION_ID = 1 and b.OPERATION_ID = 1 and a.PHASE like 'start 1:%' "
        "and b.PHASE like 'start _:%' and b.PHASE not like 'start 1:%' "
        "and julianday(a.STARTED) < julianday(b.STARTED) + b.DURATION / 86400.0 "
        "and julianday(b.STARTED) < julianday(a.STARTED) + a.DURATION / 86400.0";
    const struct {
        const char* name;
        QStringList keys;
    } cases[] = {{"simplex", {"MS=3"}}, {"least squares", {"MS=3", "SM=LM"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString one = folder(QStringLiteral("%1 one").arg(c.name));
        const ProgramEnd a = run(one, line(one, c.keys + QStringList{"NP=1"}));
        ASSERT_EQ(a.status, 0) << a.err.toStdString();
        EXPECT_EQ(queryDouble(one + "/calib.sqlite", overlapping), 0);

        const QString four =
            folder(QStringLiteral("%1 four").arg(c.name), {"--behave", "slow", "--sleep", "40"});
        const ProgramEnd b = run(four, line(four, c.keys + QStringList{"NP=4"}));
        ASSERT_EQ(b.status, 0) << b.err.toStdString();
        EXPECT_EQ(withoutParallelLine(fileBytes(four + "/Opti_Result.TXT")),
                  fileBytes(one + "/Opti_Result.TXT"));
        EXPECT_EQ(avals(four + "/calib.sqlite"), avals(one + "/calib.sqlite"));
        EXPECT_EQ(phases(four + "/calib.sqlite"), phases(one + "/calib.sqlite"));
        EXPECT_EQ(queryDouble(four + "/calib.sqlite", overlapping), 2);
    }
}

TEST_F(SearchStarts, AKilledCalibrationOfSeveralStartsResumesToTheSameEnd) {
    // On two workers the starts go side by side: the kill finds each mid-way.
    const struct {
        const char* name;
        QStringList keys;
    } cases[] = {{"simplex", {"MS=3", "NR=1", "NP=2"}},
                 {"least squares", {"MS=3", "SM=LM", "NP=2"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QStringList& keys = c.keys;
        const QString runsRef = tmp.path() + "/runs-ref " + c.name + ".txt";
        const QString ref = folder(QStringLiteral("ref %1").arg(c.name), {"--touch", runsRef});
        const ProgramEnd a = run(ref, line(ref, keys));
        ASSERT_EQ(a.status, 0) << a.err.toStdString();
        const int refRuns = lineCount(runsRef);

        // Killed in the second half of the runs.
        const QString touch = tmp.path() + "/runs-killed " + c.name + ".txt";
        const QString d = folder(QStringLiteral("killed %1").arg(c.name),
                                 {"--behave", "slow", "--sleep", "20", "--touch", touch});
        QProcess* p = startProgram(program, d, line(d, keys), headlessEnvironment());
        QElapsedTimer clock;
        clock.start();
        while (lineCount(touch) < refRuns * 2 / 3 && clock.elapsed() < 120000)
            QThread::msleep(5);
        ::kill(static_cast<pid_t>(p->processId()), SIGKILL);
        finishProgram(p, 60000);
        QThread::msleep(300);
        const int killedRuns = lineCount(touch);
        ASSERT_GE(killedRuns, refRuns * 2 / 3);
        ASSERT_LT(killedRuns, refRuns);

        // Another number of starts is another calibration: it is not taken up.
        QStringList two = keys;
        two.replaceInStrings(QStringLiteral("MS=3"), QStringLiteral("MS=2"));
        const ProgramEnd refused = run(d, line(d, two + QStringList{"RESUME"}));
        EXPECT_NE(refused.status, 0);
        EXPECT_TRUE(refused.err.contains("the setting MS was 3 and is 2 now"))
            << refused.err.toStdString();
        EXPECT_EQ(lineCount(touch), killedRuns);

        const ProgramEnd resumed = run(d, line(d, keys + QStringList{"RESUME"}));
        ASSERT_EQ(resumed.status, 0) << resumed.err.toStdString();
        const QByteArray protocol = fileBytes(d + "/Opti_Result.TXT");
        EXPECT_TRUE(protocol.contains("Resumed from the run journal: ")) << protocol.toStdString();
        EXPECT_EQ(
            withoutLinesStarting(withoutParallelLine(protocol), "Resumed from the run journal: "),
            withoutParallelLine(fileBytes(ref + "/Opti_Result.TXT")));
        EXPECT_EQ(avals(d + "/calib.sqlite"), avals(ref + "/calib.sqlite"));
        EXPECT_LT(lineCount(touch) - killedRuns, refRuns - killedRuns / 2);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
