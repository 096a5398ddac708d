// The MPI engine: its messages and launch detection on their own, and real
// jobs of three ranks (mpirun on tests/mpi/mpi_ranks) for the transport.
#include "base/fit_error.h"
#include "mpi/mpi_launch.h"
#include "mpi/mpi_messages.h"
#include "mpi/mpi_worker_service.h"
#include "support/session_fixture.h"
#include "support/xlsx_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <limits>
#include <set>
#include <tuple>

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
        const RunRequest request{
            qint64(i) * 1000003 - 7, v, i % 2 == 1, RunPhase(i % 5), int(i) * 250, i % 3 == 1};
        const RunRequest r = decodeRunRequest(encode(request));
        EXPECT_EQ(r.run, request.run);
        EXPECT_TRUE(sameBits(r.vector, v));
        EXPECT_EQ(r.needModelValues, request.needModelValues);
        EXPECT_EQ(r.phase, request.phase);
        EXPECT_EQ(r.pauseBeforeMs, request.pauseBeforeMs);
        EXPECT_EQ(r.needFit, request.needFit);

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
        result.onlyMarks = i % 2 == 1;
        result.failure = QStringLiteral("model run timed out after 2 s");
        result.outputFile = QStringLiteral("/scratch/ws 1/model.log");
        result.exitStatus = QStringLiteral("killed by signal 15 (SIGTERM)");
        result.startedMs = 1796000000000 + qint64(i);
        result.durationSeconds = v.empty() ? 0.25 : v.front();
        for (std::size_t k = 0; k < i; ++k)
            result.earlierTries.push_back({QStringLiteral("rowid %1: NULL").arg(k), k % 2 == 0,
                                           QStringLiteral("crashed"), QStringLiteral("out ✓"),
                                           QStringLiteral("exit status %1").arg(k), qint64(k),
                                           double(k) / 3});
        for (std::size_t k = 0; k < v.size(); ++k) {
            FitRow row;
            row.kind = FitRow::Index(k % 4);
            row.whole = -qint64(k) - 1;
            row.number = v[k];
            row.text = QStringLiteral("site ä%1").arg(k);
            row.observed = v[k];
            row.simulated = -v[k];
            result.fit.push_back(row);
        }
        result.fitSkipped = qint64(i);
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
        EXPECT_EQ(back.onlyMarks, result.onlyMarks);
        EXPECT_EQ(back.failure, result.failure);
        EXPECT_EQ(back.outputFile, result.outputFile);
        EXPECT_EQ(back.exitStatus, result.exitStatus);
        EXPECT_EQ(back.startedMs, result.startedMs);
        EXPECT_EQ(std::bit_cast<quint64>(back.durationSeconds),
                  std::bit_cast<quint64>(result.durationSeconds));
        ASSERT_EQ(back.earlierTries.size(), result.earlierTries.size());
        for (std::size_t k = 0; k < i; ++k) {
            const RunTryReport &a = back.earlierTries[k], &b = result.earlierTries[k];
            EXPECT_EQ(a.incompleteReason, b.incompleteReason);
            EXPECT_EQ(a.onlyMarks, b.onlyMarks);
            EXPECT_EQ(a.failure, b.failure);
            EXPECT_EQ(a.output, b.output);
            EXPECT_EQ(a.exitStatus, b.exitStatus);
            EXPECT_EQ(a.startedMs, b.startedMs);
            EXPECT_EQ(a.durationSeconds, b.durationSeconds);
        }
        ASSERT_EQ(back.fit.size(), result.fit.size());
        for (std::size_t k = 0; k < v.size(); ++k) {
            const FitRow &a = back.fit[k], &b = result.fit[k];
            EXPECT_EQ(a.kind, b.kind);
            // Only the value of its kind travels.
            EXPECT_EQ(a.whole, b.kind == FitRow::Index::Whole ? b.whole : 0);
            EXPECT_EQ(std::bit_cast<quint64>(a.number),
                      std::bit_cast<quint64>(b.kind == FitRow::Index::Number ? b.number : 0.0));
            EXPECT_EQ(a.text, b.kind == FitRow::Index::Text ? b.text : QString());
            EXPECT_TRUE(sameBits({a.observed, a.simulated}, {b.observed, b.simulated}));
        }
        EXPECT_EQ(back.fitSkipped, result.fitSkipped);
    }
}

TEST(MpiMessages, TheEncodingIsLittleEndianWhateverTheNode) {
    const QByteArray bytes =
        encode(RunRequest{0x0102030405060708, {1.0}, true, RunPhase::Shrink, 0x0A0B0C0D});
    // marker, protocol, run, count, the double 1.0, flag, phase, pause, fit flag
    const QByteArray expected = QByteArray::fromHex("b1"
                                                    "0400"
                                                    "0807060504030201"
                                                    "01000000"
                                                    "000000000000f03f"
                                                    "01"
                                                    "02"
                                                    "0d0c0b0a"
                                                    "00");
    EXPECT_EQ(bytes.toHex(), expected.toHex());
}

