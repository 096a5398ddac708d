#include "optim/calibration.h"

#include "base/fit_error.h"
#include "evaluation/bounds.h"
#include "evaluation/evaluator.h"
#include "evaluation/run_journal.h"
#include "paramdb/database.h"
#include "paramdb/parameter_table.h"
#include "paramdb/stored_results.h"
#include "runs/parallel_runs.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace {
const QString kEmptyParmInt =
    QStringLiteral("PARM_INT holds no parameters: there is nothing to optimise.");

// The same point, bit for bit (the simplex matches points evaluated ahead so).
bool samePoint(const ParameterVector& a, const ParameterVector& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Counts a run the search takes, and keeps the best complete value.
// A value taken for the search: the best so far when complete.
void noteBest(CalibrationSummary& summary, bool complete, double e) {
    if (complete && (!summary.haveBest || e < summary.best)) {
        summary.best = e;
        summary.haveBest = true;
    }
}

// A model run made now.
void countRun(CalibrationSummary& summary, bool complete, double e) {
    ++summary.modelRuns;
    noteBest(summary, complete, e);
}

// A parallel run that did not end as a result: stopped (or never started), or failed.
bool withoutResult(const RunOutcome& o) {
    if (o.failed && !o.stopped)
        throw FitError(ParallelRuns::failureText(o));
    return o.failed || o.stopped || !o.started;
}
} // namespace

int parameterCount(Database& db) {
    return ParameterTable(db).count();
}

Calibration::Calibration(const CalibrationSettings& settings, Database& database, Evaluator& eval,
                         Reporter& reporter)
    : cfg(settings), db(database), evaluator(eval), report(reporter) {}

int startFromInitialValues(Database& db) {
    ParameterTable(db).resetToInitial();
    const int ndim = parameterCount(db);
    if (ndim == 0)
        throw FitError(kEmptyParmInt);
    return ndim;
}

int Calibration::usefulWorkers(int parameters) {
    return std::max(parameters + 1, Simplex::kMostPointsAhead);
}

