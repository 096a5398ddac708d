// The MPI engine: its messages and launch detection on their own, and real
// jobs of three ranks (mpirun on tests/mpi/mpi_ranks) for the transport.
#include "base/fit_error.h"
#include "engine/mpi_launch.h"
#include "engine/mpi_messages.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <bit>
#include <limits>

namespace {

::testing::AssertionResult sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << a.size() << " values against " << b.size();
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::bit_cast<quint64>(a[i]) != std::bit_cast<quint64>(b[i]))
            return ::testing::AssertionFailure() << "value " << i << " differs in its bits";
    return ::testing::AssertionSuccess();
}

const double quietNan = std::bit_cast<double>(quint64(0x7FF8000000000001ull));
const double signallingNan = std::bit_cast<double>(quint64(0x7FF0000000000F0Full));
const double negativeNan = std::bit_cast<double>(quint64(0xFFF8DEADBEEF0000ull));

const std::vector<std::vector<double>> awkwardVectors = {
    {},
    {0.1},
    {-0.0, 0.0, 1.0 / 3.0, -2.0 / 7.0},
    {std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
     std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
     std::numeric_limits<double>::lowest(), std::numeric_limits<double>::epsilon()},
    {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), quietNan,
     signallingNan, negativeNan},
};

TEST(MpiMessages, RunRequestsAndResultsKeepEveryBit) {
    for (std::size_t i = 0; i < awkwardVectors.size(); ++i) {
        SCOPED_TRACE(i);
        const std::vector<double>& v = awkwardVectors[i];
        const RunRequest request{qint64(i) * 1000003 - 7, v, i % 2 == 1, RunPhase(i % 5)};
        const RunRequest r = decodeRunRequest(encode(request));
        EXPECT_EQ(r.run, request.run);
        EXPECT_TRUE(sameBits(r.vector, v));
        EXPECT_EQ(r.needModelValues, request.needModelValues);
        EXPECT_EQ(r.phase, request.phase);

        RunResult result;
        result.run = request.run;
        result.criterion = v.empty() ? negativeNan : v.back();
        result.complete = i % 2 == 0;
        result.incompleteReason = QStringLiteral("Model run incomplete !");
        result.modelValues = v;
        result.exitText = QStringLiteral("signal 9 (Killed)");
        result.outputTail = QStringLiteral("line 1\r\nÄußerung ✓ 語\n") + QString(300, QChar('x'));
        result.node = QStringLiteral("node-%1").arg(i);
        result.workspace = QStringLiteral("/scratch/ws 1/äö");
        result.elapsedUs = std::numeric_limits<qint64>::max() - qint64(i);
        result.error = i == 3 ? QString() : QStringLiteral("kaputt");
        result.stopped = i % 3 == 0;
        const RunResult back = decodeRunResult(encode(result));
        EXPECT_EQ(std::bit_cast<quint64>(back.criterion), std::bit_cast<quint64>(result.criterion));
        EXPECT_TRUE(sameBits(back.modelValues, v));
        EXPECT_EQ(back.run, result.run);
        EXPECT_EQ(back.complete, result.complete);
        EXPECT_EQ(back.incompleteReason, result.incompleteReason);
        EXPECT_EQ(back.exitText, result.exitText);
        EXPECT_EQ(back.outputTail, result.outputTail);
        EXPECT_EQ(back.node, result.node);
        EXPECT_EQ(back.workspace, result.workspace);
        EXPECT_EQ(back.elapsedUs, result.elapsedUs);
        EXPECT_EQ(back.error, result.error);
        EXPECT_EQ(back.stopped, result.stopped);
    }
}

TEST(MpiMessages, TheEncodingIsLittleEndianWhateverTheNode) {
    const QByteArray bytes = encode(RunRequest{0x0102030405060708, {1.0}, true, RunPhase::Shrink});
    // marker, run, count, the double 1.0, flag, phase
    const QByteArray expected = QByteArray::fromHex("a1"
                                                    "0807060504030201"
                                                    "0100000000000000"
                                                    "000000000000f03f"
                                                    "01"
                                                    "02");
    EXPECT_EQ(bytes.toHex(), expected.toHex());
}

