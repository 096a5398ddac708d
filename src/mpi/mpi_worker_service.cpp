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

#include <cstdio>
#include <exception>

namespace {

// The settings' keys in the setup message.
namespace key {
const QString table = QStringLiteral("settings.table");
const QString condition = QStringLiteral("settings.condition");
const QString observed = QStringLiteral("settings.observed");
const QString model = QStringLiteral("settings.model");
const QString index = QStringLiteral("settings.index");
const QString variance = QStringLiteral("settings.variance");
const QString criterion = QStringLiteral("settings.criterion");
const QString pauseAfterRun = QStringLiteral("settings.pauseAfterRunMs");
const QString timeout = QStringLiteral("settings.runTimeoutS");
const QString retries = QStringLiteral("settings.retries");
} // namespace key

qint64 msOf(const QDateTime& t) {
    return t.isValid() ? t.toMSecsSinceEpoch() : 0;
}

} // namespace

SetupMap workerSetup(const CalibrationSettings& s, const QString& database,
                     const QString& runFile) {
    SetupMap setup;
    setup.insert(setupkey::runFile, QFileInfo(runFile).absoluteFilePath());
    setup.insert(setupkey::modelFolder, QFileInfo(runFile).absolutePath());
    setup.insert(setupkey::database, QFileInfo(database).absoluteFilePath());
    setup.insert(setupkey::workFolder,
                 s.workRoot.isEmpty() ? QString() : QDir(s.workRoot).absolutePath());
    setup.insert(key::table, s.resultTable);
    setup.insert(key::condition, s.condition);
    setup.insert(key::observed, s.observedColumn);
    setup.insert(key::model, s.modelColumn);
    setup.insert(key::index, s.indexColumn);
    setup.insert(key::variance, s.varianceColumn);
    setup.insert(key::criterion, QString::number(s.criterion));
    setup.insert(key::pauseAfterRun, QString::number(s.pauseAfterRunMs));
    setup.insert(key::timeout, QString::number(s.runTimeoutS, 'g', 17));
    setup.insert(key::retries, QString::number(s.retries));
    return setup;
}

CalibrationSettings workerSettings(const SetupMap& setup) {
    CalibrationSettings s;
    s.db_f_name = setup.value(setupkey::database);
    s.runFile = setup.value(setupkey::runFile);
    s.workRoot = setup.value(setupkey::workFolder);
    s.resultTable = setup.value(key::table);
    s.condition = setup.value(key::condition);
    s.observedColumn = setup.value(key::observed);
    s.modelColumn = setup.value(key::model);
    s.indexColumn = setup.value(key::index);
    s.varianceColumn = setup.value(key::variance);
    bool ok = false;
    s.criterion = setup.value(key::criterion).toInt(&ok);
    if (!ok || s.criterion < 1 || s.criterion > 3)
        throw FitError(QStringLiteral("The setup names no valid criterion (\"%1\").")
                           .arg(setup.value(key::criterion)));
    s.pauseAfterRunMs = setup.value(key::pauseAfterRun).toInt(&ok);
    if (!ok || s.pauseAfterRunMs < 0)
        throw FitError(QStringLiteral("The setup names no valid pause after a run (\"%1\").")
                           .arg(setup.value(key::pauseAfterRun)));
    s.runTimeoutS = setup.value(key::timeout, QStringLiteral("0")).toDouble(&ok);
    if (!ok || !(s.runTimeoutS >= 0))
        throw FitError(QStringLiteral("The setup names no valid run timeout (\"%1\").")
                           .arg(setup.value(key::timeout)));
    s.retries = setup.value(key::retries, QStringLiteral("0")).toInt(&ok);
    if (!ok || s.retries < 0)
        throw FitError(QStringLiteral("The setup names no valid number of retries (\"%1\").")
                           .arg(setup.value(key::retries)));
    return s;
}

WorkerService::WorkerService(int workerRank, QString nodeName, ModelGuard* modelGuard)
    : rank(workerRank), node(std::move(nodeName)), guard(modelGuard),
      db(QStringLiteral("fitmara-worker-%1").arg(workerRank)) {}

WorkerService::~WorkerService() {
    if (runner.working())
        runner.kill();
}

WorkspaceInfo WorkerService::setUp(const SetupMap& setup) {
    // A new operation: its workspace holds the database as it starts.
    if (made)
        retire();
    settings = workerSettings(setup);
    // Each rank in a folder of its own: ranks on one node share the work folder.
    const QString root =
        (settings.workRoot.isEmpty() ? WorkspaceSet::defaultRoot(settings.db_f_name)
                                     : settings.workRoot) +
        QStringLiteral("/rank-%1").arg(rank);
    WorkspacePlan plan;
    plan.runFile = settings.runFile;
    plan.database = settings.db_f_name;
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

    setupDatabase = settings.db_f_name;
    settings.db_f_name = space.database;
    settings.runFile = space.runFile;
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
        world, [&service](const SetupMap& setup) { return service.setUp(setup); },
        [&service](const RunRequest& request) { return service.run(request); },
        [&service] { service.stop(); });
    const int status = worker.exec();
    service.finish(status == 0);
    return status;
}
