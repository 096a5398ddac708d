#include "optim/calibration.h"

#include "base/fit_error.h"
#include "evaluation/bounds.h"
#include "evaluation/evaluator.h"
#include "evaluation/parallel_runs.h"
#include "paramdb/database.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QThread>
#include <cmath>
#include <cstring>

namespace {
const QString kEmptyParmInt =
    QStringLiteral("PARM_INT holds no parameters: there is nothing to optimise.");

// The same point, bit for bit (the simplex matches points evaluated ahead so).
bool samePoint(const tfmatrix& a, const tfmatrix& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Counts a run the search takes, and keeps the best complete value.
void countRun(CalibrationSummary& summary, bool complete, double e) {
    ++summary.modelRuns;
    if (complete && (!summary.haveBest || e < summary.best)) {
        summary.best = e;
        summary.haveBest = true;
    }
}

// A parallel run that did not end as a result: stopped (or never started), or failed.
bool withoutResult(const RunOutcome& o) {
    if (o.failed && !o.stopped)
        throw FitError(ParallelRuns::failureText(o));
    return o.failed || o.stopped || !o.started;
}
} // namespace

int parameterCount(Database& db) {
    QSqlQuery q = db.query(QStringLiteral("select count(*) from parm_int"));
    return q.next() ? q.value(0).toInt() : 0;
}

Calibration::Calibration(const CalibrationSettings& settings, Database& database, Evaluator& eval,
                         Reporter& reporter)
    : cfg(settings), db(database), evaluator(eval), report(reporter) {}

CalibrationSummary Calibration::optimize() {
    QElapsedTimer clock;
    clock.start();
    evaluator.setSettings(cfg);
    CalibrationSummary summary;

    // AVAL := IVAL for every record; the records are counted.
    db.exec(QStringLiteral("update parm_int set AVAL = IVAL"));
    const int ndim = parameterCount(db);
    if (ndim == 0)
        throw FitError(kEmptyParmInt);
    summary.ndim = ndim;

    tfmatrix mnp(ndim + 1, 0.0), mxp(ndim + 1, 0.0), ival(ndim + 1, 0.0), step(ndim + 1, 0.0);
    tfmatrix1 y(ndim + 2, 0.0);
    tsimplex p(ndim + 2, tfmatrix(ndim + 1, 0.0));
    {
        QSqlQuery q = db.query(QStringLiteral("select IVAL, STEP, MAXIMUM, MINIMUM from parm_int"));
        for (int i = 1; i <= ndim && q.next(); ++i) {
            ival[i] = numberOf(q.value(0));
            step[i] = numberOf(q.value(1));
            mxp[i] = numberOf(q.value(2));
            mnp[i] = numberOf(q.value(3));
        }
    }

    // The initial vector and one vertex per parameter displaced by its step; not
    // clipped here, the evaluation clips what it stores.
    for (int v = 1; v <= ndim + 1; ++v)
        for (int j = 1; j <= ndim; ++j)
            p[v][j] = ival[j] + (v == j + 1 ? step[j] : 0.0);

    // An incomplete model run is worse than every complete one.
    QString lastIncomplete; // why the last incomplete run was incomplete
    auto objective = [&](const tfmatrix& x) {
        bool complete = true;
        const double e = model_eval(evaluator, report, x, &complete, &lastIncomplete);
        countRun(summary, complete, e);
        return complete ? e : HUGE_VAL;
    };

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
        if (cfg.pauseBeforeVertexMs > 0)
            QThread::msleep(static_cast<unsigned long>(cfg.pauseBeforeVertexMs));
        report.processEvents();
        y[v] = objective(p[v]);
        report.processEvents();
        if (std::isfinite(y[v]))
            anyComplete = true;
    }
    if (!anyComplete && !report.stopRequested())
        throw FitError(QStringLiteral("None of the %1 model runs of the initial simplex completed "
                                      "(\"Model run incomplete !\"): %2. Check the run file and "
                                      "the model.")
                           .arg(ndim + 1)
                           .arg(lastIncomplete.isEmpty()
                                    ? QStringLiteral("the model left no results")
                                    : QStringLiteral("in the last one, ") + lastIncomplete));

