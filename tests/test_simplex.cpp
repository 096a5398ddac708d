// The bounded downhill simplex driven by analytic and scripted objectives.
#include "base/fit_error.h"
#include "base/number_format.h"
#include "optim/simplex.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

namespace {

struct LogLine {
    QString text;
    bool select;
};

// Collects everything the simplex reports, and counts the objective's calls.
struct Recorder {
    std::vector<LogLine> lines;
    std::vector<ParameterVector> points;

    QStringList texts() const {
        QStringList out;
        for (const auto& l : lines)
            out << l.text;
        return out;
    }
    std::function<void(const QString&, bool)> logger() {
        return [this](const QString& s, bool sel) { lines.push_back({s, sel}); };
    }
    SimplexSink sink(std::function<double(const ParameterVector&)> f) {
        SimplexSink s;
        s.eval = [this, f](const ParameterVector& x) {
            points.push_back(x);
            return f(x);
        };
        s.log = logger();
        return s;
    }
};

// Vertices given as plain coordinate lists become a 1-based simplex.
SimplexVertices makeSimplex(std::initializer_list<std::vector<double>> vertices) {
    SimplexVertices p(1);
    for (const auto& v : vertices) {
        ParameterVector row(1, 0.0);
        row.insert(row.end(), v.begin(), v.end());
        p.push_back(row);
    }
    return p;
}

ParameterVector oneBased(std::initializer_list<double> values) {
    ParameterVector v(1, 0.0);
    v.insert(v.end(), values);
    return v;
}

ValueVector evaluateAll(const SimplexVertices& p, int ndim,
                        const std::function<double(const ParameterVector&)>& f) {
    ValueVector y(ndim + 2, 0.0);
    for (int i = 1; i <= ndim + 1; ++i)
        y[i] = f(p[i]);
    return y;
}

ParameterVector centroid(const SimplexVertices& p, int ndim) {
    ParameterVector c(ndim + 1, 0.0);
    for (int j = 1; j <= ndim; ++j) {
        for (int i = 1; i <= ndim + 1; ++i)
            c[j] += p[i][j];
        c[j] /= ndim + 1;
    }
    return c;
}

// Returns the given values in order, one per evaluation.
std::function<double(const ParameterVector&)> scripted(std::deque<double> values) {
    auto queue = std::make_shared<std::deque<double>>(std::move(values));
    return [queue](const ParameterVector&) {
        if (queue->empty())
            throw FitError(QStringLiteral("script exhausted"));
        const double v = queue->front();
        queue->pop_front();
        return v;
    };
}

const double kInf = HUGE_VAL;

double bowl(const ParameterVector& x) {
    // Minimum 1 at (1.5, -0.5): an offset keeps the relative tolerance meaningful.
    return 1.0 + (x[1] - 1.5) * (x[1] - 1.5) + 4.0 * (x[2] + 0.5) * (x[2] + 0.5);
}

double rosenbrock(const ParameterVector& x) {
    const double a = 1.0 - x[1];
    const double b = x[2] - x[1] * x[1];
    return 1.0 + a * a + 100.0 * b * b;
}

} // namespace

// ---------------------------------------------------------------- R(x)

TEST(RoundR, RoundsToFourSignificantDigits) {
    const struct {
        double x;
        double r;
        const char* logged;
    } cases[] = {
        {123.456, 123.5, "123.5"},
        {0.0123456, 0.01235, "0.01235"},
        {45678, 45680, "45680"},
        {1.0, 1.0, "1"},
        {99996, 100000, "100000"},
        {0.5, 0.5, "0.5"},
        {1.23456e-7, 1.235e-7, "1.235E-7"},
        {0.0, 0.0, "0"},
        {-123.456, -123.5, "-123.5"},
        {-0.0123456, -0.01235, "-0.01235"},
        {-45675, -45680, "-45680"},
        {-2.0, -2.0, "-2"},
    };
    const QLocale c = QLocale::c();
    for (const auto& tc : cases) {
        const double r = roundR(tc.x);
        EXPECT_FALSE(std::isnan(r)) << tc.x;
        EXPECT_NEAR(r, tc.r, std::fabs(tc.r) * 1e-14) << tc.x;
        EXPECT_EQ(formatGeneral(r, c), QString::fromLatin1(tc.logged)) << tc.x;
    }
    EXPECT_EQ(roundR(kInf), kInf);
    EXPECT_TRUE(std::isnan(roundR(std::nan(""))));
}

// ---------------------------------------------------------------- logSimplex

TEST(ShowSimplex, LogsVerticesAndValuesByteForByte) {
    Recorder rec;
    const SimplexVertices p = makeSimplex({{1.5, -2}, {0.1, 1e20}, {1.5e-7, 3}});
    const ValueVector y = oneBased({0.25, 12, kInf});
    logSimplex(2, 0, y, p, rec.logger());
    const QStringList expected = {
        "Iteration 0",
        "1.5    -2    ",
        "    0.1    1E20    ",
        "    1.5E-7    3    ",
        "    0.25    12    INF    ",
    };
    EXPECT_EQ(rec.texts(), expected);
    for (const auto& l : rec.lines)
        EXPECT_FALSE(l.select);
}

// ---------------------------------------------------------------- steps and their log

