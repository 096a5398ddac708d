#include "runs/parallel_runs.h"

#include "base/fit_error.h"
#include "evaluation/foreign_write.h"
#include "evaluation/run_journal.h"

#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <set>

ParallelRuns::ParallelRuns(RunPool& runPool, Reporter& reporter, ForeignWriteDetector* w)
    : pool(runPool), report(reporter), watch(w) {}

std::vector<RunOutcome> ParallelRuns::round(const std::vector<ParameterVector>& vectors,
                                            Reading reading, int pauseBeforeMs, bool endOnFailure,
                                            bool provisional) {
    std::vector<RunTicket> tickets;
    tickets.reserve(vectors.size());
    for (const ParameterVector& v : vectors)
        tickets.push_back({0, v, reading, pauseBeforeMs});
    return round(std::move(tickets), endOnFailure, provisional);
}

namespace {

// A round of long runs must not lose the runs that ended when the program is
// killed before the round is over: their rows are written while it goes on, as
// the runs end, a moment after they come, so that runs ending together share
// one commit. Rows that came out of the tickets' order are put in it at the
// round's end. What another program wrote before each of our writes is looked
// at first.
class RowsAsRunsEnd {
  public:
    RowsAsRunsEnd(const ParallelRuns& parallelRuns, RunJournal* runJournal,
                  ForeignWriteDetector* databaseWatch, const std::vector<RunTicket>& roundTickets,
                  journal::Phase rowPhase)
        : runs(parallelRuns), book(runJournal), watch(databaseWatch), tickets(roundTickets),
          phase(rowPhase) {
        flush.setSingleShot(true);
    }

    // Stages each run's row as it ends (the journal must be there).
    void follow(RunRound& how) {
        QObject::connect(&flush, &QTimer::timeout, [this] { writeRows(); });
        how.ended = [this](std::size_t k, const RunOutcome& o) {
            runs.journalRun(tickets[k].vector, o, phase, tickets[k].reading);
            journaled.push_back(k);
            if (book->hasPendingWrites() && !flush.isActive())
                flush.start(runs.journalDelayMs);
        };
    }

    // After the round: rows that came out of the tickets' order are put in it.
    void finish(const std::vector<RunOutcome>& outcomes) {
        flush.stop();
        if (book && !std::is_sorted(journaled.begin(), journaled.end()))
            for (std::size_t k : std::set<std::size_t>(journaled.begin(), journaled.end()))
                runs.retake(tickets[k].vector, outcomes[k], phase, tickets[k].reading);
    }

    // Another program wrote the database before one of the writes during the round.
    bool foreignWrite() const { return foreignWritten; }

  private:
    void writeRows() {
        if (!book || !book->hasPendingWrites())
            return;
        if (watch && watch->changed())
            foreignWritten = true;
        book->writeStagedRows();
        if (watch)
            watch->arm();
    }

    const ParallelRuns& runs;
    RunJournal* book;
    ForeignWriteDetector* watch;
    const std::vector<RunTicket>& tickets;
    const journal::Phase phase;
    bool foreignWritten = false;
    std::vector<std::size_t> journaled; // tickets whose rows are staged or written, in that order
    QTimer flush;
};

} // namespace

RunRound ParallelRuns::roundCallbacks(bool endOnFailure) {
    RunRound how;
    how.stopRequested = [this] {
        report.processEvents();
        return report.stopRequested();
    };
    how.progress = [this](int running) { report.runsGoing(running, pool.size()); };
    how.runChanged = [this](int run, bool going) { report.runChanged(run, going); };
    how.endOnFailure = endOnFailure;
    return how;
}

