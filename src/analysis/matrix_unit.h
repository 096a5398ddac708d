#pragma once
// Extended-precision inversion of the small square matrices of the uncertainty
// analysis (the information matrix: one row and column per parameter).
//
// The factorisation is Eigen's FullPivLU in long double: complete pivoting, the
// largest magnitude of the remaining block, the diagonal element winning ties.
// The inverse is then formed from those factors with every sum taken in the
// order the uncertainty protocol's digits were always computed in (see
// invertMatrix()); Eigen's own inverse() orders its sums differently and
// changes printed digits.
#include <vector>

using LongVector = std::vector<long double>;
using LongMatrix = std::vector<LongVector>;

struct MatrixInverse {
    // n x n; all zero when the matrix is singular.
    LongMatrix inverse;
    long double determinant = 0;
    // A pivot of exactly zero, or a determinant that is zero (also by underflow).
    // A matrix singular only at rounding level may still be inverted into
    // values of no meaning: the caller judges those (variances not above 0).
    bool singular = false;
};

// The inverse and determinant of a square matrix (n = 0 included: determinant
// 1). FitError when the rows are not all of the matrix's size.
MatrixInverse invertMatrix(const LongMatrix& a);