// f = x1 + x2 from (0,0),(1,0),(0,1): reflection of vertex 2 lands on (-1,1) with
// value 0, which ties the best value and so triggers expansion to (-2,1.5).
TEST(Amoeba, LogsAcceptedStepsAndBudgetExit) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{0, 0}, {1, 0}, {0, 1}});
    auto f = [](const ParameterVector& x) { return x[1] + x[2]; };
    ValueVector y = evaluateAll(p, 2, f);
    Simplex s(2, oneBased({-100, -100}), oneBased({100, 100}), 2, rec.sink(f));
    int count = -1;
    s.minimise(p, y, count, 1e-4);

    EXPECT_EQ(count, 2);
    const QStringList expected = {
        "step1",
        "  try   -1    1    ",
        "  func=0",
        "step2",
        "  try   -2    1.5    ",
        "  func=-0.5",
        " exit AMOEBA - too many iterations",
    };
    EXPECT_EQ(rec.texts(), expected);
    // Only the value line of a step scrolls the list.
    for (const auto& l : rec.lines)
        EXPECT_EQ(l.select, l.text.startsWith("  func=")) << l.text.toStdString();
    EXPECT_EQ(s.termination(), Simplex::Termination::Budget);
    ASSERT_EQ(rec.points.size(), 2u);
    EXPECT_EQ(rec.points[1], oneBased({-2, 1.5}));
    EXPECT_EQ(p[2], oneBased({-2, 1.5}));
    EXPECT_DOUBLE_EQ(y[2], -0.5);
    EXPECT_DOUBLE_EQ(s.finalValue(), -0.5);
}

// Scripted values walk through reflection, contraction and a shrink, then a
// reflection and a rejected expansion. v1=(0,0) y=1, v2=(4,0) y=5, v3=(0,4) y=6.
TEST(Amoeba, ShrinkCountsNdimEvaluationsAndMovesAllButTheBest) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{0, 0}, {4, 0}, {0, 4}});
    ValueVector y = oneBased({1, 5, 6});
    Simplex s(2, oneBased({-100, -100}), oneBased({100, 100}), 6,
              rec.sink(scripted({10, 10, 2, 3, 0.5, 0.7})));
    int count = 0;
    s.minimise(p, y, count, 1e-4);

    EXPECT_EQ(count, 6);
    const std::vector<ParameterVector> expectedPoints = {
        oneBased({4, -4}), // reflection of v3 through (2,0): not better, no log
        oneBased({1, 2}),  // contraction: not better than 6 either
        oneBased({2, 0}),  // shrink of v2 towards v1
        oneBased({0, 2}),  // shrink of v3 towards v1
        oneBased({2, -2}), // reflection of v3 through the recomputed centroid (1,0)
        oneBased({3, -4}), // expansion, not better than the reflected 0.5
    };
    EXPECT_EQ(rec.points, expectedPoints);
    // The first logged step comes after the shrink: its number jumps to 5.
    const QStringList expected = {"step5", "  try   2    -2    ", "  func=0.5",
                                  " exit AMOEBA - too many iterations"};
    EXPECT_EQ(rec.texts(), expected);
    EXPECT_EQ(p[1], oneBased({0, 0}));
    EXPECT_EQ(p[2], oneBased({2, 0}));
    EXPECT_EQ(p[3], oneBased({2, -2}));
    EXPECT_EQ(y, oneBased({1, 2, 0.5}));
}

// A three-dimensional shrink: after it the step counter has advanced by ndim.
TEST(Amoeba, ShrinkInThreeDimensionsAdvancesCountByNdim) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    ValueVector y = oneBased({1, 2, 3, 4});
    Simplex s(3, oneBased({-9, -9, -9}), oneBased({9, 9, 9}), 6,
              rec.sink(scripted({10, 10, 2, 3, 4, 0.5, 9})));
    int count = 0;
    s.minimise(p, y, count, 1e-4);
    EXPECT_EQ(count, 7); // 2 trials + 3 shrink evaluations + reflection + expansion
    ASSERT_GE(rec.texts().size(), 1);
    EXPECT_EQ(rec.texts().first(), "step6");
    EXPECT_EQ(p[1], oneBased({0, 0, 0}));
    EXPECT_EQ(p[2], oneBased({0.5, 0, 0}));
    EXPECT_EQ(p[3], oneBased({0, 0.5, 0}));
}

// ---------------------------------------------------------------- ranking

TEST(Amoeba, RankingTies) {
    // y1 == y2: the highest starts at vertex 2, so vertex 2 is the one reflected.
    {
        Recorder rec;
        SimplexVertices p = makeSimplex({{0, 0}, {2, 0}, {0, 2}});
        ValueVector y = oneBased({3, 3, 1});
        Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), 1,
                  rec.sink([](const ParameterVector&) { return 100.0; }));
        int count = 0;
        s.minimise(p, y, count, 1e-4);
        ASSERT_FALSE(rec.points.empty());
        EXPECT_EQ(rec.points[0], oneBased({-2, 2})); // 2 * (0,1) - (2,0)
    }
    // Equal lowest values: the first is the best vertex, the one a shrink keeps.
    {
        Recorder rec;
        SimplexVertices p = makeSimplex({{0, 0}, {2, 0}, {0, 2}});
        ValueVector y = oneBased({1, 1, 5});
        Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), 1, rec.sink(scripted({10, 10, 7, 8})));
        int count = 0;
        s.minimise(p, y, count, 1e-4);
        EXPECT_EQ(count, 4);
        EXPECT_EQ(p[1], oneBased({0, 0}));
        EXPECT_EQ(p[2], oneBased({1, 0}));
        EXPECT_EQ(p[3], oneBased({0, 1}));
        EXPECT_EQ(y, oneBased({1, 7, 8}));
    }
}

// ---------------------------------------------------------------- convergence and budget

