#include "evaluation/report.h"

#include "evaluation/evaluator.h"

void reportIncomplete(Reporter& reporter, const EvaluationResult& r) {
    reporter.log(r.why);
    if (!r.failure.isEmpty())
        reporter.log(QStringLiteral("  ") + r.failure);
    if (r.output.isEmpty())
        return;
    reporter.log(QStringLiteral("  the model's last output (%1):").arg(r.outputFile));
    for (const QString& line : r.output)
        reporter.log(QStringLiteral("  | ") + line);
}

double model_eval(Evaluator& evaluator, Reporter& reporter, const tfmatrix& vector,
                  bool* complete) {
    if (complete)
        *complete = true;
    const EvaluationResult r = evaluator.evaluate(vector, Reading::Criterion);
    if (!r.complete) {
        reportIncomplete(reporter, r);
        if (complete)
            *complete = false;
        return 0;
    }
    // 14. One chart point per completed evaluation.
    reporter.evaluated(r.criterion);
    return r.criterion;
}
