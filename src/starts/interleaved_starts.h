#pragma once
// The starts of a search (MS=) side by side on the run pool.
//
// Each start is a task on a stack of its own, and all of them run on this
// thread, one at a time: a task runs until it needs model runs (or has to wait
// for the starts before it), then the next one in the order of the starts
// runs. When none can go on, the runs all waiting tasks asked for go to the
// pool in one round, in the order of the starts, and each task takes up its
// own outcomes. A start's path depends only on its own values, so the starts
// end as they would one after the other; only the runs happen sooner. The
// database, the model processes and the window are used from this thread
// only, as everywhere else.
//
// What a start writes to the protocol (StartOutput) is held back until the
// starts before it have ended, so that the protocol lists the starts one
// after the other, as serial runs do.
#include "evaluation/report.h"
#include "paramdb/journal.h"
#include "runs/run_pool.h"

#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

class ParallelRuns;
class StartOutput;

class InterleavedStarts {
  public:
    // Side by side on `runs`; without them (null), one after the other.
    explicit InterleavedStarts(ParallelRuns* runs);
    ~InterleavedStarts();
    InterleavedStarts(const InterleavedStarts&) = delete;
    InterleavedStarts& operator=(const InterleavedStarts&) = delete;

    bool sideBySide() const { return parallel != nullptr; }

    // Runs body(k) for every start k, outputs[k] being its output, which comes
    // to the front when the starts before it have ended. One after the other,
    // the starts after one that `stopped` tells of are not begun. Side by
    // side, each start is a task, and this returns when all have ended; the
    // error of a task ends the others (their next or current wait unwinds
    // them) and is thrown here: of several, the first start's.
    void run(const std::vector<StartOutput*>& outputs, const std::function<void(int start)>& body,
             const std::function<bool(int start)>& stopped);

    // In a task: its runs, made in a round together with the runs the other
    // tasks ask for by then, the outcomes in the order of the vectors. Every
    // run's journal row is written as speculative; the task retakes the rows
    // of the runs it uses, in its own phase, as the search does with the runs
    // it makes ahead.
    std::vector<RunOutcome> round(const std::vector<ParameterVector>& vectors, Reading reading,
                                  int pauseBeforeMs = 0);
    // In a task: returns once every start before it has ended (at once one
    // after the other).
    void awaitEarlierStarts();
    // The start that runs now (-1 outside run()).
    int current() const { return running; }

  private:
    struct Task;
    static void enter();
    void resume(int k);
    // Gives the thread back to run(); throws Cancelled when the starts end on
    // the error of another.
    void yieldToScheduler();
    bool earlierEnded(int start) const;

    // The steps of run. Without a pool: each start in turn, until one is stopped.
    void runOneAfterAnother(const std::vector<StartOutput*>& outputs,
                            const std::function<void(int)>& work,
                            const std::function<bool(int)>& stopped);
    // Task k can go on: it is ready, or waited for the starts before it and they ended.
    bool ready(int k) const;
    // The first task that can go on, in the order of the starts; -1 for none.
    int firstReady() const;
    // Lets task k go on until it waits or ends; when it ended, the front moves on.
    void resumeTask(int k, const std::vector<StartOutput*>& outputs);
    // Every task still going is to unwind (an error ended the starts).
    void cancelTasks();
    // One round of the runs the tasks asked for, their outcomes handed back;
    // false when none asked (every task has ended).
    bool runAskedRound();

    ParallelRuns* parallel;
    std::vector<std::unique_ptr<Task>> tasks;
    const std::function<void(int)>* body = nullptr;
    struct SchedulerContext;
    std::unique_ptr<SchedulerContext> scheduler;
    int running = -1;
    bool cancelled = false;
};

// What one start tells the reporter. The start at the front (every start
// before it has ended) writes straight through; the others keep their lines,
// chart points and protocol calls in order, and hand them on when they come
// to the front. The stop question, the event loop and the pool's progress go
// straight through always.
class StartOutput : public Reporter {
  public:
    explicit StartOutput(Reporter& target) : out(target) {}

    // Something to tell the reporter once this start is at the front: now when
    // it is, else in order with the rest. For text that depends on the starts
    // before it (the running numbers of the simplex's steps).
    void later(std::function<void(Reporter&)> action);
    // This start is at the front from now on: what it kept goes out.
    void toFront();
    bool atFront() const { return front; }

    void log(const QString& line, bool select = false) override;
    void clearLog() override;
    void saveLog(const QString& fileName) override;
    void evaluated(double criterion) override;
    void parameterListChanged() override;
    void parameterValuesChanged() override;
    bool stopRequested() const override { return out.stopRequested(); }
    void processEvents() override { out.processEvents(); }
    void runsGoing(int running, int workers) override { out.runsGoing(running, workers); }
    void runChanged(int run, bool going) override { out.runChanged(run, going); }

  private:
    Reporter& out;
    bool front = false;
    std::vector<std::function<void(Reporter&)>> kept;
};
