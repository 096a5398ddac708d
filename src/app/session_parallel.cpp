// Parallel model runs (NP > 1): the workspaces, the run pool over them and the
// watch on the real database, for the time of one operation.
#include "app/session.h"
#include "base/fit_error.h"
#include "base/process_identity.h"
#include "evaluation/foreign_write.h"
#include "model/run_descendants.h"
#include "runs/local_run_pool.h"
#include "runs/parallel_runs.h"
#include "runs/workspace.h"

#include <QDir>

#include <algorithm>
#include <cstdio>

struct Session::Parallel {
    WorkspaceSet workspaces; // none for a remote pool: its workers make their own
    std::unique_ptr<ForeignWriteDetector> watch;
    std::unique_ptr<LocalRunPool> pool;
    RunPool* remote = nullptr;
    std::unique_ptr<ParallelRuns> runs;
};

Session::~Session() = default;

bool Session::openParallel(int usefulWorkers) {
    if (par)
        return false;
    if (remotePool)
        return openRemote();
    if (settings.parallelRuns <= 1)
        return false;
    auto made = std::make_unique<Parallel>();
    WorkspacePlan plan;
    plan.runFile = settings.runFile;
    plan.database = db.path().isEmpty() ? settings.db_f_name : db.path();
    plan.root = settings.workRoot;
    plan.count = std::min(settings.parallelRuns, std::max(usefulWorkers, 1));
    if (plan.runFile.isEmpty())
        throw FitError(QStringLiteral("Parallel runs (NP=%1) need a run file: no run file has "
                                      "been chosen.")
                           .arg(settings.parallelRuns));
    made->workspaces = WorkspaceSet::make(plan);
    try {
        made->watch = std::make_unique<ForeignWriteDetector>(plan.database);
        made->pool = std::make_unique<LocalRunPool>(settings, made->workspaces);
    } catch (...) {
        made->pool.reset();
        try {
            made->workspaces.remove();
        } catch (const FitError&) {
        }
        throw;
    }
    RunPool& pool = *made->pool;
    useParallel(std::move(made), pool);
    return true;
}

void Session::useParallel(std::unique_ptr<Parallel> made, RunPool& pool) {
    made->runs = std::make_unique<ParallelRuns>(pool, *this, made->watch.get());
    // The runs of the pool are journaled like those in place, with their worker.
    made->runs->setJournal([this] { return evaluator.journal(); });
    par = std::move(made);
    lastProgressLineMs = -1;
}

bool Session::openRemote() {
    auto made = std::make_unique<Parallel>();
    made->remote = remotePool;
    const QString database = db.path().isEmpty() ? settings.db_f_name : db.path();
    if (settings.parallelRuns > 1 && settings.parallelRuns != remotePool->size()) {
        // NP= is the number of workers of the job; the log stays as without MPI.
        std::fprintf(stderr,
                     "fitmara: NP=%d is not used: this job has %d workers, so %d model runs go "
                     "on at once.\n",
                     settings.parallelRuns, remotePool->size(), remotePool->size());
        std::fflush(stderr);
    }
    // The workers copy the model's folder now, after the backup.
    remotePool->prepare();
    made->watch = std::make_unique<ForeignWriteDetector>(database);
    useParallel(std::move(made), *remotePool);
    return true;
}

void Session::closeParallel(bool remove) {
    if (!par)
        return;
    std::shared_ptr<Parallel> ending = std::move(par);
    ending->runs.reset();
    ending->pool.reset(); // ends what may still run
    ending->watch.reset();
    setStatus(QString());
    if (ending->remote) {
        // The workers keep their workspaces until the job ends; one in which a
        // run failed stays, and that run's error names it.
        ending->remote->stopAll();
        return;
    }
    if (remove) {
        ending->workspaces.remove();
    } else {
        logList.append(QStringLiteral("The workspaces of the parallel runs are kept in ") +
                           ending->workspaces.folder(),
                       true);
    }
}

int Session::remoteWorkers() const {
    return remotePool ? remotePool->size() : 0;
}

ParallelRuns* Session::parallelRuns() {
    return par ? par->runs.get() : nullptr;
}

void Session::runChanged(int run, bool going) {
    if (going)
        runsInFlight.insert(run, runClock.isValid() ? runClock.elapsed() : 0);
    else
        runsInFlight.remove(run);
}

void Session::runsGoing(int running, int workers) {
    runsRunning = running;
    runsWorkers = workers;
    // The window shows it with the evaluation count, the best value and the time.
    emit progress(evaluationCount, progressTotal > 0 ? progressTotal : settings.maxEvaluations,
                  bestSoFar, runClock.isValid() ? runClock.elapsed() : 0);
    const QString text = QStringLiteral("%1 of %2 model runs going on, %3 completed")
                             .arg(running)
                             .arg(workers)
                             .arg(evaluationCount);
    // Headless: a short line on standard error now and then, never in the log.
    if (logList.echoToStdout) {
        const qint64 now = runClock.isValid() ? runClock.elapsed() : 0;
        if (lastProgressLineMs < 0 || now - lastProgressLineMs >= 10000) {
            lastProgressLineMs = now;
            std::fprintf(stderr, "fitmara: %s\n", qPrintable(text));
            std::fflush(stderr);
        }
    }
}

void Session::endAbandonedRuns() {
    const QString database = db.path().isEmpty() ? settings.db_f_name : db.path();
    if (database.isEmpty())
        return;
    // The models of a program killed outright go on in place (NP=1) or in its
    // workspaces, and its workspaces stay: found by the identity its run
    // marker and its sets of workspaces record, never by a bare process id.
    int processes = 0;
    const QByteArray owner = RunMarker::ownerIdentity(database);
    if (!owner.isEmpty() && owner != ownProcessIdentity())
        processes += run_descendants::endRunsOfProgram(owner);
    const QString root =
        settings.workRoot.isEmpty() ? WorkspaceSet::defaultRoot(database) : settings.workRoot;
    const WorkspaceSet::Abandoned left = WorkspaceSet::removeAbandoned(root);
    processes += left.processes;
    if (processes == 0 && left.sets == 0 && left.failures.isEmpty())
        return;
    QString line = QStringLiteral("A run on this database that was ended before it finished had "
                                  "left %1 model process(es) running and %2 set(s) of workspaces "
                                  "in \"%3\": ended and removed.")
                       .arg(processes)
                       .arg(left.sets + left.failures.size())
                       .arg(QDir(root).absolutePath());
    if (!left.failures.isEmpty())
        line +=
            QStringLiteral(" Could not remove: %1.").arg(left.failures.join(QStringLiteral("; ")));
    logList.append(line, true);
}
