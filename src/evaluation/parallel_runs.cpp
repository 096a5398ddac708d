#include "evaluation/parallel_runs.h"

#include "base/fit_error.h"
#include "evaluation/foreign_write.h"

#include <QLocale>

ParallelRuns::ParallelRuns(RunPool& runPool, Reporter& reporter, ForeignWriteDetector* w)
    : pool(runPool), report(reporter), watch(w) {}

std::vector<RunOutcome> ParallelRuns::round(const std::vector<tfmatrix>& vectors, Reading reading,
                                            int pauseBeforeMs, bool endOnFailure) {
    std::vector<RunTicket> tickets;
    tickets.reserve(vectors.size());
    for (const tfmatrix& v : vectors)
        tickets.push_back({0, v, reading, pauseBeforeMs});
    return round(std::move(tickets), endOnFailure);
}

std::vector<RunOutcome> ParallelRuns::round(std::vector<RunTicket> tickets, bool endOnFailure) {
    for (RunTicket& t : tickets)
        t.run = nextRun++;
    if (watch)
        watch->arm();
    RunRound how;
    how.stopRequested = [this] {
        report.processEvents();
        return report.stopRequested();
    };
    how.progress = [this](int running) { report.runsGoing(running, pool.size()); };
    how.endOnFailure = endOnFailure;
    std::vector<RunOutcome> outcomes = runAll(pool, tickets, how);
    if (watch && watch->changed())
        throw FitError(
            QStringLiteral("The database %1 was written while the model ran in its workspaces. "
                           "Each run must use the database in the run's own folder (a path "
                           "relative to the run script's folder) or the one named by "
                           "$FITMARA_DB, never the database itself.")
                .arg(watch->database()));
    return outcomes;
}

QString ParallelRuns::failureText(const RunOutcome& o) {
    return o.error + QStringLiteral("\nThe run was made in the workspace %1.").arg(o.place);
}

QString ParallelRuns::closingLine(int speculativeRuns) const {
    return QStringLiteral("Parallel runs: %1 speculative model runs not needed; %2 workspaces "
                          "made, %3 MB in all")
        .arg(speculativeRuns)
        .arg(pool.workspaceCount())
        .arg(QLocale::c().toString(pool.workspaceBytes() / 1048576.0, 'f', 1));
}
