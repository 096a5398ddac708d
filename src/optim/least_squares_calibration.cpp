#include "optim/least_squares_calibration.h"

#include "base/fit_error.h"
#include "base/number_format.h"
#include "evaluation/evaluator.h"
#include "evaluation/run_journal.h"
#include "starts/interleaved_starts.h"
#include "optim/least_squares.h"
#include "optim/least_squares_uncertainty.h"
#include "starts/multi_start.h"
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

// What one start of the search keeps while it runs, and how it ended.
struct SearchStart {
    explicit SearchStart(Reporter& reporter) : output(reporter) {}
    StartOutput output;
    // A run ahead, held back until the search takes it (or never does).
    struct HeldRun {
        lsq::Vector x;
        std::optional<std::vector<double>> replayed;
        RunOutcome outcome;
    };
    std::vector<HeldRun> held;
    int aheadNotNeeded = 0;
    int reported = 0; // of its runs, those reported (or replayed)
    // Its first run, the one at its start, when it did not complete: for the
    // error that ends the calibration then.
    EvaluationResult startIncomplete;
    int used = 0; // the model runs it made, counted against NX
    // Its share of NX; until shareKnown, only a part of it that it has for certain.
    int share = 0;
    bool shareKnown = false;
    std::optional<multistart::StartEnd> end;
    bool stopped = false;
    bool searched = false;
    lsq::Result result;
};

ParameterVector oneBased(const lsq::Vector& x) {
    ParameterVector v(x.size() + 1, 0.0);
    std::copy(x.begin(), x.end(), v.begin() + 1);
    return v;
}

