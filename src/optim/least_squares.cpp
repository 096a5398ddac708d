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

Result minimise(const Problem& p, const Options& opt, const Sink& sink) {
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

    auto log = [&](const QString& line, bool select = false) {
        if (sink.log)
            sink.log(line, select);
    };
    auto stopNow = [&] { return sink.stopRequested && sink.stopRequested(); };

    Result res;
    // The budget; with exactMaxRuns, maxRuns is a part of it that is certain,
    // and the whole is asked for the first time a batch would go beyond it.
    int maxRuns = opt.maxRuns;
    bool maxRunsExact = !opt.exactMaxRuns;
    auto allows = [&](int more) {
        if (res.runsMade + more > maxRuns && !maxRunsExact) {
            maxRuns = opt.exactMaxRuns();
            maxRunsExact = true;
        }
        return res.runsMade + more <= maxRuns;
    };
    Vector x(n);
    for (std::size_t j = 0; j < n; ++j)
        x[j] = clamp(p.start[j], p.lower[j], p.upper[j]);

    // Set once the Jacobian can be made: the Jacobian at the result, for its
    // uncertainty, where the search did not end with one there.
    std::function<void()> jacobianAtEnd;
    // Runs made ahead (below) whose results wait for the search to take them:
    // the difference runs at the point just accepted.
    std::vector<std::pair<Vector, PointResult>> ahead;
    auto finish = [&](Termination t) {
        res.termination = t;
        if (opt.jacobianAtResult && jacobianAtEnd && !res.jacobianAtResult &&
            t != Termination::Stopped && t != Termination::Budget)
            jacobianAtEnd();
        if (!res.jacobian.empty()) {
            std::vector<Vector> weighted = res.jacobian;
            for (std::size_t i = 0; i < m; ++i)
                for (double& v : weighted[i])
                    v *= std::sqrt(p.weights[i]);
            res.undetermined = undeterminedParameters(weighted, p.names);
            if (!res.undetermined.isEmpty())
                log(QStringLiteral("The data cannot determine: ") + res.undetermined, true);
        }
        log(QStringLiteral("Least-squares search ends: %1; %2 iterations, %3 model runs")
                .arg(terminationText(t))
                .arg(res.iterations)
                .arg(res.runs),
            true);
        return res;
    };

    // The difference runs of the Jacobian at `at`, parameter by parameter.
    struct DifferencePlan {
        std::vector<Difference> diffs;
        std::vector<Vector> points;
        std::vector<std::size_t> firstPoint;
    };
    auto differencesAt = [&](const Vector& at) {
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
    };

    // One batch: `needed` points the search needs now, and after them, with more
    // than one worker, as many difference runs at `next` as the idle workers and
    // NX allow (the Jacobian the search needs next if it accepts `next`). They go
    // into `ahead`; the search takes them when it makes that Jacobian, so the
    // path, its log and its decisions are those of one worker.
    auto runBatch = [&](const std::vector<Vector>& needed, Purpose purpose,
                        const Vector* next) -> std::optional<std::vector<PointResult>> {
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
    };

    // ---- the start point ----
    if (stopNow())
        return finish(Termination::Stopped);
    if (!allows(1))
        return finish(Termination::Budget);
    const auto first = runBatch({x}, Purpose::Start, &x);
    if (!first)
        return finish(Termination::Stopped);
    Residuals current = residualsOf(p, (*first)[0]);
    // A start run ended by a stop (a model that hung, ended on the second
    // press) is a stop, not a model that failed.
    if (!current.ok && stopNow())
        return finish(Termination::Stopped);
    if (!current.ok && opt.startMayFail)
        return finish(Termination::StartIncomplete);
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
    MatrixXd J(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(n));
    std::vector<bool> noDerivative(n, false);
    bool haveJacobian = false; // made at x
    // The last iteration took a damped step or none: S is curved along the
    // steps, so they are bent along the second derivative (below).
    bool curved = false;

    // The Jacobian at x: every difference run in one batch, less those made
    // ahead of it.
    enum class JacobianEnd { Made, Budget, Stopped };
    auto makeJacobian = [&](const QString& heading) {
        const DifferencePlan plan = differencesAt(x);
        const std::vector<Vector>& points = plan.points;
        std::vector<PointResult> got(points.size());
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
        if (!missing.empty()) {
            const auto made = runBatch(missing, Purpose::Jacobian, nullptr);
            if (!made)
                return JacobianEnd::Stopped;
            for (std::size_t k = 0, q = 0; k < points.size(); ++k)
                if (!known[k])
                    got[k] = (*made)[q++];
        }
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
                            .arg(nameOf(p.names, int(j)),
                                 r.why.isEmpty()
                                     ? QString()
                                     : QStringLiteral(" (") + r.why + QStringLiteral(")")),
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
        res.jacobian.assign(m, Vector(n, 0.0));
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < n; ++j)
                res.jacobian[i][j] = J(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
        res.jacobianAtResult = true;
        return JacobianEnd::Made;
    };

    jacobianAtEnd = [&] {
        if (makeJacobian(QStringLiteral("Jacobian at the result from %1 model runs")) ==
            JacobianEnd::Budget)
            log(QStringLiteral("No Jacobian at the result: its runs would exceed NX"), false);
    };

    for (;;) {
        if (res.objective == 0)
            return finish(Termination::ObjectiveConverged);
        if (decreases.size() >= 2 && decreases[decreases.size() - 1] < opt.objectiveTolerance &&
            decreases[decreases.size() - 2] < opt.objectiveTolerance)
            return finish(Termination::ObjectiveConverged);
        if (stopNow())
            return finish(Termination::Stopped);

        if (!haveJacobian) {
            const JacobianEnd made =
                makeJacobian(QStringLiteral("Iteration %1: Jacobian from %2 model runs")
                                 .arg(res.iterations + 1));
            if (made == JacobianEnd::Budget)
                return finish(Termination::Budget);
            if (made == JacobianEnd::Stopped)
                return finish(Termination::Stopped);
            haveJacobian = true;
        } else {
            log(QStringLiteral("Iteration %1: the same Jacobian, more damping")
                    .arg(res.iterations + 1),
                false);
        }

        // ---- the step: Marquardt-scaled normal equations on the free parameters ----
        VectorXd sw(static_cast<Eigen::Index>(m));
        for (std::size_t i = 0; i < m; ++i)
            sw[static_cast<Eigen::Index>(i)] = std::sqrt(p.weights[i]);
        const MatrixXd Js = sw.asDiagonal() * J;            // d(sqrt(w) sim)/dx
        const VectorXd g = Js.transpose() * current.scaled; // S decreases along +g
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
        if (freeSet.empty())
            return finish(Termination::AllHeld);
        const Eigen::Index nf = static_cast<Eigen::Index>(freeSet.size());
        MatrixXd Jf(static_cast<Eigen::Index>(m), nf);
        VectorXd gf(nf);
        for (Eigen::Index k = 0; k < nf; ++k) {
            Jf.col(k) = Js.col(freeSet[static_cast<std::size_t>(k)]);
            gf[k] = g[freeSet[static_cast<std::size_t>(k)]];
        }
        const MatrixXd A = Jf.transpose() * Jf;
        const VectorXd D = A.diagonal();
        const VectorXd norms = Jf.colwise().norm().transpose();

        // The step at this iteration's damping, in the free parameters.
        MatrixXd M = A;
        for (Eigen::Index k = 0; k < nf; ++k)
            M(k, k) += lambda * (D[k] > 0 ? D[k] : 1.0);
        Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod;
        Eigen::LLT<MatrixXd> llt;
        VectorXd step;
        if (lambda == 0) {
            // Rank-revealing: the least-squares step of smallest length, also
            // where the free columns depend on each other. Columns scaled to
            // unit length first, so that the threshold judges dependence, not
            // the parameters' units.
            cod.compute(Jf * norms.cwiseInverse().asDiagonal());
            cod.setThreshold(kUndeterminedRatio);
            step = cod.solve(current.scaled).cwiseQuotient(norms);
        } else {
            llt.compute(M);
            if (llt.info() == Eigen::Success)
                step = llt.solve(gf);
        }
        auto pointAlong = [&](const VectorXd& delta, double fraction) {
            Vector t = x;
            for (Eigen::Index k = 0; k < nf; ++k) {
                const std::size_t j =
                    static_cast<std::size_t>(freeSet[static_cast<std::size_t>(k)]);
                t[j] = x[j] + fraction * delta[k];
            }
            return t;
        };
        auto inside = [&](const Vector& t) {
            for (std::size_t j = 0; j < n; ++j)
                if (!(t[j] >= p.lower[j] && t[j] <= p.upper[j]))
                    return false;
            return true;
        };

        // Where S is curved along the step (a valley that bends), a step of the
        // linear model overshoots and the search creeps. One run a little way
        // along the step gives the second derivative of the simulated values
        // there, and the step is bent to follow it: v + a / 2 with
        // (J^T J + lambda D) a = -J^T f_vv.
        if (curved && step.size() == nf && step.allFinite()) {
            const Vector probe = pointAlong(step, kProbeFraction);
            // The probe only when the trial still fits into NX after it, and
            // only along the step (not beyond a bound).
            if (inside(probe) && probe != x && allows(2)) {
                log(QStringLiteral("  the step bent along the second derivative, from 1 model "
                                   "run"),
                    false);
                const auto got = runBatch({probe}, Purpose::Upgrade, nullptr);
                if (!got)
                    return finish(Termination::Stopped);
                const PointResult& r = (*got)[0];
                if (r.complete && r.simulated.size() == m) {
                    const VectorXd sim0 = Eigen::Map<const VectorXd>(res.simulated.data(),
                                                                     static_cast<Eigen::Index>(m));
                    const VectorXd simProbe = Eigen::Map<const VectorXd>(
                        r.simulated.data(), static_cast<Eigen::Index>(m));
                    const VectorXd fvv =
                        (2 / kProbeFraction) *
                        (sw.cwiseProduct(simProbe - sim0) / kProbeFraction - Jf * step);
                    const VectorXd a = lambda == 0 ? VectorXd(-cod.solve(fvv).cwiseQuotient(norms))
                                                   : VectorXd(-llt.solve(Jf.transpose() * fvv));
                    const VectorXd scaleD = D.cwiseMax(0.0).cwiseSqrt();
                    const double along = scaleD.cwiseProduct(step).norm();
                    if (a.allFinite() &&
                        2 * scaleD.cwiseProduct(a).norm() <= kLargestCorrection * along)
                        step += a / 2;
                }
            }
        }

        auto raiseDamping = [&] {
            if (lambda == 0)
                undampedBelow /= 1e4;
            lambda = lambda == 0 ? lastWorkingLambda : 10 * lambda;
            haveJacobian = true;
            curved = true;
        };
        if (step.size() != nf || !step.allFinite()) {
            raiseDamping();
            if (lambda > kLargestLambda)
                return finish(Termination::NoImprovement);
            continue;
        }

        // The trial point: the step, shortened along its direction where it
        // would leave the box, so that it keeps the direction the linear model
        // chose. (Clipping each coordinate to its bound instead turns the step
        // into another one, which can lead far off.)
        // A parameter already at a bound that the step pushes outwards stays
        // there (its component of the step is dropped), as the box would
        // otherwise cut every step to nothing.
        // Each parameter's own fraction of the step up to the bound it crosses.
        std::vector<double> reach(static_cast<std::size_t>(nf), 1.0);
        double fraction = 1;
        for (Eigen::Index k = 0; k < nf; ++k) {
            const std::size_t j = static_cast<std::size_t>(freeSet[static_cast<std::size_t>(k)]);
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
        Vector trial = pointAlong(step, fraction);
        for (Eigen::Index k = 0; k < nf; ++k) {
            const std::size_t j = static_cast<std::size_t>(freeSet[static_cast<std::size_t>(k)]);
            // The parameters that stop the step stand exactly on their bound
            // (not a rounding error short of it, which would stop the next
            // step after a hair's breadth).
            if (fraction < 1 && reach[static_cast<std::size_t>(k)] <= fraction * (1 + 1e-9))
                trial[j] = step[k] > 0 ? p.upper[j] : p.lower[j];
            trial[j] = clamp(trial[j], p.lower[j], p.upper[j]);
        }
        if (trial == x)
            return finish(Termination::SmallStep);
        if (!allows(1))
            return finish(Termination::Budget);
        const auto tried = runBatch({trial}, Purpose::Upgrade, &trial);
        if (!tried)
            return finish(Termination::Stopped);

        const QString which = lambda == 0 ? QStringLiteral("  lambda 0 (Gauss-Newton)")
                                          : QStringLiteral("  lambda ") + formatGeneral(lambda);
        const QString shortened =
            fraction < 1 ? QStringLiteral(", the step shortened to %1 to stay within the bounds")
                               .arg(formatGeneral(fraction))
                         : QString();
        Residuals r = residualsOf(p, (*tried)[0]);
        if (!r.ok)
            log(which + QStringLiteral(": model run incomplete") +
                    ((*tried)[0].why.isEmpty()
                         ? QString()
                         : QStringLiteral(" (") + (*tried)[0].why + QStringLiteral(")")) +
                    shortened,
                false);
        else
            log(which + QStringLiteral(": S=") + formatGeneral(r.objective) + shortened, false);
        if (!r.ok || !(r.objective < current.objective)) {
            ahead.clear(); // the Jacobian made ahead at the trial is not needed
            raiseDamping();
            if (lambda > kLargestLambda)
                return finish(Termination::NoImprovement);
            continue;
        }

        // A damped step means S bends along the steps: the next one is bent
        // along the second derivative.
        const double chosen = lambda;
        lambda = lambda / 100 < undampedBelow ? 0 : lambda / 100;
        curved = chosen != 0;
        if (chosen != 0)
            lastWorkingLambda = chosen;
        // A step cut short by a bound has not converged: the next iteration
        // goes on from the bound.
        bool small = fraction == 1;
        for (std::size_t j = 0; j < n; ++j) {
            const double size = x[j] != 0 ? std::fabs(x[j]) : std::fabs(p.scale[j]);
            if (std::fabs(trial[j] - x[j]) > opt.stepTolerance * size)
                small = false;
        }
        decreases.push_back((current.objective - r.objective) / current.objective);
        current = std::move(r);
        x = trial;
        res.x = x;
        res.simulated = (*tried)[0].simulated;
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
            return finish(Termination::SmallStep);
    }
}

} // namespace lsq
