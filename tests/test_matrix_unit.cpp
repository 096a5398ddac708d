// Tests of the extended-precision matrix unit: the worked 2 x 2 cases, the
// degenerate sizes, larger matrices against independent results, and the stop
// of an uninitialised unit in a real child process.
#include "analysis/matrix_unit.h"
#include "base/fit_error.h"

#include <QCoreApplication>
#include <QProcess>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace {

constexpr long double sentinel = 7777.25L;

LongMatrix filled(std::size_t rows, std::size_t cols, long double value = sentinel) {
    return LongMatrix(rows, LongVector(cols, value));
}

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

struct FactorCase {
    const char* name;
    LongMatrix a;
    PivotVector colPerm;
    PivotVector rowPerm;
    long double det;
    LongMatrix inverse; // empty when singular
};

class WorkedExamples : public ::testing::TestWithParam<FactorCase> {};

TEST_P(WorkedExamples, FactorAndInverseMatchHandResults) {
    const FactorCase& tc = GetParam();
    const auto n = static_cast<std::int32_t>(tc.a.size());
    MatSetDim(n);

    LongMatrix lu = filled(n, n);
    PivotVector colPerm(n, -1), rowPerm(n, -1);
    long double det = sentinel;
    MatFactor(tc.a, lu, colPerm, rowPerm, det);
    EXPECT_EQ(colPerm, tc.colPerm);
    EXPECT_EQ(rowPerm, tc.rowPerm);
    EXPECT_EQ(det, tc.det);

    MatSetDim(n);
    LongMatrix inv = filled(n, n);
    det = sentinel;
    MatInverse(tc.a, inv, det);
    EXPECT_EQ(det, tc.det);
    if (tc.inverse.empty()) {
        EXPECT_EQ(MatStatus, MatSingular);
        EXPECT_EQ(inv, filled(n, n)) << "a singular matrix must leave the output untouched";
    } else {
        EXPECT_EQ(MatStatus, MatOk);
        EXPECT_EQ(inv, tc.inverse);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, WorkedExamples,
    ::testing::Values(
        // Pivot 4 at (1, 1): a column and a row exchange, sign back to +1.
        FactorCase{
            "both_exchanges", {{1, 2}, {3, 4}}, {1, 0}, {1, 0}, -2, {{-2, 1}, {1.5L, -0.5L}}},
        // (0, 1) is the first strictly larger element: only the columns move.
        FactorCase{"column_exchange_only", {{0, 1}, {1, 0}}, {1, 0}, {0, 1}, -1, {{0, 1}, {1, 0}}},
        // |-2| ties with the diagonal 2, and the diagonal wins the tie.
        FactorCase{"tie_keeps_diagonal",
                   {{2, -2}, {1, 1}},
                   {0, 1},
                   {0, 1},
                   4,
                   {{0.25L, 0.5L}, {-0.25L, 0.5L}}},
        // Elimination leaves U[1][1] = 0: caught by the determinant test.
        FactorCase{"rank_one", {{1, 2}, {2, 4}}, {1, 0}, {1, 0}, 0, {}},
        // Zero matrices stop at the first pivot search.
        FactorCase{"zero_2", {{0, 0}, {0, 0}}, {0, 1}, {0, 1}, 0, {}},
        FactorCase{"zero_3", {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, {0, 1, 2}, {0, 1, 2}, 0, {}},
        // n = 1: no elimination step at all.
        FactorCase{"one_by_one", {{4}}, {0}, {0}, 4, {{0.25L}}},
        FactorCase{"one_by_one_zero", {{0}}, {0}, {0}, 0, {}},
        FactorCase{"one_by_one_negative", {{-8}}, {0}, {0}, -8, {{-0.125L}}}),
    [](const ::testing::TestParamInfo<FactorCase>& info) { return std::string(info.param.name); });

TEST(MatrixUnit, FactorStoresUpperFactorAndInverseLowerFactor) {
    // [[1,2],[3,4]] permuted to [[4,3],[2,1]]; multiplier 0.5 stored negated.
    MatSetDim(2);
    LongMatrix lu = filled(2, 2);
    PivotVector colPerm(2), rowPerm(2);
    long double det = 0;
    MatFactor({{1, 2}, {3, 4}}, lu, colPerm, rowPerm, det);
    EXPECT_EQ(lu, (LongMatrix{{4, 3}, {-0.5L, -0.5L}}));
    EXPECT_EQ(MatStatus, MatOk);
}

TEST(MatrixUnit, ZeroMatrixStopsBeforeAnyElimination) {
    MatSetDim(3);
    LongMatrix lu = filled(3, 3);
    PivotVector colPerm(3), rowPerm(3);
    long double det = sentinel;
    MatFactor(filled(3, 3, 0), lu, colPerm, rowPerm, det);
    EXPECT_EQ(MatStatus, MatSingular);
    EXPECT_EQ(det, 0);
    EXPECT_EQ(lu, filled(3, 3, 0));
}

TEST(MatrixUnit, DimensionZeroWritesNothing) {
    MatSetDim(0);
    LongMatrix inv = filled(2, 2);
    long double det = sentinel;
    MatInverse(filled(2, 2, 1), inv, det);
    EXPECT_EQ(det, 1);
    EXPECT_EQ(MatStatus, MatOk);
    EXPECT_EQ(inv, filled(2, 2));
}

TEST(MatrixUnit, OnlyTheLeadingBlockOfLargerArraysIsUsed) {
    // A 2 x 2 problem inside 4 x 5 arrays whose extra elements would make it singular
    // or change the result if they were read.
    LongMatrix a = filled(4, 5, 0);
    a[0][0] = 1;
    a[0][1] = 2;
    a[1][0] = 3;
    a[1][1] = 4;
    a[0][2] = 1e6L;
    a[2][0] = 1e6L;
    MatSetDim(2);
    LongMatrix inv = filled(4, 5);
    long double det = 0;
    MatInverse(a, inv, det);
    EXPECT_EQ(det, -2);
    LongMatrix expected = filled(4, 5);
    expected[0][0] = -2;
    expected[0][1] = 1;
    expected[1][0] = 1.5L;
    expected[1][1] = -0.5L;
    EXPECT_EQ(inv, expected);
}

TEST(MatrixUnit, SolveAcceptsTheSameVectorForRightHandSideAndResult) {
    const LongMatrix a{{2, 1, 1}, {1, 3, 2}, {1, 0, 0}};
    MatSetDim(3);
    LongMatrix lu = filled(3, 3);
    PivotVector colPerm(3), rowPerm(3);
    long double det = 0;
    MatFactor(a, lu, colPerm, rowPerm, det);
    ASSERT_EQ(MatStatus, MatOk);

    const LongVector x{1, -2, 3};
    LongVector b(3);
    for (int i = 0; i < 3; ++i)
        b[i] = a[i][0] * x[0] + a[i][1] * x[1] + a[i][2] * x[2];

    LongVector separate(3, sentinel);
    MatSolve(lu, separate, b, colPerm, rowPerm);
    LongVector shared = b;
    MatSolve(lu, shared, shared, colPerm, rowPerm);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(static_cast<double>(separate[i]), static_cast<double>(x[i]), 1e-15);
        EXPECT_EQ(shared[i], separate[i]);
    }
}

TEST(MatrixUnit, LargerMatricesInvertToExtendedPrecision) {
    // Matrices that need row and column exchanges in later steps, so that stored
    // multipliers must move with their rows.
    // det(H5) = 1 / 266716800000 exactly.
    {
        LongMatrix h5(5, LongVector(5));
        for (int i = 0; i < 5; ++i)
            for (int j = 0; j < 5; ++j)
                h5[i][j] = 1.0L / (i + j + 1);
        MatSetDim(5);
        LongMatrix inv = filled(5, 5);
        long double det = 0;
        MatInverse(h5, inv, det);
        EXPECT_NEAR(static_cast<double>(det * 266716800000.0L), 1.0, 1e-14);
    }
    const std::vector<LongMatrix> cases{
        {{1, 2, 3}, {4, 5, 6}, {7, 8, 10}},
        {{0, 0, 1, 2}, {3, 0, 1, 0}, {1, 9, 0, 4}, {2, 1, 8, 1}},
        {{1e-3L, 5, 0, 2, 1},
         {2, 1e-2L, 7, 0, 3},
         {0, 4, 1, 9, 0},
         {6, 0, 2, 1, 8},
         {1, 1, 1, 1, 1}},
        // The Hilbert matrix of size 5 is ill-conditioned (~5E5).
        {{1.0L / 1, 1.0L / 2, 1.0L / 3, 1.0L / 4, 1.0L / 5},
         {1.0L / 2, 1.0L / 3, 1.0L / 4, 1.0L / 5, 1.0L / 6},
         {1.0L / 3, 1.0L / 4, 1.0L / 5, 1.0L / 6, 1.0L / 7},
         {1.0L / 4, 1.0L / 5, 1.0L / 6, 1.0L / 7, 1.0L / 8},
         {1.0L / 5, 1.0L / 6, 1.0L / 7, 1.0L / 8, 1.0L / 9}},
    };
    for (const LongMatrix& a : cases) {
        const auto n = static_cast<std::int32_t>(a.size());
        SCOPED_TRACE(n);
        MatSetDim(n);
        LongMatrix inv = filled(n, n);
        long double det = 0;
        MatInverse(a, inv, det);
        ASSERT_EQ(MatStatus, MatOk);
        const long double refDet = cofactorDet(a);
        // The cofactor reference itself loses digits on the ill-conditioned case.
        EXPECT_LE(std::fabs(det - refDet), 1e-12L * std::fabs(refDet));
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                long double s = 0;
                for (int k = 0; k < n; ++k)
                    s += a[i][k] * inv[k][j];
                EXPECT_NEAR(static_cast<double>(s), i == j ? 1.0 : 0.0, 1e-12)
                    << "(A * AInv)[" << i << "][" << j << "]";
            }
    }
}

