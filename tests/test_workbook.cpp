// Tests of the spreadsheet report: every file is written with the real library
// and read back from the .xlsx with the test reader.
#include "analysis/workbook.h"
#include "base/fit_error.h"
#include "support/xlsx_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using CellMap = QMap<std::pair<int, int>, XlsxCell>;

XlsxCell T(const char* text) {
    return XlsxReader::text(QString::fromUtf8(text));
}
XlsxCell N(double value) {
    return XlsxReader::number(value);
}

void expectCells(const CellMap& actual, const CellMap& expected) {
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        SCOPED_TRACE(testing::Message()
                     << "cell row " << it.key().first << " column " << it.key().second);
        ASSERT_TRUE(actual.contains(it.key()));
        EXPECT_EQ(actual.value(it.key()), it.value());
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it)
        EXPECT_TRUE(expected.contains(it.key()))
            << "unexpected cell row " << it.key().first << " column " << it.key().second;
}

class WorkbookFile : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
};

// Two parameters, three result rows: the three sheets of one analysis, added in
// the order the analysis produces them.
TEST_F(WorkbookFile, AnalysisReportHasThreeSheetsInTabOrderWithLabelsAndValues) {
    const LongMatrix sensitivityRows{{0, 0, 0}, {10.5L, 1, -2}, {11, 0.25L, 3}, {12, -1, 4.5L}};
    const LongMatrix fisher{{4, -1}, {-1, 3}};
    const LongMatrix cov{{2, 1}, {1, 2}};

    Workbook book;
    book.addMatrixSheet(Workbook::sensitivitySheet, 1, 4, 1, 3, sensitivityRows);
    book.addMatrixSheet(Workbook::fisherSheet, 1, 2, 1, 2, fisher);
    book.addMatrixSheet(Workbook::covarianceSheet, 1, 2, 1, 2, cov);
    book.writeEllipseBlock(cov, QStringLiteral("k1    "), QStringLiteral(" k2"));
    const QString file = path(QStringLiteral("opti_res.xlsx"));
    book.saveCopyAs(file);

    const XlsxReader xlsx(file);
    EXPECT_EQ(xlsx.sheetNames(),
              (QStringList{"covariance", "Fisher information", "sensitivities"}));
    EXPECT_EQ(book.sheetNames(), xlsx.sheetNames());

    // Row "P1" of the sensitivities is the unused row 0, all zeros.
    expectCells(xlsx.cells("sensitivities"), CellMap{{{1, 2}, T("P1")},
                                                     {{1, 3}, T("P2")},
                                                     {{1, 4}, T("P3")},
                                                     {{2, 1}, T("P1")},
                                                     {{3, 1}, T("P2")},
                                                     {{4, 1}, T("P3")},
                                                     {{5, 1}, T("P4")},
                                                     {{2, 2}, N(0)},
                                                     {{2, 3}, N(0)},
                                                     {{2, 4}, N(0)},
                                                     {{3, 2}, N(10.5)},
                                                     {{3, 3}, N(1)},
                                                     {{3, 4}, N(-2)},
                                                     {{4, 2}, N(11)},
                                                     {{4, 3}, N(0.25)},
                                                     {{4, 4}, N(3)},
                                                     {{5, 2}, N(12)},
                                                     {{5, 3}, N(-1)},
                                                     {{5, 4}, N(4.5)}});
    expectCells(xlsx.cells("Fisher information"), CellMap{{{1, 2}, T("P1")},
                                                          {{1, 3}, T("P2")},
                                                          {{2, 1}, T("P1")},
                                                          {{3, 1}, T("P2")},
                                                          {{2, 2}, N(4)},
                                                          {{2, 3}, N(-1)},
                                                          {{3, 2}, N(-1)},
                                                          {{3, 3}, N(3)}});
    // Eigenvalues 3 and 1, slopes -1 and 1; the aliases keep their blanks.
    expectCells(xlsx.cells("covariance"), CellMap{{{1, 2}, T("P1")},
                                                  {{1, 3}, T("P2")},
                                                  {{2, 1}, T("P1")},
                                                  {{3, 1}, T("P2")},
                                                  {{2, 2}, N(2)},
                                                  {{2, 3}, N(1)},
                                                  {{3, 2}, N(1)},
                                                  {{3, 3}, N(2)},
                                                  {{4, 1}, T("Eigenvalues")},
                                                  {{5, 2}, N(3)},
                                                  {{6, 2}, N(1)},
                                                  {{7, 1}, T("main axes of conf. ellipse")},
                                                  {{8, 1}, T("k1    ")},
                                                  {{8, 2}, N(-1)},
                                                  {{9, 1}, T(" k2")},
                                                  {{9, 2}, N(1)}});
}

