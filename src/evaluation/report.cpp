#include "evaluation/report.h"

#include "base/fit_error.h"
#include "evaluation/evaluator.h"
#include "paramdb/database.h"
#include "paramdb/stored_results.h"

void reportIncomplete(Reporter& reporter, const EvaluationResult& r) {
    reporter.log(QStringLiteral("Model run incomplete !"));
    // Rows left at -99 are the familiar case; anything else is said.
    if (!r.onlyMarks && !r.why.isEmpty())
        reporter.log(QStringLiteral("  ") + r.why);
    if (!r.failure.isEmpty())
        reporter.log(QStringLiteral("  ") + r.failure);
    if (r.output.isEmpty())
        return;
    reporter.log(QStringLiteral("  the model's last output (%1):").arg(r.outputFile));
    for (const QString& line : r.output)
        reporter.log(QStringLiteral("  | ") + line);
}

double evaluateModel(Evaluator& evaluator, Reporter& reporter, const ParameterVector& vector,
                     bool* complete, QString* why) {
    if (complete)
        *complete = true;
    return reportRun(reporter, evaluator.evaluate(vector, Reading::Criterion), complete, why);
}

double reportRun(Reporter& reporter, const EvaluationResult& r, bool* complete, QString* why) {
    if (complete)
        *complete = true;
    if (!r.complete) {
        if (why)
            *why = r.why;
        reportIncomplete(reporter, r);
        if (complete)
            *complete = false;
        return 0;
    }
    // One chart point per completed evaluation.
    reporter.evaluated(r.criterion);
    return r.criterion;
}

QString incompleteRunDetails(const EvaluationResult& run) {
    QString details;
    if (!run.failure.isEmpty())
        details += QStringLiteral("\nThe last run: ") + run.failure;
    if (!run.output.isEmpty())
        details += QStringLiteral("\nThe model's last output (%1):\n").arg(run.outputFile) +
                   run.output.join(QLatin1Char('\n'));
    return details;
}

void putBackStoredResults(Database& db, const QString& dbFile, const StoredResults& stored,
                          Reporter& reporter) {
    try {
        if (!db.isOpen())
            db.open(db.path().isEmpty() ? dbFile : db.path());
        writeStoredResults(db, stored);
        reporter.log(QStringLiteral("AVAL, ERROR and the correlations of PARM_INT are as they "
                                    "were before the run."));
        reporter.parameterListChanged();
    } catch (const FitError& e) {
        reporter.log(
            QStringLiteral("PARM_INT could not be set back to its values before the run: ") +
                e.message(),
            true);
    }
}