std::vector<RunOutcome> ParallelRuns::round(std::vector<RunTicket> tickets, bool endOnFailure,
                                            bool provisional) {
    RunJournal* book = journal();
    for (RunTicket& t : tickets)
        t.run = book ? book->nextRun() : nextRun++;
    // The rows of runs that ended go in before the watch is armed: the real
    // database is written by us only between rounds, and during one only for
    // the journal (see RowsAsRunsEnd).
    if (book && book->hasPendingWrites())
        book->writeStagedRows();
    if (watch)
        watch->arm();
    RunRound how = roundCallbacks(endOnFailure);
    const journal::Phase phase =
        provisional ? journal::Phase::Speculative : (book ? book->phase() : journal::Phase::Search);
    RowsAsRunsEnd rows(*this, book, watch, tickets, phase);
    if (book)
        rows.follow(how);
    std::vector<RunOutcome> outcomes = runAll(pool, tickets, how);
    rows.finish(outcomes);
    if (rows.foreignWrite() || (watch && watch->changed()))
        throw FitError(
            QStringLiteral("The database %1 was written while the model ran in its workspaces. "
                           "Each run must use the database in the run's own folder (a path "
                           "relative to the run script's folder) or the one named by "
                           "$FITMARA_DB, never the database itself.")
                .arg(watch->database()));
    if (book && book->hasPendingWrites())
        book->writeStagedRows();
    return outcomes;
}

QString ParallelRuns::failureText(const RunOutcome& o) {
    if (!o.node.isEmpty())
        return o.error + QStringLiteral("\nModel run %1 was made on node %2, in the workspace %3.")
                             .arg(o.run)
                             .arg(o.node, o.place);
    return o.error + QStringLiteral("\nThe run was made in the workspace %1.").arg(o.place);
}

QString ParallelRuns::closingLine(int speculativeRuns) const {
    return QStringLiteral("Parallel runs: %1 speculative model runs not needed; %2 workspaces "
                          "made, %3 MB in all")
        .arg(speculativeRuns)
        .arg(pool.workspaceCount())
        .arg(QLocale::c().toString(pool.workspaceBytes() / 1048576.0, 'f', 1));
}

namespace {
QString statusOf(const EvaluationResult& r) {
    if (r.complete)
        return QStringLiteral("complete");
    return !r.failure.isEmpty() ? r.failure
           : r.onlyMarks        ? QStringLiteral("incomplete: result rows left at -99")
                                : QStringLiteral("incomplete: ") + r.why;
}
} // namespace

void ParallelRuns::retake(const ParameterVector& vector, const RunOutcome& o, journal::Phase phase,
                          Reading reading) const {
    RunJournal* book = journal();
    if (!book)
        return;
    book->withdraw(o.run);
    journalRun(vector, o, phase, reading);
}

void ParallelRuns::journalRun(const ParameterVector& vector, const RunOutcome& o,
                              journal::Phase phase, Reading reading) const {
    RunJournal* book = journal();
    if (!book || !o.started || (o.stopped && o.exitStatus.isEmpty() && !o.failed))
        return; // never started: a stop came first
    journal::RunRecord rec;
    rec.run = o.run;
    rec.phase = phase;
    rec.stage = book->stage();
    rec.worker = o.worker;
    rec.x.assign(vector.size() > 1 ? vector.begin() + 1 : vector.end(), vector.end());
    // The failed tries before the last, each its own row.
    for (std::size_t k = 0; k < o.earlierTries.size(); ++k) {
        const RunTry& t = o.earlierTries[k];
        journal::RunRecord early = rec;
        early.attempt = int(k) + 1;
        early.complete = false;
        early.status = statusOf(t.result);
        early.exitStatus = t.exitStatus;
        early.started = t.startedAt;
        early.durationSeconds = t.durationSeconds;
        early.output = t.result.output.join(QLatin1Char('\n'));
        book->record(std::move(early));
    }
    rec.attempt = int(o.earlierTries.size()) + 1;
    const EvaluationResult& r = o.result;
    rec.complete = !o.failed && !o.stopped && r.complete;
    if (rec.complete && reading == Reading::Criterion)
        rec.criterion = r.criterion;
    if (rec.complete && reading == Reading::ModelValues && book->keepsSimulatedValues())
        rec.simulated = r.values.mod;
    if (o.stopped)
        rec.status = QStringLiteral("stopped: the model run was ended on request");
    else if (o.failed)
        rec.status = o.error;
    else
        rec.status = statusOf(r);
    rec.exitStatus = o.exitStatus;
    rec.started = o.startedAt;
    rec.durationSeconds = o.durationSeconds;
    rec.output = !o.output.isEmpty() ? o.output : r.output.join(QLatin1Char('\n'));
    book->record(std::move(rec));
}
