#pragma once
// Workers that evaluate parameter vectors at the same time. An operation hands
// a pool tickets (a running number, the vector, what to read) and gets one
// outcome per ticket back through `finished`, in the order in which runs end;
// runAll() gives them back in the order of the tickets.
//
// The pool is an interface: local workspaces on this machine are one kind of
// pool, the worker ranks of an MPI job another. The operations do not know
// which one runs their vectors.
#include "evaluation/evaluator.h"

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

struct RunTicket {
    int run = 0;      // running number of the run (FITMARA_RUN)
    tfmatrix vector;  // parameter vector, used from index 1
    Reading reading = Reading::Criterion;
};

struct RunOutcome {
    int run = 0;
    EvaluationResult result; // valid unless failed
    bool failed = false;     // the run could not be made; `error` says why
    QString error;
    bool stopped = false; // a stop request ended the run
    int worker = 0;       // 1..size()
    QString place;        // where it ran, for messages ("node n1, workspace /tmp/w1")
};

class RunPool : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    ~RunPool() override = default;

    // Workers in all, and those free for a run now.
    virtual int size() const = 0;
    virtual int idle() const = 0;
    // Starts the ticket on a free worker; FitError when none is free or the run
    // cannot be handed over. The outcome comes through `finished`.
    virtual void start(const RunTicket& ticket) = 0;
    // Ends every running model; their outcomes still come, marked stopped.
    virtual void stopAll() = 0;

  signals:
    void finished(const RunOutcome& outcome);
};

// Runs every ticket, at most size() at a time, processing events while it
// waits, and returns the outcomes in the order of the tickets. When
// stopRequested() turns true, no ticket is started any more and the running
// ones are stopped; tickets never started come back stopped. FitError when a
// run cannot be handed over (the running ones are stopped and awaited first).
std::vector<RunOutcome> runAll(RunPool& pool, const std::vector<RunTicket>& tickets,
                               const std::function<bool()>& stopRequested);
