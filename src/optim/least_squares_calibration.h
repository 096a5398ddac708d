#pragma once
// "start optimization" with the least-squares search (SM=LM): every AVAL from
// its IVAL, the Levenberg-Marquardt search on the model's simulated values,
// the best point stored as AVAL, and the protocol Opti_Result.TXT.
//
// The search minimises S = sum_i w_i (obs_i - sim_i)^2 over the chosen result
// rows, w_i = 1 / the row's variance (OV=) or 1 without a variance column. The
// observations and variances are read once, before the first run. The protocol
// also gives the criterion chosen with EF= at every accepted point, so that a
// least-squares calibration can be set beside a simplex one.
//
// Runs go through the evaluator one after the other, or on the workspaces of
// the parallel runs, each batch of the search as one round; the search takes
// the same path either way. A resumed calibration takes the simulated values of
// the runs its earlier start completed from the run journal.
#include "optim/calibration.h"

namespace lsq {
struct Problem;
struct Result;
} // namespace lsq

class LeastSquaresCalibration {
  public:
    LeastSquaresCalibration(const CalibrationSettings& settings, Database& db, Evaluator& evaluator,
                            Reporter& reporter);

    // Throws FitError for an empty PARM_INT, variances that are not positive,
    // a start run that does not complete, and the errors of the runs.
    CalibrationSummary optimize();

    void setParallel(ParallelRuns* runs) { parallel = runs; }
    // An unattended calibration that is stopped gives AVAL back, and its
    // protocol says that it stopped before it finished.
    void setUnattended(bool on) { unattended = on; }

  private:
    // The starts of one search and their runs (least_squares_calibration.cpp).
    class Starts;
    // The end of the search at `result`: the uncertainty at it (unless the
    // search was stopped), AVAL, and the closing lines of the protocol, which
    // is saved.
    void storeResult(CalibrationSummary& summary, const lsq::Problem& problem,
                     const lsq::Result& result, int aheadNotNeeded);

    ParallelRuns* parallel = nullptr;
    bool unattended = false;
    CalibrationSettings cfg;
    Database& db;
    Evaluator& evaluator;
    Reporter& report;
};
