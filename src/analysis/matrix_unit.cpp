#include "analysis/matrix_unit.h"

#include "base/fit_error.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

std::int32_t MatDim = 0;
bool MatReady = false;
std::int32_t MatStatus = MatOk;

namespace {

// 30 characters; the fifth is U+201A SINGLE LOW-9 QUOTATION MARK (UTF-8 E2 80 9A),
// the accented one U+00E9 (C3 A9). Written in the locale's encoding, which is UTF-8 here.
constexpr char notInitialisedMessage[] = "Unit\xE2\x80\x9A MATRICES non initialis\xC3\xA9"
                                         "e";

} // namespace

void MatSetDim(std::int32_t n) {
    MatDim = n;
    MatReady = true;
    MatCheckInit();
}

void MatCheckInit() {
    if (MatReady) {
        MatStatus = MatOk;
        return;
    }
    MatStatus = MatNotInitialised;
    // No line end: the message is the whole output. A process without a usable
    // standard output gets an error for the failed write rather than a silent stop.
    errno = 0;
    const std::size_t len = std::strlen(notInitialisedMessage);
    const bool written = std::fwrite(notInitialisedMessage, 1, len, stdout) == len;
    const bool flushed = std::fflush(stdout) == 0;
    if (!written || !flushed) {
        const int err = errno;
        std::clearerr(stdout);
        throw FitError(QStringLiteral("I/O error writing to standard output: %1")
                           .arg(QString::fromLocal8Bit(std::strerror(err ? err : EIO))));
    }
    std::exit(1);
}

void MatFactor(const LongMatrix& A, LongMatrix& LU, PivotVector& ColPerm, PivotVector& RowPerm,
               long double& Det) {
    const std::int32_t n = MatDim;
    for (std::int32_t i = 0; i < n; ++i) {
        ColPerm[i] = i;
        RowPerm[i] = i;
    }
    for (std::int32_t i = 0; i < n; ++i)
        for (std::int32_t j = 0; j < n; ++j)
            LU[i][j] = A[i][j];

    int sign = 1;
    for (std::int32_t k = 0; k <= n - 2 && MatStatus == MatOk; ++k) {
        // Largest magnitude of the remaining submatrix; ties keep the first
        // one found, so the diagonal element wins every tie.
        long double m = std::fabs(LU[k][k]);
        std::int32_t r = k;
        std::int32_t c = k;
        for (std::int32_t i = k; i < n; ++i)
            for (std::int32_t j = k; j < n; ++j)
                if (std::fabs(LU[i][j]) > m) {
                    m = std::fabs(LU[i][j]);
                    r = i;
                    c = j;
                }
        if (m == 0) {
            MatStatus = MatSingular;
            break;
        }
        if (c != k) {
            for (std::int32_t i = 0; i < n; ++i)
                std::swap(LU[i][k], LU[i][c]);
            std::swap(ColPerm[k], ColPerm[c]);
            sign = -sign;
        }
        if (r != k) {
            // Whole rows move, so the multipliers stored by earlier steps go
            // with the rows they belong to.
            for (std::int32_t j = 0; j < n; ++j)
                std::swap(LU[k][j], LU[r][j]);
            std::swap(RowPerm[k], RowPerm[r]);
            sign = -sign;
        }
        const long double p = LU[k][k];
        for (std::int32_t i = k + 1; i < n; ++i) {
            const long double f = LU[i][k] / p;
            for (std::int32_t j = k + 1; j < n; ++j)
                LU[i][j] = LU[i][j] - f * LU[k][j];
            // The strict lower part accumulates M = L^-1 instead of L, which
            // lets MatSolve apply it in a single pass.
            for (std::int32_t j = 0; j <= k; ++j) {
                if (j == k)
                    LU[i][k] = -f;
                else
                    LU[i][j] = LU[i][j] - f * LU[k][j];
            }
        }
    }

    // The last diagonal element is never tested as a pivot; a zero there shows here.
    long double det = sign;
    for (std::int32_t j = 0; j < n; ++j)
        det = det * LU[j][j];
    Det = det;
    if (det == 0)
        MatStatus = MatSingular;
}

void MatSolve(const LongMatrix& LU, LongVector& X, const LongVector& B, const PivotVector& ColPerm,
              const PivotVector& RowPerm) {
    const std::int32_t n = MatDim;
    LongVector y(n > 0 ? n : 0);
    // B is only read here and X only written afterwards, so both may be one vector.
    for (std::int32_t i = n - 1; i >= 0; --i) {
        long double s = B[RowPerm[i]];
        for (std::int32_t j = 0; j < i; ++j)
            s = s + LU[i][j] * B[RowPerm[j]];
        for (std::int32_t j = i + 1; j < n; ++j)
            s = s - LU[i][j] * y[j];
        y[i] = s / LU[i][i];
    }
    for (std::int32_t i = 0; i < n; ++i)
        X[ColPerm[i]] = y[i];
    MatStatus = MatOk;
}

void MatInverse(const LongMatrix& A, LongMatrix& AInv, long double& Det) {
    MatCheckInit();
    const std::int32_t n = MatDim;
    const std::size_t size = n > 0 ? static_cast<std::size_t>(n) : 0;
    LongMatrix lu(size, LongVector(size));
    LongVector e(size);
    PivotVector colPerm(size);
    PivotVector rowPerm(size);
    MatFactor(A, lu, colPerm, rowPerm, Det);
    if (MatStatus != MatOk)
        return;
    for (std::int32_t k = 0; k < n; ++k) {
        for (std::int32_t i = 0; i < n; ++i)
            e[i] = 0;
        e[k] = 1;
        MatSolve(lu, e, e, colPerm, rowPerm);
        for (std::int32_t i = 0; i < n; ++i)
            AInv[i][k] = e[i];
    }
}
