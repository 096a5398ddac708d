// Parallel model runs (NP > 1): the workspaces, the run pool over them and the
// watch on the real database, for the time of one operation.
#include "app/session.h"
#include "base/fit_error.h"
#include "evaluation/foreign_write.h"
#include "evaluation/local_run_pool.h"
#include "evaluation/parallel_runs.h"
#include "evaluation/workspace.h"

#include <cstdio>

struct Session::Parallel {
    WorkspaceSet workspaces;
    std::unique_ptr<ForeignWriteDetector> watch;
    std::unique_ptr<LocalRunPool> pool;
    std::unique_ptr<ParallelRuns> runs;
};

Session::~Session() = default;

bool Session::openParallel() {
    if (par || settings.parallelRuns <= 1)
        return false;
    auto made = std::make_unique<Parallel>();
    WorkspacePlan plan;
    plan.runFile = settings.runFile;
    plan.database = db.path().isEmpty() ? settings.db_f_name : db.path();
    plan.root = settings.workRoot;
    plan.count = settings.parallelRuns;
    if (plan.runFile.isEmpty())
        throw FitError(QStringLiteral("Parallel runs (NP=%1) need a run file: no run file has "
                                      "been chosen.")
                           .arg(settings.parallelRuns));
    made->workspaces = WorkspaceSet::make(plan);
    try {
        made->watch = std::make_unique<ForeignWriteDetector>(plan.database);
        made->pool = std::make_unique<LocalRunPool>(settings, made->workspaces);
        made->pool->setTimeoutMs(mrun.timeoutMs());
    } catch (...) {
        made->pool.reset();
        try {
            made->workspaces.remove();
        } catch (const FitError&) {
        }
        throw;
    }
    made->runs = std::make_unique<ParallelRuns>(*made->pool, *this, made->watch.get());
    // The runs of the pool are journaled like those in place, with their worker.
    made->runs->setJournal([this] { return evaluator.journal(); });
    par = std::move(made);
    lastProgressLineMs = -1;
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
    if (remove) {
        ending->workspaces.remove();
    } else {
        lb.append(QStringLiteral("The workspaces of the parallel runs are kept in ") +
                      ending->workspaces.folder(),
                  true);
    }
}

ParallelRuns* Session::parallelRuns() {
    return par ? par->runs.get() : nullptr;
}

void Session::runsGoing(int running, int workers) {
    const QString text = QStringLiteral("%1 of %2 model runs going on, %3 completed")
                             .arg(running)
                             .arg(workers)
                             .arg(cnt);
    setStatus(text);
    // Headless: a short line on standard error now and then, never in the log.
    if (lb.echoToStdout) {
        const qint64 now = runClock.isValid() ? runClock.elapsed() : 0;
        if (lastProgressLineMs < 0 || now - lastProgressLineMs >= 10000) {
            lastProgressLineMs = now;
            std::fprintf(stderr, "fitmara: %s\n", qPrintable(text));
            std::fflush(stderr);
        }
    }
}
