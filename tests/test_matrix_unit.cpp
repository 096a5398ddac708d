// Tests of the extended-precision matrix inversion: the worked 2 x 2 cases,
// singular and degenerate matrices, larger matrices against independent
// results, and the digits the uncertainty protocol prints from it.
#include "analysis/matrix_unit.h"
#include "base/fit_error.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Determinant by cofactor expansion: independent of the elimination.
long double cofactorDet(const LongMatrix& a) {
    const std::size_t n = a.size();
    if (n == 0)
        return 1;
    if (n == 1)
        return a[0][0];
    long double det = 0;
    for (std::size_t c = 0; c < n; ++c) {
        LongMatrix minor;
        for (std::size_t i = 1; i < n; ++i) {
            LongVector row;
            for (std::size_t j = 0; j < n; ++j)
                if (j != c)
                    row.push_back(a[i][j]);
            minor.push_back(row);
        }
        const long double term = a[0][c] * cofactorDet(minor);
        det += (c % 2 == 0) ? term : -term;
    }
    return det;
}

LongMatrix zeros(std::size_t n) {
    return LongMatrix(n, LongVector(n, 0));
}

struct WorkedCase {
    const char* name;
    LongMatrix a;
    long double det;
    LongMatrix inverse; // empty when singular
};

void PrintTo(const WorkedCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkedExamples : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(WorkedExamples, InverseAndDeterminantMatchHandResults) {
    const WorkedCase& tc = GetParam();
    const MatrixInverse result = invertMatrix(tc.a);
    EXPECT_EQ(result.determinant, tc.det);
    if (tc.inverse.empty()) {
        EXPECT_TRUE(result.singular);
        EXPECT_EQ(result.inverse, zeros(tc.a.size())) << "a singular matrix has no inverse";
    } else {
        EXPECT_FALSE(result.singular);
        EXPECT_EQ(result.inverse, tc.inverse);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, WorkedExamples,
    ::testing::Values(
        // Pivot 4 at (1, 1): a column and a row exchange.
        WorkedCase{"both_exchanges", {{1, 2}, {3, 4}}, -2, {{-2, 1}, {1.5L, -0.5L}}},
        // A zero diagonal: the pivot is off the diagonal.
        WorkedCase{"zero_diagonal", {{0, 1}, {1, 0}}, -1, {{0, 1}, {1, 0}}},
        // |-2| ties with the diagonal 2.
        WorkedCase{"tie_with_diagonal", {{2, -2}, {1, 1}}, 4, {{0.25L, 0.5L}, {-0.25L, 0.5L}}},
        // Elimination leaves a last pivot of 0.
        WorkedCase{"rank_one", {{1, 2}, {2, 4}}, 0, {}},
        WorkedCase{"rank_two_of_three", {{1, 2, 3}, {2, 4, 6}, {1, 0, 1}}, 0, {}},
        WorkedCase{"zero_2", {{0, 0}, {0, 0}}, 0, {}},
        WorkedCase{"zero_3", {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 0, {}},
        WorkedCase{"one_by_one", {{4}}, 4, {{0.25L}}}, WorkedCase{"one_by_one_zero", {{0}}, 0, {}},
        WorkedCase{"one_by_one_negative", {{-8}}, -8, {{-0.125L}}},
        WorkedCase{"diagonal", {{2, 0}, {0, 4}}, 8, {{0.5L, 0}, {0, 0.25L}}}),
    [](const ::testing::TestParamInfo<WorkedCase>& info) { return std::string(info.param.name); });

TEST(MatrixUnit, NoParameterIsNothingToInvert) {
    const MatrixInverse result = invertMatrix({});
    EXPECT_FALSE(result.singular);
    EXPECT_TRUE(result.inverse.empty());
    EXPECT_EQ(result.determinant, 1); // the empty product
}

TEST(MatrixUnit, LargerMatricesInvertToExtendedPrecision) {
    // Matrices that need row and column exchanges in later steps.
    // det(H5) = 1 / 266716800000 exactly.
    LongMatrix h5(5, LongVector(5));
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j)
            h5[i][j] = 1.0L / (i + j + 1);
    EXPECT_NEAR(static_cast<double>(invertMatrix(h5).determinant * 266716800000.0L), 1.0, 1e-14);

    const std::vector<LongMatrix> cases{
        {{1, 2, 3}, {4, 5, 6}, {7, 8, 10}},
        {{0, 0, 1, 2}, {3, 0, 1, 0}, {1, 9, 0, 4}, {2, 1, 8, 1}},
        {{1e-3L, 5, 0, 2, 1},
         {2, 1e-2L, 7, 0, 3},
         {0, 4, 1, 9, 0},
         {6, 0, 2, 1, 8},
         {1, 1, 1, 1, 1}},
        h5, // ill-conditioned (~5E5)
    };
    for (const LongMatrix& a : cases) {
        const std::size_t n = a.size();
        SCOPED_TRACE(n);
        const MatrixInverse result = invertMatrix(a);
        ASSERT_FALSE(result.singular);
        const long double refDet = cofactorDet(a);
        // The cofactor reference itself loses digits on the ill-conditioned case.
        EXPECT_LE(std::fabs(result.determinant - refDet), 1e-12L * std::fabs(refDet));
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                long double ab = 0, ba = 0;
                for (std::size_t k = 0; k < n; ++k) {
                    ab += a[i][k] * result.inverse[k][j];
                    ba += result.inverse[i][k] * a[k][j];
                }
                EXPECT_NEAR(static_cast<double>(ab), i == j ? 1.0 : 0.0, 1e-12)
                    << "(A * AInv)[" << i << "][" << j << "]";
                EXPECT_NEAR(static_cast<double>(ba), i == j ? 1.0 : 0.0, 1e-12)
                    << "(AInv * A)[" << i << "][" << j << "]";
            }
    }
}

TEST(MatrixUnit, KnownInverseOfHilbertThreeIsExact) {
    // inv(H3) is the integer matrix [[9,-36,30],[-36,192,-180],[30,-180,180]];
    // extended precision gets within a few units of the last double bit.
    const LongMatrix h{
        {1.0L, 1.0L / 2, 1.0L / 3}, {1.0L / 2, 1.0L / 3, 1.0L / 4}, {1.0L / 3, 1.0L / 4, 1.0L / 5}};
    const double expected[3][3] = {{9, -36, 30}, {-36, 192, -180}, {30, -180, 180}};
    const MatrixInverse result = invertMatrix(h);
    EXPECT_NEAR(static_cast<double>(result.determinant), 1.0 / 2160, 1e-18);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(static_cast<double>(result.inverse[i][j]), expected[i][j], 1e-13);
}

// The uncertainty protocol and the workbook print the inverse of the
// information matrix; its rounding must not move from one build to the next.
// This information matrix (three parameters, four weighted observations) has
// the inverse below to the last bit; Eigen's own inverse() sums in another
// order and differs already in the double of element (0, 1) that the workbook
// holds.
TEST(MatrixUnit, TheInverseKeepsTheDigitsOfTheUncertaintyProtocol) {
    const LongMatrix information{
        {0x8.f4395810624dd2fp-1L, 0xd.46508dfea27983dp-2L, 0xc.4ac083126e978d5p-2L},
        {0xd.46508dfea27983dp-2L, 0xd.aefd7f341c37862p-2L, 0xa.083126e978d4fep-2L},
        {0xc.4ac083126e978d5p-2L, 0xa.083126e978d4fep-2L, 0x9.c49ba5e353f7cedp-2L}};
    const LongMatrix covariance{
        {0xd.d330a6e9ba37f5dp-3L, -0xa.a40070bf9bef3ffp-5L, -0xe.aa4ad7e5d41ee6bp-3L},
        {-0xa.a40070bf9bef401p-5L, 0x9.fa673de0c146d4cp-3L, -0xd.ccf29b8a5a88883p-4L},
        {-0xe.aa4ad7e5d41ee6ap-3L, -0xd.ccf29b8a5a88883p-4L, 0xe.68a0a530b9470fep-2L}};
    const MatrixInverse result = invertMatrix(information);
    ASSERT_FALSE(result.singular);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(result.inverse[i][j], covariance[i][j])
                << "element (" << i << ", " << j << ")";
    EXPECT_EQ(static_cast<double>(result.inverse[0][1]), -0.33251974126039652);
}

TEST(MatrixUnit, ARaggedMatrixIsAnError) {
    EXPECT_THROW(invertMatrix({{1, 2}, {3}}), FitError);
    EXPECT_THROW(invertMatrix({{1, 2, 3}, {3, 4, 5}}), FitError);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