TEST(MpiMessages, SetupAndWorkspaceMessagesRoundTrip) {
    const SetupMap setup = {{setupkey::modelFolder, QStringLiteral("/shared/model dir")},
                            {setupkey::database, QStringLiteral("data/model.sqlite")},
                            {setupkey::runFile, QStringLiteral("run.sh")},
                            {setupkey::workFolder, QString()},
                            {QStringLiteral("criterion"), QStringLiteral("2")}};
    EXPECT_EQ(decodeSetup(encode(setup)), setup);
    EXPECT_TRUE(decodeSetup(encode(SetupMap())).isEmpty());

    const WorkspaceInfo info{QStringLiteral("n017"), QStringLiteral("/tmp/job 5/ws-3")};
    const WorkspaceInfo i = decodeWorkspaceInfo(encode(info));
    EXPECT_EQ(i.node, info.node);
    EXPECT_EQ(i.workspace, info.workspace);

    const WorkspaceFailure failure{QStringLiteral("n018"), QStringLiteral("No space left")};
    const WorkspaceFailure f = decodeWorkspaceFailure(encode(failure));
    EXPECT_EQ(f.node, failure.node);
    EXPECT_EQ(f.message, failure.message);
}

// A damaged or foreign message must never be half read.
TEST(MpiMessages, DamagedMessagesAreRefused) {
    RunResult result;
    result.modelValues = {1, 2, 3};
    result.node = QStringLiteral("n1");
    const QByteArray good = encode(result);
    for (qsizetype n = 0; n < good.size(); ++n)
        EXPECT_THROW(decodeRunResult(good.left(n)), FitError) << "cut after " << n << " bytes";
    EXPECT_THROW(decodeRunResult(good + '\0'), FitError);

    const QByteArray request = encode(RunRequest{1, {0.5}, false, RunPhase::Search});
    struct Case {
        const char* what;
        std::function<void()> decode;
    };
    QByteArray badFlag = request;
    badFlag[badFlag.size() - 2] = 2;
    QByteArray badPhase = request;
    badPhase[badPhase.size() - 1] = 99;
    QByteArray hugeCount = request;
    hugeCount[9 + 7] = char(0x7f); // the vector's length, top byte
    const SetupMap twice;
    QByteArray duplicateKey = encode(SetupMap{{QStringLiteral("a"), QStringLiteral("1")},
                                              {QStringLiteral("b"), QStringLiteral("2")}});
    duplicateKey.replace("b", "a");
    const std::vector<Case> cases = {
        {"a request read as a result", [&] { decodeRunResult(request); }},
        {"a result read as a request", [&] { decodeRunRequest(good); }},
        {"a flag of 2", [&] { decodeRunRequest(badFlag); }},
        {"an unknown phase", [&] { decodeRunRequest(badPhase); }},
        {"a length beyond the message", [&] { decodeRunRequest(hugeCount); }},
        {"a key twice", [&] { decodeSetup(duplicateKey); }},
        {"an empty message", [&] { decodeWorkspaceInfo({}); }},
    };
    for (const Case& c : cases)
        EXPECT_THROW(c.decode(), FitError) << c.what;
}

QProcessEnvironment envOf(const QStringList& pairs) {
    QProcessEnvironment env;
    for (const QString& p : pairs)
        env.insert(p.section(QLatin1Char('='), 0, 0), p.section(QLatin1Char('='), 1));
    return env;
}

