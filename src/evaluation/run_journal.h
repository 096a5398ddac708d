#pragma once
// The run journal of one operation, as the evaluator and the operations use it:
// the operation's row in FITMARA_OPERATIONS, the running number and phase of
// the next model run, the rows of the runs, and, when a calibration is
// resumed, the criteria of the runs the earlier start completed.
//
// A run's row is staged when the run has ended and written in the same
// transaction as the next run's write-back (or with the operation's end): after
// a model run nothing else of ours is written, and a commit of its own would
// cost a sync to the disk per run. The row is so never written for a run whose
// following writes were rolled back, and a process killed while a model runs
// has journaled every run that ended before.
#include "evaluation/settings.h"
#include "paramdb/journal.h"

#include <QJsonObject>
#include <optional>
#include <vector>

class Database;

// The settings that decide a calibration's path, as the journal keeps and
// compares them. Pauses, the run timeout, the retries and what is done with the
// result do not change which vectors the search asks for, and are left out.
QJsonObject journalSettings(const CalibrationSettings& settings, journal::OperationKind kind);

class RunJournal {
  public:
    explicit RunJournal(Database& database) : db(database), book(database) {}

    // Creates the tables where missing and starts the operation's row. With
    // `resume`, a calibration takes up the latest unfinished one with the same
    // settings and PARM_INT; FitError when one exists whose settings differ
    // (the message names the difference). Without one to take up it starts
    // afresh.
    void begin(journal::OperationKind kind, const CalibrationSettings& settings, bool resume);
    // What begin() with `resume` would do, without writing anything: FitError
    // when an unfinished calibration's settings differ.
    void checkResumable(const CalibrationSettings& settings);
    // Writes the staged runs and the operation's end.
    void end(journal::Outcome outcome, const QString& reason = QString());
    qint64 operation() const { return op; }
    // Whether a run's row keeps the simulated values it read: only a calibration
    // is taken up again from its rows (the least-squares search replays them);
    // the analyses' runs would only fill the journal with a copy of the result
    // column per run.
    bool keepsSimulatedValues() const { return kind == journal::OperationKind::Calibration; }

    // The phase and worker of the runs from now on.
    void setPhase(journal::Phase p) { currentPhase = p; }
    journal::Phase phase() const { return currentPhase; }
    // The start or restart of the search the runs from now on belong to
    // ("start 2", "restart 1"); empty: the search has only one.
    void setStage(const QString& stage) { currentStage = stage; }
    const QString& stage() const { return currentStage; }

    // The running number of a new run (its first try).
    int nextRun() { return ++lastRun; }
    // Stages a run's row (see above).
    void record(journal::RunRecord run);
    int stagedRuns() const { return book.stagedRuns(); }
    // Takes back a run's rows (see journal::Journal::withdrawRun).
    void withdraw(int run) { book.withdrawRun(op, run); }
    bool hasPendingWrites() const { return book.hasPendingWrites(); }
    // The database's transaction, with the staged rows written in it.
    template <typename Work> void inTransaction(Work&& work) {
        book.inTransaction(std::forward<Work>(work));
    }
    // Writes the staged rows of runs made elsewhere (parallel runs), in a
    // commit that is not flushed to the disk: a row lost in a power cut only
    // makes a resume run that point again.
    void writeStagedRows() {
        const UnflushedCommits rowsOnly(db);
        book.inTransaction([] {});
    }

    // ---- resume ----
    // True when this operation took up an earlier one.
    bool resuming() const { return resumed; }
    // The criterion of a complete run of the resumed operation with exactly
    // this vector (1..n), counted as taken from the journal.
    // Not `counted`: a value looked up ahead, counted (countReplayed()) only
    // when the search takes it.
    std::optional<double> replay(const std::vector<double>& x, bool counted = true);
    void countReplayed() { ++replayed; }
    // The rows of the resumed operation that are not replayed because they do
    // not hold what a run writes (journal::ResumePoint::setAside).
    const QStringList& setAside() const { return setAsideRows; }
    // The simulated values a complete run of the resumed operation with exactly
    // this vector read (the least-squares search's runs), counted as taken
    // from the journal.
    std::optional<std::vector<double>> replayValues(const std::vector<double>& x);
    int replayedRuns() const { return replayed; }

  private:
    journal::ResumePoint resumePoint(const CalibrationSettings& settings);

    Database& db;
    journal::Journal book;
    qint64 op = 0;
    journal::OperationKind kind = journal::OperationKind::Calibration;
    int lastRun = 0;
    journal::Phase currentPhase = journal::Phase::Search;
    QString currentStage;
    bool resumed = false;
    int replayed = 0;
    QStringList setAsideRows;
};
