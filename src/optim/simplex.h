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

using ParameterVector = std::vector<double>;          // index 0 unused, 1..ndim
using ValueVector = std::vector<double>;              // index 0 unused, 1..ndim+1
using SimplexVertices = std::vector<ParameterVector>; // vertices 1..ndim+1

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
    // The objective; may throw (the error leaves minimise unchanged). A return of
    // +infinity (an incomplete model run) or NaN ranks worse than every finite value.
    std::function<double(const ParameterVector&)> eval;
    // Optional: evaluates several points at once (parallel model runs) and returns
    // one outcome per point, in the order of the points. When set, each iteration
    // evaluates, together with the reflected point, the points the search may need
    // next (expansion, and contraction with and without the reflection accepted),
    // and a shrink evaluates its vertices together. The search takes the same
    // decisions, with the same values, log and count, as with eval alone; points it
    // did not need are counted apart (Simplex::speculativeEvaluations). A point
    // needed outside a batch is evaluated by eval, or as a batch of one when eval is
    // empty. An exception thrown by evalBatch itself ends minimise at once.
    std::function<std::vector<BatchValue>(const std::vector<ParameterVector>&)> evalBatch;
    // Optional: told of every value the search takes, in the search's order, just
    // before it decides on it (after a batch, in the order the serial search
    // evaluates). The place for chart points and counters, which must follow the
    // algorithm, not the order in which runs finish. Not called for a failed point.
    std::function<void(const ParameterVector& x, double value)> taken;
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
    // Optional: writes the log's line of the accepted step with this count
    // instead of log("step<count>"), for an owner whose numbering goes on from
    // evaluations it does not know yet.
    std::function<void(int count)> logStep;
    // Optional: the budget given to the constructor is only a part of it that
    // is certain. When the count reaches it, this gives the whole budget (it
    // may wait for what decides it); asked again, it gives the same.
    std::function<int()> exactBudget;
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

    // lowerBounds and upperBounds hold the lower and upper bounds at indices 1..ndim.
    // Throws FitError when ndim < 1 or a bound vector is too short.
    Simplex(int ndim, const ParameterVector& lowerBounds, const ParameterVector& upperBounds,
            int maxEvaluations, SimplexSink sink);

    // Minimises in place: p holds vertices 1..ndim+1 (coordinates 1..ndim), y their
    // values. On return they describe the final simplex, and count the number of
    // evaluations made here. Ends silently on convergence (relative spread of the
    // values below ftol), with a log line on the budget or on a stop request.
    // firstCount: the evaluations made before this call that count against the
    // budget (another search before this one, on the same budget); count starts
    // from it, and the log's step numbers go on from it.
    void minimise(SimplexVertices& p, ValueVector& y, int& count, double ftol, int firstCount = 0);

    // One trial point on the line through vertex ihi and the centroid of the
    // others (fac -1 reflection, 2 expansion, 0.5 contraction), clipped to the
    // bounds and evaluated; replaces vertex ihi when strictly better. Returns the
    // trial's value, or +infinity without evaluating when a stop was requested.
    double tryPoint(SimplexVertices& p, ValueVector& y, ParameterVector& psum, int ihi, int& count,
                    double fac);

    // The value returned by the most recent evaluation (NaN before the first).
    double finalValue() const { return lastError; }
    // Why the last minimise call ended.
    Termination termination() const { return term; }
    // True once a stop request has been honoured.
    bool stopped() const { return stopFlag; }
    // Evaluations made ahead in batches that the last minimise call did not use; they
    // are not in its count.
    int speculativeEvaluations() const { return speculative; }

    // The steps the last minimise call tried: trial points of each kind, and shrinks.
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
        ParameterVector x;
        BatchValue outcome;
        bool used = false;
    };

    // The vertices by their values: the best (lowest), the worst and the next
    // worst.
    struct Ranking {
        int ilo = 1;
        int ihi = 1;
        int inhi = 1;
    };

    // The steps of minimise. Each of iterate, contract and shrink returns false
    // when a stop request ended it (the simplex then holds only evaluated vertices).
    // Clears what the previous call left: count, termination, stop, moves, batches.
    void resetSearch(int& count, int firstCount);
    // Throws FitError when p or y is too short; ranks a NaN value like +infinity.
    void takeVertices(const SimplexVertices& p, ValueVector& y) const;
    Ranking rank(const ValueVector& y) const;
    // The relative spread of the values, 2|hi - lo| / (|hi| + |lo|), below ftol.
    static bool hasConverged(const ValueVector& y, const Ranking& r, double ftol);
    // The count has reached the budget (asked of exactBudget when it is given).
    bool budgetSpent(int count);
    // Reflection, then expansion or contraction as the reflected value decides.
    bool iterate(SimplexVertices& p, ValueVector& y, ParameterVector& psum, const Ranking& r,
                 int& count);
    // Contraction of the worst vertex, and a shrink when that did not help.
    bool contract(SimplexVertices& p, ValueVector& y, ParameterVector& psum, const Ranking& r,
                  int& count);
    // Every vertex but the best halfway towards it.
    bool shrink(SimplexVertices& p, ValueVector& y, ParameterVector& psum, int ilo, int& count);
    // Notes which point after the reflection this iteration needs (see guessedFollowUp).
    void rememberFollowUp(double ytry, double worst, const ValueVector& y, const Ranking& r);
    void endOnStop();

    // After a batch point that was left out: true (and stopped) when a stop is
    // requested now.
    bool stoppedWhileLeftOut();
    bool stopNow();
    double evaluate(const ParameterVector& x);
    ParameterVector trialPoint(const ParameterVector& worst, const ParameterVector& psum,
                               double fac) const;
    void prefetchIteration(const SimplexVertices& p, const ParameterVector& psum, int ihi);
    void prefetchShrink(const SimplexVertices& p, int ilo);
    void prefetch(std::vector<ParameterVector> points);
    void discardPrefetched();
    void log(const QString& line, bool select) const;

    int ndim;
    ParameterVector lowerBounds;
    ParameterVector upperBounds;
    int maxEvaluations;
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
void logSimplex(int ndim, int iteration, const ValueVector& y, const SimplexVertices& p,
                const std::function<void(const QString&, bool)>& log);
// The same under another heading.
void show_vertices(int ndim, const QString& heading, const ValueVector& y, const SimplexVertices& p,
                   const std::function<void(const QString&, bool)>& log);

// R(x) of the log: x rounded to four significant digits (magnitude rounded half
// away from zero). R(0) = 0; infinities and NaN are returned unchanged.
double roundR(double x);