TEST(MpiMessages, WorkspaceMessagesRoundTrip) {
    const WorkspaceInfo info{QStringLiteral("n017"), QStringLiteral("/tmp/job 5/ws-3"),
                             qint64(5) << 40};
    const WorkspaceInfo i = decodeWorkspaceInfo(encode(info));
    EXPECT_EQ(i.node, info.node);
    EXPECT_EQ(i.workspace, info.workspace);
    EXPECT_EQ(i.bytes, info.bytes);

    const WorkspaceFailure failure{QStringLiteral("n018"), QStringLiteral("No space left")};
    const WorkspaceFailure f = decodeWorkspaceFailure(encode(failure));
    EXPECT_EQ(f.node, failure.node);
    EXPECT_EQ(f.message, failure.message);
}

// The settings reach a worker's runs as rank 0 holds them: the run timeout the
// worker's runner takes is the one rank 0's runner takes, also where seconds
// round to milliseconds.
// The result table and columns of the test model's database.
static CalibrationSettings biomassSettings() {
    CalibrationSettings s;
    s.resultTable = QStringLiteral("biomass");
    s.condition = QStringLiteral("1=1");
    s.observedColumn = QStringLiteral("OBS");
    s.modelColumn = QStringLiteral("SIM");
    s.indexColumn = QStringLiteral("SITE_ID");
    s.varianceColumn = QStringLiteral("OBS_VAR");
    return s;
}

TEST(MpiMessages, AWorkerEvaluatesWithTheSettingsOfRankZero) {
    for (const double timeoutS : {0.0, 0.0015, 2.5, 1234.5678, 1e9}) {
        SCOPED_TRACE(timeoutS);
        CalibrationSettings s = biomassSettings();
        s.criterion = 2;
        s.pauseAfterRunMs = 40;
        s.runTimeoutS = timeoutS;
        s.retries = 3;
        s.workRoot = QStringLiteral("/scratch/work");
        const CalibrationSettings w = workerSettings(decodeSetup(encode(
            workerSetup(s, QStringLiteral("/data/m.sqlite"), QStringLiteral("/models/a/run.sh")))));
        EXPECT_EQ(w.runTimeoutMs(), s.runTimeoutMs());
        EXPECT_EQ(std::bit_cast<quint64>(w.runTimeoutS), std::bit_cast<quint64>(s.runTimeoutS));
        EXPECT_EQ(w.databaseFile, QStringLiteral("/data/m.sqlite"));
        EXPECT_EQ(w.runFile, QStringLiteral("/models/a/run.sh"));
        EXPECT_EQ(w.workRoot, s.workRoot);
        EXPECT_EQ(w.resultTable, s.resultTable);
        EXPECT_EQ(w.condition, s.condition);
        EXPECT_EQ(w.observedColumn, s.observedColumn);
        EXPECT_EQ(w.modelColumn, s.modelColumn);
        EXPECT_EQ(w.indexColumn, s.indexColumn);
        EXPECT_EQ(w.varianceColumn, s.varianceColumn);
        EXPECT_EQ(w.criterion, s.criterion);
        EXPECT_EQ(w.pauseAfterRunMs, s.pauseAfterRunMs);
        EXPECT_EQ(w.retries, s.retries);
    }
    // A setup no settings could have given is refused by the worker.
    const std::vector<std::pair<const char*, std::function<void(WorkerSetup&)>>> wrong = {
        {"criterion 0", [](WorkerSetup& w) { w.criterion = 0; }},
        {"criterion 4", [](WorkerSetup& w) { w.criterion = 4; }},
        {"a negative pause", [](WorkerSetup& w) { w.pauseAfterRunMs = -1; }},
        {"a negative timeout", [](WorkerSetup& w) { w.runTimeoutS = -0.5; }},
        {"a timeout of NaN", [](WorkerSetup& w) { w.runTimeoutS = quietNan; }},
        {"an endless timeout",
         [](WorkerSetup& w) { w.runTimeoutS = std::numeric_limits<double>::infinity(); }},
        {"negative retries", [](WorkerSetup& w) { w.retries = -1; }},
    };
    for (const auto& [what, spoil] : wrong) {
        WorkerSetup setup;
        spoil(setup);
        EXPECT_THROW(workerSettings(decodeSetup(encode(setup))), FitError) << what;
    }
}

// Where two encodings first differ: the place of the field that differs.
qsizetype firstDifference(const QByteArray& a, const QByteArray& b) {
    qsizetype i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    return i;
}

// The text of the FitError that decoding throws; "" when it throws none.
QString refusal(const std::function<void()>& decode) {
    try {
        decode();
    } catch (const FitError& e) {
        return e.message();
    }
    return {};
}

