#pragma once
// Bounded downhill simplex (Nelder-Mead) over the box of parameter bounds.
//
// Every objective evaluation is one full model run, so the method reuses the
// coordinate sums instead of recomputing the centroid, counts its evaluations
// exactly and stops on an evaluation budget. The objective is injected, so the
// optimisation run passes the model evaluation and tests pass analytic functions.
#include <QString>

#include <exception>
#include <functional>
#include <limits>
#include <vector>

using tfmatrix = std::vector<double>;   // index 0 unused, 1..ndim
using tfmatrix1 = std::vector<double>;  // index 0 unused, 1..ndim+1
using tsimplex = std::vector<tfmatrix>; // vertices 1..ndim+1

// The outcome of one point of a batch evaluation.
struct BatchValue {
    // False: the point was not evaluated (the evaluator gave up after a stop request).
    bool evaluated = false;
    double value = std::numeric_limits<double>::quiet_NaN();
    // The error the evaluation raised; when set, value is not used.
    std::exception_ptr error;
};

// How the simplex talks to its owner.
struct SimplexSink {
    // The objective; may throw (the error leaves amoeba unchanged). A return of
    // +infinity (an incomplete model run) or NaN ranks worse than every finite value.
    std::function<double(const tfmatrix&)> eval;
    // Optional: evaluates several points at once (parallel model runs) and returns
    // one outcome per point, in the order of the points. When set, each iteration
    // evaluates, together with the reflected point, the points the search may need
    // next (expansion, and contraction with and without the reflection accepted),
    // and a shrink evaluates its vertices together. The search takes the same
    // decisions, with the same values, log and count, as with eval alone; points it
    // did not need are counted apart (Simplex::speculative_evaluations). A point
    // needed outside a batch is evaluated by eval, or as a batch of one when eval is
    // empty. An exception thrown by evalBatch itself ends amoeba at once.
    std::function<std::vector<BatchValue>(const std::vector<tfmatrix>&)> evalBatch;
    // Optional: told of every value the search takes, in the search's order, just
    // before it decides on it (after a batch, in the order the serial search
    // evaluates). The place for chart points and counters, which must follow the
    // algorithm, not the order in which runs finish. Not called for a failed point.
    std::function<void(const tfmatrix& x, double value)> taken;
    // At most this many points in one speculative batch (the free workers); 0: no
    // limit. The reflected point always comes first, then the expansion, then the
    // contraction without and with the reflection accepted. A shrink's vertices
    // are always handed over together.
    int batchWidth = 0;
    // With fewer workers than the iteration's points, the reflection comes
    // first and, when the last iterations all made the same move after it,
    // that move's point; otherwise nothing is evaluated ahead.
    // Appends a line to the log list; select=true scrolls the list to it.
    std::function<void(const QString& line, bool select)> log;
    // Asked before every evaluation; may be empty.
    std::function<bool()> stopRequested;
    // Optional: told true before the vertices of a shrink are evaluated, and
    // false after them (the run journal's phase).
    std::function<void(bool shrinking)> shrinking;
};

class Simplex {
  public:
    // The most points one iteration of the search can use: the reflection, the
    // expansion and the two contractions.
    static constexpr int kMostPointsAhead = 4;

    enum class Termination { None, Converged, Budget, Stopped };

    // mnp and mxp hold the lower and upper bounds at indices 1..ndim.
    // Throws FitError when ndim < 1 or a bound vector is too short.
    Simplex(int ndim, const tfmatrix& mnp, const tfmatrix& mxp, int max_call, SimplexSink sink);

    // Minimises in place: p holds vertices 1..ndim+1 (coordinates 1..ndim), y their
    // values. On return they describe the final simplex, and count the number of
    // evaluations made here. Ends silently on convergence (relative spread of the
    // values below ftol), with a log line on the budget or on a stop request.
    void amoeba(tsimplex& p, tfmatrix1& y, int& count, double ftol);

    // One trial point on the line through vertex ihi and the centroid of the
    // others (fac -1 reflection, 2 expansion, 0.5 contraction), clipped to the
    // bounds and evaluated; replaces vertex ihi when strictly better. Returns the
    // trial's value, or +infinity without evaluating when a stop was requested.
    double amotry(tsimplex& p, tfmatrix1& y, tfmatrix& psum, int ihi, int& count, double fac);

    // The value returned by the most recent evaluation (NaN before the first).
    double last_error() const { return lastError; }
    // Why the last amoeba call ended.
    Termination termination() const { return term; }
    // True once a stop request has been honoured.
    bool stopped() const { return stopFlag; }
    // Evaluations made ahead in batches that the last amoeba call did not use; they
    // are not in its count.
    int speculative_evaluations() const { return speculative; }

    // The steps the last amoeba call tried: trial points of each kind, and shrinks.
    struct Moves {
        int reflections = 0;
        int expansions = 0;
        int contractions = 0;
        int shrinks = 0;
    };
    const Moves& moves() const { return moveCount; }

  private:
    // A point evaluated ahead, waiting to be asked for.
    struct Prefetched {
        tfmatrix x;
        BatchValue outcome;
        bool used = false;
    };

    bool stopNow();
    double evaluate(const tfmatrix& x);
    tfmatrix trialPoint(const tfmatrix& worst, const tfmatrix& psum, double fac) const;
    void prefetchIteration(const tsimplex& p, const tfmatrix& psum, int ihi);
    void prefetchShrink(const tsimplex& p, int ilo);
    void prefetch(std::vector<tfmatrix> points);
    void discardPrefetched();
    void log(const QString& line, bool select) const;

    int ndim;
    tfmatrix mnp;
    tfmatrix mxp;
    int max_call;
    SimplexSink sink;
    double lastError;
    Termination term = Termination::None;
    bool stopFlag = false;
    // The stop question for the next evaluation was asked before its batch started.
    bool stopAskedAhead = false;
    std::vector<Prefetched> prefetched;
    int speculative = 0;
    // Which point after the reflection the last iterations evaluated (their
    // FollowUp, the latest at recentAt); with fewer free workers than points,
    // what to guess.
    static constexpr int kRecentIterations = 4;
    int recentFollowUps[kRecentIterations] = {};
    int recentAt = 0;
    int guessedFollowUp() const;
    Moves moveCount;
};

// Appends the whole simplex and its values to the log: "Iteration n", one line per
// vertex, one line of values.
void show_simplex(int ndim, int iteration, const tfmatrix1& y, const tsimplex& p,
                  const std::function<void(const QString&, bool)>& log);

// R(x) of the log: x rounded to four significant digits (magnitude rounded half
// away from zero). R(0) = 0; infinities and NaN are returned unchanged.
double roundR(double x);