TEST(Amoeba, ConvergedSimplexReturnsSilentlyBeforeTheBudgetTest) {
    const struct {
        const char* name;
        double y1, y2, y3;
        int maxEvaluations;
        bool budgetLine;
        double ftol = 1e-4;
    } cases[] = {
        {"equal values", 4, 4, 4, 0, false},
        {"all zero (incomplete runs)", 0, 0, 0, 0, false},
        {"spread, no budget", 1, 2, 3, 0, true},
        {"all infinite", kInf, kInf, kInf, 0, true},
        {"one infinite", 1, 1, kInf, 0, true},
        {"NaN value", 1, 1, std::nan(""), 0, true},
        // The spread is 2|hi - lo| / (|hi| + |lo|) against the tolerance 1e-4:
        // 1.5e-4 just above it, 9e-5 just below (without the 2: 7.5e-5 and 4.5e-5).
        {"spread just above the tolerance", 1, 1, 1.00015, 0, true},
        {"spread just below the tolerance", 1, 1, 1.00009, 0, false},
        // A spread equal to the tolerance has not converged: 2 * 2 / 4 = 1 exactly.
        {"spread equal to the tolerance", 1, 1, 3, 0, true, 1.0},
        {"spread just below a tolerance of 1", 1, 1, 3, 0, false, std::nextafter(1.0, 2.0)},
    };
    for (const auto& tc : cases) {
        Recorder rec;
        SimplexVertices p = makeSimplex({{0, 0}, {1, 0}, {0, 1}});
        ValueVector y = oneBased({tc.y1, tc.y2, tc.y3});
        Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), tc.maxEvaluations,
                  rec.sink(scripted({})));
        int count = 7;
        s.minimise(p, y, count, tc.ftol);
        EXPECT_EQ(count, 0) << tc.name;
        EXPECT_TRUE(rec.points.empty()) << tc.name;
        const QStringList expected =
            tc.budgetLine ? QStringList{" exit AMOEBA - too many iterations"} : QStringList{};
        EXPECT_EQ(rec.texts(), expected) << tc.name;
        EXPECT_EQ(s.termination(),
                  tc.budgetLine ? Simplex::Termination::Budget : Simplex::Termination::Converged)
            << tc.name;
    }
}

TEST(Amoeba, FindsKnownMinimaOfAnalyticFunctions) {
    const struct {
        const char* name;
        double (*f)(const ParameterVector&);
        std::vector<double> start;
        std::vector<double> step;
        std::vector<double> lo, hi;
        std::vector<double> xmin;
        double tol;
    } cases[] = {
        {"bowl", bowl, {0, 0}, {0.5, 0.5}, {-5, -5}, {5, 5}, {1.5, -0.5}, 1e-3},
        {"bowl with minimum beyond the upper bound",
         bowl,
         {0, 0},
         {0.5, 0.5},
         {-5, -5},
         {1, 5},
         {1, -0.5},
         1e-3},
        {"bowl with minimum below the lower bound",
         bowl,
         {2, 0},
         {0.5, 0.5},
         {-5, 0},
         {5, 5},
         {1.5, 0},
         1e-3},
        {"rosenbrock", rosenbrock, {-1.2, 1}, {0.5, 0.5}, {-2, -2}, {2, 2}, {1, 1}, 2e-2},
    };
    for (const auto& tc : cases) {
        Recorder rec;
        const int ndim = 2;
        SimplexVertices p(ndim + 2, ParameterVector(ndim + 1, 0.0));
        for (int i = 1; i <= ndim + 1; ++i)
            for (int j = 1; j <= ndim; ++j)
                p[i][j] = tc.start[j - 1] + (i == j + 1 ? tc.step[j - 1] : 0.0);
        ValueVector y = evaluateAll(p, ndim, tc.f);
        const int maxEvaluations = 3000;
        Simplex s(ndim, oneBased({tc.lo[0], tc.lo[1]}), oneBased({tc.hi[0], tc.hi[1]}),
                  maxEvaluations, rec.sink(tc.f));
        int count = 0;
        s.minimise(p, y, count, 1e-12);
        EXPECT_EQ(s.termination(), Simplex::Termination::Converged) << tc.name;
        EXPECT_EQ(static_cast<int>(rec.points.size()), count) << tc.name;
        const ParameterVector c = centroid(p, ndim);
        EXPECT_NEAR(c[1], tc.xmin[0], tc.tol) << tc.name;
        EXPECT_NEAR(c[2], tc.xmin[1], tc.tol) << tc.name;
        // Every evaluated point stays inside the box.
        for (const auto& x : rec.points)
            for (int j = 1; j <= ndim; ++j) {
                EXPECT_GE(x[j], tc.lo[j - 1]) << tc.name;
                EXPECT_LE(x[j], tc.hi[j - 1]) << tc.name;
            }
        // y belongs to the simplex it is returned with.
        for (int i = 1; i <= ndim + 1; ++i)
            EXPECT_DOUBLE_EQ(y[i], tc.f(p[i])) << tc.name;
    }
}

TEST(Amoeba, BudgetIsTestedOnlyAtTheStartOfAnIteration) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{-1.2, 1}, {-0.7, 1}, {-1.2, 1.5}});
    ValueVector y = evaluateAll(p, 2, rosenbrock);
    const int maxEvaluations = 25;
    Simplex s(2, oneBased({-2, -2}), oneBased({2, 2}), maxEvaluations, rec.sink(rosenbrock));
    int count = 0;
    s.minimise(p, y, count, 1e-12);
    EXPECT_EQ(s.termination(), Simplex::Termination::Budget);
    EXPECT_GE(count, maxEvaluations);
    EXPECT_LE(count, maxEvaluations + 2 + 2);
    EXPECT_EQ(rec.texts().last(), " exit AMOEBA - too many iterations");
}

TEST(Amoeba, OneDimensionalSegment) {
    Recorder rec;
    auto f = [](const ParameterVector& x) { return 2.0 + (x[1] - 3.0) * (x[1] - 3.0); };
    SimplexVertices p = makeSimplex({{0}, {1}});
    ValueVector y = evaluateAll(p, 1, f);
    Simplex s(1, oneBased({-10}), oneBased({10}), 500, rec.sink(f));
    int count = 0;
    s.minimise(p, y, count, 1e-12);
    EXPECT_EQ(s.termination(), Simplex::Termination::Converged);
    EXPECT_NEAR((p[1][1] + p[2][1]) / 2, 3.0, 1e-4);
    // The first reflection of vertex 1 (value 11) through vertex 2 lands on 2.
    ASSERT_FALSE(rec.points.empty());
    EXPECT_EQ(rec.points[0], oneBased({2}));
}

// ---------------------------------------------------------------- bounds