// A message cut short, lengthened, of another build or damaged in a field is
// refused with an error that says why, never read as a (half-filled) value.
TEST(MpiMessages, DamagedMessagesAreRefused) {
    RunResult result;
    result.modelValues = {1, 2, 3};
    result.node = QStringLiteral("n1");
    result.earlierTries.push_back({QStringLiteral("rows at -99"), true, QStringLiteral("crashed"),
                                   QStringLiteral("out"), QStringLiteral("exit status 1"), 5, 0.5});
    for (int kind = 0; kind < 4; ++kind) {
        FitRow row;
        row.kind = FitRow::Index(kind);
        row.text = QStringLiteral("site");
        result.fit.push_back(row);
    }
    WorkerSetup setup;
    setup.database = QStringLiteral("/d/m.sqlite");
    setup.runTimeoutS = 2;
    struct Message {
        const char* what;
        QByteArray bytes;
        std::function<void(const QByteArray&)> decode;
    };
    const std::vector<Message> messages = {
        {"run", encode(RunRequest{7, {0.5, -1}, true, RunPhase::Search, 3, true}),
         [](const QByteArray& b) { decodeRunRequest(b); }},
        {"result", encode(result), [](const QByteArray& b) { decodeRunResult(b); }},
        {"setup", encode(setup), [](const QByteArray& b) { decodeSetup(b); }},
        {"workspace ready", encode(WorkspaceInfo{QStringLiteral("n"), QStringLiteral("/w"), 9}),
         [](const QByteArray& b) { decodeWorkspaceInfo(b); }},
        {"workspace failed", encode(WorkspaceFailure{QStringLiteral("n"), QStringLiteral("full")}),
         [](const QByteArray& b) { decodeWorkspaceFailure(b); }},
    };
    for (const Message& m : messages) {
        SCOPED_TRACE(m.what);
        ASSERT_TRUE(refusal([&] { m.decode(m.bytes); }).isEmpty());
        for (qsizetype n = 0; n < m.bytes.size(); ++n) {
            const QString why = refusal([&] { m.decode(m.bytes.left(n)); });
            EXPECT_TRUE(why.startsWith(QStringLiteral("A %1 message from another rank cannot be "
                                                      "read: ")
                                           .arg(QLatin1String(m.what))))
                << "cut after " << n << " bytes: " << why.toStdString();
        }
        EXPECT_TRUE(refusal([&] { m.decode(m.bytes + '\0'); }).contains("bytes follow its end"));
        QByteArray otherBuild = m.bytes;
        otherBuild[1] = char(transportProtocol + 1);
        EXPECT_TRUE(refusal([&] { m.decode(otherBuild); }).contains("different builds"));
        // Another message's bytes are not read as this one, whatever they hold.
        for (const Message& other : messages) {
            if (&other == &m)
                continue;
            EXPECT_TRUE(refusal([&] { m.decode(other.bytes); }).contains("another kind"));
        }
    }

    const RunRequest plain{1, {0.5}, false, RunPhase::Search};
    const QByteArray request = encode(plain);
    QByteArray badFlag = request;
    RunRequest flagged = plain;
    flagged.needModelValues = true;
    badFlag[firstDifference(request, encode(flagged))] = 2;
    RunRequest phase = plain;
    phase.phase = RunPhase(99);
    RunRequest negativePause = plain;
    negativePause.pauseBeforeMs = -1;
    RunRequest longer = plain;
    longer.vector.push_back(0.5);
    QByteArray hugeCount = request; // the vector's length, little-endian
    hugeCount.replace(firstDifference(request, encode(longer)), 4, QByteArray::fromHex("ffffff7f"));
    RunResult withFit;
    withFit.fit.push_back(FitRow{});
    withFit.fit.back().kind = FitRow::Index(4);
    const QByteArray failure = encode(WorkspaceFailure{QStringLiteral("a"), {}});
    const qsizetype textLength =
        firstDifference(failure, encode(WorkspaceFailure{QStringLiteral("ab"), {}}));
    QByteArray oddText = failure; // UTF-16 comes in pairs of bytes
    oddText[textLength] = 3;
    QByteArray hugeText = failure;
    hugeText.replace(textLength, 4, QByteArray::fromHex("f0ffff7f"));
    const std::vector<std::tuple<const char*, std::function<void()>, const char*>> cases = {
        {"a flag of 2", [&] { decodeRunRequest(badFlag); }, "a flag is neither 0 nor 1"},
        {"an unknown phase", [&] { decodeRunRequest(encode(phase)); }, "of an unknown kind"},
        {"a negative pause", [&] { decodeRunRequest(encode(negativePause)); }, "pause is negative"},
        {"a length beyond the message", [&] { decodeRunRequest(hugeCount); },
         "a list is longer than the message"},
        {"an index of no known kind", [&] { decodeRunResult(encode(withFit)); },
         "of an unknown kind"},
        {"a text of an odd number of bytes", [&] { decodeWorkspaceFailure(oddText); },
         "a damaged value"},
        {"a text longer than the message", [&] { decodeWorkspaceFailure(hugeText); },
         "ends too early"},
        {"an empty message", [&] { decodeWorkspaceInfo({}); }, "ends too early"},
    };
    for (const auto& [what, decode, why] : cases)
        EXPECT_TRUE(refusal(decode).contains(QLatin1String(why)))
            << what << ": " << refusal(decode).toStdString();
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
        if (c.problem) {
            EXPECT_TRUE(l.problem.contains(QLatin1String("--mpi=pmix")));
        }
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

// Starts a program (mpirun, or fitmara alone) in workDir, with what Open MPI
// needs as root in a container, and collects its output. `whileRunning`, when
// given, is called with the standard output so far until it returns true.
Job runProgram(const QString& program, const QStringList& args, const QString& workDir = {},
               const std::function<bool(QProcess&, const QString&)>& whileRunning = {},
               const QStringList& extraEnv = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    removeMpiLaunchVariables(env); // even if the tests themselves run under a launcher
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // As root in a container: allowed explicitly; no shared-memory single copy,
    // which needs ptrace rights a container rarely grants.
    env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT"), QStringLiteral("1"));
    env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"), QStringLiteral("1"));
    env.insert(QStringLiteral("OMPI_MCA_btl_vader_single_copy_mechanism"), QStringLiteral("none"));
    env.insert(QStringLiteral("OMPI_MCA_btl"), QStringLiteral("self,vader,tcp"));
    for (const QString& e : extraEnv)
        env.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
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
        if (clock.elapsed() > 180000) {
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

// mpirun's own options for a job of `ranks` tasks on this one machine.
QStringList mpirunOptions(int ranks) {
    return {QStringLiteral("--allow-run-as-root"),
            QStringLiteral("--oversubscribe"),
            QStringLiteral("--bind-to"),
            QStringLiteral("none"),
            QStringLiteral("-np"),
            QString::number(ranks)};
}

// Processes (ranks or models) that mention `path`; the launcher may take a
// moment to reap the last of them.
QStringList survivors(const QString& path) {
    QStringList found;
    QElapsedTimer clock;
    clock.start();
    do {
        found.clear();
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (pid.toInt() > 0 && f.open(QIODevice::ReadOnly)) {
                QByteArray cmd = f.readAll();
                if (cmd.contains(path.toLocal8Bit()))
                    found << QString::fromLocal8Bit(cmd.replace('\0', ' '));
            }
        }
        if (found.isEmpty())
            break;
        QThread::msleep(100);
    } while (clock.elapsed() < 10000);
    return found;
}

std::string report(const Job& job) {
    return QStringLiteral("exit %1%2 after %3 ms\n--- stdout\n%4--- stderr\n%5")
        .arg(job.exitCode)
        .arg(job.timedOut ? QStringLiteral(" (timed out)") : QString())
        .arg(job.ms)
        .arg(job.out, job.err)
        .toStdString();
}

class MpiJob : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch.isValid()); }

    // Runs `mpirun -np 3 mpi_ranks scenario scratch`.
    Job run(const char* scenario,
            const std::function<bool(QProcess&, const QString&)>& whileRunning = {}) {
        return runProgram(QStringLiteral(MPIEXEC),
                          mpirunOptions(3) << QStringLiteral(MPI_RANKS)
                                           << QString::fromLatin1(scenario) << scratch.path(),
                          {}, whileRunning);
    }

    QStringList survivors() { return ::survivors(scratch.path()); }

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

