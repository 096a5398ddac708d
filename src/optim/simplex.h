#pragma once
// Bounded downhill simplex (Nelder-Mead) over the box of parameter bounds.
//
// Every objective evaluation is one full model run, so the method reuses the
// coordinate sums instead of recomputing the centroid, counts its evaluations
// exactly and stops on an evaluation budget. The objective is injected, so the
// optimisation run passes the model evaluation and tests pass analytic functions.
#include <QString>

#include <functional>
#include <vector>

using tfmatrix = std::vector<double>;   // index 0 unused, 1..ndim
using tfmatrix1 = std::vector<double>;  // index 0 unused, 1..ndim+1
using tsimplex = std::vector<tfmatrix>; // vertices 1..ndim+1

// How the simplex talks to its owner.
struct SimplexSink {
    // The objective; may throw (the error leaves amoeba unchanged). A return of
    // +infinity (an incomplete model run) or NaN ranks worse than every finite value.
    std::function<double(const tfmatrix&)> eval;
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

  private:
    bool stopNow();
    double evaluate(const tfmatrix& x);
    void log(const QString& line, bool select) const;

    int ndim;
    tfmatrix mnp;
    tfmatrix mxp;
    int max_call;
    SimplexSink sink;
    double lastError;
    Termination term = Termination::None;
    bool stopFlag = false;
};

// Appends the whole simplex and its values to the log: "Iteration n", one line per
// vertex, one line of values.
void show_simplex(int ndim, int iteration, const tfmatrix1& y, const tsimplex& p,
                  const std::function<void(const QString&, bool)>& log);

// R(x) of the log: x rounded to four significant digits (magnitude rounded half
// away from zero). R(0) = 0; infinities and NaN are returned unchanged.
double roundR(double x);
