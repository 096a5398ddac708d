// What handing runs to MPI workers costs rank 0, against the same runs on local
// workspaces: the same tickets go through the same interface (runAll over a
// RunPool) to a real model folder whose stand-in model sleeps MODEL_MS.
//
//  - local: LocalRunPool over RANKS-1 workspaces, in this process (no MPI);
//  - MPI: a job of RANKS ranks, oversubscribed; rank 0 drives an MpiRunPool over
//    a RemoteWorkerPool, every other rank serves it with a WorkerService (its own
//    workspace, evaluator and model runs), as `fitmara` under mpirun does;
//  - the transport alone, with workers whose "model" only sleeps, for three
//    polling intervals, and what rank 0's polling costs while runs go on;
//  - what rank 0 does per run besides the messages: the journal row and the
//    log lines.
//
// For each pool: the process's own CPU time per run (RUSAGE_SELF: the model
// processes are not in it), the wall time, and the wall time per run beyond the
// model's sleep, per worker slot: wall * workers / runs - MODEL_MS.
//
//   fitmara_mpi_bench [RANKS [RUNS [MODEL_MS]]]    (default 5 200 100)
//   fitmara_mpi_bench --model DIR [MODEL_MS [PARAMETERS]]
//       only writes a model folder (calib.sqlite, run.sh) to calibrate with
//       `fitmara`, for timing the whole program (default 200 ms, 6 parameters)
#include "base/fit_error.h"
#include "base/log_list.h"
#include "base/number_format.h"
#include "mpi/mpi_launch.h"
#include "mpi/mpi_run_pool.h"
#include "mpi/mpi_transport.h"
#include "mpi/mpi_worker_service.h"
#include "mpi/mpi_world.h"
#include "paramdb/database.h"
#include "paramdb/journal.h"
#include "runs/local_run_pool.h"
#include "runs/run_pool.h"
#include "runs/workspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int intArg(int argc, char** argv, int i, int fallback) {
    return argc > i ? std::atoi(argv[i]) : fallback;
}

// ---- the model folder ----

// `parameters` parameters p1..pn of one row of model_par, 12 result rows; the
// model sets SIM = p1 + p2 X + p3 X^2 / 2 + ... on every row.
void writeModel(const QString& dir, int modelMs, int parameters) {
    QDir().mkpath(dir);
    QStringList sql;
    QString columns, ones, sum;
    for (int k = 1; k <= parameters; ++k) {
        columns += QStringLiteral(", p%1 double").arg(k);
        ones += QStringLiteral(", 1.0");
        sum += QStringLiteral("%1(SELECT p%2 FROM model_par WHERE ID=1) * power(X, %3) / %2")
                   .arg(k == 1 ? QString() : QStringLiteral(" + "))
                   .arg(k)
                   .arg(k - 1);
    }
    sql << QStringLiteral("create table model_par (ID integer primary key%1)").arg(columns)
        << QStringLiteral("insert into model_par values (1%1)").arg(ones)
        << QStringLiteral("create table results (ID integer primary key, X double, OBS double, "
                          "SIM double, GRP integer, VAR double)");
    for (int r = 0; r < 12; ++r)
        sql << QStringLiteral("insert into results (X, OBS, SIM, GRP, VAR) values (%1, %2, 0, "
                              "%3, 0.01)")
                   .arg(r * 0.25)
                   .arg(1.5 + r * 0.7 + (r % 4) * 0.03)
                   .arg(r % 3 + 1);
    sql << QStringLiteral("create table PARM_INT (ITEM_IX integer primary key autoincrement, "
                          "FNAME char(16), PNAME char(10), MINIMUM double, MAXIMUM double, IVAL "
                          "double, STEP double, AVAL double, SELECTION char(50), ALIAS char(15), "
                          "ERROR double)");
    for (int k = 1; k <= parameters; ++k)
        sql << QStringLiteral("insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, "
                              "AVAL, SELECTION, ALIAS) values ('model_par', 'p%1', -10, 10, 1, "
                              "0.3, 1.2, 'ID=1', 'p%1')")
                   .arg(k);
    const QString db = dir + QStringLiteral("/calib.sqlite");
    sqlite3* h = nullptr;
    char* error = nullptr;
    const int rc = sqlite3_open(QFile::encodeName(db).constData(), &h);
    if (rc != SQLITE_OK ||
        sqlite3_exec(h,
                     (sql.join(QStringLiteral(";\n")) + QStringLiteral(";")).toUtf8().constData(),
                     nullptr, nullptr, &error) != SQLITE_OK) {
        const QString why = QString::fromUtf8(error ? error : sqlite3_errmsg(h));
        sqlite3_free(error);
        sqlite3_close(h);
        throw FitError(QStringLiteral("Cannot make %1: %2").arg(db, why));
    }
    sqlite3_close(h);
    QFile f(dir + QStringLiteral("/run.sh"));
    if (!f.open(QIODevice::WriteOnly))
        throw FitError(QStringLiteral("Cannot write %1.").arg(f.fileName()));
    f.write(QStringLiteral("#!/bin/sh\nexec \"%1\" --db calib.sqlite --behave slow --sleep %2 "
                           "--sql \"UPDATE results SET SIM = %3\"\n")
                .arg(QStringLiteral(FIXTURE_DIR "/standin_model"))
                .arg(modelMs)
                .arg(sum)
                .toUtf8());
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
}