// ------------------------------------------- fitmara itself under mpirun

// The example model calibrated by build/fitmara, alone and as a job of three
// ranks (rank 0 and two workers), on copies of one folder.
class MpiCalibration : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch.isValid()); }

    // A copy of the example's folder: model, fresh database, and a run script
    // whose body comes before the model's start (`exec ./demo_model ...`).
    QString makeModel(const QString& name, const QString& scriptHead = {}) {
        const QString dir = scratch.filePath(name);
        EXPECT_TRUE(QDir().mkpath(dir));
        EXPECT_TRUE(QFile::copy(QStringLiteral(BINARY_DIR "/examples/demo/demo_model"),
                                dir + QStringLiteral("/demo_model")));
        QFile sql(QStringLiteral(SOURCE_DIR "/examples/demo/demo.sql"));
        EXPECT_TRUE(sql.open(QIODevice::ReadOnly));
        fixture::makeDb(dir, QString::fromUtf8(sql.readAll()), QStringLiteral("demo.sqlite"));
        QFile script(dir + QStringLiteral("/run.sh"));
        EXPECT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(("#!/bin/sh\n" + scriptHead + "\nexec ./demo_model ./demo.sqlite biomass\n")
                         .toLocal8Bit());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        return dir;
    }

    static QStringList line(const QString& dir, const QStringList& extra = {}) {
        return QStringList{QStringLiteral("RF=run.sh"),
                           QStringLiteral("DB=") + dir + QStringLiteral("/demo.sqlite"),
                           QStringLiteral("RT=biomass"),
                           QStringLiteral("CD=1=1"),
                           QStringLiteral("OB=OBS"),
                           QStringLiteral("MO=SIM"),
                           QStringLiteral("IX=SITE_ID"),
                           QStringLiteral("OV=OBS_VAR"),
                           QStringLiteral("EF=RMSE"),
                           QStringLiteral("KR=0.000001"),
                           QStringLiteral("NX=40"),
                           QStringLiteral("PR=0"),
                           QStringLiteral("PV=0"),
                           QStringLiteral("RS_demo")}
               << extra << QStringLiteral("GO");
    }

    static Job alone(const QString& dir, const QStringList& extra = {}) {
        return runProgram(QStringLiteral(BINARY_DIR "/fitmara"), line(dir, extra), dir);
    }

    static Job asJob(const QString& dir, const QStringList& extra = {},
                     const std::function<bool(QProcess&, const QString&)>& whileRunning = {},
                     const QStringList& extraEnv = {}) {
        return runProgram(QStringLiteral(MPIEXEC),
                          mpirunOptions(3)
                              << QStringLiteral(BINARY_DIR "/fitmara") << line(dir, extra),
                          dir, whileRunning, extraEnv);
    }

    // Every row of a query, one line each.
    static QString rows(const QString& db, const QString& sql) {
        QString out;
        {
            QSqlDatabase c =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("test-rows"));
            c.setDatabaseName(db);
            EXPECT_TRUE(c.open());
            QSqlQuery q(c);
            EXPECT_TRUE(q.exec(sql)) << q.lastError().text().toStdString();
            while (q.next()) {
                QStringList fields;
                for (int i = 0; i < q.record().count(); ++i)
                    fields << q.value(i).toString();
                out += fields.join(QLatin1Char('|')) + QLatin1Char('\n');
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("test-rows"));
        return out;
    }

    static QByteArray contents(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }

    const QString originalTable = QStringLiteral("1|North field|0.07|600|8\n"
                                                 "2|River plot|0.07|600|25\n"
                                                 "3|Hill terrace|0.07|600|5\n");
    QTemporaryDir scratch;
};

