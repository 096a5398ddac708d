#pragma once
// The worker ranks of an MPI job as a pool of runs: rank 0's side. The
// operations hand it tickets as they would to local workspaces; it sends each
// to a free worker rank and turns the rank's answer into the run's outcome.
//
// The workers make their workspaces anew for each operation (prepare(), after the
// operation's backup, so the copies hold the tables as the operation starts).
// Rank 0 never opens a worker's database: all it gets is the result message.
#include "mpi/mpi_messages.h"
#include "mpi/mpi_transport.h"
#include "runs/run_pool.h"

#include <QString>
#include <QTimer>

#include <functional>
#include <map>

class MpiRunPool : public RunPool {
    Q_OBJECT
  public:
    // setup gives the workers' setup message when the first run starts.
    MpiRunPool(RemoteWorkerPool& workers, std::function<WorkerSetup()> setup,
               QObject* parent = nullptr);

    int size() const override;
    int idle() const override;
    void start(const RunTicket& ticket) override;
    void stopAll() override;
    int workspaceCount() const override { return ready ? workers.workerCount() : 0; }
    qint64 workspaceBytes() const override { return bytes; }
    // Each operation: the workers make their workspaces anew, from the database
    // and the settings as the operation starts.
    void prepare() override;

    // Makes the workspaces now, if that has not happened. FitError naming every
    // worker that could not (rank, node, reason).
    void setUp();

    // How long workers get to make their workspaces (copying the model's folder).
    int setupTimeoutMs = 30 * 60 * 1000;
    // How long a stopped run may take to answer before it is given up as
    // stopped: a job torn down by its launcher never answers.
    int stopAnswerMs = 500;
    // How long the next operation waits for the runs of the last one to end.
    int stopWaitMs = 10000;

  private:
    void onFinished(int rank, const RunResult& result);
    void onFailed(const QString& message);
    void giveUpStopped();
    // Ends every running run without its answer: failed with `error`, or
    // stopped when it is empty.
    void endRunning(const QString& error);

    RemoteWorkerPool& workers;
    std::function<WorkerSetup()> setupSource;
    WorkerSetup sent;              // what the workers were set up with
    CalibrationSettings evaluated; // the settings the workers evaluate with
    bool ready = false;
    qint64 bytes = 0; // of every workspace, as the workers said when they made them
    struct Running {
        Reading reading;
        int rank;
    };
    std::map<qint64, Running> running;
    QTimer stopDeadline;
};

// Where a run went, for messages: "node n1, workspace /scratch/rank-1/set-x/w1".
QString placeOf(const QString& node, const QString& workspace);