TEST_F(WorkbookFile, ThreeParametersGetNoEllipseBlock) {
    const LongMatrix v{{1, 0.5L, 0}, {0.5L, 2, 0}, {0, 0, 1e-20L}};
    Workbook book;
    book.addMatrixSheet(Workbook::covarianceSheet, 1, 3, 1, 3, v);
    book.saveCopyAs(path("three.xlsx"));
    const CellMap cells = XlsxReader(path("three.xlsx")).cells("covariance");
    EXPECT_EQ(cells.size(), 6 + 9);
    EXPECT_EQ(cells.value({4, 4}), N(1e-20));
    EXPECT_EQ(cells.value({1, 4}), T("P3"));
    EXPECT_FALSE(cells.contains({1, 1}));
}

// The pair is uncorrelated: the axes are the parameter axes, and the one parallel
// to parameter 2 shows as text rather than a division by zero.
TEST_F(WorkbookFile, UncorrelatedPairWritesParameterAxes) {
    const LongMatrix v{{4, 0}, {0, 1}};
    Workbook book;
    book.addMatrixSheet(Workbook::covarianceSheet, 1, 2, 1, 2, v);
    book.writeEllipseBlock(v, QStringLiteral("a"), QStringLiteral("b"));
    book.saveCopyAs(path("uncorrelated.xlsx"));
    const XlsxReader xlsx(path("uncorrelated.xlsx"));
    EXPECT_EQ(xlsx.cell("covariance", 5, 2), N(4));
    EXPECT_EQ(xlsx.cell("covariance", 6, 2), N(1));
    EXPECT_EQ(xlsx.cell("covariance", 8, 2), T("vertical"));
    EXPECT_EQ(xlsx.cell("covariance", 9, 2), N(0));
}

struct AxesCase {
    const char* name;
    LongMatrix v;
    double lambda1, lambda2, s1, s2;
};

class EllipseAxesCases : public ::testing::TestWithParam<AxesCase> {};

constexpr double vertical = std::numeric_limits<double>::infinity();

TEST_P(EllipseAxesCases, EigenvaluesAndSlopes) {
    const AxesCase& tc = GetParam();
    const EllipseAxes axes = ellipseAxes(tc.v);
    EXPECT_EQ(axes.lambda1, tc.lambda1);
    EXPECT_EQ(axes.lambda2, tc.lambda2);
    EXPECT_EQ(axes.s1, tc.s1);
    EXPECT_EQ(axes.s2, tc.s2);
    EXPECT_FALSE(std::signbit(axes.s1) && axes.s1 == 0) << "negative zero slope";
}

INSTANTIATE_TEST_SUITE_P(
    Covariances, EllipseAxesCases,
    ::testing::Values(AxesCase{"correlated", {{2, 1}, {1, 2}}, 3, 1, -1, 1},
                      AxesCase{"anticorrelated", {{2, -1}, {-1, 2}}, 3, 1, 1, -1},
                      AxesCase{"uncorrelated_wide_in_p1", {{4, 0}, {0, 1}}, 4, 1, vertical, 0},
                      AxesCase{"uncorrelated_wide_in_p2", {{1, 0}, {0, 4}}, 4, 1, 0, vertical},
                      AxesCase{"uncorrelated_circle", {{2, 0}, {0, 2}}, 2, 2, 0, vertical},
                      // A singular information matrix leaves an all-zero covariance.
                      AxesCase{"all_zero", {{0, 0}, {0, 0}}, 0, 0, 0, vertical}),
    [](const ::testing::TestParamInfo<AxesCase>& info) { return std::string(info.param.name); });

