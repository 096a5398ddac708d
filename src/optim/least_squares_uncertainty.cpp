#include "optim/least_squares_uncertainty.h"

#include "base/number_format.h"

#include <Eigen/Dense>

#include <cmath>
#include <limits>
#include <optional>

namespace {

QString nameOf(const QStringList& names, int j) {
    if (j < names.size() && !names[j].trimmed().isEmpty())
        return names[j].trimmed();
    return QStringLiteral("parameter %1").arg(j + 1);
}

} // namespace

double studentT975(int dof) {
    constexpr double z = 1.959963984540054;
    if (dof <= 0)
        return z;
    // Exact to the digits shown for the few degrees of freedom where the
    // expansion below is poor.
    static const double table[] = {12.7062047, 4.3026527, 3.1824463, 2.7764451, 2.5705818,
                                   2.4469119,  2.3646243, 2.3060041, 2.2621572, 2.2281389};
    if (dof <= 10)
        return table[dof - 1];
    // Cornish-Fisher expansion in 1/dof.
    const double v = dof, z3 = z * z * z, z5 = z3 * z * z, z7 = z5 * z * z;
    return z + (z3 + z) / (4 * v) + (5 * z5 + 16 * z3 + 3 * z) / (96 * v * v) +
           (3 * z7 + 19 * z5 + 17 * z3 - 15 * z) / (384 * v * v * v);
}