TEST(Amotry, ClipsEachCoordinateOnItsOwn) {
    // Reflection of v3=(0,-1) through (0.5,0) is (1,1).
    const struct {
        const char* name;
        double mn1, mn2, mx1, mx2;
        double x1, x2;
    } cases[] = {
        {"inside", -10, -10, 10, 10, 1, 1},
        {"upper bound in coordinate 2 only", -10, -10, 10, 0.5, 1, 0.5},
        {"lower bound in coordinate 1 only", 1.25, -10, 10, 10, 1.25, 1},
        {"exactly on the upper bound", -10, -10, 1, 10, 1, 1},
        {"crossed bounds: the upper one wins", 5, -10, 3, 10, 3, 1},
    };
    for (const auto& tc : cases) {
        Recorder rec;
        SimplexVertices p = makeSimplex({{0, 0}, {1, 0}, {0, -1}});
        ValueVector y = oneBased({0, 1, 2});
        ParameterVector psum = oneBased({1, -1});
        Simplex s(2, oneBased({tc.mn1, tc.mn2}), oneBased({tc.mx1, tc.mx2}), 10,
                  rec.sink(scripted({0.5})));
        int count = 3;
        const double ytry = s.tryPoint(p, y, psum, 3, count, -1.0);
        EXPECT_EQ(ytry, 0.5) << tc.name;
        EXPECT_EQ(count, 4) << tc.name;
        ASSERT_EQ(rec.points.size(), 1u) << tc.name;
        EXPECT_EQ(rec.points[0], oneBased({tc.x1, tc.x2})) << tc.name;
        // Accepted: vertex 3 replaced, psum kept in step with the vertices.
        EXPECT_EQ(p[3], oneBased({tc.x1, tc.x2})) << tc.name;
        EXPECT_DOUBLE_EQ(psum[1], 1 + tc.x1) << tc.name;
        EXPECT_DOUBLE_EQ(psum[2], tc.x2) << tc.name;
        EXPECT_EQ(rec.texts().first(), "step4") << tc.name;
    }
}

TEST(Amotry, WorseTrialIsCountedButLeavesNoTrace) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{0, 0}, {1, 0}, {0, 1}});
    const SimplexVertices before = p;
    ValueVector y = oneBased({0, 1, 2});
    ParameterVector psum = oneBased({1, 1});
    Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), 10, rec.sink(scripted({2, kInf})));
    int count = 0;
    EXPECT_EQ(s.tryPoint(p, y, psum, 3, count, 0.5), 2.0); // equal is not better
    EXPECT_EQ(s.tryPoint(p, y, psum, 3, count, -1.0), kInf);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(p, before);
    EXPECT_EQ(y, oneBased({0, 1, 2}));
    EXPECT_EQ(psum, oneBased({1, 1}));
    EXPECT_TRUE(rec.lines.empty());
}

// ---------------------------------------------------------------- incomplete runs

// Model runs fail (return +infinity) wherever x1 + x2 > 0.5; the true minimum of
// the bowl lies in that region, so the best complete fit is on x1 + x2 = 0.5.
TEST(Amoeba, IncompleteRunsAreNeverTakenAsAFit) {
    Recorder rec;
    auto f = [](const ParameterVector& x) { return x[1] + x[2] > 0.5 ? kInf : bowl(x); };
    SimplexVertices p = makeSimplex({{0, 0}, {0.25, 0}, {0, 0.25}});
    ValueVector y = evaluateAll(p, 2, f);
    Simplex s(2, oneBased({-5, -5}), oneBased({5, 5}), 2000, rec.sink(f));
    int count = 0;
    s.minimise(p, y, count, 1e-10);
    EXPECT_EQ(s.termination(), Simplex::Termination::Converged);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(std::isfinite(y[i])) << i;
        EXPECT_LE(p[i][1] + p[i][2], 0.5) << i;
    }
    // Some trials did fail, and none of them was logged as a step.
    EXPECT_TRUE(std::any_of(rec.points.begin(), rec.points.end(),
                            [&](const ParameterVector& x) { return std::isinf(f(x)); }));
    for (const auto& l : rec.lines)
        EXPECT_FALSE(l.text.contains("INF")) << l.text.toStdString();
    // Constrained minimum of the bowl on x1 + x2 = 0.5: (1.1, -0.6).
    const ParameterVector c = centroid(p, 2);
    EXPECT_NEAR(c[1], 1.1, 1e-2);
    EXPECT_NEAR(c[2], -0.6, 1e-2);
}

TEST(Amoeba, IncompleteInitialVertexIsReplacedFirst) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{0, 0}, {1, 0}, {0, 1}});
    ValueVector y = oneBased({kInf, 2, 3});
    Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), 1, rec.sink(scripted({2.5})));
    int count = 0;
    s.minimise(p, y, count, 1e-4);
    // Vertex 1 is the worst: its reflection through (0.5,0.5) is tried and accepted.
    EXPECT_EQ(rec.points, std::vector<ParameterVector>{oneBased({1, 1})});
    EXPECT_EQ(y, oneBased({2.5, 2, 3}));
}

TEST(Amoeba, AllIncompleteSimplexContractsInsteadOfExpanding) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{0, 0}, {1, 0}, {0, 1}});
    ValueVector y = oneBased({kInf, kInf, kInf});
    // NaN from the objective ranks like an incomplete run.
    Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), 1,
              rec.sink(scripted({kInf, std::nan(""), kInf, 4})));
    int count = 0;
    s.minimise(p, y, count, 1e-4);
    // ihi = 2 (ties), reflection through (0,0.5), then contraction, then a shrink.
    const std::vector<ParameterVector> expected = {oneBased({-1, 1}), oneBased({0.5, 0.25}),
                                                   oneBased({0.5, 0}), oneBased({0, 0.5})};
    EXPECT_EQ(rec.points, expected);
    EXPECT_EQ(count, 4);
    EXPECT_TRUE(std::isinf(y[2]));
    EXPECT_EQ(y[3], 4.0);
}