TEST(MatrixUnit, KnownInverseOfHilbertThreeIsExact) {
    // inv(H3) is the integer matrix [[9,-36,30],[-36,192,-180],[30,-180,180]];
    // extended precision gets within a few units of the last double bit.
    const LongMatrix h{
        {1.0L, 1.0L / 2, 1.0L / 3}, {1.0L / 2, 1.0L / 3, 1.0L / 4}, {1.0L / 3, 1.0L / 4, 1.0L / 5}};
    const double expected[3][3] = {{9, -36, 30}, {-36, 192, -180}, {30, -180, 180}};
    MatSetDim(3);
    LongMatrix inv = filled(3, 3);
    long double det = 0;
    MatInverse(h, inv, det);
    EXPECT_NEAR(static_cast<double>(det), 1.0 / 2160, 1e-18);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(static_cast<double>(inv[i][j]), expected[i][j], 1e-13);
}

TEST(MatrixUnit, StatusIsResetByTheNextInversion) {
    MatSetDim(2);
    LongMatrix inv = filled(2, 2);
    long double det = 0;
    MatInverse({{1, 2}, {2, 4}}, inv, det);
    ASSERT_EQ(MatStatus, MatSingular);
    MatInverse({{2, 0}, {0, 4}}, inv, det);
    EXPECT_EQ(MatStatus, MatOk);
    EXPECT_EQ(det, 8);
    EXPECT_EQ(inv, (LongMatrix{{0.5L, 0}, {0, 0.25L}}));
    // A later dimension replaces the earlier one.
    MatSetDim(1);
    EXPECT_EQ(MatDim, 1);
    MatInverse({{5}}, inv, det);
    EXPECT_EQ(det, 5);
    EXPECT_EQ(inv[0][0], 0.2L);
    EXPECT_EQ(inv[1][1], 0.25L);
}

