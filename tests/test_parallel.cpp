// Parallel model runs (NP > 1) through the built program: the same protocols
// and results as one run after the other, a run script that writes into the real
// database caught, and SIGTERM ending every running model.
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

using namespace fixture;

namespace {

const QString program = QStringLiteral(BINARY_DIR "/fitmara");

const QString kParmIntTable = QStringLiteral(R"(
create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME char(16), PNAME char(10),
  MINIMUM double, MAXIMUM double, IVAL double, STEP double, AVAL double, SELECTION char(50),
  ALIAS char(15), ERROR double, r_2 double, r_3 double);
)");

// Three parameters; the model is deliberately rough (A counts in quarter steps),
// so the search meets plateaus: reflections, expansions and contractions.
const QString kDbSql = kParmIntTable + R"(
create table model_par (ID integer primary key, A double, B double, C double);
insert into model_par values (1, 1.0, 1.0, 0.0);
create table results (ID integer primary key, X double, OBS double, SIM double, GRP integer, VAR double);
insert into results (X, OBS, SIM, GRP, VAR) values
  (0, 2.05, 0, 1, 0.01), (1, 4.97, 0, 1, 0.02), (2, 8.52, 0, 1, 0.01),
  (3, 11.96, 0, 2, 0.03), (4, 16.03, 0, 2, 0.01), (5, 20.99, 0, 2, 0.02);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS) values
  ('model_par', 'A', -10, 10, 1, 0.5, 1, 'ID=1', 'a'),
  ('model_par', 'B', -10, 10, 1, 0.5, 1, 'ID=1', 'b'),
  ('model_par', 'C', -1, 1, 0.1, 0.05, 0.1, 'ID=1', 'c');
)";

const QString kModelSql = QStringLiteral(
    "UPDATE results SET SIM = round((SELECT A FROM model_par WHERE ID=1) * 4) / 4.0 + "
    "(SELECT B FROM model_par WHERE ID=1) * X + (SELECT C FROM model_par WHERE ID=1) * X * X");

using Ended = ProgramEnd;

QProcess* startProgram(const QString& dir, const QStringList& args) {
    return fixture::startProgram(program, dir, args, headlessEnvironment());
}

Ended finish(QProcess* p, int timeoutMs = 300000) {
    return fixture::finishProgram(p, timeoutMs);
}

// Every PARM_INT value as text, row by row.
QString parmInt(const QString& db) {
    return queryText(db, "select group_concat(ITEM_IX || '|' || quote(AVAL) || '|' || "
                         "quote(ERROR) || '|' || quote(r_2) || '|' || quote(r_3), ';') "
                         "from (select * from PARM_INT order by ITEM_IX)");
}

// Processes whose command line mentions `marker` (the stand-in's touch file).
int processesWith(const QString& marker) {
    return int(processesMentioning(marker).size());
}

class Parallel : public ::testing::Test {
  protected:
    // A model folder of its own: the database and a run script naming it relatively.
    QString folder(const QString& name, const QStringList& extraModelArgs = {},
                   const QString& modelSql = kModelSql) {
        const QString d = tmp.path() + "/" + name;
        QDir().mkpath(d);
        makeDb(d, kDbSql);
        writeRunScript(d, QStringList{"--db", "calib.sqlite", "--sql", modelSql} + extraModelArgs);
        return d;
    }
    static QStringList line(const QString& d, const QStringList& extra) {
        return QStringList{"RF=run.sh",  "DB=" + d + "/calib.sqlite",
                           "RT=results", "CD=1=1",
                           "OB=OBS",     "MO=SIM",
                           "IX=GRP",     "OV=VAR",
                           "KR=1E-7",    "NX=150",
                           "PR=0",       "PV=0",
                           "RS_par",     "GO"} +
               extra;
    }
    QTemporaryDir tmp;
};