// Slopes of correlated pairs checked against the eigenvector equations
// V (1, s1) = lambda2 (1, s1) and V (1, s2) = lambda1 (1, s2).
TEST(EllipseAxesEigenvectors, SlopesAreEigenvectorDirections) {
    const std::vector<LongMatrix> cases{
        {{0.0625L, -0.05L}, {-0.05L, 0.16L}},
        {{3, 0.2L}, {0.2L, 0.5L}},
        {{1e-6L, 3e-7L}, {3e-7L, 4e-6L}},
        // Correlation too weak to survive V[0][0] - lambda1 in double precision.
        {{2, 1e-9L}, {1e-9L, 1}},
    };
    for (const LongMatrix& v : cases) {
        const double a = static_cast<double>(v[0][0]), b = static_cast<double>(v[0][1]),
                     d = static_cast<double>(v[1][1]);
        SCOPED_TRACE(testing::Message() << a << " " << b << " " << d);
        const EllipseAxes axes = ellipseAxes(v);
        const double root = std::sqrt(b * b + (d - a) * (d - a) / 4);
        EXPECT_NEAR(axes.lambda1, (a + d) / 2 + root, 1e-15 * std::fabs(a + d));
        EXPECT_NEAR(axes.lambda2, (a + d) / 2 - root, 1e-15 * std::fabs(a + d));
        ASSERT_TRUE(std::isfinite(axes.s1));
        ASSERT_TRUE(std::isfinite(axes.s2));
        // Angle between (1, s) and V (1, s): zero for an eigenvector.
        for (const double s : {axes.s1, axes.s2}) {
            const double vx = a + b * s, vy = b + d * s;
            const double cross = vx * s - vy;
            EXPECT_NEAR(cross / (std::hypot(vx, vy) * std::hypot(1.0, s)), 0, 1e-9);
        }
        EXPECT_NEAR(axes.s1 * axes.s2, -1, 1e-12);
    }
}

TEST_F(WorkbookFile, NumbersWithoutAFiniteValueBecomeText) {
    const LongMatrix m{{std::numeric_limits<long double>::quiet_NaN(),
                        std::numeric_limits<long double>::infinity()},
                       {-std::numeric_limits<long double>::infinity(), -0.0L}};
    Workbook book;
    book.addMatrixSheet(Workbook::fisherSheet, 1, 2, 1, 2, m);
    book.saveCopyAs(path("nonfinite.xlsx"));
    const XlsxReader xlsx(path("nonfinite.xlsx"));
    EXPECT_EQ(xlsx.cell("Fisher information", 2, 2), T("NAN"));
    EXPECT_EQ(xlsx.cell("Fisher information", 2, 3), T("INF"));
    EXPECT_EQ(xlsx.cell("Fisher information", 3, 2), T("-INF"));
    EXPECT_EQ(xlsx.cell("Fisher information", 3, 3), N(0));
}

// The file holds 16 significant digits per number, as many as the spreadsheet
// itself shows and more than the 15 of the log lines.
TEST_F(WorkbookFile, ValuesKeepSixteenSignificantDigits) {
    const LongMatrix m{{1.0L / 3, 123456789.123456789L}, {6.02214076e23L, -2.5e-300L}};
    Workbook book;
    book.addMatrixSheet(Workbook::covarianceSheet, 1, 2, 1, 2, m);
    book.saveCopyAs(path("precision.xlsx"));
    const XlsxReader xlsx(path("precision.xlsx"));
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            const auto cell = xlsx.cell("covariance", r + 2, c + 2);
            ASSERT_TRUE(cell && !cell->isText);
            const double expected = static_cast<double>(m[r][c]);
            EXPECT_NEAR(cell->number, expected, 1e-15 * std::fabs(expected));
        }
}

