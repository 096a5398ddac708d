// Ranks of a real MPI job for test_mpi: rank 0 drives the workers through
// RemoteWorkerPool in one scenario, the other ranks serve with RemoteWorker and
// a stand-in evaluator that runs tests/fixtures/standin_model in its workspace.
//
//   mpirun -np 3 mpi_ranks SCENARIO SCRATCH
//
// SCENARIO: roundtrip, workspace-fail, stop, error-mid-run, frozen-worker,
// sigterm (see masterScenario). SCRATCH is a folder of the test's own; every
// process of the job and every model mentions it on its command line, so the
// test can tell whether any survived. Rank 0 writes "ok: ..." lines to standard
// output and problems to standard error; exit 0 when all held.
#include "base/fit_error.h"
#include "model/model_process.h"
#include "mpi/mpi_guard.h"
#include "mpi/mpi_launch.h"
#include "mpi/mpi_transport.h"
#include "mpi/mpi_world.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <bit>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <sys/wait.h>
#include <thread>

namespace {

const QString standin = QStringLiteral(FIXTURE_DIR "/standin_model");

QString scenario;
QString scratch;
int problems = 0;

void problem(const QString& text) {
    ++problems;
    std::fprintf(stderr, "PROBLEM: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void ok(const QString& text) {
    std::printf("ok: %s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

// What the stand-in evaluator computes from a vector (the same code on both
// sides, so rank 0 can expect the bits).
double criterionOf(const std::vector<double>& v) {
    double s = 0;
    for (std::size_t i = 0; i < v.size(); ++i)
        s += double(i + 1) * v[i] * v[i];
    return s;
}

// Vectors whose first value says what the stand-in model does.
constexpr double hangRun = -7;   // the model hangs until it is killed
constexpr double failRun = -1;   // the evaluator throws
constexpr double freezeRun = -9; // the worker blocks without processing events

int lineCount(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return int(f.readAll().count('\n'));
}

QString waitText(int status) {
    if (WIFEXITED(status))
        return QStringLiteral("exit status %1").arg(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return QStringLiteral("signal %1 (%2)")
            .arg(WTERMSIG(status))
            .arg(QString::fromLocal8Bit(strsignal(WTERMSIG(status))));
    return QStringLiteral("unknown");
}

// ---------------------------------------------------------------- workers

int workerMain(MpiWorld& world, ModelGuard& guard) {
    QString workspace;
    ModelProcess model;
    auto setup = [&](const WorkerSetup& s) {
        workspace = s.workFolder + QStringLiteral("/rank-%1").arg(world.rank());
        // As fitmara's workers: a guard ends this worker's models if it is killed.
        guard.watch(workspace);
        if (scenario == QLatin1String("workspace-fail") && world.rank() == 2)
            throw FitError(
                QStringLiteral("cannot make %1: no space left on device").arg(workspace));
        if (!QDir().mkpath(workspace))
            throw FitError(QStringLiteral("cannot make %1").arg(workspace));
        QFile db(workspace + QStringLiteral("/model.db")); // an empty file is an empty database
        if (!db.open(QIODevice::WriteOnly))
            throw FitError(QStringLiteral("cannot write in %1").arg(workspace));
        return WorkspaceInfo{{}, workspace};
    };
    auto run = [&](const RunRequest& r) {
        RunResult result;
        const double first = r.vector.empty() ? 0 : r.vector[0];
        if (first == failRun)
            throw FitError(QStringLiteral("The model of run %1 could not be started.").arg(r.run));
        if (first == freezeRun)
            std::this_thread::sleep_for(std::chrono::seconds(120));
        model.setWorkingDirectory(workspace);
        model.setProgram(standin);
        model.setEnvironmentVariable(QStringLiteral("FITMARA_WORKSPACE"), workspace);
        const QString touch = first == hangRun ? scratch + QStringLiteral("/started.log")
                                               : workspace + QStringLiteral("/runs.log");
        model.setArguments(
            QStringLiteral("--db %1/model.db --touch %2 --behave %3 --sleep 20")
                .arg(workspace, touch,
                     first == hangRun ? QStringLiteral("hang") : QStringLiteral("slow")));
        model.start();
        if (!model.waitForEnd())
            throw FitError(model.errorString());
        result.exitText = waitText(model.exitStatus());
        result.complete = WIFEXITED(model.exitStatus()) && WEXITSTATUS(model.exitStatus()) == 0;
        if (!result.complete)
            result.incompleteReason = QStringLiteral("Model run incomplete !");
        result.criterion = criterionOf(r.vector);
        if (r.needModelValues)
            result.modelValues = r.vector;
        return result;
    };
    auto stop = [&] { model.kill(); };
    RemoteWorker worker(world, setup, run, stop);
    return worker.exec();
}

// ---------------------------------------------------------------- rank 0

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    while (!done() && clock.elapsed() < timeoutMs) {
        QTimer::singleShot(20, &loop, [] {});
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

// Processes whose command line mentions the scratch folder, other than us.
QStringList survivors() {
    QStringList found;
    const QByteArray mark = scratch.toLocal8Bit();
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (pid.toInt() <= 0 || pid == self)
            continue;
        QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        QByteArray cmd = f.readAll();
        if (cmd.contains(mark) && cmd.contains("standin_model"))
            found << pid + QStringLiteral(": ") + QString::fromLocal8Bit(cmd.replace('\0', ' '));
    }
    return found;
}

bool startHangingRuns(RemoteWorkerPool& pool) {
    for (int i = 0; i < pool.workerCount(); ++i)
        pool.start({100 + i, {hangRun, double(i)}, false, RunPhase::Search});
    const QString log = scratch + QStringLiteral("/started.log");
    if (!waitUntil([&] { return lineCount(log) >= pool.workerCount(); }, 30000)) {
        problem(QStringLiteral("the hanging models did not start"));
        return false;
    }
    return true;
}

WorkerSetup setupFor() {
    WorkerSetup setup;
    setup.workFolder = scratch;
    setup.database = QStringLiteral("model.db");
    return setup;
}

// Runs out the given requests, no more at once than there are workers.
std::map<qint64, std::pair<int, RunResult>> runAll(RemoteWorkerPool& pool,
                                                   const std::vector<RunRequest>& requests) {
    std::map<qint64, std::pair<int, RunResult>> results;
    std::size_t next = 0;
    auto feed = [&] {
        while (next < requests.size() && pool.freeWorkerCount() > 0)
            pool.start(requests[next++]);
    };
    QObject::connect(&pool, &RemoteWorkerPool::finished, &pool, [&](int rank, const RunResult& r) {
        if (results.count(r.run))
            problem(QStringLiteral("run %1 answered twice").arg(r.run));
        results[r.run] = {rank, r};
        feed();
    });
    feed();
    if (!waitUntil([&] { return results.size() == requests.size() || !pool.error().isEmpty(); },
                   60000))
        problem(QStringLiteral("only %1 of %2 runs came back")
                    .arg(results.size())
                    .arg(requests.size()));
    QObject::disconnect(&pool, &RemoteWorkerPool::finished, &pool, nullptr);
    return results;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::bit_cast<quint64>(a[i]) != std::bit_cast<quint64>(b[i]))
            return false;
    return true;
}

void roundTrip(MpiWorld& world, RemoteWorkerPool& pool) {
    const QList<WorkspaceInfo> infos = pool.setUpWorkspaces(setupFor(), 30000);
    for (int i = 0; i < infos.size(); ++i)
        if (infos[i].workspace != scratch + QStringLiteral("/rank-%1").arg(i + 1) ||
            infos[i].node.isEmpty())
            problem(QStringLiteral("worker %1 reported workspace %2 on '%3'")
                        .arg(i + 1)
                        .arg(infos[i].workspace, infos[i].node));

    const double nan = std::bit_cast<double>(quint64(0x7FF80000DEADBEEFull));
    std::vector<RunRequest> requests;
    for (int i = 0; i < 9; ++i) {
        RunRequest r;
        r.run = i + 1;
        r.vector = {0.1 * (i + 1),
                    1.0 / 3.0,
                    -0.0,
                    std::numeric_limits<double>::denorm_min(),
                    1e308 * (i % 2 ? 1 : -1),
                    nan,
                    double(i)};
        r.needModelValues = i % 2 == 0;
        r.phase = RunPhase(i % 5);
        requests.push_back(r);
    }
    requests.push_back({10, {failRun}, true, RunPhase::Search});
    requests.push_back({11, {2.5, 2.5}, true, RunPhase::Uncertainty}); // after the failure
    const auto results = runAll(pool, requests);

    std::set<int> ranks;
    for (const RunRequest& r : requests) {
        const auto it = results.find(r.run);
        if (it == results.end())
            continue;
        const auto& [rank, res] = it->second;
        ranks.insert(rank);
        const QString what = QStringLiteral("run %1: ").arg(r.run);
        if (r.run == 10) {
            if (!res.error.contains(QLatin1String("could not be started")) || res.complete)
                problem(what +
                        QStringLiteral("the evaluator's failure came back as '%1'").arg(res.error));
            continue;
        }
        if (!res.error.isEmpty() || !res.complete || res.exitText != QLatin1String("exit status 0"))
            problem(what + QStringLiteral("error '%1', exit '%2'").arg(res.error, res.exitText));
        if (std::bit_cast<quint64>(res.criterion) != std::bit_cast<quint64>(criterionOf(r.vector)))
            problem(what +
                    QStringLiteral("criterion %1 is not the bits expected").arg(res.criterion));
        if (!sameBits(res.modelValues, r.needModelValues ? r.vector : std::vector<double>{}))
            problem(what + QStringLiteral("model values differ from the vector sent"));
        if (res.workspace != scratch + QStringLiteral("/rank-%1").arg(rank) ||
            res.node != world.node())
            problem(what + QStringLiteral("ran in %1 on %2").arg(res.workspace, res.node));
        if (res.elapsedUs < 20000 || res.stopped)
            problem(what +
                    QStringLiteral("took %1 us, stopped %2").arg(res.elapsedUs).arg(res.stopped));
    }
    if (ranks.size() != std::size_t(pool.workerCount()))
        problem(QStringLiteral("only %1 workers were used").arg(ranks.size()));
    if (lineCount(scratch + QStringLiteral("/rank-1/runs.log")) +
            lineCount(scratch + QStringLiteral("/rank-2/runs.log")) !=
        10)
        problem(QStringLiteral("the models did not run once per good run"));
    ok(QStringLiteral("%1 runs came back").arg(results.size()));
}

void stopRuns(RemoteWorkerPool& pool) {
    pool.setUpWorkspaces(setupFor(), 30000);
    std::vector<RunResult> results;
    QObject::connect(&pool, &RemoteWorkerPool::finished, &pool,
                     [&](int, const RunResult& r) { results.push_back(r); });
    if (!startHangingRuns(pool))
        return;
    pool.stopAll();
    if (!pool.waitUntilIdle(30000))
        problem(QStringLiteral("the stopped runs did not come back"));
    for (const RunResult& r : results)
        if (!r.stopped || r.complete || !r.exitText.contains(QLatin1String("signal")))
            problem(QStringLiteral("run %1 came back stopped=%2, exit '%3'")
                        .arg(r.run)
                        .arg(r.stopped)
                        .arg(r.exitText));
    if (results.size() != std::size_t(pool.workerCount()))
        problem(QStringLiteral("%1 stopped runs came back").arg(results.size()));
    const QStringList left = survivors();
    if (!left.isEmpty())
        problem(QStringLiteral("models still run after the stop: ") + left.join(QLatin1Char(';')));
    QObject::disconnect(&pool, &RemoteWorkerPool::finished, &pool, nullptr);
    // The workers serve again.
    const auto after =
        runAll(pool, {{1, {1.0}, false, RunPhase::Search}, {2, {2.0}, false, RunPhase::Search}});
    if (after.size() != 2 || !after.begin()->second.second.complete)
        problem(QStringLiteral("the workers do not serve after the stop"));
    ok(QStringLiteral("stopped"));
}

int masterMain(MpiWorld& world) {
    RemoteWorkerPool pool(world);
    try {
        if (scenario == QLatin1String("roundtrip")) {
            roundTrip(world, pool);
        } else if (scenario == QLatin1String("stop")) {
            stopRuns(pool);
        } else if (scenario == QLatin1String("workspace-fail")) {
            pool.setUpWorkspaces(setupFor(), 30000);
            problem(QStringLiteral("the failed workspace went unnoticed"));
        } else if (scenario == QLatin1String("error-mid-run")) {
            pool.setUpWorkspaces(setupFor(), 30000);
            if (startHangingRuns(pool)) {
                ok(QStringLiteral("running"));
                pool.endAll(4, 20000);
                ok(QStringLiteral("ended"));
                return 4;
            }
        } else if (scenario == QLatin1String("frozen-worker")) {
            pool.setUpWorkspaces(setupFor(), 30000);
            pool.start({1, {freezeRun}, false, RunPhase::Search});
            pool.endAll(5, 1500);
            problem(QStringLiteral("a frozen worker said goodbye"));
        } else if (scenario == QLatin1String("sigterm")) {
            pool.setUpWorkspaces(setupFor(), 30000);
            if (startHangingRuns(pool)) {
                ok(QStringLiteral("running"));
                pool.waitUntilIdle(120000);
            }
        } else {
            problem(QStringLiteral("unknown scenario ") + scenario);
        }
    } catch (const FitError& e) {
        std::fprintf(stderr, "fitmara: %s\n", e.message().toLocal8Bit().constData());
        std::fflush(stderr);
        pool.endAll(3, 20000);
        return 3;
    }
    if (!pool.shutdown(20000))
        problem(QStringLiteral("the workers did not leave"));
    return problems ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    const MpiLaunch launch = detectMpiLaunch();
    if (!launch.launched || argc < 3) {
        std::fprintf(stderr, "usage: mpirun -np N mpi_ranks SCENARIO SCRATCH\n");
        return 2;
    }
    // Forked before MPI starts, as fitmara's workers do.
    ModelGuard guard = launch.rank != 0 ? ModelGuard::start() : ModelGuard();
    try {
        MpiWorld world(launch, &argc, &argv);
        QCoreApplication app(argc, argv);
        scenario = QString::fromLocal8Bit(argv[1]);
        scratch = QString::fromLocal8Bit(argv[2]);
        return world.rank() == 0 ? masterMain(world) : workerMain(world, guard);
    } catch (const FitError& e) {
        std::fprintf(stderr, "mpi_ranks: %s\n", e.message().toLocal8Bit().constData());
        return 2;
    }
}