namespace {

using Eigen::Index;

// J scaled by the square roots of the weights, so that F = J^T J.
Eigen::MatrixXd weightedJacobian(const lsq::Problem& p, const lsq::Result& r, Index m, Index n) {
    Eigen::MatrixXd J(m, n);
    for (Index i = 0; i < m; ++i)
        for (Index j = 0; j < n; ++j)
            J(i, j) = std::sqrt(p.weights[static_cast<std::size_t>(i)]) *
                      r.jacobian[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
    return J;
}

double conditionNumberOf(const Eigen::MatrixXd& F) {
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(F);
    const double largest = eig.eigenvalues().maxCoeff();
    const double smallest = eig.eigenvalues().minCoeff();
    return smallest > 0 ? largest / smallest : std::numeric_limits<double>::infinity();
}

// What scales the covariance F^-1, and the quantile of the intervals.
struct IntervalScale {
    double scale = 1;
    double quantile = studentT975(0);
};

// With the variances given, F^-1 and normal intervals; otherwise the residual
// variance S / (m - n) and Student's t, when there are degrees of freedom.
IntervalScale intervalScale(bool variancesGiven, int dof, double objective, QStringList& lines) {
    IntervalScale s;
    if (variancesGiven) {
        lines << QStringLiteral("  the variances are given (OV=): 95 % intervals from the "
                                "normal distribution");
    } else if (dof > 0) {
        s.scale = objective / dof;
        s.quantile = studentT975(dof);
        lines << QStringLiteral("  residual variance S / (m - n) = %1; 95 % intervals from "
                                "Student's t with %2 degrees of freedom")
                     .arg(formatGeneral(s.scale))
                     .arg(dof);
    }
    return s;
}

// The covariance scale * F^-1, or nothing when F cannot be inverted (or
// `usable` is false: no degrees of freedom to scale it).
std::optional<Eigen::MatrixXd> covariance(const Eigen::MatrixXd& F, double scale, bool usable) {
    const Index n = F.rows();
    // Whether F can be inverted is judged on F scaled to a unit diagonal (the
    // correlation form): the condition number of F itself grows with the
    // parameters' units, and a problem whose parameters differ by decades in
    // size would be refused although the data determine every one of them.
    const Eigen::VectorXd unit = F.diagonal().cwiseSqrt();
    bool invertible = usable && unit.allFinite() && (unit.array() > 0).all();
    Eigen::MatrixXd Fs;
    if (invertible) {
        Fs = unit.cwiseInverse().asDiagonal() * F * unit.cwiseInverse().asDiagonal();
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> scaled(Fs, Eigen::EigenvaluesOnly);
        const double low = scaled.eigenvalues().minCoeff();
        invertible = low > 0 && scaled.eigenvalues().maxCoeff() / low < 1e14;
    }
    if (!invertible)
        return std::nullopt;
    return Eigen::MatrixXd(scale * unit.cwiseInverse().asDiagonal() *
                           Fs.ldlt().solve(Eigen::MatrixXd::Identity(n, n)) *
                           unit.cwiseInverse().asDiagonal());
}

// The standard errors, intervals and correlations from the covariance V,
// with their protocol lines.
void noteErrors(LeastSquaresUncertainty& out, const Eigen::MatrixXd& V, double quantile,
                const lsq::Problem& p, const lsq::Result& r) {
    const Index n = V.rows();
    out.standardError.resize(static_cast<std::size_t>(n));
    out.lower.resize(static_cast<std::size_t>(n));
    out.upper.resize(static_cast<std::size_t>(n));
    out.correlation.assign(static_cast<std::size_t>(n),
                           std::vector<double>(static_cast<std::size_t>(n), 0));
    for (Index j = 0; j < n; ++j) {
        const std::size_t k = static_cast<std::size_t>(j);
        const double se = std::sqrt(V(j, j));
        out.standardError[k] = se;
        out.lower[k] = r.x[k] - quantile * se;
        out.upper[k] = r.x[k] + quantile * se;
        out.lines << QStringLiteral("  %1: %2 +/- %3 (95 %: %4 to %5)")
                         .arg(nameOf(p.names, int(j)), formatGeneral(r.x[k]), formatGeneral(se),
                              formatGeneral(out.lower[k]), formatGeneral(out.upper[k]));
        for (Index q = 0; q < n; ++q)
            out.correlation[k][static_cast<std::size_t>(q)] =
                V(j, q) / std::sqrt(V(j, j) * V(q, q));
    }
    if (n > 1)
        out.lines << QStringLiteral("  correlations");
    for (Index j = 0; j < n; ++j)
        for (Index q = j + 1; q < n; ++q)
            out.lines << QStringLiteral("  %1 : %2, r=%3")
                             .arg(nameOf(p.names, int(j)), nameOf(p.names, int(q)),
                                  formatGeneral(out.correlation[static_cast<std::size_t>(j)]
                                                               [static_cast<std::size_t>(q)]));
}

} // namespace

LeastSquaresUncertainty leastSquaresUncertainty(const lsq::Problem& p, const lsq::Result& r,
                                                bool variancesGiven) {
    LeastSquaresUncertainty out;
    const Index m = static_cast<Index>(r.jacobian.size());
    const Index n = m > 0 ? static_cast<Index>(r.jacobian[0].size()) : 0;
    out.lines << QStringLiteral("Uncertainty at the least-squares result, from the Jacobian %1")
                     .arg(r.jacobianAtResult ? QStringLiteral("at the result")
                                             : QStringLiteral("of the last iteration"));
    if (m == 0 || n == 0) {
        out.lines << QStringLiteral("  no Jacobian was made: no uncertainty");
        return out;
    }
    const Eigen::MatrixXd J = weightedJacobian(p, r, m, n);
    const Eigen::MatrixXd F = J.transpose() * J;
    out.conditionNumber = conditionNumberOf(F);

    const int dof = static_cast<int>(m - n);
    const IntervalScale s = intervalScale(variancesGiven, dof, r.objective, out.lines);
    if (const auto V = covariance(F, s.scale, variancesGiven || dof > 0)) {
        out.determined = V->diagonal().allFinite() && (V->diagonal().array() > 0).all();
        if (out.determined)
            noteErrors(out, *V, s.quantile, p, r);
    }
    if (!out.determined)
        out.lines << QStringLiteral("  the Fisher information cannot be inverted: no standard "
                                    "errors");
    out.lines << QStringLiteral("  condition number of the Fisher information: %1")
                     .arg(std::isfinite(out.conditionNumber) ? formatGeneral(out.conditionNumber)
                                                             : QStringLiteral("infinite"));
    out.lines << QStringLiteral("  parameters the data cannot determine: %1")
                     .arg(r.undetermined.isEmpty() ? QStringLiteral("none") : r.undetermined);
    return out;
}