TEST(MpiLaunch, DetectsLaunchersFromTheEnvironmentOnly) {
    struct Case {
        const char* what;
        QStringList env;
        bool launched;
        int rank;
        int size;
        bool problem;
    };
    const QStringList allocation = {"SLURM_JOB_ID=77", "SLURM_NTASKS=8", "SLURM_PROCID=0",
                                    "SLURM_NNODES=2", "SLURM_JOB_NUM_NODES=2"};
    const std::vector<Case> cases = {
        {"a plain run", {"HOME=/root", "PATH=/usr/bin"}, false, -1, -1, false},
        {"mpirun",
         {"OMPI_COMM_WORLD_SIZE=5", "OMPI_COMM_WORLD_RANK=3", "PMIX_RANK=3"},
         true,
         3,
         5,
         false},
        {"srun --mpi=pmix",
         allocation + QStringList{"PMIX_RANK=2", "SLURM_STEP_NUM_TASKS=8", "SLURM_STEP_ID=0"}, true,
         2, 8, false},
        {"srun --mpi=pmi2", allocation + QStringList{"PMI_RANK=1", "PMI_SIZE=4", "PMI_FD=5"}, true,
         1, 4, false},
        {"the batch script of an allocation", allocation, false, -1, -1, false},
        {"an interactive shell of an allocation",
         allocation + QStringList{"SLURM_STEP_NUM_TASKS=1"}, false, -1, -1, false},
        {"srun without an MPI plugin",
         allocation + QStringList{"SLURM_STEP_NUM_TASKS=8", "SLURM_STEP_ID=0"}, false, -1, -1,
         true},
        {"a PMI rank without a size", {"PMI_RANK=1"}, false, -1, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MpiLaunch l = detectMpiLaunch(envOf(c.env));
        EXPECT_EQ(l.launched, c.launched);
        EXPECT_EQ(l.rank, c.rank);
        EXPECT_EQ(l.size, c.size);
        EXPECT_EQ(!l.problem.isEmpty(), c.problem) << l.problem.toStdString();
        if (c.problem)
            EXPECT_TRUE(l.problem.contains(QLatin1String("--mpi=pmix")));
    }
}

TEST(MpiLaunch, AModelsEnvironmentLosesTheJobsVariables) {
    QProcessEnvironment env =
        envOf({"OMPI_COMM_WORLD_SIZE=3", "OMPI_MCA_orte_hnp_uri=x", "PMIX_RANK=1",
               "PMIX_NAMESPACE=n", "PMI_RANK=1", "PMI_FD=4", "SLURM_JOB_ID=7", "FITMARA_RUN=12",
               "PATH=/bin", "MY_OMPI_SETTING=kept"});
    removeMpiLaunchVariables(env);
    EXPECT_FALSE(detectMpiLaunch(env).launched);
    EXPECT_EQ(env.keys(), (QStringList{"FITMARA_RUN", "MY_OMPI_SETTING", "PATH", "SLURM_JOB_ID"}));
}

// ------------------------------------------------------------- real jobs

struct Job {
    int exitCode = -1;
    bool timedOut = false;
    QString out;
    QString err;
    qint64 ms = 0;
};

class MpiJob : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch.isValid()); }

    // Runs `mpirun -np 3 mpi_ranks scenario scratch`. `whileRunning`, when
    // given, is called with the output so far until it returns true.
    Job run(const char* scenario,
            const std::function<bool(QProcess&, const QString&)>& whileRunning = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        removeMpiLaunchVariables(env); // even if the tests themselves run under a launcher
        // As root in a container: allowed explicitly; no shared-memory single copy,
        // which needs ptrace rights a container rarely grants.
        env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT"), QStringLiteral("1"));
        env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"), QStringLiteral("1"));
        env.insert(QStringLiteral("OMPI_MCA_btl_vader_single_copy_mechanism"),
                   QStringLiteral("none"));
        env.insert(QStringLiteral("OMPI_MCA_btl"), QStringLiteral("self,vader,tcp"));
        QProcess p;
        p.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        p.start(QStringLiteral(MPIEXEC),
                {QStringLiteral("--allow-run-as-root"), QStringLiteral("--oversubscribe"),
                 QStringLiteral("--bind-to"), QStringLiteral("none"), QStringLiteral("-np"),
                 QStringLiteral("3"), QStringLiteral(MPI_RANKS), QString::fromLatin1(scenario),
                 scratch.path()});
        Job job;
        if (!p.waitForStarted(30000)) {
            job.err = p.errorString();
            return job;
        }
        bool watching = bool(whileRunning);
        while (!p.waitForFinished(100)) {
            job.out += QString::fromLocal8Bit(p.readAllStandardOutput());
            if (watching && whileRunning(p, job.out))
                watching = false;
            if (clock.elapsed() > 120000) {
                job.timedOut = true;
                p.kill();
                p.waitForFinished(10000);
                break;
            }
        }
        job.out += QString::fromLocal8Bit(p.readAllStandardOutput());
        job.err = QString::fromLocal8Bit(p.readAllStandardError());
        job.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        job.ms = clock.elapsed();
        return job;
    }

    // Processes (ranks or models) that mention our scratch folder; the launcher
    // may take a moment to reap the last of them.
    QStringList survivors() {
        QStringList found;
        QElapsedTimer clock;
        clock.start();
        do {
            found.clear();
            for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
                if (pid.toInt() > 0 && f.open(QIODevice::ReadOnly)) {
                    QByteArray cmd = f.readAll();
                    if (cmd.contains(scratch.path().toLocal8Bit()))
                        found << QString::fromLocal8Bit(cmd.replace('\0', ' '));
                }
            }
            if (found.isEmpty())
                break;
            QThread::msleep(100);
        } while (clock.elapsed() < 10000);
        return found;
    }

    static std::string report(const Job& job) {
        return QStringLiteral("exit %1%2 after %3 ms\n--- stdout\n%4--- stderr\n%5")
            .arg(job.exitCode)
            .arg(job.timedOut ? QStringLiteral(" (timed out)") : QString())
            .arg(job.ms)
            .arg(job.out, job.err)
            .toStdString();
    }

    QTemporaryDir scratch;
};

