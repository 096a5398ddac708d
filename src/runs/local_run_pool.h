#pragma once
// The run pool of one machine: one worker per workspace, each with its own
// connection to the workspace's copy of the database, its own model runner
// (the workspace's copy of the run script, started in the workspace with
// FITMARA_DB, FITMARA_WORKSPACE and FITMARA_RUN in its environment) and its own
// evaluator. All workers live in the calling thread and are watched by its
// event loop; the pauses before and after a run are timers of the worker, so
// one worker's pause never holds up another.
#include "runs/run_pool.h"
#include "runs/workspace.h"

#include <memory>
#include <vector>

class LocalRunPool : public RunPool {
    Q_OBJECT
  public:
    // One worker per workspace of the set, which must outlive the pool. Opens
    // every workspace's database; FitError when one cannot be opened.
    LocalRunPool(const CalibrationSettings& settings, const WorkspaceSet& workspaces,
                 QObject* parent = nullptr);
    ~LocalRunPool() override;

    // Takes on the workspaces added to its set (WorkspaceSet::grow) as new
    // workers; call between rounds.
    void takeNewWorkspaces();

    int size() const override;
    int idle() const override;
    void start(const RunTicket& ticket) override;
    void stopAll() override;
    int workspaceCount() const override;
    qint64 workspaceBytes() const override;

  private:
    struct Worker;
    void addWorker(const Workspace& ws);
    void begin(Worker& w);
    void modelEnded(Worker& w);
    void complete(Worker& w);
    void fail(Worker& w, const QString& error);
    void deliver(Worker& w, RunOutcome outcome);

    CalibrationSettings cfg;
    const WorkspaceSet& set;
    std::vector<std::unique_ptr<Worker>> workers;
};