    report.clearLog();
    auto logLine = [this](const QString& line, bool select) { report.log(line, select); };
    show_simplex(ndim, 0, y, p, logLine);

    const double ftol = cfg.ftol();

    SimplexSink sink;
    sink.log = logLine;
    // Parallel: the results of the runs made ahead wait here until the search
    // takes them; only then are they reported and counted, in the search's order.
    struct Waiting {
        tfmatrix x;
        EvaluationResult result;
    };
    std::vector<Waiting> waiting;
    if (parallel) {
        sink.batchWidth = parallel->workers();
        sink.evalBatch = [&](const std::vector<tfmatrix>& points) {
            const std::vector<RunOutcome> outcomes =
                parallel->round(points, Reading::Criterion, 0, false);
            std::vector<BatchValue> values(points.size());
            for (std::size_t k = 0; k < points.size(); ++k) {
                const RunOutcome& o = outcomes[k];
                if (o.failed && !o.stopped) {
                    values[k].evaluated = true;
                    values[k].error =
                        std::make_exception_ptr(FitError(ParallelRuns::failureText(o)));
                } else if (!o.failed && !o.stopped && o.started) {
                    values[k].evaluated = true;
                    values[k].value = o.result.complete ? o.result.criterion : HUGE_VAL;
                    waiting.push_back({points[k], o.result});
                }
            }
            return values;
        };
        sink.taken = [&](const tfmatrix& x, double) {
            for (auto it = waiting.rbegin(); it != waiting.rend(); ++it) {
                if (!samePoint(it->x, x))
                    continue;
                bool complete = true;
                const double e = reportRun(report, it->result, &complete, &lastIncomplete);
                countRun(summary, complete, e);
                waiting.erase(std::next(it).base());
                report.processEvents();
                return;
            }
        };
    } else {
        sink.eval = objective;
    }
    sink.stopRequested = [this] { return report.stopRequested(); };
    Simplex simplex(ndim, mnp, mxp, cfg.max_call, sink);
    int count = 0;
    simplex.amoeba(p, y, count, ftol);
    if (!std::isnan(simplex.last_error())) {
        summary.lastError = simplex.last_error();
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
    summary.result.assign(ndim + 1, 0.0);
    for (int j = 1; j <= ndim; ++j) {
        long double sum = 0.0L;
        for (int i = 1; i <= ndim + 1; ++i)
            sum += p[i][j];
        summary.result[j] = clampToBounds(static_cast<double>(sum / (ndim + 1)), mnp[j], mxp[j]);
    }

    {
        std::vector<qlonglong> rowids;
        QSqlQuery q = db.query(QStringLiteral("select rowid from parm_int"));
        while (q.next())
            rowids.push_back(q.value(0).toLongLong());
        q.finish();
        db.inTransaction([&] {
            for (int k = 0; k < static_cast<int>(rowids.size()) && k + 1 <= ndim; ++k)
                db.exec(QStringLiteral("update parm_int set AVAL=? where rowid=?"),
                        {summary.result[k + 1], rowids[k]});
        });
        report.parameterListChanged();
    }

    report.log(QStringLiteral("Optimisation finishes - results are stored as AVAL"), true);
    if (parallel)
        report.log(parallel->closingLine(simplex.speculative_evaluations()), true);
    report.saveLog(QStringLiteral("Opti_Result.TXT"));
    summary.elapsedMs = clock.elapsed();
    return summary;
}

void Calibration::initialSimplexInParallel(const tsimplex& p, tfmatrix1& y, int ndim,
                                           CalibrationSummary& summary, QString& lastIncomplete) {
    std::vector<tfmatrix> vertices(p.begin() + 1, p.begin() + ndim + 2);
    const std::vector<RunOutcome> outcomes =
        report.stopRequested()
            ? std::vector<RunOutcome>(vertices.size())
            : parallel->round(vertices, Reading::Criterion, cfg.pauseBeforeVertexMs);
    // Reported in the order of the vertices, whatever order they ended in.
    for (int v = 1; v <= ndim + 1; ++v) {
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
