#include "optim/least_squares_calibration.h"

#include "base/fit_error.h"
#include "base/number_format.h"
#include "evaluation/evaluator.h"
#include "evaluation/run_journal.h"
#include "optim/least_squares.h"
#include "optim/least_squares_uncertainty.h"
#include "optim/multi_start.h"
#include "paramdb/database.h"
#include "paramdb/parameter_table.h"
#include "runs/parallel_runs.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cmath>
#include <map>
#include <optional>

namespace {

// The chosen result rows as every run reads them: ordered by observed value.
struct ObservedRows {
    std::vector<double> observed;
    std::vector<double> variance; // empty without a variance column
    std::vector<QString> group;   // the index column's value; empty without one
};

ObservedRows readObservedRows(Database& db, const CalibrationSettings& s) {
    // The statement of readModelValues, so that the rows come in the same order.
    QSqlQuery q = db.query(joinLines({QStringLiteral(" select * from ") + s.resultTable +
                                          QStringLiteral(" where ") + s.condition,
                                      QStringLiteral(" order by ") + s.observedColumn}));
    const QSqlRecord rec = q.record();
    const int obsCol = rec.indexOf(s.observedColumn);
    const int varCol = s.varianceColumn.isEmpty() ? -1 : rec.indexOf(s.varianceColumn);
    const int idxCol = s.indexColumn.isEmpty() ? -1 : rec.indexOf(s.indexColumn);
    if (obsCol < 0)
        throw FitError(
            QStringLiteral("The result rows have no column '%1'.").arg(s.observedColumn));
    if (!s.varianceColumn.isEmpty() && varCol < 0)
        throw FitError(
            QStringLiteral("The result rows have no column '%1'.").arg(s.varianceColumn));
    ObservedRows rows;
    int badVariances = 0;
    while (q.next()) {
        rows.observed.push_back(numberOf(q.value(obsCol)));
        if (varCol >= 0) {
            bool ok = false;
            const QVariant v = q.value(varCol);
            const double var = v.isNull() ? 0 : v.toDouble(&ok);
            if (!ok || !(var > 0) || !std::isfinite(var))
                ++badVariances;
            rows.variance.push_back(var);
        }
        if (idxCol >= 0)
            rows.group.push_back(q.value(idxCol).toString());
    }
    if (badVariances > 0)
        throw FitError(QStringLiteral("The least-squares search weighs each row by 1 / its "
                                      "variance, but %1 chosen result rows have a variance (%2) "
                                      "that is empty, 0 or negative.")
                           .arg(badVariances)
                           .arg(s.varianceColumn));
    return rows;
}

// The criterion of EF= from the simulated values, as the SQL of the evaluator
// computes it: RMSE over all rows, NRMSE and CV(RMSE) summed over the groups.
double criterionOf(const ObservedRows& rows, const std::vector<double>& sim, int criterion) {
    struct Group {
        long double squares = 0, sum = 0;
        double lo = HUGE_VAL, hi = -HUGE_VAL;
        int count = 0;
    };
    std::map<QString, Group> groups;
    for (std::size_t i = 0; i < rows.observed.size() && i < sim.size(); ++i) {
        const bool grouped = criterion != 1 && !rows.group.empty();
        Group& g = groups[grouped ? rows.group[i] : QString()];
        const long double d = static_cast<long double>(rows.observed[i]) - sim[i];
        g.squares += d * d;
        g.sum += rows.observed[i];
        g.lo = std::min(g.lo, rows.observed[i]);
        g.hi = std::max(g.hi, rows.observed[i]);
        ++g.count;
    }
    long double total = 0;
    for (const auto& [key, g] : groups) {
        if (g.count == 0)
            continue;
        const long double rmse = std::sqrt(g.squares / g.count);
        if (criterion == 2)
            total += rmse / (g.hi - g.lo);
        else if (criterion == 3)
            total += rmse / (g.sum / g.count);
        else
            total += rmse;
    }
    return static_cast<double>(total);
}

journal::Phase phaseOf(lsq::Purpose purpose) {
    switch (purpose) {
    case lsq::Purpose::Start:
        return journal::Phase::Start;
    case lsq::Purpose::Jacobian:
        return journal::Phase::Jacobian;
    case lsq::Purpose::Upgrade:
        return journal::Phase::Upgrade;
    }
    return journal::Phase::Search;
}

ParameterVector oneBased(const lsq::Vector& x) {
    ParameterVector v(x.size() + 1, 0.0);
    std::copy(x.begin(), x.end(), v.begin() + 1);
    return v;
}

} // namespace

