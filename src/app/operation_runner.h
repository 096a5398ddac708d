#pragma once
// The frame around an operation that runs the model: the busy state and the
// stop, the run marker and the backup of the model's tables, the run journal,
// the parallel runs, and the files the operation wrote. The session starts
// the operations (calibration, sensitivity and uncertainty analyses) inside it.
#include "app/operation_parallel_runs.h"
#include "paramdb/journal.h"
#include "paramdb/run_marker.h"

#include <QStringList>

#include <functional>

struct CalibrationSettings;
struct BatchOptions;
class Database;
class Evaluator;
class Reporter;

class OperationRunner {
  public:
    // `settings` and `batch` are the session's, read when an operation starts; `reporter`
    // gets the log lines and hears of restored parameter values; `busyChanged`
    // is told when the outermost operation starts (true) and ends (false).
    OperationRunner(Database& db, const CalibrationSettings& settings, const BatchOptions& batch,
                    Evaluator& evaluator, Reporter& reporter,
                    std::function<void(bool)> busyChanged);
    OperationRunner(const OperationRunner&) = delete;
    OperationRunner& operator=(const OperationRunner&) = delete;

    // ---- busy and stop ----
    // True while an operation that runs the model is under way.
    bool busy() const { return busyDepth > 0; }
    bool stopRequested() const { return stopFlag; }
    // The running operation ends at its next evaluation boundary.
    void requestStop() { stopFlag = true; }

    // Marks an operation that runs the model; nests. The outermost one clears
    // an earlier stop.
    class BusyScope {
      public:
        explicit BusyScope(OperationRunner& runner);
        ~BusyScope();
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

      private:
        OperationRunner& runner;
    };

    // ---- the model's tables ----
    // The backup keeps what PARM_INT holds of the last completed run and the
    // simulated column beside the tables; see paramdb/backup.h.
    void backup();
    void restore();
    // After a run that did not complete: the tables, PARM_INT's stored results
    // and the simulated column as the backup kept them.
    void restoreAll();
    // A result was kept: the backup no longer guards a run.
    void backupClosed();
    // For an error: logs `why` and restores as restoreAll(), logging a failure.
    void restoreAfterFailure(const QString& why);
    // Held from the backup until the tables are restored or kept.
    RunMarker& runMarker() { return marker; }

    // ---- the run journal ----
    // Runs an operation with its run journal: the operation's row, one row per
    // model run, the outcome at its end (also for an error, which is rethrown).
    // `refusal`, when given, tells after the work why it could not be made
    // (empty: it was made); the operation is then recorded as refused.
    void journaled(journal::OperationKind kind, const std::function<void()>& work,
                   const std::function<QString()>& refusal = {});

    // ---- parallel runs ----
    OperationParallelRuns& parallelRuns() { return parallel; }
    const OperationParallelRuns& parallelRuns() const { return parallel; }
    // The parallel runs of one operation: made on construction when NP > 1 and
    // none are open yet, ended when the scope ends. An operation that ends
    // normally calls finish() (the workspaces go); one that ends by an error
    // leaves the scope (or calls close()) and its workspaces stay, named in
    // the log, for the failed run's output. A scope that found the runs open
    // (an analysis inside a calibration) leaves them to the outer one.
    class ParallelScope {
      public:
        ParallelScope(OperationRunner& runner, int usefulWorkers)
            : owner(runner), made(runner.openParallel(usefulWorkers)) {}
        ~ParallelScope() {
            try {
                close();
            } catch (...) {
                // The error that ended the operation is the one to report.
            }
        }
        ParallelScope(const ParallelScope&) = delete;
        ParallelScope& operator=(const ParallelScope&) = delete;
        void finish() { end(true); }
        void close() { end(false); }

      private:
        void end(bool remove) {
            if (made)
                owner.closeParallel(remove);
            made = false;
        }
        OperationRunner& owner;
        bool made;
    };
    // What ParallelScope does; see OperationParallelRuns::open and close.
    bool openParallel(int usefulWorkers);
    void closeParallel(bool remove);
    // Told when the parallel runs were made (true) or ended (false).
    void setParallelChanged(std::function<void(bool)> changed) {
        parallelChanged = std::move(changed);
    }
    // Ends what a run on this database killed outright left running.
    void endAbandonedRuns();

    // ---- files written ----
    // The files the running operation wrote (protocols, workbook), full paths.
    void noteFileWritten(const QString& fileName);
    void clearFilesWritten() { written.clear(); }
    QStringList takeFilesWritten();

    // The database file of the operations: the open one, else the one chosen.
    QString databasePath() const;

  private:
    Database& db;
    const CalibrationSettings& settings;
    const BatchOptions& batch;
    Evaluator& evaluator;
    Reporter& reporter;
    std::function<void(bool)> busyChanged;
    std::function<void(bool)> parallelChanged;
    int busyDepth = 0;
    bool stopFlag = false;
    RunMarker marker;
    OperationParallelRuns parallel;
    QStringList written;
};
