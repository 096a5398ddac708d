#pragma once
// The search of "start optimization ": every AVAL from its IVAL, the initial
// simplex (the start vector and one vertex per parameter displaced by its
// step), the bounded simplex search, the centroid of the final simplex stored
// as AVAL, and the protocol Opti_Result.TXT.
//
// It works on the settings it is given, evaluates through the evaluator and
// reports through the reporter; backing up and restoring the model's tables,
// and deciding on the result, are left to the caller.
#include "evaluation/report.h"
#include "evaluation/settings.h"
#include "optim/least_squares_uncertainty.h"
#include "optim/simplex.h"

#include <memory>

class Database;
class Evaluator;
class InterleavedStarts;
class ParallelRuns;
class RunJournal;
struct EvaluationResult;

struct CalibrationSummary : Summary {
    int ndim = 0;
    // The stored AVAL values, 1..ndim: the centroid of the final simplex, or for
    // a stopped search its best vertex (a vector the model has run). Empty when
    // the search was stopped before any model run completed: nothing is stored.
    ParameterVector result;
    double resultCriterion = 0; // the criterion at `result` when the model ran it
    bool resultSimulated = false;
    double lastError = 0; // the value of the last evaluation of the search
    bool haveLastError = false;
    // After the least-squares search: the uncertainty at its result, from the
    // Jacobian there; null after the simplex or a stopped search.
    std::shared_ptr<const LeastSquaresUncertainty> leastSquares;
};

// The number of PARM_INT records.
int parameterCount(Database& db);
// Every search starts from IVAL: sets AVAL := IVAL in every record and
// returns the number of parameters; FitError when PARM_INT holds none.
int startFromInitialValues(Database& db);

// The protocol's last lines after either search, and the protocol saved as
// Opti_Result.TXT: how it ended ("Optimisation finishes - results are stored as
// AVAL", or for an unattended search that was stopped "Optimisation stopped
// before it finished": the operation gives AVAL back), the note of a resumed
// calibration, and the parallel runs' closing line.
void closeCalibrationProtocol(Reporter& report, const CalibrationSummary& summary, bool unattended,
                              RunJournal* journal, ParallelRuns* parallel, int runsAheadNotNeeded);

class Calibration {
  public:
    Calibration(const CalibrationSettings& settings, Database& db, Evaluator& evaluator,
                Reporter& reporter);

    // Throws FitError for an empty PARM_INT, when no run of the initial simplex
    // completed, for a tolerance that is no number, and for the errors of the
    // evaluations; the model's tables then hold the last trial vector.
    CalibrationSummary optimize();

    // The most model runs that the search these settings choose keeps going at
    // once for `parameters` parameters; more workers would only wait. The
    // simplex: the points one iteration may take (4). Its initial simplex and a
    // shrink have n + 1 and n points, which then run in turns on those workers,
    // so that the workspaces made are those the search keeps busy. The
    // least-squares search: a trial step with the differences at it that it
    // evaluates ahead, n + 1 (2n + 1 with central differences).
    static int usefulWorkers(const CalibrationSettings& settings, int parameters);

    // Runs the model in parallel, on the workspaces of `runs`: the initial
    // simplex at once, and the search with its points evaluated ahead. The
    // search's decisions, log and count stay those of the serial one; a last
    // line of the log tells of the runs evaluated ahead and not needed. Null
    // (the default): every run through the evaluator, one after the other.
    void setParallel(ParallelRuns* runs) { parallel = runs; }
    // An unattended calibration that is stopped gives AVAL back, and its
    // protocol says that it stopped before it finished.
    void setUnattended(bool on) { unattended = on; }

  private:
    struct StartEnds;
    // The starts of one search and their runs (calibration.cpp).
    class SimplexStarts;
    // The end of the search: its outcome and result into `summary`, the result
    // into AVAL, the list of the starts and the closing lines of the protocol.
    void storeResult(CalibrationSummary& summary, const StartEnds& starting, bool stopped,
                     const ParameterVector& lowerBounds, const ParameterVector& upperBounds,
                     int speculativeRuns);
    // Returns how many vertices were evaluated (taken from the journal or run).
    // The runs are made through `side` when the starts go side by side, and
    // reported to `out`, the start's reporter.
    int initialSimplexInParallel(const SimplexVertices& p, ValueVector& y, int ndim,
                                 CalibrationSummary& summary, EvaluationResult& lastIncomplete,
                                 Reporter& out, InterleavedStarts* side);

    ParallelRuns* parallel = nullptr;
    bool unattended = false;
    CalibrationSettings cfg;
    Database& db;
    Evaluator& evaluator;
    Reporter& report;
};