// ---------------------------------------------------------------- stop and errors

TEST(Amoeba, StopRequestEndsAtAnEvaluationBoundaryWithAConsistentSimplex) {
    // Stop after 1, 2, 3 and 4 evaluations of the scripted walk of the shrink test:
    // after the reflection, the contraction, inside the shrink, after the shrink.
    for (int allowed = 0; allowed <= 4; ++allowed) {
        Recorder rec;
        SimplexVertices p = makeSimplex({{0, 0}, {4, 0}, {0, 4}});
        ValueVector y = oneBased({1, 5, 6});
        std::map<std::vector<double>, double> value = {
            {{0, 4, -4}, 10}, {{0, 1, 2}, 10}, {{0, 2, 0}, 2}, {{0, 0, 2}, 3}};
        auto f = [&](const ParameterVector& x) {
            auto it = value.find(x);
            return it == value.end() ? 0.5 : it->second;
        };
        SimplexSink sink = rec.sink(f);
        sink.stopRequested = [&] { return static_cast<int>(rec.points.size()) >= allowed; };
        Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), 100, sink);
        int count = 0;
        s.minimise(p, y, count, 1e-4);
        EXPECT_EQ(count, allowed) << allowed;
        EXPECT_EQ(static_cast<int>(rec.points.size()), allowed);
        EXPECT_EQ(s.termination(), Simplex::Termination::Stopped) << allowed;
        ASSERT_FALSE(rec.lines.empty());
        EXPECT_EQ(rec.lines.back().text, "optimisation stopped by the user");
        const std::map<std::vector<double>, double> initial = {
            {{0, 0, 0}, 1}, {{0, 4, 0}, 5}, {{0, 0, 4}, 6}};
        for (int i = 1; i <= 3; ++i) {
            auto it = initial.find(p[i]);
            const double expected = it != initial.end() ? it->second : f(p[i]);
            EXPECT_EQ(y[i], expected) << "allowed " << allowed << " vertex " << i;
        }
        if (allowed == 3) { // halfway through the shrink: v2 moved, v3 untouched
            EXPECT_EQ(p[2], oneBased({2, 0}));
            EXPECT_EQ(p[3], oneBased({0, 4}));
        }
    }
}

TEST(Amoeba, ObjectiveErrorReachesTheCaller) {
    Recorder rec;
    SimplexVertices p = makeSimplex({{0, 0}, {4, 0}, {0, 4}});
    ValueVector y = oneBased({1, 5, 6});
    // The error strikes inside the shrink, on the second vertex to move.
    auto f = scripted({10, 10, 2});
    Simplex s(2, oneBased({-9, -9}), oneBased({9, 9}), 100, rec.sink(f));
    int count = 0;
    try {
        s.minimise(p, y, count, 1e-4);
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_EQ(e.message(), "script exhausted");
    }
    EXPECT_EQ(count, 3);
    EXPECT_EQ(p[2], oneBased({2, 0}));
    EXPECT_EQ(p[3], oneBased({0, 4})); // not moved: its value was never obtained
    EXPECT_EQ(y, oneBased({1, 2, 6}));
}

TEST(Simplex, RejectsUnusableSetUp) {
    SimplexSink sink;
    sink.eval = [](const ParameterVector&) { return 0.0; };
    EXPECT_THROW(Simplex(0, oneBased({}), oneBased({}), 1, sink), FitError);
    EXPECT_THROW(Simplex(2, oneBased({0}), oneBased({1, 1}), 1, sink), FitError);
    EXPECT_THROW(Simplex(1, oneBased({0}), oneBased({1}), 1, SimplexSink{}), FitError);
    Simplex s(2, oneBased({0, 0}), oneBased({1, 1}), 1, sink);
    SimplexVertices p = makeSimplex({{0, 0}, {1, 0}}); // one vertex short
    ValueVector y = oneBased({1, 2, 3});
    int count = 0;
    EXPECT_THROW(s.minimise(p, y, count, 1e-4), FitError);
}

// ---------------------------------------------------------------- speculative batches

