#include "optim/least_squares.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace lsq {

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The damping of the first trial.
constexpr double kStartLambda = 1e-3;
// Below this damping the next trial is the undamped (Gauss-Newton) step again,
// until a Gauss-Newton step fails.
constexpr double kUndampedBelow = 1e-7;
// Beyond this damping the step is a vanishing gradient step: S cannot be
// lowered from here with this Jacobian.
constexpr double kLargestLambda = 1e12;
// Singular values of the column-scaled Jacobian below this fraction of the
// largest mark directions the data cannot determine. Forward differences carry
// relative errors of about 1e-8, so exact dependence shows well above that.
constexpr double kUndeterminedRatio = 1e-6;
// Geodesic acceleration: the second derivative of the simulated values along a
// step v is taken from one run at x + kProbeFraction * v, and the correction
// it gives is used only while it stays below kLargestCorrection of the step
// (in the scaled norm); a larger one means the quadratic model is not to be
// trusted that far.
constexpr double kProbeFraction = 0.1;
constexpr double kLargestCorrection = 0.75;

double clamp(double v, double lo, double hi) {
    // As the evaluator holds a vector: upper bound first, then lower.
    if (v > hi)
        v = hi;
    if (v < lo)
        v = lo;
    return v;
}

QString nameOf(const QStringList& names, int j) {
    if (j < names.size() && !names[j].trimmed().isEmpty())
        return names[j].trimmed();
    return QStringLiteral("parameter %1").arg(j + 1);
}

QString vectorLine(const Vector& x) {
    QString line = QStringLiteral("  x:");
    for (double v : x)
        line += QStringLiteral("    ") + formatGeneral(v);
    return line;
}

struct Residuals {
    bool ok = false;
    VectorXd scaled; // sqrt(w_i) (obs_i - sim_i)
    double objective = std::numeric_limits<double>::infinity();
};

Residuals residualsOf(const Problem& p, const PointResult& r) {
    Residuals out;
    if (!r.evaluated || !r.complete || r.simulated.size() != p.observed.size())
        return out;
    out.scaled.resize(static_cast<Eigen::Index>(p.observed.size()));
    long double sum = 0;
    for (std::size_t i = 0; i < p.observed.size(); ++i) {
        const double e = std::sqrt(p.weights[i]) * (p.observed[i] - r.simulated[i]);
        if (!std::isfinite(e))
            return out;
        out.scaled[static_cast<Eigen::Index>(i)] = e;
        sum += static_cast<long double>(e) * e;
    }
    out.objective = static_cast<double>(sum);
    out.ok = std::isfinite(out.objective);
    return out;
}

// A run that was asked for and not made means a stop came: the search ends.
bool anyUnevaluated(const std::vector<PointResult>& results, std::size_t expected) {
    if (results.size() < expected)
        return true;
    for (std::size_t k = 0; k < expected; ++k)
        if (!results[k].evaluated)
            return true;
    return false;
}

// The difference points of one parameter and how they combine to a derivative.
struct Difference {
    std::vector<double> values; // the parameter's values to run (1 or 2)
    // derivative = (sum_k coef[k] * sim(values[k]) + coef0 * sim(x)) / denominator
    std::vector<double> coef;
    double coef0 = 0;
    double denominator = 0;
    bool possible = false;
};

Difference differenceOf(double x, double lo, double hi, double h, bool central) {
    Difference d;
    const double up = hi - x;   // room above
    const double down = x - lo; // room below
    if (!(h > 0) || !(up > 0 || down > 0))
        return d; // the bounds hold the parameter: it has no derivative to take
    d.possible = true;
    if (!central) {
        double step = up >= h ? h : down >= h ? -h : (up >= down ? up : -down);
        const double moved = x + step;
        d.values = {moved};
        d.coef = {1.0};
        d.coef0 = -1.0;
        d.denominator = moved - x; // the step the model sees
        return d;
    }
    if (up >= h && down >= h) {
        const double plus = x + h, minus = x - h;
        d.values = {plus, minus};
        d.coef = {1.0, -1.0};
        d.denominator = plus - minus;
        return d;
    }
    // One-sided second order, away from the bound: (-3 f0 + 4 f1 - f2) / (2 s).
    const double sign = up >= down ? 1.0 : -1.0;
    const double room = sign > 0 ? up : down;
    const double s = std::min(h, room / 2) * sign;
    const double x1 = x + s, x2 = x + 2 * s;
    d.values = {x1, x2};
    d.coef = {4.0, -1.0};
    d.coef0 = -3.0;
    d.denominator = 2 * s;
    return d;
}

} // namespace