CalibrationSummary Calibration::optimize() {
    QElapsedTimer clock;
    clock.start();
    evaluator.setSettings(cfg);
    CalibrationSummary summary;

    const int ndim = startFromInitialValues(db);
    summary.ndim = ndim;

    ParameterVector lowerBounds(ndim + 1, 0.0), upperBounds(ndim + 1, 0.0), ival(ndim + 1, 0.0),
        step(ndim + 1, 0.0);
    ValueVector y(ndim + 2, 0.0);
    SimplexVertices p(ndim + 2, ParameterVector(ndim + 1, 0.0));
    {
        const std::vector<ParameterRecord> records = ParameterTable(db).records();
        for (int i = 1; i <= ndim && i <= static_cast<int>(records.size()); ++i) {
            const ParameterRecord& r = records[i - 1];
            ival[i] = numberOf(r.initial);
            step[i] = numberOf(r.step);
            upperBounds[i] = numberOf(r.maximum);
            lowerBounds[i] = numberOf(r.minimum);
        }
    }

    // The initial vector and one vertex per parameter displaced by its step; not
    // clipped here, the evaluation clips what it stores.
    for (int v = 1; v <= ndim + 1; ++v)
        for (int j = 1; j <= ndim; ++j)
            p[v][j] = ival[j] + (v == j + 1 ? step[j] : 0.0);

    // An incomplete model run is worse than every complete one. A resumed
    // calibration takes the criterion of a vector its earlier start completed
    // from the journal, and reports it as if the model had run.
    RunJournal* journal = evaluator.journal();
    QString lastIncomplete; // why the last incomplete run was incomplete
    auto objective = [&](const ParameterVector& x) {
        bool complete = true;
        double e = 0;
        std::optional<double> replayed;
        if (journal)
            replayed = journal->replay(ParameterVector(x.begin() + 1, x.begin() + 1 + ndim));
        if (replayed) {
            e = *replayed;
            report.evaluated(e);
            noteBest(summary, true, e);
        } else {
            e = evaluateModel(evaluator, report, x, &complete, &lastIncomplete);
            countRun(summary, complete, e);
        }
        return complete ? e : HUGE_VAL;
    };

    if (journal)
        journal->setPhase(journal::Phase::InitialSimplex);
    bool anyComplete = false;
    if (parallel) {
        initialSimplexInParallel(p, y, ndim, summary, lastIncomplete);
        for (int v = 1; v <= ndim + 1; ++v)
            anyComplete = anyComplete || std::isfinite(y[v]);
    }
    for (int v = 1; v <= ndim + 1 && !parallel; ++v) {
        if (report.stopRequested()) {
            y[v] = HUGE_VAL; // not evaluated
            continue;
        }
        if (cfg.pauseBeforeVertexMs > 0 && !(journal && journal->resuming()))
            QThread::msleep(static_cast<unsigned long>(cfg.pauseBeforeVertexMs));
        report.processEvents();
        y[v] = objective(p[v]);
        report.processEvents();
        if (std::isfinite(y[v]))
            anyComplete = true;
    }
    if (!anyComplete && report.stopRequested()) {
        // No vector has been simulated: there is no result to offer, and AVAL
        // must not be given values the model has never seen.
        summary.outcome = Outcome::Stopped;
        summary.reason = QStringLiteral("stopped before any model run completed");
        summary.elapsedMs = clock.elapsed();
        return summary;
    }
    if (!anyComplete) {
        QString message =
            QStringLiteral("None of the %1 model runs of the initial simplex completed "
                           "(\"Model run incomplete !\"): %2. Check the run file and "
                           "the model.")
                .arg(ndim + 1)
                .arg(lastIncomplete.isEmpty()
                         ? QStringLiteral("the model left no results")
                         : QStringLiteral("in the last one, ") + lastIncomplete);
        const EvaluationResult& last = evaluator.lastIncomplete();
        if (!last.failure.isEmpty())
            message += QStringLiteral("\nThe last run: ") + last.failure;
        if (!last.output.isEmpty())
            message += QStringLiteral("\nThe model's last output (%1):\n").arg(last.outputFile) +
                       last.output.join(QLatin1Char('\n'));
        throw FitError(message);
    }
    if (journal)
        journal->setPhase(journal::Phase::Search);

    report.clearLog();
    auto logLine = [this](const QString& line, bool select) { report.log(line, select); };
    logSimplex(ndim, 0, y, p, logLine);

    const double ftol = cfg.ftol();

    SimplexSink sink;
    sink.log = logLine;
    // Parallel: the results of the runs made ahead wait here until the search
    // takes them; only then are they reported and counted, in the search's order.
    // Their journal rows are written as the runs end, as speculative, and
    // retaken in the phase of the moment when the search takes them; those it
    // never takes stay speculative. A resumed calibration takes the values its
    // earlier start completed from the journal instead of running them again.
    struct Waiting {
        ParameterVector x;
        RunOutcome outcome;
        std::optional<double> replayed;
    };
    std::vector<Waiting> waiting;
    if (parallel) {
        sink.batchWidth = parallel->workers();
        sink.evalBatch = [&](const std::vector<ParameterVector>& points) {
            std::vector<BatchValue> values(points.size());
            std::vector<ParameterVector> toRun;
            std::vector<std::size_t> runIndex;
            for (std::size_t k = 0; k < points.size(); ++k) {
                std::optional<double> replayed;
                if (journal)
                    replayed = journal->replay(
                        ParameterVector(points[k].begin() + 1, points[k].begin() + 1 + ndim),
                        false);
                if (replayed) {
                    values[k].evaluated = true;
                    values[k].value = *replayed;
                    waiting.push_back({points[k], RunOutcome{}, replayed});
                } else {
                    toRun.push_back(points[k]);
                    runIndex.push_back(k);
                }
            }
            if (toRun.empty())
                return values;
            const std::vector<RunOutcome> outcomes =
                parallel->round(toRun, Reading::Criterion, 0, false, true);
            for (std::size_t i = 0; i < toRun.size(); ++i) {
                const std::size_t k = runIndex[i];
                const RunOutcome& o = outcomes[i];
                if (o.failed && !o.stopped) {
                    if (journal)
                        parallel->retake(toRun[i], o, journal->phase());
                    values[k].evaluated = true;
                    values[k].error =
                        std::make_exception_ptr(FitError(ParallelRuns::failureText(o)));
                } else if (!o.failed && !o.stopped && o.started) {
                    values[k].evaluated = true;
                    values[k].value = o.result.complete ? o.result.criterion : HUGE_VAL;
                    waiting.push_back({toRun[i], o, std::nullopt});
                } else if (journal) {
                    parallel->retake(toRun[i], o, journal->phase()); // ended by a stop
                }
            }
            return values;
        };
        sink.taken = [&](const ParameterVector& x, double) {
            for (auto it = waiting.rbegin(); it != waiting.rend(); ++it) {
                if (!samePoint(it->x, x))
                    continue;
                if (it->replayed) {
                    journal->countReplayed();
                    report.evaluated(*it->replayed);
                    noteBest(summary, true, *it->replayed);
                } else {
                    if (journal)
                        parallel->retake(it->x, it->outcome, journal->phase());
                    bool complete = true;
                    const double e =
                        reportRun(report, it->outcome.result, &complete, &lastIncomplete);
                    countRun(summary, complete, e);
                }
                waiting.erase(std::next(it).base());
                report.processEvents();
                return;
            }
        };
    } else {
        sink.eval = objective;
    }
    sink.stopRequested = [this] { return report.stopRequested(); };
    if (journal)
        sink.shrinking = [journal](bool shrinking) {
            journal->setPhase(shrinking ? journal::Phase::Shrink : journal::Phase::Search);
        };
    Simplex simplex(ndim, lowerBounds, upperBounds, cfg.maxEvaluations, sink);
    int count = 0;
    simplex.minimise(p, y, count, ftol);
    if (!std::isnan(simplex.finalValue())) {
        summary.lastError = simplex.finalValue();
        summary.haveLastError = true;
    }
    switch (simplex.termination()) {
    case Simplex::Termination::Converged:
        summary.outcome = Outcome::Converged;
        summary.reason = QStringLiteral("the values of the simplex agree within the tolerance");
        break;
    case Simplex::Termination::Budget:
        summary.outcome = Outcome::BudgetSpent;
        summary.reason = QStringLiteral("the evaluations allowed (Nmax) are spent");
        break;
    case Simplex::Termination::Stopped:
    case Simplex::Termination::None:
        summary.outcome = Outcome::Stopped;
        summary.reason = QStringLiteral("stopped on request");
        break;
    }

    // The result is the centroid of the final simplex, not its best vertex. The
    // initial vertices are not clipped, so where IVAL or IVAL + STEP lies outside
    // the bounds the centroid can too; it is held to them as the evaluation holds
    // every value it stores (upper bound first), so the result is never a value
    // beyond the bounds that the model has not seen.
    // A stopped search has not converged, and the centroid of its simplex was
    // never simulated: it offers its best vertex instead, a vector whose run
    // completed (the simplex never gives up its best vertex).
    int bestVertex = 0;
    for (int i = 1; i <= ndim + 1; ++i)
        if (std::isfinite(y[i]) && (bestVertex == 0 || y[i] < y[bestVertex]))
            bestVertex = i;
    const bool offerBestVertex = summary.outcome == Outcome::Stopped && bestVertex > 0;
    summary.result.assign(ndim + 1, 0.0);
    for (int j = 1; j <= ndim; ++j) {
        long double sum = 0.0L;
        for (int i = 1; i <= ndim + 1; ++i)
            sum += p[i][j];
        const double value =
            offerBestVertex ? p[bestVertex][j] : static_cast<double>(sum / (ndim + 1));
        summary.result[j] = clampToBounds(value, lowerBounds[j], upperBounds[j]);
    }
    if (offerBestVertex) {
        summary.resultCriterion = y[bestVertex];
        summary.resultSimulated = true;
    }

    // The standard errors of an earlier analysis do not belong to the new
    // values: they go with them, and an analysis after this one fills them.
    db.inTransaction([&] {
        ParameterTable(db).writeColumn(QStringLiteral("AVAL"), summary.result);
        clearAnalysisResults(db);
    });
    report.parameterListChanged();

    // An unattended search that was stopped has no result: the operation gives
    // AVAL back, so the log does not call these values one. (In the window the
    // person may still keep them in the result dialog.)
    report.log(summary.outcome == Outcome::Stopped && cfg.autorun
                   ? QStringLiteral("Optimisation stopped before it finished")
                   : QStringLiteral("Optimisation finishes - results are stored as AVAL"),
               true);
    // The one line by which a resumed calibration's protocol differs.
    if (journal && journal->resuming())
        report.log(QStringLiteral("Resumed from the run journal: %1 model runs taken from it, %2 "
                                  "made now")
                       .arg(journal->replayedRuns())
                       .arg(summary.modelRuns),
                   true);
    if (parallel)
        report.log(parallel->closingLine(simplex.speculativeEvaluations()), true);
    report.saveLog(QStringLiteral("Opti_Result.TXT"));
    summary.elapsedMs = clock.elapsed();
    return summary;
}