namespace {

// Bit-for-bit equality of vectors of doubles (-0 and 0 differ, NaN equals NaN).
bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Everything a search leaves behind.
struct SearchRun {
    std::vector<LogLine> lines;
    SimplexVertices p;
    ValueVector y;
    int count = -1;
    Simplex::Termination term = Simplex::Termination::None;
    double lastError = 0;
    QString error;
    // Serial: the points evaluated. Batches: every point handed over, in order.
    std::vector<ParameterVector> points;
    std::vector<std::size_t> batchSizes;
    // The values the search took, with their points, as it took them.
    std::vector<std::pair<ParameterVector, double>> taken;
    int speculative = -1;
    Simplex::Moves moves;
};

struct SearchSetup {
    int ndim;
    std::function<double(const ParameterVector&)> f;
    std::vector<std::vector<double>> start; // vertices
    std::vector<double> lo, hi;
    int maxEvaluations;
    double ftol;
};

ParameterVector fromList(const std::vector<double>& v) {
    ParameterVector x(1, 0.0);
    x.insert(x.end(), v.begin(), v.end());
    return x;
}

// How a test steers a run: a stop question, and a hook that sees every batch
// (or, serially, every evaluation) as it starts, with the count at that moment.
struct Steering {
    std::function<bool(const int& count)> stop;
    std::function<void(const std::vector<ParameterVector>&, int count)> onEvaluation;
};

// width < 0: serial (eval only). Otherwise batches (evalBatch only) of at most
// `width` speculative points (0: no limit).
SearchRun search(const SearchSetup& set, int width, const Steering& steer = {}) {
    SearchRun run;
    run.p = SimplexVertices(1);
    for (const auto& v : set.start)
        run.p.push_back(fromList(v));
    run.y = ValueVector(set.ndim + 2, 0.0);
    for (int i = 1; i <= set.ndim + 1; ++i)
        run.y[i] = set.f(run.p[i]);

    int count = 0;
    SimplexSink sink;
    sink.log = [&](const QString& s, bool sel) { run.lines.push_back({s, sel}); };
    if (steer.stop)
        sink.stopRequested = [&] { return steer.stop(count); };
    sink.taken = [&](const ParameterVector& x, double v) {
        // Told before the count moves on: the value belongs to evaluation count + 1.
        EXPECT_EQ(static_cast<int>(run.taken.size()), count);
        run.taken.push_back({x, v});
    };
    if (width < 0) {
        sink.eval = [&](const ParameterVector& x) {
            if (steer.onEvaluation)
                steer.onEvaluation({x}, count);
            run.points.push_back(x);
            return set.f(x);
        };
    } else {
        sink.batchWidth = width;
        sink.evalBatch = [&](const std::vector<ParameterVector>& xs) {
            if (steer.onEvaluation)
                steer.onEvaluation(xs, count);
            run.batchSizes.push_back(xs.size());
            std::vector<BatchValue> out;
            for (const auto& x : xs) {
                run.points.push_back(x);
                BatchValue v;
                v.evaluated = true;
                try {
                    v.value = set.f(x);
                } catch (...) {
                    v.error = std::current_exception();
                }
                out.push_back(v);
            }
            return out;
        };
    }
    Simplex s(set.ndim, fromList(set.lo), fromList(set.hi), set.maxEvaluations, sink);
    try {
        s.minimise(run.p, run.y, count, set.ftol);
    } catch (const FitError& e) {
        run.error = e.message();
    }
    run.count = count;
    run.term = s.termination();
    run.lastError = s.finalValue();
    run.speculative = s.speculativeEvaluations();
    run.moves = s.moves();
    return run;
}

// The serial run's evaluations appear, in their order, among the batch's points.
bool isSubsequence(const std::vector<ParameterVector>& part,
                   const std::vector<ParameterVector>& whole) {
    std::size_t k = 0;
    for (const auto& x : whole)
        if (k < part.size() && sameBits(part[k], x))
            ++k;
    return k == part.size();
}

// The batch run took the serial run's decisions with the serial run's values.
void expectSameSearch(const SearchRun& serial, const SearchRun& batch, const std::string& what) {
    ASSERT_EQ(serial.lines.size(), batch.lines.size()) << what;
    for (std::size_t k = 0; k < serial.lines.size(); ++k) {
        EXPECT_EQ(serial.lines[k].text, batch.lines[k].text) << what << " line " << k;
        EXPECT_EQ(serial.lines[k].select, batch.lines[k].select) << what << " line " << k;
    }
    EXPECT_EQ(serial.count, batch.count) << what;
    EXPECT_EQ(serial.term, batch.term) << what;
    EXPECT_EQ(serial.error, batch.error) << what;
    EXPECT_TRUE(sameBits({serial.lastError}, {batch.lastError})) << what;
    EXPECT_TRUE(sameBits(serial.y, batch.y)) << what;
    ASSERT_EQ(serial.p.size(), batch.p.size()) << what;
    for (std::size_t i = 0; i < serial.p.size(); ++i)
        EXPECT_TRUE(sameBits(serial.p[i], batch.p[i])) << what << " vertex " << i;
    EXPECT_EQ(serial.moves.reflections, batch.moves.reflections) << what;
    EXPECT_EQ(serial.moves.expansions, batch.moves.expansions) << what;
    EXPECT_EQ(serial.moves.contractions, batch.moves.contractions) << what;
    EXPECT_EQ(serial.moves.shrinks, batch.moves.shrinks) << what;
    EXPECT_TRUE(isSubsequence(serial.points, batch.points)) << what;
    // Chart points and counters follow the search, not the runs.
    ASSERT_EQ(serial.taken.size(), batch.taken.size()) << what;
    for (std::size_t k = 0; k < serial.taken.size(); ++k) {
        EXPECT_TRUE(sameBits(serial.taken[k].first, batch.taken[k].first)) << what << " " << k;
        EXPECT_TRUE(sameBits({serial.taken[k].second}, {batch.taken[k].second})) << what;
    }
}

// Egg crate on a shallow bowl: its ridges make contractions fail, so it shrinks.
double eggCrate(const ParameterVector& x) {
    return 3.0 + 0.1 * (x[1] * x[1] + x[2] * x[2]) + std::sin(3 * x[1]) * std::sin(3 * x[2]);
}

// A bowl whose cells are alternately raised: steps everywhere, and shrinks.
double checkeredBowl(const ParameterVector& x) {
    const bool even = std::fmod(std::floor(x[1] * 7) + std::floor(x[2] * 5), 2.0) == 0;
    return even ? bowl(x) : bowl(x) + 5;
}

double ellipsoid4(const ParameterVector& x) {
    double s = 1.0;
    for (int j = 1; j <= 4; ++j)
        s += j * (x[j] - 0.1 * j) * (x[j] - 0.1 * j);
    return s;
}

double failsAboveLine(const ParameterVector& x) {
    return x[1] + x[2] > 0.5 ? kInf : bowl(x);
}

struct SearchCase {
    const char* name;
    SearchSetup set;
    bool expands, contracts, shrinks;
};

std::vector<SearchCase> searchCases() {
    return {
        {"bowl",
         {2, bowl, {{0, 0}, {0.5, 0}, {0, 0.5}}, {-5, -5}, {5, 5}, 400, 1e-12},
         true,
         true,
         false},
        {"rosenbrock",
         {2, rosenbrock, {{-1.2, 1}, {-0.7, 1}, {-1.2, 1.5}}, {-2, -2}, {2, 2}, 400, 1e-12},
         true,
         true,
         false},
        {"bowl against the upper bound (clipped trials)",
         {2, bowl, {{0, 0}, {0.5, 0}, {0, 0.5}}, {-5, -5}, {1, 5}, 400, 1e-12},
         true,
         true,
         false},
        {"egg crate",
         {2, eggCrate, {{2, 2}, {4, 2}, {2, 4}}, {-9, -9}, {9, 9}, 400, 1e-9},
         true,
         true,
         true},
        {"checkered bowl",
         {2, checkeredBowl, {{2, 2}, {3, 2}, {2, 3}}, {-9, -9}, {9, 9}, 400, 1e-9},
         true,
         true,
         true},
        {"incomplete runs above a line",
         {2, failsAboveLine, {{0, 0}, {0.25, 0}, {0, 0.25}}, {-5, -5}, {5, 5}, 400, 1e-10},
         true,
         true,
         false},
        {"four dimensions",
         {4,
          ellipsoid4,
          {{1, 1, 1, 1}, {1.5, 1, 1, 1}, {1, 1.5, 1, 1}, {1, 1, 1.5, 1}, {1, 1, 1, 1.5}},
          {-3, -3, -3, -3},
          {3, 3, 3, 3},
          600,
          1e-12},
         true,
         true,
         false},
        {"one dimension",
         {1,
          [](const ParameterVector& x) { return 2.0 + (x[1] - 3.0) * (x[1] - 3.0); },
          {{0}, {1}},
          {-10},
          {10},
          200,
          1e-12},
         true,
         true,
         false},
    };
}

} // namespace

