#pragma once
// Runs on MPI ranks: rank 0 hands runs to the workers (RemoteWorkerPool), each
// worker rank serves them (RemoteWorker).
//
// Nothing here blocks or spins. Both sides look for arrived messages with a
// non-blocking probe from a timer of the Qt event loop: every millisecond right
// after a message, backing off to every `PollTiming::maxMs` while nothing comes,
// and after a longer quiet spell to an eightieth of its length (up to
// `PollTiming::idleMaxMs`), so that a rank waiting for minutes costs next to
// no CPU while a message is seen at most 1.25 % of the wait late.
// A blocking probe (in the loop or in a helper thread) is no option: Open MPI
// waits for a message by polling its network at full speed, so a master blocked
// in MPI_Probe burns a core that the models need, and a helper thread would
// need MPI_THREAD_MULTIPLE. A probe that finds nothing costs microseconds, so
// the timer costs almost nothing, and the window (or a run's wait) stays live
// because all of it happens between other events. Sends are non-blocking too;
// their buffers are kept until MPI is done with them.
#include "mpi/mpi_messages.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class MpiWorld;
class MpiMailbox;

struct PollTiming {
    int minMs = 1; // right after a message
    // After a short quiet spell (up to 80 * maxMs). A search step waits for
    // one run: its result and the next vector each wait up to this long.
    int maxMs = 2;
    // After a longer one: an eightieth of its length, up to this. 0: maxMs stays.
    int idleMaxMs = 250;
};

// Rank 0's view of the worker ranks 1 .. size-1. Results come back as the
// `finished` signal from the event loop, in the order in which runs end.
class RemoteWorkerPool : public QObject {
    Q_OBJECT
  public:
    explicit RemoteWorkerPool(MpiWorld& world, PollTiming timing = {}, QObject* parent = nullptr);
    // Ends the workers (shutdown) if nobody has; aborts the job when they do not go.
    ~RemoteWorkerPool() override;
    RemoteWorkerPool(const RemoteWorkerPool&) = delete;
    RemoteWorkerPool& operator=(const RemoteWorkerPool&) = delete;

    int workerCount() const { return int(workers.size()); }
    int freeWorkerCount() const;
    // Runs sent and not yet answered (stopped ones included until they answer).
    int runningCount() const;
    // The workspace a worker rank (1 .. workerCount()) reported.
    WorkspaceInfo workspaceOf(int rank) const;

    // Sends `setup` to every worker and processes events until each has made
    // its workspace. Throws FitError naming every worker (rank, node, message)
    // that could not, or that did not answer within timeoutMs.
    QList<WorkspaceInfo> setUpWorkspaces(const WorkerSetup& setup, int timeoutMs);

    // Sends the run to the free worker of the lowest rank and returns that rank.
    // FitError when no worker is free.
    int start(const RunRequest& request);

    // Asks every worker with a run going to end its model. Their results still
    // come, with `stopped` set; then the workers are free again.
    void stopAll();

    // Processes events until no run is going; false when timeoutMs passed first.
    // Throws FitError when the transport failed.
    bool waitUntilIdle(int timeoutMs);

    // Tells every worker to stop its run and leave, and processes events until
    // each has said that no model of its own runs any more. False when some did
    // not within graceMs. After true, every rank can finalise normally.
    bool shutdown(int graceMs);

    // After an error: shutdown(graceMs), and when that fails MPI_Abort with
    // exitCode as the last resort (does not return then).
    void endAll(int exitCode, int graceMs);

    // The transport's failure, empty while it works.
    QString error() const { return failure; }

  signals:
    // A run has ended on worker `rank` (its result, good or bad, or stopped).
    void finished(int rank, const RunResult& result);
    // A message could not be sent, received or understood, or a worker left on
    // its own. Nothing more will come; the caller should endAll().
    void failed(const QString& message);

  private:
    enum class State { Fresh, SettingUp, Idle, Busy, Stopping, Failed, Leaving, Gone };
    struct Worker {
        State state = State::Fresh;
        qint64 run = 0;
        WorkspaceInfo info;
        QString message; // why its workspace failed
    };

    void receive(int source, MessageKind kind, const QByteArray& payload);
    void fail(const QString& message);
    void updatePolling();
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    Worker& worker(int rank) { return workers[std::size_t(rank - 1)]; }
    const Worker& worker(int rank) const { return workers[std::size_t(rank - 1)]; }

    MpiWorld& world;
    std::unique_ptr<MpiMailbox> mailbox;
    std::vector<Worker> workers;
    QString failure;
    bool shutDown = false;
};

// A worker rank: makes its workspace when told, then runs what rank 0 sends
// until rank 0 says shutdown. The handlers do the real work:
//  - setup makes the workspace and returns where it is (throws FitError when
//    it cannot);
//  - run evaluates one request; it may take as long as the model does, and
//    must process events while it waits (so stop requests are seen); an
//    exception becomes the result's error;
//  - stop ends the model of the running run, and returns once its processes
//    are gone (ModelProcess::kill does).
class RemoteWorker : public QObject {
    Q_OBJECT
  public:
    using SetupHandler = std::function<WorkspaceInfo(const WorkerSetup&)>;
    using RunHandler = std::function<RunResult(const RunRequest&)>;
    using StopHandler = std::function<void()>;

    RemoteWorker(MpiWorld& world, SetupHandler setup, RunHandler run, StopHandler stop,
                 PollTiming timing = {}, QObject* parent = nullptr);
    ~RemoteWorker() override;
    RemoteWorker(const RemoteWorker&) = delete;
    RemoteWorker& operator=(const RemoteWorker&) = delete;

    // Serves until shutdown (0). SIGTERM, SIGINT or SIGHUP end the running
    // model and return 128 + the signal, the job being torn down: the world is
    // then abandoned (no MPI_Finalize). 1 after a transport failure (written to
    // standard error).
    int exec();

  private:
    void receive(int source, MessageKind kind, const QByteArray& payload);
    void serve(const RunRequest& request);
    void leave(int status);
    void protocolError(const QString& message);
    void onSignal(int sig);

    MpiWorld& world;
    SetupHandler setupHandler;
    RunHandler runHandler;
    StopHandler stopHandler;
    std::unique_ptr<MpiMailbox> mailbox;
    bool ready = false; // the workspace is made
    bool busy = false;  // a run handler is working
    bool stopRequested = false;
    bool leaving = false; // shutdown received
    bool ended = false;   // the loop is told to end
    int status = 0;
    WorkspaceInfo info;
    class QEventLoop* loop = nullptr;
};
