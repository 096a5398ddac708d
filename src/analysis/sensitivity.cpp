#include "analysis/sensitivity.h"

#include "analysis/fisher.h"
#include "base/fit_error.h"
#include "evaluation/bounds.h"
#include "evaluation/evaluator.h"
#include "paramdb/backup.h"
#include "paramdb/database.h"
#include "paramdb/parameter_table.h"
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
    ParameterVector h;
    // The backup keeps what PARM_INT holds of the last completed run and the
    // simulated column: a run that does not complete gives them back.
    backup(db, runMarker, log, {cfg.resultTable, cfg.modelColumn});
    try {
        computeSensitivities(b, summary, h);
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
        report.parameterValuesChanged();
        throw;
    }
    // The runs wrote their trial vectors as AVAL; the coefficients are no
    // values to keep, and a calibration's AVAL with its standard errors must
    // survive them (a following uncertainty analysis works at AVAL).
    restoreAll(db, runMarker, log);
    report.parameterValuesChanged();

    // The values the runs used: the evaluation clamped each to its bounds.
    std::vector<double> minimum, maximum;
    for (const ParameterRecord& r : ParameterTable(db).records()) {
        minimum.push_back(numberOf(r.minimum));
        maximum.push_back(numberOf(r.maximum));
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

void SensitivityAnalysis::computeSensitivities(double x, SensitivitySummary& summary,
                                               ParameterVector& h) {
    h = initialValues();
    const int ndim = static_cast<int>(h.size()) - 1;
    std::vector<double> y(ndim + 1, 0.0);
    std::vector<bool> done(ndim + 1, true);
    if (parallel)
        runInOneRound(x, summary, h, y, done);
    else
        runOneAfterAnother(x, summary, h, y, done);
    summary.ndim = ndim;
    summary.criteria = std::move(y);
    summary.complete = std::move(done);
}

ParameterVector SensitivityAnalysis::initialValues() {
    // Every AVAL starts from its IVAL, copied as it is (also when empty).
    ParameterTable parameters(db);
    parameters.resetToInitial();
    std::vector<QVariant> initial;
    for (const ParameterRecord& r : parameters.records())
        initial.push_back(r.initial);
    const int ndim = static_cast<int>(initial.size());
    ParameterVector h(ndim + 1, 0.0);
    for (int i = 1; i <= ndim; ++i)
        h[i] = parameterNumber(initial[i - 1], QStringLiteral("IVAL"), i);
    return h;
}

void SensitivityAnalysis::stopIfRequested() {
    // A stop request (the stop button, SIGINT/SIGTERM) ends the runs between
    // two model runs; the caller restores the model's tables.
    if (report.stopRequested())
        throw FitError(QStringLiteral("The sensitivity analysis was stopped before it "
                                      "finished; no coefficients were computed."));
}

void SensitivityAnalysis::noteRun(SensitivitySummary& summary, std::vector<double>& y,
                                  std::vector<bool>& done, int i, double value, bool ok) {
    y[i] = value;
    done[i] = ok;
    if (ok && (!summary.haveBest || y[i] < summary.best)) {
        summary.best = y[i];
        summary.haveBest = true;
    }
}

void SensitivityAnalysis::runInOneRound(double x, SensitivitySummary& summary,
                                        const ParameterVector& h, std::vector<double>& y,
                                        std::vector<bool>& done) {
    const int ndim = static_cast<int>(h.size()) - 1;
    std::vector<ParameterVector> vectors(ndim + 1, h);
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
        const double value = reportRun(report, o.result, &ok);
        noteRun(summary, y, done, i, value, ok);
    }
}

void SensitivityAnalysis::runOneAfterAnother(double x, SensitivitySummary& summary,
                                             ParameterVector& h, std::vector<double>& y,
                                             std::vector<bool>& done) {
    const int ndim = static_cast<int>(h.size()) - 1;
    auto evaluate = [&](int i) {
        bool ok = true;
        ++summary.modelRuns;
        const double value = evaluateModel(evaluator, report, h, &ok);
        noteRun(summary, y, done, i, value, ok);
    };
    stopIfRequested();
    evaluate(0);
    for (int i = 1; i <= ndim; ++i) {
        stopIfRequested();
        const double initialValue = h[i];
        h[i] = initialValue * (1 + x);
        evaluate(i);
        h[i] = initialValue;
    }
}