TEST(SpeculativeSimplex, TakesTheSerialDecisionsWithTheSerialValues) {
    for (const auto& tc : searchCases()) {
        const SearchRun serial = search(tc.set, -1);
        EXPECT_EQ(serial.term, Simplex::Termination::Converged) << tc.name;
        EXPECT_EQ(serial.moves.expansions > 0, tc.expands) << tc.name;
        EXPECT_EQ(serial.moves.contractions > 0, tc.contracts) << tc.name;
        EXPECT_EQ(serial.moves.shrinks > 0, tc.shrinks) << tc.name;
        EXPECT_EQ(static_cast<int>(serial.points.size()), serial.count) << tc.name;
        EXPECT_EQ(serial.speculative, 0) << tc.name;

        for (int width : {0, 1, 2, 3}) {
            const std::string what = std::string(tc.name) + ", width " + std::to_string(width);
            const SearchRun batch = search(tc.set, width);
            expectSameSearch(serial, batch, what);
            // Every point handed over was either used or counted as speculative.
            EXPECT_EQ(static_cast<int>(batch.points.size()), batch.count + batch.speculative)
                << what;
            for (std::size_t n : batch.batchSizes)
                EXPECT_TRUE(width == 0 || static_cast<int>(n) <= std::max(width, tc.set.ndim))
                    << what;
            // Without a limit every point the search needs was among those
            // evaluated ahead, computed bit for bit as the search computes it:
            // one batch per iteration and one per shrink, nothing evaluated alone.
            if (width == 0) {
                EXPECT_EQ(static_cast<int>(batch.batchSizes.size()),
                          serial.moves.reflections + serial.moves.shrinks)
                    << what;
            }
            // One point per batch is exactly the serial search, nothing wasted.
            if (width == 1) {
                EXPECT_EQ(batch.speculative, 0) << what;
            } else if (width == 0) {
                EXPECT_GT(batch.speculative, 0) << what;
            }
        }
    }
}

// With two workers the search evaluates the reflection and at most one guess
// ahead: the move the last iterations made, when they agree, and nothing
// otherwise. Over the cases the guesses it evaluates in vain are fewer than
// those it uses, and fewer than one guess in every iteration would waste.
TEST(SpeculativeSimplex, TwoWorkersEvaluateAheadOnlyWhatPays) {
    int wasted = 0, used = 0, alwaysGuessing = 0;
    for (const auto& tc : searchCases()) {
        const SearchRun serial = search(tc.set, -1);
        const SearchRun two = search(tc.set, 2);
        expectSameSearch(serial, two, tc.name);
        int ahead = 0; // points handed over beside the first of their batch
        for (std::size_t n : two.batchSizes) {
            EXPECT_LE(static_cast<int>(n), std::max(2, tc.set.ndim)) << tc.name;
            ahead += static_cast<int>(n) - 1;
        }
        wasted += two.speculative;
        used += ahead - two.speculative;
        // A guess in every iteration misses in each that is neither an expansion
        // nor a contraction.
        alwaysGuessing +=
            serial.moves.reflections - serial.moves.expansions - serial.moves.contractions;
    }
    EXPECT_LT(wasted, used);
    EXPECT_LT(wasted, alwaysGuessing / 2) << used;
}

// The budget is tested where the serial search tests it: the same count, the
// same simplex, the budget line at the same place, for every budget on the way.
TEST(SpeculativeSimplex, BudgetEndsTheSearchWhereTheSerialOneEnds) {
    for (const auto& tc : searchCases()) {
        if (!tc.shrinks)
            continue;
        const int total = search(tc.set, -1).count;
        for (int maxEvaluations = 0; maxEvaluations <= total; ++maxEvaluations) {
            SearchSetup set = tc.set;
            set.maxEvaluations = maxEvaluations;
            const std::string what =
                std::string(tc.name) + ", maxEvaluations " + std::to_string(maxEvaluations);
            const SearchRun serial = search(set, -1);
            // Budgets beyond the start of the last iteration let it converge.
            EXPECT_EQ(serial.term,
                      maxEvaluations < total / 2 ? Simplex::Termination::Budget : serial.term)
                << what;
            for (int width : {0, 2})
                expectSameSearch(serial, search(set, width), what);
        }
    }
}