// The child modes below run before any test, so the unit has no dimension yet.
constexpr char childStop[] = "--uninitialised-child";
constexpr char childClosedStdout[] = "--uninitialised-child-closed-stdout";

TEST(MatrixUnitUninitialised, StopsTheProcessWithMessageAndExitCodeOne) {
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(childStop)});
    ASSERT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 1);
    const QByteArray out = child.readAllStandardOutput();
    EXPECT_EQ(out, QByteArray("Unit\xE2\x80\x9A MATRICES non initialis\xC3\xA9"
                              "e"));
    EXPECT_EQ(QString::fromUtf8(out).size(), 30);
    EXPECT_EQ(QString::fromUtf8(out).at(4), QChar(0x201A));
}

TEST(MatrixUnitUninitialised, UnwritableStandardOutputRaisesInsteadOfStopping) {
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(childClosedStdout)});
    ASSERT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 3) << child.readAllStandardError().constData();
    EXPECT_TRUE(child.readAllStandardError().contains("standard output"));
}

int runUninitialisedChild(const char* mode) {
    LongMatrix inv = filled(2, 2);
    long double det = 0;
    if (std::strcmp(mode, childClosedStdout) == 0) {
        ::close(STDOUT_FILENO);
        try {
            MatInverse({{1, 0}, {0, 1}}, inv, det);
        } catch (const FitError& e) {
            std::cerr << e.what() << " status=" << MatStatus;
            return MatStatus == MatNotInitialised ? 3 : 4;
        }
        return 5;
    }
    MatInverse({{1, 0}, {0, 1}}, inv, det);
    return 0; // not reached: the unit ends the process
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 2 &&
        (std::strcmp(argv[1], childStop) == 0 || std::strcmp(argv[1], childClosedStdout) == 0))
        return runUninitialisedChild(argv[1]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
