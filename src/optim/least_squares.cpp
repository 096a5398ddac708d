#include "optim/least_squares.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

namespace lsq {

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

constexpr double kStartLambda = 1e-3;
constexpr double kSmallestLambda = 1e-12;
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
    Vector x(n);
    for (std::size_t j = 0; j < n; ++j)
        x[j] = clamp(p.start[j], p.lower[j], p.upper[j]);

    // Set once the Jacobian can be made: the Jacobian at the result, for its
    // uncertainty, where the search did not end with one there.
    std::function<void()> jacobianAtEnd;
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

    // ---- the start point ----
    if (stopNow())
        return finish(Termination::Stopped);
    if (opt.maxRuns < 1)
        return finish(Termination::Budget);
    const std::vector<PointResult> first = sink.evaluate({x}, Purpose::Start);
    if (anyUnevaluated(first, 1))
        return finish(Termination::Stopped);
    res.runs = 1;
    Residuals current = residualsOf(p, first[0]);
    if (!current.ok && opt.startMayFail)
        return finish(Termination::StartIncomplete);
    if (!current.ok)
        throw FitError(
            QStringLiteral("The model run at the start point of the least-squares "
                           "search did not complete%1.")
                .arg(first[0].why.isEmpty() ? QString() : QStringLiteral(": ") + first[0].why));
    res.x = x;
    res.simulated = first[0].simulated;
    res.objective = current.objective;
    log(QStringLiteral("Start  S=%1").arg(formatGeneral(current.objective)), false);
    log(vectorLine(x), false);
    if (sink.accepted)
        sink.accepted(x, res.simulated, res.objective);

    double lambda = kStartLambda;
    std::vector<double> decreases; // relative decrease of S per accepted iteration
    MatrixXd J(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(n));
    std::vector<bool> noDerivative(n, false);
    bool haveJacobian = false; // made at x
    bool retry = false;        // the last ladder on this Jacobian lowered nothing
    // The last iteration took a damped step or none: S is curved along the
    // steps, so they are bent along the second derivative (below).
    bool curved = false;