TEST_F(Parallel, FourWorkersGiveTheProtocolsAndValuesOfOneAfterTheOther) {
    const QString one = folder("one", {"--touch", tmp.path() + "/runs-one.txt"});
    const QString four = folder("four");
    const Ended a = finish(startProgram(one, line(one, {"NP=1"})));
    const Ended b = finish(startProgram(four, line(four, {"NP=4"})));
    ASSERT_EQ(a.status, 0) << a.err.toStdString();
    ASSERT_EQ(b.status, 0) << b.err.toStdString();

    // The protocol of NP=4 is that of NP=1 and one closing line more.
    const QByteArray serial = fileBytes(one + "/Opti_Result.TXT");
    QList<QByteArray> parallelLines = fileBytes(four + "/Opti_Result.TXT").split('\n');
    int closing = -1;
    for (int i = 0; i < parallelLines.size(); ++i)
        if (parallelLines[i].startsWith("Parallel runs: "))
            closing = i;
    ASSERT_GE(closing, 0) << "no closing line";
    EXPECT_TRUE(parallelLines[closing].contains("4 workspaces made"))
        << parallelLines[closing].toStdString();
    parallelLines.removeAt(closing);
    EXPECT_EQ(parallelLines.join('\n'), serial);
    EXPECT_GT(lineCount(tmp.path() + "/runs-one.txt"), 60)
        << "the search did too little to compare";

    // The uncertainty protocol holds the same log, and the same closing line.
    QList<QByteArray> rs = fileBytes(four + "/RS_par.txt").split('\n');
    rs.removeAll(fileBytes(four + "/Opti_Result.TXT").split('\n').value(closing));
    EXPECT_EQ(rs.join('\n'), fileBytes(one + "/RS_par.txt"));

    EXPECT_EQ(parmInt(four + "/calib.sqlite"), parmInt(one + "/calib.sqlite"));
    EXPECT_EQ(queryText(four + "/calib.sqlite", "select A||' '||B||' '||C from model_par"),
              "1.0 1.0 0.0");
    // The workspaces are gone after a run that ended well.
    EXPECT_FALSE(QDir(four + "/.fitmara-work").exists());
    EXPECT_FALSE(QDir(one + "/.fitmara-work").exists());

    // The run journal: one row per model run. The runs the search and the
    // analysis used are those of one after the other, in the same order, phases
    // and values; the points evaluated ahead and not used are "speculative".
    const QString used = QStringLiteral(
        "select group_concat(line, ';') from (select o.KIND || ' ' || r.PHASE || ' ' || r.PARAMS "
        "|| ' ' || quote(r.CRITERION) || ' ' || r.COMPLETE || ' ' || r.TRY as line from "
        "FITMARA_RUNS r join FITMARA_OPERATIONS o on o.ID = r.OPERATION_ID where r.PHASE <> "
        "'speculative' order by r.ID)");
    const QString serialRuns = queryText(one + "/calib.sqlite", used);
    EXPECT_FALSE(serialRuns.isEmpty());
    EXPECT_EQ(queryText(four + "/calib.sqlite", used), serialRuns);
    EXPECT_EQ(queryText(one + "/calib.sqlite", "select count(*) from FITMARA_RUNS").toInt(),
              lineCount(tmp.path() + "/runs-one.txt"));
    EXPECT_EQ(queryText(one + "/calib.sqlite",
                        "select count(*) from FITMARA_RUNS where PHASE = 'speculative'"),
              "0");
    const QByteArray closingLine =
        fileBytes(four + "/Opti_Result.TXT").split('\n').value(closing).trimmed();
    const QByteArray speculative =
        closingLine.mid(int(strlen("Parallel runs: "))).split(' ').value(0);
    EXPECT_EQ(queryText(four + "/calib.sqlite",
                        "select count(*) from FITMARA_RUNS where PHASE = 'speculative'"),
              QString::fromLatin1(speculative))
        << closingLine.toStdString();
    // Each row names the worker that made the run; no running number twice.
    EXPECT_EQ(queryText(four + "/calib.sqlite",
                        "select count(*) from FITMARA_RUNS where WORKER not between 1 and 4"),
              "0");
    EXPECT_EQ(queryText(four + "/calib.sqlite", "select count(distinct WORKER) > 1 from "
                                                "FITMARA_RUNS"),
              "1");
    for (const QString& d : {one, four})
        EXPECT_EQ(queryText(d + "/calib.sqlite",
                            "select count(*) - count(distinct OPERATION_ID || '-' || RUN) from "
                            "FITMARA_RUNS"),
                  "0")
            << d.toStdString();
}