// The search and the analysis take the same values and decisions whether the
// runs go in the database itself or on worker ranks: the same protocols (but
// for the closing line of parallel runs) and PARM_INT. Each worker's model sees
// its own workspace below WD=, its running number, and nothing of the MPI job.
TEST_F(MpiCalibration, ThreeRanksCalibrateExactlyAsOneProcess) {
    const QString trace = scratch.filePath(QStringLiteral("trace.txt"));
    const QString head = QStringLiteral("echo \"$FITMARA_RUN|$FITMARA_WORKSPACE|$FITMARA_DB|$(env "
                                        "| grep -c -e '^OMPI_' -e '^PMIX_')\" >> %1")
                             .arg(fixture::shellQuote(trace));
    const QString one = makeModel(QStringLiteral("one"));
    const QString three = makeModel(QStringLiteral("three"), head);
    const QString nodeDisk = scratch.filePath(QStringLiteral("node-disk"));
    ASSERT_TRUE(QDir().mkpath(nodeDisk));

    const Job local = alone(one, {QStringLiteral("XL_OUT")});
    ASSERT_EQ(local.exitCode, 0) << report(local);
    const Job job = asJob(three, {QStringLiteral("WD=") + nodeDisk, QStringLiteral("XL_OUT")});
    ASSERT_EQ(job.exitCode, 0) << report(job);

    for (const char* file : {"Opti_Result.TXT", "RS_demo.txt"}) {
        SCOPED_TRACE(file);
        const QByteArray expected = contents(one + QLatin1Char('/') + QLatin1String(file));
        EXPECT_GT(expected.size(), 200);
        const QByteArray got = contents(three + QLatin1Char('/') + QLatin1String(file));
        EXPECT_EQ(fixture::withoutParallelLine(got), expected);
        // The two workers ran the phases: two workspaces, runs evaluated ahead.
        EXPECT_TRUE(got.contains("speculative model runs not needed; 2 workspaces made"));
    }
    // The workbook too, with the base run's fit that a worker sent.
    const XlsxReader bookOne(one + QStringLiteral("/RS_demo.xlsx"));
    const XlsxReader bookThree(three + QStringLiteral("/RS_demo.xlsx"));
    ASSERT_EQ(bookThree.sheetNames(), bookOne.sheetNames());
    for (const QString& sheet : bookOne.sheetNames()) {
        SCOPED_TRACE(sheet.toStdString());
        EXPECT_EQ(bookThree.cells(sheet), bookOne.cells(sheet));
    }
    EXPECT_GT(bookThree.cells(QStringLiteral("fit")).size(), 8);
    const QString parmInt = QStringLiteral("select * from PARM_INT order by ITEM_IX");
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"), parmInt),
              rows(one + QStringLiteral("/demo.sqlite"), parmInt));
    const QString model = QStringLiteral("select * from growth_par order by SITE_ID");
    EXPECT_EQ(rows(one + QStringLiteral("/demo.sqlite"), model), originalTable);
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"), model), originalTable);

    const QStringList runs =
        QString::fromLocal8Bit(contents(trace)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_GT(runs.size(), 8);
    // Two at a time, so not always in their order; each operation (the
    // calibration, then the uncertainty analysis) numbers its runs from 1.
    std::set<int> numbers;
    for (int i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(runs[i].toStdString());
        const QStringList f = runs[i].split(QLatin1Char('|'));
        ASSERT_EQ(f.size(), 4);
        numbers.insert(f[0].toInt());
        EXPECT_TRUE(f[1].startsWith(nodeDisk + QStringLiteral("/rank-")));
        EXPECT_EQ(f[2], f[1] + QStringLiteral("/demo.sqlite"));
        EXPECT_EQ(f[3], QStringLiteral("0"));
    }
    EXPECT_EQ(*numbers.begin(), 1);
    EXPECT_EQ(*numbers.rbegin(), int(numbers.size()));
    // A job that ended well leaves no workspace behind.
    EXPECT_TRUE(QDir(nodeDisk).isEmpty()) << QDir(nodeDisk).entryList().join(' ').toStdString();
    const QStringList left = survivors(scratch.path());
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char('\n')).toStdString();
}