void Calibration::initialSimplexInParallel(const SimplexVertices& p, ValueVector& y, int ndim,
                                           CalibrationSummary& summary, QString& lastIncomplete) {
    std::vector<ParameterVector> vertices(p.begin() + 1, p.begin() + ndim + 2);
    // A resumed calibration takes the vertices its earlier start completed from
    // the journal; only the others are run.
    RunJournal* journal = evaluator.journal();
    std::vector<std::optional<double>> replayed(vertices.size());
    std::vector<ParameterVector> toRun;
    std::vector<int> runVertex;
    for (std::size_t k = 0; k < vertices.size(); ++k) {
        if (journal)
            replayed[k] = journal->replay(
                ParameterVector(vertices[k].begin() + 1, vertices[k].begin() + 1 + ndim));
        if (!replayed[k]) {
            toRun.push_back(vertices[k]);
            runVertex.push_back(static_cast<int>(k) + 1);
        }
    }
    const int pause = journal && journal->resuming() ? 0 : cfg.pauseBeforeVertexMs; // as in place
    std::vector<RunOutcome> ran;
    if (!toRun.empty())
        ran = report.stopRequested() ? std::vector<RunOutcome>(toRun.size())
                                     : parallel->round(toRun, Reading::Criterion, pause);
    std::vector<RunOutcome> outcomes(vertices.size());
    for (std::size_t i = 0; i < toRun.size(); ++i)
        outcomes[runVertex[i] - 1] = ran[i];
    // Reported in the order of the vertices, whatever order they ended in.
    for (int v = 1; v <= ndim + 1; ++v) {
        if (replayed[v - 1]) {
            y[v] = *replayed[v - 1];
            report.evaluated(y[v]);
            noteBest(summary, true, y[v]);
            continue;
        }
        const RunOutcome& o = outcomes[v - 1];
        if (withoutResult(o)) {
            y[v] = HUGE_VAL; // not evaluated
            continue;
        }
        bool complete = true;
        const double e = reportRun(report, o.result, &complete, &lastIncomplete);
        countRun(summary, complete, e);
        y[v] = complete ? e : HUGE_VAL;
        report.processEvents();
    }
}