// Six parameters, a polynomial over twelve rows.
const QString kSixParameterDbSql = kParmIntTable + R"(
create table model_par (ID integer primary key, A double, B double, C double, D double, E double,
  F double);
insert into model_par values (1, 1, 1, 0.5, 0.5, 0.5, 0.5);
create table results (ID integer primary key, X double, OBS double, SIM double, GRP integer,
  VAR double);
insert into results (X, OBS, SIM, GRP, VAR) values
  (0.0, 2.01, 0, 1, 0.01), (0.1, 2.33, 0, 1, 0.01), (0.2, 2.62, 0, 1, 0.01),
  (0.3, 3.05, 0, 1, 0.01), (0.4, 3.38, 0, 1, 0.01), (0.5, 3.77, 0, 1, 0.01),
  (0.6, 4.20, 0, 2, 0.01), (0.7, 4.61, 0, 2, 0.01), (0.8, 5.12, 0, 2, 0.01),
  (0.9, 5.58, 0, 2, 0.01), (1.0, 6.11, 0, 2, 0.01), (1.1, 6.72, 0, 2, 0.01);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS) values
  ('model_par', 'A', -10, 10, 1, 0.5, 1, 'ID=1', 'a'),
  ('model_par', 'B', -10, 10, 1, 0.5, 1, 'ID=1', 'b'),
  ('model_par', 'C', -10, 10, 0.5, 0.5, 0.5, 'ID=1', 'c'),
  ('model_par', 'D', -10, 10, 0.5, 0.5, 0.5, 'ID=1', 'd'),
  ('model_par', 'E', -10, 10, 0.5, 0.5, 0.5, 'ID=1', 'e'),
  ('model_par', 'F', -10, 10, 0.5, 0.5, 0.5, 'ID=1', 'f');
)";

// No more workspaces than a round of the search can use, and the analysis
// that follows gets those its n + 1 (2n + 1) runs need: the simplex runs at
// most four points at once (its initial simplex and shrinks take turns on
// them), the least-squares search a trial step with its n (2n) differences;
// within NP. The model sleeps, so that the runs of a round overlap and each
// worker that exists is given one.
TEST_F(Parallel, WorkspacesMadeFollowWhatARoundCanUse) {
    const QString sixParameterModel = QStringLiteral(
        "UPDATE results SET SIM = (SELECT A + B * X + C * X * X + D * X * X * X + E * X * X * X * "
        "X + F * X * X * X * X * X FROM model_par WHERE ID = 1)");
    const struct {
        const char* name;
        bool sixParameters;
        QStringList keys;
        const char* searchMade; // in the search's closing line
        int analysisWorkers;    // the workers the analysis' runs went to
    } cases[] = {
        {"3 NM NP=8", false, {"NP=8"}, "4 workspaces made", 4},
        {"3 NM NP=4", false, {"NP=4"}, "4 workspaces made", 4},
        {"3 NM NP=2", false, {"NP=2"}, "2 workspaces made", 2},
        {"6 NM NP=8", true, {"NP=8"}, "4 workspaces made", 7},
        {"6 NM NP=3", true, {"NP=3"}, "3 workspaces made", 3},
        {"6 NM central NP=8", true, {"NP=8", "JD=central"}, "4 workspaces made", 8},
        {"6 LM NP=8", true, {"NP=8", "SM=LM"}, "7 workspaces made", 7},
        {"6 LM central NP=8", true, {"NP=8", "SM=LM", "JD=central"}, "8 workspaces made", 8},
    };
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString d = tmp.path() + "/made" + QString::number(++k);
        QDir().mkpath(d);
        makeDb(d, c.sixParameters ? kSixParameterDbSql : kDbSql);
        writeRunScript(d, QStringList{"--db", "calib.sqlite", "--sql",
                                      c.sixParameters ? sixParameterModel : kModelSql, "--behave",
                                      "slow", "--sleep", "200"});
        const Ended e = finish(startProgram(d, line(d, c.keys + QStringList{"NX=8"})));
        ASSERT_EQ(e.status, 0) << e.err.toStdString();
        const QByteArray protocol = fileBytes(d + "/Opti_Result.TXT");
        EXPECT_TRUE(protocol.contains(c.searchMade)) << protocol.right(300).toStdString();
        const QString workersOf = QStringLiteral(
            "select count(distinct r.WORKER) from FITMARA_RUNS r join FITMARA_OPERATIONS o on "
            "o.ID = r.OPERATION_ID where o.KIND = '%1'");
        EXPECT_EQ(queryText(d + "/calib.sqlite", workersOf.arg("uncertainty")).toInt(),
                  c.analysisWorkers);
        EXPECT_EQ(queryText(d + "/calib.sqlite", workersOf.arg("calibration")),
                  QString::fromLatin1(c.searchMade).section(' ', 0, 0));
    }
}