TEST(SpeculativeSimplex, StopRequestsEndTheSearchAsTheyEndTheSerialOne) {
    const SearchSetup set = searchCases()[3].set; // egg crate: every kind of step
    const int total = search(set, -1).count;
    // A stop that is there before the k-th evaluation.
    for (int k = 0; k <= total; ++k) {
        Steering steer;
        steer.stop = [k](const int& count) { return count >= k; };
        const std::string what = "stop before evaluation " + std::to_string(k + 1);
        const SearchRun serial = search(set, -1, steer);
        EXPECT_EQ(serial.count, std::min(k, total)) << what;
        for (int width : {0, 2})
            expectSameSearch(serial, search(set, width, steer), what);
    }
    // A stop that arrives while a batch runs: the serial search with the stop
    // arriving during the batch's first point ends in the same state.
    const int batches = static_cast<int>(search(set, 0).batchSizes.size());
    for (int b = 0; b < batches; ++b) {
        auto stopFlag = std::make_shared<bool>(false);
        auto firstOfBatch = std::make_shared<int>(-1); // its number among the evaluations
        int calls = 0;
        Steering inBatch;
        inBatch.stop = [stopFlag](const int&) { return *stopFlag; };
        inBatch.onEvaluation = [&, stopFlag, firstOfBatch](const std::vector<ParameterVector>&,
                                                           int count) {
            if (calls++ == b) {
                *stopFlag = true;
                *firstOfBatch = count + 1;
            }
        };
        const SearchRun batch = search(set, 0, inBatch);
        ASSERT_GT(*firstOfBatch, 0);
        EXPECT_EQ(batch.count, *firstOfBatch) << "batch " << b;

        auto serialStop = std::make_shared<bool>(false);
        Steering inRun;
        inRun.stop = [serialStop](const int&) { return *serialStop; };
        inRun.onEvaluation = [serialStop, n = *firstOfBatch](const std::vector<ParameterVector>&,
                                                             int count) {
            if (count + 1 == n)
                *serialStop = true;
        };
        const SearchRun serial = search(set, -1, inRun);
        EXPECT_EQ(serial.term, Simplex::Termination::Stopped);
        expectSameSearch(serial, batch, "stop during batch " + std::to_string(b));
    }
}

TEST(SpeculativeSimplex, ObjectiveErrorsReachTheCallerWhenTheSearchNeedsThePoint) {
    for (const auto& tc : searchCases()) {
        const SearchRun clean = search(tc.set, -1);
        // An error at the n-th point the serial search evaluates.
        for (int n : {1, 2, 5, clean.count / 2, clean.count}) {
            const ParameterVector bad = clean.points[n - 1];
            SearchSetup set = tc.set;
            set.f = [f = tc.set.f, bad](const ParameterVector& x) {
                if (sameBits(x, bad))
                    throw FitError(QStringLiteral("model run failed"));
                return f(x);
            };
            const std::string what = std::string(tc.name) + ", error at " + std::to_string(n);
            const SearchRun serial = search(set, -1);
            EXPECT_EQ(serial.error, "model run failed") << what;
            EXPECT_EQ(serial.count, n - 1) << what;
            for (int width : {0, 2})
                expectSameSearch(serial, search(set, width), what);
        }
        // Errors only where the serial search never goes: they are never seen.
        SearchSetup set = tc.set;
        std::vector<ParameterVector> needed = clean.points;
        for (const auto& v : tc.set.start)
            needed.push_back(fromList(v));
        set.f = [f = tc.set.f, needed](const ParameterVector& x) {
            for (const auto& n : needed)
                if (sameBits(n, x))
                    return f(x);
            throw FitError(QStringLiteral("speculative run failed"));
        };
        expectSameSearch(clean, search(set, 0), std::string(tc.name) + ", errors unneeded");
    }
}

TEST(SpeculativeSimplex, PointsLeftOutOfABatch) {
    // Bowl: the first iteration reflects and tries an expansion (2 evaluations);
    // the second batch's reflection is accepted and an expansion follows.
    const SearchSetup set = searchCases()[0].set;
    const struct {
        const char* name;
        bool stop;           // a stop request arrives with the batch
        std::size_t runOnly; // points of the second batch that are evaluated
        int count;           // expected count; -1: the serial search's
    } cases[] = {
        // Only the reflection ran (a failing run ended the round, say), and the
        // search needs more of that batch: without a stop the missing point is
        // run when it is needed, and the search ends where the serial one does.
        {"missing without a stop", false, 1, -1},
        // The stop came before anything of the batch could start: nothing is used.
        {"nothing run after a stop", true, 0, 2},
        // The reflection ran before the stop: it is used, the search stops after it.
        {"reflection run before a stop", true, 1, 3},
    };
    const SearchRun serial = search(set, -1);
    for (const auto& tc : cases) {
        int batches = 0;
        bool stop = false;
        SimplexSink sink;
        sink.stopRequested = [&] { return stop; };
        sink.evalBatch = [&](const std::vector<ParameterVector>& xs) {
            std::vector<BatchValue> out;
            const bool second = ++batches == 2;
            if (second && tc.stop)
                stop = true;
            for (const auto& x : xs) {
                if (second && out.size() == tc.runOnly)
                    break;
                out.push_back({true, set.f(x), nullptr});
            }
            return out;
        };
        Simplex s(set.ndim, fromList(set.lo), fromList(set.hi), set.maxEvaluations, sink);
        SimplexVertices p(1);
        for (const auto& v : set.start)
            p.push_back(fromList(v));
        ValueVector y = evaluateAll(p, set.ndim, set.f);
        int count = 0;
        bool threw = false;
        try {
            s.minimise(p, y, count, set.ftol);
        } catch (const FitError&) {
            threw = true;
        }
        EXPECT_FALSE(threw) << tc.name;
        EXPECT_EQ(s.stopped(), tc.stop) << tc.name;
        EXPECT_EQ(count, tc.count < 0 ? serial.count : tc.count) << tc.name;
        for (int i = 1; i <= set.ndim + 1; ++i) {
            EXPECT_EQ(y[i], set.f(p[i])) << tc.name << " vertex " << i;
            if (tc.count < 0) {
                EXPECT_TRUE(sameBits(p[i], serial.p[i])) << tc.name << " vertex " << i;
            }
        }
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Log lines use the default locale's decimal separator; fix it for exact texts.
    QLocale::setDefault(QLocale::c());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
