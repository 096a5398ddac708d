#pragma once
// What a worker rank of an MPI job does with rank 0's requests: it makes its
// own workspace on its node, evaluates the vectors it receives there with an
// Evaluator of its own, and ends the model when told to stop.
//
// The settings of the evaluation (result table, condition, columns, criterion,
// pause, run timeout, retries) travel once, as typed fields of the setup
// message, beside the run file and the database; workerSetup() and
// workerSettings() are the two ends of that.
#include "evaluation/evaluator.h"
#include "evaluation/settings.h"
#include "model/model_process.h"
#include "mpi/mpi_guard.h"
#include "mpi/mpi_messages.h"
#include "paramdb/database.h"
#include "runs/workspace.h"

#include <QProcessEnvironment>
#include <QString>

#include <memory>

// The setup message for the workers: the run file and the database (absolute
// paths on the file system that every node sees), where the workspaces go, and
// the settings every run is evaluated with.
WorkerSetup workerSetup(const CalibrationSettings& settings, const QString& database,
                        const QString& runFile);
// The settings as a worker reads them from the setup message.
CalibrationSettings workerSettings(const WorkerSetup& setup);

class MpiWorld;

// A worker rank's whole life: serves rank 0's setups and runs with a
// WorkerService until told to leave, then removes its workspace (after a clean
// end). Returns the rank's exit status. guard: see WorkerService.
int serveWorkerRank(MpiWorld& world, ModelGuard* guard = nullptr);

class WorkerService {
  public:
    // rank: this worker's rank, which names its workspace folder. guard, when
    // given, is told the workspace (it ends its models if this rank is killed).
    WorkerService(int rank, QString node, ModelGuard* guard = nullptr);
    ~WorkerService();
    WorkerService(const WorkerService&) = delete;
    WorkerService& operator=(const WorkerService&) = delete;

    // Makes the workspace below the setup's work folder (default: beside the
    // database) in a folder of this rank's own. FitError when it cannot. Called
    // again (the next operation), it first removes the workspace it made before.
    WorkspaceInfo setUp(const WorkerSetup& setup);
    // One run in the workspace: never throws; a failure is the result's error.
    RunResult run(const RunRequest& request);
    // Ends the running model (its whole process group) and returns once it is gone.
    void stop();
    // The job is over. After a clean end the workspace is removed, unless a run
    // failed in it (then it stays to be looked at, as the error names it).
    void finish(bool clean);

    // How long the model gets to end after SIGTERM before SIGKILL: a launcher
    // tearing the job down kills this rank about a second after its SIGTERM.
    static constexpr int killGraceMs = 400;

  private:
    void retire(); // ends the model, removes the workspace unless a run failed in it
    int rank;
    QString node;
    ModelGuard* guard;
    CalibrationSettings settings;
    WorkspaceSet set;
    Workspace space;
    QString setupDatabase; // the real database, as rank 0 named it
    QString outputFile;    // the model's output, beside the workspace
    QProcessEnvironment baseEnvironment;
    Database db;
    ModelProcess runner;
    std::unique_ptr<Evaluator> evaluator;
    bool made = false;
    bool keep = false;     // a run failed: the workspace stays
    bool stopping = false; // the running run is to end
    class QEventLoop* pauseLoop = nullptr;
};