// The settings every run of the bench is evaluated with (RMSE of all rows).
CalibrationSettings modelSettings(const QString& dir) {
    CalibrationSettings s;
    s.databaseFile = QDir(dir).absoluteFilePath(QStringLiteral("calib.sqlite"));
    s.runFile = QDir(dir).absoluteFilePath(QStringLiteral("run.sh"));
    s.resultTable = QStringLiteral("results");
    s.condition = QStringLiteral("1=1");
    s.observedColumn = QStringLiteral("OBS");
    s.modelColumn = QStringLiteral("SIM");
    s.indexColumn = QStringLiteral("GRP");
    s.varianceColumn = QStringLiteral("VAR");
    s.pauseAfterRunMs = 0;
    s.pauseBeforeVertexMs = 0;
    return s;
}

constexpr int kParameters = 6;

// ---- the pools ----

struct Figures {
    int runs = 0;
    int workers = 0;
    double cpu = 0;  // seconds of this process
    double wall = 0; // seconds
    int bad = 0;     // runs that failed or did not complete
    QString firstError;
};

Figures drive(RunPool& pool, int runs) {
    std::vector<RunTicket> tickets;
    tickets.reserve(std::size_t(runs));
    for (int i = 0; i < runs; ++i) {
        ParameterVector v(kParameters + 1, 0.0);
        for (int k = 1; k <= kParameters; ++k)
            v[std::size_t(k)] = 1.0 + 0.01 * ((i * k) % 50);
        tickets.push_back({i + 1, v, Reading::Criterion, 0});
    }
    Figures f;
    f.runs = runs;
    f.workers = pool.size();
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const std::vector<RunOutcome> outcomes = runAll(pool, tickets);
    f.wall = clock.nsecsElapsed() / 1e9;
    f.cpu = cpuSeconds() - cpu0;
    for (const RunOutcome& o : outcomes)
        if (o.failed || o.stopped || !o.result.complete) {
            if (f.bad++ == 0)
                f.firstError = o.failed ? o.error : o.result.why + o.result.failure;
        }
    return f;
}

void printFigures(const char* name, const Figures& f, int modelMs) {
    const double beyond = f.wall * f.workers / f.runs * 1000.0 - modelMs;
    std::printf("  %-16s %8.3f ms %9.2f s %12.2f ms\n", name, f.cpu / f.runs * 1000.0, f.wall,
                beyond);
    if (f.bad > 0)
        std::printf("    %d of %d runs failed or did not complete; the first: %s\n", f.bad, f.runs,
                    qPrintable(f.firstError));
    std::fflush(stdout);
}

Figures runLocal(const QString& dir, int workers, int runs) {
    const CalibrationSettings s = modelSettings(dir);
    WorkspaceSet set = WorkspaceSet::make({s.runFile, s.databaseFile, QString(), workers});
    Figures f;
    {
        LocalRunPool pool(s, set);
        f = drive(pool, runs);
    }
    set.remove();
    return f;
}

