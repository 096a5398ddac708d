#pragma once
// A bounded Levenberg-Marquardt search for model parameters: it minimises the
// weighted sum of squared residuals S(x) = sum_i w_i (obs_i - sim_i(x))^2.
//
// Every iteration asks for its model runs in batches whose runs are independent
// of each other, so that a pool of workers can make them at once: the
// finite-difference Jacobian (n runs, or 2n with central differences), then one
// trial step at the current Marquardt damping, raised tenfold while a trial
// fails. The path is that of one worker whatever their number: with more
// workers, a trial's batch also carries the Jacobian's runs at the trial point
// (the Jacobian the search needs next if it accepts it), as many as there are
// idle workers. They only make runs earlier, never change a decision; the runs
// made ahead and not needed count against NX, so only a search that ends on NX
// can end sooner with more workers.
//
// The unit knows nothing of models or databases: the owner passes a function
// that turns parameter vectors into simulated values.
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace lsq {

using Vector = std::vector<double>; // indexed from 0

// What a batch of runs is for (the run journal's phase).
enum class Purpose { Start, Jacobian, Upgrade };

// One point of a batch.
struct PointResult {
    // False: no run was made (a stop request came first).
    bool evaluated = false;
    // False: the run was made but left no usable result; why says what happened.
    bool complete = false;
    Vector simulated; // one value per observation when complete
    QString why;
};

struct Problem {
    Vector observed;
    Vector weights; // w_i > 0, one per observation
    Vector lower, upper, start;
    // The scale of a parameter whose value is 0 (its difference step is
    // relativeStep times this): PARM_INT's STEP, or the width of the bounds.
    Vector scale;
    QStringList names; // for the log; may be empty
};

struct Options {
    double relativeStep = 0.01; // DS=
    bool central = false;       // JD=central
    // KR=: the search has converged when each of the last two iterations
    // lowered S by less than this fraction.
    double objectiveTolerance = 1e-4;
    // The search has converged when no parameter moved by more than this
    // fraction of its magnitude (or of its scale, for a value of 0).
    double stepTolerance = 1e-10;
    int maxRuns = 50; // NX=: never more model runs than this, the start run included
    // Optional: maxRuns is only a part of the budget that is certain; the
    // first time a batch would go beyond it, this gives the whole (it may wait
    // for what decides it).
    std::function<int()> exactMaxRuns;
    // At a converged end, make the Jacobian at the result when the last one was
    // made elsewhere (within maxRuns), so that Result::jacobian belongs to x.
    bool jacobianAtResult = false;
    // A start run that does not complete ends the search (StartIncomplete)
    // instead of raising an error: one of several starts may fall where the
    // model fails.
    bool startMayFail = false;
};

struct Sink {
    // Required: one result per point, in the order of the points. May throw; the
    // error ends the search.
    std::function<std::vector<PointResult>(const std::vector<Vector>& points, Purpose purpose)>
        evaluate;
    // Optional, with more than one worker: like evaluate, but only the first
    // `needed` points are needed now; the others are runs ahead, whose results
    // the owner holds back (not reported, journaled as speculative) until the
    // search takes them (taken). A run ahead that fails is an error only when
    // it is taken.
    std::function<std::vector<PointResult>(const std::vector<Vector>& points, Purpose purpose,
                                           std::size_t needed)>
        evaluateAhead;
    // A run made ahead is used now, as a run of the Jacobian.
    std::function<void(const Vector& point)> taken;
    // The runs that can go at once; above 1 (and with evaluateAhead) the idle
    // workers of a batch make runs ahead.
    int workers = 1;
    std::function<void(const QString& line, bool select)> log;
    std::function<bool()> stopRequested;
    // Told of every point the search accepts (the start included), after its
    // log lines: the owner can add lines of its own below them.
    std::function<void(const Vector& x, const Vector& simulated, double objective)> accepted;
};

enum class Termination {
    ObjectiveConverged, // the relative change of S stayed below KR
    SmallStep,          // the accepted step was below the step tolerance
    NoImprovement,      // no damping of the step lowers S any further
    NothingToGain,      // a step failed where the linear model promised less than KR
    AllHeld,            // every parameter is held at a bound or has no effect
    Budget,             // the next batch would exceed NX runs
    Stopped,            // a stop was requested
    StartIncomplete,    // the run at the start point did not complete (startMayFail)
};
// The words the log and the summary use for an end.
QString terminationText(Termination t);

struct Result {
    Vector x; // the best accepted point
    Vector simulated;
    double objective = 0;
    Termination termination = Termination::Stopped;
    int runs = 0; // model runs the search used, the start run included
    // Model runs made: those used and the runs ahead that were not needed.
    // This is what NX bounds.
    int runsMade = 0;
    int iterations = 0;
    // The Jacobian of the simulated values (rows: observations, columns:
    // parameters), and whether it was made at x (it was not when the last
    // step was accepted after it).
    std::vector<Vector> jacobian;
    bool jacobianAtResult = false;
    // The parameters the data cannot determine at x (a direction of the
    // Jacobian's smallest singular values), in words; empty when all are.
    QString undetermined;
};

// The search. Throws FitError when the problem is malformed (sizes, weights,
// a start outside finite bounds is clipped, not refused) and when the run at
// the start point does not complete (unless startMayFail). Result::x is empty
// when the search has no point whose run completed.
Result minimise(const Problem& problem, const Options& options, const Sink& sink);

// The difference step of parameter j at x: relativeStep * |x_j|, or
// relativeStep * scale_j where x_j is 0.
double differenceStep(double x, double scale, double relativeStep);

// The parameters the columns of J cannot tell apart or do not see: for each
// singular value below 1e-8 of the largest (of J with its columns scaled to
// unit length), the parameters with the largest weights in its direction.
QString undeterminedParameters(const std::vector<Vector>& jacobian, const QStringList& names);

} // namespace lsq