// The lines of the stand-in's touch file that say `mode` (the runs that behaved so).
static int runsThat(const QString& touch, const char* mode) {
    return int(fileBytes(touch).split('\n').count(QByteArray("run ") + mode));
}

TEST_F(Parallel, FailedRunsInWorkspacesAreTriedAgainAndEachTryIsJournaled) {
    // Runs going on together may read the same count from the touch file; the
    // file says which runs crashed or left a row, and the counts below use it.
    const QString touch = tmp.path() + "/runs-retry.txt";
    const QString d =
        folder("retry", {"--touch", touch, "--run-mode", "2=crash", "--run-mode", "9=leave"});
    const Ended r = finish(startProgram(d, line(d, {"NP=2", "RR=1", "NX=40"})));
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QString db = d + "/calib.sqlite";
    const int crashed = runsThat(touch, "crash");
    const int left = runsThat(touch, "leave");
    ASSERT_GE(crashed + left, 1);
    // Every model run started has its row, the failed tries included.
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS").toInt(), lineCount(touch));
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS where TRY = 2").toInt(),
              crashed + left);
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS where TRY = 2 and COMPLETE = 0"),
              "0");
    // Each second try follows a failed first one of the same run, vector and worker.
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS a where TRY = 2 and not exists "
                            "(select 1 from FITMARA_RUNS b where b.OPERATION_ID = a.OPERATION_ID "
                            "and b.RUN = a.RUN and b.TRY = 1 and b.COMPLETE = 0 and b.PARAMS = "
                            "a.PARAMS and b.WORKER = a.WORKER)"),
              "0");
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS where TRY = 1 and COMPLETE = 0 "
                            "and STATUS like 'model run ended: killed by signal 6%'")
                  .toInt(),
              crashed);
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS where TRY = 1 and COMPLETE = 0 "
                            "and STATUS = 'incomplete: result rows left at -99'")
                  .toInt(),
              left);
}

// The protocol without the lines by which a parallel or resumed one differs.
static QByteArray protocolWithout(const QString& file) {
    QList<QByteArray> kept;
    for (const QByteArray& l : fileBytes(file).split('\n'))
        if (!l.startsWith("Parallel runs: ") && !l.startsWith("Resumed from the run journal: "))
            kept.append(l);
    return kept.join('\n');
}

// A model in steps in A and B: on its plateaus a contraction is often no
// better than the worst vertex, and the simplex shrinks. Three workers make
// the shrinks' runs at once and still take the serial decisions.
TEST_F(Parallel, ShrinksRunInParallelWithTheSerialDecisions) {
    const QString stepped = QStringLiteral(
        "UPDATE results SET SIM = round((SELECT A FROM model_par WHERE ID=1) * 4) / 4.0 + "
        "round((SELECT B FROM model_par WHERE ID=1) * 4) / 4.0 * X + (SELECT C FROM model_par "
        "WHERE ID=1) * X * X");
    const QString one = folder("stepped-one", {}, stepped);
    const QString three = folder("stepped-three", {}, stepped);
    const Ended a = finish(startProgram(one, line(one, {"NP=1"})));
    const Ended b = finish(startProgram(three, line(three, {"NP=3"})));
    ASSERT_EQ(a.status, 0) << a.err.toStdString();
    ASSERT_EQ(b.status, 0) << b.err.toStdString();
    EXPECT_EQ(protocolWithout(three + "/Opti_Result.TXT"),
              protocolWithout(one + "/Opti_Result.TXT"));
    EXPECT_EQ(parmInt(three + "/calib.sqlite"), parmInt(one + "/calib.sqlite"));
    const QString shrinks = "select count(*) from FITMARA_RUNS where PHASE = 'shrink'";
    EXPECT_NE(queryText(one + "/calib.sqlite", shrinks), "0");
    EXPECT_EQ(queryText(three + "/calib.sqlite", shrinks),
              queryText(one + "/calib.sqlite", shrinks));
    // The shrink's runs went on at the same time, on more than one worker.
    EXPECT_EQ(queryText(three + "/calib.sqlite", "select count(distinct WORKER) > 1 from "
                                                 "FITMARA_RUNS where PHASE = 'shrink'"),
              "1");
}