// What rank 0 does per run besides handing it over: the run's row in the
// journal (staged, written with the commit that follows the round), and the
// lines the search logs for an evaluation ("stepN", the vector, "func="),
// printed as a headless run prints them (here to /dev/null). Seconds per run.
struct Bookkeeping {
    double roundCpu = 0, roundWall = 0;   // the row, rounds of roundSize runs sharing a commit
    double singleCpu = 0, singleWall = 0; // the row with a commit of its own (rounds of 1 run)
    double logCpu = 0, logWall = 0;       // the log lines of one run
};

Bookkeeping measureBookkeeping(const QString& dir, int runs, int roundSize) {
    Bookkeeping b;
    Database db(QStringLiteral("bench-journal"));
    db.open(QDir(dir).absoluteFilePath(QStringLiteral("calib.sqlite")));
    journal::Journal book(db);
    book.ensureTables();
    const qint64 op = book.beginOperation(journal::OperationKind::Calibration, {});
    int number = 0;
    auto record = [&] {
        journal::RunRecord r;
        r.operation = op;
        r.run = ++number;
        r.phase = journal::Phase::Search;
        for (int k = 1; k <= kParameters; ++k)
            r.x.push_back(1.0 + 0.01 * ((number * k) % 50));
        r.criterion = 0.25 + number * 1e-4;
        r.complete = true;
        r.status = QStringLiteral("complete");
        r.exitStatus = QStringLiteral("exit status 0");
        r.started = QDateTime::currentDateTimeUtc();
        r.durationSeconds = 0.1;
        r.worker = 1 + number % roundSize;
        return r;
    };
    // As ParallelRuns does: the rows of a round staged as its runs end, then
    // written in one transaction.
    auto rounds = [&](int size, double& cpu, double& wall) {
        const double c0 = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        for (int run = 0; run < runs; run += size) {
            for (int k = 0; k < size; ++k)
                book.stageRun(record());
            book.inTransaction([] {});
        }
        wall = clock.nsecsElapsed() / 1e9 / runs;
        cpu = (cpuSeconds() - c0) / runs;
    };
    rounds(roundSize, b.roundCpu, b.roundWall);
    rounds(1, b.singleCpu, b.singleWall);
    db.close();

    LogList log;
    log.echoToStdout = true;
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    const double c0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (int run = 1; run <= runs; ++run) {
        log.append(QStringLiteral("step") + QString::number(run), false);
        QString line = QStringLiteral("  try   ");
        for (int k = 1; k <= kParameters; ++k)
            line += formatGeneral(1.0 / (k + run)) + QStringLiteral("    ");
        log.append(line, false);
        log.append(QStringLiteral("  func=") + formatGeneral(0.25 + run * 1e-7), true);
    }
    std::fflush(stdout);
    b.logWall = clock.nsecsElapsed() / 1e9 / runs;
    b.logCpu = (cpuSeconds() - c0) / runs;
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null);
    return b;
}

// ---- the MPI job ----

const PollTiming kTimings[] = {{1, 2}, {1, 5}, {1, 10}};
// The long runs during which rank 0 only polls.
constexpr int kIdleMs = 2000;

// Rank 0 through the transport alone: the workers' "model" sleeps modelMs
// while processing events, as a run's wait does.
// Returns rank 0's CPU seconds per second while it only polls.
double measureTransport(MpiWorld& world, int runs, int modelMs, PollTiming timing) {
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
    // Rank 0 while every worker has a long run and none ends: the polling
    // alone (a run's pause before its start is the stand-in's sleep here).
    const double idleCpu0 = cpuSeconds();
    QElapsedTimer idleClock;
    idleClock.start();
    for (int k = 0; k < workers; ++k)
        pool.start({started++, {1.0, 2.0, 3.0}, false, RunPhase::Search, kIdleMs});
    while (done < runs + workers)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    const double idleUs = (cpuSeconds() - idleCpu0) / (idleClock.nsecsElapsed() / 1e9) * 1e6;
    std::printf("  poll %2d..%2d ms  %8.3f ms %9.2f s %12.2f ms %10.0f us\n", timing.minMs,
                timing.maxMs, cpu / runs * 1000.0, wall, wall * workers / runs * 1000.0 - modelMs,
                idleUs);
    std::fflush(stdout);
    QObject::disconnect(&pool, &RemoteWorkerPool::finished, &pool, nullptr);
    if (!pool.shutdown(10000))
        MpiWorld::abort(1);
    return idleUs / 1e6;
}