    // The Jacobian at x: every difference run in one batch.
    enum class JacobianEnd { Made, Budget, Stopped };
    auto makeJacobian = [&](const QString& heading) {
        // ---- the Jacobian: every difference run of the iteration in one batch ----
        std::vector<Difference> diffs(n);
        std::vector<Vector> points;
        std::vector<std::size_t> firstPoint(n, 0);
        for (std::size_t j = 0; j < n; ++j) {
            const double h = differenceStep(x[j], p.scale[j], opt.relativeStep);
            diffs[j] = differenceOf(x[j], p.lower[j], p.upper[j], h, opt.central);
            firstPoint[j] = points.size();
            for (double v : diffs[j].values) {
                Vector q = x;
                q[j] = v;
                points.push_back(std::move(q));
            }
        }
        if (res.runs + static_cast<int>(points.size()) > opt.maxRuns)
            return JacobianEnd::Budget;
        log(heading.arg(points.size()), false);
        std::vector<PointResult> got;
        if (!points.empty())
            got = sink.evaluate(points, Purpose::Jacobian);
        if (anyUnevaluated(got, points.size()))
            return JacobianEnd::Stopped;
        res.runs += static_cast<int>(points.size());
        const VectorXd sim0 =
            Eigen::Map<const VectorXd>(res.simulated.data(), static_cast<Eigen::Index>(m));
        for (std::size_t j = 0; j < n; ++j) {
            const Eigen::Index c = static_cast<Eigen::Index>(j);
            J.col(c).setZero();
            noDerivative[j] = !diffs[j].possible;
            if (!diffs[j].possible)
                continue;
            VectorXd sum = diffs[j].coef0 * sim0;
            for (std::size_t k = 0; k < diffs[j].values.size(); ++k) {
                const PointResult& r = got[firstPoint[j] + k];
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
                sum += diffs[j].coef[k] *
                       Eigen::Map<const VectorXd>(r.simulated.data(), static_cast<Eigen::Index>(m));
            }
            if (!noDerivative[j])
                J.col(c) = sum / diffs[j].denominator;
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

        // The ladder: with a new Jacobian the undamped Gauss-Newton step and two
        // damped ones; again on the same Jacobian, three steps damped more.
        std::vector<double> ladder;
        if (!retry)
            ladder = {0.0, lambda, 10 * lambda};
        else
            ladder = {lambda, 10 * lambda, 100 * lambda};

        // The steps of the ladder in the free parameters.
        std::vector<VectorXd> steps;
        std::vector<double> stepLambda;
        std::vector<MatrixXd> stepMatrix;
        const VectorXd norms = Jf.colwise().norm().transpose();
        Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod;
        for (double l : ladder) {
            MatrixXd M = A;
            for (Eigen::Index k = 0; k < nf; ++k)
                M(k, k) += l * (D[k] > 0 ? D[k] : 1.0);
            VectorXd delta;
            if (l == 0) {
                // Rank-revealing: the least-squares step of smallest length, also
                // where the free columns depend on each other.
                // Columns scaled to unit length first, so that the threshold
                // judges dependence, not the parameters' units.
                cod.compute(Jf * norms.cwiseInverse().asDiagonal());
                cod.setThreshold(kUndeterminedRatio);
                delta = cod.solve(current.scaled).cwiseQuotient(norms);
            } else {
                Eigen::LLT<MatrixXd> llt(M);
                if (llt.info() != Eigen::Success)
                    continue;
                delta = llt.solve(gf);
            }
            if (!delta.allFinite())
                continue;
            steps.push_back(std::move(delta));
            stepLambda.push_back(l);
            stepMatrix.push_back(std::move(M));
        }
        auto pointOf = [&](const VectorXd& delta, double fraction, bool clip) {
            Vector t = x;
            for (Eigen::Index k = 0; k < nf; ++k) {
                const std::size_t j =
                    static_cast<std::size_t>(freeSet[static_cast<std::size_t>(k)]);
                t[j] = x[j] + fraction * delta[k];
                if (clip)
                    t[j] = clamp(t[j], p.lower[j], p.upper[j]);
            }
            return t;
        };

        // Where S is curved along the steps (a valley that bends), a step of
        // the linear model overshoots and the search creeps. One run a little
        // way along each step gives the second derivative of the simulated
        // values there, and the step is bent to follow it: v + a / 2 with
        // (J^T J + lambda D) a = -J^T f_vv. The probes are one batch of their
        // own, the same whatever the number of workers.
        if (curved && !steps.empty()) {
            std::vector<Vector> probes;
            std::vector<std::size_t> probed;
            for (std::size_t k = 0; k < steps.size(); ++k) {
                Vector q = pointOf(steps[k], kProbeFraction, false);
                if (q != pointOf(steps[k], kProbeFraction, true) || q == x)
                    continue; // a probe beyond a bound would not be along the step
                probes.push_back(std::move(q));
                probed.push_back(k);
            }
            // The probes only when the trials still fit into NX after them.
            if (!probes.empty() &&
                res.runs + static_cast<int>(probes.size() + steps.size()) <= opt.maxRuns) {
                log(QStringLiteral("  the steps bent along the second derivative, from %1 model "
                                   "runs")
                        .arg(probes.size()),
                    false);
                const std::vector<PointResult> got = sink.evaluate(probes, Purpose::Upgrade);
                if (anyUnevaluated(got, probes.size()))
                    return finish(Termination::Stopped);
                res.runs += static_cast<int>(probes.size());
                const VectorXd sim0 =
                    Eigen::Map<const VectorXd>(res.simulated.data(), static_cast<Eigen::Index>(m));
                const VectorXd scaleD = D.cwiseMax(0.0).cwiseSqrt();
                for (std::size_t q = 0; q < probed.size(); ++q) {
                    const PointResult& r = got[q];
                    if (!r.complete || r.simulated.size() != m)
                        continue;
                    const std::size_t k = probed[q];
                    const VectorXd simProbe = Eigen::Map<const VectorXd>(
                        r.simulated.data(), static_cast<Eigen::Index>(m));
                    const VectorXd fvv =
                        (2 / kProbeFraction) *
                        (sw.cwiseProduct(simProbe - sim0) / kProbeFraction - Jf * steps[k]);
                    VectorXd a;
                    if (stepLambda[k] == 0)
                        a = -cod.solve(fvv).cwiseQuotient(norms);
                    else
                        a = -stepMatrix[k].llt().solve(Jf.transpose() * fvv);
                    const double along = scaleD.cwiseProduct(steps[k]).norm();
                    if (a.allFinite() &&
                        2 * scaleD.cwiseProduct(a).norm() <= kLargestCorrection * along)
                        steps[k] += a / 2;
                }
            }
        }

        std::vector<Vector> trials;
        std::vector<double> trialLambda;
        for (std::size_t k = 0; k < steps.size(); ++k) {
            Vector t = pointOf(steps[k], 1.0, true);
            if (t == x || std::find(trials.begin(), trials.end(), t) != trials.end())
                continue; // no move, or the same point as a step before it
            trials.push_back(std::move(t));
            trialLambda.push_back(stepLambda[k]);
        }
        if (trials.empty())
            return finish(Termination::SmallStep);
        const int allowed = opt.maxRuns - res.runs;
        if (allowed < 1)
            return finish(Termination::Budget);
        if (static_cast<int>(trials.size()) > allowed) {
            trials.resize(static_cast<std::size_t>(allowed));
            trialLambda.resize(static_cast<std::size_t>(allowed));
        }
        const std::vector<PointResult> tried = sink.evaluate(trials, Purpose::Upgrade);
        if (anyUnevaluated(tried, trials.size()))
            return finish(Termination::Stopped);
        res.runs += static_cast<int>(trials.size());

        int best = -1;
        Residuals bestResiduals;
        for (std::size_t k = 0; k < trials.size(); ++k) {
            const QString which = trialLambda[k] == 0
                                      ? QStringLiteral("  lambda 0 (Gauss-Newton)")
                                      : QStringLiteral("  lambda ") + formatGeneral(trialLambda[k]);
            Residuals r = residualsOf(p, tried[k]);
            if (!r.ok) {
                log(which + QStringLiteral(": model run incomplete") +
                        (tried[k].why.isEmpty()
                             ? QString()
                             : QStringLiteral(" (") + tried[k].why + QStringLiteral(")")),
                    false);
                continue;
            }
            log(which + QStringLiteral(": S=") + formatGeneral(r.objective), false);
            if (r.objective < current.objective &&
                (best < 0 || r.objective < bestResiduals.objective)) {
                best = static_cast<int>(k);
                bestResiduals = std::move(r);
            }
        }
        curved = best < 0 || trialLambda[static_cast<std::size_t>(best)] != 0;
        if (best < 0) {
            lambda = 10 * trialLambda.back();
            if (lambda == 0)
                lambda = kStartLambda;
            retry = true;
            if (lambda > kLargestLambda)
                return finish(Termination::NoImprovement);
            continue;
        }

        const Vector next = trials[static_cast<std::size_t>(best)];
        const double chosen = trialLambda[static_cast<std::size_t>(best)];
        lambda = std::max((chosen == 0 ? lambda : chosen) / 10, kSmallestLambda);
        bool small = true;
        for (std::size_t j = 0; j < n; ++j) {
            const double size = x[j] != 0 ? std::fabs(x[j]) : std::fabs(p.scale[j]);
            if (std::fabs(next[j] - x[j]) > opt.stepTolerance * size)
                small = false;
        }
        decreases.push_back((current.objective - bestResiduals.objective) / current.objective);
        current = std::move(bestResiduals);
        x = next;
        res.x = x;
        res.simulated = tried[static_cast<std::size_t>(best)].simulated;
        res.objective = current.objective;
        res.jacobianAtResult = false;
        ++res.iterations;
        haveJacobian = false;
        retry = false;
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
