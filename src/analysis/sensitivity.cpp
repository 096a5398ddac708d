#include "analysis/sensitivity.h"

#include "analysis/fisher.h"
#include "base/fit_error.h"
#include "evaluation/bounds.h"
#include "evaluation/evaluator.h"
#include "paramdb/backup.h"
#include "paramdb/database.h"
#include "paramdb/stored_results.h"
#include "runs/parallel_runs.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <cmath>

SensitivityAnalysis::SensitivityAnalysis(const CalibrationSettings& settings, Database& database,
                                         RunMarker& marker, Evaluator& eval, Reporter& reporter)
    : cfg(settings), db(database), runMarker(marker), evaluator(eval), report(reporter) {}

SensitivitySummary SensitivityAnalysis::run() {
    QElapsedTimer clock;
    clock.start();
    evaluator.setSettings(cfg);
    const double b = cfg.stepFraction();
    const LogLine log = [this](const QString& line, bool select) { report.log(line, select); };

    SensitivitySummary summary;
    tfmatrix h;
    // What PARM_INT holds of the last completed run: a run that does not
    // complete gives it back.
    const StoredResults before = readStoredResults(db);
    backup(db, runMarker, log);
    try {
        sensit(b, summary, h);
    } catch (...) {
        // The model's tables must not stay at a raised value: they go back to
        // the backup before the error is reported.
        restoreAfterFailure(db, runMarker, log,
                            report.stopRequested()
                                ? QStringLiteral("The sensitivity analysis was stopped; the "
                                                 "model's tables are restored from their backups.")
                                : QStringLiteral("The sensitivity analysis ended with an error; "
                                                 "the model's tables are restored from their "
                                                 "backups."));
        putBackStoredResults(db, cfg.db_f_name, before, report);
        throw;
    }
    restore(db, runMarker, log);

    // The values the runs used: the evaluation clamped each to its bounds.
    std::vector<double> minimum, maximum;
    {
        QSqlQuery q =
            db.query(QStringLiteral("select MINIMUM, MAXIMUM from parm_int order by rowid"));
        while (q.next()) {
            minimum.push_back(numberOf(q.value(0)));
            maximum.push_back(numberOf(q.value(1)));
        }
    }
    const std::vector<double>& y = summary.criteria;
    for (int i = 1; i <= summary.ndim; ++i) {
        const double mn = i <= int(minimum.size()) ? minimum[i - 1] : -HUGE_VAL;
        const double mx = i <= int(maximum.size()) ? maximum[i - 1] : HUGE_VAL;
        report.log(sensitivityLine(i, b, h[i], clampToBounds(h[i], mn, mx),
                                   clampToBounds(h[i] * (1 + b), mn, mx), y[0], summary.complete[0],
                                   y[i], summary.complete[i]));
    }
    summary.outcome = Outcome::Converged;
    summary.reason = QStringLiteral("every run was made");
    summary.elapsedMs = clock.elapsed();
    return summary;
}

void SensitivityAnalysis::sensit(double x, SensitivitySummary& summary, tfmatrix& h) {
    // Every AVAL starts from its IVAL, copied as it is (also when empty).
    db.exec(QStringLiteral("update parm_int set AVAL=IVAL"));
    std::vector<QVariant> initial;
    {
        QSqlQuery q = db.query(QStringLiteral("select IVAL from parm_int order by rowid"));
        while (q.next())
            initial.push_back(q.value(0));
    }
    const int ndim = static_cast<int>(initial.size());
    h.assign(ndim + 1, 0.0);
    for (int i = 1; i <= ndim; ++i)
        h[i] = parameterNumber(initial[i - 1], QStringLiteral("IVAL"), i);
    std::vector<double> y(ndim + 1, 0.0);
    std::vector<bool> done(ndim + 1, true);

    // A stop request (the stop button, SIGINT/SIGTERM) ends the runs between
    // two model runs; the caller restores the model's tables.
    auto stopIfRequested = [this]() {
        if (report.stopRequested())
            throw FitError(QStringLiteral("The sensitivity analysis was stopped before it "
                                          "finished; no coefficients were computed."));
    };
    auto evaluate = [&](int i) {
        bool ok = true;
        ++summary.modelRuns;
        y[i] = model_eval(evaluator, report, h, &ok);
        done[i] = ok;
        if (ok && (!summary.haveBest || y[i] < summary.best)) {
            summary.best = y[i];
            summary.haveBest = true;
        }
    };

    if (parallel) {
        std::vector<tfmatrix> vectors(ndim + 1, h);
        for (int i = 1; i <= ndim; ++i)
            vectors[i][i] = h[i] * (1 + x);
        stopIfRequested();
        const std::vector<RunOutcome> outcomes = parallel->round(vectors, Reading::Criterion);
        // Reported in the order of the runs, whatever order they ended in.
        for (int i = 0; i <= ndim; ++i) {
            const RunOutcome& o = outcomes[i];
            if (o.failed && !o.stopped)
                throw FitError(ParallelRuns::failureText(o));
            if (o.failed || o.stopped || !o.started) {
                report.stopRequested(); // a stop ended the round
                throw FitError(QStringLiteral("The sensitivity analysis was stopped before it "
                                              "finished; no coefficients were computed."));
            }
            bool ok = true;
            ++summary.modelRuns;
            y[i] = reportRun(report, o.result, &ok);
            done[i] = ok;
            if (ok && (!summary.haveBest || y[i] < summary.best)) {
                summary.best = y[i];
                summary.haveBest = true;
            }
        }
        // AVAL as the runs one after the other leave it: the last run's values.
        storeAval(db, outcomes.back().result.vector);
        summary.ndim = ndim;
        summary.criteria = std::move(y);
        summary.complete = std::move(done);
        return;
    }

    stopIfRequested();
    evaluate(0);
    for (int i = 1; i <= ndim; ++i) {
        stopIfRequested();
        const double initialValue = h[i];
        h[i] = initialValue * (1 + x);
        evaluate(i);
        h[i] = initialValue;
    }
    summary.ndim = ndim;
    summary.criteria = std::move(y);
    summary.complete = std::move(done);
}