// Rank 0: the run pool first, then the transport alone. The pool's figures go
// to DIR/mpi-figures for the launching process to compare.
// Rank 0: the transport alone, then the run pool. The pool's figures go to
// DIR/mpi-figures for the launching process to compare.
int jobMaster(MpiWorld& world, const QString& dir, int runs, int modelMs) {
    std::printf("\nThe transport alone (%d ranks, %d runs of a %d ms sleep, no model process;\n"
                "idle: rank 0's CPU per second while every worker has a %d ms run):\n"
                "  %-16s %11s %11s %15s %13s\n",
                world.size(), runs, modelMs, kIdleMs, "", "CPU/run", "wall", "beyond model",
                "idle");
    std::fflush(stdout);
    double polling = 0; // at the default timing
    for (const PollTiming& t : kTimings) {
        const double idle = measureTransport(world, runs, modelMs, t);
        if (t.minMs == PollTiming{}.minMs && t.maxMs == PollTiming{}.maxMs)
            polling = idle;
    }

    const CalibrationSettings s = modelSettings(dir);
    RemoteWorkerPool workers(world);
    MpiRunPool pool(workers, [&s] { return workerSetup(s, s.databaseFile, s.runFile); });
    Figures f;
    try {
        pool.prepare();
        f = drive(pool, runs);
    } catch (const FitError& e) {
        std::fprintf(stderr, "mpi bench: %s\n", qPrintable(e.message()));
        workers.endAll(1, 10000);
        return 1;
    }
    if (!workers.shutdown(10000))
        MpiWorld::abort(1);
    // Part of every start: the pool compares the setup with the one the
    // workers have.
    const int calls = 10000;
    const double c0 = cpuSeconds();
    for (int i = 0; i < calls; ++i)
        (void)workerSetup(s, s.databaseFile, s.runFile);
    const double setupUs = (cpuSeconds() - c0) / calls * 1e6;
    QFile out(dir + QStringLiteral("/mpi-figures"));
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                  .arg(f.runs)
                  .arg(f.workers)
                  .arg(f.cpu, 0, 'g', 10)
                  .arg(f.wall, 0, 'g', 10)
                  .arg(f.bad)
                  .arg(setupUs, 0, 'g', 6)
                  .arg(polling, 0, 'g', 6)
                  .toUtf8());
    if (f.bad > 0)
        out.write(f.firstError.toUtf8());
    return 0;
}

