#include "mpi/mpi_worker_service.h"

#include "base/fit_error.h"
#include "mpi/mpi_launch.h"
#include "mpi/mpi_transport.h"
#include "mpi/mpi_world.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <exception>

namespace {

qint64 msOf(const QDateTime& t) {
    return t.isValid() ? t.toMSecsSinceEpoch() : 0;
}

} // namespace

WorkerSetup workerSetup(const CalibrationSettings& s, const QString& database,
                        const QString& runFile) {
    WorkerSetup setup;
    setup.runFile = QFileInfo(runFile).absoluteFilePath();
    setup.database = QFileInfo(database).absoluteFilePath();
    setup.workFolder = s.workRoot.isEmpty() ? QString() : QDir(s.workRoot).absolutePath();
    setup.resultTable = s.resultTable;
    setup.condition = s.condition;
    setup.observedColumn = s.observedColumn;
    setup.modelColumn = s.modelColumn;
    setup.indexColumn = s.indexColumn;
    setup.varianceColumn = s.varianceColumn;
    setup.criterion = s.criterion;
    setup.pauseAfterRunMs = s.pauseAfterRunMs;
    setup.runTimeoutS = s.runTimeoutS;
    setup.retries = s.retries;
    return setup;
}

CalibrationSettings workerSettings(const WorkerSetup& setup) {
    CalibrationSettings s;
    s.databaseFile = setup.database;
    s.runFile = setup.runFile;
    s.workRoot = setup.workFolder;
    s.resultTable = setup.resultTable;
    s.condition = setup.condition;
    s.observedColumn = setup.observedColumn;
    s.modelColumn = setup.modelColumn;
    s.indexColumn = setup.indexColumn;
    s.varianceColumn = setup.varianceColumn;
    s.criterion = setup.criterion;
    if (s.criterion < 1 || s.criterion > 3)
        throw FitError(QStringLiteral("The setup names no valid criterion (%1).").arg(s.criterion));
    s.pauseAfterRunMs = setup.pauseAfterRunMs;
    if (s.pauseAfterRunMs < 0)
        throw FitError(QStringLiteral("The setup names no valid pause after a run (%1 ms).")
                           .arg(s.pauseAfterRunMs));
    s.runTimeoutS = setup.runTimeoutS;
    if (!(s.runTimeoutS >= 0) || !std::isfinite(s.runTimeoutS))
        throw FitError(
            QStringLiteral("The setup names no valid run timeout (%1 s).").arg(s.runTimeoutS));
    s.retries = setup.retries;
    if (s.retries < 0)
        throw FitError(
            QStringLiteral("The setup names no valid number of retries (%1).").arg(s.retries));
    return s;
}

WorkerService::WorkerService(int workerRank, QString nodeName, ModelGuard* modelGuard)
    : rank(workerRank), node(std::move(nodeName)), guard(modelGuard),
      db(QStringLiteral("fitmara-worker-%1").arg(workerRank)) {}

WorkerService::~WorkerService() {
    if (runner.working())
        runner.kill();
}

WorkspaceInfo WorkerService::setUp(const WorkerSetup& setup) {
    // A new operation: its workspace holds the database as it starts.
    if (made)
        retire();
    settings = workerSettings(setup);
    // Each rank in a folder of its own: ranks on one node share the work folder.
    const QString root =
        (settings.workRoot.isEmpty() ? WorkspaceSet::defaultRoot(settings.databaseFile)
                                     : settings.workRoot) +
        QStringLiteral("/rank-%1").arg(rank);
    WorkspacePlan plan;
    plan.runFile = settings.runFile;
    plan.database = settings.databaseFile;
    plan.root = root;
    plan.count = 1;
    set = WorkspaceSet::make(plan); // its errors name the folder
    space = set.workspaces().front();
    outputFile = set.folder() + QStringLiteral("/model-output.txt");
    made = true;
    if (guard)
        guard->watch(space.folder);

    // A model run by this worker must not take itself for a rank of our job.
    baseEnvironment = QProcessEnvironment::systemEnvironment();
    removeMpiLaunchVariables(baseEnvironment);

    setupDatabase = settings.databaseFile;
    settings.databaseFile = space.database;
    settings.runFile = space.runFile;
    db.setDisposable(true); // a workspace: made afresh by each job
    db.open(space.database);
    runner.setProgram(space.runFile);
    runner.setWorkingDirectory(space.folder);
    runner.setOutputFile(outputFile);
    runner.setKillGraceMs(killGraceMs);
    evaluator = std::make_unique<Evaluator>(db, runner);
    // The tries are counted here, so that each is reported.
    CalibrationSettings own = settings;
    own.retries = 0;
    evaluator->setSettings(own);
    evaluator->setStopQuery([this] { return stopping; });
    return {node, space.folder, set.totalBytes()};
}