// A protocol without the indented lines that follow "Model run incomplete !".
QByteArray withoutIncompleteDetail(const QByteArray& protocol) {
    QList<QByteArray> kept;
    bool detail = false;
    for (const QByteArray& line : protocol.split('\n')) {
        if (detail && line.startsWith("  "))
            continue;
        detail = line.startsWith("Model run incomplete !");
        kept.append(line);
    }
    return kept.join('\n');
}

// A model that fails in one run on a worker, also when tried again (RR=1): the
// protocol and the run journal say what they say when that happens in local
// workspaces (NP=2), and both tell where it happened, how the model ended and
// what it said.
TEST_F(MpiCalibration, AModelFailingOnAWorkerIsReportedAsLocallyWithItsPlace) {
    struct Case {
        const char* what;
        const char* action; // what run 6 does after saying so
        QString key;
        int tries;
        const char* said; // in the protocol under "Model run incomplete !"
    };
    const Case cases[] = {
        {"exits with 3, tried again", "exit 3", QStringLiteral("RR=1"), 2, "model broke in run 6"},
        {"hangs past the timeout", "exec sleep 30", QStringLiteral("TO=1"), 1,
         "model run timed out after 1 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Every run says its number; run 6 then breaks.
        const QString head = QStringLiteral("echo \"run $FITMARA_RUN\"\n"
                                            "if [ \"$FITMARA_RUN\" = 6 ]; then echo \"model broke "
                                            "in run 6\" >&2; %1; fi")
                                 .arg(QLatin1String(c.action));
        const QString name = QString::number(c.tries);
        const QString two = makeModel(QStringLiteral("two-") + name, head);
        const QString three = makeModel(QStringLiteral("three-") + name, head);

        const Job local = alone(two, {QStringLiteral("NP=2"), c.key});
        ASSERT_EQ(local.exitCode, 0) << report(local);
        const Job job = asJob(three, {c.key});
        ASSERT_EQ(job.exitCode, 0) << report(job);

        const QByteArray protocol = contents(three + QStringLiteral("/Opti_Result.TXT"));
        EXPECT_TRUE(protocol.contains("Model run incomplete !"));
        EXPECT_TRUE(protocol.contains(c.said)) << protocol.data();
        // The lines under "Model run incomplete !" name the run's own folder.
        EXPECT_EQ(fixture::withoutParallelLine(withoutIncompleteDetail(protocol)),
                  fixture::withoutParallelLine(
                      withoutIncompleteDetail(contents(two + QStringLiteral("/Opti_Result.TXT")))));
        const QRegularExpression output(
            QStringLiteral("  the model's last output \\(%1/\\.fitmara-work/rank-[12]/\\S+/"
                           "model\\.log on node \\S+\\):\r?\n  \\| run 6\r?\n  \\| model broke in "
                           "run 6")
                .arg(QRegularExpression::escape(three)));
        EXPECT_TRUE(output.match(QString::fromLocal8Bit(protocol)).hasMatch()) << protocol.data();
        EXPECT_TRUE(job.err.contains(QStringLiteral("model run 6 was incomplete on node ")))
            << report(job);

        // Each try its own row, as locally, with what the model said; the
        // worker and the times aside.
        const QString journal = QStringLiteral(
            "select RUN, TRY, PHASE, PARAMS, CRITERION, COMPLETE, STATUS, EXIT_STATUS, OUTPUT "
            "from FITMARA_RUNS order by RUN, TRY");
        EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"), journal),
                  rows(two + QStringLiteral("/demo.sqlite"), journal));
        EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"),
                       QStringLiteral("select count(*) from FITMARA_RUNS where COMPLETE = 1 and "
                                      "OUTPUT = 'run ' || RUN")),
                  rows(three + QStringLiteral("/demo.sqlite"),
                       QStringLiteral("select count(*) from FITMARA_RUNS where COMPLETE = 1")));
        QString tries;
        for (int t = 1; t <= c.tries; ++t)
            tries += QStringLiteral("%1|1|1|run 6\nmodel broke in run 6\n").arg(t);
        EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"),
                       QStringLiteral("select TRY, EXIT_STATUS <> '', WORKER in (1, 2), OUTPUT "
                                      "from FITMARA_RUNS where RUN = 6 order by TRY")),
                  tries);
        EXPECT_FALSE(QFileInfo::exists(three + QStringLiteral("/.fitmara-work")));
    }
}

// Workers that cannot make their workspaces (the work folder lies under a
// file): one error naming each of them, given after the backup and before any
// run; the tables and PARM_INT as they were, no marker left, every rank gone.
TEST_F(MpiCalibration, WorkspacesThatCannotBeMadeStopTheJobBeforeAnyRun) {
    const QString ran = scratch.filePath(QStringLiteral("ran.txt"));
    const QString three = makeModel(QStringLiteral("three"),
                                    QStringLiteral("echo run >> %1").arg(fixture::shellQuote(ran)));
    const QString parmInt = QStringLiteral("select * from PARM_INT order by ITEM_IX");
    const QString before = rows(three + QStringLiteral("/demo.sqlite"), parmInt);
    const Job job = asJob(three, {QStringLiteral("WD=") + three + QStringLiteral("/run.sh/work"),
                                  QStringLiteral("NP=4")});
    // NP= gives way to the job's workers, and says so.
    EXPECT_TRUE(job.err.contains(QLatin1String("NP=4 is not used: this job has 2 workers")))
        << report(job);
    EXPECT_EQ(job.exitCode, 1) << report(job);
    EXPECT_FALSE(job.timedOut);
    for (const char* rank : {"rank-1\" cannot be made: ", "rank-2\" cannot be made: "})
        EXPECT_TRUE(job.err.contains(QLatin1String(rank))) << report(job);
    EXPECT_TRUE(job.err.contains(QStringLiteral("\"%1/run.sh\" is a file, not a folder. Choose "
                                                "another folder with WD=")
                                     .arg(three)))
        << report(job);
    EXPECT_FALSE(QFileInfo::exists(ran)) << "a model ran";
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"),
                   QStringLiteral("select * from growth_par order by SITE_ID")),
              originalTable);
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"), parmInt), before);
    EXPECT_FALSE(QFileInfo::exists(three + QStringLiteral("/demo.sqlite.fitmara-run")));
    const QStringList left = survivors(scratch.path());
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char('\n')).toStdString();
}

