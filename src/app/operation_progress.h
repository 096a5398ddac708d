#pragma once
// How far the running operation has come: the evaluations made of how many,
// the best criterion so far, the time since it started and the parallel runs
// going on. The window shows it in its status bar; a run without a window
// prints a short line now and then.
#include <QElapsedTimer>
#include <QMap>
#include <QString>

class ModelProcess;

class OperationProgress {
  public:
    // A new operation: no evaluation made yet, no best, the clock started.
    // `expected`: the evaluations it expects in all (the initial simplex and
    // Nmax for a calibration, one per parameter and the base run for the
    // sensitivities); 0 stands for Nmax.
    void start(int expected);
    // The clock alone (a model check counts no evaluations).
    void startClock() { clock.start(); }
    void setExpected(int expected) { expectedEvaluations = expected; }
    // Forgets the parallel runs of an earlier operation.
    void clearRuns();

    // One evaluation completed with this criterion.
    void evaluated(double criterion);
    void setEvaluations(int count) { evaluationCount = count; }

    // The parallel runs: how many go on, of how many workers; run `run` started
    // (going) or ended.
    void runsGoing(int running, int workers);
    void runChanged(int run, bool going);
    // The start of a run as milliseconds of the clock, for a run started
    // before the clock (a test of the long-run text).
    void setRunStarted(int run, qint64 ms) { runsInFlight.insert(run, ms); }

    int evaluations() const { return evaluationCount; }
    // The evaluations expected in all; `maxEvaluations` when none was given.
    int expected(int maxEvaluations) const {
        return expectedEvaluations > 0 ? expectedEvaluations : maxEvaluations;
    }
    bool haveBest() const { return bestKnown; }
    double best() const { return bestCriterion; }
    qint64 elapsedMs() const { return clock.isValid() ? clock.elapsed() : 0; }
    int runsRunning() const { return running; }
    int workers() const { return runWorkers; }

    // What the status bar tells beside the evaluation count: the runs going on
    // (NP > 1), a run going on for long (which, and how long; `inPlace` is the
    // model run without parallel runs), and a stop under way. Empty when there
    // is nothing to add.
    QString details(const ModelProcess& inPlace, bool stopping) const;

    // A headless progress line is due: none yet since the parallel runs began,
    // or ten seconds since the last one. Marks it as printed.
    bool progressLineDue();
    void resetProgressLines() { lastProgressLineMs = -1; }

  private:
    QElapsedTimer clock;
    int evaluationCount = 0;
    int expectedEvaluations = 0;
    double bestCriterion = 0;
    bool bestKnown = false;
    int running = 0;
    int runWorkers = 0;
    QMap<int, qint64> runsInFlight; // run number → start on the clock
    qint64 lastProgressLineMs = -1;
};
