#pragma once
// The parallel model runs of an operation (NP > 1, or the workers of an MPI
// job): the workspaces, the run pool over them and the watch on the real
// database, made when an operation starts and ended when it ends.
#include <QString>

#include <functional>
#include <memory>

struct CalibrationSettings;
class ParallelRuns;
class Reporter;
class RunJournal;
class RunPool;

class OperationParallelRuns {
  public:
    // `reporter` hears of the runs going on and gets the log lines; `journal`
    // gives the run journal of the operation under way (null: none).
    OperationParallelRuns(Reporter& reporter, std::function<RunJournal*()> journal);
    ~OperationParallelRuns();
    OperationParallelRuns(const OperationParallelRuns&) = delete;
    OperationParallelRuns& operator=(const OperationParallelRuns&) = delete;

    // Makes the workspaces, the run pool and the watch on `database` when NP > 1
    // and none are open yet; true when this call made them. FitError (before any
    // run) when a workspace cannot be made. With a remote pool set, the
    // operations run on it instead, whatever NP= says: it has its own workers and
    // makes their workspaces (prepare()). usefulWorkers: the most runs one round
    // of the operation can use at once; no more workspaces than that are made.
    // When they are open already (an analysis after a calibration), workspaces
    // are added up to that number, within NP; false then.
    bool open(const CalibrationSettings& settings, const QString& database, int usefulWorkers);
    // Ends them: removes the workspaces when `remove`, else keeps them and says
    // where. False when none were open.
    bool close(bool remove);
    // The runs of the operation under way; null when the model runs in place.
    ParallelRuns* runs();

    // The workers of an MPI job (null: none). The pool must outlive its use.
    void setRemotePool(RunPool* pool) { remotePool = pool; }
    // Its workers; 0 without one.
    int remoteWorkers() const;

    // Ends the models that a run on `database` killed outright left running,
    // and removes its workspaces (one log line when there were any).
    static void endAbandonedRuns(const CalibrationSettings& settings, const QString& database,
                                 Reporter& reporter);

  private:
    struct Open;
    bool openRemote(const CalibrationSettings& settings, const QString& database);
    void grow(int count);
    void use(std::unique_ptr<Open> made, RunPool& pool);

    Reporter& reporter;
    std::function<RunJournal*()> journal;
    std::unique_ptr<Open> current;
    RunPool* remotePool = nullptr;
};