TEST_F(Parallel, KilledParallelCalibrationResumesFromTheJournalToTheSameEnd) {
    const QString ref = folder("reference");
    const QString touch = tmp.path() + "/runs-resume.txt";
    const QString d = folder("resume", {"--behave", "slow", "--sleep", "40", "--touch", touch});
    const QStringList args = line(d, {"NP=2", "NX=60"});
    const Ended reference = finish(startProgram(ref, line(ref, {"NP=1", "NX=60"})));
    ASSERT_EQ(reference.status, 0) << reference.err.toStdString();

    // Killed (no clean-up at all) after some runs.
    QProcess* p = startProgram(d, args);
    QElapsedTimer clock;
    clock.start();
    while (lineCount(touch) < 16 && clock.elapsed() < 60000)
        QThread::msleep(5);
    ::kill(static_cast<pid_t>(p->processId()), SIGKILL);
    finish(p);
    QThread::msleep(300); // the model runs under way end on their own
    const QString db = d + "/calib.sqlite";
    const int journaled =
        queryText(db, "select count(*) from FITMARA_RUNS where COMPLETE = 1").toInt();
    ASSERT_GT(journaled, 0);
    // The runs of the round under way that had not ended have no row; no row
    // tells of a run that did not happen.
    const int rowsAfterKill = queryText(db, "select count(*) from FITMARA_RUNS").toInt();
    const int runsAfterKill = lineCount(touch);
    EXPECT_LE(rowsAfterKill, runsAfterKill);

    const Ended resumed = finish(startProgram(d, args + QStringList{"RESUME"}));
    ASSERT_EQ(resumed.status, 0) << resumed.err.toStdString();
    const QByteArray protocol = fileBytes(d + "/Opti_Result.TXT");
    EXPECT_TRUE(protocol.contains("Resumed from the run journal: ")) << protocol.toStdString();
    EXPECT_FALSE(protocol.contains("Resumed from the run journal: 0 ")) << protocol.toStdString();
    // What was taken from the journal and what was made now are the runs the
    // search used: as many as one after the other made, none it did not use.
    const QRegularExpression counts("Resumed from the run journal: (\\d+) model runs taken from "
                                    "it, (\\d+) made now");
    const QRegularExpressionMatch m = counts.match(QString::fromUtf8(protocol));
    ASSERT_TRUE(m.hasMatch()) << protocol.toStdString();
    EXPECT_EQ(m.captured(1).toInt() + m.captured(2).toInt(),
              queryText(ref + "/calib.sqlite",
                        "select count(*) from FITMARA_RUNS r join FITMARA_OPERATIONS o on o.ID = "
                        "r.OPERATION_ID where o.KIND = 'calibration'")
                  .toInt());
    EXPECT_EQ(protocolWithout(d + "/Opti_Result.TXT"), protocolWithout(ref + "/Opti_Result.TXT"));
    EXPECT_EQ(parmInt(db), parmInt(ref + "/calib.sqlite"));
    EXPECT_EQ(queryText(db, "select group_concat(KIND || ':' || coalesce(OUTCOME, 'none') || ':' "
                            "|| RESUMED, ' ') from FITMARA_OPERATIONS"),
              "calibration:finished:1 uncertainty:finished:0");
    // One row per model run of the second start.
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS").toInt() - rowsAfterKill,
              lineCount(touch) - runsAfterKill);
}