// A worker set up again (the next operation of a job) makes a fresh copy of the
// database as it is then, and removes the workspace of the operation before.
TEST_F(MpiCalibration, AWorkerSetUpAgainCopiesTheDatabaseAsItIsThen) {
    const QString dir = makeModel(QStringLiteral("model"));
    const QString db = dir + QStringLiteral("/demo.sqlite");
    const QString work = scratch.filePath(QStringLiteral("work"));
    CalibrationSettings s = biomassSettings();
    s.pauseAfterRunMs = 0;
    s.workRoot = work;
    const WorkerSetup setup = workerSetup(s, db, dir + QStringLiteral("/run.sh"));
    RunRequest request;
    request.run = 1;
    request.vector = {0, 0.11, 900, 12};

    WorkerService worker(1, QStringLiteral("here"));
    const WorkspaceInfo first = worker.setUp(setup);
    const RunResult before = worker.run(request);
    ASSERT_TRUE(before.complete && before.error.isEmpty()) << before.error.toStdString();
    // Between two operations the observations change in the real database.
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("w"));
        c.setDatabaseName(db);
        ASSERT_TRUE(c.open());
        QSqlQuery(c).exec(QStringLiteral("update biomass set OBS = OBS + 100"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("w"));
    const WorkspaceInfo second = worker.setUp(setup);
    EXPECT_NE(second.workspace, first.workspace);
    EXPECT_FALSE(QFileInfo::exists(first.workspace));
    const RunResult after = worker.run(request);
    ASSERT_TRUE(after.complete && after.error.isEmpty()) << after.error.toStdString();
    EXPECT_GT(after.criterion, before.criterion + 50);
    worker.finish(true);
    EXPECT_FALSE(QFileInfo::exists(second.workspace));
}

// Where there is a display, rank 0 shows the window, as without MPI, and the
// GO line runs in it on the workers: the same protocol and values.
TEST_F(MpiCalibration, RankZeroShowsTheWindowWhereThereIsADisplay) {
    const QString one = makeModel(QStringLiteral("one"));
    const QString three = makeModel(QStringLiteral("three"));
    const Job local = alone(one);
    ASSERT_EQ(local.exitCode, 0) << report(local);
    const Job job =
        asJob(three, {}, {},
              {QStringLiteral("DISPLAY=:99"), QStringLiteral("QT_QPA_PLATFORM=offscreen")});
    ASSERT_EQ(job.exitCode, 0) << report(job);
    const QByteArray protocol = contents(three + QStringLiteral("/Opti_Result.TXT"));
    EXPECT_TRUE(protocol.contains("Parallel runs: ")) << protocol.data();
    EXPECT_EQ(fixture::withoutParallelLine(protocol),
              contents(one + QStringLiteral("/Opti_Result.TXT")));
    // The log was in the window; a headless run also writes it to standard output.
    EXPECT_TRUE(local.out.contains(QLatin1String("Optimisation finishes"))) << report(local);
    EXPECT_FALSE(job.out.contains(QLatin1String("Optimisation finishes"))) << report(job);
    const QString parmInt = QStringLiteral("select * from PARM_INT order by ITEM_IX");
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"), parmInt),
              rows(one + QStringLiteral("/demo.sqlite"), parmInt));
}

