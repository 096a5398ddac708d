#pragma once
// Several model runs at once: the engine behind the parallel phases of the
// operations (the initial simplex, a shrink, the speculative points of the
// search, the runs of the sensitivity and uncertainty analyses).
//
// A pool has size() workers. start() hands a ticket to an idle worker, which
// writes the vector into its own copy of the database, runs its own copy of the
// model there, and reads the result; finished() tells of it. Everything happens
// in the event loop of the calling thread: a pool never blocks while its runs
// go on, and finished() is emitted from the event loop, never from inside
// start().
//
// The local engine (local_run_pool.h) keeps one evaluator per workspace on this
// machine; other engines may run the tickets elsewhere. The operations see only
// this interface and runAll().
#include "evaluation/evaluator.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

// One model run to make.
struct RunTicket {
    int run = 0;            // running number (FITMARA_RUN), unique within the operation
    ParameterVector vector; // the parameter vector, 1..records
    Reading reading = Reading::Criterion;
    int pauseBeforeMs = 0; // waited in the worker before the run (initial simplex vertices)
};

// One try of a run that was tried again (RR=): how it ended, for the journal.
struct RunTry {
    EvaluationResult result;
    QString exitStatus;
    QDateTime startedAt;
    double durationSeconds = 0;
};

// How one ticket ended.
struct RunOutcome {
    int run = 0;
    EvaluationResult result; // when neither failed nor stopped
    bool started = false;    // false: never handed to a worker (a stop came first)
    bool failed = false;     // the run could not be made; error holds the FitError text
    QString error;
    bool stopped = false; // ended by stopAll(), or never started
    int worker = 0;       // 1..size() of the worker that made it; 0 when not started
    QString place;        // the workspace folder of the run, for messages
    QString node;         // the machine it ran on, when not this one (MPI workers)
    // How the model's process ended, for the run journal; empty and invalid
    // when the model was not started.
    QString exitStatus;
    QDateTime startedAt;
    double durationSeconds = 0;
    QString output; // the last lines the model wrote, for the journal (also of a complete run)
    // The failed tries before the last one, first first (RR=); result.tries
    // counts them with the last.
    std::vector<RunTry> earlierTries;
};

class RunPool : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    ~RunPool() override = default;

    // Workers, and of these the ones without a run now.
    virtual int size() const = 0;
    virtual int idle() const = 0;
    // Hands the ticket to an idle worker (FitError when none is idle). A run that
    // cannot be made (a failed write or start) is reported through finished()
    // with failed=true, like every other end.
    virtual void start(const RunTicket& ticket) = 0;
    // Ends every running model and what it started (its process group). The
    // outcomes of those runs still arrive, with stopped=true.
    virtual void stopAll() = 0;

    // Makes what the workers need before the first run (where that is not done
    // when the pool is made): called once the operation's backup is taken, so
    // that a copy of the database holds the tables as the operation starts.
    // FitError naming every worker that could not be made ready.
    virtual void prepare() {}

    // What the pool keeps on disk for its workers: how many workspaces, their
    // bytes together. For the closing line of the log.
    virtual int workspaceCount() const { return 0; }
    virtual qint64 workspaceBytes() const { return 0; }

  signals:
    void finished(const RunOutcome& outcome);
};

// Runs the tickets, at most pool.size() at once, waiting in the event loop
// (never spinning), and returns their outcomes in the order of the tickets.
// When stopRequested() turns true, or a run fails and endOnFailure is set, no
// further ticket is started and the running models are ended (stopAll); the
// tickets not started come back with started=false, stopped=true. Returns only
// when none of its runs is going on any more. progress, when given, is told
// after every start and every end how many of the pool's workers are busy.
struct RunRound {
    std::function<bool()> stopRequested;
    std::function<void(int running)> progress;
    // Told when a run starts (true) and when it ends (false), by its number.
    std::function<void(int run, bool going)> runChanged;
    // Told of each ticket's outcome as it arrives: the ticket's index, the outcome.
    std::function<void(std::size_t ticket, const RunOutcome& outcome)> ended;
    bool endOnFailure = true;
};
std::vector<RunOutcome> runAll(RunPool& pool, const std::vector<RunTicket>& tickets,
                               const RunRound& round = {});
