#include "analysis/matrix_unit.h"

#include "base/fit_error.h"

#include <Eigen/LU>

namespace {

using EigenLongMatrix = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;

} // namespace

MatrixInverse invertMatrix(const LongMatrix& a) {
    const auto n = static_cast<Eigen::Index>(a.size());
    EigenLongMatrix m(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        if (static_cast<Eigen::Index>(a[i].size()) != n)
            throw FitError(QStringLiteral("A matrix to invert has %1 rows, but row %2 has %3 "
                                          "elements.")
                               .arg(n)
                               .arg(i + 1)
                               .arg(a[i].size()));
        for (Eigen::Index j = 0; j < n; ++j)
            m(i, j) = a[i][j];
    }
    MatrixInverse result;
    result.inverse.assign(a.size(), LongVector(a.size(), 0));
    if (n == 0) {
        result.determinant = 1;
        return result;
    }
    // P * A * Q = L * U, L unit lower and U upper triangular, both in lu.
    const Eigen::FullPivLU<EigenLongMatrix> factors(m);
    result.determinant = factors.determinant();
    result.singular = factors.nonzeroPivots() < n || result.determinant == 0;
    if (result.singular)
        return result;
    const EigenLongMatrix& lu = factors.matrixLU();
    const auto& rowOrder = factors.permutationP();
    const auto& columnOrder = factors.permutationQ().indices();
    // Column k of the inverse solves A x = e_k: L c = P e_k by columns of L,
    // then U y = c from the last row up, each row's terms subtracted from the
    // left and divided by the pivot last, and x = Q y. This is the order of the
    // elimination that produced the protocols' digits, bit for bit.
    Eigen::Matrix<long double, Eigen::Dynamic, 1> c(n), y(n);
    for (Eigen::Index k = 0; k < n; ++k) {
        c = rowOrder * Eigen::Matrix<long double, Eigen::Dynamic, 1>::Unit(n, k);
        for (Eigen::Index j = 0; j < n; ++j)
            for (Eigen::Index i = j + 1; i < n; ++i)
                c[i] = c[i] - lu(i, j) * c[j];
        for (Eigen::Index i = n - 1; i >= 0; --i) {
            long double s = c[i];
            for (Eigen::Index j = i + 1; j < n; ++j)
                s = s - lu(i, j) * y[j];
            y[i] = s / lu(i, i);
        }
        for (Eigen::Index i = 0; i < n; ++i)
            result.inverse[std::size_t(columnOrder[i])][std::size_t(k)] = y[i];
    }
    return result;
}