TEST_F(WorkbookFile, SavingReplacesAnExistingFileAndCanBeRepeated) {
    const QString file = path("opti_res.xlsx");
    {
        QFile old(file);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("not a workbook");
    }
    Workbook book;
    book.addMatrixSheet(Workbook::fisherSheet, 1, 1, 1, 1, LongMatrix{{5}});
    book.saveCopyAs(file);
    EXPECT_EQ(XlsxReader(file).cell("Fisher information", 2, 2), N(5));

    book.addMatrixSheet(Workbook::covarianceSheet, 1, 1, 1, 1, LongMatrix{{0.2L}});
    book.saveCopyAs(file);
    const XlsxReader again(file);
    EXPECT_EQ(again.sheetNames(), (QStringList{"covariance", "Fisher information"}));
    EXPECT_EQ(again.cell("covariance", 2, 2), N(0.2));
    // Nothing but the report is left in the directory.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"opti_res.xlsx"});
    EXPECT_TRUE(QFile::permissions(file) & QFileDevice::ReadOther);
}

TEST_F(WorkbookFile, RelativeNameLandsInTheWorkingDirectory) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    Workbook book;
    book.addMatrixSheet(Workbook::fisherSheet, 1, 1, 1, 1, LongMatrix{{1}});
    book.saveCopyAs(reportWorkbookPath(QString(), false, QStringLiteral("ignored")));
    QDir::setCurrent(previous);
    EXPECT_TRUE(QFile::exists(path("opti_res.xlsx")));
}

TEST_F(WorkbookFile, WriteFailuresRaiseWithPathAndReason) {
    {
        QFile plain(path("plain"));
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    }
    QDir(dir.path()).mkdir("sub");
    const QStringList badPaths{path("missing/opti_res.xlsx"), path("plain/opti_res.xlsx"),
                               path("sub"), QString()};
    Workbook book;
    book.addMatrixSheet(Workbook::fisherSheet, 1, 1, 1, 1, LongMatrix{{1}});
    for (const QString& bad : badPaths) {
        SCOPED_TRACE(bad.toStdString());
        try {
            book.saveCopyAs(bad);
            ADD_FAILURE() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains(QLatin1Char('\'') + bad + QLatin1String("':")))
                << e.message().toStdString();
            EXPECT_GT(e.message().size(), bad.size() + 30) << "reason missing";
        }
    }
    EXPECT_TRUE(QDir(path("sub")).isEmpty());
}

TEST(WorkbookSheets, RejectsWhatASpreadsheetWouldReject) {
    Workbook book;
    EXPECT_THROW(book.setText(1, 1, "x"), FitError);
    book.addSheet("covariance");
    EXPECT_THROW(book.addSheet("Covariance"), FitError);
    for (const char* name :
         {"", "a/b", "a[1]", "what?", "'quoted'", "a name much longer than thirty-one characters"})
        EXPECT_THROW(book.addSheet(QString::fromUtf8(name)), FitError) << name;
    EXPECT_THROW(book.setNumber(0, 1, 1), FitError);
    EXPECT_THROW(book.setNumber(1, 0, 1), FitError);
    EXPECT_THROW(book.setNumber(1048577, 1, 1), FitError);
    EXPECT_THROW(book.setNumber(1, 16385, 1), FitError);
    EXPECT_NO_THROW(book.setNumber(1048576, 16384, 1));
    EXPECT_EQ(book.sheetNames(), QStringList{"covariance"});
}

struct PathCase {
    const char* databaseFolder;
    bool unattended;
    const char* resultFile;
    const char* expected;
};

TEST(ReportWorkbookPath, BatchRunsUseTheResultName) {
    const PathCase cases[] = {
        {"/data/", true, "run1", "/data/run1.xlsx"},
        {"/data/", false, "run1", "/data/opti_res.xlsx"},
        {"", true, "", "opti_res.xlsx"},
        {"", false, "", "opti_res.xlsx"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(reportWorkbookPath(c.databaseFolder, c.unattended, c.resultFile),
                  QString::fromUtf8(c.expected));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