// A job killed in the middle (SIGTERM to the launcher, which gives rank 0 no
// time) and started again with RESUME takes the runs its first start completed
// from the journal and ends where a calibration without a break ends.
TEST_F(MpiCalibration, AKilledJobResumesToTheSameEnd) {
    const QString one = makeModel(QStringLiteral("one"));
    const QString trace = scratch.filePath(QStringLiteral("runs.txt"));
    const QString slow = scratch.filePath(QStringLiteral("slow"));
    // While the file "slow" exists, the runs from the tenth on take a while.
    const QString head =
        QStringLiteral("echo $FITMARA_RUN >> %1\n"
                       "if [ -e %2 ] && [ \"$FITMARA_RUN\" -ge 10 ]; then sleep 1; fi")
            .arg(fixture::shellQuote(trace), fixture::shellQuote(slow));
    const QString three = makeModel(QStringLiteral("three"), head);
    QFile(slow).open(QIODevice::WriteOnly);

    const Job local = alone(one);
    ASSERT_EQ(local.exitCode, 0) << report(local);
    const Job killed = asJob(three, {}, [&](QProcess& p, const QString&) {
        QFile f(trace);
        if (!f.open(QIODevice::ReadOnly) || f.readAll().count('\n') < 11)
            return false;
        p.terminate();
        return true;
    });
    ASSERT_NE(killed.exitCode, 0) << report(killed);
    ASSERT_TRUE(QFile::remove(slow));
    const Job resumed = asJob(three, {QStringLiteral("RESUME")});
    ASSERT_EQ(resumed.exitCode, 0) << report(resumed);

    const QByteArray protocol = contents(three + QStringLiteral("/Opti_Result.TXT"));
    EXPECT_TRUE(protocol.contains("Resumed from the run journal: ")) << protocol.data();
    const QString parmInt = QStringLiteral("select * from PARM_INT order by ITEM_IX");
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"), parmInt),
              rows(one + QStringLiteral("/demo.sqlite"), parmInt));
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"),
                   QStringLiteral("select * from growth_par order by SITE_ID")),
              originalTable);
    const QStringList left = survivors(scratch.path());
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char('\n')).toStdString();
}

// An error in a worker's run (the model drops the result table, so the
// criterion cannot be read) ends the job as it ends a run of one process: the
// message with the run's node and workspace, which is kept to be looked at;
// the real tables restored; every rank gone.
TEST_F(MpiCalibration, AnErrorInAWorkersRunEndsTheJobWithTheTablesRestored) {
    const QString head =
        QStringLiteral("if [ \"$FITMARA_RUN\" = 3 ]; then exec %1 --db "
                       "./demo.sqlite --sql 'DROP TABLE biomass'; fi")
            .arg(fixture::shellQuote(QStringLiteral(FIXTURE_DIR "/standin_model")));
    const QString three = makeModel(QStringLiteral("three"), head);
    const Job job = asJob(three);
    EXPECT_EQ(job.exitCode, 1) << report(job);
    EXPECT_FALSE(job.timedOut);
    EXPECT_TRUE(job.err.contains(QLatin1String("biomass"))) << report(job);
    const QRegularExpression place(
        QStringLiteral("Model run 3 was made on node \\S+, in the workspace (\\S+)\\."));
    const QRegularExpressionMatch m = place.match(job.err);
    ASSERT_TRUE(m.hasMatch()) << report(job);
    EXPECT_TRUE(QFileInfo(m.captured(1) + QStringLiteral("/demo.sqlite")).isFile());
    EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"),
                   QStringLiteral("select * from growth_par order by SITE_ID")),
              originalTable);
    EXPECT_FALSE(QFileInfo::exists(three + QStringLiteral("/demo.sqlite.fitmara-run")));
    EXPECT_FALSE(job.err.contains(QLatin1String("MPI_ABORT"))) << report(job);
    const QStringList left = survivors(scratch.path());
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char('\n')).toStdString();
}

// SIGTERM to mpirun while a worker's model hangs and ignores SIGTERM. With
// Open MPI's own timing the launcher kills the ranks almost at once: the
// worker's guard still ends the model, and the real tables, which the runs
// never touch, hold their values. With the grace that the README advises,
// rank 0 also restores the tables and ends as a stopped run does.
TEST_F(MpiCalibration, SigtermToTheLauncherEndsEveryModelAndRestoresTheTables) {
    struct Case {
        const char* what;
        QStringList env;
        bool restored; // rank 0 gets to restore and report
    };
    const Case cases[] = {
        {"Open MPI's default grace", {}, false},
        {"a grace of 3 s", {QStringLiteral("OMPI_MCA_odls_base_sigkill_timeout=3")}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString name = QString::fromLatin1(c.env.isEmpty() ? "default" : "grace");
        const QString hanging = scratch.filePath(name + QStringLiteral("-hanging.txt"));
        const QString head =
            QStringLiteral("if [ \"$FITMARA_RUN\" = 3 ]; then echo $$ >> %1; exec %2 --db "
                           "./demo.sqlite --behave stubborn --touch \"$FITMARA_WORKSPACE/runs\"; "
                           "fi")
                .arg(fixture::shellQuote(hanging),
                     fixture::shellQuote(QStringLiteral(FIXTURE_DIR "/standin_model")));
        const QString three = makeModel(name, head);
        bool sent = false;
        const Job job = asJob(
            three, {},
            [&](QProcess& p, const QString&) {
                if (!QFileInfo::exists(hanging))
                    return false;
                QThread::msleep(300); // the model is under way
                p.terminate();
                sent = true;
                return true;
            },
            c.env);
        ASSERT_TRUE(sent) << report(job);
        EXPECT_FALSE(job.timedOut) << report(job);
        EXPECT_NE(job.exitCode, 0) << report(job);
        const QStringList left = survivors(scratch.path());
        EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(rows(three + QStringLiteral("/demo.sqlite"),
                       QStringLiteral("select * from growth_par order by SITE_ID")),
                  originalTable);
        if (c.restored) {
            EXPECT_TRUE(
                job.err.contains(QLatin1String("The calibration was stopped before it finished")))
                << report(job);
            EXPECT_FALSE(QFileInfo::exists(three + QStringLiteral("/demo.sqlite.fitmara-run")));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