// Eleven runs through two workers: vectors with NaN payloads, signed zeros and
// subnormals come back bit for bit in criterion and model values, a failing
// evaluator is reported as that run's error and the worker serves on, each
// result names its node and workspace. Rank 0 checks the details itself.
TEST_F(MpiJob, RunsRoundTripThroughRealRanks) {
    const Job job = run("roundtrip");
    EXPECT_EQ(job.exitCode, 0) << report(job);
    EXPECT_TRUE(job.out.contains(QLatin1String("ok: 11 runs came back"))) << report(job);
    EXPECT_FALSE(job.err.contains(QLatin1String("PROBLEM"))) << report(job);
    EXPECT_TRUE(survivors().isEmpty());
}

TEST_F(MpiJob, AWorkspaceThatCannotBeMadeIsAClearErrorBeforeAnyRun) {
    const Job job = run("workspace-fail");
    EXPECT_EQ(job.exitCode, 3) << report(job);
    EXPECT_TRUE(job.err.contains(QLatin1String("Not every worker could make its workspace:\n"
                                               "worker 2 on ")))
        << report(job);
    EXPECT_TRUE(job.err.contains(QLatin1String("rank-2: no space left on device"))) << report(job);
    EXPECT_FALSE(job.err.contains(QLatin1String("MPI_ABORT"))) << report(job);
    EXPECT_FALSE(QFile::exists(scratch.filePath(QStringLiteral("rank-1/runs.log"))));
    EXPECT_TRUE(survivors().isEmpty());
}

// Both models hang; a stop request ends them, their runs come back stopped,
// and the workers serve the next runs.
TEST_F(MpiJob, AStopRequestEndsEveryModelAndTheWorkersServeOn) {
    const Job job = run("stop");
    EXPECT_EQ(job.exitCode, 0) << report(job);
    EXPECT_TRUE(job.out.contains(QLatin1String("ok: stopped"))) << report(job);
    EXPECT_TRUE(survivors().isEmpty());
}

// Rank 0 fails while two models hang: every worker ends its model and leaves,
// and the job ends with rank 0's status, without MPI_Abort.
TEST_F(MpiJob, AnErrorOnRankZeroEndsEveryRankAndModelCleanly) {
    const Job job = run("error-mid-run");
    EXPECT_EQ(job.exitCode, 4) << report(job);
    EXPECT_TRUE(job.out.contains(QLatin1String("ok: ended"))) << report(job);
    EXPECT_FALSE(job.err.contains(QLatin1String("MPI_ABORT"))) << report(job);
    const QStringList left = survivors();
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char('\n')).toStdString();
}

// A worker that no longer processes messages cannot say goodbye: rank 0 gives
// up after its grace time and aborts the job, rather than hanging.
TEST_F(MpiJob, AFrozenWorkerIsEndedByAbortingTheJob) {
    const Job job = run("frozen-worker");
    EXPECT_EQ(job.exitCode, 5) << report(job);
    EXPECT_FALSE(job.timedOut);
    EXPECT_TRUE(survivors().isEmpty());
}

// SIGTERM to mpirun while models hang: the workers end their models before the
// launcher's SIGKILL comes, so nothing is left behind.
TEST_F(MpiJob, SigtermToTheLauncherLeavesNoModelRunning) {
    bool sent = false;
    const Job job = run("sigterm", [&](QProcess& p, const QString& out) {
        if (!out.contains(QLatin1String("ok: running")))
            return false;
        p.terminate();
        sent = true;
        return true;
    });
    ASSERT_TRUE(sent) << report(job);
    EXPECT_FALSE(job.timedOut) << report(job);
    EXPECT_NE(job.exitCode, 0) << report(job);
    const QStringList left = survivors();
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char('\n')).toStdString();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
