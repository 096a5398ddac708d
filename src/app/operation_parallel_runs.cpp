#include "app/operation_parallel_runs.h"

#include "base/fit_error.h"
#include "base/process_identity.h"
#include "evaluation/foreign_write.h"
#include "evaluation/report.h"
#include "evaluation/settings.h"
#include "model/run_descendants.h"
#include "paramdb/run_marker.h"
#include "runs/local_run_pool.h"
#include "runs/parallel_runs.h"
#include "runs/workspace.h"

#include <QDir>

#include <algorithm>
#include <cstdio>

struct OperationParallelRuns::Open {
    WorkspacePlan plan;      // of the workspaces made
    WorkspaceSet workspaces; // none for a remote pool: its workers make their own
    std::unique_ptr<ForeignWriteDetector> watch;
    std::unique_ptr<LocalRunPool> pool;
    RunPool* remote = nullptr;
    std::unique_ptr<ParallelRuns> runs;
};

OperationParallelRuns::OperationParallelRuns(Reporter& r, std::function<RunJournal*()> j)
    : reporter(r), journal(std::move(j)) {}

OperationParallelRuns::~OperationParallelRuns() = default;

bool OperationParallelRuns::open(const CalibrationSettings& settings, const QString& database,
                                 int usefulWorkers) {
    const int wanted = std::min(settings.parallelRuns, std::max(usefulWorkers, 1));
    if (current) {
        // An analysis after the search may run more at once than the search did.
        if (current->pool && wanted > current->pool->size())
            grow(wanted);
        return false;
    }
    if (remotePool)
        return openRemote(settings, database);
    if (settings.parallelRuns <= 1)
        return false;
    auto made = std::make_unique<Open>();
    WorkspacePlan& plan = made->plan;
    plan.runFile = settings.runFile;
    plan.database = database;
    plan.root = settings.workRoot;
    plan.count = wanted;
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
    use(std::move(made), pool);
    return true;
}

void OperationParallelRuns::grow(int count) {
    // The new workspaces copy the model's folder and database as they are now:
    // every run writes its vector and marks its rows, so they start as the
    // others would for this operation.
    // Those that cannot be made leave the runs to the workspaces there are.
    WorkspacePlan plan = current->plan;
    plan.count = count;
    try {
        current->workspaces.grow(plan);
    } catch (const FitError& e) {
        reporter.log(QStringLiteral("No more workspaces could be added; the runs go on in the "
                                    "%1 there are. ")
                             .arg(current->pool->size()) +
                         e.message(),
                     true);
        return;
    }
    current->plan = plan;
    current->pool->takeNewWorkspaces();
}

void OperationParallelRuns::use(std::unique_ptr<Open> made, RunPool& pool) {
    made->runs = std::make_unique<ParallelRuns>(pool, reporter, made->watch.get());
    // The runs of the pool are journaled like those in place, with their worker.
    made->runs->setJournal(journal);
    current = std::move(made);
}

bool OperationParallelRuns::openRemote(const CalibrationSettings& settings,
                                       const QString& database) {
    auto made = std::make_unique<Open>();
    made->remote = remotePool;
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
    use(std::move(made), *remotePool);
    return true;
}

bool OperationParallelRuns::close(bool remove) {
    if (!current)
        return false;
    std::unique_ptr<Open> ending = std::move(current);
    ending->runs.reset();
    ending->pool.reset(); // ends what may still run
    ending->watch.reset();
    if (ending->remote) {
        // The workers keep their workspaces until the job ends; one in which a
        // run failed stays, and that run's error names it.
        ending->remote->stopAll();
        return true;
    }
    if (remove) {
        ending->workspaces.remove();
    } else {
        reporter.log(QStringLiteral("The workspaces of the parallel runs are kept in ") +
                         ending->workspaces.folder(),
                     true);
    }
    return true;
}

int OperationParallelRuns::remoteWorkers() const {
    return remotePool ? remotePool->size() : 0;
}

ParallelRuns* OperationParallelRuns::runs() {
    return current ? current->runs.get() : nullptr;
}

void OperationParallelRuns::endAbandonedRuns(const CalibrationSettings& settings,
                                             const QString& database, Reporter& reporter) {
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
    reporter.log(line, true);
}