int jobWorker(MpiWorld& world, int modelMs) {
    for (const PollTiming& t : kTimings) {
        QEventLoop* wait = nullptr;
        RemoteWorker worker(
            world, [](const WorkerSetup&) { return WorkspaceInfo{}; },
            [&](const RunRequest& request) {
                QEventLoop loop;
                wait = &loop;
                QTimer::singleShot(request.pauseBeforeMs > 0 ? request.pauseBeforeMs : modelMs,
                                   Qt::PreciseTimer, &loop, &QEventLoop::quit);
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
    return serveWorkerRank(world);
}

// ---- the launching process ----

int startJob(const char* self, int ranks, const QString& dir, int runs, int modelMs) {
    QStringList args = {QStringLiteral("--oversubscribe"),
                        QStringLiteral("--bind-to"),
                        QStringLiteral("none"),
                        QStringLiteral("-np"),
                        QString::number(ranks),
                        QString::fromLocal8Bit(self),
                        QStringLiteral("--job"),
                        dir,
                        QString::number(runs),
                        QString::number(modelMs)};
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT"), QStringLiteral("1"));
    env.insert(QStringLiteral("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"), QStringLiteral("1"));
    env.insert(QStringLiteral("OMPI_MCA_btl_vader_single_copy_mechanism"), QStringLiteral("none"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(QStringLiteral("mpirun"), args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit)
        return 1;
    return p.exitCode();
}

int bench(const char* self, int ranks, int runs, int modelMs) {
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("model"));
    writeModel(dir, modelMs, kParameters);
    const int workers = ranks - 1;
    std::printf("\nDispatch cost: %d runs of a stand-in model sleeping %d ms, %d workers "
                "(%d parameters, RMSE of 12 rows)\n",
                runs, modelMs, workers, kParameters);
    std::fflush(stdout);

    const Figures local = runLocal(dir, workers, runs);
    const int status = startJob(self, ranks, dir, runs, modelMs);
    QFile in(dir + QStringLiteral("/mpi-figures"));
    if (status != 0 || !in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "mpi bench: the MPI job failed (exit status %d)\n", status);
        return 1;
    }
    const QStringList words = QString::fromUtf8(in.readLine()).split(QLatin1Char(' '));
    Figures mpi;
    mpi.runs = words.value(0).toInt();
    mpi.workers = words.value(1).toInt();
    mpi.cpu = words.value(2).toDouble();
    mpi.wall = words.value(3).toDouble();
    mpi.bad = words.value(4).toInt();
    const double setupUs = words.value(5).toDouble();
    const double polling = words.value(6).toDouble();
    mpi.firstError = QString::fromUtf8(in.readAll());

    std::printf("\nRuns through a run pool (runAll), the same tickets on the same model folder:\n"
                "  %-16s %11s %11s %15s\n",
                "", "own CPU/run", "wall", "beyond model");
    printFigures(qPrintable(QStringLiteral("local NP=%1").arg(workers)), local, modelMs);
    printFigures(qPrintable(QStringLiteral("MPI, %1 ranks").arg(ranks)), mpi, modelMs);
    const double beyondLocal = local.wall * local.workers / local.runs * 1000.0 - modelMs;
    const double beyondMpi = mpi.wall * mpi.workers / mpi.runs * 1000.0 - modelMs;
    std::printf("  %-16s %11.2f %11.2f %15.2f\n", "MPI / local", mpi.cpu / local.cpu,
                mpi.wall / local.wall, beyondMpi / beyondLocal);
    std::printf("  (own CPU: RUSAGE_SELF of the local process or of rank 0; beyond model: "
                "wall x workers / runs - %d ms)\n",
                modelMs);
    // Rough: the idle rate varies several-fold with the machine's other load.
    std::printf("  rank 0's CPU per run without its idle polling (%.1f ms per s; rough): %.3f ms\n",
                polling * 1e3, std::max(0.0, mpi.cpu - polling * mpi.wall) / mpi.runs * 1e3);
    std::printf("  of rank 0's CPU per run, comparing the setup message at each start: "
                "%.1f us\n",
                setupUs);

    const int roundSize = workers;
    const Bookkeeping b = measureBookkeeping(dir, runs, roundSize);
    std::printf("\nRank 0's own work per run besides the messages (CPU / wall, database in %s):\n"
                "  journal row, rounds of %d runs sharing a commit: %7.1f / %7.1f us\n"
                "  journal row with a commit of its own:            %7.1f / %7.1f us\n"
                "  the search's log lines, printed:                 %7.1f / %7.1f us\n",
                qPrintable(QDir::tempPath()), roundSize, b.roundCpu * 1e6, b.roundWall * 1e6,
                b.singleCpu * 1e6, b.singleWall * 1e6, b.logCpu * 1e6, b.logWall * 1e6);
    std::fflush(stdout);
    return local.bad == 0 && mpi.bad == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const MpiLaunch l = detectMpiLaunch();
    if (!l.launched) {
        QCoreApplication app(argc, argv);
        try {
            if (argc > 2 && QByteArray(argv[1]) == "--model") {
                writeModel(QString::fromLocal8Bit(argv[2]), intArg(argc, argv, 3, 200),
                           intArg(argc, argv, 4, kParameters));
                return 0;
            }
            const int ranks = intArg(argc, argv, 1, 5);
            if (ranks < 2) {
                std::fprintf(stderr, "mpi bench: at least 2 ranks\n");
                return 2;
            }
            return bench(argv[0], ranks, intArg(argc, argv, 2, 200), intArg(argc, argv, 3, 100));
        } catch (const FitError& e) {
            std::fprintf(stderr, "mpi bench: %s\n", qPrintable(e.message()));
            return 1;
        }
    }
    MpiWorld world(l, &argc, &argv);
    QCoreApplication app(argc, argv);
    if (argc < 5 || QByteArray(argv[1]) != "--job") {
        std::fprintf(stderr, "mpi bench: started by mpirun without --job DIR RUNS MODEL_MS\n");
        MpiWorld::abort(2);
    }
    const QString dir = QString::fromLocal8Bit(argv[2]);
    const int runs = std::atoi(argv[3]);
    const int modelMs = std::atoi(argv[4]);
    return world.rank() == 0 ? jobMaster(world, dir, runs, modelMs) : jobWorker(world, modelMs);
}