RunResult WorkerService::run(const RunRequest& request) {
    RunResult result;
    result.node = node;
    result.workspace = space.folder;
    if (!made) {
        result.error = QStringLiteral("The worker has no workspace.");
        return result;
    }
    stopping = false;
    if (request.pauseBeforeMs > 0) {
        // Messages are still seen meanwhile: a stop ends the pause and the run.
        QEventLoop pause;
        QTimer::singleShot(request.pauseBeforeMs, &pause, &QEventLoop::quit);
        pauseLoop = &pause;
        pause.exec();
        pauseLoop = nullptr;
        if (stopping)
            return result;
    }
    const Reading reading = request.needFit           ? Reading::ModelValuesAndFit
                            : request.needModelValues ? Reading::ModelValues
                                                      : Reading::Criterion;
    // A run that fails is tried again here, up to RR= times, each try reported.
    for (int attempt = 1;; ++attempt) {
        result.error.clear();
        runner.setBaseEnvironment(
            runEnvironment(space, int(request.run), baseEnvironment, attempt));
        try {
            const EvaluationResult r = evaluator->evaluate(request.vector, reading);
            result.complete = r.complete;
            result.incompleteReason = r.why;
            result.onlyMarks = r.onlyMarks;
            result.criterion = r.criterion;
            result.failure = r.failure;
            result.outputFile = r.outputFile;

            if (reading != Reading::Criterion) {
                // The simulated values, then the variances of the same rows.
                result.modelValues = r.values.mod;
                result.modelValues.insert(result.modelValues.end(), r.values.var.begin(),
                                          r.values.var.end());
            }
            if (reading == Reading::ModelValuesAndFit) {
                result.fit.clear();
                for (const FitPoint& p : r.fit.points)
                    result.fit.push_back(fitRowOf(p.index, p.observed, p.simulated));
                result.fitSkipped = r.fit.skipped;
            }
        } catch (const FitError& e) {
            result.error = e.message();
        } catch (const std::exception& e) {
            result.error = QString::fromLocal8Bit(e.what());
        }
        result.exitText = runner.endText();
        result.exitStatus = runner.statusText();
        result.startedMs = msOf(runner.startedAt());
        result.durationSeconds =
            runner.runEnd() == RunEnd::StartFailed ? 0 : runner.durationMs() / 1000.0;
        // What the model said, for the journal (of every run) and the log.
        result.outputTail = runner.outputTail(20).join(QLatin1Char('\n'));
        if (!result.error.isEmpty())
            break;
        if (result.complete || stopping || attempt > settings.retries)
            break;
        result.earlierTries.push_back({result.incompleteReason, result.onlyMarks, result.failure,
                                       result.outputTail, result.exitStatus, result.startedMs,
                                       result.durationSeconds});
    }
    if (!result.error.isEmpty())
        keep = true;
    return result;
}

void WorkerService::stop() {
    stopping = true;
    if (pauseLoop)
        pauseLoop->quit();
    runner.kill();
}

void WorkerService::retire() {
    if (runner.working())
        runner.kill();
    evaluator.reset();
    db.close();
    made = false;
    if (keep) {
        keep = false; // a run failed in it: it stays, as its error said
        return;
    }
    try {
        set.remove();
    } catch (const FitError& e) {
        std::fprintf(stderr, "fitmara (worker %d on %s): %s\n", rank,
                     node.toLocal8Bit().constData(), e.message().toLocal8Bit().constData());
    }
}

void WorkerService::finish(bool clean) {
    if (runner.working())
        runner.kill();
    evaluator.reset();
    db.close();
    if (!made || !clean || keep)
        return;
    try {
        set.remove();
        // The default folder is shared by the ranks of a node; the last to go
        // removes it (rmdir leaves it while another rank's folder is in it).
        if (settings.workRoot.isEmpty())
            QDir().rmdir(WorkspaceSet::defaultRoot(setupDatabase));
    } catch (const FitError& e) {
        // Leftovers are no reason to fail a job that worked.
        std::fprintf(stderr, "fitmara (worker %d on %s): %s\n", rank,
                     node.toLocal8Bit().constData(), e.message().toLocal8Bit().constData());
    }
}

int serveWorkerRank(MpiWorld& world, ModelGuard* guard) {
    WorkerService service(world.rank(), world.node(), guard);
    RemoteWorker worker(
        world, [&service](const WorkerSetup& setup) { return service.setUp(setup); },
        [&service](const RunRequest& request) { return service.run(request); },
        [&service] { service.stop(); });
    const int status = worker.exec();
    service.finish(status == 0);
    return status;
}