LeastSquaresCalibration::LeastSquaresCalibration(const CalibrationSettings& settings,
                                                 Database& database, Evaluator& eval,
                                                 Reporter& reporter)
    : cfg(settings), db(database), evaluator(eval), report(reporter) {}

CalibrationSummary LeastSquaresCalibration::optimize() {
    QElapsedTimer clock;
    clock.start();
    evaluator.setSettings(cfg);
    CalibrationSummary summary;

    const int ndim = startFromInitialValues(db);
    summary.ndim = ndim;

    lsq::Problem problem;
    for (const ParameterRecord& r : ParameterTable(db).records()) {
        if (int(problem.start.size()) >= ndim)
            break;
        const double lo = numberOf(r.minimum), hi = numberOf(r.maximum);
        const double step = std::fabs(numberOf(r.step));
        problem.start.push_back(numberOf(r.initial));
        problem.upper.push_back(hi);
        problem.lower.push_back(lo);
        // The scale of a parameter at 0: its STEP, else the width of its bounds.
        problem.scale.push_back(step > 0 ? step : hi > lo ? hi - lo : 1.0);
        problem.names << r.alias.trimmed();
    }
    const ObservedRows rows = readObservedRows(db, cfg);
    problem.observed = rows.observed;
    problem.weights.assign(rows.observed.size(), 1.0);
    for (std::size_t i = 0; i < rows.variance.size(); ++i)
        problem.weights[i] = 1.0 / rows.variance[i];

    lsq::Options options;
    options.relativeStep = cfg.differenceStep;
    options.central = cfg.centralDifferences;
    options.objectiveTolerance = cfg.ftol();
    options.maxRuns = cfg.maxEvaluations;
    options.jacobianAtResult = true;

    report.clearLog();
    const QString step = formatGeneral(cfg.differenceStep);
    report.log(QStringLiteral("Least-squares search (Levenberg-Marquardt, SM=LM)"));
    report.log(QStringLiteral("It minimises S = sum of w_i * (obs_i - sim_i)^2 over the %1 chosen "
                              "result rows, w_i = %2")
                   .arg(rows.observed.size())
                   .arg(cfg.varianceColumn.isEmpty()
                            ? QStringLiteral("1 (no variance column is chosen)")
                            : QStringLiteral("1 / ") + cfg.varianceColumn));
    report.log(
        QStringLiteral("Jacobian: %1 differences with the step h_j = %2 * |x_j| (%2 * "
                       "|STEP_j| where x_j = 0), away from a bound where the step would "
                       "cross it")
            .arg(cfg.centralDifferences ? QStringLiteral("central") : QStringLiteral("forward"),
                 step));
    report.log(QStringLiteral("Each iteration tries one step: the Gauss-Newton step, or a "
                              "Marquardt-damped one, the damping raised tenfold while a step "
                              "fails; it ends when S changes by less than %1 over two "
                              "iterations, or after at most %2 model runs")
                   .arg(cfg.tolerance)
                   .arg(cfg.maxEvaluations));

    RunJournal* journal = evaluator.journal();
    const std::size_t m = rows.observed.size();
    QString lastIncomplete;
    auto noteBest = [&](double e) {
        if (!summary.haveBest || e < summary.best) {
            summary.best = e;
            summary.haveBest = true;
        }
    };

    lsq::Sink sink;
    sink.log = [this](const QString& line, bool select) { report.log(line, select); };
    sink.stopRequested = [this] { return report.stopRequested(); };
    sink.accepted = [&](const lsq::Vector&, const lsq::Vector& sim, double) {
        report.log(QStringLiteral("  %1=%2").arg(
            cfg.criterionName(), formatGeneral(criterionOf(rows, sim, cfg.criterion))));
    };
    // A run's values as the search sees them; a run that simulated another
    // number of rows is incomplete.
    auto resultOf = [&](EvaluationResult& done) {
        if (done.complete && done.values.mod.size() != m) {
            done.complete = false;
            done.why = QStringLiteral("the run simulated %1 chosen rows, not %2")
                           .arg(done.values.mod.size())
                           .arg(m);
        }
        if (done.complete)
            done.criterion = criterionOf(rows, done.values.mod, cfg.criterion);
        lsq::PointResult r;
        r.evaluated = true;
        r.complete = done.complete;
        if (done.complete)
            r.simulated = done.values.mod;
        else
            r.why = !done.failure.isEmpty() ? done.failure
                    : done.onlyMarks        ? QStringLiteral("result rows left at -99")
                                            : done.why;
        return r;
    };
    // Reports one run the search uses: the chart, the incomplete run's lines.
    auto reportUsed = [&](const EvaluationResult& done) {
        bool complete = true;
        const double e = reportRun(report, done, &complete, &lastIncomplete);
        ++summary.modelRuns;
        if (complete)
            noteBest(e);
    };
    auto reportReplayed = [&](const std::vector<double>& values) {
        const double e = criterionOf(rows, values, cfg.criterion);
        report.evaluated(e);
        noteBest(e);
    };

    // A run ahead, held back until the search takes it (or never does).
    struct HeldRun {
        lsq::Vector x;
        std::optional<std::vector<double>> replayed;
        RunOutcome outcome;
    };
    std::vector<HeldRun> held;
    int aheadNotNeeded = 0;

    // Runs the points (those the journal holds are taken from it). The first
    // `needed` are reported, in their order; the others are runs ahead, held
    // back and journaled as speculative until taken.
    auto runPoints = [&](const std::vector<lsq::Vector>& points, lsq::Purpose purpose,
                         std::size_t needed) {
        if (journal)
            journal->setPhase(phaseOf(purpose));
        const bool withAhead = needed < points.size();
        // Runs held from an earlier batch were not taken: the search moved on.
        aheadNotNeeded += static_cast<int>(held.size());
        held.clear();
        std::vector<lsq::PointResult> out(points.size());
        std::vector<std::optional<std::vector<double>>> replayed(points.size());
        std::vector<ParameterVector> toRun;
        std::vector<std::size_t> runIndex;
        for (std::size_t k = 0; k < points.size(); ++k) {
            if (journal)
                replayed[k] = journal->replayValues(points[k]);
            if (!replayed[k]) {
                toRun.push_back(oneBased(points[k]));
                runIndex.push_back(k);
            }
        }
        std::vector<std::optional<RunOutcome>> made(points.size());
        if (parallel && !toRun.empty() && !report.stopRequested()) {
            const std::vector<RunOutcome> outcomes =
                parallel->round(toRun, Reading::ModelValues, 0, false, withAhead);
            for (std::size_t i = 0; i < toRun.size(); ++i) {
                const RunOutcome& o = outcomes[i];
                const std::size_t k = runIndex[i];
                if (withAhead && k < needed && journal)
                    parallel->retake(toRun[i], o, phaseOf(purpose), Reading::ModelValues);
                if (o.failed && !o.stopped && k < needed)
                    throw FitError(ParallelRuns::failureText(o));
                if (o.stopped || !o.started)
                    continue; // ended by a stop: not evaluated
                made[k] = o;
            }
        } else if (!parallel) {
            for (std::size_t i = 0; i < toRun.size(); ++i) {
                if (report.stopRequested())
                    break;
                RunOutcome o;
                o.started = true;
                o.result = evaluator.evaluate(toRun[i], Reading::ModelValues);
                made[runIndex[i]] = std::move(o);
                report.processEvents();
            }
        }
        // Reported in the order of the points, whatever order the runs ended in.
        for (std::size_t k = 0; k < points.size(); ++k) {
            lsq::PointResult& r = out[k];
            if (replayed[k]) {
                r.evaluated = r.complete = true;
                r.simulated = *replayed[k];
                if (k < needed)
                    reportReplayed(r.simulated);
                else
                    held.push_back({points[k], replayed[k], RunOutcome{}});
            } else if (made[k]) {
                if (made[k]->failed) {
                    r.evaluated = true; // an error when the search takes it
                } else {
                    r = resultOf(made[k]->result);
                    if (k < needed)
                        reportUsed(made[k]->result);
                }
                if (k >= needed)
                    held.push_back({points[k], std::nullopt, *made[k]});
            }
        }
        report.processEvents();
        return out;
    };
    sink.workers = parallel ? parallel->workers() : 1;
    sink.evaluate = [&](const std::vector<lsq::Vector>& points, lsq::Purpose purpose) {
        return runPoints(points, purpose, points.size());
    };
    sink.evaluateAhead = runPoints;
    sink.taken = [&](const lsq::Vector& x) {
        const auto it =
            std::find_if(held.begin(), held.end(), [&](const HeldRun& h) { return h.x == x; });
        if (it == held.end())
            return;
        const HeldRun h = std::move(*it);
        held.erase(it);
        if (h.replayed) {
            reportReplayed(*h.replayed);
            return;
        }
        if (journal)
            parallel->retake(oneBased(h.x), h.outcome, journal::Phase::Jacobian,
                             Reading::ModelValues);
        if (h.outcome.failed)
            throw FitError(ParallelRuns::failureText(h.outcome));
        reportUsed(h.outcome.result);
        report.processEvents();
    };
    // The starts one after the other, each on its share of NX; the best end is
    // the result. Every start's path is that of a search of its own, so the
    // whole does not depend on the number of workers either.
    const int starts = std::max(cfg.starts, 1);
    std::vector<lsq::Vector> from{problem.start};
    for (auto& point : multistart::spreadPoints(starts - 1, problem.lower, problem.upper))
        from.push_back(std::move(point));
    std::vector<multistart::StartEnd> ends;
    lsq::Result result;
    int chosen = -1;
    int used = 0;
    bool stopped = false;
    for (int k = 0; k < starts && !stopped; ++k) {
        if (journal)
            journal->setStage(starts > 1 ? QStringLiteral("start %1").arg(k + 1) : QString());
        if (k > 0 && report.stopRequested()) {
            stopped = true;
            break;
        }
        options.maxRuns = starts > 1
                              ? multistart::shareOfBudget(cfg.maxEvaluations, used, starts - k)
                              : cfg.maxEvaluations;
        if (k == 0)
            options.maxRuns = std::max(options.maxRuns, 1);
        // A further start may fall where the model fails; the others go on.
        options.startMayFail = k > 0;
        if (starts > 1)
            report.log(k == 0 ? QStringLiteral("Start 1 of %1 from IVAL").arg(starts)
                              : QStringLiteral("Start %1 of %2 from   ").arg(k + 1).arg(starts) +
                                    multistart::valuesText(from[static_cast<std::size_t>(k)]),
                       true);
        if (options.maxRuns < 1) {
            report.log(QStringLiteral("Start %1 is left out: no model run of NX is left for it")
                           .arg(k + 1));
            ends.push_back(
                {from[static_cast<std::size_t>(k)], {}, 0, 0, QStringLiteral("left out")});
            continue;
        }
        problem.start = from[static_cast<std::size_t>(k)];
        lsq::Result ended = lsq::minimise(problem, options, sink);
        used += ended.runsMade;
        stopped = ended.termination == lsq::Termination::Stopped;
        ends.push_back({problem.start, ended.x, ended.objective, ended.runs,
                        lsq::terminationText(ended.termination)});
        if (k == 0 ||
            (!ended.x.empty() && (result.x.empty() || ended.objective < result.objective))) {
            chosen = ended.x.empty() ? -1 : k;
            result = std::move(ended);
        }
    }
    if (journal) {
        journal->setPhase(journal::Phase::Search);
        journal->setStage(QString());
    }
    if (starts > 1)
        for (const QString& line : multistart::startList(
                 ends, chosen, QStringLiteral("the objective S at each end"), QStringLiteral("S")))
            report.log(line);
    if (stopped)
        result.termination = lsq::Termination::Stopped;

    switch (result.termination) {
    case lsq::Termination::Budget:
        summary.outcome = Outcome::BudgetSpent;
        break;
    case lsq::Termination::Stopped:
        summary.outcome = Outcome::Stopped;
        break;
    default:
        summary.outcome = Outcome::Converged;
        break;
    }
    summary.reason = lsq::terminationText(result.termination);
    if (result.x.empty()) {
        // No model run completed: there is no result, and AVAL must not be
        // offered or stored as one; the operation puts PARM_INT and the model's
        // tables back as they were.
        if (result.termination == lsq::Termination::Stopped)
            summary.reason = QStringLiteral("stopped before any model run completed");
        summary.elapsedMs = clock.elapsed();
        return summary;
    }
    summary.result = oneBased(result.x);
    if (!result.simulated.empty()) {
        summary.lastError = criterionOf(rows, result.simulated, cfg.criterion);
        summary.haveLastError = true;
    }

    if (result.termination != lsq::Termination::Stopped) {
        auto found = std::make_shared<LeastSquaresUncertainty>(
            leastSquaresUncertainty(problem, result, !cfg.varianceColumn.isEmpty()));
        for (const QString& line : found->lines)
            report.log(line);
        found->names = problem.names;
        found->estimate = result.x;
        summary.leastSquares = std::move(found);
    }

    storeAval(db, summary.result);
    report.parameterListChanged();

    report.log(QStringLiteral("Optimisation finishes - results are stored as AVAL"), true);
    if (journal && journal->resuming())
        report.log(QStringLiteral("Resumed from the run journal: %1 model runs taken from it, %2 "
                                  "made now")
                       .arg(journal->replayedRuns())
                       .arg(summary.modelRuns),
                   true);
    if (parallel)
        report.log(parallel->closingLine(aheadNotNeeded + static_cast<int>(held.size())), true);
    report.saveLog(QStringLiteral("Opti_Result.TXT"));
    summary.elapsedMs = clock.elapsed();
    return summary;
}