// The search's problem: PARM_INT's first ndim records (start, bounds, scale,
// name) and the chosen rows' observations with their weights.
lsq::Problem problemOf(const std::vector<ParameterRecord>& records, int ndim,
                       const ObservedRows& rows) {
    lsq::Problem problem;
    for (const ParameterRecord& r : records) {
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
    problem.observed = rows.observed;
    problem.weights.assign(rows.observed.size(), 1.0);
    for (std::size_t i = 0; i < rows.variance.size(); ++i)
        problem.weights[i] = 1.0 / rows.variance[i];
    return problem;
}

lsq::Options searchOptions(const CalibrationSettings& cfg) {
    lsq::Options options;
    options.relativeStep = cfg.differenceStep;
    options.central = cfg.centralDifferences;
    options.objectiveTolerance = cfg.ftol();
    options.maxRuns = cfg.maxEvaluations;
    options.jacobianAtResult = true;
    return options;
}

// The protocol's first lines: what the search minimises, its Jacobian, its
// steps and its ends.
void logHeading(Reporter& report, const CalibrationSettings& cfg, std::size_t rowCount) {
    report.clearLog();
    const QString step = formatGeneral(cfg.differenceStep);
    report.log(QStringLiteral("Least-squares search (Levenberg-Marquardt, SM=LM)"));
    report.log(QStringLiteral("It minimises S = sum of w_i * (obs_i - sim_i)^2 over the %1 chosen "
                              "result rows, w_i = %2")
                   .arg(rowCount)
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
}

Outcome outcomeOf(lsq::Termination termination) {
    switch (termination) {
    case lsq::Termination::Budget:
        return Outcome::BudgetSpent;
    case lsq::Termination::Stopped:
        return Outcome::Stopped;
    default:
        return Outcome::Converged;
    }
}

} // namespace

LeastSquaresCalibration::LeastSquaresCalibration(const CalibrationSettings& settings,
                                                 Database& database, Evaluator& eval,
                                                 Reporter& reporter)
    : cfg(settings), db(database), evaluator(eval), report(reporter) {}

void LeastSquaresCalibration::storeResult(CalibrationSummary& summary, const lsq::Problem& problem,
                                          const lsq::Result& result, int aheadNotNeeded) {
    RunJournal* journal = evaluator.journal();
    summary.result = oneBased(result.x);

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

    closeCalibrationProtocol(report, summary, unattended, journal, parallel, aheadNotNeeded);
}

// The starts of one calibration and what they share: the problem and the
// chosen rows, the start points, the pool and the journal, the search's sink,
// and each start's own state. `run` makes every start (side by side on the pool
// when there are several starts and workers); `result` gathers their ends.
class LeastSquaresCalibration::Starts {
  public:
    Starts(LeastSquaresCalibration& calibration, CalibrationSummary& operationSummary,
           const lsq::Problem& searchProblem, const lsq::Options& searchOptions,
           const ObservedRows& chosenRows)
        : c(calibration), cfg(calibration.cfg), summary(operationSummary), problem(searchProblem),
          options(searchOptions), rows(chosenRows), m(chosenRows.observed.size()),
          starts(std::max(cfg.starts, 1)),
          side(c.parallel && starts > 1 && c.parallel->workers() > 1 ? c.parallel : nullptr),
          journal(c.evaluator.journal()) {
        // The start points: IVAL, and with MS= further points spread over the box.
        from.push_back(problem.start);
        for (auto& point : multistart::spreadPoints(starts - 1, problem.lower, problem.upper))
            from.push_back(std::move(point));
        for (int k = 0; k < starts; ++k) {
            runs.push_back(std::make_unique<SearchStart>(c.report));
            outputs.push_back(&runs.back()->output);
        }
        connectSink();
    }

    void run() {
        side.run(
            outputs, [this](int k) { runStart(k); },
            [this](int k) { return runs[static_cast<std::size_t>(k)]->stopped; });
    }

    // The best of the starts' ends, the first of equal ones; stopped when any
    // start was. Lists the starts in the protocol. `aheadNotNeeded`: the runs
    // made ahead that no start took.
    lsq::Result result(int& aheadNotNeeded) {
        std::vector<multistart::StartEnd> ends;
        lsq::Result result;
        int chosen = -1;
        bool stopped = false;
        aheadNotNeeded = 0;
        for (int k = 0; k < starts; ++k) {
            SearchStart& s = *runs[static_cast<std::size_t>(k)];
            if (s.end)
                ends.push_back(*s.end);
            stopped = stopped || s.stopped;
            aheadNotNeeded += s.aheadNotNeeded + static_cast<int>(s.held.size());
            if (!s.searched)
                continue;
            if (k == 0 || (!s.result.x.empty() &&
                           (result.x.empty() || s.result.objective < result.objective))) {
                chosen = s.result.x.empty() ? -1 : k;
                result = std::move(s.result);
            }
        }
        if (journal) {
            journal->setPhase(journal::Phase::Search);
            journal->setStage(QString());
        }
        if (starts > 1)
            for (const QString& line :
                 multistart::startList(ends, chosen, QStringLiteral("the objective S at each end"),
                                       QStringLiteral("S")))
                c.report.log(line);
        if (stopped)
            result.termination = lsq::Termination::Stopped;
        return result;
    }

  private:
    SearchStart& current() { return *runs[static_cast<std::size_t>(side.current())]; }
    Reporter& out() { return current().output; }

    void connectSink() {
        sink.log = [this](const QString& line, bool select) { out().log(line, select); };
        sink.stopRequested = [this] { return c.report.stopRequested(); };
        sink.accepted = [this](const lsq::Vector&, const lsq::Vector& sim, double) {
            out().log(QStringLiteral("  %1=%2").arg(
                cfg.criterionName(), formatGeneral(criterionOf(rows, sim, cfg.criterion))));
        };
        // Side by side, the starts share the workers.
        sink.workers = !c.parallel         ? 1
                       : side.sideBySide() ? std::max(1, c.parallel->workers() / starts)
                                           : c.parallel->workers();
        sink.evaluate = [this](const std::vector<lsq::Vector>& points, lsq::Purpose purpose) {
            return runPoints(points, purpose, points.size());
        };
        sink.evaluateAhead = [this](const std::vector<lsq::Vector>& points, lsq::Purpose purpose,
                                    std::size_t needed) {
            return runPoints(points, purpose, needed);
        };
        sink.taken = [this](const lsq::Vector& x) { taken(x); };
    }

    // The share of NX of start k: what the starts before it left, known once
    // they have ended.
    int settle(int k) {
        SearchStart& s = *runs[static_cast<std::size_t>(k)];
        if (!s.shareKnown) {
            side.awaitEarlierStarts();
            int used = 0;
            for (int j = 0; j < k; ++j)
                used += runs[static_cast<std::size_t>(j)]->used;
            s.share = starts > 1 ? multistart::shareOfBudget(cfg.maxEvaluations, used, starts - k)
                                 : cfg.maxEvaluations;
            if (k == 0)
                s.share = std::max(s.share, 1);
            s.shareKnown = true;
        }
        return s.share;
    }

    // One start, on its share of NX. Every start's path is that of a search of
    // its own, so the whole does not depend on the number of workers either,
    // nor on whether the starts go side by side.
    void runStart(int k) {
        SearchStart& s = *runs[static_cast<std::size_t>(k)];
        Reporter& log = s.output;
        const lsq::Vector& start = from[static_cast<std::size_t>(k)];
        if (journal)
            journal->setStage(starts > 1 ? QStringLiteral("start %1").arg(k + 1) : QString());
        if (k > 0 && log.stopRequested()) {
            s.stopped = true;
            return;
        }
        const lsq::Options own = optionsOf(k);
        if (starts > 1)
            log.log(k == 0 ? QStringLiteral("Start 1 of %1 from IVAL").arg(starts)
                           : QStringLiteral("Start %1 of %2 from   ").arg(k + 1).arg(starts) +
                                 multistart::valuesText(start),
                    true);
        if (s.share < 1 && settle(k) < 1) {
            log.log(QStringLiteral("Start %1 is left out: no model run of NX is left for it")
                        .arg(k + 1));
            s.end = {start, {}, 0, 0, QStringLiteral("left out")};
            return;
        }
        lsq::Problem mine = problem;
        mine.start = start;
        try {
            s.result = lsq::minimise(mine, own, sink);
        } catch (const FitError& e) {
            // The run at the start did not complete: what the model said
            // belongs to the error, as with the simplex.
            if (!s.startIncomplete.complete)
                throw FitError(e.message() + incompleteRunDetails(s.startIncomplete));
            throw;
        }
        s.used = s.result.runsMade;
        s.stopped = s.result.termination == lsq::Termination::Stopped;
        s.searched = true;
        s.end = {mine.start, s.result.x, s.result.objective, s.result.runs,
                 lsq::terminationText(s.result.termination)};
    }

    // The search's options for start k: its share of NX, as far as it is known.
    lsq::Options optionsOf(int k) {
        SearchStart& s = *runs[static_cast<std::size_t>(k)];
        // Side by side, a later start knows only a part of its share that the
        // starts before it cannot take, and waits for them only when it needs
        // more.
        if (side.sideBySide() && k > 0)
            s.share = multistart::lowestShare(cfg.maxEvaluations, starts, 0);
        else
            settle(k);
        lsq::Options own = options;
        own.maxRuns = s.share;
        if (!s.shareKnown)
            own.exactMaxRuns = [this, k] { return settle(k); };
        // A further start may fall where the model fails; the others go on.
        own.startMayFail = k > 0;
        return own;
    }

    // Runs the points (those the journal holds are taken from it). The first
    // `needed` are reported, in their order; the others are runs ahead, held
    // back and journaled as speculative until taken. Side by side, every run
    // is journaled as speculative first and the needed ones retaken.
    std::vector<lsq::PointResult> runPoints(const std::vector<lsq::Vector>& points,
                                            lsq::Purpose purpose, std::size_t needed) {
        if (journal)
            journal->setPhase(phaseOf(purpose));
        // Runs held from an earlier batch were not taken: the search moved on.
        current().aheadNotNeeded += static_cast<int>(current().held.size());
        current().held.clear();
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
        if (c.parallel && !toRun.empty() && !c.report.stopRequested())
            runOnPool(toRun, runIndex, purpose, needed, needed < points.size(), made);
        else if (!c.parallel)
            runOneByOne(toRun, runIndex, made);
        std::vector<lsq::PointResult> results = inOrder(points, replayed, made, needed);
        c.report.processEvents();
        return results;
    }

    // The runs as one round on the pool (with the other starts' runs when side
    // by side). An error of a run the search needs now ends it; a run ahead
    // that failed is an error only when the search takes it.
    void runOnPool(const std::vector<ParameterVector>& toRun,
                   const std::vector<std::size_t>& runIndex, lsq::Purpose purpose,
                   std::size_t needed, bool withAhead,
                   std::vector<std::optional<RunOutcome>>& made) {
        const std::vector<RunOutcome> outcomes =
            side.sideBySide() ? side.round(toRun, Reading::ModelValues)
                              : c.parallel->round(toRun, Reading::ModelValues, 0, false, withAhead);
        for (std::size_t i = 0; i < toRun.size(); ++i) {
            const RunOutcome& o = outcomes[i];
            const std::size_t k = runIndex[i];
            if ((withAhead || side.sideBySide()) && k < needed && journal)
                c.parallel->retake(toRun[i], o, phaseOf(purpose), Reading::ModelValues);
            if (o.failed && !o.stopped && k < needed)
                throw FitError(ParallelRuns::failureText(o));
            if (o.stopped || !o.started)
                continue; // ended by a stop: not evaluated
            made[k] = o;
        }
    }

    // The runs through the evaluator, one after the other, until a stop.
    void runOneByOne(const std::vector<ParameterVector>& toRun,
                     const std::vector<std::size_t>& runIndex,
                     std::vector<std::optional<RunOutcome>>& made) {
        for (std::size_t i = 0; i < toRun.size(); ++i) {
            if (c.report.stopRequested())
                break;
            RunOutcome o;
            o.started = true;
            o.result = c.evaluator.evaluate(toRun[i], Reading::ModelValues);
            made[runIndex[i]] = std::move(o);
            c.report.processEvents();
        }
    }

    // The points' results, reported in the order of the points whatever order
    // the runs ended in; the runs ahead are held back.
    std::vector<lsq::PointResult>
    inOrder(const std::vector<lsq::Vector>& points,
            const std::vector<std::optional<std::vector<double>>>& replayed,
            std::vector<std::optional<RunOutcome>>& made, std::size_t needed) {
        std::vector<SearchStart::HeldRun>& held = current().held;
        std::vector<lsq::PointResult> results(points.size());
        for (std::size_t k = 0; k < points.size(); ++k) {
            lsq::PointResult& r = results[k];
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
                    r = pointResultOf(made[k]->result);
                    if (k < needed)
                        reportUsed(made[k]->result);
                }
                if (k >= needed)
                    held.push_back({points[k], std::nullopt, *made[k]});
            }
        }
        return results;
    }

    // A run made ahead is used now: it is reported (and retaken in the
    // journal) as a run of the Jacobian.
    void taken(const lsq::Vector& x) {
        std::vector<SearchStart::HeldRun>& held = current().held;
        const auto it = std::find_if(held.begin(), held.end(),
                                     [&](const SearchStart::HeldRun& h) { return h.x == x; });
        if (it == held.end())
            return;
        const SearchStart::HeldRun h = std::move(*it);
        held.erase(it);
        if (h.replayed) {
            reportReplayed(*h.replayed);
            return;
        }
        if (journal)
            c.parallel->retake(oneBased(h.x), h.outcome, journal::Phase::Jacobian,
                               Reading::ModelValues);
        if (h.outcome.failed)
            throw FitError(ParallelRuns::failureText(h.outcome));
        reportUsed(h.outcome.result);
        c.report.processEvents();
    }

    // A run's values as the search sees them; a run that simulated another
    // number of rows is incomplete.
    lsq::PointResult pointResultOf(EvaluationResult& done) const {
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
    }

    // Reports one run the search uses: the chart, the incomplete run's lines.
    void reportUsed(const EvaluationResult& done) {
        bool complete = true;
        const double e = reportRun(out(), done, &complete);
        if (++current().reported == 1 && !complete)
            current().startIncomplete = done;
        ++summary.modelRuns;
        if (complete)
            noteBest(e);
    }
    void reportReplayed(const std::vector<double>& values) {
        const double e = criterionOf(rows, values, cfg.criterion);
        ++current().reported;
        out().evaluated(e);
        noteBest(e);
    }
    void noteBest(double e) {
        if (!summary.haveBest || e < summary.best) {
            summary.best = e;
            summary.haveBest = true;
        }
    }

    LeastSquaresCalibration& c;
    const CalibrationSettings& cfg;
    CalibrationSummary& summary;
    const lsq::Problem& problem;
    const lsq::Options& options;
    const ObservedRows& rows;
    const std::size_t m; // the chosen rows
    const int starts;
    std::vector<lsq::Vector> from; // the start points
    InterleavedStarts side;
    RunJournal* journal;
    std::vector<std::unique_ptr<SearchStart>> runs;
    std::vector<StartOutput*> outputs;
    lsq::Sink sink;
};

CalibrationSummary LeastSquaresCalibration::optimize() {
    QElapsedTimer clock;
    clock.start();
    evaluator.setSettings(cfg);
    CalibrationSummary summary;

    const int ndim = startFromInitialValues(db);
    summary.ndim = ndim;

    const ObservedRows rows = readObservedRows(db, cfg);
    const lsq::Problem problem = problemOf(ParameterTable(db).records(), ndim, rows);
    const lsq::Options options = searchOptions(cfg);
    logHeading(report, cfg, rows.observed.size());

    Starts starting(*this, summary, problem, options, rows);
    starting.run();
    int aheadNotNeeded = 0;
    const lsq::Result result = starting.result(aheadNotNeeded);

    summary.outcome = outcomeOf(result.termination);
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
    if (!result.simulated.empty()) {
        summary.lastError = criterionOf(rows, result.simulated, cfg.criterion);
        summary.haveLastError = true;
    }
    storeResult(summary, problem, result, aheadNotNeeded);
    summary.elapsedMs = clock.elapsed();
    return summary;
}