// The runs of a round that ended are journaled while the round goes on, also
// those that end before a run started ahead of them: a program killed while
// one of the first two vertices of the initial simplex still runs (the first
// model to start hangs) keeps the rows of the three others.
TEST_F(Parallel, RunsThatEndedAreJournaledBeforeTheRoundIsOver) {
    const QString touch = tmp.path() + "/runs-round.txt";
    const QString d = folder("round", {"--touch", touch, "--run-mode", "1=hang"});
    const QString db = d + "/calib.sqlite";
    QProcess* p = startProgram(d, line(d, {"NP=2"}));
    QElapsedTimer clock;
    clock.start();
    auto rows = [&] { return queryText(db, "select count(*) from FITMARA_RUNS").toInt(); };
    while ((lineCount(touch) < 4 || rows() < 3) && clock.elapsed() < 30000)
        QThread::msleep(50);
    ::kill(static_cast<pid_t>(p->processId()), SIGKILL);
    finish(p);
    // The hanging model outlives the killed program: end it.
    for (int pid : processesMentioning(touch))
        ::kill(pid, SIGKILL);
    EXPECT_EQ(lineCount(touch), 4);
    EXPECT_EQ(queryText(db, "select count(distinct RUN) || ' ' || group_concat(distinct PHASE) "
                            "|| ' ' || sum(COMPLETE) from FITMARA_RUNS"),
              "3 initial simplex 3");
    // Runs 3 and 4 started after the hanging one (run 1 or 2) and ended before it.
    EXPECT_EQ(queryText(db, "select count(*) from FITMARA_RUNS where RUN in (3, 4)"), "2");
}

TEST_F(Parallel, RunScriptWritingTheRealDatabaseIsAnErrorAndNothingChanges) {
    const QString d = tmp.path() + "/absolute";
    QDir().mkpath(d);
    const QString db = makeDb(d, kDbSql);
    writeRunScript(d, {"--db", db, "--sql", kModelSql});
    const QString before = parmInt(db);
    const Ended r = finish(startProgram(d, line(d, {"NP=4"})));
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("$FITMARA_DB")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(db)) << r.err.toStdString();
    EXPECT_EQ(queryText(db, "select A||' '||B||' '||C from model_par"), "1.0 1.0 0.0");
    EXPECT_EQ(parmInt(db), before);
}

TEST_F(Parallel, WorkspacesThatCannotBeMadeAreAnErrorBeforeAnyRun) {
    const QString d = folder("nowhere", {"--touch", tmp.path() + "/runs-nowhere.txt"});
    QFile blocker(tmp.path() + "/file");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const Ended r = finish(startProgram(d, line(d, {"NP=2", "WD=" + tmp.path() + "/file/x"})));
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(tmp.path() + "/file")) << r.err.toStdString();
    EXPECT_EQ(lineCount(tmp.path() + "/runs-nowhere.txt"), 0);
    EXPECT_EQ(queryText(d + "/calib.sqlite", "select A||' '||B||' '||C from model_par"),
              "1.0 1.0 0.0");
}

TEST_F(Parallel, SigtermEndsEveryRunningModelAndRestoresTheTables) {
    const QString touch = tmp.path() + "/runs-term.txt";
    const QString d = folder("term", {"--behave", "hang", "--touch", touch});
    QProcess* p = startProgram(d, line(d, {"NP=4"}));
    QElapsedTimer clock;
    clock.start();
    while ((lineCount(touch) < 4 || processesWith(touch) < 4) && clock.elapsed() < 60000)
        QThread::msleep(50);
    ASSERT_EQ(lineCount(touch), 4) << "four runs should be going on";
    ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
    const Ended r = finish(p, 60000);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.status, 143) << r.err.toStdString();
    EXPECT_EQ(processesWith(touch), 0) << "a model process was left running";
    EXPECT_EQ(queryText(d + "/calib.sqlite", "select A||' '||B||' '||C from model_par"),
              "1.0 1.0 0.0");
}

TEST(ParallelKeys, NpAndWdAreCheckedWithTheKeyAndValueNamed) {
    QTemporaryDir tmp;
    struct Case {
        const char* arg;
        const char* message;
    };
    for (const Case& c : std::vector<Case>{{"NP=0", "NP=0"},
                                           {"NP=two", "NP=two"},
                                           {"NP=-3", "NP=-3"},
                                           {"NP=", "NP="},
                                           {"WD=", "WD="}}) {
        SCOPED_TRACE(c.arg);
        const QString db = makeDb(tmp.path(), kDbSql);
        const Ended r = finish(startProgram(tmp.path(), {"DB=" + db, c.arg, "GO"}));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
