// The Levenberg-Marquardt search on problems whose answer is known in closed form.
#include "base/fit_error.h"
#include "base/number_format.h"
#include "optim/least_squares.h"
#include "optim/least_squares_uncertainty.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using lsq::Vector;

namespace {

using Model = std::function<Vector(const Vector& x)>;

struct SearchRun {
    lsq::Result result;
    QStringList log;
    std::vector<std::pair<lsq::Purpose, std::size_t>> batches; // what, how many points
    std::vector<Vector> accepted;
    std::size_t made = 0;  // model runs made, runs ahead included
    std::size_t taken = 0; // runs ahead the search used
};

// Evaluates every batch with the model; `fails` marks points whose run does not
// complete. With more than one worker the search may add runs ahead to a batch.
SearchRun solve(const lsq::Problem& p, const lsq::Options& o, const Model& model,
                std::function<bool(const Vector&)> fails = {}, int workers = 1) {
    SearchRun run;
    lsq::Sink sink;
    auto evaluate = [&](const std::vector<Vector>& points, lsq::Purpose purpose) {
        run.batches.emplace_back(purpose, points.size());
        run.made += points.size();
        std::vector<lsq::PointResult> out;
        for (const Vector& x : points) {
            lsq::PointResult r;
            r.evaluated = true;
            if (fails && fails(x)) {
                r.why = QStringLiteral("rows left at -99");
            } else {
                r.complete = true;
                r.simulated = model(x);
            }
            out.push_back(r);
        }
        return out;
    };
    sink.evaluate = evaluate;
    if (workers > 1) {
        sink.workers = workers;
        sink.evaluateAhead = [&](const std::vector<Vector>& points, lsq::Purpose purpose,
                                 std::size_t) { return evaluate(points, purpose); };
        sink.taken = [&](const Vector&) { ++run.taken; };
    }
    sink.log = [&](const QString& line, bool) { run.log << line; };
    sink.accepted = [&](const Vector& x, const Vector&, double) { run.accepted.push_back(x); };
    run.result = lsq::minimise(p, o, sink);
    return run;
}

lsq::Problem problem(Vector observed, Vector start, Vector lower, Vector upper) {
    lsq::Problem p;
    p.weights.assign(observed.size(), 1.0);
    p.observed = std::move(observed);
    p.scale.assign(start.size(), 1.0);
    p.start = std::move(start);
    p.lower = std::move(lower);
    p.upper = std::move(upper);
    p.names = {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    return p;
}

// y = a + b t at t = 0..4.
const Vector kT = {0, 1, 2, 3, 4};
Vector line(const Vector& x) {
    Vector y;
    for (double t : kT)
        y.push_back(x[0] + x[1] * t);
    return y;
}

// Exponential decay y = a exp(-b t) at the same t.
Vector decay(const Vector& x) {
    Vector y;
    for (double t : kT)
        y.push_back(x[0] * std::exp(-x[1] * t));
    return y;
}

} // namespace

TEST(LeastSquares, LinearProblemIsSolvedExactly) {
    // Observations off the line: the answer is the normal-equation solution,
    // a = 1.04, b = 1.97 (worked by hand); weights of 1.
    const Vector obs = {1.1, 2.9, 5.1, 6.8, 9.0};
    for (bool central : {false, true}) {
        lsq::Options o;
        o.central = central;
        o.maxRuns = 100;
        o.objectiveTolerance = 1e-12;
        const SearchRun run = solve(problem(obs, {5, -3}, {-100, -100}, {100, 100}), o, line);
        ASSERT_GE(run.accepted.size(), 2u) << central;
        EXPECT_NEAR(run.result.x[0], 1.04, 1e-9) << central;
        EXPECT_NEAR(run.result.x[1], 1.97, 1e-9) << central;
        // Jacobian: 2 runs forward, 4 central, in one batch; then the trial.
        ASSERT_GE(run.batches.size(), 3u);
        EXPECT_EQ(run.batches[0], std::make_pair(lsq::Purpose::Start, std::size_t(1)));
        EXPECT_EQ(run.batches[1],
                  std::make_pair(lsq::Purpose::Jacobian, std::size_t(central ? 4 : 2)));
        EXPECT_EQ(run.batches[2], std::make_pair(lsq::Purpose::Upgrade, std::size_t(1)));
        EXPECT_TRUE(run.result.undetermined.isEmpty());
        // The damping falls a hundredfold per accepted step.
        const QString log = run.log.join('\n');
        for (const char* step :
             {"accepted lambda 0.001 ", "accepted lambda 0.00001 ", "accepted lambda 1E-7 "})
            EXPECT_TRUE(log.contains(QLatin1String(step))) << step << log.toStdString();
    }
}

TEST(LeastSquares, OptimumOnABoundIsReachedAndTrialsStayInside) {
    // Unconstrained optimum a = 1.04, b = 1.97; with b <= 1.5 the optimum is b = 1.5 and
    // a = mean(obs - 1.5 t) = 4.98 - 3 = 1.98.
    const Vector obs = {1.1, 2.9, 5.1, 6.8, 9.0};
    lsq::Options o;
    o.maxRuns = 200;
    std::vector<Vector> seen;
    const SearchRun run =
        solve(problem(obs, {0, 0}, {-10, -10}, {10, 1.5}), o, [&](const Vector& x) {
            seen.push_back(x);
            return line(x);
        });
    for (const Vector& x : seen) {
        EXPECT_LE(x[1], 1.5);
        EXPECT_GE(x[0], -10);
    }
    EXPECT_DOUBLE_EQ(run.result.x[1], 1.5);
    EXPECT_NEAR(run.result.x[0], 1.98, 1e-6);
}

TEST(LeastSquares, RankDeficientProblemNamesTheParametersItCannotDetermine) {
    // y = (a + b) t, and c without any effect: only a + b is determined.
    const Vector obs = {0, 2, 4, 6, 8};
    auto model = [](const Vector& x) {
        Vector y;
        for (double t : kT)
            y.push_back((x[0] + x[1]) * t);
        return y;
    };
    lsq::Options o;
    o.maxRuns = 100;
    const SearchRun run =
        solve(problem(obs, {0.5, 0.5, 3}, {-10, -10, -10}, {10, 10, 10}), o, model);
    for (double v : run.result.x)
        EXPECT_TRUE(std::isfinite(v));
    EXPECT_NEAR(run.result.x[0] + run.result.x[1], 2.0, 1e-8);
    EXPECT_DOUBLE_EQ(run.result.x[2], 3.0);
    const QString u = run.result.undetermined;
    EXPECT_TRUE(u.contains(QStringLiteral("c (it does not change"))) << u.toStdString();
    EXPECT_TRUE(u.contains(QStringLiteral("a, b (they change the simulated values only together)")))
        << u.toStdString();
    EXPECT_TRUE(run.log.join('\n').contains(QStringLiteral("The data cannot determine: ")));
}

TEST(LeastSquares, RunsThatFailAreReportedAndTheSearchGoesOn) {
    // Exponential decay y = a exp(-b t); every run with b > 0.75 fails (the steps
    // from the start overshoot there).
    const Vector obs = decay({3.0, 0.7});
    const Model model = decay;
    int failed = 0;
    lsq::Options o;
    o.maxRuns = 300;
    o.objectiveTolerance = 1e-12;
    const SearchRun run =
        solve(problem(obs, {1, 0.1}, {0, 0}, {10, 10}), o, model, [&](const Vector& x) {
            const bool f = x[1] > 0.75;
            failed += f;
            return f;
        });
    EXPECT_GT(failed, 0);
    EXPECT_TRUE(
        run.log.join('\n').contains(QStringLiteral("model run incomplete (rows left at -99)")));
    EXPECT_NEAR(run.result.x[0], 3.0, 1e-5);
    EXPECT_NEAR(run.result.x[1], 0.7, 1e-6);
}

TEST(LeastSquares, NeverMoreRunsThanTheBudgetAndEachEndSaysWhy) {
    const Vector obs = decay({3.0, 0.7});
    const Model model = decay;
    for (int budget : {1, 2, 3, 4, 5, 6, 7, 9, 12}) {
        lsq::Options o;
        o.maxRuns = budget;
        o.objectiveTolerance = 0;
        o.stepTolerance = 0;
        std::size_t made = 0;
        const SearchRun run =
            solve(problem(obs, {1, 0.1}, {0, 0}, {10, 10}), o, [&](const Vector& x) {
                ++made;
                return model(x);
            });
        EXPECT_LE(int(made), budget);
        EXPECT_EQ(run.result.runs, int(made));
        EXPECT_EQ(run.result.termination, lsq::Termination::Budget) << budget;
        EXPECT_TRUE(
            run.log.last().contains(QStringLiteral("the model runs allowed (NX) are spent")));
    }
}

TEST(LeastSquares, MoreWorkersMakeRunsEarlierButTakeThePathOfOne) {
    // The decay with failing runs (rejected trials, damping, bent steps) and the
    // line (one Gauss-Newton step): every number of workers gives the same log,
    // point and count of runs used; with n + 1 workers (2n + 1 central) every
    // Jacobian is made ahead, in the batch of the trial it belongs to.
    struct Case {
        Model model;
        Vector obs, start;
        std::function<bool(const Vector&)> fails;
    };
    const Case cases[] = {
        {decay, decay({3.0, 0.7}), {1, 0.1}, [](const Vector& x) { return x[1] > 0.75; }},
        {line, {1.1, 2.9, 5.1, 6.8, 9.0}, {5, -3}, {}},
    };
    for (const Case& c : cases) {
        for (bool central : {false, true}) {
            lsq::Options o;
            o.central = central;
            o.maxRuns = 300;
            o.objectiveTolerance = 1e-12;
            o.jacobianAtResult = true;
            const lsq::Problem p = problem(c.obs, c.start, {0, 0}, {10, 10});
            const SearchRun one = solve(p, o, c.model, c.fails);
            EXPECT_EQ(one.result.runsMade, one.result.runs);
            EXPECT_EQ(one.made, std::size_t(one.result.runs));
            for (int workers : {2, 3, 5, 8}) {
                const SearchRun many = solve(p, o, c.model, c.fails, workers);
                EXPECT_EQ(many.log, one.log) << workers << central;
                EXPECT_EQ(many.result.x, one.result.x);
                EXPECT_EQ(many.result.runs, one.result.runs);
                EXPECT_EQ(many.made, std::size_t(many.result.runsMade));
                EXPECT_GT(many.taken, 0u) << workers;
                for (const auto& [purpose, size] : many.batches) {
                    if (purpose != lsq::Purpose::Jacobian) {
                        EXPECT_LE(size, std::size_t(workers));
                    }
                }
                std::size_t jacobianBatches = 0;
                for (const auto& batch : many.batches)
                    jacobianBatches += batch.first == lsq::Purpose::Jacobian;
                if (workers >= (central ? 5 : 3)) {
                    EXPECT_EQ(jacobianBatches, 0u) << workers;
                }
            }
        }
    }
}

TEST(LeastSquares, RunsAheadCountAgainstTheBudget) {
    const Vector obs = decay({3.0, 0.7});
    for (int budget : {1, 2, 3, 4, 5, 7, 12, 30}) {
        for (int workers : {1, 3}) {
            lsq::Options o;
            o.maxRuns = budget;
            o.objectiveTolerance = 0;
            o.stepTolerance = 0;
            const SearchRun run = solve(
                problem(obs, {1, 0.1}, {0, 0}, {10, 10}), o, decay,
                [](const Vector& x) { return x[1] > 0.75; }, workers);
            EXPECT_LE(int(run.made), budget) << workers;
            EXPECT_EQ(int(run.made), run.result.runsMade);
            EXPECT_EQ(run.result.termination, lsq::Termination::Budget) << budget;
        }
    }
}

TEST(LeastSquares, StepLeavingTheBoxIsShortenedAlongItsDirection) {
    // The line from (0, 0) with b <= 1. The first step d solves
    // (A + 0.001 diag(A)) d = J^T obs with A = J^T J = [[5, 10], [10, 30]] and
    // J^T obs = (24.9, 69.5); it leaves the box, and shortened to b = 1 it keeps
    // its direction: a = d_a / d_b (clipping b alone would give a = d_a).
    const double a11 = 5.005, a12 = 10, a22 = 30.03, g1 = 24.9, g2 = 69.5;
    const double det = a11 * a22 - a12 * a12;
    const double da = (g1 * a22 - a12 * g2) / det, db = (a11 * g2 - a12 * g1) / det;
    ASSERT_GT(db, 1);
    lsq::Options o;
    o.maxRuns = 4;
    const SearchRun run =
        solve(problem({1.1, 2.9, 5.1, 6.8, 9.0}, {0, 0}, {-10, -10}, {10, 1}), o, line);
    ASSERT_GE(run.accepted.size(), 2u) << run.log.join('\n').toStdString();
    EXPECT_DOUBLE_EQ(run.accepted[1][1], 1.0);
    EXPECT_NEAR(run.accepted[1][0], da / db, 1e-7);
    EXPECT_TRUE(run.log.join('\n').contains(
        QStringLiteral("the step shortened to %1").arg(formatGeneral(1 / db).left(6))))
        << run.log.join('\n').toStdString();
}

TEST(LeastSquares, StartRunThatFailsIsAnError) {
    lsq::Options o;
    EXPECT_THROW(solve(problem({1, 2, 3, 4, 5}, {0, 0}, {-1, -1}, {1, 1}), o, line,
                       [](const Vector&) { return true; }),
                 FitError);
}

TEST(LeastSquares, DifferenceStepsStayInsideTheBounds) {
    // At the upper bound the forward difference steps down; central differences
    // there are one-sided (two points below).
    for (bool central : {false, true}) {
        lsq::Options o;
        o.central = central;
        o.maxRuns = 1 + (central ? 4 : 2);
        std::vector<Vector> seen;
        solve(problem({1.1, 2.9, 5.1, 6.8, 9.0}, {2, 1}, {-10, -10}, {2, 10}), o,
              [&](const Vector& x) {
                  seen.push_back(x);
                  return line(x);
              });
        ASSERT_EQ(seen.size(), std::size_t(o.maxRuns));
        EXPECT_DOUBLE_EQ(seen[1][0], 2 - 0.02);
        if (central) {
            EXPECT_DOUBLE_EQ(seen[2][0], 2 - 0.04);
            EXPECT_DOUBLE_EQ(seen[3][1], 1.01);
            EXPECT_DOUBLE_EQ(seen[4][1], 0.99);
        } else {
            EXPECT_DOUBLE_EQ(seen[2][1], 1.01);
        }
    }
}

TEST(LeastSquares, AFailedStepWhereTheModelPromisesLessThanTheToleranceEndsTheSearch) {
    // Noisy observations of a decay; at the optimum the forward differences'
    // own error turns the next step uphill. From there the search must end on
    // that failed step instead of raising the damping through every decade.
    const Vector noise = {0.02, -0.03, 0.01, 0.025, -0.015};
    Vector obs = decay({3.0, 0.7});
    for (std::size_t i = 0; i < obs.size(); ++i)
        obs[i] += noise[i];
    lsq::Options tight;
    tight.maxRuns = 400;
    tight.objectiveTolerance = 1e-15;
    tight.stepTolerance = 0;
    const SearchRun first = solve(problem(obs, {1, 0.1}, {0, 0}, {10, 10}), tight, decay);

    lsq::Options o;
    o.maxRuns = 400;
    o.stepTolerance = 0;
    const SearchRun run = solve(problem(obs, first.result.x, {0, 0}, {10, 10}), o, decay);
    EXPECT_EQ(run.result.termination, lsq::Termination::NothingToGain)
        << run.log.join('\n').toStdString();
    // The start, the Jacobian (2 runs) and the trial.
    EXPECT_EQ(run.result.runs, 4);
    EXPECT_EQ(run.result.x, first.result.x);
    EXPECT_TRUE(run.result.jacobianAtResult);
    EXPECT_TRUE(run.log.last().contains(
        QStringLiteral("a step failed where no step could lower the objective by more than the "
                       "tolerance (KR)")));
}

TEST(LeastSquaresUncertainty, StraightLineErrorsAndIntervalsAsInTheTextbook) {
    // y = a + b t at t = 0..4 without variances: s^2 = S / 3, se(b) = s / sqrt(Sxx),
    // Sxx = 10, se(a) = s * sqrt(1/5 + mean(t)^2 / Sxx), and Student's t with 3 dof.
    const Vector obs = {1.1, 2.9, 5.1, 6.8, 9.0};
    lsq::Options o;
    o.maxRuns = 100;
    o.jacobianAtResult = true;
    const lsq::Problem p = problem(obs, {5, -3}, {-100, -100}, {100, 100});
    const SearchRun run = solve(p, o, line);
    ASSERT_TRUE(run.result.jacobianAtResult);
    const LeastSquaresUncertainty u = leastSquaresUncertainty(p, run.result, false);
    ASSERT_TRUE(u.determined);
    const double s = std::sqrt(run.result.objective / 3);
    EXPECT_NEAR(u.standardError[1], s / std::sqrt(10.0), 1e-9);
    EXPECT_NEAR(u.standardError[0], s * std::sqrt(0.2 + 0.4), 1e-9);
    EXPECT_NEAR(u.upper[1] - run.result.x[1], 3.1824463 * u.standardError[1], 1e-9);
    // r(a, b) = -mean(t) / sqrt(mean(t^2)) = -2 / sqrt(6).
    EXPECT_NEAR(u.correlation[0][1], -2 / std::sqrt(6.0), 1e-9);
    // With given variances the intervals are normal.
    const LeastSquaresUncertainty known = leastSquaresUncertainty(p, run.result, true);
    EXPECT_NEAR(known.upper[1] - run.result.x[1], 1.959964 * known.standardError[1], 1e-6);
    EXPECT_NEAR(known.standardError[1], 1 / std::sqrt(10.0), 1e-9);

    // A direction the data cannot see: no standard errors, the parameters named.
    const SearchRun flat =
        solve(problem({0, 2, 4, 6, 8}, {0.5, 0.5}, {-10, -10}, {10, 10}), o, [](const Vector& x) {
            Vector y;
            for (double t : kT)
                y.push_back((x[0] + x[1]) * t);
            return y;
        });
    const LeastSquaresUncertainty none = leastSquaresUncertainty(p, flat.result, true);
    EXPECT_FALSE(none.determined);
    EXPECT_TRUE(none.lines.join('\n').contains("cannot determine: a, b"))
        << none.lines.join('\n').toStdString();
}

TEST(LeastSquaresUncertainty, ParametersDecadesApartInSizeStillHaveStandardErrors) {
    // The straight line in units that make F's own condition number about 1e25:
    // y = 1e-6 a + 1e6 b t. The data determine both as well as before.
    const Vector obs = {1.1, 2.9, 5.1, 6.8, 9.0};
    lsq::Result r;
    r.x = {1.07e6, 1.97e-6};
    r.objective = 0;
    for (std::size_t i = 0; i < kT.size(); ++i) {
        r.jacobian.push_back({1e-6, 1e6 * kT[i]});
        const double e = obs[i] - (1e-6 * r.x[0] + 1e6 * r.x[1] * kT[i]);
        r.objective += e * e;
    }
    r.jacobianAtResult = true;
    const lsq::Problem p = problem(obs, r.x, {-1e9, -1}, {1e9, 1});
    const LeastSquaresUncertainty u = leastSquaresUncertainty(p, r, false);
    ASSERT_TRUE(u.determined) << u.lines.join('\n').toStdString();
    const double s = std::sqrt(r.objective / 3);
    EXPECT_NEAR(u.standardError[0], 1e6 * s * std::sqrt(0.6), 1e-6 * u.standardError[0]);
    EXPECT_NEAR(u.standardError[1], 1e-6 * s / std::sqrt(10.0), 1e-6 * u.standardError[1]);
    EXPECT_NEAR(u.correlation[0][1], -2 / std::sqrt(6.0), 1e-9);
}

TEST(LeastSquaresUncertainty, StudentQuantiles) {
    // scipy.stats.t.ppf(0.975, dof)
    const std::pair<int, double> cases[] = {{1, 12.7062047}, {3, 3.1824463},  {11, 2.2009852},
                                            {15, 2.1314495}, {30, 2.0422725}, {100, 1.9839715},
                                            {0, 1.9599640}};
    for (const auto& [dof, q] : cases)
        EXPECT_NEAR(studentT975(dof), q, 2e-4 * q) << dof;
}

TEST(LeastSquares, NistMisra1aFromBothStartsToTheCertifiedValues) {
    // NIST StRD nonlinear regression, Misra1a (public domain): y = b1 (1 - exp(-b2 x)).
    const Vector x = {77.6,  114.9, 141.1, 190.8, 239.9, 289.0, 332.8,
                      378.4, 434.8, 477.3, 536.8, 593.1, 689.1, 760.0};
    const Vector y = {10.07, 14.73, 17.94, 23.93, 29.61, 35.18, 40.02,
                      44.82, 50.76, 55.05, 61.01, 66.40, 75.47, 81.78};
    const double b1 = 2.3894212918E+02, b2 = 5.5015643181E-04;
    const double se1 = 2.7070075241E+00, se2 = 7.2668688436E-06;
    auto model = [&](const Vector& b) {
        Vector out;
        for (double t : x)
            out.push_back(b[0] * (1 - std::exp(-b[1] * t)));
        return out;
    };
    for (const Vector& start : {Vector{500, 1e-4}, Vector{250, 5e-4}}) {
        for (bool central : {false, true}) {
            // Bounds a decade or more either side of the start and the certified values.
            lsq::Problem p = problem(y, start, {10, 1e-6}, {5000, 1e-2});
            lsq::Options o;
            o.central = central;
            o.relativeStep = central ? 0.01 : 1e-4;
            o.maxRuns = 400;
            o.objectiveTolerance = 1e-12;
            o.jacobianAtResult = true;
            const SearchRun run = solve(p, o, model);
            EXPECT_NEAR(run.result.x[0], b1, 1e-5 * b1)
                << start[0] << central << run.log.join('\n').toStdString();
            EXPECT_NEAR(run.result.x[1], b2, 1e-5 * b2) << start[0] << central;
            EXPECT_NEAR(run.result.objective, 1.2455138894E-01, 1e-8);
            const LeastSquaresUncertainty u = leastSquaresUncertainty(p, run.result, false);
            ASSERT_TRUE(u.determined);
            EXPECT_NEAR(u.standardError[0], se1, 0.01 * se1) << start[0] << central;
            EXPECT_NEAR(u.standardError[1], se2, 0.01 * se2) << start[0] << central;
        }
    }
}

TEST(LeastSquares, NistLanczos1FollowsItsCurvedValleyToTheCertifiedValues) {
    // NIST StRD Lanczos1 (public domain): y = b1 exp(-b2 x) + b3 exp(-b4 x) + b5 exp(-b6 x),
    // x = 0, 0.05, ..., 1.15, data exact to 13 digits. From either start the
    // search must follow a bending valley; steps of the linear model alone take
    // thousands of runs to creep along it.
    const Vector y = {2.5134,          2.044333373291,  1.668404436564,   1.366418021208,
                      1.123232487372,  0.9268897180037, 0.7679338563728,  0.6388775523106,
                      0.5337835317402, 0.4479363617347, 0.377584788435,   0.3197393199326,
                      0.2720130773746, 0.2324965529032, 0.1996589546065,  0.1722704126914,
                      0.1493405660168, 0.1300700206922, 0.1138119324644,  0.1000415587559,
                      0.0883320908454, 0.0783354401935, 0.06976693743449, 0.06239312536719};
    const Vector certified = {9.5100000027E-02, 1.0000000001E+00, 8.6070000013E-01,
                              3.0000000002E+00, 1.5575999998E+00, 5.0000000001E+00};
    auto model = [&](const Vector& b) {
        Vector out;
        for (std::size_t i = 0; i < y.size(); ++i) {
            const double t = 0.05 * double(i);
            out.push_back(b[0] * std::exp(-b[1] * t) + b[2] * std::exp(-b[3] * t) +
                          b[4] * std::exp(-b[5] * t));
        }
        return out;
    };
    for (const Vector& start :
         {Vector{1.2, 0.3, 5.6, 5.5, 6.5, 7.6}, Vector{0.5, 0.7, 3.6, 4.2, 4, 6.3}}) {
        lsq::Problem p = problem(y, start, {}, {});
        for (std::size_t j = 0; j < start.size(); ++j) {
            // A decade beyond the start and the certified value.
            p.lower.push_back(std::min(start[j], certified[j]) / 10);
            p.upper.push_back(std::max(start[j], certified[j]) * 10);
        }
        p.scale.assign(start.size(), 1.0);
        lsq::Options o;
        o.central = true;
        o.relativeStep = 1e-4;
        o.maxRuns = 1000;
        o.objectiveTolerance = 1e-12;
        const SearchRun run = solve(p, o, model);
        for (std::size_t j = 0; j < certified.size(); ++j)
            EXPECT_NEAR(run.result.x[j], certified[j], 1e-6 * certified[j])
                << start[0] << " b" << j + 1 << " after " << run.result.runs
                << " runs: " << run.log.mid(run.log.size() - 12).join(QChar(10)).toStdString();
    }
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
