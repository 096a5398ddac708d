// What handing runs to MPI workers costs rank 0: its own CPU time per run, and
// the wall time per run beyond the model's own, with workers whose "model"
// sleeps (processing events, as a real run's wait does).
//
//   fitmara_mpi_bench [RANKS [RUNS [MODEL_MS]]]    (default 5 200 50)
//
// Started plainly, it starts itself under mpirun with RANKS ranks, oversubscribed.
#include "engine/mpi_launch.h"
#include "engine/mpi_transport.h"
#include "engine/mpi_world.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int launch(int argc, char** argv) {
    const QString ranks = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("5");
    QStringList args = {QStringLiteral("--oversubscribe"),
                        QStringLiteral("--bind-to"),
                        QStringLiteral("none"),
                        QStringLiteral("-np"),
                        ranks,
                        QString::fromLocal8Bit(argv[0])};
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT"), QStringLiteral("1"));
    env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"), QStringLiteral("1"));
    env.insert(QStringLiteral("OMPI_MCA_btl_vader_single_copy_mechanism"), QStringLiteral("none"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(QStringLiteral("mpirun"), args);
    p.waitForFinished(-1);
    return p.exitCode();
}

void measure(MpiWorld& world, int runs, int modelMs, PollTiming timing) {
    RemoteWorkerPool pool(world, timing);
    pool.setUpWorkspaces({}, 60000);
    const int workers = pool.workerCount();
    int started = 0;
    int done = 0;
    auto feed = [&] {
        while (started < runs && pool.freeWorkerCount() > 0)
            pool.start({started++, {1.0, 2.0, 3.0}, false, RunPhase::Search});
    };
    QObject::connect(&pool, &RemoteWorkerPool::finished, &pool, [&](int, const RunResult&) {
        ++done;
        feed();
    });
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    feed();
    QEventLoop loop;
    while (done < runs)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    const double wall = clock.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const double modelWall = double(runs) * modelMs / 1000.0 / workers;
    std::printf("poll %2d..%2d ms: %d runs of %d ms on %d workers: wall %.3f s (model alone "
                "%.3f s)\n",
                timing.minMs, timing.maxMs, runs, modelMs, workers, wall, modelWall);
    std::printf("  rank 0 CPU per run: %.1f us; wall per run beyond the model: %.2f ms "
                "(per worker slot), ratio wall/model %.3f\n",
                cpu / runs * 1e6, (wall - modelWall) * workers / runs * 1000.0, wall / modelWall);
    std::fflush(stdout);
    QObject::disconnect(&pool, &RemoteWorkerPool::finished, &pool, nullptr);
    if (!pool.shutdown(10000))
        MpiWorld::abort(1);
}

} // namespace

int main(int argc, char** argv) {
    const MpiLaunch l = detectMpiLaunch();
    if (!l.launched) {
        QCoreApplication app(argc, argv);
        return launch(argc, argv);
    }
    MpiWorld world(l, &argc, &argv);
    QCoreApplication app(argc, argv);
    const int runs = argc > 2 ? std::atoi(argv[2]) : 200;
    const int modelMs = argc > 3 ? std::atoi(argv[3]) : 50;
    const PollTiming timings[] = {{1, 2}, {1, 5}, {1, 10}};
    if (world.rank() == 0) {
        for (const PollTiming& t : timings)
            measure(world, runs, modelMs, t);
        return 0;
    }
    for (const PollTiming& t : timings) {
        QEventLoop* wait = nullptr;
        RemoteWorker worker(
            world, [](const SetupMap&) { return WorkspaceInfo{}; },
            [&](const RunRequest&) {
                QEventLoop loop;
                wait = &loop;
                QTimer::singleShot(modelMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
                loop.exec();
                wait = nullptr;
                return RunResult{};
            },
            [&] {
                if (wait)
                    wait->quit();
            },
            t);
        if (worker.exec() != 0)
            return 1;
    }
    return 0;
}
