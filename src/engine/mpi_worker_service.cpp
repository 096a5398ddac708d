#include "engine/mpi_worker_service.h"

#include "base/fit_error.h"
#include "engine/mpi_launch.h"

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
} // namespace key

} // namespace

SetupMap workerSetup(const CalibrationSettings& s, const QString& database,
                     const QString& runFile) {
    SetupMap setup;
    setup.insert(setupkey::runFile, QFileInfo(runFile).absoluteFilePath());
    setup.insert(setupkey::modelFolder, QFileInfo(runFile).absolutePath());
    setup.insert(setupkey::database, QFileInfo(database).absoluteFilePath());
    setup.insert(setupkey::workFolder,
                 s.workRoot.isEmpty() ? QString() : QDir(s.workRoot).absolutePath());
    setup.insert(key::table, s.tname);
    setup.insert(key::condition, s.condition);
    setup.insert(key::observed, s.observedColumn);
    setup.insert(key::model, s.modelColumn);
    setup.insert(key::index, s.indexColumn);
    setup.insert(key::variance, s.varianceColumn);
    setup.insert(key::criterion, QString::number(s.criterion));
    setup.insert(key::pauseAfterRun, QString::number(s.pauseAfterRunMs));
    return setup;
}

CalibrationSettings workerSettings(const SetupMap& setup) {
    CalibrationSettings s;
    s.db_f_name = setup.value(setupkey::database);
    s.runFile = setup.value(setupkey::runFile);
    s.workRoot = setup.value(setupkey::workFolder);
    s.tname = setup.value(key::table);
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
    if (made)
        throw FitError(QStringLiteral("This worker has its workspace already."));
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
    try {
        set = WorkspaceSet::make(plan);
    } catch (const FitError& e) {
        throw FitError(QStringLiteral("%1 (work folder \"%2\")").arg(e.message(), root));
    }
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
    runner.setApplicationName(space.runFile);
    runner.setCurrentDir(space.folder);
    runner.setOutputFile(outputFile);
    runner.setKillGraceMs(killGraceMs);
    evaluator = std::make_unique<Evaluator>(db, runner);
    evaluator->setSettings(settings);
    return {node, space.folder};
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
    runner.setBaseEnvironment(runEnvironment(space, int(request.run), baseEnvironment));
    tfmatrix vector = request.vector;
    try {
        const EvaluationResult r = evaluator->evaluate(
            vector, request.needModelValues ? Reading::ModelValues : Reading::Criterion);
        result.complete = r.complete;
        result.incompleteReason = r.why;
        result.onlyMarks = r.onlyMarks;
        result.criterion = r.criterion;
        if (request.needModelValues) {
            // The simulated values, then the variances of the same rows.
            result.modelValues = r.values.mod;
            result.modelValues.insert(result.modelValues.end(), r.values.var.begin(),
                                      r.values.var.end());
        }
    } catch (const FitError& e) {
        result.error = e.message();
    } catch (const std::exception& e) {
        result.error = QString::fromLocal8Bit(e.what());
    }
    if (!result.error.isEmpty())
        keep = true;
    result.exitText = runner.endText();
    result.outputTail = runner.outputTail(20).join(QLatin1Char('\n'));
    return result;
}

void WorkerService::stop() {
    stopping = true;
    if (pauseLoop)
        pauseLoop->quit();
    runner.kill();
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