QString terminationText(Termination t) {
    switch (t) {
    case Termination::ObjectiveConverged:
        return QStringLiteral("the objective changed by less than the tolerance (KR) over two "
                              "iterations");
    case Termination::SmallStep:
        return QStringLiteral("the step became smaller than the step tolerance");
    case Termination::NoImprovement:
        return QStringLiteral("no damped step lowers the objective any further");
    case Termination::NothingToGain:
        return QStringLiteral("a step failed where no step could lower the objective by more "
                              "than the tolerance (KR)");
    case Termination::AllHeld:
        return QStringLiteral("every parameter is held at a bound or has no effect");
    case Termination::Budget:
        return QStringLiteral("the model runs allowed (NX) are spent");
    case Termination::Stopped:
        return QStringLiteral("stopped on request");
    case Termination::StartIncomplete:
        return QStringLiteral("the model run at the start point did not complete");
    }
    return {};
}

double differenceStep(double x, double scale, double relativeStep) {
    const double base = x != 0 ? std::fabs(x) : std::fabs(scale);
    return relativeStep * base;
}

QString undeterminedParameters(const std::vector<Vector>& jacobian, const QStringList& names) {
    if (jacobian.empty() || jacobian[0].empty())
        return {};
    const Eigen::Index m = static_cast<Eigen::Index>(jacobian.size());
    const Eigen::Index n = static_cast<Eigen::Index>(jacobian[0].size());
    MatrixXd J(m, n);
    for (Eigen::Index i = 0; i < m; ++i)
        for (Eigen::Index j = 0; j < n; ++j)
            J(i, j) = jacobian[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
    QStringList parts;
    std::vector<Eigen::Index> seen;
    for (Eigen::Index j = 0; j < n; ++j) {
        const double norm = J.col(j).norm();
        if (!(norm > 0) || !std::isfinite(norm)) {
            parts << QStringLiteral("%1 (it does not change the simulated values)")
                         .arg(nameOf(names, int(j)));
            J.col(j).setZero();
        } else {
            J.col(j) /= norm;
            seen.push_back(j);
        }
    }
    if (seen.size() >= 2) {
        MatrixXd Js(m, static_cast<Eigen::Index>(seen.size()));
        for (std::size_t k = 0; k < seen.size(); ++k)
            Js.col(static_cast<Eigen::Index>(k)) = J.col(seen[k]);
        Eigen::JacobiSVD<MatrixXd> svd(Js, Eigen::ComputeFullV);
        const VectorXd s = svd.singularValues();
        const MatrixXd& V = svd.matrixV();
        const double largest = s.size() > 0 ? s[0] : 0;
        for (Eigen::Index k = 0; k < V.cols(); ++k) {
            const double sk = k < s.size() ? s[k] : 0;
            if (sk > kUndeterminedRatio * largest)
                continue;
            const VectorXd v = V.col(k);
            const double top = v.cwiseAbs().maxCoeff();
            QStringList members;
            for (Eigen::Index q = 0; q < v.size(); ++q)
                if (std::fabs(v[q]) >= 0.1 * top)
                    members << nameOf(names, int(seen[static_cast<std::size_t>(q)]));
            parts << QStringLiteral("%1 (they change the simulated values only together)")
                         .arg(members.join(QStringLiteral(", ")));
        }
    }
    return parts.join(QStringLiteral("; "));
}

namespace {

// A malformed problem is an error before any model run.
void checkProblem(const Problem& p, const Options& opt, const Sink& sink) {
    const std::size_t n = p.start.size();
    const std::size_t m = p.observed.size();
    if (n == 0)
        throw FitError(QStringLiteral("There are no parameters to optimise."));
    if (p.lower.size() != n || p.upper.size() != n || p.scale.size() != n)
        throw FitError(QStringLiteral("The parameter bounds do not cover all %1 parameters.")
                           .arg(static_cast<int>(n)));
    if (m == 0)
        throw FitError(
            QStringLiteral("The least-squares search has no observations to fit: the filter "
                           "condition selects no result rows."));
    if (p.weights.size() != m)
        throw FitError(
            QStringLiteral("The least-squares search needs one weight per observation."));
    for (double w : p.weights)
        if (!(w > 0) || !std::isfinite(w))
            throw FitError(QStringLiteral("The least-squares search needs weights that are "
                                          "positive numbers (variances above 0)."));
    if (!sink.evaluate)
        throw FitError(QStringLiteral("The least-squares search has no model to evaluate."));
    if (!(opt.relativeStep > 0) || !std::isfinite(opt.relativeStep))
        throw FitError(QStringLiteral("The relative difference step must be above 0."));
}

// " (why)" for a log line, or nothing when there is no why.
QString inParentheses(const QString& why) {
    return why.isEmpty() ? QString() : QStringLiteral(" (") + why + QStringLiteral(")");
}

bool insideBounds(const Problem& p, const Vector& t) {
    for (std::size_t j = 0; j < t.size(); ++j)
        if (!(t[j] >= p.lower[j] && t[j] <= p.upper[j]))
            return false;
    return true;
}

// The difference runs of the Jacobian at a point, parameter by parameter.
struct DifferencePlan {
    std::vector<Difference> diffs;
    std::vector<Vector> points;
    std::vector<std::size_t> firstPoint; // parameter j's first point
};

enum class JacobianEnd { Made, Budget, Stopped };

// One iteration's linear model: the Jacobian of sqrt(w) * sim on the
// parameters the step may move, and the step it gives at the iteration's
// damping. The decompositions are kept: the step's second-derivative
// correction is solved with the same matrix.
struct LinearModel {
    VectorXd sw;                       // sqrt(w_i)
    std::vector<Eigen::Index> freeSet; // the parameters the step may move
    Eigen::Index nf = 0;               // their number
    MatrixXd Jf;                       // the weighted Jacobian's columns of freeSet
    VectorXd gf;                       // S decreases along +gf
    MatrixXd A;                        // Jf^T Jf
    VectorXd D;                        // its diagonal: the Marquardt scaling
    VectorXd norms;                    // the lengths of Jf's columns
    Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod; // the undamped step's
    Eigen::LLT<MatrixXd> llt;                             // a damped step's
    VectorXd step; // empty where the damped matrix could not be factored

    bool hasStep() const { return step.size() == nf && step.allFinite(); }
};

// One search: the problem, the point reached and what it knows there, and its
// damping. run() makes the start point's run, then one iteration after the
// other until one of them ends the search.
class LevenbergMarquardt {
  public:
    LevenbergMarquardt(const Problem& problem, const Options& options, const Sink& s)
        : p(problem), opt(options), sink(s), n(problem.start.size()), m(problem.observed.size()),
          maxRuns(options.maxRuns), maxRunsExact(!options.exactMaxRuns), x(n),
          J(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(n)), noDerivative(n, false) {
        for (std::size_t j = 0; j < n; ++j)
            x[j] = clamp(p.start[j], p.lower[j], p.upper[j]);
    }

    Result run() {
        if (const auto end = evaluateStart())
            return finish(*end);
        for (;;)
            if (const auto end = iterate())
                return finish(*end);
    }

  private:
    // One iteration: the Jacobian at x (or the last one again, with more
    // damping), one trial step, and whether it is accepted. Returns the end of
    // the search when the iteration makes one.
    std::optional<Termination> iterate() {
        if (const auto end = convergedOrStopped())
            return end;
        if (const auto end = jacobianOfIteration())
            return end;
        LinearModel model;
        if (!linearModelAt(model))
            return Termination::AllHeld;
        solveStep(model);
        if (curved && model.hasStep() && !bendStep(model))
            return Termination::Stopped;
        if (!model.hasStep())
            return dampMore();
        double fraction = 1;
        const Vector trial = trialPoint(model, fraction);
        if (trial == x)
            return Termination::SmallStep;
        if (!allows(1))
            return Termination::Budget;
        const auto tried = runBatch({trial}, Purpose::Upgrade, &trial);
        if (!tried)
            return Termination::Stopped;
        return judgeTrial(model, trial, fraction, (*tried)[0]);
    }

    void log(const QString& line, bool select = false) const {
        if (sink.log)
            sink.log(line, select);
    }
    bool stopNow() const { return sink.stopRequested && sink.stopRequested(); }

    // Whether `more` runs still fit into NX. With exactMaxRuns the whole
    // budget is asked for the first time a batch would go beyond its certain
    // part.
    bool allows(int more) {
        if (res.runsMade + more > maxRuns && !maxRunsExact) {
            maxRuns = opt.exactMaxRuns();
            maxRunsExact = true;
        }
        return res.runsMade + more <= maxRuns;
    }

    Result finish(Termination t) {
        res.termination = t;
        // The Jacobian at the result, for its uncertainty, where the search
        // did not end with one there.
        if (opt.jacobianAtResult && started && !res.jacobianAtResult && t != Termination::Stopped &&
            t != Termination::Budget)
            jacobianAtEnd();
        if (!res.jacobian.empty())
            noteUndetermined();
        log(QStringLiteral("Least-squares search ends: %1; %2 iterations, %3 model runs")
                .arg(terminationText(t))
                .arg(res.iterations)
                .arg(res.runs),
            true);
        return res;
    }

    void noteUndetermined() {
        std::vector<Vector> weighted = res.jacobian;
        for (std::size_t i = 0; i < m; ++i)
            for (double& v : weighted[i])
                v *= std::sqrt(p.weights[i]);
        res.undetermined = undeterminedParameters(weighted, p.names);
        if (!res.undetermined.isEmpty())
            log(QStringLiteral("The data cannot determine: ") + res.undetermined, true);
    }

    DifferencePlan differencesAt(const Vector& at) const {
        DifferencePlan plan;
        plan.diffs.resize(n);
        plan.firstPoint.assign(n, 0);
        for (std::size_t j = 0; j < n; ++j) {
            const double h = differenceStep(at[j], p.scale[j], opt.relativeStep);
            plan.diffs[j] = differenceOf(at[j], p.lower[j], p.upper[j], h, opt.central);
            plan.firstPoint[j] = plan.points.size();
            for (double v : plan.diffs[j].values) {
                Vector q = at;
                q[j] = v;
                plan.points.push_back(std::move(q));
            }
        }
        return plan;
    }

    // One batch: `needed` points the search needs now, and after them, with more
    // than one worker, as many difference runs at `next` as the idle workers and
    // NX allow (the Jacobian the search needs next if it accepts `next`). They go
    // into `ahead`; the search takes them when it makes that Jacobian, so the
    // path, its log and its decisions are those of one worker.
    std::optional<std::vector<PointResult>> runBatch(const std::vector<Vector>& needed,
                                                     Purpose purpose, const Vector* next) {
        std::vector<Vector> points = needed;
        if (next && sink.workers > 1 && sink.evaluateAhead) {
            allows(sink.workers); // the room below counts on the whole budget
            const int room = std::min(sink.workers - static_cast<int>(needed.size()),
                                      maxRuns - res.runsMade - static_cast<int>(needed.size()));
            const std::vector<Vector> planned = differencesAt(*next).points;
            for (std::size_t k = 0; k < planned.size() && static_cast<int>(k) < room; ++k)
                points.push_back(planned[k]);
        }
        std::vector<PointResult> got = points.size() > needed.size()
                                           ? sink.evaluateAhead(points, purpose, needed.size())
                                           : sink.evaluate(points, purpose);
        res.runsMade += static_cast<int>(points.size());
        if (anyUnevaluated(got, needed.size()))
            return std::nullopt;
        res.runs += static_cast<int>(needed.size());
        ahead.clear();
        for (std::size_t k = needed.size(); k < points.size() && k < got.size(); ++k)
            if (got[k].evaluated)
                ahead.emplace_back(std::move(points[k]), std::move(got[k]));
        got.resize(needed.size());
        return got;
    }

    // The run at the start point; returns an end when the search cannot go on
    // from there.
    std::optional<Termination> evaluateStart() {
        if (stopNow())
            return Termination::Stopped;
        if (!allows(1))
            return Termination::Budget;
        const auto first = runBatch({x}, Purpose::Start, &x);
        if (!first)
            return Termination::Stopped;
        current = residualsOf(p, (*first)[0]);
        // A start run ended by a stop (a model that hung, ended on the second
        // press) is a stop, not a model that failed.
        if (!current.ok && stopNow())
            return Termination::Stopped;
        if (!current.ok && opt.startMayFail)
            return Termination::StartIncomplete;
        if (!current.ok)
            throw FitError(QStringLiteral("The model run at the start point of the least-squares "
                                          "search did not complete%1.")
                               .arg((*first)[0].why.isEmpty()
                                        ? QString()
                                        : QStringLiteral(": ") + (*first)[0].why));
        res.x = x;
        res.simulated = (*first)[0].simulated;
        res.objective = current.objective;
        log(QStringLiteral("Start  S=%1").arg(formatGeneral(current.objective)), false);
        log(vectorLine(x), false);
        if (sink.accepted)
            sink.accepted(x, res.simulated, res.objective);
        started = true;
        return std::nullopt;
    }

    std::optional<Termination> convergedOrStopped() const {
        if (res.objective == 0)
            return Termination::ObjectiveConverged;
        if (decreases.size() >= 2 && decreases[decreases.size() - 1] < opt.objectiveTolerance &&
            decreases[decreases.size() - 2] < opt.objectiveTolerance)
            return Termination::ObjectiveConverged;
        if (stopNow())
            return Termination::Stopped;
        return std::nullopt;
    }

    // A new Jacobian after an accepted step; after a failed one the same
    // Jacobian serves the next, more damped trial.
    std::optional<Termination> jacobianOfIteration() {
        if (haveJacobian) {
            log(QStringLiteral("Iteration %1: the same Jacobian, more damping")
                    .arg(res.iterations + 1),
                false);
            return std::nullopt;
        }
        const JacobianEnd made = makeJacobian(
            QStringLiteral("Iteration %1: Jacobian from %2 model runs").arg(res.iterations + 1));
        if (made == JacobianEnd::Budget)
            return Termination::Budget;
        if (made == JacobianEnd::Stopped)
            return Termination::Stopped;
        haveJacobian = true;
        return std::nullopt;
    }

    void jacobianAtEnd() {
        if (makeJacobian(QStringLiteral("Jacobian at the result from %1 model runs")) ==
            JacobianEnd::Budget)
            log(QStringLiteral("No Jacobian at the result: its runs would exceed NX"), false);
    }

    // The Jacobian at x: every difference run in one batch, less those made
    // ahead of it.
    JacobianEnd makeJacobian(const QString& heading) {
        const DifferencePlan plan = differencesAt(x);
        std::vector<PointResult> got(plan.points.size());
        const JacobianEnd end = differenceRuns(plan.points, heading, got);
        if (end != JacobianEnd::Made)
            return end;
        differentiate(plan, got);
        res.jacobian.assign(m, Vector(n, 0.0));
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < n; ++j)
                res.jacobian[i][j] = J(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
        res.jacobianAtResult = true;
        return JacobianEnd::Made;
    }

    // The results of `points` into `got`: the runs made ahead taken (and
    // counted as used now), the others made in one batch, all only when NX
    // allows the others.
    JacobianEnd differenceRuns(const std::vector<Vector>& points, const QString& heading,
                               std::vector<PointResult>& got) {
        std::vector<bool> known(points.size(), false);
        std::vector<Vector> missing;
        for (std::size_t k = 0; k < points.size(); ++k) {
            const auto it = std::find_if(ahead.begin(), ahead.end(),
                                         [&](const auto& a) { return a.first == points[k]; });
            if (it != ahead.end()) {
                got[k] = it->second;
                known[k] = true;
            } else {
                missing.push_back(points[k]);
            }
        }
        if (!allows(static_cast<int>(missing.size())))
            return JacobianEnd::Budget;
        log(heading.arg(points.size()), false);
        for (std::size_t k = 0; k < points.size(); ++k)
            if (known[k] && sink.taken)
                sink.taken(points[k]);
        res.runs += static_cast<int>(points.size() - missing.size());
        ahead.clear();
        if (missing.empty())
            return JacobianEnd::Made;
        const auto made = runBatch(missing, Purpose::Jacobian, nullptr);
        if (!made)
            return JacobianEnd::Stopped;
        for (std::size_t k = 0, q = 0; k < points.size(); ++k)
            if (!known[k])
                got[k] = (*made)[q++];
        return JacobianEnd::Made;
    }

    // J from the difference runs. A parameter the bounds hold, one whose run
    // did not complete and one without a finite derivative have a column of
    // zeros and are held this iteration (noDerivative).
    void differentiate(const DifferencePlan& plan, const std::vector<PointResult>& got) {
        const VectorXd sim0 =
            Eigen::Map<const VectorXd>(res.simulated.data(), static_cast<Eigen::Index>(m));
        for (std::size_t j = 0; j < n; ++j) {
            const Eigen::Index c = static_cast<Eigen::Index>(j);
            const Difference& d = plan.diffs[j];
            J.col(c).setZero();
            noDerivative[j] = !d.possible;
            if (!d.possible)
                continue;
            VectorXd sum = d.coef0 * sim0;
            for (std::size_t k = 0; k < d.values.size(); ++k) {
                const PointResult& r = got[plan.firstPoint[j] + k];
                if (!r.complete || r.simulated.size() != m) {
                    noDerivative[j] = true;
                    log(QStringLiteral("  the run for the derivative by %1 did not complete%2; "
                                       "%1 is held this iteration")
                            .arg(nameOf(p.names, int(j)), inParentheses(r.why)),
                        false);
                    break;
                }
                sum += d.coef[k] *
                       Eigen::Map<const VectorXd>(r.simulated.data(), static_cast<Eigen::Index>(m));
            }
            if (!noDerivative[j])
                J.col(c) = sum / d.denominator;
            if (!J.col(c).allFinite()) {
                J.col(c).setZero();
                noDerivative[j] = true;
            }
        }
    }

    // The normal equations of the Marquardt-scaled step on the free
    // parameters; false when there are none.
    bool linearModelAt(LinearModel& model) const {
        model.sw.resize(static_cast<Eigen::Index>(m));
        for (std::size_t i = 0; i < m; ++i)
            model.sw[static_cast<Eigen::Index>(i)] = std::sqrt(p.weights[i]);
        const MatrixXd Js = model.sw.asDiagonal() * J;      // d(sqrt(w) sim)/dx
        const VectorXd g = Js.transpose() * current.scaled; // S decreases along +g
        model.freeSet = freeParameters(Js, g);
        if (model.freeSet.empty())
            return false;
        const Eigen::Index nf = static_cast<Eigen::Index>(model.freeSet.size());
        model.nf = nf;
        model.Jf.resize(static_cast<Eigen::Index>(m), nf);
        model.gf.resize(nf);
        for (Eigen::Index k = 0; k < nf; ++k) {
            model.Jf.col(k) = Js.col(model.freeSet[static_cast<std::size_t>(k)]);
            model.gf[k] = g[model.freeSet[static_cast<std::size_t>(k)]];
        }
        model.A = model.Jf.transpose() * model.Jf;
        model.D = model.A.diagonal();
        model.norms = model.Jf.colwise().norm().transpose();
        return true;
    }

    // The parameters with a derivative, less those at a bound that S would
    // push them across.
    std::vector<Eigen::Index> freeParameters(const MatrixXd& Js, const VectorXd& g) const {
        std::vector<Eigen::Index> freeSet;
        for (std::size_t j = 0; j < n; ++j) {
            const Eigen::Index c = static_cast<Eigen::Index>(j);
            if (noDerivative[j] || Js.col(c).squaredNorm() == 0)
                continue;
            if (x[j] <= p.lower[j] && g[c] < 0)
                continue; // pinned at the lower bound, pushed outwards
            if (x[j] >= p.upper[j] && g[c] > 0)
                continue; // pinned at the upper bound, pushed outwards
            freeSet.push_back(c);
        }
        return freeSet;
    }

    // The step at this iteration's damping, in the free parameters.
    void solveStep(LinearModel& model) const {
        if (lambda == 0) {
            // Rank-revealing: the least-squares step of smallest length, also
            // where the free columns depend on each other. Columns scaled to
            // unit length first, so that the threshold judges dependence, not
            // the parameters' units.
            model.cod.compute(model.Jf * model.norms.cwiseInverse().asDiagonal());
            model.cod.setThreshold(kUndeterminedRatio);
            model.step = model.cod.solve(current.scaled).cwiseQuotient(model.norms);
            return;
        }
        MatrixXd M = model.A;
        for (Eigen::Index k = 0; k < model.nf; ++k)
            M(k, k) += lambda * (model.D[k] > 0 ? model.D[k] : 1.0);
        model.llt.compute(M);
        if (model.llt.info() == Eigen::Success)
            model.step = model.llt.solve(model.gf);
    }

    // Where S is curved along the step (a valley that bends), a step of the
    // linear model overshoots and the search creeps. One run a little way
    // along the step gives the second derivative of the simulated values
    // there, and the step is bent to follow it. The probe only when the trial
    // still fits into NX after it, and only along the step (not beyond a
    // bound). False when a stop came instead of the probe's run.
    bool bendStep(LinearModel& model) {
        const Vector probe = pointAlong(model, model.step, kProbeFraction);
        if (!(insideBounds(p, probe) && probe != x && allows(2)))
            return true;
        log(QStringLiteral("  the step bent along the second derivative, from 1 model run"), false);
        const auto got = runBatch({probe}, Purpose::Upgrade, nullptr);
        if (!got)
            return false;
        const PointResult& r = (*got)[0];
        if (r.complete && r.simulated.size() == m)
            addCurvature(model, r.simulated);
        return true;
    }

    // The step becomes v + a / 2 with (J^T J + lambda D) a = -J^T f_vv, f_vv
    // the second derivative along v from the probe's values, unless the
    // correction is too large to trust the quadratic model.
    void addCurvature(LinearModel& model, const Vector& probeSimulated) const {
        const MatrixXd& Jf = model.Jf;
        VectorXd& step = model.step;
        const VectorXd sim0 =
            Eigen::Map<const VectorXd>(res.simulated.data(), static_cast<Eigen::Index>(m));
        const VectorXd simProbe =
            Eigen::Map<const VectorXd>(probeSimulated.data(), static_cast<Eigen::Index>(m));
        const VectorXd fvv = (2 / kProbeFraction) *
                             (model.sw.cwiseProduct(simProbe - sim0) / kProbeFraction - Jf * step);
        const VectorXd a = lambda == 0 ? VectorXd(-model.cod.solve(fvv).cwiseQuotient(model.norms))
                                       : VectorXd(-model.llt.solve(Jf.transpose() * fvv));
        const VectorXd scaleD = model.D.cwiseMax(0.0).cwiseSqrt();
        const double along = scaleD.cwiseProduct(step).norm();
        if (a.allFinite() && 2 * scaleD.cwiseProduct(a).norm() <= kLargestCorrection * along)
            step += a / 2;
    }

    // x moved by fraction * delta in the free parameters.
    Vector pointAlong(const LinearModel& model, const VectorXd& delta, double fraction) const {
        Vector t = x;
        for (Eigen::Index k = 0; k < model.nf; ++k) {
            const std::size_t j =
                static_cast<std::size_t>(model.freeSet[static_cast<std::size_t>(k)]);
            t[j] = x[j] + fraction * delta[k];
        }
        return t;
    }

    // The trial point: the step, shortened along its direction where it
    // would leave the box, so that it keeps the direction the linear model
    // chose. (Clipping each coordinate to its bound instead turns the step
    // into another one, which can lead far off.)
    // A parameter already at a bound that the step pushes outwards stays
    // there (its component of the step is dropped), as the box would
    // otherwise cut every step to nothing.
    Vector trialPoint(LinearModel& model, double& fraction) const {
        VectorXd& step = model.step;
        // Each parameter's own fraction of the step up to the bound it crosses.
        std::vector<double> reach(static_cast<std::size_t>(model.nf), 1.0);
        fraction = 1;
        for (Eigen::Index k = 0; k < model.nf; ++k) {
            const std::size_t j =
                static_cast<std::size_t>(model.freeSet[static_cast<std::size_t>(k)]);
            if ((x[j] >= p.upper[j] && step[k] > 0) || (x[j] <= p.lower[j] && step[k] < 0)) {
                step[k] = 0;
                continue;
            }
            const double target = x[j] + step[k];
            double& r = reach[static_cast<std::size_t>(k)];
            if (target > p.upper[j] && step[k] > 0)
                r = (p.upper[j] - x[j]) / step[k];
            else if (target < p.lower[j] && step[k] < 0)
                r = (p.lower[j] - x[j]) / step[k];
            fraction = std::min(fraction, r);
        }
        Vector trial = pointAlong(model, step, fraction);
        for (Eigen::Index k = 0; k < model.nf; ++k) {
            const std::size_t j =
                static_cast<std::size_t>(model.freeSet[static_cast<std::size_t>(k)]);
            // The parameters that stop the step stand exactly on their bound
            // (not a rounding error short of it, which would stop the next
            // step after a hair's breadth).
            if (fraction < 1 && reach[static_cast<std::size_t>(k)] <= fraction * (1 + 1e-9))
                trial[j] = step[k] > 0 ? p.upper[j] : p.lower[j];
            trial[j] = clamp(trial[j], p.lower[j], p.upper[j]);
        }
        return trial;
    }

    // The trial's run: accepted when it lowers S, else more damping, unless
    // no step could gain more than the tolerance.
    std::optional<Termination> judgeTrial(const LinearModel& model, const Vector& trial,
                                          double fraction, const PointResult& tried) {
        Residuals r = residualsOf(p, tried);
        logTrial(r, tried.why, fraction);
        if (!r.ok || !(r.objective < current.objective)) {
            ahead.clear(); // the Jacobian made ahead at the trial is not needed
            if (r.ok && largestGain(model) <= opt.objectiveTolerance * current.objective)
                return Termination::NothingToGain;
            return dampMore();
        }
        return acceptStep(trial, fraction, std::move(r), tried.simulated);
    }

    // The most the linear model lets S fall on the free parameters, the
    // bounds left aside: ||Q1^T r||^2, the part of the residuals in the span
    // of the Jacobian's free columns (Q1 of their QR factors; where the
    // columns depend on each other it spans more, and the bound is only
    // higher). No damped step is promised more, also not along directions
    // the undamped step leaves out as undetermined. Where even this is
    // below the tolerance and a step has failed, further damping would spend
    // runs on gains the tolerance calls nothing (near the optimum, where the
    // differences' own error turns the steps uphill).
    double largestGain(const LinearModel& model) const {
        const Eigen::HouseholderQR<MatrixXd> qr(model.Jf);
        const VectorXd projected = qr.householderQ().adjoint() * current.scaled;
        return projected.head(std::min(model.nf, projected.size())).squaredNorm();
    }

    void logTrial(const Residuals& r, const QString& why, double fraction) const {
        const QString which = lambda == 0 ? QStringLiteral("  lambda 0 (Gauss-Newton)")
                                          : QStringLiteral("  lambda ") + formatGeneral(lambda);
        const QString shortened =
            fraction < 1 ? QStringLiteral(", the step shortened to %1 to stay within the bounds")
                               .arg(formatGeneral(fraction))
                         : QString();
        if (!r.ok)
            log(which + QStringLiteral(": model run incomplete") + inParentheses(why) + shortened,
                false);
        else
            log(which + QStringLiteral(": S=") + formatGeneral(r.objective) + shortened, false);
    }

    // The next trial from the same Jacobian with ten times the damping; the
    // end where no damping can lower S any more.
    std::optional<Termination> dampMore() {
        if (lambda == 0)
            undampedBelow /= 1e4;
        lambda = lambda == 0 ? lastWorkingLambda : 10 * lambda;
        haveJacobian = true;
        curved = true;
        if (lambda > kLargestLambda)
            return Termination::NoImprovement;
        return std::nullopt;
    }

    // The trial lowered S and becomes x; the end when its step was below the
    // step tolerance.
    std::optional<Termination> acceptStep(const Vector& trial, double fraction, Residuals r,
                                          const Vector& simulated) {
        // A damped step means S bends along the steps: the next one is bent
        // along the second derivative.
        const double chosen = lambda;
        lambda = lambda / 100 < undampedBelow ? 0 : lambda / 100;
        curved = chosen != 0;
        if (chosen != 0)
            lastWorkingLambda = chosen;
        const bool small = isSmallStep(trial, fraction);
        decreases.push_back((current.objective - r.objective) / current.objective);
        current = std::move(r);
        x = trial;
        res.x = x;
        res.simulated = simulated;
        res.objective = current.objective;
        res.jacobianAtResult = false;
        ++res.iterations;
        haveJacobian = false;
        log(QStringLiteral("  accepted lambda %1  S=%2  (%3 model runs so far)")
                .arg(formatGeneral(chosen), formatGeneral(res.objective))
                .arg(res.runs),
            true);
        log(vectorLine(x), false);
        if (sink.accepted)
            sink.accepted(x, res.simulated, res.objective);
        if (small)
            return Termination::SmallStep;
        return std::nullopt;
    }

    // No parameter moved by more than the step tolerance. A step cut short by
    // a bound has not converged: the next iteration goes on from the bound.
    bool isSmallStep(const Vector& trial, double fraction) const {
        bool small = fraction == 1;
        for (std::size_t j = 0; j < n; ++j) {
            const double size = x[j] != 0 ? std::fabs(x[j]) : std::fabs(p.scale[j]);
            if (std::fabs(trial[j] - x[j]) > opt.stepTolerance * size)
                small = false;
        }
        return small;
    }

    const Problem& p;
    const Options& opt;
    const Sink& sink;
    const std::size_t n; // parameters
    const std::size_t m; // observations
    Result res;
    // The budget: with exactMaxRuns, until maxRunsExact, a part of it that is
    // certain.
    int maxRuns;
    bool maxRunsExact;
    Vector x;             // the start point, then the last accepted trial
    Residuals current;    // at x
    bool started = false; // x's run completed: a Jacobian can be made
    // Runs made ahead (runBatch) whose results wait for the search to take
    // them: the difference runs at the point just accepted.
    std::vector<std::pair<Vector, PointResult>> ahead;
    // The damping of the next trial: a hundredth of the last accepted one (0,
    // the Gauss-Newton step, below undampedBelow), raised tenfold while a
    // trial fails.
    double lambda = kStartLambda;
    // The last damping that gave an accepted step. An undamped step that fails
    // starts the damping again here, not at kStartLambda: in a long curved
    // valley the damping would otherwise climb back to kStartLambda after each
    // failed Gauss-Newton step, fall to 0 again, and cycle with steps that
    // lower S by parts in a million.
    double lastWorkingLambda = kStartLambda;
    // Below this damping the next trial is the Gauss-Newton step. Each failed
    // Gauss-Newton step lowers it ten-thousandfold, so that the damping after
    // one falls through the small values instead of jumping to 0 again.
    double undampedBelow = kUndampedBelow;
    std::vector<double> decreases; // relative decrease of S per accepted iteration
    MatrixXd J;                    // of the simulated values
    std::vector<bool> noDerivative;
    bool haveJacobian = false; // made at x
    // The last iteration took a damped step or none: S is curved along the
    // steps, so they are bent along the second derivative (bendStep).
    bool curved = false;
};

} // namespace

Result minimise(const Problem& p, const Options& opt, const Sink& sink) {
    checkProblem(p, opt, sink);
    return LevenbergMarquardt(p, opt, sink).run();
}

} // namespace lsq
