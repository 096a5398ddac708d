#pragma once
// Extended-precision inversion and determinant of small square matrices.
//
// The unit keeps one module-wide dimension: every routine works on the leading
// n x n block (n = MatDim) of the arrays it is given and never resizes them, so
// the caller sizes every array to at least n (n x n) elements beforehand.
// Singularity is not an error: it shows as MatStatus = 3 and a zero determinant.
// Using the unit before MatSetDim ends the process (see MatCheckInit).
#include <cstdint>
#include <vector>

using LongVector = std::vector<long double>;
using PivotVector = std::vector<std::int32_t>;
using LongMatrix = std::vector<LongVector>;

// Status codes of the last operation.
enum : std::int32_t {
    MatOk = 0,
    MatNotInitialised = 2,
    MatSingular = 3,
};

extern std::int32_t MatDim;
extern bool MatReady;
extern std::int32_t MatStatus;

// Sets the dimension used by every routine and makes the unit ready.
void MatSetDim(std::int32_t n);

// Stops the process (message on standard output, exit code 1) when no
// dimension has been set yet; otherwise resets MatStatus to 0. If standard
// output cannot be written, the FitError of that failed write ends the calling
// operation instead.
void MatCheckInit();

// Complete-pivoting elimination of A. LU receives U in its upper triangle and
// the strict lower part of M = L^-1 below it, with M * A' = U where
// A'[i][j] = A[RowPerm[i]][ColPerm[j]]. Sets MatStatus to 3 when A is singular.
void MatFactor(const LongMatrix& A, LongMatrix& LU, PivotVector& ColPerm, PivotVector& RowPerm,
               long double& Det);

// Solves A * X = B from the factors of MatFactor. X and B may be one vector.
void MatSolve(const LongMatrix& LU, LongVector& X, const LongVector& B, const PivotVector& ColPerm,
              const PivotVector& RowPerm);

// Inverse and determinant of A. When A is singular, AInv is left untouched and
// Det is 0.
void MatInverse(const LongMatrix& A, LongMatrix& AInv, long double& Det);
